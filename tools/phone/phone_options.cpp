#include "phone_options.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace tavin::phonesim {

namespace {

constexpr const char* kDefaultFormats = "1280x720@30,1920x1080@30,640x480@30";

bool parseUnsigned(std::string_view text, std::uint64_t max, std::uint64_t& out) {
    if (text.empty() || text.size() > 20) return false;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > max) return false;
    }
    out = value;
    return true;
}

bool parseDouble(const std::string& text, double& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(value)) return false;
    out = value;
    return true;
}

// "0.5%" or "-0.25%": a percentage, as a fraction.
bool parsePercent(std::string text, double& out) {
    if (text.empty() || text.back() != '%') return false;
    text.pop_back();
    double percent = 0.0;
    if (!parseDouble(text, percent)) return false;
    out = percent / 100.0;
    return true;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool parseId(const std::string& text, PhoneId& out) {
    if (text.size() != 32) return false;
    for (std::size_t i = 0; i < 16; ++i) {
        int hi = hexDigit(text[2 * i]);
        int lo = hexDigit(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = static_cast<std::uint8_t>(hi * 16 + lo);
    }
    return true;
}

bool parseFormatList(const std::string& text, std::vector<VideoFormat>& out) {
    out.clear();
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t comma = text.find(',', start);
        std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        VideoFormat format;
        if (!parseFormat(item, format) || out.size() >= kMaxOfferedFormats) return false;
        out.push_back(format);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return !out.empty();
}

// "auto" asks for an ephemeral port.
bool parsePort(const std::string& text, std::uint16_t& out, bool& ephemeral) {
    ephemeral = text == "auto";
    if (ephemeral) {
        out = 0;
        return true;
    }
    std::uint64_t value = 0;
    if (!parseUnsigned(text, 65535, value)) return false;
    out = static_cast<std::uint16_t>(value);
    return true;
}

}  // namespace

PhoneId defaultPhoneId() {
    return PhoneId{0x7a, 0x3c, 0x0e, 0x51, 0xd2, 0xb8, 0x4f, 0x96,
                   0xa1, 0xc5, 0xe0, 0xf3, 0xb7, 0xd2, 0x94, 0x86};
}

bool formatWithinBounds(const VideoFormat& format) {
    return format.width >= kMinWidth && format.width <= kMaxWidth && format.width % 2 == 0 &&
           format.height >= kMinHeight && format.height <= kMaxHeight && format.height % 2 == 0 &&
           std::isfinite(format.fps) && format.fps >= kMinFps && format.fps <= kMaxFps;
}

bool parseFormat(const std::string& text, VideoFormat& out) {
    std::size_t x = text.find('x');
    std::size_t at = text.find('@');
    if (x == std::string::npos || at == std::string::npos || at < x) return false;
    std::uint64_t width = 0, height = 0;
    double fps = 0.0;
    if (!parseUnsigned(std::string_view(text).substr(0, x), 100000, width) ||
        !parseUnsigned(std::string_view(text).substr(x + 1, at - x - 1), 100000, height) ||
        !parseDouble(text.substr(at + 1), fps))
        return false;
    VideoFormat format{static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height),
                       static_cast<float>(fps)};
    if (!formatWithinBounds(format)) return false;
    out = format;
    return true;
}

const char* phoneUsage() {
    return "usage: phone [options]\n"
           "  --id <32 hex digits>        phone id (default 7a3c0e51d2b84f96a1c5e0f3b7d29486)\n"
           "  --name <text>               display name (default \"Test Phone\", at most 255 bytes)\n"
           "  --kind <0..65535>           kind code in PhoneInfo (default 7)\n"
           "  --bind <address>            IPv4 or IPv6 address to listen on (default 127.0.0.1)\n"
           "  --session-port <port|auto>  session port (default 4699; 0 or auto: ephemeral)\n"
           "  --probe-port <port|auto>    probe port (default 4697; 0: none; auto: ephemeral)\n"
           "  --formats <WxH@fps,...>     offered formats (default 1280x720@30,1920x1080@30,640x480@30)\n"
           "  --hevc                      set the HEVC flag in Capabilities\n"
           "  --passcode <text>           challenge every session and check the answer\n"
           "  --challenge-timeout <s>     close when no answer came in this time (default 5)\n"
           "  --audio                     send an Opus tone while streaming\n"
           "  --tone <hz>                 frequency of the tone (default 440, 20..20000)\n"
           "  --audio-clock-skew <pct>    the sound's clock runs fast (or slow, negative),\n"
           "                              e.g. 0.5%: more samples per second than 48,000\n"
           "  --no-video                  send no Video messages\n"
           "  --stream-unasked            stream the first offered format (H.264) when no\n"
           "                              FormatRequest came within 1 s of Capabilities\n"
           "  --control <fifo|->          read commands from a FIFO or stdin (-)\n"
           "  --log / --no-log            log received messages to stderr (default on)\n"
           "  --once                      exit after the first session\n"
           "  --announce <addr[:port]>    send PhoneInfo datagrams there (repeatable; off by default)\n"
           "  --announce-interface <if>   interface for multicast datagrams\n"
           "  --announce-interval <ms>    spacing of the datagrams (default 1000)\n"
           "  --mdns <if>                 answer DNS-SD queries on this interface (repeatable)\n"
           "commands: start | stop | button <code> <value> | report <19-22> <w1> <w2> <w3> <w4> |\n"
           "  names <value> <n1>/<n2>... | focusdistance <mode> <dist> | challenge | silence |\n"
           "  close | oversize [type] | undersize [type] | slowread | info <name> | quit\n";
}

