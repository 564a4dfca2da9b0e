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

std::atomic<int64_t> g_current{0};
std::atomic<int64_t> g_peak{0};
std::atomic<bool> g_counting{true};

void Added(void* memory) {
    if (memory == nullptr || !g_counting.load(std::memory_order_relaxed)) {
        return;
    }
    const int64_t now = g_current += static_cast<int64_t>(malloc_usable_size(memory));
    int64_t peak = g_peak.load();
    while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
    }
}

void Removed(void* memory) {
    if (memory != nullptr && g_counting.load(std::memory_order_relaxed)) {
        g_current -= static_cast<int64_t>(malloc_usable_size(memory));
    }
}

}  // namespace

namespace heap {

int64_t Current() { return g_current.load(); }
int64_t Peak() { return g_peak.load(); }
void ResetPeak() { g_peak = g_current.load(); }
void SetCounting(bool on) { g_counting = on; }

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
