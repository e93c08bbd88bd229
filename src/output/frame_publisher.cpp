// Publishing runs on the decoding thread and takes no lock while it
// converts: the frame pair's lock only while an entry is taken and given
// back, the camera output's named mutex (device transport) only while a
// slot is chosen. The two scaler contexts are cached and rebuilt only when
// the picture's or the target's geometry or format changes; nothing else is
// allocated per picture.
#include "output/frame_publisher.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "engine/error_record.h"
#include "media/frame_pair.h"
#include "output/driver_layout.h"
#include "output/preview_picture.h"
#include "platform/byte_order.h"
#include "platform/clock.h"
#include "session/protocol.h"

namespace tavin {

namespace {

// Pictures of this width and more are halved for the preview.
constexpr int kPreviewHalvingWidth = 3840;
// Converted widths of a horizontally fitted picture are multiples of this.
constexpr std::int64_t kFitWidthStep = 8;
// A picture within this many pixels of the slot's shape is stretched.
constexpr std::int64_t kFitTolerance = 2;

AVPixelFormat slotPixelFormat(std::int32_t kind) {
    switch (kind) {
        case driver::kBgr24: return AV_PIX_FMT_BGR24;
        case driver::kYuy2: return AV_PIX_FMT_YUYV422;
        case driver::kI420: return AV_PIX_FMT_YUV420P;
        case driver::kArgb: return AV_PIX_FMT_ARGB;
        default: return AV_PIX_FMT_NONE;
    }
}

// The picture's planes, last row first when `flipped`. False when the
// rows of its format cannot be walked backwards.
bool sourcePlanes(const AVFrame& picture, bool flipped, const std::uint8_t* planes[4], int strides[4]) {
    for (int i = 0; i < 4; ++i) {
        planes[i] = picture.data[i];
        strides[i] = picture.linesize[i];
    }
    if (!flipped) return true;
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(picture.format));
    if (!d || (d->flags & (AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_HWACCEL))) return false;
    for (int i = 0; i < 4 && planes[i]; ++i) {
        const bool chroma = (i == 1 || i == 2) && !(d->flags & AV_PIX_FMT_FLAG_RGB);
        const int rows = chroma ? AV_CEIL_RSHIFT(picture.height, d->log2_chroma_h) : picture.height;
        planes[i] += static_cast<std::ptrdiff_t>(strides[i]) * (rows - 1);
        strides[i] = -strides[i];
    }
    return true;
}

// Keeps the bytes just past a conversion target as they were: swscale may
// write a few bytes of a row's end there, where a bar (or the next plane)
// lies.
class SlackGuard {
public:
    SlackGuard(std::uint8_t* at, std::size_t length) : at_(at), length_(length) {
        std::memcpy(saved_, at_, length_);
    }
    ~SlackGuard() { std::memcpy(at_, saved_, length_); }
    SlackGuard(const SlackGuard&) = delete;
    SlackGuard& operator=(const SlackGuard&) = delete;

private:
    std::uint8_t* at_;
    std::size_t length_;
    std::uint8_t saved_[kScalerSlack];
};

}  // namespace

PictureFit fitPicture(int pictureWidth, int pictureHeight, int width, int height, std::int32_t kind) {
    if (pictureWidth <= 0 || pictureHeight <= 0 || width <= 0 || height <= 0) return {};
    PictureFit fit{width, height, 0, 0};
    const std::int64_t fw = pictureWidth, fh = pictureHeight, w = width, h = height;
    if (kind != driver::kI420) {
        if (fw + kFitTolerance < (fh * w) / h) {
            // Narrower than the slot's shape: bars left and right.
            fit.width = static_cast<int>((h * fw) / fh / kFitWidthStep * kFitWidthStep);
            fit.x = (width - fit.width) / 2;
            if (kind == driver::kYuy2) fit.x &= ~1;  // a Y, U, Y, V group starts on an even pixel
        } else if (fh + kFitTolerance < (h * fw) / w) {
            // Flatter: bars above and below.
            fit.height = static_cast<int>((fh * w) / fw);
            fit.y = (height - fit.height) / 2;
        }
    }
    if (kind == driver::kYuy2 || kind == driver::kI420) fit.width &= ~1;
    if (kind == driver::kI420) fit.height &= ~1;
    return fit;
}

bool slotTarget(std::uint8_t* base, const OutputFormat& format, const PictureFit& fit, SlotTarget& out) {
    out = SlotTarget{};
    out.format = slotPixelFormat(format.kind);
    if (out.format == AV_PIX_FMT_NONE || format.width <= 0 || format.height == 0) return false;
    const std::size_t w = static_cast<std::size_t>(format.width);
    const std::size_t h = static_cast<std::size_t>(std::abs(static_cast<std::int64_t>(format.height)));
    out.bytes = static_cast<std::int32_t>(driver::pictureBytes(format.kind, w, h));
    if (format.kind == driver::kI420) {
        out.planes[0] = base;
        out.planes[1] = base + w * h;
        out.planes[2] = base + (5 * w * h) / 4;
        out.strides[0] = format.width;
        out.strides[1] = out.strides[2] = format.width / 2;
        out.end = (5 * w * h) / 4 + (w / 2) * (h / 2);
        return true;
    }
    const std::size_t bpp = driver::pictureBytes(format.kind, 1, 1);
    out.flipped = format.height < 0 && format.kind != driver::kYuy2;
    const std::size_t x = static_cast<std::size_t>(fit.x);
    const std::size_t y = static_cast<std::size_t>(fit.y);
    const std::size_t rows = static_cast<std::size_t>(fit.height);
    // Bottom-up, the picture's top row is the slot's last row but the bar:
    // its lowest address is (rows of the bottom bar) rows in.
    const std::size_t firstRow = out.flipped ? h - y - rows : y;
    out.planes[0] = base + bpp * (firstRow * w + x);
    out.strides[0] = static_cast<int>(bpp * w);
    out.end = rows == 0 ? 0 : bpp * ((firstRow + rows - 1) * w + x + static_cast<std::size_t>(fit.width));
    return true;
}

