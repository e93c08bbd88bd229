// The session layer over real TCP sessions to loopback peers (and the phone
// simulator): message dispatch and replies, phone states, the passcode
// challenge, audio decoding, path choice, and transport lifetime.
#include "session/session_handler.h"

#include <algorithm>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <opus/opus.h>

#include <atomic>
#include <cmath>
#include <string>

#include "engine/error_record.h"
#include "platform/byte_order.h"
#include "session/passcode.h"
#include "support/session_support.h"

namespace tavin {
namespace {

using test::EventLog;
using test::LoopbackServer;
using test::PeerSocket;
using Lines = std::vector<std::string>;

std::string words(const std::uint8_t* m, std::uint32_t length) {
    const auto w = protocol::readReportWords(m, length);
    return std::to_string(w[0]) + " " + std::to_string(w[1]) + " " + std::to_string(w[2]) + " " + std::to_string(w[3]);
}

// Logs every hook as a line of text.
class TestHandler : public SessionHandler {
public:
    explicit TestHandler(int index = 1) : SessionHandler(index) {}
    ~TestHandler() override { destroyTransports(); }

    void onMessage(PhoneTransport& t, const std::uint8_t* m, std::uint32_t length) override {
        SessionHandler::onMessage(t, m, length);
        if (messageAction) messageAction(t, m);
    }
    void onPhoneListChanged() override { log.add("list"); }
    void onPhoneStateChanged(const PhoneId& id, PhoneState s) override {
        lastStateId = id;
        log.add("state " + std::to_string(static_cast<int>(s)));
    }
    void onSessionEnded() override { log.add("ended"); }
    void onPing(PhoneTransport&, const std::uint8_t*, std::uint32_t) override { log.add("ping"); }
    void onCapabilities(PhoneTransport& t, const std::uint8_t*, std::uint32_t) override {
        log.add(shared(t) ? "capabilities" : "capabilities from a stranger");
        if (capabilitiesAction) capabilitiesAction(t);
    }
    void onNameList(const std::uint8_t* m, std::uint32_t length) override {
        std::string joined;
        std::uint32_t value = 0;
        protocol::parseNameList(m, length, joined, value);
        log.add("names " + joined + " " + std::to_string(value));
    }
    void onButtonState(std::int32_t code, std::int32_t value) override {
        log.add("button " + std::to_string(code) + " " + std::to_string(value));
    }
    void onReport19(const std::uint8_t* m, std::uint32_t n) override { log.add("report19 " + words(m, n)); }
    void onReport20(const std::uint8_t* m, std::uint32_t n) override { log.add("report20 " + words(m, n)); }
    void onReport21(const std::uint8_t* m, std::uint32_t n) override { log.add("report21 " + words(m, n)); }
    void onReport22(const std::uint8_t* m, std::uint32_t n) override { log.add("report22 " + words(m, n)); }
    void onFocusDistanceState(const std::uint8_t* m, std::uint32_t n) override {
        const auto w = protocol::readTwoWords(m, n);
        log.add("focusdistance " + std::to_string(w[0]) + " " + std::to_string(w[1]));
    }
    void onVideo(const std::uint8_t* payload, std::uint32_t length, std::uint32_t tagBits) override {
        log.add("video " + std::to_string(length) + " " + std::to_string(tagBits) + " " +
                std::to_string(length > 0 ? payload[0] : -1));
    }
    void onAudio(const std::int16_t* samples, std::uint32_t byteCount) override {
        double energy = 0;
        for (std::uint32_t i = 0; i < byteCount / 2; ++i) energy += std::abs(samples[i]);
        log.add("audio " + std::to_string(byteCount) + (energy > 0 ? " sound" : " silence"));
    }
    void onTiming(const std::uint8_t*, std::uint32_t) override { log.add("timing"); }
    void onStreamStart(const std::uint8_t*, std::uint32_t) override { log.add("streamstart"); }
    void onType14(const std::uint8_t*, std::uint32_t) override { log.add("type14"); }
    std::uint64_t passcodeHash(const PhoneId&) override {
        log.add("passcode");
        return hash.load();
    }

    EventLog log;
    std::atomic<std::uint64_t> hash{0};
    PhoneId lastStateId{};
    std::function<void(PhoneTransport&, const std::uint8_t*)> messageAction;
    std::function<void(PhoneTransport&)> capabilitiesAction;
};

class SessionHandlerTest : public ::testing::Test {
protected:
    void SetUp() override { reg.clear(); }
    void TearDown() override { reg.clear(); }

