#include "picture_converter.h"

#include <cstdlib>

#include "output/driver_layout.h"

extern "C" {
#include <libswscale/swscale.h>
}

namespace tavin::vcam {

PictureConverter::~PictureConverter() { sws_freeContext(scaler_); }

bool PictureConverter::convert(const std::uint8_t* source, const PictureLayout& layout, AVPixelFormat format,
                               int width, int height, std::uint8_t* const planes[4], const int strides[4]) {
    if (layoutBytes(layout) == 0 || width <= 0 || height <= 0) return false;
    const int w = layout.width;
    const int h = std::abs(layout.height);
    const std::size_t wh = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
    const std::uint8_t* src[4] = {source, nullptr, nullptr, nullptr};
    int srcStride[4] = {0, 0, 0, 0};
    AVPixelFormat srcFormat = AV_PIX_FMT_NONE;
    switch (layout.kind) {
        case driver::kBgr24:
        case driver::kArgb: {
            const int bpp = layout.kind == driver::kBgr24 ? 3 : 4;
            srcFormat = layout.kind == driver::kBgr24 ? AV_PIX_FMT_BGR24 : AV_PIX_FMT_ARGB;
            srcStride[0] = bpp * w;
            if (layout.height < 0) {  // bottom-up: start at the last row, walk backwards
                src[0] = source + static_cast<std::size_t>(bpp) * static_cast<std::size_t>(w) *
                                      static_cast<std::size_t>(h - 1);
                srcStride[0] = -bpp * w;
            }
            break;
        }
        case driver::kYuy2:
            srcFormat = AV_PIX_FMT_YUYV422;
            srcStride[0] = 2 * w;
            break;
        case driver::kI420:
            srcFormat = AV_PIX_FMT_YUV420P;
            srcStride[0] = w;
            src[1] = source + wh;
            src[2] = source + wh * 5 / 4;
            srcStride[1] = srcStride[2] = w / 2;
            break;
        default:
            return false;
    }
    scaler_ = sws_getCachedContext(scaler_, w, h, srcFormat, width, height, format, SWS_BILINEAR, nullptr,
                                   nullptr, nullptr);
    if (!scaler_) return false;
    return sws_scale(scaler_, src, srcStride, 0, h, planes, strides) > 0;
}

}  // namespace tavin::vcam
