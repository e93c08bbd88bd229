// Where the engine reaches one camera index's devices: the camera and audio
// device sockets (<socket dir>/camera<i>.sock, <socket dir>/audio<i>.sock)
// served on threads of their own, and the ".device" files that name them
// ("<prefix>-camera<i>.device", "<prefix>-audio<i>.device").
#pragma once

#include <memory>
#include <string>

#include "driver/audio_device.h"
#include "driver/device_files.h"
#include "driver/virtual_camera.h"
#include "platform/device_channel.h"

namespace tavin::driverside {

struct EndpointNames {
    std::string socketDir;
    std::string filePrefix;  // e.g. "vcam": files "vcam-camera0.device", ...
};

class DeviceEndpoints {
public:
    DeviceEndpoints(int index, EndpointNames names, DeviceFiles& files)
        : index_(index), names_(std::move(names)), files_(files) {}
    ~DeviceEndpoints() { stop(); }
    DeviceEndpoints(const DeviceEndpoints&) = delete;
    DeviceEndpoints& operator=(const DeviceEndpoints&) = delete;

    // Serves the camera device; with `writeFile` also writes its .device
    // file. False with a reason.
    bool serveCamera(VirtualCamera& camera, bool writeFile, std::string& error);
    // Serves the audio device and writes its .device file.
    bool serveAudio(AudioDevice& audio, std::string& error);
    // Stops both servers (joins their threads, removes the sockets). The
    // .device files go with DeviceFiles::removeAll().
    void stop();

private:
    std::string socketPath(const char* kind) const;
    std::unique_ptr<platform::DeviceServer> serve(const std::string& path, platform::DeviceServer::Handler handler,
                                                  std::string& error);

    const int index_;
    const EndpointNames names_;
    DeviceFiles& files_;
    std::unique_ptr<platform::DeviceServer> cameraServer_;
    std::unique_ptr<platform::DeviceServer> audioServer_;
};

}  // namespace tavin::driverside
