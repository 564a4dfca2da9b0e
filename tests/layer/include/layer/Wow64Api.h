#pragma once

// kernel32 calls around WOW64: the current process, its bitness and the system
// folders, served by the machine's Wow64View (layer/Wow64Model.h).

#include "layer/WinTypes.h"

#define CSTR_LESS_THAN 1
#define CSTR_EQUAL 2
#define CSTR_GREATER_THAN 3

HANDLE GetCurrentProcess();
BOOL IsWow64Process(HANDLE process, LPBOOL wow64);
UINT GetSystemDirectoryW(LPWSTR buffer, UINT size);
UINT GetSystemWindowsDirectoryW(LPWSTR buffer, UINT size);
int CompareStringOrdinal(LPCWSTR a, int aLength, LPCWSTR b, int bLength, BOOL ignoreCase);
