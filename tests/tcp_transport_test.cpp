// The TCP transport against loopback peers that send exact bytes: framing,
// limits, connect and idle time-outs, the send rules and its lifetime.
#include "session/tcp_transport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "engine/error_record.h"
#include "platform/byte_order.h"
#include "platform/thread.h"
#include "support/recording_listener.h"
#include "support/session_support.h"

namespace tavin {
namespace {

using test::EventLog;
using test::kWaitMs;
using test::LoopbackServer;
using test::PeerSocket;
using test::RecordingListener;

std::uint64_t checksum(const std::vector<std::uint8_t>& bytes) {
    std::uint64_t sum = 0;
    for (std::uint8_t b : bytes) sum = sum * 31 + b;
    return sum;
}

class TcpTransportTest : public ::testing::Test {
protected:
    // Starts a transport to the server and accepts its connection.
    PeerSocket connect(double idleTimeout = TcpTransport::kSessionIdleTimeout) {
        transport = TcpTransport::create(idleTimeout, listener);
        EXPECT_TRUE(transport->start(server.address(), test::phoneId(9)));
        PeerSocket peer = server.accept();
        EXPECT_TRUE(peer.valid());
        return peer;
    }
    void TearDown() override {
        if (transport) transport->stop();
    }

    test::TempConfigHome config;
    RecordingListener listener;
    LoopbackServer server;
    std::shared_ptr<TcpTransport> transport;
};

// ---- Framing ----------------------------------------------------------------

TEST_F(TcpTransportTest, MessagesArriveWholeAndInOrderUpToTheLargestAllowed) {
    PeerSocket peer = connect();

    // Several messages in one write: each is handed on alone.
    std::vector<std::uint8_t> burst;
    const auto ping = protocol::buildHeaderOnly(protocol::kPing);
    auto unknown = test::rawMessage(200, 10, 10);
    unknown[9] = 0x77;
    const auto video = test::videoMessage(0x3f800000u, 1032);
    burst.insert(burst.end(), ping.begin(), ping.end());
    burst.insert(burst.end(), unknown.begin(), unknown.end());
    burst.insert(burst.end(), video.begin(), video.end());
    ASSERT_TRUE(peer.sendAll(burst));

    // Then one of exactly 4,000,000 bytes, sent in pieces.
    std::vector<std::uint8_t> big = test::rawMessage(protocol::kVideo, protocol::kMaxMessage, protocol::kMaxMessage);
    for (std::size_t i = 4; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7 + (i >> 13));
    for (std::size_t at = 0; at < big.size(); at += 65536)
        ASSERT_TRUE(peer.sendAll(big.data() + at, std::min<std::size_t>(65536, big.size() - at)));
    ASSERT_TRUE(peer.sendAll(protocol::buildHeaderOnly(protocol::kStreamStart)));

    ASSERT_TRUE(listener.log.waitFor("message 5 4"));
    EXPECT_EQ(listener.log.lines(), (std::vector<std::string>{"connected", "message 3 4", "message 200 10",
                                                              "message 8 1040", "message 8 4000000",
                                                              "message 5 4"}));
    std::lock_guard<std::mutex> guard(listener.lock);
    ASSERT_EQ(listener.messages.size(), 4u);
    EXPECT_EQ(listener.messages[1], unknown);
    EXPECT_EQ(listener.messages[2], video);
    ASSERT_EQ(listener.bigSums.size(), 1u);
    EXPECT_EQ(listener.bigSums[0], checksum(big));
}

TEST_F(TcpTransportTest, AHeaderAnnouncingOneByteTooManyFailsTheSessionWithItsHistory) {
    PeerSocket peer = connect();
    ASSERT_TRUE(peer.sendAll(test::videoMessage(0, 1032)));
    ASSERT_TRUE(listener.log.waitFor("message 8 1040"));
    const auto button = protocol::buildButton(4, 1);
    ASSERT_TRUE(transport->send(button.data(), button.size()));
    EXPECT_EQ(TcpTransport::lastTypeSent(), protocol::kButton);

    ASSERT_TRUE(peer.sendAll(test::rawMessage(protocol::kVideo, protocol::kMaxMessage + 1, 4)));
    ASSERT_TRUE(listener.log.waitFor("failed"));
    EXPECT_EQ(readErrorRecord(), "we:so.4000001.8-L16-i4.1040.8:211");
    EXPECT_EQ(listener.log.count("disconnected"), 0u);
    EXPECT_TRUE(peer.waitClosed());
}

TEST_F(TcpTransportTest, AHeaderShorterThanItselfEndsTheSessionInAnOrderlyWay) {
    PeerSocket peer = connect();
    ASSERT_TRUE(peer.sendAll(test::rawMessage(protocol::kVideo, 2, 4)));
    ASSERT_TRUE(listener.log.waitFor("disconnected"));
    // The message is complete (so the session counts as connected) but is
    // not handed on.
    EXPECT_EQ(listener.log.lines(), (std::vector<std::string>{"connected", "disconnected"}));
    EXPECT_EQ(readErrorRecord(), "we:so.2.8:239");
}

// ---- Connecting and ending --------------------------------------------------

TEST_F(TcpTransportTest, APeerThatClosesBeforeAnyMessageEndsTheSessionInAnOrderlyWay) {
    PeerSocket peer = connect();
    peer.close();
    ASSERT_TRUE(listener.log.waitFor("disconnected"));
    EXPECT_EQ(listener.log.lines(), std::vector<std::string>{"disconnected"});
}

TEST_F(TcpTransportTest, ARefusedConnectFails) {
    transport = TcpTransport::create(TcpTransport::kSessionIdleTimeout, listener);
    ASSERT_TRUE(transport->start(test::loopbackAddress(test::closedLoopbackPort()), test::phoneId(9)));
    ASSERT_TRUE(listener.log.waitFor("failed"));
    EXPECT_EQ(listener.log.lines(), std::vector<std::string>{"failed"});
}

TEST_F(TcpTransportTest, AConnectThatIsNeverAnsweredFailsAfterItsTimeOut) {
    test::BlackholeListener blackhole;
    ASSERT_TRUE(blackhole.ready()) << "could not fill the accept queue of a loopback listener";
    transport = TcpTransport::create(TcpTransport::kSessionIdleTimeout, listener);
    ASSERT_TRUE(transport->start(test::loopbackAddress(blackhole.port()), test::phoneId(9)));
    ASSERT_TRUE(listener.log.waitFor("failed"));
    EXPECT_EQ(listener.log.lines(), std::vector<std::string>{"failed"});
}

TEST_F(TcpTransportTest, TheIdleTimeOutCountsFromTheLastCompleteMessage) {
    PeerSocket peer = connect(1.0);
    ASSERT_TRUE(peer.sendAll(protocol::buildHeaderOnly(protocol::kPing)));
    ASSERT_TRUE(listener.log.waitFor("message 3 4"));

    // A message trickles in a byte at a time for far longer than the
    // time-out; the session must end while it still trickles.
    const auto slow = test::rawMessage(protocol::kVideo, 100, 100);
    std::size_t sent = 0;
    for (; sent < slow.size(); ++sent) {
        if (listener.log.waitFor("disconnected", 100)) break;
        if (!peer.sendAll(&slow[sent], 1)) break;
    }
    EXPECT_LT(sent, slow.size());
    ASSERT_TRUE(listener.log.waitFor("disconnected"));
    EXPECT_EQ(listener.log.lines(), (std::vector<std::string>{"connected", "message 3 4", "disconnected"}));
}

TEST_F(TcpTransportTest, CloseEndsTheSessionInAnOrderlyWayAndLaterSendsFail) {
    PeerSocket peer = connect();
    ASSERT_TRUE(peer.sendAll(protocol::buildHeaderOnly(protocol::kPing)));
    ASSERT_TRUE(listener.log.waitFor("message 3 4"));
    transport->close();
    ASSERT_TRUE(listener.log.waitFor("disconnected"));
    const auto reply = protocol::buildPingReply();
    EXPECT_FALSE(transport->send(reply.data(), reply.size()));
    EXPECT_TRUE(peer.waitClosed());
}

TEST_F(TcpTransportTest, StoppingSilencesTheListenerAndClosesTheSocket) {
    PeerSocket peer = connect();
    transport->stop();
    EXPECT_FALSE(transport->running());
    EXPECT_TRUE(peer.waitClosed());
    EXPECT_TRUE(listener.log.lines().empty());
    const auto reply = protocol::buildPingReply();
    EXPECT_FALSE(transport->send(reply.data(), reply.size()));
}

TEST_F(TcpTransportTest, StartIsOneShotAndRefusesAddressesWithoutFamily) {
    transport = TcpTransport::create(TcpTransport::kSessionIdleTimeout, listener);
    EXPECT_FALSE(transport->start(PeerAddress{}, test::phoneId(9)));
    EXPECT_FALSE(transport->running());
    ASSERT_TRUE(transport->start(server.address(), test::phoneId(9)));
    EXPECT_FALSE(transport->start(server.address(), test::phoneId(9)));
    EXPECT_EQ(transport->id(), test::phoneId(9));
    EXPECT_FALSE(transport->isUsb());
    EXPECT_EQ(transport->peer().v4.sin_port, server.address().v4.sin_port);
}

TEST_F(TcpTransportTest, AThreadRefusedByTheSystemStartsNothing) {
    transport = TcpTransport::create(TcpTransport::kSessionIdleTimeout, listener);
    platform::Thread::refuseStartsForTesting(1);
    EXPECT_FALSE(transport->start(server.address(), test::phoneId(9)));
    platform::Thread::refuseStartsForTesting(0);
    EXPECT_FALSE(transport->running());
    EXPECT_FALSE(server.connectionPending());
    const auto reply = protocol::buildPingReply();
    EXPECT_FALSE(transport->send(reply.data(), reply.size()));
}

// ---- Sending ----------------------------------------------------------------

TEST_F(TcpTransportTest, SendsGoOutWholeAndFailFastOnceThePeerHasGone) {
    PeerSocket peer = connect();
    const auto focus = protocol::buildFocusDistance(1, 0.5f);
    ASSERT_TRUE(transport->send(focus.data(), focus.size()));
    EXPECT_EQ(TcpTransport::lastTypeSent(), protocol::kFocusDistance);
    const auto got = peer.readMessage();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, std::vector<std::uint8_t>(focus.begin(), focus.end()));

