// Data resources linked into the library, found by number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tavin::platform {

// The idle animation (a GIF).
inline constexpr int kIdleAnimationResource = 101;

// The bytes of data resource `id`; empty when there is none.
std::span<const std::uint8_t> findResource(int id);

}  // namespace tavin::platform
