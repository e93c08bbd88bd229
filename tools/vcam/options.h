// Command line of the driver substitute. Formats are written in the
// notation of driver/requested_format.h ("1280x720@30:1").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "driver/requested_format.h"
#include "driver/virtual_camera.h"
#include "output/driver_layout.h"

namespace tavin::vcam {

using driverside::CameraMode;
using driverside::formatText;
using driverside::parseFormat;
using driverside::RequestedFormat;
using driverside::validFormat;

// Where a recorded stream of one camera index goes ("-" = standard output).
struct OutputTarget {
    int camera = 0;
    std::string path;
};

struct VcamOptions {
    std::vector<int> cameras{0, 1, 2, 3};
    CameraMode mode = CameraMode::Region;
    std::uint32_t regionVersion = driver::region::kVersion;
    std::size_t regionSize = driver::region::kSize;
    std::optional<std::uint32_t> cameraVersion;  // default: 100, or 2 for Legacy
    bool cameraQueryFails = false;
    bool cameraFile = true;    // write the camera .device files
    bool audio = true;         // audio devices exist
    std::uint32_t audioStatus = 1;
    bool audioQueryFails = false;
    std::uint32_t audioBufferBytes = 96'000;  // one second of 48 kHz mono 16-bit
    double audioSkew = 0.0;    // the drain runs this fraction fast (negative: slow)
    bool consumer = false;
    RequestedFormat format;    // width 0: no request
    bool formatList = false;
    std::string deviceDir;     // default: $TAVIN_DEVICE_DIR or /run/tavin/devices
    std::string socketDir;     // default: the device directory
    std::string commandFifo;   // empty: commands come from standard input
    std::vector<OutputTarget> y4m;
    std::vector<OutputTarget> pcm;
    std::vector<OutputTarget> wav;
    double statsInterval = 5.0;  // seconds; 0 = no periodic statistics

    std::uint32_t effectiveCameraVersion() const {
        if (cameraVersion) return *cameraVersion;
        return mode == CameraMode::Legacy ? driver::kCameraInterfaceLegacy : driver::kCameraInterface;
    }
    bool hasCamera(int index) const;
    driverside::CameraSettings cameraSettings() const;
};

// Parses argv. Returns false with a message in `error` on a bad command line;
// `helpShown` is set when --help was given (the caller prints usage()).
bool parseOptions(int argc, char** argv, VcamOptions& out, std::string& error, bool& helpShown);

const char* usage();

}  // namespace tavin::vcam