    peer.close();
    ASSERT_TRUE(listener.log.waitFor("disconnected"));
    EXPECT_FALSE(transport->send(focus.data(), focus.size()));
}

TEST_F(TcpTransportTest, ASendToAPeerThatStopsReadingGivesUpAndEndsTheSession) {
    PeerSocket peer = connect();
    // The peer reads nothing: once the socket buffers are full a send waits
    // for room, gives up, and the session ends as a failure.
    std::vector<std::uint8_t> chunk = test::rawMessage(protocol::kVideo, 3'000'000, 3'000'000);
    bool failed = false;
    for (int i = 0; i < 100 && !failed; ++i) failed = !transport->send(chunk.data(), chunk.size());
    ASSERT_TRUE(failed);
    ASSERT_TRUE(listener.log.waitFor("failed"));
    EXPECT_FALSE(transport->send(chunk.data(), 12));  // fails at once from now on
    EXPECT_EQ(listener.log.count("disconnected"), 0u);
}

TEST_F(TcpTransportTest, SendsFromManyThreadsNeverInterleave) {
    PeerSocket peer = connect();
    constexpr int kThreads = 4;
    constexpr int kEach = 200;
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            std::vector<std::uint8_t> m = test::rawMessage(protocol::kVideo, 5000, 5000);
            std::fill(m.begin() + 4, m.end(), static_cast<std::uint8_t>(t + 1));
            for (int i = 0; i < kEach; ++i) transport->send(m.data(), m.size());
        });
    }
    int whole = 0;
    for (int i = 0; i < kThreads * kEach; ++i) {
        const auto m = peer.readMessage();
        ASSERT_TRUE(m.has_value());
        ASSERT_EQ(m->size(), 5000u);
        const std::uint8_t fill = (*m)[4];
        whole += std::all_of(m->begin() + 4, m->end(), [&](std::uint8_t b) { return b == fill; });
    }
    for (auto& s : senders) s.join();
    EXPECT_EQ(whole, kThreads * kEach);
}

