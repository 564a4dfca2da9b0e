#pragma once

// The benchmark's clock: the performance counter, read as ticks and turned into
// microseconds only when a result is printed.

#include <windows.h>

#include <cstdint>

namespace passcost {

inline int64_t Ticks() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

inline double Microseconds(int64_t ticks) {
    static const double perTick = [] {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        return 1e6 / static_cast<double>(frequency.QuadPart);
    }();
    return static_cast<double>(ticks) * perTick;
}

}  // namespace passcost
