// Command line of the phone simulator.
//
// The simulator plays the camera app of a phone for tests: it listens on a
// session port and a probe port, greets every engine that connects, streams
// an encoded test picture (and optionally a tone) on request, and takes
// commands from a control FIFO or stdin.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "advertising.h"
#include "session/protocol.h"

namespace tavin::phonesim {

// Bounds of the picture sizes and frame rates the simulator offers and
// encodes. Sizes must also be even (4:2:0 chroma).
inline constexpr std::uint32_t kMinWidth = 16, kMaxWidth = 3840;
inline constexpr std::uint32_t kMinHeight = 16, kMaxHeight = 2160;
inline constexpr float kMinFps = 1.0f, kMaxFps = 240.0f;
inline constexpr std::size_t kMaxOfferedFormats = 64;
inline constexpr std::size_t kMaxNameBytes = protocol::phone_info::kNameSize - 1;
// Bounds of the tone's frequency and of the sound clock's skew (a fraction).
inline constexpr double kMinToneHz = 20.0, kMaxToneHz = 20'000.0;
inline constexpr double kMaxAudioClockSkew = 0.1;

struct PhoneOptions {
    PhoneId id{};
    std::string name = "Test Phone";
    std::uint16_t kind = 7;
    std::string bindAddress = "127.0.0.1";
    std::uint16_t sessionPort = protocol::kSessionPort;  // 0: an ephemeral port
    bool probeEnabled = true;
    std::uint16_t probePort = protocol::kProbePort;  // 0 with probeEnabled: ephemeral
    std::vector<VideoFormat> formats;
    bool hevc = false;
    std::optional<std::string> passcode;
    double challengeTimeoutSeconds = 5.0;
    bool audio = false;
    double toneHz = 440.0;
    double audioClockSkew = 0.0;  // the sound's clock runs this fraction fast (negative: slow)
    bool video = true;
    bool streamUnasked = false;  // stream without waiting for a FormatRequest
    std::optional<std::string> controlPath;  // "-" = stdin
    bool log = true;
    bool once = false;
    AnnounceOptions announce;
};

// The id used when --id is not given.
PhoneId defaultPhoneId();

// True when `format` lies within the sizes and rates above (even sizes).
bool formatWithinBounds(const VideoFormat& format);

// Parses "WxH@fps". False for anything malformed or out of bounds.
bool parseFormat(const std::string& text, VideoFormat& out);

// Parses argv. On failure returns nothing and sets `error`; `helpWanted`
// is set for --help.
std::optional<PhoneOptions> parsePhoneOptions(int argc, char** argv, std::string& error, bool& helpWanted);

// The usage text printed for --help and after an option error.
const char* phoneUsage();

}  // namespace tavin::phonesim
