// Builders and parsers of the phone protocol's messages.
//
// Every field goes through the little-endian helpers at its named offset.
// Builders fill the whole message, zero bytes included, so that nothing of an
// earlier use of a buffer travels. Parsers check the length first and never
// read past it; counts taken from a message are bounded by what the message
// holds.
#include "session/protocol.h"

#include <algorithm>
#include <cstring>

#include "platform/byte_order.h"

namespace tavin::protocol {

namespace {

template <std::size_t N>
std::array<std::uint8_t, N> startMessage(std::uint8_t type) {
    std::array<std::uint8_t, N> m{};
    writeLe32(m.data(), makeHeader(type, static_cast<std::uint32_t>(N)));
    return m;
}

// Copies text into a fixed field of `fieldSize` bytes, cut so that at least
// one NUL always ends it; the rest of the field stays zero.
void writeTextField(std::uint8_t* field, std::size_t fieldSize, std::string_view text) {
    std::size_t n = std::min(text.size(), fieldSize - 1);
    if (n > 0) std::memcpy(field, text.data(), n);
    std::memset(field + n, 0, fieldSize - n);
}

// The text of a fixed field: up to its first NUL, at most the whole field.
std::size_t textFieldLength(const std::uint8_t* field, std::size_t fieldSize) {
    const void* nul = std::memchr(field, 0, fieldSize);
    return nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - field) : fieldSize;
}

}  // namespace

std::uint32_t headerLength(const std::uint8_t* message) { return readLe32(message) & 0x00FFFFFFu; }

std::uint8_t headerType(const std::uint8_t* message) { return message[3]; }

std::uint32_t bytesWanted(const std::uint8_t* buffer, std::uint32_t have) {
    return have < kHeaderSize ? kHeaderSize : headerLength(buffer);
}

bool messageComplete(const std::uint8_t* buffer, std::uint32_t have) {
    return have >= kHeaderSize && have >= headerLength(buffer);
}

// ---- What the engine sends ----

std::array<std::uint8_t, 4> buildPingReply() { return buildHeaderOnly(kPingReply); }

std::array<std::uint8_t, 12> buildEngineVersion() {
    auto m = startMessage<engine_version::kSize>(kEngineVersion);
    writeLe32(m.data() + 4, kProtocolMajor);
    writeLe32(m.data() + 8, kProtocolMinor);
    return m;
}

std::array<std::uint8_t, 12> buildButton(std::int32_t code, std::uint32_t value) {
    auto m = startMessage<button::kSize>(kButton);
    writeLeI32(m.data() + button::kCode, code);
    writeLe32(m.data() + button::kValue, value);
    return m;
}

std::array<std::uint8_t, 16> buildFocus(float x, float y, std::uint8_t flag) {
    auto m = startMessage<focus::kSize>(kFocus);
    writeLeF32(m.data() + focus::kX, x);
    writeLeF32(m.data() + focus::kY, y);
    writeLe32(m.data() + focus::kFlag, flag);  // the byte, zero-extended
    return m;
}

std::array<std::uint8_t, 12> buildFocusDistance(std::int32_t mode, float distance) {
    auto m = startMessage<focus_distance::kSize>(kFocusDistance);
    writeLeI32(m.data() + focus_distance::kMode, mode);
    writeLeF32(m.data() + focus_distance::kDistance, distance);
    return m;
}

std::array<std::uint8_t, 16> buildCameraUsage(std::uint32_t instanceCount, std::uint32_t index,
                                              std::uint32_t usage) {
    auto m = startMessage<camera_usage::kSize>(kCameraUsage);
    writeLe32(m.data() + camera_usage::kCount, instanceCount);
    writeLe32(m.data() + camera_usage::kIndex, index);
    writeLe32(m.data() + camera_usage::kUsage, usage);
    return m;
}

std::array<std::uint8_t, 24> buildFormatRequest(std::uint32_t codec, const VideoFormat& format) {
    auto m = startMessage<format_request::kSize>(kFormatRequest);
    writeLe32(m.data() + format_request::kOne, 1);
    writeLe32(m.data() + format_request::kCodec, codec);
    writeLe32(m.data() + format_request::kWidth, format.width);
    writeLe32(m.data() + format_request::kHeight, format.height);
    writeLeF32(m.data() + format_request::kFps, format.fps);
    return m;
}

