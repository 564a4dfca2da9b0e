#include <windows.h>

#include <cwctype>
#include <mutex>

#include "LayerState.h"
#include "agent/rynUtil/Wow64PathMap.h"
#include "layer/Control.h"
#include "layer/Machine.h"

namespace {

// The pseudo handle Windows gives for the current process.
HANDLE const kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

UINT CopyFolder(const std::string& utf8, LPWSTR buffer, UINT size) {
    const std::wstring wide = layer::Utf8ToWide(utf8);
    if (buffer == nullptr || size <= wide.size()) {
        return static_cast<UINT>(wide.size() + 1);  // the size needed, with the terminator
    }
    wide.copy(buffer, wide.size());
    buffer[wide.size()] = L'\0';
    return static_cast<UINT>(wide.size());
}

bool StartsWithFolder(const std::string& path, const std::string& folder) {
    if (path.size() < folder.size() ||
        (path.size() > folder.size() && path[folder.size()] != '\\')) {
        return false;
    }
    for (size_t i = 0; i < folder.size(); ++i) {
        if (std::towupper(static_cast<unsigned char>(path[i])) !=
            std::towupper(static_cast<unsigned char>(folder[i]))) {
            return false;
        }
    }
    return true;
}

bool SameView(const layer::Wow64View& a, const layer::Wow64View& b) {
    return a.active == b.active && a.systemDir == b.systemDir && a.wow64Dir == b.wow64Dir &&
           a.windowsDir == b.windowsDir;
}

// What the process asked of the scripted system, and under which view.
struct ProcessMapping {
    std::mutex mutex;
    bool asked = false;
    layer::Wow64View askedUnder;
    ryn::Wow64PathMap map;
};

ProcessMapping& processMapping() {
    static ProcessMapping mapping;
    return mapping;
}

}  // namespace

namespace layer {

void ResetWow64PathMap() {
    ProcessMapping& mapping = processMapping();
    std::lock_guard<std::mutex> lock(mapping.mutex);
    mapping.asked = false;
}

std::string RedirectedPath(const std::string& utf8Path) {
    const Wow64View& view = machine().wow64;
    if (!view.active) {
        return utf8Path;
    }
    const std::string sysnative = view.windowsDir + "\\Sysnative";
    if (StartsWithFolder(utf8Path, sysnative)) {
        return view.systemDir + utf8Path.substr(sysnative.size());
    }
    if (StartsWithFolder(utf8Path, view.systemDir)) {
        return view.wow64Dir + utf8Path.substr(view.systemDir.size());
    }
    return utf8Path;
}

}  // namespace layer

HANDLE GetCurrentProcess() { return kCurrentProcess; }

BOOL IsWow64Process(HANDLE process, LPBOOL wow64) {
    DWORD error = 0;
    if (layer::ShouldFail("IsWow64Process", &error) || process != kCurrentProcess ||
        wow64 == nullptr) {
        SetLastError(error != 0 ? error : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *wow64 = layer::machine().wow64.active ? TRUE : FALSE;
    return TRUE;
}

UINT GetSystemDirectoryW(LPWSTR buffer, UINT size) {
    return CopyFolder(layer::machine().wow64.systemDir, buffer, size);
}

UINT GetSystemWindowsDirectoryW(LPWSTR buffer, UINT size) {
    return CopyFolder(layer::machine().wow64.windowsDir, buffer, size);
}

int CompareStringOrdinal(LPCWSTR a, int aLength, LPCWSTR b, int bLength, BOOL ignoreCase) {
    const std::wstring left(a, aLength < 0 ? std::wcslen(a) : static_cast<size_t>(aLength));
    const std::wstring right(b, bLength < 0 ? std::wcslen(b) : static_cast<size_t>(bLength));
    for (size_t i = 0; i < left.size() && i < right.size(); ++i) {
        const wint_t l = ignoreCase ? std::towupper(left[i]) : left[i];
        const wint_t r = ignoreCase ? std::towupper(right[i]) : right[i];
        if (l != r) {
            return l < r ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
        }
    }
    return left.size() == right.size()  ? CSTR_EQUAL
           : left.size() < right.size() ? CSTR_LESS_THAN
                                        : CSTR_GREATER_THAN;
}

namespace ryn {

// The scripted stand-in for the library's once-per-process mapping: asked again only
// after a reset, or when a test changes the machine's WOW64 view (as if the agent ran
// anew on another machine).
const Wow64PathMap& Wow64PathMap::ForThisProcess() {
    ProcessMapping& mapping = processMapping();
    std::lock_guard<std::mutex> lock(mapping.mutex);
    if (!mapping.asked || !SameView(mapping.askedUnder, layer::machine().wow64)) {
        mapping.map = QuerySystem();
        mapping.askedUnder = layer::machine().wow64;
        mapping.asked = true;
    }
    return mapping.map;
}

}  // namespace ryn
