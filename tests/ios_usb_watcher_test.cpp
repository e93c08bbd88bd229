// iOS phones on USB: the watcher and the usbmuxd transport, through the
// real libusbmuxd, against the usbmuxd peer and the phone simulator as real
// processes (or a loopback peer that sends exact bytes).
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "discovery/ios_usb_watcher.h"
#include "engine/error_record.h"
#include "platform/clock.h"
#include "session/usbmux_transport.h"
#include "support/engine_support.h"
#include "support/recording_listener.h"
#include "support/session_support.h"
#include "support/usbmux_support.h"

namespace tavin {
namespace {

using namespace std::chrono_literals;
using test::IosReport;
using test::UsbmuxPeerProcess;

PhoneId simulatorId() {
    // The simulator's default id, 7a3c0e51d2b84f96a1c5e0f3b7d29486.
    return {0x7a, 0x3c, 0x0e, 0x51, 0xd2, 0xb8, 0x4f, 0x96, 0xa1, 0xc5, 0xe0, 0xf3, 0xb7, 0xd2, 0x94, 0x86};
}

class IosUsbTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(peer.started()); }
    // A phone simulator with a probe port, and a device in the peer that
    // leads to it (the probe port left out when `probe` is false).
    void attachPhone(std::uint32_t handle, const std::vector<std::string>& extra = {}, bool probe = true,
                     bool usb = true) {
        std::vector<std::string> args = {"--probe-port", "auto", "--no-log"};
        args.insert(args.end(), extra.begin(), extra.end());
        phone = std::make_unique<test::PhoneProcess>(args);
        ASSERT_TRUE(phone->started());
        std::vector<UsbmuxPeerProcess::Port> ports = {{protocol::kSessionPort, phone->sessionPort()}};
        if (probe) ports.push_back({protocol::kProbePort, phone->probePort()});
        ASSERT_TRUE(peer.attach(handle, usb, ports));
    }

    test::TempConfigHome config;
    UsbmuxPeerProcess peer;
    std::unique_ptr<test::PhoneProcess> phone;
    test::RecordingIosSink sink;
};

TEST_F(IosUsbTest, AttachedPhoneIsProbedAndItsSessionRunsOverUsbmux) {
    IosUsbWatcher watcher;
    watcher.SetSink(&sink);
    attachPhone(11, {"--stream-unasked"});

    ASSERT_TRUE(sink.waitFor(11, true, 1, 10s));
    const IosReport found = sink.reports(11, true).front();
    EXPECT_EQ(found.id, simulatorId());
    EXPECT_EQ(found.kind, 7);
    EXPECT_TRUE(found.usb);
    EXPECT_EQ(found.name, "");
    EXPECT_TRUE(peer.process().waitForLine("connect 11:4697 proxied", 1s));

    // The session: the phone greets, then streams unasked; the engine's
    // messages reach it.
    test::RecordingListener listener;
    std::shared_ptr<UsbmuxSessionTransport> transport =
        IosUsbWatcher::connector().connect(11, simulatorId(), listener);
    ASSERT_TRUE(transport);
    EXPECT_TRUE(transport->isUsb());
    ASSERT_TRUE(transport->startReceiving());
    EXPECT_TRUE(listener.log.waitFor("connected"));
    EXPECT_TRUE(listener.log.waitFor("message 1 280"));
    EXPECT_TRUE(listener.log.waitFor("message 10 48"));
    const auto button = protocol::buildButton(4, 77);
    EXPECT_TRUE(transport->send(button.data(), button.size()));
    EXPECT_TRUE(listener.log.waitUntil([](const std::vector<std::string>& lines) {
        for (const auto& l : lines) {
            if (l.rfind("message 8 ", 0) == 0) return true;
        }
        return false;
    }));

    // Ending the session hands the device back: the phone is lost, probed
    // again and found again. An owner's stop raises no event.
    transport->stop();
    transport.reset();
    EXPECT_TRUE(sink.waitFor(11, false, 1, 5s));
    EXPECT_TRUE(sink.waitFor(11, true, 2, 10s));
    EXPECT_EQ(listener.log.count("disconnected"), 0u);
}

