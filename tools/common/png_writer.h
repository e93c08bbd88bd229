// A small PNG writer for snapshots: 8-bit RGB, no filtering, the image data
// in stored (uncompressed) deflate blocks, so no compression library is
// needed. Any PNG reader accepts the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavin::tools {

// Builds the PNG file of a width x height RGB24 picture whose rows are
// `stride` bytes apart. Width and height must be 1..65535.
std::vector<std::uint8_t> encodePng(const std::uint8_t* rgb, int width, int height, std::size_t stride);

}  // namespace tavin::tools
