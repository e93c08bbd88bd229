// The first-error record in the current user's registry.
//
// The record is "we:" + tag + ":" + code. It is written only while no string
// record is stored, read back for the upload through the ErrorReport text
// field, and deleted by the upload whatever the read gave. No lock is taken:
// two threads recording at once may both find no record, and the last store
// wins (each store replaces the value whole).
#include "engine/error_record.h"

#include <array>
#include <charconv>
#include <cstring>

#include "platform/registry_store.h"
#include "session/phone_transport.h"
#include "session/protocol.h"

namespace tavin {

namespace {

using platform::RegistryKey;

// The buffer the writer reads the stored record into.
constexpr std::size_t kReadBuffer = 256;

// The longest record written. The upload reads the record with a 255-byte
// limit, NUL included, so a longer record could be stored but never sent.
constexpr std::size_t kMaxRecord = protocol::error_report::kTextLimit - 1;

constexpr std::string_view kPrefix = "we:";

// Formats the record into `out` (kMaxRecord + 1 bytes) and returns its
// length. A tag ends at its first NUL, as a C string would. When the whole
// would be too long the tag is shortened, so that the code, which names the
// failing place, always survives.
std::size_t formatRecord(std::string_view tag, std::int32_t code, char* out) {
    char digits[16];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, code);
    std::size_t codeLength = ec == std::errc() ? static_cast<std::size_t>(end - digits) : 0;

    std::size_t nul = tag.find('\0');
    if (nul != std::string_view::npos) tag = tag.substr(0, nul);
    std::size_t tagRoom = kMaxRecord - kPrefix.size() - 1 - codeLength;
    if (tag.size() > tagRoom) tag = tag.substr(0, tagRoom);

    std::size_t n = 0;
    std::memcpy(out + n, kPrefix.data(), kPrefix.size());
    n += kPrefix.size();
    std::memcpy(out + n, tag.data(), tag.size());
    n += tag.size();
    out[n++] = ':';
    std::memcpy(out + n, digits, codeLength);
    n += codeLength;
    out[n] = '\0';
    return n;
}

}  // namespace

void recordError(std::string_view tag, std::int32_t code) {
    try {
        auto key = RegistryKey::open(true);
        if (!key) return;
        char stored[kReadBuffer];
        int read = key->readString(kErrorRecordValue, stored, sizeof stored);
        // A readable string, or a value of another type, means an earlier
        // failure is already recorded.
        if (read == platform::kRegOk || read == platform::kRegUnsupportedType) return;
        char record[kMaxRecord + 1];
        std::size_t length = formatRecord(tag, code, record);
        key->writeString(kErrorRecordValue, std::string_view(record, length));
    } catch (...) {
        // Recording must never disturb the failing caller; a lost record
        // changes nothing in the engine's behaviour.
    }
}

std::string readErrorRecord() {
    try {
        auto key = RegistryKey::open(false);
        if (!key) return {};
        char text[protocol::error_report::kTextLimit];
        if (key->readString(kErrorRecordValue, text, sizeof text) != platform::kRegOk) return {};
        return std::string(text);
    } catch (...) {
        return {};
    }
}

void uploadErrorRecord(PhoneTransport& transport) {
    namespace report = protocol::error_report;
    try {
        auto key = RegistryKey::open(false);
        if (!key) return;
        std::array<std::uint8_t, report::kSize> message = protocol::buildErrorReport({});
        char* text = reinterpret_cast<char*>(message.data() + report::kText);
        int read = key->readString(kErrorRecordValue, text, report::kTextLimit);
        key->deleteValue(kErrorRecordValue);
        key.reset();
        if (read == platform::kRegUnsupportedType) {
            std::memset(text, 0, report::kTextSize);
        } else if (read != platform::kRegOk) {
            return;
        }
        transport.send(message.data(), message.size());
    } catch (...) {
        // The upload is best effort; the dispatch goes on.
    }
}

namespace errors {

std::string deviceOpenTag(int cameraIndex, int systemError, int enumerationStatus) {
    return "s.C" + std::to_string(cameraIndex) + "E" + std::to_string(systemError) + "D" +
           std::to_string(enumerationStatus);
}

std::string packetRingTag(std::uint32_t length, std::uint32_t freeRoom) {
    return "sd.L" + std::to_string(length) + ".F" + std::to_string(freeRoom);
}

std::string headerTooLongTag(std::uint32_t length, unsigned type, unsigned lastTypeSent, std::uint32_t have,
                             std::uint32_t previousLength, unsigned previousType) {
    return "so." + std::to_string(length) + "." + std::to_string(type) + "-L" + std::to_string(lastTypeSent) +
           "-i" + std::to_string(have) + "." + std::to_string(previousLength) + "." +
           std::to_string(previousType);
}

std::string dottedTag(std::string_view prefix, long long a, long long b) {
    return std::string(prefix) + "." + std::to_string(a) + "." + std::to_string(b);
}

std::string dottedTag(std::string_view prefix, long long a) {
    return std::string(prefix) + "." + std::to_string(a);
}

}  // namespace errors

}  // namespace tavin
