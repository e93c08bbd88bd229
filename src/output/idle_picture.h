// The pictures a camera output makes by itself while no phone streams to it:
// the idle picture (a small animation above the centre and the words
// "Looking for the phone" below it, on black) and the green blank picture.
// Each comes in the layout of the camera's pixel kind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "output/gif_decoder.h"
#include "platform/drawing_surface.h"

struct SwsContext;

namespace tavin {

class IdlePicture {
public:
    IdlePicture() = default;
    ~IdlePicture();
    IdlePicture(const IdlePicture&) = delete;
    IdlePicture& operator=(const IdlePicture&) = delete;

    // Decodes the animation from GIF bytes, replacing any earlier one;
    // returns the number of frames (0 when the bytes are not a GIF: the
    // pictures then have no animation).
    int load(std::span<const std::uint8_t> gif);
    // Frees the animation, the drawing surface, the picture and the scaler.
    void release();
    int frameCount() const { return animation_.frameCount; }
    const IdleAnimation& animation() const { return animation_; }

    // Draws the idle picture showing animation frame `frame` modulo the
    // frame count, for a width x |height| picture of `kind` (a negative
    // height: rows bottom-up, for kinds 0 and 3), and returns it in that
    // layout. Empty when no frame slot can hold such a picture or the memory
    // cannot be had. The surface, the picture and the scaler are made again
    // only when the format differs from the previous call's; the returned
    // bytes stay valid until the next call.
    std::span<const std::uint8_t> draw(std::int32_t width, std::int32_t height, std::int32_t kind,
                                       std::uint64_t frame);
    // The blank picture: a green of kind 0 (B, G, R 0x00, 0xB1, 0x40) or
    // kind 1 (Y, U, Y, V 111, 101, 111, 48). Empty for other kinds, and as
    // draw() for formats it cannot make.
    std::span<const std::uint8_t> blank(std::int32_t width, std::int32_t height, std::int32_t kind);

private:
    struct Layout {
        std::int32_t width = 0, height = 0, kind = 0;
        bool operator==(const Layout&) const = default;
    };
    // Makes the surface, the picture and the scaler for `layout` unless they
    // are made for it already.
    bool prepare(const Layout& layout);
    void dropFormat();
    std::span<const std::uint8_t> convert();

    IdleAnimation animation_;
    platform::DrawingSurface surface_;
    std::unique_ptr<std::uint8_t[]> picture_;  // in the camera's layout, plus the scaler's slack
    std::size_t pictureBytes_ = 0;
    SwsContext* scaler_ = nullptr;  // surface to kinds 1..3
    Layout layout_;
    bool prepared_ = false;
};

}  // namespace tavin
