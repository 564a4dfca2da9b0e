#pragma once

// Bytes on the C heap of this process, counted by the bench binary's own malloc and
// free, so a benchmark can report the peak of one phase.
//
// Counting costs CPU on every allocation (malloc_usable_size, two atomics); a
// benchmark that times CPU turns it off for its timed runs and measures the heap in
// a separate run. Blocks allocated or freed while counting is off leave the level
// off by their size; levels are therefore only compared within one counted phase.

#include <cstdint>

namespace heap {

int64_t Current();
int64_t Peak();
// Starts a new peak measurement at the current level.
void ResetPeak();
// On by default.
void SetCounting(bool on);

}  // namespace heap
