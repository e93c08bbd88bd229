// The engine's process-wide state, and who owns each part for how long.
//
// Loading the library runs no code of the engine: every process-wide object
// is either constant-initialised or made on its first use, and nothing
// starts a thread, opens a descriptor or loads a library before EInitialize.
//
// 1. The two instance tables (InstanceTable, InstanceRegistry): constant,
//    empty at load, nothing to free at unload.
// 2. The library's objects, made together on the first use of any of them
//    and freed when the library is unloaded (in the reverse of this order):
//    the phone registry, the iOS device list with its usbmuxd connector, the
//    driver device table, the preview picture, the idle schedule, and the
//    holder of the preview manager. They are plain state: none has a thread.
//    Each is reached through its own accessor (PhoneRegistry::instance(),
//    IosDevices::instance(), IosUsbWatcher::connector(), devicePathTable(),
//    PreviewPicture::process(), IdleSchedule::process(),
//    PreviewHolder::process()), all defined in engine_context.cpp.
// 3. The EngineContext below: the services with threads and system
//    subscriptions. Engine instance 0 makes it when it is constructed
//    (EInitialize) and frees it when it is destroyed (EUninitialize(0)).
// 4. Everything else belongs to one engine instance. The first-error record
//    lives in the user's registry, not in memory.
#pragma once

#include <memory>

#include "discovery/address_prober.h"
#include "discovery/android_usb_watcher.h"
#include "discovery/dns_sd_library.h"
#include "discovery/ios_usb_watcher.h"
#include "discovery/wifi_discovery.h"
#include "platform/address_change.h"
#include "session/phone_sinks.h"

namespace tavin {

// The services of engine instance 0, made in this order and freed in the
// reverse: the DNS-SD library (held loaded), the address-change watch,
// Wi-Fi discovery, the iOS watcher (its thread and libusbmuxd's event
// subscription start at once), the Android watcher (its thread starts at
// once) and the address prober. Freeing them joins every thread they
// started and ends the subscription, so that nothing of theirs runs once
// instance 0 is gone.
class EngineContext {
public:
    EngineContext();
    ~EngineContext();
    EngineContext(const EngineContext&) = delete;
    EngineContext& operator=(const EngineContext&) = delete;

    // Instance 0's sinks. Handing them over (its open) starts Wi-Fi
    // discovery and the prober and replays the phones the watchers know;
    // null for all three (its close) stops discovery and the prober, and
    // the watchers report to nobody.
    void setSinks(NetworkPhoneSink* network, IosPhoneSink* ios, AndroidPhoneSink* android);

    // True, once, when the PC's addresses changed since the last call (the
    // watch is reset). False when the watch could not be opened.
    bool takeAddressChange();

    WifiDiscovery& wifiDiscovery() { return wifi_; }
    IosUsbWatcher& iosWatcher() { return ios_; }
    AndroidUsbWatcher& androidWatcher() { return adb_; }
    AddressProber& prober() { return prober_; }

private:
    dnssd::LibraryUse dnsSd_;
    std::unique_ptr<platform::AddressChangeEvent> addressChange_;
    WifiDiscovery wifi_;
    IosUsbWatcher ios_;
    AndroidUsbWatcher adb_;
    AddressProber prober_;
};

}  // namespace tavin
