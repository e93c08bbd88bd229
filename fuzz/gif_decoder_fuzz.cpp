// A GIF file through the engine's own decoder (the idle animation's).
//
// Logical screens above 64 x 64 pixels are left out: every image of a large
// screen copies the whole canvas, which slows the run a hundredfold without
// reaching other code (the bounds on screen size and frame count are the
// unit tests' part). The idle animation's seed has its screen cut to
// 64 x 43, so that its images also run past the screen's edges.
#include <cstdint>
#include <span>

#include "fuzz_support.h"
#include "output/gif_decoder.h"
#include "platform/byte_order.h"

using namespace tavin;

namespace {
constexpr std::size_t kScreenWidthOffset = 6;
constexpr std::size_t kScreenHeightOffset = 8;
constexpr std::uint32_t kMaxScreenPixels = 64 * 64;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size >= kScreenHeightOffset + 2 &&
        std::uint32_t{readLe16(data + kScreenWidthOffset)} * readLe16(data + kScreenHeightOffset) > kMaxScreenPixels)
        return 0;
    const IdleAnimation animation = decodeGif(std::span<const std::uint8_t>(data, size));
    FUZZ_CHECK(animation.frameCount >= 0 && animation.frameCount <= kMaxAnimationFrames);
    FUZZ_CHECK(animation.pixels.size() == animation.frameBytes() * static_cast<std::size_t>(animation.frameCount));
    FUZZ_CHECK(animation.pixels.size() <= kMaxAnimationBytes);
    if (animation.frameCount > 0) {
        FUZZ_CHECK(animation.width > 0 && animation.height > 0);
        // Every pixel is opaque or fully transparent.
        const std::uint8_t* last = animation.frame(animation.frameCount - 1);
        for (std::size_t i = 3; i < animation.frameBytes(); i += 4) FUZZ_CHECK(last[i] == 0 || last[i] == 255);
    }
    return 0;
}
