// The device paths of the camera and audio drivers, found once by friendly
// name among the system's capture devices and kept in one process-wide
// table that every camera output opens its devices from.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>
#include <vector>

#include "output/driver_layout.h"
#include "platform/device_channel.h"

namespace tavin {

class DevicePathTable {
public:
    // Room of one entry, terminator included: paths of up to 259 bytes fit.
    static constexpr std::size_t kEntryCapacity = 260;
    static constexpr std::size_t kMaxPathLength = kEntryCapacity - 1;

    // The device path of camera index 0..3; empty when it was not found or
    // the index has no device.
    std::string_view cameraPath(int index) const;
    std::string_view audioPath(int index) const;
    // platform::kEnumOk, kEnumUnavailable or kEnumEmpty of the last pass.
    int status() const { return status_; }

    // Takes one enumeration pass: the status, and every device whose
    // friendly name is exactly (case-sensitively) one of the eight driver
    // names. A later device of the same name overwrites the earlier entry.
    // A device without a path, or whose path does not fit an entry or holds
    // a NUL, leaves its entry unchanged: a cut path would name another file.
    void take(int status, const std::vector<platform::CaptureDevice>& devices);

    // Empties every entry and the status (as at load).
    void clear();

private:
    struct Entry {
        std::array<char, kEntryCapacity> text{};
        std::size_t length = 0;
        std::string_view view() const { return {text.data(), length}; }
    };
    static bool store(Entry& entry, std::string_view path);

    std::array<Entry, driver::kCameraCount> cameras_{};
    std::array<Entry, driver::kCameraCount> audios_{};
    int status_ = platform::kEnumOk;
};

// The process-wide table. Written by the open of camera index 0 on its
// caller's thread, before any other output reads it. It lives as long as
// the library (see engine/engine_context.h).
DevicePathTable& devicePathTable();

// Reads the capture-device directory and fills `table`.
void enumerateDevices(DevicePathTable& table);
// Fills the process-wide table.
inline void enumerateDevices() { enumerateDevices(devicePathTable()); }

}  // namespace tavin
