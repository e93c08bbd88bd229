// The driver substitute as a whole: creates the devices of every requested
// camera index (named objects, region, device sockets, .device files), runs
// the poll loop that takes pictures and reads commands, prints statistics,
// and removes everything it created when it stops.
#pragma once

#include <array>
#include <memory>
#include <string>

#include "commands.h"
#include "driver/audio_device.h"
#include "driver/console.h"
#include "driver/device_endpoints.h"
#include "driver/device_files.h"
#include "driver/virtual_camera.h"
#include "options.h"
#include "picture_recorder.h"
#include "virtual_audio.h"

namespace tavin::vcam {

class Daemon {
public:
    explicit Daemon(VcamOptions options);
    ~Daemon();  // shutdown()
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Creates everything and prints "vcam: ready". On failure returns false
    // with a reason; what was created is removed by shutdown().
    bool start(std::string& error);
    // Serves until `signalFd` (a signalfd) becomes readable or a "quit"
    // command arrives.
    void run(int signalFd);
    // Stops the device servers and removes every object, file and socket.
    // Safe to call more than once.
    void shutdown();

private:
    struct Index {
        std::unique_ptr<PictureRecorder> recorder;
        std::unique_ptr<driverside::VirtualCamera> camera;
        std::unique_ptr<VirtualAudio> playback;
        std::unique_ptr<driverside::AudioDevice> audio;
        std::unique_ptr<driverside::DeviceEndpoints> endpoints;
    };

    bool startIndex(int index, std::string& error);
    bool openCommands(std::string& error);
    // Applies one command line; false for "quit".
    bool apply(const std::string& line);
    void printStats();

    const VcamOptions options_;
    driverside::Console console_;
    driverside::DeviceFiles files_;
    std::array<Index, driver::kCameraCount> indexes_;
    std::unique_ptr<LineReader> commands_;
    int fifoFd_ = -1;
    bool fifoCreated_ = false;
};

}  // namespace tavin::vcam
