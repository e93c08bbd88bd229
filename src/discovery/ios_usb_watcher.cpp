#include "discovery/ios_usb_watcher.h"

#include <cerrno>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "session/usbmux_transport.h"

namespace tavin {

namespace {

constexpr std::uint32_t kPhoneInfoSize = protocol::phone_info::kSize;

}  // namespace

IosUsbWatcher::IosUsbWatcher(IosDevices& devices) : devices_(devices) {
    // Without a thread no iOS phone is ever found; the engine runs on.
    if (!thread_.start([this] { run(); })) running_ = false;
}

IosUsbWatcher::~IosUsbWatcher() {
    running_ = false;
    thread_.join();
    // Ending the subscription stops libusbmuxd's thread (it is cancelled in
    // its wait for the service), so that nothing calls back into a watcher
    // that is gone or into a library that is unloaded. libusbmuxd reports
    // every device it knew as removed on the way.
    if (subscription_ != nullptr) usbmuxd_events_unsubscribe(subscription_);
}

void IosUsbWatcher::SetSink(IosPhoneSink* sink) {
    std::lock_guard<std::mutex> guard(sinkLock_);
    sink_ = sink;
    if (sink_ == nullptr) return;
    for (const ProbedPhone& phone : devices_.probedPhones()) sink_->PhoneFound(phone.id, phone.kind, phone.handle, phone.usb, {});
}

void IosUsbWatcher::onEvent(const usbmuxd_event_t* event, void* devices) {
    // Called on libusbmuxd's thread; only the device list is touched.
    if (event == nullptr || devices == nullptr) return;
    auto& list = *static_cast<IosDevices*>(devices);
    switch (event->event) {
        case UE_DEVICE_ADD: list.deviceAdded(event->device); break;
        case UE_DEVICE_REMOVE: list.deviceRemoved(event->device.handle); break;
        default: break;  // paired and any other event
    }
}

void IosUsbWatcher::run() {
    // While the service is missing, libusbmuxd's thread would wait for its
    // socket through an inotify descriptor that it leaks when the
    // subscription ends (the thread is cancelled inside that wait). Told
    // not to, it tries the socket once a second and holds nothing meanwhile.
    libusbmuxd_set_use_inotify(0);
    usbmuxd_subscription_context_t context = nullptr;
    if (usbmuxd_events_subscribe(&context, onEvent, &devices_) != 0) return;
    subscription_ = context;
    subscribed_ = true;
    while (running_.load()) {
        probePass();
        endedPass();
        platform::sleepMs(kPassSleepMs);
    }
}

void IosUsbWatcher::probePass() {
    for (const IosDevices::ProbeTarget& target : devices_.dueForProbe(platform::processClock(), kProbeSpacing)) {
        if (!running_.load()) return;
        std::uint8_t phoneInfo[kPhoneInfoSize];
        const bool answered = probe(target.handle, phoneInfo);
        const std::optional<ProbedPhone> phone =
            devices_.probed(target.handle, answered ? phoneInfo : nullptr, platform::processClock());
        if (!phone) continue;
        std::lock_guard<std::mutex> guard(sinkLock_);
        if (sink_ != nullptr) sink_->PhoneFound(phone->id, phone->kind, phone->handle, phone->usb, {});
    }
}

void IosUsbWatcher::endedPass() {
    for (std::uint32_t handle : devices_.takeEnded()) {
        std::lock_guard<std::mutex> guard(sinkLock_);
        if (sink_ != nullptr) sink_->PhoneLost(handle);
    }
}

bool IosUsbWatcher::probe(std::uint32_t handle, std::uint8_t* phoneInfo) {
    int socket = usbmuxd_connect(handle, protocol::kProbePort);
    if (socket < 0 && running_.load()) socket = usbmuxd_connect(handle, protocol::kSessionPort);
    if (socket < 0) return false;

    // The app sends its PhoneInfo as soon as the connection is accepted;
    // exactly those 280 bytes are read, in as many pieces as they come,
    // within the probe's time.
    std::uint32_t have = 0;
    const double deadline = platform::processClock() + kProbeReadMs / 1000.0;
    while (have < kPhoneInfoSize) {
        const double left = deadline - platform::processClock();
        if (left <= 0.0) break;
        std::uint32_t received = 0;
        const int result = usbmuxd_recv_timeout(socket, reinterpret_cast<char*>(phoneInfo + have),
                                                kPhoneInfoSize - have, &received,
                                                static_cast<unsigned>(left * 1000.0) + 1);
        if (result != 0) {
            if (result == -ETIMEDOUT || result == -EAGAIN || result == -EINTR) continue;
            break;  // closed or broken
        }
        have += received <= kPhoneInfoSize - have ? received : kPhoneInfoSize - have;
    }
    usbmuxd_disconnect(socket);
    return protocol::isProbeReply(phoneInfo, have);
}

}  // namespace tavin
