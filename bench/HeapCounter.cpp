#include "bench/HeapCounter.h"

#include <malloc.h>

#include <atomic>

// glibc's own allocator entry points: the bench binary wraps malloc and friends
// so that every heap byte is counted, RapidJSON's pools and buffers included.
extern "C" {
void* __libc_malloc(size_t bytes);
void* __libc_calloc(size_t count, size_t bytes);
void* __libc_realloc(void* memory, size_t bytes);
void __libc_free(void* memory);
}

namespace {

std::atomic<size_t> g_current{0};
std::atomic<size_t> g_peak{0};

void Added(void* memory) {
    if (memory == nullptr) {
        return;
    }
    const size_t now = g_current += malloc_usable_size(memory);
    size_t peak = g_peak.load();
    while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
    }
}

void Removed(void* memory) {
    if (memory != nullptr) {
        g_current -= malloc_usable_size(memory);
    }
}

}  // namespace

namespace heap {

size_t Current() { return g_current.load(); }
size_t Peak() { return g_peak.load(); }
void ResetPeak() { g_peak = g_current.load(); }

}  // namespace heap

extern "C" {

void* malloc(size_t bytes) {
    void* memory = __libc_malloc(bytes);
    Added(memory);
    return memory;
}

void* calloc(size_t count, size_t bytes) {
    void* memory = __libc_calloc(count, bytes);
    Added(memory);
    return memory;
}

void* realloc(void* memory, size_t bytes) {
    Removed(memory);
    void* moved = __libc_realloc(memory, bytes);
    Added(moved != nullptr ? moved : (bytes == 0 ? nullptr : memory));
    return moved;
}

void free(void* memory) {
    Removed(memory);
    __libc_free(memory);
}

}  // extern "C"