    void addWifiPhone(const PhoneId& id, std::uint16_t port, TestHandler& h) {
        const PeerAddress a = test::loopbackAddress(port);
        h.networkSink().PhoneFound(id, 7, "Phone A", &a.sa, htons(port));
    }
    // A Wi-Fi phone on the loopback server, connected; the peer's socket.
    PeerSocket connectPhone(const PhoneId& id) {
        addWifiPhone(id, server.port(), handler);
        EXPECT_TRUE(handler.connectToPhone(id));
        PeerSocket peer = server.accept();
        EXPECT_TRUE(peer.valid());
        return peer;
    }
    std::optional<PhoneRecord> record(const PhoneId& id) {
        return reg.withRecords([&](auto& records) -> std::optional<PhoneRecord> {
            for (auto& r : records)
                if (r->id == id) return *r;
            return std::nullopt;
        });
    }
    // Waits for the peer's next message and checks its type.
    std::vector<std::uint8_t> expectMessage(PeerSocket& peer, std::uint8_t type) {
        auto m = peer.readMessage();
        EXPECT_TRUE(m.has_value());
        if (!m) return {};
        EXPECT_EQ(protocol::headerType(m->data()), type);
        return *m;
    }

    test::TempConfigHome config;
    PhoneRegistry& reg = PhoneRegistry::instance();
    LoopbackServer server;
    TestHandler handler;
    const PhoneId a = test::phoneId(0x21);
    const PhoneId b = test::phoneId(0x22);
};

// ---- Replies ----------------------------------------------------------------

TEST_F(SessionHandlerTest, APingIsAnsweredAfterTheStoredErrorReportWhichGoesOutOnce) {
    recordError(errors::kSocketCreate);
    PeerSocket peer = connectPhone(a);
    ASSERT_TRUE(peer.sendAll(protocol::buildHeaderOnly(protocol::kPing)));

    const auto report = expectMessage(peer, protocol::kErrorReport);
    ASSERT_EQ(report.size(), protocol::error_report::kSize);
    EXPECT_EQ(readLe32(report.data() + protocol::error_report::kMajor), 12u);
    EXPECT_EQ(readLe32(report.data() + protocol::error_report::kMinor), 15u);
    EXPECT_STREQ(reinterpret_cast<const char*>(report.data() + protocol::error_report::kText), "we:so:104");
    const auto reply = expectMessage(peer, protocol::kPingReply);
    EXPECT_EQ(reply, (std::vector<std::uint8_t>{0x04, 0x00, 0x00, 0x04}));
    EXPECT_EQ(readErrorRecord(), "");

    ASSERT_TRUE(peer.sendAll(protocol::buildHeaderOnly(protocol::kPing)));
    expectMessage(peer, protocol::kPingReply);
    EXPECT_EQ(handler.log.count("ping"), 2u);
}

TEST_F(SessionHandlerTest, CapabilitiesAreAnsweredWithTheEngineVersionBeforeAnythingElse) {
    recordError(errors::kSocketOptions);
    handler.capabilitiesAction = [](PhoneTransport& t) {
        const auto button = protocol::buildButton(2, 1);
        t.send(button.data(), button.size());
    };
    PeerSocket peer = connectPhone(a);
    const VideoFormat formats[] = {{1280, 720, 30.0f}};
    ASSERT_TRUE(peer.sendAll(protocol::buildCapabilities(false, formats)));

    const auto version = expectMessage(peer, protocol::kEngineVersion);
    ASSERT_EQ(version.size(), 12u);
    EXPECT_EQ(readLe32(version.data() + 4), 12u);
    EXPECT_EQ(readLe32(version.data() + 8), 15u);
    expectMessage(peer, protocol::kErrorReport);
    expectMessage(peer, protocol::kButton);  // what the hook sent, last
    EXPECT_TRUE(handler.log.waitFor("capabilities"));
}

// ---- Dispatch ---------------------------------------------------------------

TEST_F(SessionHandlerTest, EachMessageReachesItsHookAndStatesFollowTheStream) {
    PeerSocket peer = connectPhone(a);
    auto send = [&](const auto& m) { ASSERT_TRUE(peer.sendAll(m)); };

    send(protocol::buildButton(-3, 7));
    send(protocol::buildReport(protocol::kReport19, {1, 2, 3, 4}));
    send(protocol::buildReport(protocol::kReport20, {5, 6, 7, 8}));
    send(protocol::buildReport(protocol::kReport21, {9, 10, 11, 12}));
    send(protocol::buildReport(protocol::kReport22, {13, 14, 15, 16}));
    auto focus = test::rawMessage(protocol::kFocusDistance, 12, 12);
    writeLe32(focus.data() + 4, 1);
    writeLe32(focus.data() + 8, 0x3f000000u);
    send(focus);
    const std::string names[] = {"front", "back"};
    send(protocol::buildNameList(9, names));
    send(test::rawMessage(protocol::kTiming, 16, 16));
    for (std::uint8_t type : {6, 13, 15, 200}) send(test::rawMessage(type, 8, 8));
    send(test::rawMessage(protocol::kType14, 4, 4));
    send(test::rawMessage(protocol::kVideo, 6, 6));  // too short to carry a packet
    send(test::videoMessage(0x40490fdbu, 1032, 0x65));
    send(test::videoMessage(0x40490fdbu, 1032, 0x66));
    send(protocol::buildHeaderOnly(protocol::kStreamStart));
    send(protocol::buildHeaderOnly(protocol::kStreamStop));
    send(protocol::buildHeaderOnly(protocol::kPing));
    ASSERT_TRUE(handler.log.waitFor("ping"));
    peer.close();
    ASSERT_TRUE(handler.log.waitFor("ended", test::kWaitMs, 2));

    EXPECT_EQ(handler.log.lines(), (Lines{
                                       "list",     // the sink report
                                       "state 2",  // Connecting, no list change
                                       "button -3 7",
                                       "report19 1 2 3 4",
                                       "report20 5 6 7 8",
                                       "report21 9 10 11 12",
                                       "report22 13 14 15 16",
                                       "focusdistance 1 1056964608",
                                       "names front/back 9",
                                       "timing",
                                       "type14",
                                       "list",  // the first Video makes the phone Streaming
                                       "state 3",
                                       "video 1032 1078530011 101",
                                       "video 1032 1078530011 102",
                                       "streamstart",
                                       "list",  // StreamStop makes it Idle
                                       "state 0",
                                       "ended",
                                       "ping",
                                       "state 0",  // the peer closed: an orderly end
                                       "ended",
                                   }));
    EXPECT_EQ(handler.lastStateId, a);
    EXPECT_EQ(record(a)->wifiScore, 1);
}

TEST_F(SessionHandlerTest, APhoneWhoseRecordWasDroppedIsNotReportedAgainPerMessage) {
    // Another slot closing empties the registry while this session streams:
    // its Video messages must not raise a state report each.
    PeerSocket peer = connectPhone(a);
    ASSERT_TRUE(peer.sendAll(test::videoMessage(1, 64, 1)));
    ASSERT_TRUE(handler.log.waitFor("video 64 1 1"));
    reg.clear();
    for (std::uint8_t i = 2; i < 6; ++i) ASSERT_TRUE(peer.sendAll(test::videoMessage(i, 64, i)));
    ASSERT_TRUE(peer.sendAll(protocol::buildHeaderOnly(protocol::kStreamStart)));
    ASSERT_TRUE(handler.log.waitFor("streamstart"));
    const auto lines = handler.log.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "state 3"), 1);
}

