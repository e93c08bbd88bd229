// The system's notices that make the USB watcher look again: a USB device
// was added or removed (kernel uevents on a NETLINK_KOBJECT_UEVENT socket),
// or the machine resumed from sleep (CLOCK_BOOTTIME ran more than 2 s ahead
// of CLOCK_MONOTONIC since the last check: the time the machine slept).
//
// Where the uevent socket cannot be had (no permission, no netlink), only
// the resume check works; the watcher's periodic rescans go on regardless.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavin::platform {

enum class DeviceChange : std::int32_t {
    None = 0,
    Arrived = 1,
    Removed = 2,
    Resumed = 3,
};

// The time the machine has slept since it started, in seconds.
class SleepClock {
public:
    virtual ~SleepClock() = default;
    virtual double sleptSeconds() = 0;
};

// CLOCK_BOOTTIME minus CLOCK_MONOTONIC. Process-wide, lives for the
// process.
SleepClock& systemSleepClock();

// Reads one kernel uevent: Arrived for the "add" and Removed for the
// "remove" of a USB device (SUBSYSTEM=usb, DEVTYPE=usb_device), None for
// anything else. Never reads past `length`.
DeviceChange parseUsbUevent(const std::uint8_t* data, std::size_t length);

class DeviceNotifications {
public:
    // A resume is a jump of the slept time by more than this between checks.
    static constexpr double kResumeJumpSeconds = 2.0;

    // Opens the uevent socket (when it can) and takes the first reading of
    // the clock. The clock must outlive this object.
    explicit DeviceNotifications(SleepClock& clock);
    ~DeviceNotifications();
    DeviceNotifications(const DeviceNotifications&) = delete;
    DeviceNotifications& operator=(const DeviceNotifications&) = delete;

    bool usbEventsAvailable() const { return fd_ >= 0; }

    // Waits at most timeoutMs for a uevent, then takes what is pending
    // (a bounded number of messages) and checks the clock. Returns the last
    // change noticed (a resume over any USB event), None when nothing
    // happened. A lost overflow of events counts as an arrival.
    DeviceChange wait(int timeoutMs);

private:
    DeviceChange drain();

    int fd_ = -1;
    SleepClock& clock_;
    double lastSlept_;
};

}  // namespace tavin::platform
