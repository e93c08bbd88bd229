// Encoder of the simulator's video: the moving test picture, compressed
// with libavcodec's libx264 (H.264) or libx265 (HEVC) encoder for live use:
// no B-frames, no look-ahead, one packet per picture, parameter sets
// repeated in front of every keyframe, a keyframe about once a second.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "session/protocol.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace tavin::phonesim {

class VideoEncoder {
public:
    // Receives each compressed packet; the bytes are valid during the call.
    using PacketSink = std::function<void(const std::uint8_t* data, std::size_t size)>;

    VideoEncoder() = default;
    ~VideoEncoder();
    VideoEncoder(const VideoEncoder&) = delete;
    VideoEncoder& operator=(const VideoEncoder&) = delete;

    // Opens an encoder for `codec` (1 H.264, 2 HEVC) at this format, closing
    // any previous one. HEVC falls back to H.264 when no HEVC encoder can be
    // opened (logged). The format must lie within the simulator's bounds.
    // False when no encoder could be opened.
    bool open(std::uint32_t codec, const VideoFormat& format);
    void close();

    bool isOpen() const { return context_ != nullptr; }
    // The codec in use (1 or 2); 0 when closed.
    std::uint32_t codec() const { return codec_; }
    const VideoFormat& format() const { return format_; }

    // Draws the next test picture and encodes it. False on an encoder error.
    bool encodeNext(const PacketSink& sink);

    // True when this build of libavcodec has the encoder for `codec`.
    static bool available(std::uint32_t codec);

private:
    bool openWith(std::uint32_t codec, const VideoFormat& format);

    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    std::uint32_t codec_ = 0;
    VideoFormat format_{};
    std::uint64_t frameNumber_ = 0;
};

}  // namespace tavin::phonesim
