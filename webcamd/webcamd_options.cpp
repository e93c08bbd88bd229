#include "webcamd_options.h"

#include <cmath>
#include <string_view>

#include "driver/option_values.h"
#include "platform/device_channel.h"

namespace tavin::webcamd {
namespace {

using driverside::parseNumber;

// "WxH@FPS" in YUY2, checked as a request.
bool parseV4l2Format(std::string_view text, driverside::RequestedFormat& out, std::string& error) {
    const std::size_t x = text.find('x');
    const std::size_t at = text.find('@');
    driverside::RequestedFormat f{0, 0, 0.0f, driver::kYuy2};
    if (x == std::string_view::npos || at == std::string_view::npos || x > at ||
        !parseNumber(text.substr(0, x), f.width) || !parseNumber(text.substr(x + 1, at - x - 1), f.height) ||
        !parseNumber(text.substr(at + 1), f.fps)) {
        error = "--v4l2-format must be WIDTHxHEIGHT@FPS, e.g. 1280x720@30";
        return false;
    }
    std::string why;
    if (f.height < 0 || !driverside::validFormat(f, &why)) {
        error = "--v4l2-format: " + (why.empty() ? std::string("height must be above 0") : why);
        return false;
    }
    out = f;
    return true;
}

}  // namespace

const V4l2Target* WebcamdOptions::v4l2Of(int index) const {
    for (const V4l2Target& t : v4l2)
        if (t.camera == index) return &t;
    return nullptr;
}

bool parseWebcamdOptions(int argc, char** argv, WebcamdOptions& out, std::string& error, bool& helpShown) {
    helpShown = false;
    WebcamdOptions o;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        std::string_view v;
        auto value = [&] {
            if (i + 1 >= argc) {
                error = std::string(arg) + " needs a value";
                return false;
            }
            v = argv[++i];
            return true;
        };
        if (arg == "--help" || arg == "-h") {
            helpShown = true;
            return false;
        } else if (arg == "--cameras") {
            if (!value() || !driverside::parseCameraList(v, o.cameras, error)) return false;
        } else if (arg == "--device-dir") {
            if (!value()) return false;
            o.deviceDir = std::string(v);
        } else if (arg == "--socket-dir") {
            if (!value()) return false;
            o.socketDir = std::string(v);
        } else if (arg == "--v4l2") {
            if (!value()) return false;
            const driverside::CameraTarget t = driverside::parseCameraTarget(v);
            if (t.value.empty()) {
                error = "--v4l2 needs a device, e.g. /dev/video10";
                return false;
            }
            if (o.v4l2Of(t.camera)) {
                error = "--v4l2 given twice for camera " + std::to_string(t.camera);
                return false;
            }
            o.v4l2.push_back(V4l2Target{t.camera, t.value});
        } else if (arg == "--v4l2-format") {
            if (!value() || !parseV4l2Format(v, o.v4l2Format, error)) return false;
        } else if (arg == "--stats-interval") {
            if (!value()) return false;
            if (!parseNumber(v, o.statsInterval) || !std::isfinite(o.statsInterval) || o.statsInterval < 0.0 ||
                o.statsInterval > 86'400.0) {
                error = "--stats-interval must be 0..86400 seconds";
                return false;
            }
        } else {
            error = "unknown option '" + std::string(arg) + "'";
            return false;
        }
    }
    for (const V4l2Target& t : o.v4l2) {
        bool served = false;
        for (int c : o.cameras) served = served || c == t.camera;
        if (!served) {
            error = "--v4l2 for camera " + std::to_string(t.camera) + ", which is not served";
            return false;
        }
    }
    if (o.deviceDir.empty()) o.deviceDir = platform::captureDeviceDirectory();
    if (o.socketDir.empty()) o.socketDir = o.deviceDir;
    out = std::move(o);
    return true;
}

const char* webcamdUsage() {
    return "usage: tavin-webcamd [options]\n"
           "Plays the camera and audio drivers the Tavin Webcam engine writes to, and\n"
           "publishes what it writes: each camera the engine opens becomes a PipeWire\n"
           "camera (\"Tavin Webcam\", \"Tavin Webcam #2\", ...) and a PipeWire microphone\n"
           "(\"Tavin Webcam Audio\", ...) that any program can open.\n"
           "\n"
           "  --cameras LIST         camera indexes served, e.g. 0,1 (default 0,1,2,3)\n"
           "  --device-dir DIR       where the engine finds the devices (default\n"
           "                         $TAVIN_DEVICE_DIR, else /run/tavin/devices)\n"
           "  --socket-dir DIR       where the device sockets go (default the device dir)\n"
           "  --v4l2 [N:]DEVICE      publish camera N (default 0) on a v4l2loopback device,\n"
           "                         e.g. /dev/video10, instead of PipeWire\n"
           "  --v4l2-format WxH@FPS  the format v4l2loopback cameras ask the engine for\n"
           "                         (YUY2; default 1280x720@30)\n"
           "  --stats-interval SEC   statistics period on stderr (default 0 = off)\n"
           "  --help                 this text\n"
           "\n"
           "PipeWire may start later or restart: the daemon connects and reconnects\n"
           "by itself. It stops on SIGINT or SIGTERM and removes what it created.\n";
}

}  // namespace tavin::webcamd
