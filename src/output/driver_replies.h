// The camera and audio drivers' replies to device requests, read from the
// bytes that arrived. A reply may be cut short: a word it did not return
// reads as 0, so a short reply never reads stale bytes of the buffer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavin::driver {

// Word at `offset` of a reply of which `returned` bytes arrived; 0 when the
// reply stopped before it.
std::uint32_t replyWord(const std::uint8_t* reply, std::uint32_t returned, std::size_t offset);

// A camera QueryReply.
struct QueryReply {
    std::uint32_t version = 0;
    std::uint32_t width = 0;  // 0: no size
    std::uint32_t height = 0;
    bool streaming = false;   // an application reads the camera
    std::int32_t kind = 0;    // YUY2 when the kind flag is set, else 24-bit BGR
    float fps = 30.0f;        // from the frame interval (30 for none)
};
QueryReply readQueryReply(const std::uint8_t* reply, std::uint32_t returned);

// A camera WriteReply: the consumer's format, and the control values when
// the reply is whole.
struct WriteReply {
    bool streaming = false;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::int32_t kind = 0;
    float fps = 30.0f;
    bool hasControls = false;
    std::int32_t controlA = 0;
    std::uint32_t controlB = 0;
};
WriteReply readWriteReply(const std::uint8_t* reply, std::uint32_t returned);

// The fill level an audio write reply reports (bytes waiting to be played,
// that write included); 0 without the level word.
std::uint32_t readAudioLevel(const std::uint8_t* reply, std::uint32_t returned);

}  // namespace tavin::driver
