// A 24-bit drawing surface of the platform layer's own, standing in for a
// device-independent bitmap section selected into a memory device context:
// pixels B, G, R, each row padded to a multiple of 4 bytes, rows top-down or
// bottom-up in memory. It fills rectangles, copies pictures and draws text
// in the built-in bitmap font; everything is clipped to the surface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace tavin::platform {

struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;
};

// left and top inclusive, right and bottom exclusive.
struct Rect {
    int left = 0, top = 0, right = 0, bottom = 0;
};

enum class RowOrder { TopDown, BottomUp };

class DrawingSurface {
public:
    // Bytes of one row of `width` pixels: 3 x width rounded up to 4.
    static std::size_t strideFor(int width);

    // Makes the surface width x height pixels, all black, replacing any
    // earlier one. False, leaving no surface, when a side is not positive or
    // the memory cannot be had.
    bool create(int width, int height, RowOrder order);
    void destroy();

    bool empty() const { return !pixels_; }
    int width() const { return width_; }
    int height() const { return height_; }
    std::size_t stride() const { return stride_; }
    RowOrder rowOrder() const { return order_; }
    // The rows as they lie in memory, the first one first (the bottom row of
    // a bottom-up surface); stride() bytes apart. A few spare bytes follow
    // the last row, so that converters reading whole vectors stay inside.
    const std::uint8_t* bits() const { return pixels_.get(); }
    // Row y of the picture, 0 the top row.
    std::uint8_t* row(int y);

    void fill(Rect rect, Rgb colour);
    // Copies a width x height picture of B, G, R, A pixels (rows top-down,
    // stride 4 x width) with its top left corner at (x, y). Alpha is not
    // used.
    void copyBgra(const std::uint8_t* pixels, int width, int height, int x, int y);
    // Draws one line of text in the built-in font, centred horizontally in
    // `box` with its cells' top at the box's top, in `ink` on `paper`
    // (opaque). Nothing outside the box changes.
    void drawText(std::string_view text, Rect box, Rgb ink, Rgb paper);

private:
    // `rect` cut to the surface and to `clip`.
    Rect clipped(Rect rect, Rect clip) const;
    Rect whole() const { return Rect{0, 0, width_, height_}; }
    static void put(std::uint8_t* pixel, Rgb colour) {
        pixel[0] = colour.b;
        pixel[1] = colour.g;
        pixel[2] = colour.r;
    }

    std::unique_ptr<std::uint8_t[]> pixels_;
    int width_ = 0;
    int height_ = 0;
    std::size_t stride_ = 0;
    RowOrder order_ = RowOrder::TopDown;
};

}  // namespace tavin::platform
