#pragma once

// Stand-in for <windows.h> in the native build: the calls are served by the
// scripted machine of the test layer (layer/Machine.h).

#include <ctime>
#include <cwchar>

#include "layer/WinTypes.h"

// Errors
DWORD GetLastError();
void SetLastError(DWORD error);

// Handles
BOOL CloseHandle(HANDLE handle);

// Heaps and local memory
HANDLE GetProcessHeap();
LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID memory);
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL LocalFree(HLOCAL memory);

// Time and system
void GetSystemTimeAsFileTime(LPFILETIME now);
void GetSystemInfo(LPSYSTEM_INFO info);
BOOL FileTimeToLocalFileTime(const FILETIME* utc, LPFILETIME local);
BOOL FileTimeToSystemTime(const FILETIME* time, LPSYSTEMTIME fields);
BOOL GetFileTime(HANDLE file, LPFILETIME creation, LPFILETIME lastAccess, LPFILETIME lastWrite);

// Strings
int lstrcmpA(LPCSTR a, LPCSTR b);

// C runtime pieces of the Windows CRT that the module uses.
int64_t _time64(int64_t* out);
int swprintf_s(wchar_t* buffer, size_t count, const wchar_t* format, ...);

// Per-area calls
#include "layer/FileApi.h"
#include "layer/ProcessApi.h"
#include "layer/Wow64Api.h"
