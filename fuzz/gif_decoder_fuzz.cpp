// A GIF file through the engine's own decoder (the idle animation's).
//
// The decoder runs with smaller bounds than the engine's (64 frames, 16 KiB
// of pictures, so a screen of at most 64 x 64 pixels): every image copies
// the whole canvas into a frame and composes its rows onto it, and at the
// engine's bounds (1,024 frames, 64 MiB) most of the time would go to
// copying pixels instead of reaching other code. The bounds are checked the
// same way at either size, so the fuzzer also reaches the code that keeps
// them. Inputs are kept to 4 KiB, which already hold hundreds of images or
// thousands of LZW codes; the idle animation's seed is its first 4 KiB,
// with its screen cut to 64 x 43 so that its images also run past the
// screen's edges.
//
// libFuzzer options: -max_len=4096
#include <cstdint>
#include <span>

#include "fuzz_support.h"
#include "output/gif_decoder.h"

using namespace tavin;

namespace {
constexpr GifLimits kLimits{64, 16u << 10};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const IdleAnimation animation = decodeGif(std::span<const std::uint8_t>(data, size), kLimits);
    FUZZ_CHECK(animation.frameCount >= 0 && animation.frameCount <= kLimits.maxFrames);
    FUZZ_CHECK(animation.pixels.size() == animation.frameBytes() * static_cast<std::size_t>(animation.frameCount));
    FUZZ_CHECK(animation.pixels.size() <= kLimits.maxBytes);
    if (animation.frameCount > 0) {
        FUZZ_CHECK(animation.width > 0 && animation.height > 0);
        // Every pixel is opaque or fully transparent.
        const std::uint8_t* last = animation.frame(animation.frameCount - 1);
        for (std::size_t i = 3; i < animation.frameBytes(); i += 4) FUZZ_CHECK(last[i] == 0 || last[i] == 255);
    }
    return 0;
}