TEST_F(IosUsbTest, ProbeFallsBackToTheSessionPortOfANetworkDevice) {
    IosUsbWatcher watcher;
    watcher.SetSink(&sink);
    attachPhone(12, {}, false, false);
    ASSERT_TRUE(sink.waitFor(12, true, 1, 10s));
    EXPECT_EQ(sink.reports(12, true).front().id, simulatorId());
    EXPECT_FALSE(sink.reports(12, true).front().usb);
    EXPECT_FALSE(IosDevices::instance().attachedByUsb(12));
    EXPECT_GE(peer.process().countLines("connect 12:4697 refused"), 1);
    EXPECT_GE(peer.process().countLines("connect 12:4699 proxied"), 1);
}

TEST_F(IosUsbTest, RepeatedAddIsIgnoredAndEveryRemoveLosesThePhone) {
    IosUsbWatcher watcher;
    watcher.SetSink(&sink);
    attachPhone(13);
    ASSERT_TRUE(sink.waitFor(13, true, 1, 10s));

    // The device is announced again: the record keeps its probe state, so
    // the phone is neither probed nor reported again.
    ASSERT_TRUE(peer.attach(13, true, {{protocol::kSessionPort, phone->sessionPort()}}));
    platform::sleepMs(2500);
    EXPECT_EQ(sink.reports(13, true).size(), 1u);

    // libusbmuxd holds the device twice now, so it passes on two removes;
    // the second names a handle the watcher no longer knows, and still
    // loses the phone once.
    ASSERT_TRUE(peer.detach(13));
    ASSERT_TRUE(sink.waitFor(13, false, 1, 5s));
    ASSERT_TRUE(peer.detach(13));
    ASSERT_TRUE(sink.waitFor(13, false, 2, 5s));
    platform::sleepMs(300);
    EXPECT_EQ(sink.reports(13, false).size(), 2u);
}

TEST_F(IosUsbTest, PhoneOfKindZeroIsProbedAgainEveryTwoSeconds) {
    IosUsbWatcher watcher;
    watcher.SetSink(&sink);
    attachPhone(14, {"--kind", "0"});
    ASSERT_TRUE(sink.waitFor(14, true, 3, 15s));
    const auto reports = sink.reports(14, true);
    for (std::size_t i = 1; i < reports.size(); ++i) {
        EXPECT_EQ(reports[i].kind, 0);
        EXPECT_GE(reports[i].time - reports[i - 1].time, IosUsbWatcher::kProbeSpacing - 0.05);
    }
}

TEST_F(IosUsbTest, SetSinkReplaysProbedPhonesOnceWithAnEmptyName) {
    IosUsbWatcher watcher;
    attachPhone(15, {"--name", "Named phone"});
    ASSERT_TRUE(test::waitFor(
        [] {
            for (const ProbedPhone& p : IosDevices::instance().probedPhones()) {
                if (p.handle == 15) return true;
            }
            return false;
        },
        10.0));

    watcher.SetSink(&sink);
    ASSERT_EQ(sink.reports(15, true).size(), 1u);  // during SetSink
    EXPECT_EQ(sink.reports(15, true).front().name, "");
    EXPECT_EQ(sink.reports(15, true).front().id, simulatorId());
    platform::sleepMs(2500);
    EXPECT_EQ(sink.reports(15, true).size(), 1u);

    // Once cleared, the sink hears nothing more, even of a lost phone.
    watcher.SetSink(nullptr);
    ASSERT_TRUE(peer.detach(15));
    platform::sleepMs(500);
    EXPECT_EQ(sink.reports(15, false).size(), 0u);
}

TEST_F(IosUsbTest, DestroyingTheWatcherDuringAProbeIsPrompt) {
    // A probe port that accepts and never answers: each probe waits its
    // whole read time.
    test::LoopbackServer silent;
    ASSERT_TRUE(peer.attach(16, true, {{protocol::kProbePort, silent.port()}}));
    auto watcher = std::make_unique<IosUsbWatcher>();
    watcher->SetSink(&sink);
    ASSERT_TRUE(peer.process().waitForLine("connect 16:4697 proxied", 10s));
    const double start = platform::processClock();
    watcher.reset();
    EXPECT_LT(platform::processClock() - start, 3.0);
    EXPECT_EQ(sink.reports(16, true).size(), 0u);
}

