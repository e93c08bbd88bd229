// The adb watcher: adb's output and the port assignment from byte arrays,
// then the watcher against the adb stand-in and the phone simulator as real
// processes. Where it can (as root) each test runs in a network namespace
// of its own, where the ports 4600 and 4699 are free and synthetic USB
// uevents wake the rescans; tests that need rescans skip elsewhere.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "discovery/android_usb_watcher.h"
#include "engine/error_record.h"
#include "engine/phone_list.h"
#include "platform/clock.h"
#include "support/adb_support.h"
#include "support/engine_support.h"
#include "support/netns.h"
#include "support/session_support.h"

using namespace tavin;

namespace {

constexpr const char* kId1Text = "a1000000000000000000000000000001";
constexpr const char* kId2Text = "a2000000000000000000000000000002";
const PhoneId kId1{0xa1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const PhoneId kId2{0xa2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};

// Reports as lines, phones named by their keys.
class RecordingAndroidSink : public AndroidPhoneSink {
public:
    void PhoneFound(const PhoneId& id, std::uint16_t kind, std::string_view name, std::uint16_t localPort) override {
        log.add("found " + phoneKey(id) + " " + std::to_string(kind) + " " + std::string(name) + " " +
                std::to_string(localPort));
    }
    void PhoneLost(const PhoneId& id) override { log.add("lost " + phoneKey(id)); }

    std::size_t lostCount() const {
        std::size_t n = 0;
        for (const std::string& line : log.lines()) n += line.rfind("lost ", 0) == 0;
        return n;
    }

    test::EventLog log;
};

std::string found(const PhoneId& id, const char* name, std::uint16_t port) {
    return "found " + phoneKey(id) + " 2 " + name + " " + std::to_string(port);
}

class FakeSleepClock : public platform::SleepClock {
public:
    double sleptSeconds() override { return slept.load(); }
    std::atomic<double> slept{0.0};
};

std::vector<std::string> serialsOf(const std::vector<AdbDeviceEntry>& entries) {
    std::vector<std::string> out;
    for (const AdbDeviceEntry& e : entries) out.push_back(e.serial);
    return out;
}

// The first message that arrives on a connection to 127.0.0.1:port.
std::optional<std::vector<std::uint8_t>> greeting(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const PeerAddress address = test::loopbackAddress(port);
    if (fd < 0 || connect(fd, &address.sa, sizeof(sockaddr_in)) != 0) {
        if (fd >= 0) close(fd);
        return std::nullopt;
    }
    test::PeerSocket socket(fd);
    return socket.readMessage();
}

PhoneId idOf(const std::vector<std::uint8_t>& phoneInfo) {
    protocol::PhoneInfoFields info;
    protocol::parsePhoneInfo(phoneInfo.data(), phoneInfo.size(), info);
    return info.id;
}

class AdbWatcher : public ::testing::Test {
protected:
    void SetUp() override { isolated_ = test::enterPrivateNetwork(&why_); }
    void TearDown() override { watcher_.reset(); }

    std::unique_ptr<test::PhoneProcess> phone(const char* idText, const char* name) {
        auto p = std::make_unique<test::PhoneProcess>(std::vector<std::string>{
            "--probe-port", "auto", "--kind", "2", "--id", idText, "--name", name, "--no-log"});
        EXPECT_TRUE(p->started() && p->probePort() != 0);
        return p;
    }
    void start(platform::SleepClock& clock = platform::systemSleepClock()) {
        watcher_ = std::make_unique<AndroidUsbWatcher>(clock);
        watcher_->SetSink(&sink_);
    }

    bool isolated_ = false;
    std::string why_;
    test::TempConfigHome config_;
    test::AdbStandIn adb_;
    RecordingAndroidSink sink_;
    FakeSleepClock clock_;  // outlives the watcher, whose thread reads it
    std::unique_ptr<AndroidUsbWatcher> watcher_;
};

}  // namespace

TEST(AdbOutput, AttachedDevicesAreTakenWithinBounds) {
    const std::string longSerial(10000, 'x');
    const std::string output = std::string("List of devices attached\r\n") +  // "devices" is no state word
                               "SER1\tdevice\r\n"
                               "SER1\tdevice\n"  // listed twice: added once
                               "BAD1\tunauthorized\r\n"
                               "BAD2\toffline\n"
                               "192.168.1.9:5555\tdevice\n"  // over the network
                               + longSerial + "\tdevice\n" + std::string("nul\0led\tdevice\n", 15) +
                               "\tdevice\n"                    // no serial at all
                               "caf\xc3\xa9 \xff;$(x) \t device\r\n"  // any other bytes are the serial's
                               "LAST\tdevice";                // a line without its end
    std::vector<AdbDeviceEntry> entries;
    EXPECT_TRUE(addAttachedDevices(output, entries));
    EXPECT_EQ(serialsOf(entries), (std::vector<std::string>{"SER1", "caf\xc3\xa9 \xff;$(x)"}));
    EXPECT_FALSE(addAttachedDevices(output, entries));  // nothing new

    // A list of any length adds at most the bound.
    std::string many;
    for (int i = 0; i < 200; ++i) many += "D" + std::to_string(i) + "\tdevice\n";
    EXPECT_TRUE(addAttachedDevices(many, entries));
    EXPECT_EQ(entries.size(), kMaxAdbDevices);
}

TEST(AdbOutput, PortsAreReassignedAsTheListGrowsAndStayDistinct) {
    std::vector<AdbDeviceEntry> entries(1);
    assignForwardPorts(entries);
    EXPECT_EQ(entries[0].probePort, 4600);
    EXPECT_EQ(entries[0].sessionPort, 4699);
    // A second device: the first one's old port counts against itself.
    entries.emplace_back();
    assignForwardPorts(entries);
    EXPECT_EQ(entries[0].probePort, 4601);
    EXPECT_EQ(entries[0].sessionPort, 4700);
    EXPECT_EQ(entries[1].probePort, 4600);
    EXPECT_EQ(entries[1].sessionPort, 4699);
    while (entries.size() < kMaxAdbDevices) {
        entries.emplace_back();
        assignForwardPorts(entries);
        std::set<std::uint16_t> probe, session;
        for (const AdbDeviceEntry& e : entries) {
            probe.insert(e.probePort);
            session.insert(e.sessionPort);
            EXPECT_LE(e.probePort, kAdbProbeBasePort + kMaxAdbDevices);
        }
        ASSERT_EQ(probe.size(), entries.size());
        ASSERT_EQ(session.size(), entries.size());
    }
}

TEST_F(AdbWatcher, OneDeviceIsForwardedProbedAndFound) {
    auto pixel = phone(kId1Text, "Pixel");
    adb_.setDevices("List of devices attached\r\nSER1\tdevice\r\n\r\n");
    adb_.addPhone("SER1", pixel->probePort(), pixel->sessionPort());
    start();
    ASSERT_TRUE(sink_.log.waitFor(found(kId1, "Pixel", 4699)));
    EXPECT_EQ(adb_.forwards(),
              (std::vector<std::string>{test::forwardCommand("SER1", 4600, 4697), test::forwardCommand("SER1", 4699, 4699)}));
    EXPECT_EQ(adb_.lastRunDescriptors(), "0 1 2");  // adb inherits nothing but its pipe
    // The session forward outlives the adb run that made it and leads to
    // the phone's session port, where the phone greets with its PhoneInfo.
    const auto hello = greeting(4699);
    ASSERT_TRUE(hello);
    EXPECT_EQ(idOf(*hello), kId1);

    // A new sink hears the known phone at once.
    RecordingAndroidSink other;
    watcher_->SetSink(&other);
    EXPECT_EQ(other.log.count(found(kId1, "Pixel", 4699)), 1u);
    watcher_->SetSink(nullptr);
}

TEST_F(AdbWatcher, SerialWithSpacesAndShellCharactersIsOneArgument) {
    const std::string serial = "it's a \"phone\"; $(touch x) & `y` | z";
    adb_.setDevices("List of devices attached\n" + serial + "\tdevice\n\n");
    start();
    EXPECT_TRUE(test::waitFor([&] { return adb_.forwards().size() == 2; }, 10.0));
    EXPECT_EQ(adb_.forwards(),
              (std::vector<std::string>{test::forwardCommand(serial, 4600, 4697), test::forwardCommand(serial, 4699, 4699)}));
    // No phone answers behind it: it is reported lost with the zero id.
    EXPECT_TRUE(sink_.log.waitFor("lost " + phoneKey(PhoneId{})));
}

TEST_F(AdbWatcher, RescansReassignPortsAndForwardOnlyWhenTheListGrows) {
    if (!isolated_) GTEST_SKIP() << "rescans are woken by synthetic uevents: " << why_;
    auto first = phone(kId1Text, "First");
    auto second = phone(kId2Text, "Second");
    adb_.addPhone("SER1", first->probePort(), first->sessionPort());
    adb_.addPhone("SER2", second->probePort(), second->sessionPort());
    adb_.setDevices("List of devices attached\nSER1\tdevice\n\n");
    start();
    ASSERT_TRUE(sink_.log.waitFor(found(kId1, "First", 4699)));

    // A removed USB device starts a pass at once; the phone is found again,
    // and the unchanged list runs no forward.
    const int listings = adb_.count("devices");
    ASSERT_TRUE(test::sendUsbUevent("remove"));
    ASSERT_TRUE(sink_.log.waitFor(found(kId1, "First", 4699), test::kWaitMs, 2));
    EXPECT_EQ(adb_.count("devices"), listings + 1);
    EXPECT_EQ(adb_.forwards().size(), 2u);

    // A second device arrives: every device gets its ports again, the
    // first one's moving on by one.
    adb_.setDevices("List of devices attached\nSER1\tdevice\nSER2\tdevice\n\n");
    ASSERT_TRUE(test::sendUsbUevent("add"));
    ASSERT_TRUE(sink_.log.waitFor(found(kId2, "Second", 4699)));
    EXPECT_TRUE(sink_.log.waitFor(found(kId1, "First", 4700)));
    EXPECT_EQ(adb_.forwards(),
              (std::vector<std::string>{
                  test::forwardCommand("SER1", 4600, 4697), test::forwardCommand("SER1", 4699, 4699),
                  test::forwardCommand("SER1", 4601, 4697), test::forwardCommand("SER1", 4700, 4699),
                  test::forwardCommand("SER2", 4600, 4697), test::forwardCommand("SER2", 4699, 4699)}));
    const auto firstHello = greeting(4700);
    const auto secondHello = greeting(4699);
    ASSERT_TRUE(firstHello && secondHello);
    EXPECT_EQ(idOf(*firstHello), kId1);
    EXPECT_EQ(idOf(*secondHello), kId2);
    EXPECT_EQ(sink_.lostCount(), 0u);
}

TEST_F(AdbWatcher, PhoneThatStopsAnsweringIsReportedLostAndForgotten) {
    if (!isolated_) GTEST_SKIP() << "rescans are woken by synthetic uevents: " << why_;
    auto pixel = phone(kId1Text, "Pixel");
    adb_.setDevices("List of devices attached\nSER1\tdevice\n\n");
    adb_.addPhone("SER1", pixel->probePort(), pixel->sessionPort());
    start();
    ASSERT_TRUE(sink_.log.waitFor(found(kId1, "Pixel", 4699)));
    pixel.reset();  // the app is gone; adb still lists the device
    ASSERT_TRUE(test::sendUsbUevent("remove"));
    ASSERT_TRUE(sink_.log.waitFor("lost " + phoneKey(kId1)));
    EXPECT_TRUE(watcher_->serials().empty());
}

TEST_F(AdbWatcher, MissingAdbEndsTheWatcher) {
    // What a shell prints for a missing program ends it...
    adb_.setDevices("sh: 1: adb: not found\n");
    start();
    EXPECT_TRUE(test::waitFor([&] { return !watcher_->running(); }, 10.0));
    watcher_.reset();
    EXPECT_EQ(adb_.commands(), std::vector<std::string>{"devices"});  // no forward, no kill-server

    // ...and so does no adb on PATH at all, which is no failure of the engine.
    adb_.hideAdb();
    start();
    EXPECT_TRUE(test::waitFor([&] { return !watcher_->running(); }, 10.0));
    EXPECT_EQ(readErrorRecord(), "");
}

TEST_F(AdbWatcher, HungAdbIsKilledAndStoppingEndsARunAtOnce) {
    adb_.setDevices("List of devices attached\nSER1\tdevice\n\n");
    adb_.setHanging(true);
    start();
    // The first listing never ends: after its bounds it is killed and
    // reaped, and the next run starts.
    ASSERT_TRUE(test::waitFor([&] { return adb_.count("devices") >= 2; }, 30.0));
    const test::AdbChildren during = test::adbChildren();
    EXPECT_LE(during.running, 1);
    EXPECT_EQ(during.zombies, 0);

    // Stopping while that run hangs kills it at once; the last run,
    // kill-server, ends normally.
    adb_.setHanging(false);
    const double before = platform::processClock();
    watcher_.reset();
    const double stopSeconds = platform::processClock() - before;
    std::printf("stopping during a hung adb run took %.3f s\n", stopSeconds);
    EXPECT_LT(stopSeconds, 5.0);
    EXPECT_EQ(adb_.count("kill-server"), 1);
    EXPECT_EQ(test::adbChildren().running, 0);
}

TEST_F(AdbWatcher, ResumeForgetsDevicesQuietlyAndFindsThemAgain) {
    auto pixel = phone(kId1Text, "Pixel");
    adb_.setDevices("List of devices attached\nSER1\tdevice\n\n");
    adb_.addPhone("SER1", pixel->probePort(), pixel->sessionPort());
    start(clock_);
    ASSERT_TRUE(sink_.log.waitFor(found(kId1, "Pixel", 4699)));
    clock_.slept.store(60.0);  // the machine slept a minute
    // About 5 s later the list is emptied; the next pass lists the device
    // as new, forwards it again and finds the phone again.
    EXPECT_TRUE(test::waitFor([&] { return adb_.forwards().size() == 4; }, 15.0));
    EXPECT_TRUE(sink_.log.waitFor(found(kId1, "Pixel", 4699), test::kWaitMs, 2));
    EXPECT_EQ(sink_.lostCount(), 0u);
}