PreviewSize previewSize(int pictureWidth, int pictureHeight) {
    if (pictureWidth <= 0 || pictureHeight <= 0) return {};
    std::int64_t w = pictureWidth, h = pictureHeight;
    if (w >= kPreviewHalvingWidth) {
        w /= 2;
        h /= 2;
    }
    const std::int64_t maxW = PreviewPicture::kMaxWidth, maxH = PreviewPicture::kMaxHeight;
    if (w > maxW || h > maxH) {
        if (w * maxH > h * maxW) {
            h = h * maxW / w;
            w = maxW;
        } else {
            w = w * maxH / h;
            h = maxH;
        }
    }
    return PreviewSize{static_cast<int>(std::max<std::int64_t>(w, 1)), static_cast<int>(std::max<std::int64_t>(h, 1))};
}

FramePublisher::FramePublisher(FramePair& frames, CameraOutput& output, PublishingHost& host, PreviewPicture& preview)
    : frames_(frames), output_(output), host_(host), preview_(preview) {}

FramePublisher::~FramePublisher() {
    sws_freeContext(slotScaler_);
    sws_freeContext(previewScaler_);
}

void FramePublisher::OnPacketStarted(std::uint32_t tagBits) {
    const auto message = protocol::buildTiming(tagBits, static_cast<float>(decodeSeconds_), publishSeconds_);
    host_.sendToPhone(message.data(), message.size());
    packetStart_ = platform::processClock();
}

void FramePublisher::OnFrameDone(DecodeOutcome outcome, std::uint32_t) {
    if (outcome == DecodeOutcome::NoPicture) {
        if (const CameraOutput::StreamWrite write{output_}) output_.clearSlots();
        return;
    }
    const std::optional<FramePair::Taken> taken = frames_.takeReady();
    if (!taken) return;
    decodeSeconds_ = platform::processClock() - packetStart_;
    const AVFrame& picture = *taken->picture;

    const OutputFormat format = output_.outputFormat();
    if (format.height == 0) {
        frames_.release(taken->entry);
        return;
    }
    if (slotPixelFormat(format.kind) == AV_PIX_FMT_NONE) {
        recordError(errors::kPixelKindOutOfRange);
        frames_.release(taken->entry);
        return;
    }
    // Into a slot only while the slots are the stream's; the preview and the
    // host hear of the picture in any case.
    if (const CameraOutput::StreamWrite write{output_}) {
        if (std::uint8_t* slot = output_.choosePublishSlot()) writeSlot(slot, picture, format, taken->tagBits);
    }
    if (host_.feedsPreview()) writePreview(picture);
    host_.reportFrameSize(picture.width, picture.height);

    frames_.release(taken->entry);
    publishSeconds_ = static_cast<float>((platform::processClock() - packetStart_) - decodeSeconds_);
}

void FramePublisher::writeSlot(std::uint8_t* slot, const AVFrame& picture, const OutputFormat& format,
                               std::uint32_t tagBits) {
    const int height = format.height < 0 ? -format.height : format.height;
    const PictureFit fit = fitPicture(picture.width, picture.height, format.width, height, format.kind);
    SlotTarget target;
    const std::uint8_t* source[4];
    int sourceStrides[4];
    // A target without room for the scaler's slack (a format within 32
    // bytes of the pixel area's end) is left as it is.
    if (slotTarget(slot, format, fit, target) && fit.width > 0 && fit.height > 0 &&
        target.end + kScalerSlack <= driver::slot::kPixelArea &&
        sourcePlanes(picture, target.flipped, source, sourceStrides)) {
        slotScaler_ = sws_getCachedContext(slotScaler_, picture.width, picture.height,
                                           static_cast<AVPixelFormat>(picture.format), fit.width, fit.height,
                                           target.format, SWS_FAST_BILINEAR, nullptr, nullptr, nullptr);
        if (slotScaler_) {
            SlackGuard guard(slot + target.end, kScalerSlack);
            sws_scale(slotScaler_, source, sourceStrides, 0, picture.height, target.planes, target.strides);
        }
    }
    output_.publishSlot(slot, target.bytes, bitsToFloat(tagBits));
}

void FramePublisher::writePreview(const AVFrame& picture) {
    const PreviewSize size = previewSize(picture.width, picture.height);
    const std::size_t stride = 4 * static_cast<std::size_t>(size.width);
    if (size.width <= 0 || stride * static_cast<std::size_t>(size.height) + kScalerSlack > PreviewPicture::kBytes) {
        return;
    }
    std::uint8_t* pixels = preview_.beginWrite();
    if (!pixels) return;  // the last picture was not taken yet
    previewScaler_ = sws_getCachedContext(previewScaler_, picture.width, picture.height,
                                          static_cast<AVPixelFormat>(picture.format), size.width, size.height,
                                          AV_PIX_FMT_BGRA, SWS_FAST_BILINEAR, nullptr, nullptr, nullptr);
    if (!previewScaler_) return;
    std::uint8_t* planes[4] = {pixels, nullptr, nullptr, nullptr};
    const int strides[4] = {static_cast<int>(stride), 0, 0, 0};
    sws_scale(previewScaler_, picture.data, picture.linesize, 0, picture.height, planes, strides);
    preview_.finishWrite(size.width, size.height);
}

}  // namespace tavin