TEST_F(SessionHandlerTest, AudioIsDecodedAndBadPacketsDeliverNothing) {
    int error = 0;
    OpusEncoder* encoder = opus_encoder_create(48000, 1, OPUS_APPLICATION_AUDIO, &error);
    ASSERT_NE(encoder, nullptr);
    std::vector<opus_int16> tone(960);
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<opus_int16>(8000 * std::sin(2 * M_PI * 440 * static_cast<double>(i) / 48000));
    std::vector<std::uint8_t> packet(4000);
    std::vector<std::vector<std::uint8_t>> packets;
    for (int i = 0; i < 3; ++i) {
        const int n = opus_encode(encoder, tone.data(), 960, packet.data(), static_cast<opus_int32>(packet.size()));
        ASSERT_GT(n, 0);
        packets.emplace_back(packet.begin(), packet.begin() + n);
    }
    opus_encoder_destroy(encoder);
    auto audioMessage = [](const std::vector<std::uint8_t>& p) {
        std::vector<std::uint8_t> m(8 + p.size());
        protocol::writePayloadHeader(m.data(), protocol::kAudio, 0xffffffffu, static_cast<std::uint32_t>(p.size()));
        std::copy(p.begin(), p.end(), m.begin() + 8);
        return m;
    };

    PeerSocket peer = connectPhone(a);
    ASSERT_TRUE(peer.sendAll(audioMessage(packets[0])));
    ASSERT_TRUE(peer.sendAll(audioMessage({0x03})));  // a frame count is missing: rejected by the decoder
    ASSERT_TRUE(peer.sendAll(audioMessage({})));       // an empty packet carries no sound
    ASSERT_TRUE(peer.sendAll(test::rawMessage(protocol::kAudio, 6, 6)));
    ASSERT_TRUE(peer.sendAll(audioMessage(packets[1])));
    ASSERT_TRUE(peer.sendAll(audioMessage(packets[2])));
    ASSERT_TRUE(peer.sendAll(protocol::buildHeaderOnly(protocol::kPing)));
    ASSERT_TRUE(handler.log.waitFor("ping"));

    const Lines lines = handler.log.lines();
    Lines audio;
    for (const auto& l : lines)
        if (l.rfind("audio", 0) == 0) audio.push_back(l.substr(0, 10));
    EXPECT_EQ(audio, (Lines{"audio 1920", "audio 1920", "audio 1920"}));
    EXPECT_EQ(lines.back(), "ping");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "audio 1920 sound"), lines.end());
}

