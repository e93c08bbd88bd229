// Data resources linked into the library, found by number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tavin::platform {

// The bytes of data resource `id`; empty when there is none. Resource 101
// is the idle animation (a GIF).
std::span<const std::uint8_t> findResource(int id);

}  // namespace tavin::platform
