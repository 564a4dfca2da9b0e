#include <windows.h>

#include "agent/rynUtil/Wow64PathMap.h"
#include "host/RynUtil.h"

namespace ryn {

CFileInfo::CFileInfo(const std::string& path) : m_path(path) {}

bool CFileInfo::isFile() const {
    const std::wstring wide = Wow64PathMap::AccessPath(m_path);
    if (wide.empty()) {
        return false;
    }
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace ryn
