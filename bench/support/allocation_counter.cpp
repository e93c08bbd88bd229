#include "allocation_counter.h"

#include <cerrno>
#include <cstddef>

#include <atomic>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* pointer);
}

namespace {

std::atomic<bool> gCounting{false};
std::atomic<std::uint64_t> gCount{0};

inline void note() {
    if (gCounting.load(std::memory_order_relaxed)) gCount.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

namespace tavin::bench {

void startCountingAllocations() {
    gCount.store(0);
    gCounting.store(true);
}

void stopCountingAllocations() { gCounting.store(false); }

std::uint64_t allocationsCounted() { return gCount.load(); }

}  // namespace tavin::bench

extern "C" {

void* malloc(std::size_t size) {
    note();
    return __libc_malloc(size);
}

void free(void* pointer) { __libc_free(pointer); }

void* calloc(std::size_t count, std::size_t size) {
    note();
    return __libc_calloc(count, size);
}

void* realloc(void* pointer, std::size_t size) {
    note();
    return __libc_realloc(pointer, size);
}

void* memalign(std::size_t alignment, std::size_t size) {
    note();
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(std::size_t alignment, std::size_t size) {
    note();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
    note();
    void* p = __libc_memalign(alignment, size);
    if (!p) return ENOMEM;
    *out = p;
    return 0;
}

}  // extern "C"
