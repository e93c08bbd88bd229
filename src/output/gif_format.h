// The bytes of a GIF file that the engine's decoder reads and the project's
// GIF writer (resources/generator) writes: block introducers, labels,
// descriptor flags, LZW limits and the interlace passes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavin::gif_format {

inline constexpr std::size_t kSignatureSize = 6;  // "GIF87a" / "GIF89a"

// Blocks.
inline constexpr std::uint8_t kExtensionIntroducer = 0x21;
inline constexpr std::uint8_t kImageSeparator = 0x2C;
inline constexpr std::uint8_t kTrailer = 0x3B;
inline constexpr std::uint8_t kControlLabel = 0xF9;      // graphic control extension
inline constexpr std::uint8_t kApplicationLabel = 0xFF;  // e.g. the looping extension
inline constexpr std::size_t kMaxSubBlock = 255;

// The graphic control extension's body: flags, delay (uint16), transparent
// index. The disposal method sits in bits 2..4 of the flags.
inline constexpr std::size_t kControlBodySize = 4;
inline constexpr int kDisposalShift = 2;
inline constexpr std::uint8_t kDisposalMask = 0x07;

// Flags of the logical screen and image descriptors.
inline constexpr std::uint8_t kTableFlag = 0x80;      // a colour table follows
inline constexpr std::uint8_t kInterlaceFlag = 0x40;  // image descriptor only
inline constexpr std::uint8_t kTableSizeMask = 0x07;  // 2^(n+1) entries

// LZW: codes of up to 12 bits.
inline constexpr int kMaxCodeBits = 12;
inline constexpr unsigned kMaxCodes = 1u << kMaxCodeBits;

// Interlaced rows come in four passes: every 8th row from 0, every 8th from
// 4, every 4th from 2, every 2nd from 1.
inline constexpr int kPasses = 4;
inline constexpr int kPassStart[kPasses] = {0, 4, 2, 1};
inline constexpr int kPassStep[kPasses] = {8, 8, 4, 2};

}  // namespace tavin::gif_format
