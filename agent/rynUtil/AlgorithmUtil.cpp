#include <windows.h>

#include <vector>

#include "agent/rynUtil/BCryptMd5.h"
#include "agent/rynUtil/UniqueHandle.h"
#include "agent/rynUtil/Wow64PathMap.h"
#include "host/RynUtil.h"

namespace ryn {

namespace {

// The file is hashed through one buffer of this size, whatever the file's size.
constexpr DWORD kChunkSize = 64 * 1024;

}  // namespace

std::string CAlgorithmUtil::GetFileMD5(const std::string& path) {
    const std::wstring wide = Wow64PathMap::AccessPath(path);
    if (wide.empty()) {
        return std::string();
    }
    UniqueHandle file(CreateFileW(wide.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    BCryptMd5 md5;
    if (!file.valid() || !md5.valid()) {
        return std::string();
    }
    std::vector<unsigned char> chunk(kChunkSize);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.get(), chunk.data(), kChunkSize, &read, nullptr)) {
            return std::string();
        }
        if (read == 0) {
            return md5.Finish();
        }
        if (!md5.Update(chunk.data(), read)) {
            return std::string();
        }
    }
}

std::string CAlgorithmUtil::toHex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (unsigned char byte : bytes) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0F]);
    }
    return text;
}

}  // namespace ryn
