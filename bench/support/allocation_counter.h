// Counts the heap allocations of the whole benchmark process while counting
// is on: every thread and every library, since malloc, calloc, realloc,
// posix_memalign, aligned_alloc and memalign (and operator new, which calls
// malloc) are replaced here for the whole program. The replacements pass
// each call on to the C library's own allocator.
//
// A program that links this counts only when it calls it: the linker takes
// the replacements along with these functions.
#pragma once

#include <cstdint>

namespace tavin::bench {

void startCountingAllocations();
void stopCountingAllocations();
// Allocations since the last start.
std::uint64_t allocationsCounted();

}  // namespace tavin::bench
