// What the engine instance needs of a video decoder. The decoder turns the
// phone's packets into pictures on a thread of its own and reports through
// the instance's decoder events.
#pragma once

#include <cstdint>
#include <memory>

namespace tavin {

inline constexpr int kCodecIdH264 = 27;  // AV_CODEC_ID_H264

class VideoDecoder {
public:
    virtual ~VideoDecoder() = default;  // stops and joins the decoding thread
    // Queues one compressed packet with the phone's tag. Called on the
    // session's receive thread; never blocks on decoding.
    virtual void PushPacket(std::uint32_t tagBits, const std::uint8_t* data, std::uint32_t length) = 0;
    // The FFmpeg codec id in use (27 = H.264).
    virtual int codecId() const = 0;
};

// Creates the decoder of a stream; null when it cannot be created (the
// caller then tries once more without HEVC).
class VideoDecoderFactory {
public:
    virtual ~VideoDecoderFactory() = default;
    virtual std::unique_ptr<VideoDecoder> create(bool hevc) = 0;
};

}  // namespace tavin
