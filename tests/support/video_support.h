// Real video for the decoding and publishing tests: streams from the phone
// simulator's encoder, a plain libavcodec decoder that gives the reference
// pictures, and whether the machine has a VA-API device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
}

#include "session/protocol.h"

struct AVCodecContext;
struct AVFrame;
struct SwsContext;

namespace tavin::test {

using Packet = std::vector<std::uint8_t>;

// `count` packets of the simulator's moving test picture at this size;
// `codec` is the FormatRequest word (1 H.264, 2 HEVC). Empty when the
// encoder is missing.
std::vector<Packet> encodeTestStream(std::uint32_t codec, int width, int height, int count);

// Decodes packets one by one, as the engine's decoder does, without any of
// its machinery.
class PlainDecoder {
public:
    explicit PlainDecoder(std::uint32_t codec = protocol::format_request::kCodecH264);
    ~PlainDecoder();
    PlainDecoder(const PlainDecoder&) = delete;
    PlainDecoder& operator=(const PlainDecoder&) = delete;

    // The picture of `packet`, or null when it gave none. Valid until the
    // next call.
    const AVFrame* decode(const Packet& packet);

private:
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
};

// True when a VA-API device can be opened here.
bool vaapiAvailable();

// True when two pictures have the same size, format and plane contents.
bool samePicture(const AVFrame& a, const AVFrame& b);

// The phone simulator's own picture of a frame number, drawn at a size and
// converted from its I420 to a packed RGB format, to compare with what the
// engine delivered of it.
class SimulatorPicture {
public:
    // `format` is AV_PIX_FMT_RGB24 or AV_PIX_FMT_BGRA.
    SimulatorPicture(int width, int height, AVPixelFormat format);
    ~SimulatorPicture();
    SimulatorPicture(const SimulatorPicture&) = delete;
    SimulatorPicture& operator=(const SimulatorPicture&) = delete;
    bool valid() const { return scaler_ != nullptr; }

    // Mean absolute difference of the colour bytes of `pixels` (rows
    // `stride` bytes apart, in the same format) and frame `frame`.
    double difference(const std::uint8_t* pixels, std::size_t stride, std::uint64_t frame);
    // The smallest difference over frames 0..lastFrame; stops early at a
    // difference below `goodEnough`.
    double bestDifference(const std::uint8_t* pixels, std::size_t stride, std::uint64_t lastFrame,
                          double goodEnough = 1.5);

private:
    const int width_, height_, bytesPerPixel_;
    std::vector<std::uint8_t> y_, u_, v_, packed_;
    SwsContext* scaler_ = nullptr;
};

}  // namespace tavin::test
