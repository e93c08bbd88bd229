#include "video_encoder.h"

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
#include <libavutil/rational.h>
}

#include "phone_log.h"
#include "test_picture.h"

namespace tavin::phonesim {

namespace {

const char* encoderName(std::uint32_t codec) {
    return codec == protocol::format_request::kCodecHevc ? "libx265" : "libx264";
}

}  // namespace

VideoEncoder::~VideoEncoder() { close(); }

bool VideoEncoder::available(std::uint32_t codec) {
    return avcodec_find_encoder_by_name(encoderName(codec)) != nullptr;
}

void VideoEncoder::close() {
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
    codec_ = 0;
}

bool VideoEncoder::open(std::uint32_t codec, const VideoFormat& format) {
    close();
    if (codec == protocol::format_request::kCodecHevc) {
        if (openWith(codec, format)) return true;
        logLine("HEVC encoder unavailable, encoding H.264 instead");
    }
    return openWith(protocol::format_request::kCodecH264, format);
}

bool VideoEncoder::openWith(std::uint32_t codec, const VideoFormat& format) {
    const AVCodec* encoder = avcodec_find_encoder_by_name(encoderName(codec));
    if (encoder == nullptr) return false;
    context_ = avcodec_alloc_context3(encoder);
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (context_ == nullptr || frame_ == nullptr || packet_ == nullptr) {
        close();
        return false;
    }
    AVRational rate = av_d2q(format.fps, 100000);
    context_->width = static_cast<int>(format.width);
    context_->height = static_cast<int>(format.height);
    context_->pix_fmt = AV_PIX_FMT_YUV420P;
    context_->framerate = rate;
    context_->time_base = av_inv_q(rate);
    context_->gop_size = std::max(1, static_cast<int>(std::lround(format.fps)));
    context_->max_b_frames = 0;
    // One thread is plenty up to 720p; larger pictures get a second one to
    // stay near real time.
    context_->thread_count = format.width * format.height > 1280u * 720u ? 2 : 1;
    // Without global headers the parameter sets travel in front of every
    // keyframe, so a decoder can start at any keyframe.
    context_->flags &= ~AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(context_->priv_data, "preset", "ultrafast", 0);
    av_opt_set(context_->priv_data, "tune", "zerolatency", 0);
    if (codec == protocol::format_request::kCodecH264) {
        av_opt_set(context_->priv_data, "profile", "baseline", 0);
    } else {
        av_opt_set(context_->priv_data, "x265-params", "repeat-headers=1:log-level=error:frame-threads=1:pools=2", 0);
    }
    if (avcodec_open2(context_, encoder, nullptr) < 0) {
        close();
        return false;
    }
    frame_->format = AV_PIX_FMT_YUV420P;
    frame_->width = context_->width;
    frame_->height = context_->height;
    if (av_frame_get_buffer(frame_, 0) < 0) {
        close();
        return false;
    }
    codec_ = codec;
    format_ = format;
    frameNumber_ = 0;
    logLine("encoder %s %ux%u@%g", encoderName(codec), format.width, format.height,
            static_cast<double>(format.fps));
    return true;
}

bool VideoEncoder::encodeNext(const PacketSink& sink) {
    if (context_ == nullptr) return false;
    if (av_frame_make_writable(frame_) < 0) return false;
    drawTestPicture(PlanarPicture{frame_->data[0], frame_->linesize[0], frame_->data[1], frame_->linesize[1],
                                  frame_->data[2], frame_->linesize[2], frame_->width, frame_->height},
                    frameNumber_);
    frame_->pts = static_cast<std::int64_t>(frameNumber_);
    ++frameNumber_;
    if (avcodec_send_frame(context_, frame_) < 0) return false;
    for (;;) {
        int result = avcodec_receive_packet(context_, packet_);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return true;
        if (result < 0) return false;
        if (packet_->size > 0) sink(packet_->data, static_cast<std::size_t>(packet_->size));
        av_packet_unref(packet_);
    }
}

}  // namespace tavin::phonesim
