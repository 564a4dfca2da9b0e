#pragma once

// The host process's own handles and committed private memory, as the tests that
// run many passes in one host compare them from pass to pass.

#include <windows.h>

namespace acceptance {

struct Usage {
    DWORD handles = 0;
    SIZE_T privateBytes = 0;
};

// Windows' own counters; under Wine 8 both read 0 (see docs/wine-notes.md), so the
// same quantities then come from the system's handle list and the address space.
Usage MeasureUsage();

// Our handles as the system's handle list (SystemExtendedHandleInformation) shows them.
DWORD HandlesInSystemList();
// Committed private memory, summed over the address space.
SIZE_T CommittedPrivateBytes();
// GetProcessHandleCount and PrivateUsage of GetProcessMemoryInfo; 0 on failure.
DWORD ReportedHandleCount();
SIZE_T ReportedPrivateUsage();

}  // namespace acceptance
