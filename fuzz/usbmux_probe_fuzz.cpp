// The usbmuxd side of iPhones on a cable: device events, probe replies read
// through usbmuxd (in pieces), sessions handing their device back, and the
// watcher's passes, in the order the input gives, against the engine's
// device list and phone registry.
//
// Input: a sequence of operations, each an operation byte and a handle byte
// (handles 1..8); a probe takes its reply from the bytes that follow.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>

#include "discovery/ios_devices.h"
#include "fuzz_support.h"
#include "session/phone_registry.h"

using namespace tavin;

namespace {

constexpr std::uint32_t kHandles = 8;
constexpr double kProbeSpacing = 2.0;

// The watcher's probe: reads what arrives, piece by piece, up to one
// PhoneInfo; piece sizes come from the input.
std::size_t readReply(const std::uint8_t*& data, std::size_t& size, std::uint8_t* reply) {
    std::size_t have = 0;
    while (size > 0 && have < protocol::phone_info::kSize) {
        const std::size_t piece = std::min<std::size_t>({size - 1, data[0], protocol::phone_info::kSize - have});
        std::memcpy(reply + have, data + 1, piece);
        have += piece;
        data += 1 + piece;
        size -= 1 + piece;
        if (piece == 0) break;  // the connection closed
    }
    return have;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    IosDevices devices;
    PhoneRegistry& registry = PhoneRegistry::instance();
    registry.clear();
    double now = 10.0;

    while (size >= 2) {
        const std::uint8_t op = data[0];
        const std::uint32_t handle = 1 + data[1] % kHandles;
        data += 2;
        size -= 2;
        switch (op % 6) {
            case 0: {  // device added
                usbmuxd_device_info_t device{};
                device.handle = handle;
                device.product_id = op;
                device.conn_type = (op & 0x80) != 0 ? CONNECTION_TYPE_NETWORK : CONNECTION_TYPE_USB;
                devices.deviceAdded(device);
                break;
            }
            case 1:
                devices.deviceRemoved(handle);
                break;
            case 2: {  // a probe pass
                for (const IosDevices::ProbeTarget& target : devices.dueForProbe(now, kProbeSpacing)) {
                    std::uint8_t reply[protocol::phone_info::kSize] = {};
                    const std::size_t have = readReply(data, size, reply);
                    const bool answered = protocol::isProbeReply(reply, have);
                    const auto phone = devices.probed(target.handle, answered ? reply : nullptr, now);
                    if (!phone) continue;
                    FUZZ_CHECK(phone->handle == target.handle && phone->usb == target.usb);
                    registry.iosPhoneFound(phone->id, phone->kind, phone->handle, phone->usb, {});
                }
                break;
            }
            case 3:
                devices.handBack(handle);
                break;
            case 4:  // the ended pass
                for (std::uint32_t ended : devices.takeEnded()) registry.iosPhoneLost(ended);
                FUZZ_CHECK(devices.endedCount() == 0);
                break;
            case 5:  // a sink set again: every probed phone is reported
                for (const ProbedPhone& phone : devices.probedPhones()) {
                    FUZZ_CHECK(phone.kind != 0);
                    registry.iosPhoneFound(phone.id, phone.kind, phone.handle, phone.usb, {});
                }
                break;
        }
        now += (op & 0x40) != 0 ? kProbeSpacing : 0.5;
        FUZZ_CHECK(devices.deviceCount() <= kHandles);
        std::set<std::uint32_t> due;
        for (const auto& target : devices.dueForProbe(now, kProbeSpacing)) FUZZ_CHECK(due.insert(target.handle).second);
    }
    registry.withRecords([](std::vector<std::unique_ptr<PhoneRecord>>& records) {
        for (const auto& r : records) {
            FUZZ_CHECK(r->usbmuxUsbHandle <= kHandles && r->usbmuxNetworkHandle <= kHandles);
            FUZZ_CHECK(r->usbmuxUsbHandle == 0 || r->usbFlag);
        }
        return 0;
    });
    registry.clear();
    return 0;
}
