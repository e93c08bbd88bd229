// The exported control functions and the engine instance's session side,
// against a phone played by the test over a loopback socket.
//
// The instance table is process-wide, so every scenario that depends on a
// fresh table runs in a child process of its own (a death-test style exit).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine.h"
#include "engine/engine_instance.h"
#include "engine/error_record.h"
#include "engine/instance_table.h"
#include "platform/byte_order.h"
#include "session/protocol.h"
#include "support/child_process.h"
#include "support/output_support.h"

using namespace tavin;

namespace {

std::mutex g_statusLock;
std::vector<std::pair<int, int>> g_status;

void recordStatus(int32_t index, int32_t code) {
    std::lock_guard<std::mutex> guard(g_statusLock);
    g_status.emplace_back(index, code);
}

std::vector<std::pair<int, int>> statuses() {
    std::lock_guard<std::mutex> guard(g_statusLock);
    return g_status;
}

// Every scenario gets its own device directory (empty: no driver) and its
// own registry key.
class Isolated : public ::testing::Test {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        setenv("TAVIN_DEVICE_DIR", (dir_.path() + "/devices").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (dir_.path() + "/config").c_str(), 1);
        std::filesystem::create_directories(dir_.path() + "/devices");
    }
    test::TempDir dir_;
};

// A phone played by the test: a listening loopback socket, one accepted
// session, whole messages read with a bounded wait.
class TestPhone {
public:
    TestPhone() {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener_, 4);
        socklen_t len = sizeof address_;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address_), &len);
    }
    ~TestPhone() {
        if (session_ >= 0) ::close(session_);
        ::close(listener_);
    }
    const sockaddr_in& address() const { return address_; }

    bool accept(int timeoutMs = 5000) {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) != 1) return false;
        session_ = ::accept(listener_, nullptr, nullptr);
        return session_ >= 0;
    }
    void send(const void* data, size_t length) { ASSERT_EQ(::send(session_, data, length, MSG_NOSIGNAL), (ssize_t)length); }
    template <size_t N>
    void send(const std::array<std::uint8_t, N>& m) { send(m.data(), m.size()); }
    void send(const std::vector<std::uint8_t>& m) { send(m.data(), m.size()); }

    // The next whole message, or an empty vector after the time-out.
    std::vector<std::uint8_t> receive(int timeoutMs = 3000) {
        std::vector<std::uint8_t> message(4);
        if (!readExactly(message.data(), 4, timeoutMs)) return {};
        const std::uint32_t length = protocol::headerLength(message.data());
        if (length < 4 || length > 1'000'000) return {};
        message.resize(length);
        if (!readExactly(message.data() + 4, length - 4, timeoutMs)) return {};
        return message;
    }
    // The next message of this type, skipping others.
    std::vector<std::uint8_t> receiveType(std::uint8_t type, int timeoutMs = 3000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            auto m = receive(timeoutMs);
            if (m.empty()) return m;
            if (protocol::headerType(m.data()) == type) return m;
        }
        return {};
    }

private:
    bool readExactly(std::uint8_t* out, size_t n, int timeoutMs) {
        size_t have = 0;
        while (have < n) {
            pollfd p{session_, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) != 1) return false;
            const ssize_t r = recv(session_, out + have, n - have, 0);
            if (r <= 0) return false;
            have += static_cast<size_t>(r);
        }
        return true;
    }

    int listener_ = -1;
    int session_ = -1;
    sockaddr_in address_{};
};

PhoneId testId(std::uint8_t first) {
    PhoneId id{};
    id[0] = first;
    id[15] = 0x77;
    return id;
}