// ---- Lifetime ---------------------------------------------------------------

TEST_F(TcpTransportTest, TheOwnerMayReleaseTheTransportFromItsOwnListener) {
    PeerSocket peer = connect();
    std::weak_ptr<TcpTransport> weak = transport;
    std::atomic<bool> releasedOnItsThread{false};
    std::atomic<bool> released{false};  // orders the owner's reset before the test's own reads
    listener.action = [&](PhoneTransport& t) {
        releasedOnItsThread = t.onReceiveThread();
        transport->stop();  // only clears `running` here
        transport.reset();  // the receive thread keeps it until it ends
        released = true;
    };
    ASSERT_TRUE(peer.sendAll(protocol::buildHeaderOnly(protocol::kPing)));
    ASSERT_TRUE(listener.log.waitFor("message 3 4"));
    EXPECT_TRUE(peer.waitClosed());

    bool freed = false;
    for (int i = 0; i < kWaitMs / 10 && !freed; ++i) {
        freed = released.load() && weak.expired();
        if (!freed) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(freed);
    EXPECT_TRUE(releasedOnItsThread);
    // Stopped by its owner: neither end event is reported.
    EXPECT_EQ(listener.log.lines(), (std::vector<std::string>{"connected", "message 3 4"}));
}

}  // namespace
}  // namespace tavin
