// Command line of the driver substitute, and the picture-format notation
// shared by options and commands ("1280x720@30:1").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "output/driver_layout.h"

namespace tavin::vcam {

// A format request as the consumer side states it. Width 0 means "no request".
struct RequestedFormat {
    std::int32_t width = 0;
    std::int32_t height = 0;  // negative: rows bottom-up (kinds 0 and 3)
    float fps = 0.0f;
    std::int32_t kind = driver::kBgr24;
    bool operator==(const RequestedFormat&) const = default;
};

// Parses "WxH@FPS:KIND" (height may be negative) or "none". Rejects sizes
// that do not fit a frame slot, kinds outside 0..3, rates outside (0, 1000],
// odd widths for kind 1 and odd sizes for kind 2. On failure *why says why.
bool parseFormat(std::string_view text, RequestedFormat& out, std::string* why);
// The checks of parseFormat on values already split up.
bool validFormat(const RequestedFormat& f, std::string* why);

std::string formatText(const RequestedFormat& f);

// How the camera device of an index behaves.
enum class CameraMode {
    Region,  // shared region (the camera device answers as interface 100 too)
    Device,  // no region; device requests, interface 100
    Legacy,  // no region; device requests, interface 2
};

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
};

// Parses argv. Returns false with a message in `error` on a bad command line;
// `helpShown` is set when --help was given (the caller prints usage()).
bool parseOptions(int argc, char** argv, VcamOptions& out, std::string& error, bool& helpShown);

const char* usage();

}  // namespace tavin::vcam