// Brings a phone at the test phone's address into the registry and opens a
// session to it; the test phone then sends Capabilities, which makes the
// session the instance's current one.
void startSession(EngineInstance& instance, TestPhone& phone, const PhoneId& id) {
    instance.networkSink().PhoneFound(id, 7, "Test phone", reinterpret_cast<const sockaddr*>(&phone.address()),
                                      phone.address().sin_port);
    ASSERT_TRUE(instance.connectToPhone(id));
    ASSERT_TRUE(phone.accept());
    const VideoFormat formats[] = {{1280, 720, 30.0f}};
    phone.send(protocol::buildCapabilities(false, formats));
    auto version = phone.receive();
    ASSERT_EQ(version.size(), 12u);
    EXPECT_EQ(protocol::headerType(version.data()), protocol::kEngineVersion);
    // No decoder exists yet: the usage report follows directly.
    auto usage = phone.receiveType(protocol::kCameraUsage);
    ASSERT_EQ(usage.size(), 16u);
    EXPECT_EQ(readLe32(usage.data() + 12), 0u);
    for (int i = 0; i < 200 && !instance.streamingSession(); ++i) usleep(10'000);
    ASSERT_TRUE(instance.streamingSession());
}

std::uint32_t buttonValue(TestPhone& phone, std::int32_t expectedCode) {
    auto m = phone.receiveType(protocol::kButton);
    EXPECT_EQ(m.size(), 12u);
    if (m.size() != 12) return 0xFFFFFFFF;
    EXPECT_EQ(readLeI32(m.data() + 4), expectedCode);
    return readLe32(m.data() + 8);
}

}  // namespace

