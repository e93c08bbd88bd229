// Explicit little-endian reads and writes of wire and driver layouts.
//
// Every byte layout of the engine (phone messages, the camera driver's shared
// region, device requests, registry values) is read and written through these
// helpers, never by casting a struct onto a buffer.
#pragma once

#include <cstdint>
#include <cstring>

namespace tavin {

inline std::uint16_t readLe16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t readLe32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline std::int32_t readLeI32(const std::uint8_t* p) { return static_cast<std::int32_t>(readLe32(p)); }

inline float readLeF32(const std::uint8_t* p) {
    std::uint32_t bits = readLe32(p);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

inline void writeLe16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

inline void writeLe32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

inline void writeLeI32(std::uint8_t* p, std::int32_t v) { writeLe32(p, static_cast<std::uint32_t>(v)); }

inline void writeLeF32(std::uint8_t* p, float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    writeLe32(p, bits);
}

inline std::uint32_t floatBits(float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

inline float bitsToFloat(std::uint32_t bits) {
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

}  // namespace tavin
