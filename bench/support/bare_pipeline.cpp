#include "bare_pipeline.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

#include "media/packet_ring.h"
#include "media/video_decoder.h"
#include "output/frame_publisher.h"

namespace tavin::bench {

BarePipeline::BarePipeline(int width, int height, PreviewCopy preview)
    : width_(width), height_(height), previewCopy_(preview),
      camera_(static_cast<std::size_t>(width) * height * 2 + kScalerSlack) {
    const PreviewSize size = previewSize(width, height);
    previewPixels_.resize(static_cast<std::size_t>(size.width) * size.height * 4 + kScalerSlack);
    av_log_set_level(AV_LOG_QUIET);
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    context_ = codec ? avcodec_alloc_context3(codec) : nullptr;
    if (!context_) return;
    context_->thread_count = VideoDecoder::threadCount();
    context_->thread_type = FF_THREAD_SLICE;
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    if (avcodec_open2(context_, codec, nullptr) != 0 || !packet_ || !frame_ ||
        av_new_packet(packet_, static_cast<int>(PacketRing::kCapacity)) != 0)
        avcodec_free_context(&context_);
}

BarePipeline::~BarePipeline() {
    sws_freeContext(cameraScaler_);
    sws_freeContext(previewScaler_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&context_);
}

bool BarePipeline::decode(const Packet& packet) {
    if (!context_ || packet.size() > PacketRing::kCapacity) return false;
    std::memcpy(packet_->data, packet.data(), packet.size());
    std::memset(packet_->data + packet.size(), 0, AV_INPUT_BUFFER_PADDING_SIZE);
    packet_->size = static_cast<int>(packet.size());
    avcodec_send_packet(context_, packet_);
    av_frame_unref(frame_);
    return avcodec_receive_frame(context_, frame_) == 0;
}

bool BarePipeline::run(const Packet& packet) {
    if (!decode(packet)) return false;
    convert();
    return true;
}

void BarePipeline::convert() {
    const AVFrame& f = *frame_;
    cameraScaler_ = sws_getCachedContext(cameraScaler_, f.width, f.height, static_cast<AVPixelFormat>(f.format),
                                         width_, height_, AV_PIX_FMT_YUYV422, SWS_FAST_BILINEAR, nullptr, nullptr,
                                         nullptr);
    if (cameraScaler_) {
        std::uint8_t* planes[4] = {camera_.data(), nullptr, nullptr, nullptr};
        const int strides[4] = {2 * width_, 0, 0, 0};
        sws_scale(cameraScaler_, f.data, f.linesize, 0, f.height, planes, strides);
    }
    if (previewCopy_ == PreviewCopy::No) return;
    const PreviewSize size = previewSize(f.width, f.height);
    previewScaler_ = sws_getCachedContext(previewScaler_, f.width, f.height, static_cast<AVPixelFormat>(f.format),
                                          size.width, size.height, AV_PIX_FMT_BGRA, SWS_FAST_BILINEAR, nullptr,
                                          nullptr, nullptr);
    if (previewScaler_) {
        std::uint8_t* planes[4] = {previewPixels_.data(), nullptr, nullptr, nullptr};
        const int strides[4] = {4 * size.width, 0, 0, 0};
        sws_scale(previewScaler_, f.data, f.linesize, 0, f.height, planes, strides);
    }
}

}  // namespace tavin::bench
