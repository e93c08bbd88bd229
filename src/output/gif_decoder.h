// The engine's own GIF decoder: turns the idle animation's GIF (GIF87a or
// GIF89a) into whole frames, composed the way the camera shows them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tavin {

// The frames of an animation, each the whole logical screen.
struct IdleAnimation {
    int width = 0;   // logical screen
    int height = 0;
    int frameCount = 0;
    // frameCount frames of frameBytes() each: B, G, R, A per pixel, rows
    // top-down, stride 4 x width.
    std::vector<std::uint8_t> pixels;

    std::size_t frameBytes() const {
        return std::size_t{4} * static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    }
    // Frame i (0 <= i < frameCount).
    const std::uint8_t* frame(int i) const { return pixels.data() + static_cast<std::size_t>(i) * frameBytes(); }
};

// An animation keeps at most this many frames of at most this many bytes
// in all: a screen too large for one frame gives no frames, and images
// beyond either bound are left out.
inline constexpr int kMaxAnimationFrames = 1024;
inline constexpr std::size_t kMaxAnimationBytes = 64u << 20;

// The bounds a decoding keeps; the engine decodes with the defaults.
struct GifLimits {
    int maxFrames = kMaxAnimationFrames;
    std::size_t maxBytes = kMaxAnimationBytes;
};

// Decodes `data` within `limits`. Data that does not start with "GIF" gives no frames.
// Every read is bounded: bytes past the end read as 0, so truncated data
// decodes as far as it goes. Each image block, composed onto the canvas
// (all zero at the start), adds a copy of the whole canvas as a frame:
// - the last graphic control block with a 4-byte body seen before an image
//   is in force for it and for later images without one of their own;
//   before any, flags and transparent index count as 0;
// - a pixel whose index is the transparent index of the block in force
//   (whatever its transparency flag says) leaves the canvas unchanged, or,
//   with disposal method 2, sets it to the global table's background colour
//   with alpha 0; any other index writes its colour with alpha 255 (an
//   index beyond the colour table, or without any table, is black);
// - an LZW code that cannot be decoded ends its row (the rest keeps index
//   0) and decoding goes on with the next row; an LZW minimum code size
//   outside 1..8 leaves every pixel of the image at index 0;
// - pixels outside the logical screen are not drawn.
IdleAnimation decodeGif(std::span<const std::uint8_t> data, const GifLimits& limits = {});

}  // namespace tavin
