#pragma once

// Stand-in for <winver.h> in the native build: the narrow version query over a block
// the caller holds, served by the scripted machine (layer/FileModel.h, VersionResource).

#include <windows.h>

BOOL VerQueryValueA(LPCVOID pBlock, LPCSTR lpSubBlock, LPVOID* lplpBuffer, PUINT puLen);
