#pragma once

// Stand-in for <winver.h> in the native build: the narrow version-resource calls,
// served by the scripted machine (layer/FileModel.h, VersionResource). Paths are
// in the system code page, as the real narrow calls take them.

#include <windows.h>

DWORD GetFileVersionInfoSizeA(LPCSTR lptstrFilename, LPDWORD lpdwHandle);
BOOL GetFileVersionInfoA(LPCSTR lptstrFilename, DWORD dwHandle, DWORD dwLen, LPVOID lpData);
BOOL VerQueryValueA(LPCVOID pBlock, LPCSTR lpSubBlock, LPVOID* lplpBuffer, PUINT puLen);