std::array<std::uint8_t, 16> buildTiming(std::uint32_t tagBits, float decodeSeconds, float publishSeconds) {
    auto m = startMessage<timing::kSize>(kTiming);
    writeLe32(m.data() + timing::kTag, tagBits);
    writeLeF32(m.data() + timing::kDecode, decodeSeconds);
    writeLeF32(m.data() + timing::kPublish, publishSeconds);
    return m;
}

std::array<std::uint8_t, 16> buildChallengeAnswer(std::uint32_t low, std::uint32_t high) {
    auto m = startMessage<challenge::kSize>(kChallenge);
    writeLe32(m.data() + challenge::kZero, 0);
    writeLe32(m.data() + challenge::kLow, low);
    writeLe32(m.data() + challenge::kHigh, high);
    return m;
}

std::array<std::uint8_t, 268> buildErrorReport(std::string_view text) {
    auto m = startMessage<error_report::kSize>(kErrorReport);
    writeLe32(m.data() + error_report::kMajor, kProtocolMajor);
    writeLe32(m.data() + error_report::kMinor, kProtocolMinor);
    // The receiving side reads the field with a 255-byte limit, NUL included.
    writeTextField(m.data() + error_report::kText, error_report::kTextLimit, text);
    return m;
}

// ---- What the phone sends ----

std::array<std::uint8_t, 280> buildPhoneInfo(const PhoneId& id, std::uint16_t kind, std::string_view name) {
    auto m = startMessage<phone_info::kSize>(kPhoneInfo);
    std::memcpy(m.data() + phone_info::kId, id.data(), id.size());
    writeLe16(m.data() + phone_info::kKind, kind);
    writeTextField(m.data() + phone_info::kName, phone_info::kNameSize, name);
    return m;
}

std::array<std::uint8_t, 4> buildHeaderOnly(std::uint8_t type) { return startMessage<kHeaderSize>(type); }

std::vector<std::uint8_t> buildCapabilities(bool hevc, std::span<const VideoFormat> formats) {
    // A message never grows past what a receiver accepts.
    constexpr std::size_t kMaxEntries = (kMaxMessage - capabilities::kEntries) / capabilities::kEntrySize;
    std::size_t count = std::min(formats.size(), kMaxEntries);
    std::size_t length = capabilities::kEntries + count * capabilities::kEntrySize;
    std::vector<std::uint8_t> m(length, 0);
    writeLe32(m.data(), makeHeader(kCapabilities, static_cast<std::uint32_t>(length)));
    m[capabilities::kFlags] = hevc ? 1 : 0;
    writeLe32(m.data() + capabilities::kCount, static_cast<std::uint32_t>(count));
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t* e = m.data() + capabilities::kEntries + i * capabilities::kEntrySize;
        writeLe32(e, formats[i].width);
        writeLe32(e + 4, formats[i].height);
        writeLeF32(e + 8, formats[i].fps);
    }
    return m;
}

void writePayloadHeader(std::uint8_t* out, std::uint8_t type, std::uint32_t tagBits, std::uint32_t length) {
    writeLe32(out, makeHeader(type, static_cast<std::uint32_t>(payload::kData) + length));
    writeLe32(out + payload::kTag, tagBits);
}

std::array<std::uint8_t, 20> buildReport(std::uint8_t type, const std::array<std::uint32_t, 4>& words) {
    auto m = startMessage<report::kSize>(type);
    for (std::size_t i = 0; i < words.size(); ++i) writeLe32(m.data() + report::kWords + 4 * i, words[i]);
    return m;
}

std::array<std::uint8_t, 16> buildChallenge(std::uint32_t low, std::uint32_t high) {
    return buildChallengeAnswer(low, high);
}

std::vector<std::uint8_t> buildNameList(std::uint32_t value, std::span<const std::string> names) {
    constexpr std::size_t kMaxNames = (kMaxMessage - name_list::kNames) / name_list::kNameSize;
    std::size_t count = std::min(names.size(), kMaxNames);
    std::size_t length = name_list::kNames + count * name_list::kNameSize;
    std::vector<std::uint8_t> m(length, 0);
    writeLe32(m.data(), makeHeader(kNameList, static_cast<std::uint32_t>(length)));
    writeLe32(m.data() + name_list::kCount, static_cast<std::uint32_t>(count));
    writeLe32(m.data() + name_list::kValue, value);
    for (std::size_t i = 0; i < count; ++i) {
        writeTextField(m.data() + name_list::kNames + i * name_list::kNameSize, name_list::kNameSize, names[i]);
    }
    return m;
}