// The usbmuxd transport's framing and its ends, with exact bytes from a
// loopback peer behind the usbmuxd peer.
class UsbmuxTransportTest : public IosUsbTest {
protected:
    test::PeerSocket open(std::uint32_t handle) {
        EXPECT_TRUE(peer.attach(handle, true, {{protocol::kSessionPort, server.port()}}));
        transport = IosUsbWatcher::connector().connect(handle, test::phoneId(5), listener);
        EXPECT_TRUE(transport);
        if (!transport) return test::PeerSocket();
        EXPECT_TRUE(transport->startReceiving());
        return server.accept();
    }
    void TearDown() override {
        if (transport) transport->stop();
    }
    // True when the handle was handed back (and takes the ended handles).
    static bool handedBack(std::uint32_t handle) {
        return test::waitFor(
            [&] {
                for (std::uint32_t h : IosDevices::instance().takeEnded()) {
                    if (h == handle) return true;
                }
                return false;
            },
            5.0);
    }

    test::LoopbackServer server;
    test::RecordingListener listener;
    std::shared_ptr<UsbmuxSessionTransport> transport;
};

TEST_F(UsbmuxTransportTest, MessagesArriveWholeAndAnOversizeHeaderEndsTheSession) {
    test::PeerSocket phoneSide = open(21);
    ASSERT_TRUE(phoneSide.valid());
    EXPECT_FALSE(transport->isUsb());  // no watcher has seen the device

    // A Ping in two pieces, a short header (handed on, ignored, in step),
    // an unknown type, then a header announcing 4,000,001 bytes.
    const auto ping = protocol::buildHeaderOnly(protocol::kPing);
    ASSERT_TRUE(phoneSide.sendAll(ping.data(), 2));
    platform::sleepMs(150);
    ASSERT_TRUE(phoneSide.sendAll(ping.data() + 2, 2));
    ASSERT_TRUE(phoneSide.sendAll(test::rawMessage(protocol::kPing, 2, 4)));
    ASSERT_TRUE(phoneSide.sendAll(test::rawMessage(200, 12, 12)));
    ASSERT_TRUE(listener.log.waitFor("message 200 12"));
    EXPECT_EQ(listener.log.count("message 3 4"), 1u);
    EXPECT_EQ(listener.log.count("message 3 2"), 1u);
    EXPECT_EQ(listener.log.count("connected"), 1u);

    ASSERT_TRUE(phoneSide.sendAll(test::rawMessage(protocol::kVideo, protocol::kMaxMessage + 1, 4)));
    ASSERT_TRUE(listener.log.waitFor("disconnected"));
    EXPECT_EQ(readErrorRecord(), "we:ub.4000001.8:303");
    EXPECT_TRUE(phoneSide.waitClosed());
    EXPECT_TRUE(handedBack(21));
    EXPECT_FALSE(transport->send(ping.data(), ping.size()));
}

TEST_F(UsbmuxTransportTest, SilenceAndAClosedStreamEndTheSession) {
    test::PeerSocket phoneSide = open(22);
    ASSERT_TRUE(phoneSide.valid());
    const double start = platform::processClock();
    ASSERT_TRUE(listener.log.waitFor("disconnected"));
    EXPECT_GE(platform::processClock() - start, UsbmuxTransport::kIdleTimeout - 0.2);
    EXPECT_TRUE(handedBack(22));
    transport->stop();

    test::PeerSocket second = open(23);
    ASSERT_TRUE(second.valid());
    second.close();
    ASSERT_TRUE(listener.log.waitFor("disconnected", test::kWaitMs, 2));
    EXPECT_TRUE(handedBack(23));
}

TEST(UsbmuxWithoutService, WatcherStartsAndStopsPromptlyAndConnectsFail) {
    test::useNoUsbmuxService();
    test::RecordingListener listener;
    EXPECT_FALSE(IosUsbWatcher::connector().connect(31, test::phoneId(1), listener));
    const double start = platform::processClock();
    {
        IosUsbWatcher watcher;
        EXPECT_TRUE(test::waitFor([&] { return watcher.subscribed(); }, 5.0));
        platform::sleepMs(300);
    }
    EXPECT_LT(platform::processClock() - start, 5.0);
}

}  // namespace
}  // namespace tavin
