// Command line of the camera daemon.
#pragma once

#include <string>
#include <vector>

#include "driver/requested_format.h"

namespace tavin::webcamd {

struct V4l2Target {
    int camera = 0;
    std::string device;
};

struct WebcamdOptions {
    std::vector<int> cameras{0, 1, 2, 3};
    std::string deviceDir;  // default: $TAVIN_DEVICE_DIR or /run/tavin/devices
    std::string socketDir;  // default: the device directory
    std::vector<V4l2Target> v4l2;
    // What v4l2loopback cameras ask the engine for (YUY2).
    driverside::RequestedFormat v4l2Format{1280, 720, 30.0f, driver::kYuy2};
    double statsInterval = 0.0;  // seconds; 0 = no periodic statistics

    // The v4l2loopback device of camera `index`, or null for PipeWire.
    const V4l2Target* v4l2Of(int index) const;
};

// Parses argv. False with a message in `error` on a bad command line;
// `helpShown` is set for --help (the caller prints webcamdUsage()).
bool parseWebcamdOptions(int argc, char** argv, WebcamdOptions& out, std::string& error, bool& helpShown);

const char* webcamdUsage();

}  // namespace tavin::webcamd