TEST_F(SessionHandlerTest, PhoneInfoRenamesTheReportedAndTheSessionsPhone) {
    addWifiPhone(b, 1, handler);
    PeerSocket peer = connectPhone(a);
    ASSERT_TRUE(peer.sendAll(protocol::buildPhoneInfo(b, 2, "Renamed")));
    ASSERT_TRUE(peer.sendAll(test::rawMessage(protocol::kPhoneInfo, 100, 100)));  // too short: ignored
    ASSERT_TRUE(peer.sendAll(protocol::buildHeaderOnly(protocol::kPing)));
    ASSERT_TRUE(handler.log.waitFor("ping"));
    EXPECT_EQ(reg.nameOf(a), "Renamed");
    EXPECT_EQ(reg.nameOf(b), "Renamed");
    EXPECT_EQ(record(a)->kind, 2u);
    EXPECT_EQ(record(b)->kind, 2u);
    const Lines lines = handler.log.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "list"), 3);  // two sink reports and one PhoneInfo
}

// ---- Passcode ---------------------------------------------------------------

TEST(PasscodeHash, IsFnv1aOverSignExtendedBytes) {
    EXPECT_EQ(passcodeHashOf(""), 0xcbf29ce484222325ull);
    EXPECT_EQ(passcodeHashOf(nullptr), 0xcbf29ce484222325ull);
    EXPECT_EQ(passcodeHashOf("a"), 0xaf63dc4c8601ec8cull);
    EXPECT_EQ(passcodeHashOf("foobar"), 0x85944171f73967e8ull);
    // 0xE9 is taken as -23, i.e. 0xFFFFFFFFFFFFFFE9, not as 0xE9.
    const std::uint64_t signedE9 = (0xcbf29ce484222325ull ^ 0xFFFFFFFFFFFFFFE9ull) * 0x100000001b3ull;
    const std::uint64_t unsignedE9 = (0xcbf29ce484222325ull ^ 0xE9ull) * 0x100000001b3ull;
    EXPECT_EQ(passcodeHashOf("\xE9"), signedE9);
    EXPECT_NE(signedE9, unsignedE9);
}

