// Real video for the decoding and publishing tests: streams from the phone
// simulator's encoder, a plain libavcodec decoder that gives the reference
// pictures, and whether the machine has a VA-API device.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "session/protocol.h"

struct AVCodecContext;
struct AVFrame;

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

}  // namespace tavin::test
