#include <windows.h>

#include <vector>

#include "agent/rynUtil/BCryptMd5.h"
#include "agent/rynUtil/DigestMemory.h"
#include "agent/rynUtil/UniqueHandle.h"
#include "agent/rynUtil/Wow64PathMap.h"
#include "host/RynUtil.h"

namespace ryn {

namespace {

// The file is hashed through one buffer of this size, whatever the file's size.
constexpr DWORD kChunkSize = 64 * 1024;

LONGLONG Join(const FILETIME& time) {
    return static_cast<LONGLONG>((static_cast<ULONGLONG>(time.dwHighDateTime) << 32) |
                                 time.dwLowDateTime);
}

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

// Whether the file still has the size and times it had before it was read: asked of
// the handle without the volume query that GetFileInformationByHandle makes.
bool StillAsBefore(HANDLE file, const BY_HANDLE_FILE_INFORMATION& before) {
    FILE_STANDARD_INFO standard = {};
    FILE_BASIC_INFO basic = {};
    if (!GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof(standard)) ||
        !GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof(basic))) {
        return false;
    }
    const LONGLONG size = static_cast<LONGLONG>(
        (static_cast<ULONGLONG>(before.nFileSizeHigh) << 32) | before.nFileSizeLow);
    return standard.EndOfFile.QuadPart == size &&
           basic.LastWriteTime.QuadPart == Join(before.ftLastWriteTime) &&
           basic.CreationTime.QuadPart == Join(before.ftCreationTime);
}

}  // namespace

// A file that is unchanged since this process last hashed it is not read again; the
// identity and state come from the handle that is opened for the read anyway.
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
    BY_HANDLE_FILE_INFORMATION before = {};
    const bool known = GetFileInformationByHandle(file.get(), &before) != 0;
    std::string digest;
    if (known && DigestMemory::Instance().Find(before, &digest)) {
        return digest;
    }
    digest = HashContent(file.get());
    // Only a digest of content that stood still while it was read is worth keeping.
    if (known && !digest.empty() && StillAsBefore(file.get(), before)) {
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
