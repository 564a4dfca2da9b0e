#include <windows.h>

#include "agent/rynUtil/ChangeStamp.h"
#include "agent/rynUtil/UniqueHandle.h"
#include "agent/rynUtil/Wow64PathMap.h"
#include "host/RynUtil.h"

namespace ryn {

// Read from the directory entry: no open, so files locked by their owner still count.
uint64_t CFileUtil::GetFileSize(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    const std::wstring wide = Wow64PathMap::AccessPath(path);
    if (wide.empty() || !GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return 0;
    }
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Opened for its attributes only, shared with every other opener: a running program's
// image can be asked.
std::string CFileUtil::GetChangeStamp(const std::string& path) {
    const std::wstring wide = Wow64PathMap::AccessPath(path);
    if (wide.empty()) {
        return std::string();
    }
    const UniqueHandle file(CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, 0, nullptr));
    return file.valid() ? ChangeStampOf(file.get()) : std::string();
}

}  // namespace ryn
