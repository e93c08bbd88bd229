#include "options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/option_values.h"
#include "platform/device_channel.h"

namespace tavin::vcam {
namespace {

using driverside::parseCameraList;
using driverside::parseNumber;

// "[N:]PATH": a single digit 0..3 and a colon pick the camera; otherwise 0.
OutputTarget parseTarget(std::string_view text) {
    driverside::CameraTarget t = driverside::parseCameraTarget(text);
    return OutputTarget{t.camera, std::move(t.value)};
}

bool checkTargets(const std::vector<OutputTarget>& targets, const char* option, std::string& error) {
    for (std::size_t i = 0; i < targets.size(); ++i) {
        if (targets[i].path.empty()) {
            error = std::string(option) + " needs a file name";
            return false;
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (targets[j].camera == targets[i].camera) {
                error = std::string(option) + " given twice for camera " + std::to_string(targets[i].camera);
                return false;
            }
            if (targets[j].path == targets[i].path) {
                error = std::string(option) + " names '" + targets[i].path + "' twice";
                return false;
            }
        }
    }
    return true;
}

// "0.5%" or "-0.25%": a percentage (the sign is optional), as a fraction.
bool parsePercent(std::string_view text, double& out) {
    if (!text.ends_with('%')) return false;
    text.remove_suffix(1);
    if (text.starts_with('+')) text.remove_prefix(1);
    double percent = 0.0;
    if (!parseNumber(text, percent) || !std::isfinite(percent)) return false;
    out = percent / 100.0;
    return true;
}

}  // namespace

bool VcamOptions::hasCamera(int index) const {
    return std::find(cameras.begin(), cameras.end(), index) != cameras.end();
}

driverside::CameraSettings VcamOptions::cameraSettings() const {
    driverside::CameraSettings s;
    s.mode = mode;
    s.regionVersion = regionVersion;
    s.regionSize = regionSize;
    s.cameraVersion = effectiveCameraVersion();
    s.cameraQueryFails = cameraQueryFails;
    s.format = format;
    s.consumer = consumer;
    s.formatList = formatList;
    return s;
}

bool parseOptions(int argc, char** argv, VcamOptions& out, std::string& error, bool& helpShown) {
    helpShown = false;
    VcamOptions o;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        auto value = [&](std::string_view& v) {
            if (i + 1 >= argc) {
                error = std::string(arg) + " needs a value";
                return false;
            }
            v = argv[++i];
            return true;
        };
        auto number = [&](auto& n) {
            std::string_view v;
            if (!value(v)) return false;
            if (!parseNumber(v, n)) {
                error = std::string(arg) + ": not a number: '" + std::string(v) + "'";
                return false;
            }
            return true;
        };
        std::string_view v;
        if (arg == "--help" || arg == "-h") {
            helpShown = true;
            return false;
        } else if (arg == "--cameras") {
            if (!value(v) || !parseCameraList(v, o.cameras, error)) return false;
        } else if (arg == "--region") {
            o.mode = CameraMode::Region;
        } else if (arg == "--device") {
            o.mode = CameraMode::Device;
        } else if (arg == "--legacy") {
            o.mode = CameraMode::Legacy;
        } else if (arg == "--region-version") {
            if (!number(o.regionVersion)) return false;
        } else if (arg == "--region-size") {
            if (!number(o.regionSize)) return false;
            if (o.regionSize == 0 || o.regionSize > driver::region::kSize) {
                error = "--region-size must be 1..49865088";
                return false;
            }
        } else if (arg == "--camera-version") {
            std::uint32_t version = 0;
            if (!number(version)) return false;
            o.cameraVersion = version;
        } else if (arg == "--camera-query-fails") {
            o.cameraQueryFails = true;
        } else if (arg == "--no-camera-file") {
            o.cameraFile = false;
        } else if (arg == "--no-audio") {
            o.audio = false;
        } else if (arg == "--audio-status") {
            if (!number(o.audioStatus)) return false;
        } else if (arg == "--audio-query-fails") {
            o.audioQueryFails = true;
        } else if (arg == "--audio-buffer") {
            if (!number(o.audioBufferBytes)) return false;
            if (o.audioBufferBytes < 2 || o.audioBufferBytes > 48'000u * 2u * 60u) {
                error = "--audio-buffer must be 2..5760000 bytes";
                return false;
            }
        } else if (arg == "--audio-skew") {
            if (!value(v)) return false;
            if (!parsePercent(v, o.audioSkew) || o.audioSkew < -0.1 || o.audioSkew > 0.1) {
                error = "--audio-skew must be a percentage within -10%..10%, e.g. 0.5%";
                return false;
            }
        } else if (arg == "--consumer") {
            o.consumer = true;
        } else if (arg == "--format") {
            if (!value(v)) return false;
            std::string why;
            if (!parseFormat(v, o.format, &why)) {
                error = "--format: " + why;
                return false;
            }
        } else if (arg == "--formatlist") {
            o.formatList = true;
        } else if (arg == "--device-dir") {
            if (!value(v)) return false;
            o.deviceDir = std::string(v);
        } else if (arg == "--socket-dir") {
            if (!value(v)) return false;
            o.socketDir = std::string(v);
        } else if (arg == "--commands") {
            if (!value(v)) return false;
            o.commandFifo = std::string(v);
        } else if (arg == "--y4m") {
            if (!value(v)) return false;
            o.y4m.push_back(parseTarget(v));
        } else if (arg == "--pcm") {
            if (!value(v)) return false;
            o.pcm.push_back(parseTarget(v));
        } else if (arg == "--wav") {
            if (!value(v)) return false;
            o.wav.push_back(parseTarget(v));
        } else if (arg == "--stats-interval") {
            if (!number(o.statsInterval)) return false;
            if (!std::isfinite(o.statsInterval) || o.statsInterval < 0.0 || o.statsInterval > 86'400.0) {
                error = "--stats-interval must be 0..86400 seconds";
                return false;
            }
        } else {
            error = "unknown option '" + std::string(arg) + "'";
            return false;
        }
    }
    if (!checkTargets(o.y4m, "--y4m", error) || !checkTargets(o.pcm, "--pcm", error) ||
        !checkTargets(o.wav, "--wav", error))
        return false;
    int toStdout = 0;
    for (const auto* list : {&o.y4m, &o.pcm, &o.wav})
        for (const OutputTarget& t : *list) {
            if (t.path == "-") ++toStdout;
            if (!o.hasCamera(t.camera)) {
                error = "output for camera " + std::to_string(t.camera) + ", which does not exist";
                return false;
            }
        }
    if (toStdout > 1) {
        error = "only one stream can go to standard output";
        return false;
    }
    const std::pair<const char*, const std::vector<OutputTarget>*> lists[] = {
        {"--y4m", &o.y4m}, {"--pcm", &o.pcm}, {"--wav", &o.wav}};
    for (std::size_t a = 0; a < std::size(lists); ++a)
        for (std::size_t b = a + 1; b < std::size(lists); ++b)
            for (const OutputTarget& t : *lists[a].second)
                for (const OutputTarget& p : *lists[b].second)
                    if (t.path == p.path) {
                        error = "'" + t.path + "' named for both " + lists[a].first + " and " + lists[b].first;
                        return false;
                    }
    if (o.mode != CameraMode::Region && o.format.width != 0 && o.format.kind != driver::kBgr24 &&
        o.format.kind != driver::kYuy2) {
        error = "device requests carry pixel kinds 0 and 1 only";
        return false;
    }
    if (o.deviceDir.empty()) o.deviceDir = platform::captureDeviceDirectory();
    if (o.socketDir.empty()) o.socketDir = o.deviceDir;
    out = std::move(o);
    return true;
}