TEST_F(SessionHandlerTest, AChallengeIsAnsweredWithThePasscodeHashAndThePhoneKeepsItsState) {
    const std::uint64_t hash = passcodeHashOf("1234");
    handler.hash = hash;
    PeerSocket peer = connectPhone(a);
    auto challenge = protocol::buildChallenge(0x11223344u, 0x55667788u);
    writeLe32(challenge.data() + protocol::challenge::kZero, 0xdeadbeefu);
    ASSERT_TRUE(peer.sendAll(challenge));

    const auto answer = expectMessage(peer, protocol::kChallenge);
    ASSERT_EQ(answer.size(), 16u);
    EXPECT_EQ(readLe32(answer.data()), 0x17000010u);
    EXPECT_EQ(readLe32(answer.data() + 4), 0u);
    EXPECT_EQ(readLe32(answer.data() + 8), 0x11223344u ^ static_cast<std::uint32_t>(hash));
    EXPECT_EQ(readLe32(answer.data() + 12), 0x55667788u ^ static_cast<std::uint32_t>(hash >> 32));
    EXPECT_EQ(reg.getPhoneState(a), PhoneState::PasscodeRequired);

    // The phone ends the session: it stays PasscodeRequired and is not
    // connected again until a passcode is set.
    peer.close();
    ASSERT_TRUE(handler.log.waitFor("ended"));
    EXPECT_EQ(handler.log.lines(), (Lines{"list", "state 2", "list", "state 4", "passcode", "ended"}));
    EXPECT_EQ(reg.getPhoneState(a), PhoneState::PasscodeRequired);
    EXPECT_FALSE(handler.connectToPhone(a));
    EXPECT_FALSE(server.connectionPending());
}

TEST_F(SessionHandlerTest, AChallengeWithoutAKnownPasscodeStaysUnanswered) {
    PeerSocket peer = connectPhone(a);
    ASSERT_TRUE(peer.sendAll(protocol::buildChallenge(1, 2)));
    ASSERT_TRUE(peer.sendAll(test::rawMessage(protocol::kChallenge, 12, 12)));  // too short: ignored
    ASSERT_TRUE(peer.sendAll(protocol::buildHeaderOnly(protocol::kPing)));
    expectMessage(peer, protocol::kPingReply);  // nothing came before it
    EXPECT_EQ(handler.log.lines(), (Lines{"list", "state 2", "list", "state 4", "passcode", "ping"}));
}

// ---- Connecting -------------------------------------------------------------

TEST_F(SessionHandlerTest, OnlyIdleOrFailedPhonesAreConnected) {
    addWifiPhone(a, server.port(), handler);
    for (PhoneState busy : {PhoneState::Connecting, PhoneState::Streaming, PhoneState::PasscodeRequired}) {
        reg.setStateQuietly(a, busy);
        EXPECT_FALSE(handler.connectToPhone(a));
        bool hadOne = true;
        handler.destroyTransports(nullptr, &hadOne);
        EXPECT_FALSE(hadOne);
    }
    EXPECT_FALSE(handler.connectToPhone(b));  // unknown
    EXPECT_FALSE(server.connectionPending());

    reg.setStateQuietly(a, PhoneState::Failed);
    EXPECT_TRUE(handler.connectToPhone(a));
    // Held open: a closed peer would end the session and make the phone Idle.
    test::PeerSocket peer = server.accept();
    EXPECT_TRUE(peer.valid());
    EXPECT_EQ(reg.getPhoneState(a), PhoneState::Connecting);
    EXPECT_FALSE(handler.viaUsb());
}

TEST_F(SessionHandlerTest, AConnectThatFailsMakesThePhoneFailedAndDropsTheAddress) {
    addWifiPhone(a, test::closedLoopbackPort(), handler);
    ASSERT_TRUE(handler.connectToPhone(a));
    ASSERT_TRUE(handler.log.waitFor("state 1"));
    // The phone's only path went with the failure: the record is gone.
    EXPECT_EQ(handler.log.lines(), (Lines{"list", "state 2", "ended", "list", "state 1"}));
    EXPECT_FALSE(record(a).has_value());
}

TEST_F(SessionHandlerTest, AStreamThatBreaksWithAFailureMakesThePhoneFailed) {
    PeerSocket peer = connectPhone(a);
    const PeerAddress ipv6Loopback = [] {
        PeerAddress p{};
        p.v6.sin6_family = AF_INET6;
        p.v6.sin6_addr = in6addr_loopback;
        return p;
    }();
    handler.networkSink().PhoneFound(a, 7, "", &ipv6Loopback.sa, htons(4699));  // a second path
    ASSERT_TRUE(peer.sendAll(test::videoMessage(0, 16)));
    ASSERT_TRUE(peer.sendAll(test::rawMessage(protocol::kVideo, protocol::kMaxMessage + 1, 4)));
    ASSERT_TRUE(handler.log.waitFor("state 1"));
    const std::string recordText = readErrorRecord();
    EXPECT_EQ(recordText.rfind("we:so.4000001.8-L", 0), 0u) << recordText;
    EXPECT_NE(recordText.find("-i4.24.8:211"), std::string::npos) << recordText;
    EXPECT_EQ(reg.getPhoneState(a), PhoneState::Failed);
    EXPECT_EQ(record(a)->ipv4.sin_family, 0);  // the address that failed is dropped
    EXPECT_EQ(record(a)->ipv6.sin6_family, AF_INET6);
}

