// The process-wide list of the devices usbmuxd reports, with what the
// probes learnt of each, and the handles whose phone is to be reported lost
// and probed again. One lock guards both lists; nothing else is done while
// it is held. The process's lists live as long as the engine library (see
// engine/engine_context.h).
//
// Written by libusbmuxd's event thread (deviceAdded, deviceRemoved), the
// watcher thread (probes, ended handles) and usbmuxd sessions (handBack);
// read by engine threads (replay, connection type).
#pragma once

#include <usbmuxd.h>

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "session/protocol.h"
#include "session/usbmux_connector.h"

namespace tavin {

// A phone as the last probe of a device found it.
struct ProbedPhone {
    std::uint32_t handle = 0;
    PhoneId id{};
    std::uint16_t kind = 0;
    bool usb = false;
};

class IosDevices final : public UsbmuxDevices {
public:
    static IosDevices& instance();

    // Device events. A second add for a known handle changes nothing; a
    // remove drops the first record with the handle (the order of the rest
    // is kept) and, in every case, queues the handle as ended.
    void deviceAdded(const usbmuxd_device_info_t& device);
    void deviceRemoved(std::uint32_t handle);

    // UsbmuxDevices.
    bool attachedByUsb(std::uint32_t handle) override;
    void handBack(std::uint32_t handle) override;

    // A device due for a probe: not probed successfully yet (kind 0), and
    // its last probe at least `spacing` seconds before `now`.
    struct ProbeTarget {
        std::uint32_t handle = 0;
        bool usb = false;
    };
    std::vector<ProbeTarget> dueForProbe(double now, double spacing);
    // Ends a probe of the device: stores `phoneInfo` (a whole 280-byte
    // PhoneInfo) when given, and the probe time. Returns the phone the
    // record now names, when its id is not all zero; nothing when the record
    // is gone or names none.
    std::optional<ProbedPhone> probed(std::uint32_t handle, const std::uint8_t* phoneInfo, double now);

    // Takes the ended handles (in order, duplicates kept) and marks every
    // record with one of them as to be probed again.
    std::vector<std::uint32_t> takeEnded();

    // The phones of every record probed successfully (kind not 0), in list
    // order.
    std::vector<ProbedPhone> probedPhones();

    // For tests: the number of records and of ended handles.
    std::size_t deviceCount();
    std::size_t endedCount();

private:
    struct Record {
        usbmuxd_device_info_t device;  // as the add event delivered it
        double lastProbe = 0.0;        // process clock; 0 for a new record
        std::array<std::uint8_t, protocol::phone_info::kSize> phoneInfo{};  // all zero until probed
    };
    static std::uint16_t kindOf(const Record& record);
    static ProbedPhone phoneOf(const Record& record);
    Record* find(std::uint32_t handle);

    std::mutex lock_;
    std::vector<Record> devices_;
    std::vector<std::uint32_t> ended_;
};

}  // namespace tavin
