#include "test_picture.h"

#include <algorithm>
#include <cstring>

namespace tavin::phonesim {

namespace {

// 3 x 5 cell digits, one row per byte, bit 2 = left column.
constexpr std::uint8_t kDigits[10][5] = {
    {7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7}, {5, 5, 7, 1, 1},
    {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1}, {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7},
};

void fillLuma(const PlanarPicture& p, int x0, int y0, int w, int h, std::uint8_t value) {
    int x1 = std::min(p.width, x0 + w), y1 = std::min(p.height, y0 + h);
    x0 = std::max(0, x0);
    y0 = std::max(0, y0);
    if (x1 <= x0) return;
    for (int y = y0; y < y1; ++y) std::memset(p.y + static_cast<long>(y) * p.yStride + x0, value, x1 - x0);
}

void fillChroma(const PlanarPicture& p, int x0, int y0, int w, int h, std::uint8_t u, std::uint8_t v) {
    int cw = (p.width + 1) / 2, ch = (p.height + 1) / 2;
    int cx0 = std::max(0, x0 / 2), cy0 = std::max(0, y0 / 2);
    int cx1 = std::min(cw, (x0 + w + 1) / 2), cy1 = std::min(ch, (y0 + h + 1) / 2);
    if (cx1 <= cx0) return;
    for (int y = cy0; y < cy1; ++y) {
        std::memset(p.u + static_cast<long>(y) * p.uStride + cx0, u, cx1 - cx0);
        std::memset(p.v + static_cast<long>(y) * p.vStride + cx0, v, cx1 - cx0);
    }
}

}  // namespace

void drawTestPicture(const PlanarPicture& p, std::uint64_t frameNumber) {
    // The gradient is the same on every row: build the first rows once and
    // copy them down.
    const int shift = static_cast<int>(frameNumber % 256);
    std::uint8_t* first = p.y;
    for (int x = 0; x < p.width; ++x)
        first[x] = static_cast<std::uint8_t>(40 + ((x * 160 / std::max(1, p.width) + shift) % 160));
    for (int y = 1; y < p.height; ++y) std::memcpy(p.y + static_cast<long>(y) * p.yStride, first, p.width);

    int cw = (p.width + 1) / 2, ch = (p.height + 1) / 2;
    for (int x = 0; x < cw; ++x) p.u[x] = static_cast<std::uint8_t>(96 + x * 64 / std::max(1, cw));
    for (int y = 0; y < ch; ++y) {
        if (y > 0) std::memcpy(p.u + static_cast<long>(y) * p.uStride, p.u, cw);
        std::memset(p.v + static_cast<long>(y) * p.vStride, 96 + y * 64 / std::max(1, ch), cw);
    }

    // A bar sweeping left to right, one sweep every four seconds at 30 fps.
    int barWidth = std::max(2, p.width / 16);
    int barX = static_cast<int>((frameNumber * static_cast<std::uint64_t>(p.width) / 120) %
                                static_cast<std::uint64_t>(p.width));
    fillLuma(p, barX, 0, barWidth, p.height, 235);
    fillChroma(p, barX, 0, barWidth, p.height, 128, 128);

    // The frame number, up to ten digits, on a black plate.
    char digits[24];
    int count = 0;
    std::uint64_t n = frameNumber;
    do {
        digits[count++] = static_cast<char>(n % 10);
        n /= 10;
    } while (n != 0 && count < 10);
    int cell = std::max(2, p.height / 48);
    int margin = cell;
    int plateW = count * 4 * cell + cell, plateH = 7 * cell;
    fillLuma(p, margin, margin, plateW, plateH, 16);
    fillChroma(p, margin, margin, plateW, plateH, 128, 128);
    for (int i = 0; i < count; ++i) {
        const std::uint8_t* glyph = kDigits[static_cast<int>(digits[count - 1 - i])];
        int gx = margin + cell + i * 4 * cell, gy = margin + cell;
        for (int row = 0; row < 5; ++row)
            for (int col = 0; col < 3; ++col)
                if (glyph[row] & (4 >> col)) fillLuma(p, gx + col * cell, gy + row * cell, cell, cell, 235);
    }
}

}  // namespace tavin::phonesim