const char* usage() {
    return "usage: vcam [options]\n"
           "Plays the virtual camera and audio drivers of camera indexes 0..3.\n"
           "\n"
           "Devices:\n"
           "  --cameras LIST         camera indexes that exist, e.g. 0,2 (default 0,1,2,3)\n"
           "  --region               shared frame region, layout version 6 (default)\n"
           "  --device               no region; the camera answers device requests, interface 100\n"
           "  --legacy               no region; device requests, legacy interface 2\n"
           "  --region-version N     layout version written into the region (default 6)\n"
           "  --region-size BYTES    size of the region object (default 49865088)\n"
           "  --camera-version N     interface version in the camera's query reply\n"
           "  --camera-query-fails   the camera's query request fails (status EIO)\n"
           "  --no-camera-file       no camera .device files\n"
           "  --no-audio             no audio devices\n"
           "  --audio-status N       status in the audio query reply (default 1 = ready)\n"
           "  --audio-query-fails    the audio query request fails (status EIO)\n"
           "  --audio-buffer BYTES   simulated playback buffer (default 96000)\n"
           "  --audio-skew PERCENT   the playback clock runs fast (or slow, negative), e.g. 0.5%\n"
           "  --device-dir DIR       where .device files go (default $TAVIN_DEVICE_DIR\n"
           "                         or /run/tavin/devices)\n"
           "  --socket-dir DIR       where device sockets go (default the device dir)\n"
           "Consumer:\n"
           "  --consumer             a consumer reads from the start\n"
           "  --format WxH@FPS:KIND  requested format from the start, e.g. 1280x720@30:1\n"
           "                         ('none' = no request, the default)\n"
           "  --formatlist           the driver takes a format list\n"
           "Output:\n"
           "  --y4m [N:]FILE         write camera N's pictures (default 0) as Y4M; '-' = stdout\n"
           "  --pcm [N:]FILE         write audio N's samples as raw s16le, 48 kHz mono\n"
           "  --wav [N:]FILE         write audio N's samples as a WAV file, 48 kHz mono 16-bit\n"
           "  --commands FIFO        read commands from FIFO (created if missing) instead of stdin\n"
           "  --stats-interval SEC   statistics period on stderr (default 5, 0 = off)\n"
           "\n"
           "Commands (one a line):\n"
           "  format N WxH@FPS:KIND|none    request a format\n"
           "  request N W H FPS KIND        write the request fields as given, unchecked\n"
           "  consumer N on|off\n"
           "  control N A VALUE | control N B VALUE\n"
           "  formatlist N on|off\n"
           "  snapshot N FILE.png           save camera N's next picture\n"
           "  stats\n"
           "  quit\n";
}

}  // namespace tavin::vcam
