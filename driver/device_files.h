// The ".device" files through which the engine finds the drivers' devices:
// "FriendlyName=<name>" and "DevicePath=<socket path>" lines, written whole
// (temporary file, then rename) and removed again at shut-down.
#pragma once

#include <string>
#include <vector>

namespace tavin::driverside {

class DeviceFiles {
public:
    explicit DeviceFiles(std::string directory) : directory_(std::move(directory)) {}
    ~DeviceFiles() { removeAll(); }
    DeviceFiles(const DeviceFiles&) = delete;
    DeviceFiles& operator=(const DeviceFiles&) = delete;

    // Writes <directory>/<fileName>.device.
    bool add(const std::string& fileName, const std::string& friendlyName, const std::string& devicePath,
             std::string& error);
    void removeAll();

private:
    std::string directory_;
    std::vector<std::string> written_;
};

}  // namespace tavin::driverside
