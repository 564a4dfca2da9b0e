#pragma once

// Bytes on the C++ heap of this process, counted by the bench binary's own
// operator new/delete, so a benchmark can report the peak of one phase.

#include <cstddef>

namespace heap {

size_t Current();
size_t Peak();
// Starts a new peak measurement at the current level.
void ResetPeak();

}  // namespace heap
