#include "message_text.h"

#include <cstdarg>
#include <cstdio>

#include "platform/byte_order.h"
#include "session/protocol.h"

namespace tavin::phonesim {

namespace p = protocol;

namespace {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char* fmt, ...) {
    char line[768];
    va_list args;
    va_start(args, fmt);
    int n = std::vsnprintf(line, sizeof line, fmt, args);
    va_end(args);
    return n < 0 ? std::string() : std::string(line);
}

const char* typeName(std::uint8_t type) {
    switch (type) {
    case p::kPhoneInfo: return "PhoneInfo";
    case p::kStreamStop: return "StreamStop";
    case p::kPing: return "Ping";
    case p::kPingReply: return "PingReply";
    case p::kStreamStart: return "StreamStart";
    case p::kAudio: return "Audio";
    case p::kVideo: return "Video";
    case p::kTiming: return "Timing";
    case p::kCapabilities: return "Capabilities";
    case p::kFormatRequest: return "FormatRequest";
    case p::kErrorReport: return "ErrorReport";
    case p::kButton: return "Button";
    case p::kEngineVersion: return "EngineVersion";
    case p::kFocus: return "Focus";
    case p::kReport19: return "Report19";
    case p::kReport20: return "Report20";
    case p::kReport21: return "Report21";
    case p::kReport22: return "Report22";
    case p::kChallenge: return "Challenge";
    case p::kNameList: return "NameList";
    case p::kFocusDistance: return "FocusDistance";
    case p::kCameraUsage: return "CameraUsage";
    default: return nullptr;
    }
}

// The fixed size each engine message needs before its fields are read.
std::uint32_t neededLength(std::uint8_t type) {
    switch (type) {
    case p::kTiming: return p::timing::kSize;
    case p::kFormatRequest: return p::format_request::kSize;
    case p::kErrorReport: return p::error_report::kSize;
    case p::kButton: return p::button::kSize;
    case p::kEngineVersion: return p::engine_version::kSize;
    case p::kFocus: return p::focus::kSize;
    case p::kFocusDistance: return p::focus_distance::kSize;
    case p::kCameraUsage: return p::camera_usage::kSize;
    default: return p::kHeaderSize;
    }
}

}  // namespace

std::string printableText(const std::uint8_t* text, std::size_t limit) {
    std::string out;
    for (std::size_t i = 0; i < limit && text[i] != 0; ++i) {
        std::uint8_t c = text[i];
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out.push_back(static_cast<char>(c));
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        }
    }
    return out;
}

std::string describeEngineMessage(const std::uint8_t* m, std::uint32_t length) {
    if (length < p::kHeaderSize) return format("rx malformed length=%u", length);
    std::uint8_t type = p::headerType(m);
    const char* name = typeName(type);
    if (name == nullptr) return format("rx type=%u length=%u", type, length);
    if (length < neededLength(type)) return format("rx %s short length=%u", name, length);

    switch (type) {
    case p::kPingReply:
        return "rx PingReply";
    case p::kEngineVersion:
        return format("rx EngineVersion %u %u", readLe32(m + 4), readLe32(m + 8));
    case p::kCameraUsage:
        return format("rx CameraUsage count=%u index=%u usage=%u", readLe32(m + p::camera_usage::kCount),
                      readLe32(m + p::camera_usage::kIndex), readLe32(m + p::camera_usage::kUsage));
    case p::kFormatRequest:
        return format("rx FormatRequest codec=%u %ux%u@%g", readLe32(m + p::format_request::kCodec),
                      readLe32(m + p::format_request::kWidth), readLe32(m + p::format_request::kHeight),
                      static_cast<double>(readLeF32(m + p::format_request::kFps)));
    case p::kButton: {
        std::uint32_t value = readLe32(m + p::button::kValue);
        return format("rx Button code=%d value=%d f32=%g", readLeI32(m + p::button::kCode),
                      static_cast<std::int32_t>(value), static_cast<double>(bitsToFloat(value)));
    }
    case p::kTiming:
        return format("rx Timing tag=%g decode=%g publish=%g", static_cast<double>(readLeF32(m + p::timing::kTag)),
                      static_cast<double>(readLeF32(m + p::timing::kDecode)),
                      static_cast<double>(readLeF32(m + p::timing::kPublish)));
    case p::kErrorReport:
        return "rx ErrorReport text=" + printableText(m + p::error_report::kText, p::error_report::kTextSize);
    case p::kFocus:
        return format("rx Focus x=%g y=%g flag=%u", static_cast<double>(readLeF32(m + p::focus::kX)),
                      static_cast<double>(readLeF32(m + p::focus::kY)), readLe32(m + p::focus::kFlag));
    case p::kFocusDistance:
        return format("rx FocusDistance mode=%d distance=%g", readLeI32(m + p::focus_distance::kMode),
                      static_cast<double>(readLeF32(m + p::focus_distance::kDistance)));
    case p::kChallenge:
        return std::string();
    default:
        return format("rx %s length=%u", name, length);
    }
}

}  // namespace tavin::phonesim