TEST_F(SessionHandlerTest, SilenceEndsTheSessionInAnOrderlyWay) {
    handler.setIdleTimeout(0.5);
    PeerSocket peer = connectPhone(a);
    ASSERT_TRUE(peer.sendAll(protocol::buildHeaderOnly(protocol::kStreamStart)));
    ASSERT_TRUE(handler.log.waitFor("ended"));
    EXPECT_EQ(reg.getPhoneState(a), PhoneState::Idle);
    EXPECT_TRUE(peer.waitClosed());
}

TEST_F(SessionHandlerTest, AnAdbPathIsAUsbPathAndCountsOnTheUsbScoreOfAnAndroidPhone) {
    handler.androidSink().PhoneFound(a, 2, "Pixel", server.port());
    const sockaddr_in wifi = [] {
        sockaddr_in w{};
        w.sin_family = AF_INET;
        w.sin_addr.s_addr = htonl(0x0a000001);
        return w;
    }();
    handler.networkSink().PhoneFound(a, 2, "", reinterpret_cast<const sockaddr*>(&wifi), htons(4699));
    ASSERT_TRUE(handler.connectToPhone(a));
    EXPECT_TRUE(handler.viaUsb());
    PeerSocket peer = server.accept();  // the adb loopback port, not the Wi-Fi address
    ASSERT_TRUE(peer.valid());
    ASSERT_TRUE(peer.sendAll(protocol::buildHeaderOnly(protocol::kStreamStart)));
    ASSERT_TRUE(handler.log.waitFor("streamstart"));
    EXPECT_EQ(record(a)->usbScore, 2);
    EXPECT_EQ(record(a)->wifiScore, 0);
}

// ---- usbmuxd paths ----------------------------------------------------------

class FakeUsbmuxTransport : public UsbmuxSessionTransport {
public:
    FakeUsbmuxTransport(const PhoneId& id, bool usb) {
        id_ = id;
        isUsb_ = usb;
    }
    bool send(const void*, std::size_t) override { return true; }
    void close() override {}
    void stop() override { stopped = true; }
    bool onReceiveThread() const override { return false; }
    bool startReceiving() override {
        stateAtStart = PhoneRegistry::instance().getPhoneState(id_);
        started = true;
        return startSucceeds;
    }
    bool started = false;
    bool stopped = false;
    bool startSucceeds = true;
    PhoneState stateAtStart = PhoneState::Idle;
};

class FakeUsbmuxFactory : public UsbmuxTransportFactory {
public:
    std::shared_ptr<UsbmuxSessionTransport> connect(std::uint32_t handle, const PhoneId& id,
                                                    TransportListener&) override {
        handles.push_back(handle);
        if (!succeed) return nullptr;
        made = std::make_shared<FakeUsbmuxTransport>(id, true);
        made->startSucceeds = threadStarts;
        return made;
    }
    bool succeed = false;
    bool threadStarts = true;
    std::vector<std::uint32_t> handles;
    std::shared_ptr<FakeUsbmuxTransport> made;
};

TEST_F(SessionHandlerTest, WithoutAUsbmuxConnectorTheWifiAddressIsUsed) {
    handler.iosSink().PhoneFound(a, 7, 33, true, "iPhone");
    addWifiPhone(a, server.port(), handler);
    ASSERT_TRUE(handler.connectToPhone(a));
    EXPECT_TRUE(server.accept().valid());
    EXPECT_FALSE(handler.viaUsb());
    EXPECT_EQ(record(a)->usbScore, 0);  // no usbmuxd attempt was made
}

TEST_F(SessionHandlerTest, AFailedUsbmuxConnectCostsAPointAndTriesWifiAtOnce) {
    FakeUsbmuxFactory factory;
    handler.setUsbmuxFactory(&factory);
    handler.iosSink().PhoneFound(a, 7, 33, true, "iPhone");
    addWifiPhone(a, server.port(), handler);
    ASSERT_TRUE(handler.connectToPhone(a));
    EXPECT_EQ(factory.handles, std::vector<std::uint32_t>{33});
    EXPECT_TRUE(server.accept().valid());
    EXPECT_FALSE(handler.viaUsb());
    EXPECT_EQ(record(a)->usbScore, -1);
    EXPECT_EQ(record(a)->wifiScore, 0);
    EXPECT_EQ(handler.log.count("state 1"), 0u);
}

