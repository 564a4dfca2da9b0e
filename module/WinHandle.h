#pragma once

#include "module/WinOwner.h"

// Kernel handles, snapshots included: NULL and INVALID_HANDLE_VALUE both mean
// "nothing owned", since the Win32 calls use either to report failure.
struct KernelHandleTraits {
    using Handle = HANDLE;
    static bool Valid(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
    static void Free(HANDLE handle) { CloseHandle(handle); }
};

using CWinHandle = CWinOwner<KernelHandleTraits>;
