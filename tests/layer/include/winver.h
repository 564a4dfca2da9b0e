#pragma once

// Stand-in for <winver.h> in the native build: the version-resource calls the module
// makes, served by the scripted machine (layer/FileModel.h, VersionResource): the file
// read by its wide path, the values queried narrow.

#include <windows.h>

DWORD GetFileVersionInfoSizeW(LPCWSTR lptstrFilename, LPDWORD lpdwHandle);
BOOL GetFileVersionInfoW(LPCWSTR lptstrFilename, DWORD dwHandle, DWORD dwLen, LPVOID lpData);
BOOL VerQueryValueA(LPCVOID pBlock, LPCSTR lpSubBlock, LPVOID* lplpBuffer, PUINT puLen);
