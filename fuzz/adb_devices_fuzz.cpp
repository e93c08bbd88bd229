// adb's "devices" output as the Android watcher reads it, over two passes
// (the second sees the devices of the first), with the forward ports every
// entry gets when the list grows.
//
// Input: the first pass's output, then a NUL byte, then the second's (a
// NUL inside a line is part of it: the serial is refused).
#include <cstdint>
#include <cstring>
#include <set>
#include <string_view>
#include <vector>

#include "discovery/android_usb_watcher.h"
#include "fuzz_support.h"

using namespace tavin;

namespace {

void checkEntries(const std::vector<AdbDeviceEntry>& entries) {
    FUZZ_CHECK(entries.size() <= kMaxAdbDevices);
    std::set<std::string_view> serials;
    std::set<std::uint16_t> probePorts, sessionPorts;
    for (const AdbDeviceEntry& e : entries) {
        FUZZ_CHECK(!e.serial.empty() && e.serial.size() <= kMaxAdbSerial);
        FUZZ_CHECK(e.serial.find('\0') == std::string::npos && e.serial.find('\n') == std::string::npos);
        FUZZ_CHECK(e.serial.find(":5555") == std::string::npos);
        FUZZ_CHECK(serials.insert(e.serial).second);
        // Every device has ports of its own, within the range counted from
        // the base ports.
        FUZZ_CHECK(e.probePort >= kAdbProbeBasePort && e.probePort <= kAdbProbeBasePort + kMaxAdbDevices);
        FUZZ_CHECK(e.sessionPort >= kAdbSessionBasePort && e.sessionPort <= kAdbSessionBasePort + kMaxAdbDevices);
        FUZZ_CHECK(probePorts.insert(e.probePort).second && sessionPorts.insert(e.sessionPort).second);
    }
}

void pass(std::string_view output, std::vector<AdbDeviceEntry>& entries) {
    const std::size_t before = entries.size();
    const bool grew = addAttachedDevices(output, entries);
    FUZZ_CHECK(grew == (entries.size() > before));
    if (grew) assignForwardPorts(entries);
    checkEntries(entries);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\0');
    std::vector<AdbDeviceEntry> entries;
    pass(input.substr(0, split), entries);
    if (split != std::string_view::npos) pass(input.substr(split + 1), entries);
    return 0;
}
