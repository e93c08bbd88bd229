// Android phones on a USB cable, reached through adb port forwards.
//
// One per process: engine instance 0 creates it (its thread starts at once)
// and destroys it. Each pass of the thread runs "adb devices", gives each
// newly listed device two local ports forwarded to the phone app's probe
// port 4697 and session port 4699, probes every device through its first
// forward for the phone's PhoneInfo, reports each phone that answered
// through the sink with the local port that leads to its session port, and
// reports lost (and forgets) each device whose probe failed. Then it waits
// up to 30 s: a USB device that arrives starts the next pass about 2 s
// later, one that is removed starts it at once, and a resume from sleep
// forgets every device (without reports) after about 5 s.
//
// adb runs as a child process (found through PATH) with bounded waits; its
// output is read up to a bound. When the first run finds no adb at all the
// thread ends. Destruction ends every wait and adb run within about 100 ms,
// then stops adb's server with "adb kill-server" (at most 5 s). There is no
// notice of the user's session ending here, so the server is always
// stopped.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/device_notifications.h"
#include "platform/thread.h"
#include "session/phone_sinks.h"
#include "session/phone_transport.h"
#include "session/protocol.h"

namespace tavin {

// The first local ports tried for the two forwards of a device.
inline constexpr std::uint16_t kAdbProbeBasePort = 4600;
inline constexpr std::uint16_t kAdbSessionBasePort = 4699;
// Bounds of what adb's "devices" output may add: devices beyond the count
// and serials beyond the length (or holding a NUL byte) are not taken.
inline constexpr std::size_t kMaxAdbDevices = 64;
inline constexpr std::size_t kMaxAdbSerial = 255;
// At most this much of one adb run's output is kept; the rest is read and
// dropped.
inline constexpr std::size_t kMaxAdbOutput = 64 * 1024;

struct AdbDeviceEntry {
    std::string serial;
    std::uint16_t probePort = 0;    // local port forwarded to the phone's 4697; 0 until assigned
    std::uint16_t sessionPort = 0;  // local port forwarded to the phone's 4699; 0 until assigned
    protocol::PhoneInfoFields info{};  // the last PhoneInfo received; all zero until then
    bool stale = false;                // set before each probe, cleared when it answers
};

// Appends the devices that adb's "devices" output lists as attached (the
// state word "device" followed by CR or by the end of its line; the serial
// is the text before it without trailing white space) and that `entries`
// does not hold yet; serials naming a device reached over the network
// (":5555") are skipped, as is everything beyond the bounds above. Only
// lines ended by LF are read. True when the list grew.
bool addAttachedDevices(std::string_view output, std::vector<AdbDeviceEntry>& entries);

// Gives every entry, in order, its two ports: each the lowest from the base
// port on that no entry holds at that moment (the entry's own old port
// included). That is where walks over all entries, as many as there are
// entries, each adding 1 to the candidate whenever an entry's port equals
// it, arrive.
void assignForwardPorts(std::vector<AdbDeviceEntry>& entries);

class AndroidUsbWatcher final : public TransportListener {
public:
    // How an adb run ended.
    enum class RunStatus {
        Ran,           // adb ran; its output is in the result
        NotInstalled,  // no adb was found
        Failed,        // the pipe or the process could not be made (recorded)
    };
    struct RunResult {
        std::string output;  // "err" when the run failed
        RunStatus status = RunStatus::Ran;
    };
    enum class OutputWait { Wait, DontWait };

    // Starts the thread. The clock tells resumes from sleep (tests hand in
    // their own); it must outlive the watcher.
    explicit AndroidUsbWatcher(platform::SleepClock& sleepClock = platform::systemSleepClock());
    ~AndroidUsbWatcher() override;
    AndroidUsbWatcher(const AndroidUsbWatcher&) = delete;
    AndroidUsbWatcher& operator=(const AndroidUsbWatcher&) = delete;

    // Stores the sink (null: none) and, when there is one, reports every
    // known phone to it again. After it returns the old sink hears nothing
    // more. Any thread.
    void SetSink(AndroidPhoneSink* sink);

    // True while the thread runs.
    bool running() const { return running_.load(); }

    // The serials of the devices it holds now, in order (for tests and tools).
    std::vector<std::string> serials() const;

    // Probe listener.
    void onConnected(PhoneTransport& transport) override;
    void onConnectFailed(PhoneTransport& transport) override;
    void onDisconnected(PhoneTransport& transport) override;
    void onMessage(PhoneTransport& transport, const std::uint8_t* message, std::uint32_t length) override;

private:
    void run();
    RunResult runAdb(const std::vector<std::string>& arguments, OutputWait wait);
    std::size_t refreshAdbDevices();
    void probe(std::size_t index);
    void purge();
    void waitForChange(platform::DeviceNotifications& notifications);
    // Waits in steps up to totalMs while running and `more()` holds, noting
    // in `change` the device changes as they come.
    template <class More>
    void waitWhile(platform::DeviceNotifications& notifications, int totalMs, platform::DeviceChange& change,
                   More more);

    platform::SleepClock& sleepClock_;
    mutable std::mutex lock_;           // guards sink_ and devices_, held across sink calls
    AndroidPhoneSink* sink_ = nullptr;
    std::vector<AdbDeviceEntry> devices_;  // changed by the thread only
    std::atomic<bool> running_{true};
    std::atomic<int> probeStatus_{0};
    protocol::PhoneInfoFields probeInfo_{};  // written before probeStatus_ turns 2
    platform::Thread thread_;
};

}  // namespace tavin
