#include "driver/device_files.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "driver/file_ops.h"

namespace tavin::driverside {

bool DeviceFiles::add(const std::string& fileName, const std::string& friendlyName,
                      const std::string& devicePath, std::string& error) {
    const std::string path = directory_ + "/" + fileName + ".device";
    const std::string text = "FriendlyName=" + friendlyName + "\nDevicePath=" + devicePath + "\n";
    // The temporary name does not end in ".device", so enumeration skips it.
    if (!writeFileAtomically(path, std::vector<std::uint8_t>(text.begin(), text.end()))) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    written_.push_back(path);
    return true;
}

void DeviceFiles::removeAll() {
    for (const std::string& path : written_) ::unlink(path.c_str());
    written_.clear();
}

}  // namespace tavin::driverside
