// Reads a picture in one of the drivers' pixel kinds and converts it, scaled
// as asked, to another pixel format with libswscale.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver/picture_layout.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

struct SwsContext;

namespace tavin::vcam {

using driverside::layoutBytes;
using driverside::PictureLayout;

// Readers of odd-sized pictures may look up to this many bytes past the
// picture's end; a source buffer must have that much room beyond it.
inline constexpr std::size_t kSourceSlack = 64 * 1024;

class PictureConverter {
public:
    PictureConverter() = default;
    ~PictureConverter();
    PictureConverter(const PictureConverter&) = delete;
    PictureConverter& operator=(const PictureConverter&) = delete;

    // Converts the picture at `source` (layoutBytes(layout) bytes plus
    // kSourceSlack readable) to a width x height picture of `format` in the
    // given planes. False when the layout is unknown or no scaler can be made.
    bool convert(const std::uint8_t* source, const PictureLayout& layout, AVPixelFormat format, int width,
                 int height, std::uint8_t* const planes[4], const int strides[4]);

private:
    SwsContext* scaler_ = nullptr;
};

}  // namespace tavin::vcam
