// What the camera and audio drivers and the engine share: object names,
// the shared region's layout, device request codes and reply layouts, and
// the picture layouts of each pixel kind. The one definition of these
// bytes, used by the engine and by the driver substitute alike;
// docs/driver-interface.md describes them for driver authors.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tavin::driver {

inline constexpr int kCameraCount = 4;

// Named objects by camera index (an index above 3 uses the last row for the
// mutex and event; the region exists only for 0..3).
inline constexpr const char* kMutexNames[kCameraCount] = {
    "Local\\877A906B2F5F43268C9E6D05A19783C9",
    "Local\\D0FFE94BCFE84304AB2864C45D3E4F73",
    "Local\\7E6EC30702974F539FBD718F4AB67FC1",
    "Local\\11B7EAD53EBA4EADA85E09247EACE933",
};
inline constexpr const char* kEventNames[kCameraCount] = {
    "Global\\86A5E7A53B494A4AB6DFCF3422E84227",
    "Global\\66745621CA3B44C9B2CE53E2F723DB75",
    "Global\\20C7C78A21BB4053AF929B37EA9B5B6A",
    "Global\\B37069356A2441CDB1C88A40072BE542",
};
inline constexpr const char* kRegionNames[kCameraCount] = {
    "Global\\242C35CFE1974E5AB3C65625F6B417DD",
    "Global\\1E12F143DCC74A56B08BAF02F2916D56",
    "Global\\A5B4E22091324790839F8988BAD6A329",
    "Global\\A553BC49BCF64EBD82B611BF1732EFCA",
};

// Friendly names of the devices in the capture-device directory.
inline constexpr const char* kCameraNames[kCameraCount] = {
    "Tavin Webcam", "Tavin Webcam #2", "Tavin Webcam #3", "Tavin Webcam #4"};
inline constexpr const char* kAudioNames[kCameraCount] = {
    "Tavin Webcam Audio", "Tavin Webcam Audio #2", "Tavin Webcam Audio #3", "Tavin Webcam Audio #4"};

// A frame slot: the pixel area and its trailer.
namespace slot {
inline constexpr std::size_t kPixelArea = 24'883'232;  // 3840 x 2160 x 3 + 32
inline constexpr std::size_t kByteCount = 24'883'232;  // int32
inline constexpr std::size_t kTimeStamp = 24'883'236;  // float32
inline constexpr std::size_t kReady = 24'883'240;      // uint32: 1 = holds a picture not yet taken
inline constexpr std::size_t kSize = 24'883'264;
// The ready flag of the slot starting at `base`, for atomic access: the
// writer sets it (release) after filling the slot, the reader clears it
// (release) after taking the picture. Slots start 4-byte aligned.
inline std::atomic_ref<std::uint32_t> readyFlag(std::uint8_t* base) {
    return std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(base + kReady));
}
}  // namespace slot

// The shared region, layout version 6.
namespace region {
inline constexpr std::uint32_t kVersion = 6;
inline constexpr std::size_t kSize = 49'865'088;
inline constexpr std::size_t kLayoutVersion = 0;      // uint32, driver
inline constexpr std::size_t kConsumerState = 8;      // uint8, driver: 2 = a consumer reads
inline constexpr std::uint8_t kConsumerReading = 2;
inline constexpr std::size_t kSlot0 = 32;
inline constexpr std::size_t kSlot1 = 24'883'296;
inline constexpr std::size_t kSlotsEnd = 49'766'560;  // end of slot 1
inline constexpr std::size_t kAttached = 49'862'564;  // uint8, engine: 1 while attached
inline constexpr std::size_t kRequestWidth = 49'864'172;   // int32, driver; 0 = no request
inline constexpr std::size_t kRequestHeight = 49'864'176;  // int32
inline constexpr std::size_t kRequestFps = 49'864'180;     // float32
inline constexpr std::size_t kRequestKind = 49'864'184;    // int32 PixelKind
inline constexpr std::size_t kControlFlagB = 49'864'572;   // uint32, non-zero = on
inline constexpr std::size_t kControlValueA = 49'864'576;  // int32
inline constexpr std::size_t kFormatListFlag = 49'864'580; // uint32, driver: takes a format list
inline constexpr std::size_t kFormatCount = 49'864'584;    // uint32, engine
inline constexpr std::size_t kFormatEntries = 49'864'588;  // 16 bytes each
inline constexpr std::size_t kFormatEntrySize = 16;        // u32 width, height, fps x 1000, flag
inline constexpr std::size_t kFormatEntryMax = (kSize - kFormatEntries) / kFormatEntrySize;  // 31
inline constexpr std::size_t slotOffset(int i) { return i == 0 ? kSlot0 : kSlot1; }
}  // namespace region
static_assert(region::kFormatEntryMax == 31);
static_assert(region::kSlot1 == region::kSlot0 + slot::kSize);

// Device request codes.
inline constexpr std::uint32_t kIoAttach = 0x222000;
inline constexpr std::uint32_t kIoDetach = 0x222004;
inline constexpr std::uint32_t kIoQuery = 0x222008;
inline constexpr std::uint32_t kIoWriteBase = 0x222010;  // camera: + 4 x index (legacy: base); audio write
inline constexpr std::uint32_t kCameraInterface = 100;
inline constexpr std::uint32_t kCameraInterfaceLegacy = 2;
inline constexpr std::uint32_t kAudioInterface = 1;

// QueryReply: eight uint32.
namespace query_reply {
inline constexpr std::size_t kSize = 32;
inline constexpr std::size_t kVersion = 0, kWidth = 4, kHeight = 8, kStreaming = 12, kKindFlag = 16,
                             kInterval = 20;
}  // namespace query_reply
// WriteReply: seven uint32.
namespace write_reply {
inline constexpr std::size_t kSize = 28;
inline constexpr std::size_t kWidth = 0, kHeight = 4, kStreaming = 8, kKindFlag = 12, kInterval = 16,
                             kControlA = 20, kControlB = 24;
}  // namespace write_reply
inline constexpr std::size_t kQueryOpenInput = 32;  // input length of the camera query at open
inline constexpr std::uint32_t kAudioWrite = kIoWriteBase;  // 16-bit mono PCM at 48 kHz
inline constexpr std::size_t kAudioWriteReply = 8;  // two uint32; the second is the fill level
inline constexpr std::size_t kAudioWriteLevel = 4;  // uint32: bytes waiting to be played, this write included

// Pixel kinds.
enum PixelKind : std::int32_t {
    kBgr24 = 0,   // B, G, R; rows top-down for a positive height, bottom-up for negative
    kYuy2 = 1,    // Y0, U, Y1, V; top-down
    kI420 = 2,    // Y, then U (W/2 x H/2), then V
    kArgb = 3,    // A, R, G, B; row order as kind 0
};

// Bytes of a W x |H| picture of `kind`; 0 for an unknown kind.
constexpr std::size_t pictureBytes(std::int32_t kind, std::size_t w, std::size_t h) {
    switch (kind) {
        case kBgr24: return 3 * w * h;
        case kYuy2: return 2 * w * h;
        case kI420: return 3 * w * h / 2;
        case kArgb: return 4 * w * h;
        default: return 0;
    }
}

// Frame rate of a 100 ns interval: 10,000,000 / interval in single
// precision, 30 when the interval is 0.
inline float rateFromInterval(std::uint32_t interval) {
    return interval == 0 ? 30.0f : 10'000'000.0f / static_cast<float>(interval);
}

}  // namespace tavin::driver