std::optional<PhoneOptions> parsePhoneOptions(int argc, char** argv, std::string& error, bool& helpWanted) {
    PhoneOptions options;
    options.id = defaultPhoneId();
    helpWanted = false;
    parseFormatList(kDefaultFormats, options.formats);

    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        bool hasInlineValue = false;
        if (std::size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            hasInlineValue = true;
        }
        auto takeValue = [&]() -> bool {
            if (hasInlineValue) return true;
            if (i + 1 >= argc) {
                error = name + " needs a value";
                return false;
            }
            value = argv[++i];
            return true;
        };
        auto bad = [&](const char* what) {
            error = "bad " + name + " '" + value + "': " + what;
            return std::nullopt;
        };
        auto flag = [&]() {
            if (hasInlineValue) {
                error = name + " takes no value";
                return false;
            }
            return true;
        };

        std::uint64_t number = 0;
        bool ephemeral = false;
        if (name == "--help" || name == "-h") {
            helpWanted = true;
            return std::nullopt;
        } else if (name == "--id") {
            if (!takeValue()) return std::nullopt;
            if (!parseId(value, options.id)) return bad("expected 32 hex digits");
        } else if (name == "--name") {
            if (!takeValue()) return std::nullopt;
            if (value.size() > kMaxNameBytes) return bad("longer than 255 bytes");
            options.name = value;
        } else if (name == "--kind") {
            if (!takeValue()) return std::nullopt;
            if (!parseUnsigned(value, 65535, number)) return bad("expected 0..65535");
            options.kind = static_cast<std::uint16_t>(number);
        } else if (name == "--bind") {
            if (!takeValue()) return std::nullopt;
            if (value.empty()) return bad("empty address");
            options.bindAddress = value;
        } else if (name == "--session-port") {
            if (!takeValue()) return std::nullopt;
            if (!parsePort(value, options.sessionPort, ephemeral)) return bad("expected a port or auto");
        } else if (name == "--probe-port") {
            if (!takeValue()) return std::nullopt;
            if (!parsePort(value, options.probePort, ephemeral)) return bad("expected a port or auto");
            options.probeEnabled = ephemeral || options.probePort != 0;
        } else if (name == "--formats") {
            if (!takeValue()) return std::nullopt;
            if (!parseFormatList(value, options.formats))
                return bad("expected WxH@fps entries, even sizes 16..3840 x 16..2160, 1..240 fps, at most 64");
        } else if (name == "--hevc") {
            if (!flag()) return std::nullopt;
            options.hevc = true;
        } else if (name == "--passcode") {
            if (!takeValue()) return std::nullopt;
            if (value.size() > 1024) return bad("longer than 1024 bytes");
            options.passcode = value;
        } else if (name == "--challenge-timeout") {
            if (!takeValue()) return std::nullopt;
            double seconds = 0.0;
            if (!parseDouble(value, seconds) || seconds < 0.1 || seconds > 600.0)
                return bad("expected 0.1..600 seconds");
            options.challengeTimeoutSeconds = seconds;
        } else if (name == "--audio") {
            if (!flag()) return std::nullopt;
            options.audio = true;
        } else if (name == "--tone") {
            if (!takeValue()) return std::nullopt;
            double hz = 0.0;
            if (!parseDouble(value, hz) || hz < kMinToneHz || hz > kMaxToneHz) return bad("expected 20..20000 Hz");
            options.toneHz = hz;
        } else if (name == "--audio-clock-skew") {
            if (!takeValue()) return std::nullopt;
            double skew = 0.0;
            if (!parsePercent(value, skew) || std::fabs(skew) > kMaxAudioClockSkew)
                return bad("expected a percentage within -10%..10%, e.g. 0.5%");
            options.audioClockSkew = skew;
        } else if (name == "--no-video") {
            if (!flag()) return std::nullopt;
            options.video = false;
        } else if (name == "--stream-unasked") {
            if (!flag()) return std::nullopt;
            options.streamUnasked = true;
        } else if (name == "--control") {
            if (!takeValue()) return std::nullopt;
            if (value.empty()) return bad("empty path");
            options.controlPath = value;
        } else if (name == "--log") {
            if (!flag()) return std::nullopt;
            options.log = true;
        } else if (name == "--no-log") {
            if (!flag()) return std::nullopt;
            options.log = false;
        } else if (name == "--once") {
            if (!flag()) return std::nullopt;
            options.once = true;
        } else if (name == "--announce") {
            if (!takeValue()) return std::nullopt;
            if (value.empty() || value.size() > 255) return bad("expected an address");
            options.announce.targets.push_back(value);
        } else if (name == "--announce-interface") {
            if (!takeValue()) return std::nullopt;
            if (value.empty() || value.size() > 255) return bad("expected an interface name");
            options.announce.interfaceName = value;
        } else if (name == "--announce-interval") {
            if (!takeValue()) return std::nullopt;
            if (!parseUnsigned(value, kMaxAnnounceIntervalMs, number) || number < kMinAnnounceIntervalMs)
                return bad("expected 50..60000 ms");
            options.announce.intervalMs = static_cast<int>(number);
        } else if (name == "--mdns") {
            if (!takeValue()) return std::nullopt;
            if (value.empty() || value.size() > 255) return bad("expected an interface name");
            options.announce.mdnsInterfaces.push_back(value);
        } else {
            error = "unknown option " + name;
            return std::nullopt;
        }
    }
    return options;
}

}  // namespace tavin::phonesim
