#include <windows.h>

#include <vector>

#include "agent/rynUtil/BCryptMd5.h"
#include "agent/rynUtil/ChangeStamp.h"
#include "agent/rynUtil/DigestMemory.h"
#include "agent/rynUtil/UniqueHandle.h"
#include "agent/rynUtil/Wow64PathMap.h"
#include "host/RynUtil.h"

namespace ryn {

namespace {

// The file is hashed through one buffer of this size, whatever the file's size.
constexpr DWORD kChunkSize = 64 * 1024;

// The digest of what is left to read of the file; "" on any failure.
std::string HashContent(HANDLE file) {
    BCryptMd5 md5;
    if (!md5.valid()) {
        return std::string();
    }
    std::vector<unsigned char> chunk(kChunkSize);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, chunk.data(), kChunkSize, &read, nullptr)) {
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

}  // namespace

// A file whose change stamp this process has hashed before is not read again; the stamp
// comes from the handle that is opened for the read anyway.
std::string CAlgorithmUtil::GetFileMD5(const std::string& path) {
    const std::wstring wide = Wow64PathMap::AccessPath(path);
    if (wide.empty()) {
        return std::string();
    }
    UniqueHandle file(CreateFileW(wide.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.valid()) {
        return std::string();
    }
    const std::string before = ChangeStampOf(file.get());
    std::string digest;
    if (DigestMemory::Instance().Find(before, &digest)) {
        return digest;
    }
    digest = HashContent(file.get());
    // Only a digest of content that stood still while it was read is worth keeping.
    if (!digest.empty() && !before.empty() && ChangeStampOf(file.get()) == before) {
        DigestMemory::Instance().Remember(before, digest);
    }
    return digest;
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
