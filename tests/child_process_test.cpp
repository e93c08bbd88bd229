// Child processes of the platform layer, and the device-change notices,
// with real programs and, where it can, real uevents in a namespace of
// the test's own.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "platform/child_process.h"
#include "platform/clock.h"
#include "platform/device_notifications.h"
#include "support/adb_support.h"
#include "support/netns.h"

using namespace tavin::platform;

namespace {

// Everything the child writes until it closes its output (bounded).
std::string readAll(ChildProcess& child) {
    std::string out;
    std::uint8_t chunk[256];
    for (int i = 0; i < 200; ++i) {
        std::size_t got = 0;
        const ReadStatus status = child.read(chunk, sizeof chunk, 100, got);
        if (status == ReadStatus::Data) out.append(reinterpret_cast<char*>(chunk), got);
        if (status == ReadStatus::EndOfOutput || status == ReadStatus::Failed) break;
    }
    return out;
}

std::unique_ptr<ChildProcess> start(const std::vector<std::string>& argv) {
    StartFailure failure = StartFailure::None;
    int error = 0;
    auto child = ChildProcess::start(argv, &failure, &error);
    EXPECT_TRUE(child) << argv[0] << ": " << error;
    return child;
}

bool gone(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

std::vector<std::uint8_t> uevent(const std::string& text) { return {text.begin(), text.end()}; }

class FakeSleepClock : public SleepClock {
public:
    double sleptSeconds() override { return slept; }
    double slept = 100.0;
};

}  // namespace

TEST(ChildProcess, ArgumentsArriveAsGivenAndBothStreamsShareThePipe) {
    auto printf = start({"printf", "%s|", "a b; c", "$(echo x) `y` 'q' \"r\" *"});
    ASSERT_TRUE(printf);
    EXPECT_EQ(readAll(*printf), "a b; c|$(echo x) `y` 'q' \"r\" *|");
    EXPECT_TRUE(printf->waitForExit(5000));

    auto both = start({"sh", "-c", "echo out; echo err >&2"});
    ASSERT_TRUE(both);
    EXPECT_EQ(both->waitForOutput(5000), OutputState::Available);
    EXPECT_GT(both->bytesAvailable(), 0);
    EXPECT_EQ(readAll(*both), "out\nerr\n");
    EXPECT_EQ(both->waitForOutput(1000), OutputState::Closed);

    // Input is /dev/null, and a descriptor of this process without
    // close-on-exec is not inherited.
    const int leaked = fcntl(open("/dev/null", O_RDONLY), F_DUPFD, 50);
    ASSERT_GE(leaked, 50);
    auto input = start({"readlink", "/proc/self/fd/0", "/proc/self/fd/" + std::to_string(leaked)});
    ASSERT_TRUE(input);
    EXPECT_EQ(readAll(*input), "/dev/null\n");
    close(leaked);
}

TEST(ChildProcess, MissingProgramAndHungChildren) {
    StartFailure failure = StartFailure::None;
    int error = 0;
    EXPECT_FALSE(ChildProcess::start({"tavin-no-such-program"}, &failure, &error));
    EXPECT_EQ(failure, StartFailure::Process);
    EXPECT_EQ(error, ENOENT);

    // Silent and never ending: every wait ends at its bound, then the child
    // is killed and reaped.
    auto hung = start({"sleep", "600"});
    ASSERT_TRUE(hung);
    const pid_t pid = hung->pid();
    EXPECT_EQ(hung->waitForOutput(50), OutputState::Nothing);
    std::size_t got = 0;
    std::uint8_t byte;
    EXPECT_EQ(hung->read(&byte, 1, 50, got), ReadStatus::NothingYet);
    EXPECT_FALSE(hung->waitForExit(100));
    std::atomic<bool> keepWaiting{false};
    const double before = processClock();
    EXPECT_FALSE(hung->waitForExit(60000, &keepWaiting));  // ends with the flag
    EXPECT_LT(processClock() - before, 30.0);
    hung.reset();
    EXPECT_TRUE(gone(pid));  // not even a zombie
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, WNOHANG), -1);
}

TEST(DeviceNotifications, UeventsOfUsbDevicesOnly) {
    using std::string_literals::operator""s;
    const auto add = uevent("add@/devices/usb1/1-1\0ACTION=add\0DEVPATH=/devices/usb1/1-1\0SUBSYSTEM=usb\0"
                            "DEVTYPE=usb_device\0SEQNUM=7\0"s);
    const auto remove = uevent("remove@/devices/usb1/1-1\0ACTION=remove\0SUBSYSTEM=usb\0DEVTYPE=usb_device"s);
    EXPECT_EQ(parseUsbUevent(add.data(), add.size()), DeviceChange::Arrived);
    EXPECT_EQ(parseUsbUevent(remove.data(), remove.size()), DeviceChange::Removed);  // last field without NUL
    // Cut inside a value, an interface, another subsystem, another action,
    // udev's own messages and no header: nothing.
    EXPECT_EQ(parseUsbUevent(add.data(), add.size() - 20), DeviceChange::None);
    for (const std::string& text :
         {"add@/x\0ACTION=add\0SUBSYSTEM=usb\0DEVTYPE=usb_interface\0"s, "add@/x\0ACTION=add\0SUBSYSTEM=block\0"s,
          "bind@/x\0ACTION=bind\0SUBSYSTEM=usb\0DEVTYPE=usb_device\0"s,
          "libudev\0ACTION=add\0SUBSYSTEM=usb\0DEVTYPE=usb_device\0"s, "ACTION=add\0SUBSYSTEM=usb\0DEVTYPE=usb_device"s,
          ""s}) {
        const auto bytes = uevent(text);
        EXPECT_EQ(parseUsbUevent(bytes.data(), bytes.size()), DeviceChange::None) << text;
    }
}

TEST(DeviceNotifications, ResumeAndUeventsInANamespaceOfItsOwn) {
    FakeSleepClock clock;
    {
        DeviceNotifications notifications(clock);
        clock.slept += 1.5;  // time in sleep below the jump: no resume
        EXPECT_EQ(notifications.wait(0), DeviceChange::None);
        clock.slept += 2.5;
        EXPECT_EQ(notifications.wait(0), DeviceChange::Resumed);
        EXPECT_EQ(notifications.wait(0), DeviceChange::None);
    }
    std::string why;
    if (!tavin::test::enterPrivateNetwork(&why)) GTEST_SKIP() << why;
    DeviceNotifications notifications(clock);
    ASSERT_TRUE(notifications.usbEventsAvailable());
    ASSERT_TRUE(tavin::test::sendUsbUevent("add"));
    ASSERT_TRUE(tavin::test::sendUsbUevent("remove"));
    EXPECT_EQ(notifications.wait(5000), DeviceChange::Removed);  // the last one counts
    EXPECT_EQ(notifications.wait(0), DeviceChange::None);
    // A resume outweighs a USB event noticed with it.
    ASSERT_TRUE(tavin::test::sendUsbUevent("add"));
    clock.slept += 10.0;
    EXPECT_EQ(notifications.wait(5000), DeviceChange::Resumed);
}
