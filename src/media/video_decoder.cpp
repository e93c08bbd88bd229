// Decoding. One packet gives one send and one receive attempt, so that a
// picture is published as soon as its packet is decoded; slice threading
// decodes without the frame delay of frame threading. A packet that yields
// no picture (the codec wants more input, or the packet was bad) empties
// the frame pair and is reported as such; decoding errors never stop the
// thread.
//
// Memory. The ring, the packet's buffer and the pictures are allocated
// once. The codec takes a reference to the packet's buffer when it is
// handed a packet; it normally drops it before the next packet, and the
// buffer is reused. Should it still hold it, the next packet gets a fresh
// buffer instead of overwriting bytes the codec may still read.
#include "media/video_decoder.h"

#include <chrono>
#include <cstring>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/hwcontext.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include "engine/error_record.h"
#include "media/frame_pair.h"
#include "platform/clock.h"

namespace tavin {

namespace {

// The decoding thread re-checks its running flag at least this often while
// it waits for packets.
constexpr int kWaitStepMs = 100;

void recordSendResult(int result) {
    if (result == 0 || result == AVERROR_INVALIDDATA) return;
    if (result == AVERROR(EAGAIN)) {
        recordError(errors::kSendPacketAgain);
    } else if (result == AVERROR_EOF) {
        recordError(errors::kSendPacketEof);
    } else if (result == AVERROR(EINVAL)) {
        recordError(errors::kSendPacketInvalid);
    } else if (result == AVERROR(ENOMEM)) {
        recordError(errors::kSendPacketNoMemory);
    } else {
        recordError(errors::kSendPacketOther);
    }
}

void recordReceiveResult(int result) {
    if (result == AVERROR(EAGAIN)) return;
    if (result == AVERROR_EOF) {
        recordError(errors::kReceiveFrameEof);
    } else if (result == AVERROR(EINVAL)) {
        recordError(errors::kReceiveFrameInvalid);
    } else {
        recordError(errors::kReceiveFrameOther);
    }
}

}  // namespace

int VideoDecoder::threadCount() {
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : static_cast<int>(cores);
}

VideoDecoder::VideoDecoder(DecoderEvents& events, FramePair& frames, VideoCodec codec)
    : events_(events), frames_(frames), codec_(codec) {}

std::unique_ptr<VideoDecoder> VideoDecoder::CreateDecoder(DecoderEvents& events, FramePair& frames,
                                                          VideoCodec codec) {
    std::unique_ptr<VideoDecoder> decoder(new VideoDecoder(events, frames, codec));
    if (!decoder->open()) return nullptr;
    return decoder;
}

bool VideoDecoder::open() {
    if (!ring_.valid()) return false;
    const AVCodec* decoder = avcodec_find_decoder(codec_ == VideoCodec::Hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    if (!decoder) return false;
    context_ = avcodec_alloc_context3(decoder);
    if (!context_) return false;
    context_->thread_count = threadCount();
    context_->thread_type = FF_THREAD_SLICE;
    // Gone from current libavcodec, whose frames are always reference
    // counted; a failed set changes nothing.
    av_opt_set_int(context_, "refcounted_frames", 1, 0);
    if (codec_ == VideoCodec::Hevc && !setUpHardware(decoder)) return false;
    av_log_set_level(AV_LOG_QUIET);

    if (avcodec_open2(context_, decoder, nullptr) != 0) return false;
    packet_ = av_packet_alloc();
    if (!packet_ || av_new_packet(packet_, static_cast<int>(PacketRing::kCapacity)) != 0) return false;

    running_.store(true);
    if (!thread_.start([this] { decodeLoop(); })) {
        running_.store(false);
        return false;
    }
    return true;
}

bool VideoDecoder::setUpHardware(const AVCodec* decoder) {
    const AVCodecHWConfig* config = nullptr;
    for (int i = 0;; ++i) {
        const AVCodecHWConfig* c = avcodec_get_hw_config(decoder, i);
        if (!c) break;
        if ((c->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX) && c->device_type == AV_HWDEVICE_TYPE_VAAPI) {
            config = c;
            break;
        }
    }
    if (!config) {
        recordError(errors::kNoHardwareConfig);
        return false;
    }
    if (config->pix_fmt == AV_PIX_FMT_NONE) return false;
    hardwareFormat_ = config->pix_fmt;
    context_->opaque = this;
    context_->get_format = &VideoDecoder::chooseFormat;
    context_->hwaccel_flags = AV_HWACCEL_FLAG_IGNORE_LEVEL;
    if (av_hwdevice_ctx_create(&device_, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0) < 0) return false;
    context_->hw_device_ctx = av_buffer_ref(device_);
    return context_->hw_device_ctx != nullptr;
}

AVPixelFormat VideoDecoder::chooseFormat(AVCodecContext* context, const AVPixelFormat* offered) {
    if (!offered || offered[0] == AV_PIX_FMT_NONE) return AV_PIX_FMT_NONE;
    const auto* self = static_cast<const VideoDecoder*>(context->opaque);
    for (const AVPixelFormat* f = offered; *f != AV_PIX_FMT_NONE; ++f) {
        if (self && *f == self->hardwareFormat_) return *f;
    }
    return offered[0];
}

VideoDecoder::~VideoDecoder() {
    {
        std::lock_guard<std::mutex> guard(ringLock_);
        running_.store(false);
    }
    wake_.notify_all();
    thread_.join();
    avcodec_free_context(&context_);
    av_packet_free(&packet_);
    av_buffer_unref(&device_);
}

void VideoDecoder::PushPacket(std::uint32_t tagBits, const std::uint8_t* data, std::uint32_t length) {
    PacketRing::PushResult result;
    std::uint32_t freeRoom;
    {
        std::lock_guard<std::mutex> guard(ringLock_);
        freeRoom = ring_.freeRoom();
        result = ring_.push(tagBits, data, length);
    }
    switch (result) {
        case PacketRing::PushResult::Queued: wake_.notify_one(); break;
        case PacketRing::PushResult::NoRoom:
            recordError(errors::packetRingTag(length, freeRoom), errors::kPacketRingFullCode);
            break;
        case PacketRing::PushResult::QueueFull: recordError(errors::kPacketQueueFull); break;
    }
}

bool VideoDecoder::packetWritable() {
    if (packet_->buf && av_buffer_is_writable(packet_->buf)) return true;
    av_packet_unref(packet_);
    return av_new_packet(packet_, static_cast<int>(PacketRing::kCapacity)) == 0;
}

void VideoDecoder::decodeLoop() {
    AVFrame* spare = av_frame_alloc();  // receives hardware pictures
    while (running_.load()) {
        if (!packetWritable()) {  // out of memory: the packets wait in the ring
            platform::sleepMs(kWaitStepMs);
            continue;
        }
        PacketRing::Entry entry;
        {
            std::unique_lock<std::mutex> lock(ringLock_);
            if (!running_.load()) break;
            if (!ring_.pop(entry, packet_->data)) {
                wake_.wait_for(lock, std::chrono::milliseconds(kWaitStepMs));
                continue;
            }
        }
        if (entry.length == 0) continue;  // an empty packet is dropped undecoded
        events_.OnPacketStarted(entry.tagBits);
        decodePacket(entry.length, entry.tagBits, spare);
    }
    av_frame_free(&spare);
    running_.store(false);
}

void VideoDecoder::decodePacket(std::uint32_t length, std::uint32_t tagBits, AVFrame* spare) {
    std::memset(packet_->data + length, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    packet_->size = static_cast<int>(length);
    recordSendResult(avcodec_send_packet(context_, packet_));

    // A pair without pictures (recorded when it was made) gets none.
    AVFrame* target = frames_.AcquireFrame();
    if (target && receive(target, spare)) {
        frames_.markReady(target, tagBits);
        events_.OnFrameDone(DecodeOutcome::Picture, tagBits);
        return;
    }
    frames_.clear();
    events_.OnFrameDone(DecodeOutcome::NoPicture, tagBits);
}

bool VideoDecoder::receive(AVFrame* target, AVFrame* spare) {
    if (context_->pix_fmt != AV_PIX_FMT_VAAPI) {
        const int result = avcodec_receive_frame(context_, target);
        if (result != 0) recordReceiveResult(result);
        return result == 0;
    }
    // A hardware surface is copied into the target picture.
    if (!spare) return false;
    const int result = avcodec_receive_frame(context_, spare);
    if (result != 0) {
        recordReceiveResult(result);
        return false;
    }
    av_frame_unref(target);
    const int copied = av_hwframe_transfer_data(target, spare, 0);
    av_frame_unref(spare);
    if (copied < 0) {
        recordError(errors::kHardwareTransfer);
        return false;
    }
    return true;
}

}  // namespace tavin