TEST_F(SessionHandlerTest, AFailedUsbmuxConnectWithoutOtherPathMakesThePhoneFailed) {
    FakeUsbmuxFactory factory;
    handler.setUsbmuxFactory(&factory);
    handler.iosSink().PhoneFound(a, 7, 34, true, "iPhone");
    EXPECT_FALSE(handler.connectToPhone(a));
    EXPECT_EQ(reg.getPhoneState(a), PhoneState::Failed);
    EXPECT_EQ(record(a)->usbScore, -1);  // counted once, on the USB path
    EXPECT_EQ(record(a)->wifiScore, 0);
    EXPECT_EQ(handler.log.lines(), (Lines{"list", "list", "state 1"}));
}

TEST_F(SessionHandlerTest, AUsbmuxSessionStartsAfterThePhoneIsConnecting) {
    FakeUsbmuxFactory factory;
    factory.succeed = true;
    handler.setUsbmuxFactory(&factory);
    handler.iosSink().PhoneFound(a, 7, 35, true, "iPhone");
    addWifiPhone(a, server.port(), handler);
    ASSERT_TRUE(handler.connectToPhone(a));
    ASSERT_TRUE(factory.made);
    EXPECT_TRUE(factory.made->started);
    EXPECT_EQ(factory.made->stateAtStart, PhoneState::Connecting);
    EXPECT_TRUE(handler.viaUsb());
    EXPECT_FALSE(server.connectionPending());
    EXPECT_EQ(handler.shared(*factory.made), factory.made);

    PhoneId last{};
    bool hadOne = false;
    handler.destroyTransports(&last, &hadOne);
    EXPECT_TRUE(hadOne);
    EXPECT_EQ(last, a);
    EXPECT_TRUE(factory.made->stopped);
    EXPECT_EQ(handler.shared(*factory.made), nullptr);
}

TEST_F(SessionHandlerTest, AUsbmuxTransportThatCannotStartFallsBackToWifi) {
    FakeUsbmuxFactory factory;
    factory.succeed = true;
    factory.threadStarts = false;
    handler.setUsbmuxFactory(&factory);
    handler.iosSink().PhoneFound(a, 7, 37, true, "iPhone");
    addWifiPhone(a, server.port(), handler);
    ASSERT_TRUE(handler.connectToPhone(a));
    EXPECT_TRUE(server.accept().valid());
    EXPECT_FALSE(handler.viaUsb());
    ASSERT_TRUE(factory.made);
    EXPECT_EQ(handler.shared(*factory.made), nullptr);
    EXPECT_EQ(record(a)->usbScore, -1);
}

// ---- Lifetime ---------------------------------------------------------------

TEST_F(SessionHandlerTest, TransportsMayBeDestroyedFromTheirOwnListener) {
    PhoneId lastId{};
    std::atomic<bool> hadOne{false};
    handler.messageAction = [&](PhoneTransport&, const std::uint8_t* m) {
        if (protocol::headerType(m) != protocol::kPing) return;
        bool had = false;
        handler.destroyTransports(&lastId, &had);
        hadOne = had;
        handler.log.add("destroyed");
    };
    PeerSocket peer = connectPhone(a);
    ASSERT_TRUE(peer.sendAll(protocol::buildHeaderOnly(protocol::kPing)));
    ASSERT_TRUE(handler.log.waitFor("destroyed"));
    EXPECT_TRUE(hadOne);
    EXPECT_EQ(lastId, a);
    EXPECT_TRUE(peer.waitClosed());
    // Released by its owner: no end event follows.
    EXPECT_EQ(handler.log.lines(), (Lines{"list", "state 2", "ping", "destroyed"}));

    bool again = true;
    handler.destroyTransports(nullptr, &again);  // reaps the deferred one
    EXPECT_FALSE(again);
    // A new session works as before.
    handler.messageAction = nullptr;
    reg.setStateQuietly(a, PhoneState::Idle);
    ASSERT_TRUE(handler.connectToPhone(a));
    PeerSocket second = server.accept();
    ASSERT_TRUE(second.sendAll(protocol::buildHeaderOnly(protocol::kPing)));
    expectMessage(second, protocol::kPingReply);
}

