#include "y4m_stream.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/file_ops.h"

namespace tavin::vcam {
namespace {

constexpr char kFrameTag[] = "FRAME\n";
constexpr std::size_t kFrameTagSize = sizeof kFrameTag - 1;

}  // namespace

Y4mStream::~Y4mStream() {
    if (ownsFd_ && fd_ >= 0) ::close(fd_);
}

bool Y4mStream::writeAll(const void* data, std::size_t length) { return driverside::writeAll(fd_, data, length); }

Y4mStream::Result Y4mStream::write(const std::uint8_t* source, const PictureLayout& layout, float fps) {
    if (broken_) return Result::WriteFailed;
    if (layoutBytes(layout) == 0) return Result::ConvertFailed;
    if (!frame_) {
        width_ = layout.width;
        height_ = std::abs(layout.height);
        const std::size_t w = static_cast<std::size_t>(width_), h = static_cast<std::size_t>(height_);
        const std::size_t chroma = ((w + 1) / 2) * ((h + 1) / 2);
        frameBytes_ = kFrameTagSize + w * h + 2 * chroma;
        frame_ = std::make_unique<std::uint8_t[]>(frameBytes_);
        std::memcpy(frame_.get(), kFrameTag, kFrameTagSize);
        long rateMilli = std::isfinite(fps) && fps > 0.0f && fps <= 1000.0f ? std::lround(fps * 1000.0) : 30'000;
        char header[128];
        int n = std::snprintf(header, sizeof header, "YUV4MPEG2 W%d H%d F%ld:1000 Ip A1:1 C420jpeg\n", width_,
                              height_, rateMilli);
        if (!writeAll(header, static_cast<std::size_t>(n))) {
            broken_ = true;
            return Result::WriteFailed;
        }
    }
    const std::size_t w = static_cast<std::size_t>(width_), h = static_cast<std::size_t>(height_);
    const std::size_t cw = (w + 1) / 2, ch = (h + 1) / 2;
    std::uint8_t* y = frame_.get() + kFrameTagSize;
    std::uint8_t* const planes[4] = {y, y + w * h, y + w * h + cw * ch, nullptr};
    const int strides[4] = {width_, static_cast<int>(cw), static_cast<int>(cw), 0};
    if (!converter_.convert(source, layout, AV_PIX_FMT_YUV420P, width_, height_, planes, strides))
        return Result::ConvertFailed;
    if (!writeAll(frame_.get(), frameBytes_)) {
        broken_ = true;
        return Result::WriteFailed;
    }
    return Result::Written;
}

}  // namespace tavin::vcam