// ---- Parsers ----

bool parsePhoneInfo(const std::uint8_t* message, std::size_t length, PhoneInfoFields& out) {
    if (length < phone_info::kSize) return false;
    std::memcpy(out.id.data(), message + phone_info::kId, out.id.size());
    out.kind = readLe16(message + phone_info::kKind);
    std::size_t n = textFieldLength(message + phone_info::kName, phone_info::kNameSize);
    std::memcpy(out.name, message + phone_info::kName, n);
    std::memset(out.name + n, 0, sizeof out.name - n);
    return true;
}

bool isProbeReply(const std::uint8_t* reply, std::size_t have) {
    return have >= phone_info::kSize && headerType(reply) == kPhoneInfo && headerLength(reply) >= phone_info::kSize;
}

bool parseCapabilities(const std::uint8_t* message, std::size_t length, bool& hevc,
                       std::vector<VideoFormat>& formats) {
    if (length < capabilities::kEntries) return false;
    hevc = (message[capabilities::kFlags] & 1) != 0;
    std::size_t count = readLe32(message + capabilities::kCount);
    std::size_t room = (length - capabilities::kEntries) / capabilities::kEntrySize;
    count = std::min(count, room);
    formats.clear();
    formats.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* e = message + capabilities::kEntries + i * capabilities::kEntrySize;
        formats.push_back(VideoFormat{readLe32(e), readLe32(e + 4), readLeF32(e + 8)});
    }
    return true;
}

bool parsePayload(const std::uint8_t* message, std::size_t length, PayloadView& out) {
    if (length < payload::kData) return false;
    out.tagBits = readLe32(message + payload::kTag);
    out.data = message + payload::kData;
    out.length = static_cast<std::uint32_t>(std::min<std::size_t>(length - payload::kData, kMaxMessage - payload::kData));
    return true;
}

namespace {
// The first `N` bytes of a message, with the bytes it does not have as zero.
template <std::size_t N>
std::array<std::uint8_t, N> zeroPadded(const std::uint8_t* message, std::size_t length) {
    std::array<std::uint8_t, N> copy{};
    std::memcpy(copy.data(), message, std::min(length, N));
    return copy;
}
}  // namespace

std::array<std::uint32_t, 4> readReportWords(const std::uint8_t* message, std::size_t length) {
    auto m = zeroPadded<report::kSize>(message, length);
    std::array<std::uint32_t, 4> words{};
    for (std::size_t i = 0; i < words.size(); ++i) words[i] = readLe32(m.data() + report::kWords + 4 * i);
    return words;
}

std::array<std::uint32_t, 2> readTwoWords(const std::uint8_t* message, std::size_t length) {
    // Button and FocusDistance share this layout.
    auto m = zeroPadded<button::kSize>(message, length);
    return {readLe32(m.data() + button::kCode), readLe32(m.data() + button::kValue)};
}

bool parseChallenge(const std::uint8_t* message, std::size_t length, std::uint32_t& low, std::uint32_t& high) {
    if (length < challenge::kSize) return false;
    low = readLe32(message + challenge::kLow);
    high = readLe32(message + challenge::kHigh);
    return true;
}

bool parseNameList(const std::uint8_t* message, std::size_t length, std::string& joined, std::uint32_t& value) {
    if (length < name_list::kNames) return false;
    value = readLe32(message + name_list::kValue);
    std::size_t count = readLe32(message + name_list::kCount);
    std::size_t room = (length - name_list::kNames) / name_list::kNameSize;
    count = std::min(count, room);
    joined.clear();
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* field = message + name_list::kNames + i * name_list::kNameSize;
        if (i > 0) joined += '/';
        joined.append(reinterpret_cast<const char*>(field), textFieldLength(field, name_list::kNameSize));
    }
    return true;
}

}  // namespace tavin::protocol