TEST_F(SessionHandlerTest, SinkReportsTellTheHostOnlyWhenTheListChanges) {
    handler.iosSink().PhoneFound(a, 7, 40, true, "iPhone");
    handler.iosSink().PhoneFound(a, 7, 41, false, "");
    handler.iosSink().PhoneLost(41);  // another path remains
    handler.androidSink().PhoneFound(b, 2, "Pixel", 6000);
    handler.androidSink().PhoneLost(b);  // its last path: removed
    handler.iosSink().PhoneLost(40);  // a's last path: removed
    EXPECT_EQ(handler.log.lines(), (Lines{"list", "list", "list", "list", "list"}));
    EXPECT_FALSE(record(a).has_value());

    addWifiPhone(a, 5, handler);
    const TransportIdentity t{a, false, PeerAddress{}};
    handler.setPhoneState(t, PhoneState::Idle);
    handler.setPhoneState(t, PhoneState::Idle);
    handler.setPhoneState(t, PhoneState::Streaming);
    handler.setPhoneState(t, PhoneState::Streaming);
    EXPECT_EQ(handler.log.lines(),
              (Lines{"list", "list", "list", "list", "list", "list", "state 0", "state 0", "list", "state 3", "state 3"}));
}

TEST_F(SessionHandlerTest, TheFirstInstanceFreesEveryPhoneWhenItGoes) {
    addWifiPhone(a, 5, handler);
    { TestHandler other(2); }
    EXPECT_TRUE(record(a).has_value());
    { TestHandler first(0); }
    EXPECT_FALSE(record(a).has_value());
}

// ---- With the phone simulator -----------------------------------------------

class SimulatedPhoneTest : public SessionHandlerTest {
protected:
    void SetUp() override {
        SessionHandlerTest::SetUp();
        if (!test::PhoneProcess::available()) GTEST_SKIP() << "the phone simulator is not built";
    }
    // Registers the simulator as phone `a` and connects to it.
    void connectTo(test::PhoneProcess& phone) {
        ASSERT_TRUE(phone.started());
        addWifiPhone(a, phone.sessionPort(), handler);
        ASSERT_TRUE(handler.connectToPhone(a));
    }
};

TEST_F(SimulatedPhoneTest, TheSimulatedPhonesGreetingIsAnswered) {
    recordError(errors::kSendTookNothing);
    test::PhoneProcess phone({"--name", "Simulated"});
    connectTo(phone);
    ASSERT_TRUE(handler.log.waitFor("capabilities"));
    ASSERT_TRUE(handler.log.waitFor("ping"));
    EXPECT_TRUE(phone.waitForLog("rx EngineVersion"));
    EXPECT_TRUE(phone.waitForLog("rx PingReply"));
    EXPECT_TRUE(phone.waitForLog("rx ErrorReport"));
    EXPECT_EQ(reg.nameOf(a), "Simulated");
}

TEST_F(SimulatedPhoneTest, TheRightPasscodeUnlocksThePhone) {
    handler.hash = passcodeHashOf("2468");
    test::PhoneProcess phone({"--passcode", "2468"});
    connectTo(phone);
    ASSERT_TRUE(handler.log.waitFor("capabilities"));
    EXPECT_TRUE(phone.waitForLog("rx Challenge answer ok"));
    EXPECT_EQ(handler.log.count("passcode"), 1u);
    EXPECT_EQ(reg.getPhoneState(a), PhoneState::PasscodeRequired);  // until the stream starts
}

TEST_F(SimulatedPhoneTest, AWrongPasscodeLeavesThePhoneLocked) {
    handler.hash = passcodeHashOf("0000");
    test::PhoneProcess phone({"--passcode", "2468"});
    connectTo(phone);
    ASSERT_TRUE(handler.log.waitFor("ended"));
    EXPECT_TRUE(phone.waitForLog("rx Challenge answer wrong"));
    EXPECT_EQ(reg.getPhoneState(a), PhoneState::PasscodeRequired);
    EXPECT_EQ(handler.log.count("capabilities"), 0u);
    EXPECT_FALSE(handler.connectToPhone(a));
}

}  // namespace
}  // namespace tavin
