#include <windows.h>

#include <utility>

#include "agent/rynUtil/UniqueHandle.h"
#include "agent/rynUtil/Wow64PathMap.h"
#include "host/RynUtil.h"

namespace ryn {

CFileCom::CFileCom(const std::string& path) : m_path(path), m_handle(nullptr) {}

CFileCom::~CFileCom() { close(); }

bool CFileCom::open(FileComOpenFlag flag) {
    close();
    if (flag != FILECOM_OPEN_READ) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const std::wstring wide = Wow64PathMap::AccessPath(m_path);
    if (wide.empty()) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    // Full sharing: running executables and files other programs write stay openable.
    const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    m_handle = handle;
    return true;
}

void* CFileCom::nativeHandle() const { return m_handle; }

// The owner's release keeps the caller's error for its log record.
void CFileCom::close() { const UniqueHandle closing(std::exchange(m_handle, nullptr)); }

}  // namespace ryn
