// iOS phones on USB: the watcher of the usbmuxd service.
//
// The watcher subscribes to usbmuxd's device events through libusbmuxd
// (which keeps trying to reach the service on its own thread for as long
// as the subscription lasts), keeps the attached devices in the process-wide
// IosDevices list, and probes each device that has not answered yet, at
// most every 2 s: a usbmuxd connection to the phone app's probe port 4697,
// else to its session port 4699, must deliver one whole 280-byte PhoneInfo
// within 200 ms. Phones are reported through the IosPhoneSink by their
// usbmuxd device handle, with an empty name; a device removed, or a usbmuxd
// session that ended, is reported lost and probed again.
//
// One watcher per process, owned by engine instance 0: its thread starts at
// construction; destruction stops it (the thread notices within one pass:
// at most one usbmuxd connect, a 200 ms read and a 100 ms sleep) and ends
// the subscription, which stops libusbmuxd's thread. While the service is
// missing, libusbmuxd looks for it once a second (its inotify wait is
// turned off: it leaks its descriptor when the subscription ends).
#pragma once

#include <usbmuxd.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "discovery/ios_devices.h"
#include "platform/thread.h"
#include "session/phone_sinks.h"
#include "session/usbmux_connector.h"

namespace tavin {

class IosUsbWatcher {
public:
    // A device is probed again at most this often until it answers.
    static constexpr double kProbeSpacing = 2.0;
    // A probe reads one PhoneInfo within this time.
    static constexpr int kProbeReadMs = 200;
    static constexpr int kPassSleepMs = 100;

    explicit IosUsbWatcher(IosDevices& devices = IosDevices::instance());
    ~IosUsbWatcher();
    IosUsbWatcher(const IosUsbWatcher&) = delete;
    IosUsbWatcher& operator=(const IosUsbWatcher&) = delete;

    // Stores the sink (null: none) and, when there is one, reports every
    // phone probed so far to it, with an empty name. Once SetSink returns,
    // the previous sink is not called any more. Called on engine threads.
    void SetSink(IosPhoneSink* sink);

    // True once the event subscription is in place (for tests).
    bool subscribed() const { return subscribed_.load(); }

    // The process-wide connector of usbmuxd sessions to the devices of
    // IosDevices; every engine instance connects through it. It lives as
    // long as the library (see engine/engine_context.h).
    static UsbmuxTransportFactory& connector();

private:
    static void onEvent(const usbmuxd_event_t* event, void* devices);
    void run();
    void probePass();
    void endedPass();
    // One probe of a device: true with `phoneInfo` filled when it answered.
    bool probe(std::uint32_t handle, std::uint8_t* phoneInfo);

    IosDevices& devices_;
    std::mutex sinkLock_;  // held while the sink is called or replaced
    IosPhoneSink* sink_ = nullptr;
    usbmuxd_subscription_context_t subscription_ = nullptr;  // written by the thread before it loops
    std::atomic<bool> subscribed_{false};
    std::atomic<bool> running_{true};
    platform::Thread thread_;
};

}  // namespace tavin
