// The idle and blank pictures.
//
// The surface's rows lie in memory in the order of the camera's picture:
// bottom-up for kinds 0 and 3 with a negative height, top-down otherwise.
// A kind-0 picture is then the surface's rows as they are, and the other
// kinds are one conversion of the whole surface in memory order. Rows are
// padded to 4 bytes, so the conversion and the copy go by the surface's real
// stride: widths that are not a multiple of 4 come out right.
#include "output/idle_picture.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "output/driver_layout.h"

extern "C" {
#include <libswscale/swscale.h>
}

namespace tavin {
namespace {

constexpr const char kText[] = "Looking for the phone";
constexpr platform::Rgb kTextColour{250, 250, 250};
constexpr platform::Rgb kBlack{0, 0, 0};
constexpr int kAnimationAboveCentre = 100;  // pixels from the centre up to the animation's top
constexpr int kTextBoxHeight = 50;

// Green blank pictures: one kind-0 pixel, and one kind-1 pixel pair.
constexpr std::uint8_t kBlankBgr[3] = {0x00, 0xB1, 0x40};
constexpr std::uint8_t kBlankYuy2[4] = {0x6F, 0x65, 0x6F, 0x30};

// swscale writes whole chroma samples: for odd sizes a few bytes past the
// picture's own size.
constexpr std::size_t kConversionSlack = 64 * 1024;

AVPixelFormat destinationFormat(std::int32_t kind) {
    switch (kind) {
        case driver::kYuy2: return AV_PIX_FMT_YUYV422;
        case driver::kI420: return AV_PIX_FMT_YUV420P;
        case driver::kArgb: return AV_PIX_FMT_ARGB;
        default: return AV_PIX_FMT_NONE;
    }
}

// Repeats `pattern` over `bytes` bytes (the last repetition may be cut).
void fillPattern(std::uint8_t* out, std::size_t bytes, const std::uint8_t* pattern, std::size_t size) {
    std::size_t done = bytes < size ? bytes : size;
    std::memcpy(out, pattern, done);
    while (done < bytes) {
        const std::size_t n = done < bytes - done ? done : bytes - done;
        std::memcpy(out + done, out, n);
        done += n;
    }
}

}  // namespace

IdlePicture::~IdlePicture() { release(); }

int IdlePicture::load(std::span<const std::uint8_t> gif) {
    release();
    animation_ = decodeGif(gif);
    return animation_.frameCount;
}

void IdlePicture::release() {
    animation_ = IdleAnimation{};
    dropFormat();
}

void IdlePicture::dropFormat() {
    surface_.destroy();
    picture_.reset();
    pictureBytes_ = 0;
    sws_freeContext(scaler_);
    scaler_ = nullptr;
    prepared_ = false;
}

bool IdlePicture::prepare(const Layout& layout) {
    if (prepared_ && layout == layout_) return true;
    dropFormat();
    if (layout.width <= 0 || layout.height == 0) return false;
    const std::uint64_t h = static_cast<std::uint64_t>(std::llabs(static_cast<long long>(layout.height)));
    const std::uint64_t w = static_cast<std::uint64_t>(layout.width);
    if (w > driver::slot::kPixelArea || h > driver::slot::kPixelArea) return false;
    const std::size_t bytes = driver::pictureBytes(layout.kind, w, h);
    if (bytes == 0 || bytes > driver::slot::kPixelArea) return false;

    const int width = layout.width, height = static_cast<int>(h);
    const bool bottomUp = layout.height < 0 && (layout.kind == driver::kBgr24 || layout.kind == driver::kArgb);
    if (!surface_.create(width, height, bottomUp ? platform::RowOrder::BottomUp : platform::RowOrder::TopDown))
        return false;
    picture_.reset(new (std::nothrow) std::uint8_t[bytes + kConversionSlack]);
    if (!picture_) {
        dropFormat();
        return false;
    }
    if (layout.kind != driver::kBgr24) {
        // Nothing is scaled here. The point sampler converts a picture of the
        // same size exactly; the fast bilinear one would blur the luma of
        // packed YUY2 across neighbouring pixels (sharp text turns soft).
        scaler_ = sws_getCachedContext(nullptr, width, height, AV_PIX_FMT_BGR24, width, height,
                                       destinationFormat(layout.kind), SWS_POINT, nullptr, nullptr, nullptr);
        if (!scaler_) {
            dropFormat();
            return false;
        }
    }
    pictureBytes_ = bytes;
    layout_ = layout;
    prepared_ = true;
    return true;
}

std::span<const std::uint8_t> IdlePicture::draw(std::int32_t width, std::int32_t height, std::int32_t kind,
                                                std::uint64_t frame) {
    if (!prepare(Layout{width, height, kind})) return {};
    const int w = surface_.width(), h = surface_.height();
    surface_.fill(platform::Rect{0, 0, w, h}, kBlack);
    if (animation_.frameCount > 0) {
        const auto index = static_cast<int>(frame % static_cast<std::uint64_t>(animation_.frameCount));
        surface_.copyBgra(animation_.frame(index), animation_.width, animation_.height,
                          w / 2 - animation_.width / 2, h / 2 - kAnimationAboveCentre);
    }
    surface_.drawText(kText, platform::Rect{0, h / 2, w, h / 2 + kTextBoxHeight}, kTextColour, kBlack);
    return convert();
}

std::span<const std::uint8_t> IdlePicture::convert() {
    const int w = surface_.width(), h = surface_.height();
    const std::size_t rowBytes = 3 * static_cast<std::size_t>(w);
    if (layout_.kind == driver::kBgr24) {
        // The surface is the picture when its rows need no padding.
        if (surface_.stride() == rowBytes) return {surface_.bits(), pictureBytes_};
        for (int y = 0; y < h; ++y) {
            std::memcpy(picture_.get() + static_cast<std::size_t>(y) * rowBytes,
                        surface_.bits() + static_cast<std::size_t>(y) * surface_.stride(), rowBytes);
        }
        return {picture_.get(), pictureBytes_};
    }
    const std::uint8_t* const source[4] = {surface_.bits(), nullptr, nullptr, nullptr};
    const int sourceStride[4] = {static_cast<int>(surface_.stride()), 0, 0, 0};
    std::uint8_t* planes[4] = {picture_.get(), nullptr, nullptr, nullptr};
    int strides[4] = {0, 0, 0, 0};
    const std::size_t wh = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
    switch (layout_.kind) {
        case driver::kYuy2: strides[0] = 2 * w; break;
        case driver::kI420:
            strides[0] = w;
            planes[1] = picture_.get() + wh;
            planes[2] = picture_.get() + wh * 5 / 4;
            strides[1] = strides[2] = w / 2;
            break;
        case driver::kArgb: strides[0] = 4 * w; break;
        default: return {};
    }
    if (sws_scale(scaler_, source, sourceStride, 0, h, planes, strides) <= 0) return {};
    return {picture_.get(), pictureBytes_};
}

std::span<const std::uint8_t> IdlePicture::blank(std::int32_t width, std::int32_t height, std::int32_t kind) {
    if (kind != driver::kBgr24 && kind != driver::kYuy2) return {};
    if (!prepare(Layout{width, height, kind})) return {};
    if (kind == driver::kBgr24) {
        fillPattern(picture_.get(), pictureBytes_, kBlankBgr, sizeof kBlankBgr);
    } else {
        fillPattern(picture_.get(), pictureBytes_, kBlankYuy2, sizeof kBlankYuy2);
    }
    return {picture_.get(), pictureBytes_};
}

}  // namespace tavin
