#pragma once

#include <windows.h>

#define TH32CS_SNAPPROCESS 0x00000002

typedef struct tagPROCESSENTRY32W {
    DWORD dwSize;
    DWORD cntUsage;
    DWORD th32ProcessID;
    ULONG_PTR th32DefaultHeapID;
    DWORD th32ModuleID;
    DWORD cntThreads;
    DWORD th32ParentProcessID;
    LONG pcPriClassBase;
    DWORD dwFlags;
    // Windows' WCHAR is 16 bits (wchar_t is 32 here): UTF-16 units keep the layout.
    uint16_t szExeFile[MAX_PATH];
} PROCESSENTRY32W, *PPROCESSENTRY32W, *LPPROCESSENTRY32W;
static_assert(sizeof(PROCESSENTRY32W) == (sizeof(void*) == 8 ? 568 : 556),
              "PROCESSENTRY32W must keep the Windows layout");

// A frozen copy of the machine's processes marked inSnapshot; INVALID_HANDLE_VALUE
// on failure.
HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD processId);
// Fail with ERROR_INSUFFICIENT_BUFFER when dwSize is below the record's size, and with
// ERROR_NO_MORE_FILES past the last entry.
BOOL Process32FirstW(HANDLE snapshot, LPPROCESSENTRY32W entry);
BOOL Process32NextW(HANDLE snapshot, LPPROCESSENTRY32W entry);
