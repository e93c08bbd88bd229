// Small file-system helpers of the driver-side daemons.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavin::driverside {

// Writes every byte to `fd`, retrying after interruptions. False (errno
// set) when a write fails or writes nothing.
bool writeAll(int fd, const void* data, std::size_t length);

// Writes the file through a temporary name (the path plus ".part") and a
// rename, so that a reader never sees half a file. False (errno set) on failure.
bool writeFileAtomically(const std::string& path, const std::vector<std::uint8_t>& bytes);

// mkdir -p, mode 0755 for the parts it creates.
bool makeDirectories(const std::string& path, std::string& error);

}  // namespace tavin::driverside
