#include "platform/drawing_surface.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/bitmap_font.h"

namespace tavin::platform {

namespace {

// Spare zero bytes after the last row: converters that read whole vectors
// (swscale reading the surface as its source) may read a little past the
// last pixel, and must stay inside the allocation.
constexpr std::size_t kReadSlack = 64;

}  // namespace

std::size_t DrawingSurface::strideFor(int width) {
    return (3 * static_cast<std::size_t>(width) + 3) & ~std::size_t{3};
}

bool DrawingSurface::create(int width, int height, RowOrder order) {
    destroy();
    if (width <= 0 || height <= 0) return false;
    const std::size_t stride = strideFor(width);
    pixels_.reset(new (std::nothrow) std::uint8_t[stride * static_cast<std::size_t>(height) + kReadSlack]());
    if (!pixels_) return false;
    width_ = width;
    height_ = height;
    stride_ = stride;
    order_ = order;
    return true;
}

void DrawingSurface::destroy() {
    pixels_.reset();
    width_ = height_ = 0;
    stride_ = 0;
}

std::uint8_t* DrawingSurface::row(int y) {
    const int memoryRow = order_ == RowOrder::TopDown ? y : height_ - 1 - y;
    return pixels_.get() + static_cast<std::size_t>(memoryRow) * stride_;
}

Rect DrawingSurface::clipped(Rect rect, Rect clip) const {
    Rect r{std::max({rect.left, clip.left, 0}), std::max({rect.top, clip.top, 0}),
           std::min({rect.right, clip.right, width_}), std::min({rect.bottom, clip.bottom, height_})};
    if (r.right < r.left) r.right = r.left;
    if (r.bottom < r.top) r.bottom = r.top;
    return r;
}

void DrawingSurface::fill(Rect rect, Rgb colour) {
    if (empty()) return;
    const Rect r = clipped(rect, whole());
    for (int y = r.top; y < r.bottom; ++y) {
        std::uint8_t* p = row(y) + 3 * static_cast<std::size_t>(r.left);
        for (int x = r.left; x < r.right; ++x, p += 3) put(p, colour);
    }
}

void DrawingSurface::copyBgra(const std::uint8_t* pixels, int width, int height, int x, int y) {
    if (empty() || !pixels || width <= 0 || height <= 0) return;
    const Rect r = clipped(Rect{x, y, x + width, y + height}, whole());
    for (int ty = r.top; ty < r.bottom; ++ty) {
        const std::uint8_t* from = pixels + 4 * (static_cast<std::size_t>(ty - y) * static_cast<std::size_t>(width) +
                                                 static_cast<std::size_t>(r.left - x));
        std::uint8_t* to = row(ty) + 3 * static_cast<std::size_t>(r.left);
        for (int tx = r.left; tx < r.right; ++tx, from += 4, to += 3) std::memcpy(to, from, 3);
    }
}

void DrawingSurface::drawText(std::string_view text, Rect box, Rgb ink, Rgb paper) {
    if (empty() || text.empty()) return;
    // Centred with integer halves; a text wider than the box overhangs it on
    // both sides and is cut there.
    const int left = box.left + ((box.right - box.left) - font::textWidth(text)) / 2;
    const Rect cells{left, box.top, left + font::textWidth(text), box.top + font::kCellHeight};
    const Rect r = clipped(cells, box);
    for (int y = r.top; y < r.bottom; ++y) {
        std::uint8_t* p = row(y) + 3 * static_cast<std::size_t>(r.left);
        for (int x = r.left; x < r.right; ++x, p += 3) {
            const int offset = x - left;
            const char c = text[static_cast<std::size_t>(offset / font::kCellWidth)];
            put(p, font::ink(c, offset % font::kCellWidth, y - box.top) ? ink : paper);
        }
    }
}

}  // namespace tavin::platform
