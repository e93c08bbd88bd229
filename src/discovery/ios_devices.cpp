#include "discovery/ios_devices.h"

#include <algorithm>
#include <cstring>

#include "platform/byte_order.h"

namespace tavin {

std::uint16_t IosDevices::kindOf(const Record& record) {
    return readLe16(record.phoneInfo.data() + protocol::phone_info::kKind);
}

ProbedPhone IosDevices::phoneOf(const Record& record) {
    ProbedPhone phone;
    phone.handle = record.device.handle;
    std::memcpy(phone.id.data(), record.phoneInfo.data() + protocol::phone_info::kId, phone.id.size());
    phone.kind = kindOf(record);
    phone.usb = record.device.conn_type == CONNECTION_TYPE_USB;
    return phone;
}

IosDevices::Record* IosDevices::find(std::uint32_t handle) {
    auto it = std::find_if(devices_.begin(), devices_.end(),
                           [handle](const Record& r) { return r.device.handle == handle; });
    return it == devices_.end() ? nullptr : &*it;
}

void IosDevices::deviceAdded(const usbmuxd_device_info_t& device) {
    std::lock_guard<std::mutex> guard(lock_);
    if (find(device.handle) != nullptr) return;
    Record record;
    record.device = device;
    devices_.push_back(record);
}

void IosDevices::deviceRemoved(std::uint32_t handle) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = std::find_if(devices_.begin(), devices_.end(),
                           [handle](const Record& r) { return r.device.handle == handle; });
    if (it != devices_.end()) devices_.erase(it);
    ended_.push_back(handle);
}

bool IosDevices::attachedByUsb(std::uint32_t handle) {
    std::lock_guard<std::mutex> guard(lock_);
    const Record* record = find(handle);
    return record != nullptr && record->device.conn_type == CONNECTION_TYPE_USB;
}

void IosDevices::handBack(std::uint32_t handle) {
    std::lock_guard<std::mutex> guard(lock_);
    ended_.push_back(handle);
}

std::vector<IosDevices::ProbeTarget> IosDevices::dueForProbe(double now, double spacing) {
    std::vector<ProbeTarget> due;
    std::lock_guard<std::mutex> guard(lock_);
    for (const Record& r : devices_) {
        if (kindOf(r) == 0 && now - r.lastProbe >= spacing)
            due.push_back({r.device.handle, r.device.conn_type == CONNECTION_TYPE_USB});
    }
    return due;
}

std::optional<ProbedPhone> IosDevices::probed(std::uint32_t handle, const std::uint8_t* phoneInfo, double now) {
    std::lock_guard<std::mutex> guard(lock_);
    Record* record = find(handle);
    if (record == nullptr) return std::nullopt;
    if (phoneInfo != nullptr) std::memcpy(record->phoneInfo.data(), phoneInfo, record->phoneInfo.size());
    record->lastProbe = now;
    ProbedPhone phone = phoneOf(*record);
    if (std::all_of(phone.id.begin(), phone.id.end(), [](std::uint8_t b) { return b == 0; })) return std::nullopt;
    return phone;
}

std::vector<std::uint32_t> IosDevices::takeEnded() {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<std::uint32_t> ended;
    ended.swap(ended_);
    for (std::uint32_t handle : ended) {
        for (Record& r : devices_) {
            if (r.device.handle == handle) writeLe16(r.phoneInfo.data() + protocol::phone_info::kKind, 0);
        }
    }
    return ended;
}

std::vector<ProbedPhone> IosDevices::probedPhones() {
    std::vector<ProbedPhone> phones;
    std::lock_guard<std::mutex> guard(lock_);
    for (const Record& r : devices_) {
        if (kindOf(r) != 0) phones.push_back(phoneOf(r));
    }
    return phones;
}

std::size_t IosDevices::deviceCount() {
    std::lock_guard<std::mutex> guard(lock_);
    return devices_.size();
}

std::size_t IosDevices::endedCount() {
    std::lock_guard<std::mutex> guard(lock_);
    return ended_.size();
}

}  // namespace tavin
