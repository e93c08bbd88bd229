// The camera daemon as a whole: for every served camera index the driver
// side the engine talks to (named objects, region, device sockets, .device
// files) and its publication (a PipeWire video node or a v4l2loopback
// device, and a PipeWire audio node); one loop that takes the engine's
// pictures and keeps the PipeWire connection and nodes up to date; removal
// of everything at the end.
#pragma once

#include <array>
#include <memory>
#include <string>

#include "audio_node.h"
#include "driver/audio_device.h"
#include "driver/console.h"
#include "driver/device_endpoints.h"
#include "driver/device_files.h"
#include "driver/virtual_camera.h"
#include "pipewire_connection.h"
#include "v4l2_output.h"
#include "video_node.h"
#include "webcamd_options.h"

namespace tavin::webcamd {

class Webcamd {
public:
    explicit Webcamd(WebcamdOptions options);
    ~Webcamd();  // shutdown()
    Webcamd(const Webcamd&) = delete;
    Webcamd& operator=(const Webcamd&) = delete;

    // Creates everything and prints "tavin-webcamd: ready". On failure
    // returns false with a reason; shutdown() removes what was made.
    bool start(std::string& error);
    // Serves until `signalFd` (a signalfd) becomes readable.
    void run(int signalFd);
    // Withdraws the nodes and removes every object, file and socket. Safe to
    // call more than once.
    void shutdown();

private:
    struct Index {
        std::unique_ptr<VideoNode> video;  // PipeWire camera, or
        std::unique_ptr<V4l2Output> v4l2;  // v4l2loopback camera
        std::unique_ptr<driverside::VirtualCamera> camera;
        std::unique_ptr<AudioNode> sound;
        std::unique_ptr<driverside::AudioDevice> audio;
        std::unique_ptr<driverside::DeviceEndpoints> endpoints;
    };

    bool startIndex(int index, std::string& error);
    // Drops the nodes of a lost connection, reconnects, and makes or
    // withdraws each node as the engine holds its devices.
    void maintainPipewire();
    void printStats();

    const WebcamdOptions options_;
    driverside::Console console_;
    driverside::DeviceFiles files_;
    PipewireConnection pipewire_;
    std::array<Index, driver::kCameraCount> indexes_;
};

}  // namespace tavin::webcamd
