#include "agent/rynUtil/Wow64PathMap.h"

#include "host/RynUtil.h"

namespace ryn {

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

std::wstring WithoutTrailingSeparator(std::wstring path) {
    while (!path.empty() && IsSeparator(path.back())) {
        path.pop_back();
    }
    return path;
}

}  // namespace

Wow64PathMap Wow64PathMap::QuerySystem() {
    BOOL wow64 = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64) {
        return Wow64PathMap();
    }
    // Under WOW64 the system directory is still reported by its 64-bit name.
    wchar_t systemDir[MAX_PATH];
    wchar_t windowsDir[MAX_PATH];
    const UINT systemLength = GetSystemDirectoryW(systemDir, MAX_PATH);
    const UINT windowsLength = GetSystemWindowsDirectoryW(windowsDir, MAX_PATH);
    if (systemLength == 0 || systemLength >= MAX_PATH || windowsLength == 0 ||
        windowsLength >= MAX_PATH) {
        return Wow64PathMap();
    }
    return Wow64PathMap(std::wstring(systemDir, systemLength),
                        std::wstring(windowsDir, windowsLength));
}

std::wstring Wow64PathMap::AccessPath(const std::string& utf8Path) {
    return ForThisProcess().Map(CStringUtil::utf8_2ws(utf8Path));
}

Wow64PathMap::Wow64PathMap(const std::wstring& systemDir, const std::wstring& windowsDir)
    : m_systemDir(WithoutTrailingSeparator(systemDir)),
      m_sysnativeDir(WithoutTrailingSeparator(windowsDir) + L"\\Sysnative") {}

std::wstring Wow64PathMap::Map(const std::wstring& path) const {
    const size_t length = m_systemDir.size();
    if (length == 0 || path.size() < length ||
        (path.size() > length && !IsSeparator(path[length]))) {
        return path;
    }
    // File names compare as the file system does: ordinal, ignoring case.
    if (CompareStringOrdinal(path.c_str(), static_cast<int>(length), m_systemDir.c_str(),
                             static_cast<int>(length), TRUE) != CSTR_EQUAL) {
        return path;
    }
    return m_sysnativeDir + path.substr(length);
}

// The module's access to the same mapping, for the files it reads itself.
std::string CFileUtil::GetAccessPath(const std::string& path) {
    return CStringUtil::ws2s_utf8(Wow64PathMap::AccessPath(path));
}

}  // namespace ryn
