#include "driver/requested_format.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace tavin::driverside {

bool validFormat(const RequestedFormat& f, std::string* why) {
    auto fail = [&](const char* reason) {
        if (why) *why = reason;
        return false;
    };
    if (f.kind < driver::kBgr24 || f.kind > driver::kArgb) return fail("pixel kind must be 0..3");
    if (f.width <= 0 || f.width > 65'535 || f.height == 0 || f.height < -65'535 || f.height > 65'535)
        return fail("width must be above 0 and height not 0");
    if (f.height < 0 && f.kind != driver::kBgr24 && f.kind != driver::kArgb)
        return fail("only kinds 0 and 3 have bottom-up rows");
    if (!std::isfinite(f.fps) || f.fps <= 0.0f || f.fps > 1000.0f) return fail("rate must be in (0, 1000]");
    const std::size_t h = static_cast<std::size_t>(std::abs(f.height));
    if (driver::pictureBytes(f.kind, static_cast<std::size_t>(f.width), h) > driver::slot::kPixelArea)
        return fail("picture does not fit a frame slot");
    if (f.kind == driver::kYuy2 && f.width % 2 != 0) return fail("kind 1 needs an even width");
    if (f.kind == driver::kI420 && (f.width % 2 != 0 || h % 2 != 0))
        return fail("kind 2 needs an even width and height");
    return true;
}

bool parseFormat(std::string_view text, RequestedFormat& out, std::string* why) {
    auto fail = [&](const char* reason) {
        if (why) *why = reason;
        return false;
    };
    if (text == "none") {
        out = RequestedFormat{};
        return true;
    }
    std::size_t x = text.find('x');
    std::size_t at = text.find('@');
    std::size_t colon = text.find(':');
    if (x == std::string_view::npos || at == std::string_view::npos || colon == std::string_view::npos ||
        !(x < at && at < colon))
        return fail("format must be WIDTHxHEIGHT@FPS:KIND or none");
    RequestedFormat f;
    if (!parseNumber(text.substr(0, x), f.width) || !parseNumber(text.substr(x + 1, at - x - 1), f.height) ||
        !parseNumber(text.substr(at + 1, colon - at - 1), f.fps) ||
        !parseNumber(text.substr(colon + 1), f.kind))
        return fail("format must be WIDTHxHEIGHT@FPS:KIND or none");
    if (!validFormat(f, why)) return false;
    out = f;
    return true;
}

std::string formatText(const RequestedFormat& f) {
    if (f.width == 0) return "none";
    char text[96];
    std::snprintf(text, sizeof text, "%dx%d@%g:%d", f.width, f.height, static_cast<double>(f.fps), f.kind);
    return text;
}

}  // namespace tavin::driverside
