// The phone protocol: one framed byte stream per session.
//
// Every message starts with a 32-bit little-endian header word: bits 0..23
// the total length in bytes (header included), bits 24..31 the type. Fields
// after it are little-endian; text fields are fixed-size and NUL-filled.
// This header is the one definition of the framing, of every message's
// layout (as named offsets) and of their builders and parsers. Parsers take
// the whole message with its length and never read past it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavin {

// A picture format as the phone offers it and the engine requests it.
struct VideoFormat {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    float fps = 0.0f;
    bool operator==(const VideoFormat&) const = default;
};

using PhoneId = std::array<std::uint8_t, 16>;

namespace protocol {

// Framing.
inline constexpr std::uint32_t kHeaderSize = 4;
inline constexpr std::uint32_t kMinMessage = 4;
inline constexpr std::uint32_t kMaxMessage = 4'000'000;

// Session and probe ports of the phone app, and the announcement port.
inline constexpr std::uint16_t kSessionPort = 4699;
inline constexpr std::uint16_t kProbePort = 4697;
inline constexpr std::uint16_t kAnnouncePort = 4698;

// The protocol numbers sent in EngineVersion and ErrorReport.
inline constexpr std::uint32_t kProtocolMajor = 12;
inline constexpr std::uint32_t kProtocolMinor = 15;

enum MessageType : std::uint8_t {
    kPhoneInfo = 1,
    kStreamStop = 2,
    kPing = 3,
    kPingReply = 4,
    kStreamStart = 5,
    kAudio = 7,
    kVideo = 8,
    kTiming = 9,
    kCapabilities = 10,
    kFormatRequest = 11,
    kErrorReport = 12,
    kIgnored13 = 13,
    kType14 = 14,
    kButton = 16,
    kEngineVersion = 17,
    kFocus = 18,
    kReport19 = 19,
    kReport20 = 20,
    kReport21 = 21,
    kReport22 = 22,
    kChallenge = 23,
    kNameList = 24,
    kFocusDistance = 25,
    kCameraUsage = 26,
};

constexpr std::uint32_t makeHeader(std::uint8_t type, std::uint32_t length) {
    return (static_cast<std::uint32_t>(type) << 24) | (length & 0x00FFFFFFu);
}
// Both read the first 4 bytes of `message`.
std::uint32_t headerLength(const std::uint8_t* message);
std::uint8_t headerType(const std::uint8_t* message);

// Reading a stream: how many bytes the current message needs in all (4
// while fewer than 4 are held, else the header's length), and whether the
// held bytes make a whole message.
std::uint32_t bytesWanted(const std::uint8_t* buffer, std::uint32_t have);
bool messageComplete(const std::uint8_t* buffer, std::uint32_t have);

// Layouts: offsets from the start of the header, and sizes.
namespace phone_info {
inline constexpr std::size_t kSize = 280;
inline constexpr std::size_t kId = 4;
inline constexpr std::size_t kKind = 20;
inline constexpr std::size_t kName = 24;
inline constexpr std::size_t kNameSize = 256;
}  // namespace phone_info
namespace payload {  // Audio and Video
inline constexpr std::size_t kTag = 4;  // Video: f32 tag; Audio: not read
inline constexpr std::size_t kData = 8;
}  // namespace payload
namespace timing {
inline constexpr std::size_t kSize = 16;
inline constexpr std::size_t kTag = 4, kDecode = 8, kPublish = 12;
}  // namespace timing
namespace capabilities {
inline constexpr std::size_t kFlags = 6;  // bit 0: HEVC
inline constexpr std::size_t kCount = 8;
inline constexpr std::size_t kEntries = 12;
inline constexpr std::size_t kEntrySize = 12;  // u32 width, u32 height, f32 fps
}  // namespace capabilities
namespace format_request {
inline constexpr std::size_t kSize = 24;
inline constexpr std::size_t kOne = 4, kCodec = 8, kWidth = 12, kHeight = 16, kFps = 20;
inline constexpr std::uint32_t kCodecH264 = 1, kCodecHevc = 2;
}  // namespace format_request
namespace error_report {
inline constexpr std::size_t kSize = 268;
inline constexpr std::size_t kMajor = 4, kMinor = 8, kText = 12;
inline constexpr std::size_t kTextSize = 256;
inline constexpr std::size_t kTextLimit = 255;  // bytes read, NUL included
}  // namespace error_report
namespace button {
inline constexpr std::size_t kSize = 12;
inline constexpr std::size_t kCode = 4, kValue = 8;
}  // namespace button
namespace engine_version {
inline constexpr std::size_t kSize = 12;
}
namespace focus {
inline constexpr std::size_t kSize = 16;
inline constexpr std::size_t kX = 4, kY = 8, kFlag = 12;
}  // namespace focus
namespace report {  // Report19 .. Report22
inline constexpr std::size_t kSize = 20;
inline constexpr std::size_t kWords = 4;  // four words from offset 4
}  // namespace report
namespace challenge {
inline constexpr std::size_t kSize = 16;
inline constexpr std::size_t kZero = 4, kLow = 8, kHigh = 12;
}  // namespace challenge
namespace name_list {
inline constexpr std::size_t kCount = 4, kValue = 8, kNames = 12;
inline constexpr std::size_t kNameSize = 256;
}  // namespace name_list
namespace focus_distance {
inline constexpr std::size_t kSize = 12;
inline constexpr std::size_t kMode = 4, kDistance = 8;
}  // namespace focus_distance
namespace camera_usage {
inline constexpr std::size_t kSize = 16;
inline constexpr std::size_t kCount = 4, kIndex = 8, kUsage = 12;
}  // namespace camera_usage

// Builders of what the engine sends.
std::array<std::uint8_t, 4> buildPingReply();
std::array<std::uint8_t, 12> buildEngineVersion();
std::array<std::uint8_t, 12> buildButton(std::int32_t code, std::uint32_t value);
std::array<std::uint8_t, 16> buildFocus(float x, float y, std::uint8_t flag);
std::array<std::uint8_t, 12> buildFocusDistance(std::int32_t mode, float distance);
std::array<std::uint8_t, 16> buildCameraUsage(std::uint32_t instanceCount, std::uint32_t index,
                                              std::uint32_t usage);
std::array<std::uint8_t, 24> buildFormatRequest(std::uint32_t codec, const VideoFormat& format);
std::array<std::uint8_t, 16> buildTiming(std::uint32_t tagBits, float decodeSeconds, float publishSeconds);
std::array<std::uint8_t, 16> buildChallengeAnswer(std::uint32_t low, std::uint32_t high);
// The text is cut to 254 bytes and a NUL.
std::array<std::uint8_t, 268> buildErrorReport(std::string_view text);

// Builders of what the phone sends (the phone simulator and tests use them).
std::array<std::uint8_t, 280> buildPhoneInfo(const PhoneId& id, std::uint16_t kind, std::string_view name);
std::array<std::uint8_t, 4> buildHeaderOnly(std::uint8_t type);  // Ping, StreamStart, StreamStop
std::vector<std::uint8_t> buildCapabilities(bool hevc, std::span<const VideoFormat> formats);
// Writes the 8-byte header of a Video or Audio message carrying `length`
// payload bytes; the payload follows it.
void writePayloadHeader(std::uint8_t* out, std::uint8_t type, std::uint32_t tagBits, std::uint32_t length);
std::array<std::uint8_t, 20> buildReport(std::uint8_t type, const std::array<std::uint32_t, 4>& words);
std::array<std::uint8_t, 16> buildChallenge(std::uint32_t low, std::uint32_t high);
std::vector<std::uint8_t> buildNameList(std::uint32_t value, std::span<const std::string> names);

// Parsers. Each returns false for a message too short for its fixed part.
struct PhoneInfoFields {
    PhoneId id{};
    std::uint16_t kind = 0;
    char name[phone_info::kNameSize + 1] = {};  // bounded to the field, NUL-terminated
};
bool parsePhoneInfo(const std::uint8_t* message, std::size_t length, PhoneInfoFields& out);

// A probe's answer (over adb, usbmuxd or an added address): a whole
// PhoneInfo, that is at least 280 of the `have` bytes held, the type
// PhoneInfo and a header length of at least 280.
bool isProbeReply(const std::uint8_t* reply, std::size_t have);

// The offered formats and the HEVC flag. Only entries that lie wholly
// inside the message are read, whatever `count` says.
bool parseCapabilities(const std::uint8_t* message, std::size_t length, bool& hevc,
                       std::vector<VideoFormat>& formats);

// Video and Audio: the tag bits and the packet after the 8-byte header.
// False when the message is shorter than 8 bytes (the message is ignored).
struct PayloadView {
    std::uint32_t tagBits = 0;
    const std::uint8_t* data = nullptr;
    std::uint32_t length = 0;
};
bool parsePayload(const std::uint8_t* message, std::size_t length, PayloadView& out);

// Four words from offset 4 (Report19..22); missing bytes read as 0.
std::array<std::uint32_t, 4> readReportWords(const std::uint8_t* message, std::size_t length);

// Button and FocusDistance from the phone: the two words at 4 and 8;
// missing bytes read as 0.
std::array<std::uint32_t, 2> readTwoWords(const std::uint8_t* message, std::size_t length);

// Challenge: the low and high words at 8 and 12; false when too short.
bool parseChallenge(const std::uint8_t* message, std::size_t length, std::uint32_t& low, std::uint32_t& high);

// NameList: the names inside the message joined with "/" (each bounded to
// its 256-byte field; only whole fields inside the message are read), and
// the value word.
bool parseNameList(const std::uint8_t* message, std::size_t length, std::string& joined, std::uint32_t& value);

}  // namespace protocol
}  // namespace tavin
