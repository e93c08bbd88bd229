// How a picture lies in a frame slot, and copying one out with its rows
// top-down.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavin::driverside {

// Kind 0..3, height negative for bottom-up rows (kinds 0 and 3).
struct PictureLayout {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t kind = 0;
    bool operator==(const PictureLayout&) const = default;
};

// Bytes of such a picture; 0 for an unknown kind or an empty size.
std::size_t layoutBytes(const PictureLayout& layout);

// Bytes of one row of the first plane (the only plane of kinds 0, 1 and 3);
// 0 for an unknown kind.
std::size_t rowBytes(const PictureLayout& layout);

// Copies a picture of layoutBytes(layout) bytes to `destination` with its
// rows top-down: a bottom-up picture (kind 0 or 3 with a negative height)
// has its rows turned over, any other is copied as it is. Returns the bytes written (0 for an
// unknown layout).
std::size_t copyUpright(std::uint8_t* destination, const std::uint8_t* source, const PictureLayout& layout);

}  // namespace tavin::driverside
