#include "driver/picture_layout.h"

#include <cstdlib>
#include <cstring>

#include "output/driver_layout.h"

namespace tavin::driverside {

std::size_t layoutBytes(const PictureLayout& layout) {
    if (layout.width <= 0 || layout.height == 0) return 0;
    return driver::pictureBytes(layout.kind, static_cast<std::size_t>(layout.width),
                                static_cast<std::size_t>(std::abs(layout.height)));
}

std::size_t rowBytes(const PictureLayout& layout) {
    if (layout.width <= 0) return 0;
    const std::size_t w = static_cast<std::size_t>(layout.width);
    switch (layout.kind) {
        case driver::kBgr24: return 3 * w;
        case driver::kYuy2: return 2 * w;
        case driver::kI420: return w;
        case driver::kArgb: return 4 * w;
        default: return 0;
    }
}

std::size_t copyUpright(std::uint8_t* destination, const std::uint8_t* source, const PictureLayout& layout) {
    const std::size_t bytes = layoutBytes(layout);
    if (bytes == 0) return 0;
    // Only the single-plane kinds 0 and 3 are stored bottom-up.
    if (layout.height > 0 || (layout.kind != driver::kBgr24 && layout.kind != driver::kArgb)) {
        std::memcpy(destination, source, bytes);
        return bytes;
    }
    const std::size_t row = rowBytes(layout);
    const std::size_t rows = static_cast<std::size_t>(-static_cast<std::int64_t>(layout.height));
    for (std::size_t r = 0; r < rows; ++r) std::memcpy(destination + r * row, source + (rows - 1 - r) * row, row);
    return bytes;
}

}  // namespace tavin::driverside
