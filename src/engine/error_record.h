// The first-error record.
//
// Every unexpected failure in the engine is noted with recordError(tag, code).
// The first one is stored as the registry value "erd" ("we:" + tag + ":" +
// code) and uploaded to the phone app at the next Ping or Capabilities, then
// deleted. Later failures change nothing until then. The whole vocabulary of
// tags and codes is below, in one place: every call site uses these names.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavin {

class PhoneTransport;

// A place in the engine that can fail: its tag and its unique code. Places
// whose tag carries numbers of the case build it with the helpers below.
struct ErrorPlace {
    const char* tag;
    std::int32_t code;
};

namespace errors {
// Engine instance and formats.
inline constexpr ErrorPlace kAddressChangeRequest{"qc", 75};
inline constexpr ErrorPlace kWorkerStart{"qc", 97};  // the worker thread could not be started
inline constexpr ErrorPlace kPixelKindOutOfRange{"qc", 812};
// Camera output and publishing.
inline constexpr ErrorPlace kPublishMutexTimeout{"s", 676};
inline constexpr ErrorPlace kOutputStepMutexTimeout{"s", 636};
inline constexpr ErrorPlace kSetFormatMutexTimeout{"s", 793};
inline constexpr std::int32_t kAudioDeviceOpenCode = 319;   // tag: deviceOpenTag()
inline constexpr ErrorPlace kAudioQueryFailed{"s", 329};
inline constexpr ErrorPlace kAudioNotReadyShared{"s", 348};
inline constexpr std::int32_t kCameraDeviceOpenCode = 355;  // tag: deviceOpenTag()
inline constexpr ErrorPlace kCameraQueryFailed{"s", 366};
inline constexpr ErrorPlace kCameraVersionTooOld{"s", 372};
inline constexpr ErrorPlace kDeviceTransportRefused{"s", 388};
// Video decoder.
inline constexpr ErrorPlace kFramePictureAlloc{"ob", 16};
inline constexpr ErrorPlace kNoHardwareConfig{"sd", 34};
inline constexpr std::int32_t kPacketRingFullCode = 153;    // tag: packetRingTag()
inline constexpr ErrorPlace kPacketQueueFull{"sd", 155};     // every queue entry taken; packet dropped
inline constexpr ErrorPlace kSendPacketAgain{"sd", 202};
inline constexpr ErrorPlace kSendPacketEof{"sd", 204};
inline constexpr ErrorPlace kSendPacketInvalid{"sd", 206};
inline constexpr ErrorPlace kSendPacketNoMemory{"sd", 208};
inline constexpr ErrorPlace kSendPacketOther{"sd", 212};
inline constexpr ErrorPlace kReceiveFrameEof{"sd", 228};
inline constexpr ErrorPlace kReceiveFrameInvalid{"sd", 230};
inline constexpr ErrorPlace kReceiveFrameOther{"sd", 232};
inline constexpr ErrorPlace kHardwareTransfer{"sd", 236};    // a hardware picture could not be copied out
// Phone session.
inline constexpr ErrorPlace kSocketCreate{"so", 104};
inline constexpr ErrorPlace kSocketOptions{"so", 109};
inline constexpr ErrorPlace kSendTookNothing{"so", 159};
inline constexpr ErrorPlace kSendTookTooMuch{"so", 165};
inline constexpr std::int32_t kPollFailedCode = 219;        // tag: "so." + errno
inline constexpr std::int32_t kHeaderTooLongCode = 211;     // tag: headerTooLongTag()
inline constexpr std::int32_t kHeaderTooShortCode = 239;    // tag: "so." + length + "." + type
inline constexpr std::int32_t kUsbmuxHeaderTooLongCode = 303;  // tag: "ub." + length + "." + type
// Discovery.
inline constexpr ErrorPlace kAdbPipe{"mc", 89};
inline constexpr std::int32_t kAdbStartCode = 106;          // tag: "mc." + system error
inline constexpr ErrorPlace kMulticastBind4{"mc", 119};
inline constexpr ErrorPlace kMulticastBind6{"mc", 181};
inline constexpr ErrorPlace kResolvedNameShort{"mc", 489};
inline constexpr ErrorPlace kInstanceNameShort{"mc", 564};
inline constexpr ErrorPlace kBrowseStatus{"mc", 682};
inline constexpr std::int32_t kResolveNotStartedCode = 700; // tag: "mc.gle" + system error

// "s.C" + camera index + "E" + system error + "D" + enumeration status.
std::string deviceOpenTag(int cameraIndex, int systemError, int enumerationStatus);
// "sd.L" + packet length + ".F" + free room.
std::string packetRingTag(std::uint32_t length, std::uint32_t freeRoom);
// "so." + length + "." + type + "-L" + last type sent + "-i" + bytes held +
// "." + previous length + "." + previous type.
std::string headerTooLongTag(std::uint32_t length, unsigned type, unsigned lastTypeSent,
                             std::uint32_t have, std::uint32_t previousLength, unsigned previousType);
// prefix + "." + a + "." + b, e.g. ("so", 2, 8) -> "so.2.8".
std::string dottedTag(std::string_view prefix, long long a, long long b);
// prefix + "." + a, e.g. ("so", 104) -> "so.104".
std::string dottedTag(std::string_view prefix, long long a);
}  // namespace errors

// The record's registry value name.
inline constexpr const char* kErrorRecordValue = "erd";

// Records an unexpected failure. Keeps the first record only; never fails
// towards its caller; callable from any thread. A record longer than the
// 254 characters the upload can carry ("we:" included) is cut in its tag,
// so the code that names the failing place always survives.
void recordError(std::string_view tag, std::int32_t code);
inline void recordError(const ErrorPlace& place) { recordError(place.tag, place.code); }

// The record's text as the upload would read it ("" when none); for tests
// and tools.
std::string readErrorRecord();

// Sends a stored record to the phone as an ErrorReport and deletes it.
// Called by the message dispatch on Ping and Capabilities.
void uploadErrorRecord(PhoneTransport& transport);

}  // namespace tavin