TEST_F(Isolated, InitializeCreatesAtMostFourSlotsAndOpenGoesInOrder) {
    EXPECT_EXIT(
        {
            EInitialize(6, recordStatus);
            bool ok = true;
            for (std::uint32_t i = 0; i < 4; ++i) ok = ok && InstanceTable::at(i) != nullptr;
            // Without any driver each open fails with -1 but the slot counts.
            for (int i = 0; i < 4; ++i) ok = ok && EOpen() == i;
            ok = ok && EOpen() == -1;
            const auto s = statuses();
            ok = ok && s.size() == 4;
            for (int i = 0; i < 4 && ok; ++i) ok = s[i] == std::make_pair(i, -1);
            // The first failure is the record: the missing audio device of
            // camera 0 with nothing listed.
            ok = ok && readErrorRecord() == "we:s.C0E2D2:319";
            EUninitialize(0);
            ok = ok && InstanceTable::at(0) == nullptr && EOpen() == -1;
            for (std::uint32_t i = 1; i < 4; ++i) EUninitialize(i);
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(Isolated, InitializeWithNoSlotsLeavesNothingToOpen) {
    EXPECT_EXIT(
        {
            EInitialize(0, recordStatus);
            const bool ok = InstanceTable::at(0) == nullptr && EOpen() == -1 && statuses().empty();
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(Isolated, ActiveAndBlankReachTheOpenedSlots) {
    EXPECT_EXIT(
        {
            EInitialize(3, recordStatus);
            for (int i = 0; i < 3; ++i) EOpen();
            ESetActiveIdx(1);
            bool ok = !InstanceTable::at(0)->active() && InstanceTable::at(1)->active();
            ESetActiveIdx(7);
            for (std::uint32_t i = 0; i < 3; ++i) ok = ok && !InstanceTable::at(i)->active();
            ESetActiveIdx(0xFFFFFFFFu);  // -1 from the host
            ESetBlank(1);
            for (std::uint32_t i = 0; i < 3; ++i) ok = ok && InstanceTable::at(i)->output()->blank() == 1;
            // Out-of-range indexes are ignored without harm.
            ButtonEvent(9, 2, 0);
            SetCallback(4, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
            ESelectPhone(7, "1");
            ESelectPhone(0, nullptr);
            for (std::uint32_t i = 0; i < 3; ++i) EUninitialize(i);
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(Isolated, ControlsAreEncodedPerCode) {
    EngineInstance instance(1, 0);
    TestPhone phone;
    startSession(instance, phone, testId(1));

    instance.buttonEvent(7, -5);
    EXPECT_EQ(bitsToFloat(buttonValue(phone, 7)), -1.0f);
    instance.buttonEvent(7, 2500);
    EXPECT_EQ(bitsToFloat(buttonValue(phone, 7)), 0.25f);
    instance.buttonEvent(8, -2500);
    EXPECT_EQ(bitsToFloat(buttonValue(phone, 8)), -0.25f);
    instance.buttonEvent(12, 1);  // not a control: nothing goes out
    instance.buttonEvent(11, 99);
    EXPECT_EQ(buttonValue(phone, 11), 2u);
    instance.buttonEvent(3, 42);
    EXPECT_EQ(buttonValue(phone, 3), 0u);
    instance.buttonEvent(9, -3);
    EXPECT_EQ(static_cast<std::int32_t>(buttonValue(phone, 9)), -3);

    instance.focus(0.25f, 0.75f, 200);
    auto focus = phone.receiveType(protocol::kFocus);
    ASSERT_EQ(focus.size(), 16u);
    EXPECT_EQ(readLe32(focus.data()), 0x12000010u);
    EXPECT_EQ(readLeF32(focus.data() + 4), 0.25f);
    EXPECT_EQ(readLeF32(focus.data() + 8), 0.75f);
    EXPECT_EQ(readLe32(focus.data() + 12), 200u);

    instance.focusDistance(-2, 1.5f);
    auto distance = phone.receiveType(protocol::kFocusDistance);
    ASSERT_EQ(distance.size(), 12u);
    EXPECT_EQ(readLe32(distance.data()), 0x1900000cu);
    EXPECT_EQ(readLeI32(distance.data() + 4), -2);
    EXPECT_EQ(readLeF32(distance.data() + 8), 1.5f);

    // Driver controls travel the same way.
    instance.forwardControlValue(-7);
    EXPECT_EQ(static_cast<std::int32_t>(buttonValue(phone, 4)), -7);
    instance.forwardControlFlag(1);
    EXPECT_EQ(buttonValue(phone, 2), 1u);
}

TEST_F(Isolated, PingIsAnsweredAfterTheStoredRecord) {
    recordError("qc", 75);
    EngineInstance instance(1, 0);
    TestPhone phone;
    instance.networkSink().PhoneFound(testId(2), 7, "Test phone",
                                      reinterpret_cast<const sockaddr*>(&phone.address()), phone.address().sin_port);
    ASSERT_TRUE(instance.connectToPhone(testId(2)));
    ASSERT_TRUE(phone.accept());
    phone.send(protocol::buildHeaderOnly(protocol::kPing));
    auto report = phone.receive();
    ASSERT_EQ(report.size(), 268u);
    EXPECT_EQ(protocol::headerType(report.data()), protocol::kErrorReport);
    EXPECT_STREQ(reinterpret_cast<const char*>(report.data() + 12), "we:qc:75");
    EXPECT_EQ(protocol::headerType(phone.receive().data()), protocol::kPingReply);
    // Uploaded once: the next Ping gets only its reply.
    phone.send(protocol::buildHeaderOnly(protocol::kPing));
    auto reply = phone.receive();
    ASSERT_EQ(reply.size(), 4u);
    EXPECT_EQ(protocol::headerType(reply.data()), protocol::kPingReply);
    EXPECT_EQ(readErrorRecord(), "");
}

TEST_F(Isolated, StreamStopEndsTheSessionAndTheInstanceForgetsIt) {
    EngineInstance instance(1, 0);
    TestPhone phone;
    startSession(instance, phone, testId(3));
    phone.send(protocol::buildHeaderOnly(protocol::kStreamStop));
    for (int i = 0; i < 300 && instance.streamingSession(); ++i) usleep(10'000);
    EXPECT_FALSE(instance.streamingSession());
    EXPECT_TRUE(isZeroId(instance.currentPhoneId()));
    EXPECT_EQ(PhoneRegistry::instance().getPhoneState(testId(3)), PhoneState::Idle);
    // Nothing reaches a phone after the session ended.
    instance.buttonEvent(4, 1);
    EXPECT_TRUE(phone.receive(300).empty());
}

TEST_F(Isolated, SendsRaceSafelyWithTheReleaseOfTheSession) {
    EngineInstance instance(1, 0);
    for (int round = 0; round < 5; ++round) {
        TestPhone phone;
        startSession(instance, phone, testId(static_cast<std::uint8_t>(10 + round)));
        std::atomic<bool> stop{false};
        std::thread host([&] {
            while (!stop.load()) instance.buttonEvent(4, round);
        });
        std::thread reader([&] {
            while (!phone.receive(500).empty()) {
            }
        });
        usleep(20'000);
        instance.releasePhone();
        stop.store(true);
        host.join();
        reader.join();
        EXPECT_FALSE(instance.streamingSession());
        EXPECT_EQ(PhoneRegistry::instance().getPhoneState(testId(static_cast<std::uint8_t>(10 + round))),
                  PhoneState::Idle);
    }
}

namespace {
std::mutex g_hostLock;
std::vector<std::string> g_host;
void note(const std::string& line) {
    std::lock_guard<std::mutex> guard(g_hostLock);
    g_host.push_back(line);
}
std::string fmt(const char* f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char* f, ...) {
    char buf[512];
    va_list args;
    va_start(args, f);
    vsnprintf(buf, sizeof buf, f, args);
    va_end(args);
    return buf;
}
}  // namespace

TEST_F(Isolated, PhoneReportsReachTheHostUnchanged) {
    EngineInstance instance(1, 0);
    instance.host().set(
        [](int32_t i, int32_t c, int32_t v) { note(fmt("1 %d %d %d", i, c, v)); }, nullptr, nullptr,
        [](int32_t i, int32_t a, int32_t b, int32_t c, int32_t d) { note(fmt("4 %d %d %d %d %d", i, a, b, c, d)); },
        [](int32_t i, float a, float b, float c, int32_t d) { note(fmt("5 %d %g %g %g %d", i, a, b, c, d)); },
        [](int32_t i, float a, float b, float c, float d) { note(fmt("6 %d %g %g %g %g", i, a, b, c, d)); },
        [](int32_t i, int32_t a, int32_t b, int32_t c, int32_t d) { note(fmt("7 %d %d %d %d %d", i, a, b, c, d)); },
        [](int32_t i, int32_t m, float d) { note(fmt("8 %d %d %g", i, m, d)); },
        [](int32_t i, const char* names, int32_t v) { note(fmt("9 %d %s %d", i, names, v)); }, nullptr);
    TestPhone phone;
    startSession(instance, phone, testId(4));

    phone.send(protocol::buildButton(-3, 7));
    phone.send(protocol::buildReport(protocol::kReport19, {1, 0xFFFFFFFFu, 3, 4}));
    phone.send(protocol::buildReport(protocol::kReport20, {floatBits(0.5f), floatBits(-2.0f), floatBits(8.0f), 9}));
    phone.send(protocol::buildReport(protocol::kReport21, {floatBits(1.5f), floatBits(2.5f), floatBits(3.5f),
                                                           floatBits(-4.5f)}));
    phone.send(protocol::buildReport(protocol::kReport22, {5, 6, 7, 0x80000000u}));
    auto distance = protocol::buildFocusDistance(2, 0.25f);
    phone.send(distance);
    const std::string names[] = {"Wide", "Tele", "Ultra"};
    phone.send(protocol::buildNameList(42, names));
    ASSERT_TRUE(test::waitUntil([] {
        std::lock_guard<std::mutex> guard(g_hostLock);
        return g_host.size() >= 7;
    }));
    std::lock_guard<std::mutex> guard(g_hostLock);
    EXPECT_EQ(g_host, (std::vector<std::string>{
                          "1 0 -3 7",
                          "4 0 1 -1 3 4",
                          "5 0 0.5 -2 8 9",
                          "6 0 1.5 2.5 3.5 -4.5",
                          "7 0 5 6 7 -2147483648",
                          "8 0 2 0.25",
                          "9 0 Wide/Tele/Ultra 42",
                      }));
}
