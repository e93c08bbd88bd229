// The default font of the drawing surface: a fixed-width bitmap font of our
// own for printable ASCII, built into the library.
#pragma once

#include <string_view>

namespace tavin::platform::font {

// Every character takes a cell of this many pixels. Glyphs are drawn on a
// grid of 5 x 9 dots (7 above the baseline, 2 below), each dot 2 x 2
// pixels, with one dot of space to the right and above.
inline constexpr int kCellWidth = 12;
inline constexpr int kCellHeight = 20;

// True when pixel (x, y) of the cell of `c` is ink (0 <= x < kCellWidth,
// 0 <= y < kCellHeight from the cell's top left). Characters outside
// printable ASCII draw as '?'.
bool ink(char c, int x, int y);

// Width in pixels of a line of text.
inline int textWidth(std::string_view text) { return static_cast<int>(text.size()) * kCellWidth; }

}  // namespace tavin::platform::font
