#include "support/video_support.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "phone/test_picture.h"
#include "phone/video_encoder.h"

namespace tavin::test {

std::vector<Packet> encodeTestStream(std::uint32_t codec, int width, int height, int count) {
    std::vector<Packet> packets;
    phonesim::VideoEncoder encoder;
    const VideoFormat format{static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), 30.0f};
    if (!encoder.open(codec, format) || encoder.codec() != codec) return packets;
    for (int i = 0; i < count; ++i) {
        encoder.encodeNext([&](const std::uint8_t* data, std::size_t size) { packets.emplace_back(data, data + size); });
    }
    return packets;
}

PlainDecoder::PlainDecoder(std::uint32_t codec) {
    const AVCodec* decoder =
        avcodec_find_decoder(codec == protocol::format_request::kCodecHevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    context_ = decoder ? avcodec_alloc_context3(decoder) : nullptr;
    if (context_ && avcodec_open2(context_, decoder, nullptr) != 0) avcodec_free_context(&context_);
    frame_ = av_frame_alloc();
}

PlainDecoder::~PlainDecoder() {
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
}

const AVFrame* PlainDecoder::decode(const Packet& packet) {
    if (!context_ || !frame_) return nullptr;
    AVPacket* p = av_packet_alloc();
    if (!p || av_new_packet(p, static_cast<int>(packet.size())) != 0) {
        av_packet_free(&p);
        return nullptr;
    }
    std::memcpy(p->data, packet.data(), packet.size());
    avcodec_send_packet(context_, p);
    av_packet_free(&p);
    return avcodec_receive_frame(context_, frame_) == 0 ? frame_ : nullptr;
}

bool vaapiAvailable() {
    AVBufferRef* device = nullptr;
    const bool ok = av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0) >= 0;
    av_buffer_unref(&device);
    return ok;
}

bool samePicture(const AVFrame& a, const AVFrame& b) {
    if (a.width != b.width || a.height != b.height || a.format != b.format) return false;
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(a.format));
    if (!d) return false;
    for (int p = 0; p < 4 && a.data[p]; ++p) {
        const bool chroma = p == 1 || p == 2;
        const int rows = chroma ? AV_CEIL_RSHIFT(a.height, d->log2_chroma_h) : a.height;
        const int bytes = av_image_get_linesize(static_cast<AVPixelFormat>(a.format), a.width, p);
        for (int y = 0; y < rows; ++y) {
            if (std::memcmp(a.data[p] + static_cast<std::ptrdiff_t>(y) * a.linesize[p],
                            b.data[p] + static_cast<std::ptrdiff_t>(y) * b.linesize[p],
                            static_cast<std::size_t>(bytes)) != 0) {
                return false;
            }
        }
    }
    return true;
}

SimulatorPicture::SimulatorPicture(int width, int height, AVPixelFormat format)
    : width_(width), height_(height), bytesPerPixel_(format == AV_PIX_FMT_RGB24 ? 3 : 4),
      y_(static_cast<std::size_t>(width) * height),
      u_(static_cast<std::size_t>((width + 1) / 2) * ((height + 1) / 2)), v_(u_.size()),
      packed_(static_cast<std::size_t>(width) * height * bytesPerPixel_) {
    if (format == AV_PIX_FMT_RGB24 || format == AV_PIX_FMT_BGRA)
        scaler_ = sws_getContext(width, height, AV_PIX_FMT_YUV420P, width, height, format, SWS_FAST_BILINEAR,
                                 nullptr, nullptr, nullptr);
}

SimulatorPicture::~SimulatorPicture() { sws_freeContext(scaler_); }

double SimulatorPicture::difference(const std::uint8_t* pixels, std::size_t stride, std::uint64_t frame) {
    if (!scaler_) return std::numeric_limits<double>::max();
    const int chromaStride = (width_ + 1) / 2;
    phonesim::drawTestPicture({y_.data(), width_, u_.data(), chromaStride, v_.data(), chromaStride, width_, height_},
                              frame);
    const std::uint8_t* planes[3] = {y_.data(), u_.data(), v_.data()};
    const int strides[3] = {width_, chromaStride, chromaStride};
    std::uint8_t* out[1] = {packed_.data()};
    const int outStrides[1] = {width_ * bytesPerPixel_};
    sws_scale(scaler_, planes, strides, 0, height_, out, outStrides);
    std::uint64_t sum = 0;
    for (int row = 0; row < height_; ++row) {
        const std::uint8_t* a = pixels + static_cast<std::size_t>(row) * stride;
        const std::uint8_t* b = packed_.data() + static_cast<std::size_t>(row) * width_ * bytesPerPixel_;
        for (int x = 0; x < width_ * bytesPerPixel_; x += bytesPerPixel_)
            for (int c = 0; c < 3; ++c) sum += static_cast<std::uint64_t>(std::abs(a[x + c] - b[x + c]));
    }
    return static_cast<double>(sum) / (static_cast<double>(width_) * height_ * 3);
}

double SimulatorPicture::bestDifference(const std::uint8_t* pixels, std::size_t stride, std::uint64_t lastFrame,
                                         double goodEnough) {
    double best = std::numeric_limits<double>::max();
    for (std::uint64_t n = 0; n <= lastFrame && best > goodEnough; ++n)
        best = std::min(best, difference(pixels, stride, n));
    return best;
}

}  // namespace tavin::test
