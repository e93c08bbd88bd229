#include "driver/device_endpoints.h"

#include <sys/un.h>

#include <cerrno>
#include <cstring>

namespace tavin::driverside {

std::string DeviceEndpoints::socketPath(const char* kind) const {
    return names_.socketDir + "/" + kind + std::to_string(index_) + ".sock";
}

std::unique_ptr<platform::DeviceServer> DeviceEndpoints::serve(const std::string& path,
                                                               platform::DeviceServer::Handler handler,
                                                               std::string& error) {
    if (path.size() >= sizeof(sockaddr_un::sun_path)) {
        error = "socket path too long: " + path;
        return nullptr;
    }
    auto server = platform::DeviceServer::start(path, std::move(handler));
    if (!server) error = "cannot serve " + path + ": " + std::strerror(errno);
    return server;
}

bool DeviceEndpoints::serveCamera(VirtualCamera& camera, bool writeFile, std::string& error) {
    const std::string path = socketPath("camera");
    cameraServer_ = serve(
        path,
        [&camera](std::uint32_t code, const std::uint8_t* input, std::uint32_t length, std::uint32_t capacity) {
            return camera.handleRequest(code, input, length, capacity);
        },
        error);
    if (!cameraServer_) return false;
    return !writeFile || files_.add(names_.filePrefix + "-camera" + std::to_string(index_),
                                    driver::kCameraNames[index_], path, error);
}

bool DeviceEndpoints::serveAudio(AudioDevice& audio, std::string& error) {
    const std::string path = socketPath("audio");
    audioServer_ = serve(
        path,
        [&audio](std::uint32_t code, const std::uint8_t* input, std::uint32_t length, std::uint32_t capacity) {
            return audio.handleRequest(code, input, length, capacity);
        },
        error);
    if (!audioServer_) return false;
    return files_.add(names_.filePrefix + "-audio" + std::to_string(index_), driver::kAudioNames[index_], path,
                      error);
}

void DeviceEndpoints::stop() {
    cameraServer_.reset();
    audioServer_.reset();
}

}  // namespace tavin::driverside
