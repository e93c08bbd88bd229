// Device paths by friendly name.
//
// The capture category lists video and audio devices together, so one pass
// over it finds both kinds. Names are compared exactly, in the order camera
// names first, then audio names; since the eight names differ, a device
// matches at most one of them.
#include "output/device_enumeration.h"

#include <cstring>

namespace tavin {

namespace {

bool inRange(int index) { return index >= 0 && index < driver::kCameraCount; }

}  // namespace

std::string_view DevicePathTable::cameraPath(int index) const {
    return inRange(index) ? cameras_[static_cast<std::size_t>(index)].view() : std::string_view{};
}

std::string_view DevicePathTable::audioPath(int index) const {
    return inRange(index) ? audios_[static_cast<std::size_t>(index)].view() : std::string_view{};
}

bool DevicePathTable::store(Entry& entry, std::string_view path) {
    if (path.size() > kMaxPathLength) return false;
    if (path.find('\0') != std::string_view::npos) return false;
    std::memcpy(entry.text.data(), path.data(), path.size());
    entry.text[path.size()] = '\0';
    entry.length = path.size();
    return true;
}

void DevicePathTable::take(int status, const std::vector<platform::CaptureDevice>& devices) {
    status_ = status;
    for (const platform::CaptureDevice& device : devices) {
        Entry* entry = nullptr;
        for (int i = 0; i < driver::kCameraCount && !entry; ++i) {
            if (device.friendlyName == driver::kCameraNames[i]) entry = &cameras_[static_cast<std::size_t>(i)];
        }
        for (int i = 0; i < driver::kCameraCount && !entry; ++i) {
            if (device.friendlyName == driver::kAudioNames[i]) entry = &audios_[static_cast<std::size_t>(i)];
        }
        if (!entry || !device.hasDevicePath) continue;
        store(*entry, device.devicePath);
    }
}

void DevicePathTable::clear() {
    cameras_ = {};
    audios_ = {};
    status_ = platform::kEnumOk;
}

void enumerateDevices(DevicePathTable& table) {
    std::vector<platform::CaptureDevice> devices;
    int status = platform::enumerateCaptureDevices(devices);
    if (status != platform::kEnumOk) devices.clear();
    table.take(status, devices);
}

}  // namespace tavin
