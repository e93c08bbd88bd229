// The video decoder of one stream: the phone's H.264 or HEVC packets go
// into a packet ring on the session's receive thread; a decoding thread of
// the decoder's own takes them one by one, decodes each with libavcodec
// into the instance's frame pair, and reports every step to the instance's
// decoder events (which publish the picture, on that same thread).
//
// HEVC is decoded by the VA-API hardware when the machine has a device for
// it; without one, creating an HEVC decoder fails and the instance asks for
// H.264 instead. H.264 is decoded in software.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "media/packet_ring.h"
#include "platform/thread.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

struct AVBufferRef;
struct AVCodec;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace tavin {

class FramePair;

enum class VideoCodec { H264, Hevc };

// What one decode attempt gave.
enum class DecodeOutcome { Picture, NoPicture };

// Implemented by the instance's publishing path; called on the decoding
// thread.
class DecoderEvents {
public:
    // A packet left the queue and is about to be decoded.
    virtual void OnPacketStarted(std::uint32_t tagBits) = 0;
    // The packet's one receive attempt ended: with a picture, ready in the
    // frame pair, or without one.
    virtual void OnFrameDone(DecodeOutcome outcome, std::uint32_t tagBits) = 0;

protected:
    ~DecoderEvents() = default;
};

class VideoDecoder {
public:
    // The thread count of the codec context (slice threading): one thread
    // per core. Measured on multi-slice streams, libavcodec's automatic
    // count (a thread more than the cores) decodes slower.
    static int threadCount();

    // Opens a decoder and starts its thread. Null when it cannot be made;
    // only an HEVC decoder without a VA-API configuration records ("sd" 34).
    static std::unique_ptr<VideoDecoder> CreateDecoder(DecoderEvents& events, FramePair& frames, VideoCodec codec);
    // DestroyDecoder: stops and joins the decoding thread, then frees the
    // codec, the packet and the ring. Pictures still inside the codec are
    // dropped.
    ~VideoDecoder();
    VideoDecoder(const VideoDecoder&) = delete;
    VideoDecoder& operator=(const VideoDecoder&) = delete;

    // Queues one packet with the phone's tag and wakes the decoding thread.
    // A packet larger than the free room of the ring is dropped and
    // recorded ("sd.L<length>.F<free>" 153), as is one that finds the
    // queue full ("sd" 155). Called on the session's receive thread.
    void PushPacket(std::uint32_t tagBits, const std::uint8_t* data, std::uint32_t length);

    VideoCodec codec() const { return codec_; }

private:
    VideoDecoder(DecoderEvents& events, FramePair& frames, VideoCodec codec);
    bool open();
    bool setUpHardware(const AVCodec* decoder);
    static AVPixelFormat chooseFormat(AVCodecContext* context, const AVPixelFormat* offered);

    void decodeLoop();
    // The packet's buffer may take the next packet: the codec holds no
    // reference to it (or a fresh one was made).
    bool packetWritable();
    void decodePacket(std::uint32_t length, std::uint32_t tagBits, AVFrame* spare);
    // The packet's one receive attempt into `target`; on the hardware path
    // through `spare` and a copy out of the surface.
    bool receive(AVFrame* target, AVFrame* spare);

    DecoderEvents& events_;
    FramePair& frames_;
    const VideoCodec codec_;
    AVCodecContext* context_ = nullptr;
    AVBufferRef* device_ = nullptr;            // the VA-API device (HEVC)
    AVPixelFormat hardwareFormat_ = AV_PIX_FMT_NONE;
    AVPacket* packet_ = nullptr;               // its buffer: a whole ring's worth plus padding
    PacketRing ring_;
    std::mutex ringLock_;                      // guards ring_ and the running flag's changes
    std::condition_variable wake_;
    std::atomic<bool> running_{false};
    platform::Thread thread_;
};

}  // namespace tavin
