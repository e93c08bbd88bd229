// The format a camera's consumer asks the engine for, as the driver side
// writes it into the region's request fields and its device replies, and the
// notation of such a format on command lines ("1280x720@30:1").
#pragma once

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

#include "output/driver_layout.h"

namespace tavin::driverside {

// A format request as the consumer side states it. Width 0 means "no request".
struct RequestedFormat {
    std::int32_t width = 0;
    std::int32_t height = 0;  // negative: rows bottom-up (kinds 0 and 3)
    float fps = 0.0f;
    std::int32_t kind = driver::kBgr24;
    bool operator==(const RequestedFormat&) const = default;
};

// Parses "WxH@FPS:KIND" (height may be negative) or "none". Rejects sizes
// that do not fit a frame slot, kinds outside 0..3, rates outside (0, 1000],
// odd widths for kind 1 and odd sizes for kind 2. On failure *why says why.
bool parseFormat(std::string_view text, RequestedFormat& out, std::string* why);
// The checks of parseFormat on values already split up.
bool validFormat(const RequestedFormat& f, std::string* why);

std::string formatText(const RequestedFormat& f);

// A whole decimal number of type T, nothing before or after it.
template <typename T>
bool parseNumber(std::string_view text, T& out) {
    if (text.empty()) return false;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end;
}

}  // namespace tavin::driverside
