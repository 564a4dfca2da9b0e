#include "fileprops/VersionInfoReader.h"

#include <winver.h>

#include <cstdio>
#include <cstring>

#include "fileprops/VersionBlockShape.h"
#include "fileprops/VersionResourcePlacement.h"
#include "host/RynUtil.h"
#include "module/LogRecords.h"
#include "module/WinHandle.h"

namespace {

constexpr size_t kValuePathChars = 100;
// A block's length is 16 bits: a larger data entry lies about its size.
constexpr uint32_t kLargestBlock = 0x10000;
// What the system's copy puts right behind a 32-bit block.
const char kConversionSignature[] = "FE2X";
constexpr size_t kSignatureBytes = 4;
// Where the module, not the system, finds the resource unusable.
constexpr DWORD kMalformed = ERROR_INVALID_DATA;
// A version call that failed without telling why.
constexpr DWORD kNoCodeGiven = ERROR_RESOURCE_TYPE_NOT_FOUND;

void LogReadFailed(DWORD error) {
    WriteLog<log_records::kVersionReadFailed>(static_cast<int>(error));
}

size_t Align4(size_t bytes) { return (bytes + 3) & ~static_cast<size_t>(3); }

DWORD ErrorOfFailedCall() {
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : kNoCodeGiven;
}

// The file, held open for the whole read so it cannot be rewritten between the walk and
// the read of the block.
CWinHandle OpenForCheck(const std::string& utf8Path) {
    const std::wstring path = ryn::CStringUtil::utf8_2ws(ryn::CFileUtil::GetAccessPath(utf8Path));
    return CWinHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

void CVersionInfoReader::Read(const std::string& utf8Path, FilePropertyRecord& record) {
    CVersionInfoReader reader;
    if (!reader.Load(utf8Path)) {
        return;
    }
    WORD language = 0;
    WORD codePage = 0;
    DWORD error = 0;
    if (!reader.FirstTranslation(&language, &codePage, &error)) {
        WriteLog<log_records::kTranslationFailed>(static_cast<int>(error));
        return;
    }
    const BYTE* description = reader.QueryString(language, codePage, "FileDescription", &error);
    if (description == nullptr) {
        WriteLog<log_records::kDescriptionFailed>(static_cast<int>(error));
        return;
    }
    record.description = reader.Text(description);
    const BYTE* company = reader.QueryString(language, codePage, "CompanyName", &error);
    if (company != nullptr) {
        record.company = reader.Text(company);
    }
}

// The block is read from the place the walk checked, through the same handle, into a
// buffer of the size the system's own size query would give; the system only interprets
// that buffer and never reads the file itself.
bool CVersionInfoReader::Load(const std::string& utf8Path) {
    const CWinHandle file = OpenForCheck(utf8Path);
    if (!file.valid()) {
        return false;  // unreadable: as silent as the system's size query would be
    }
    DWORD error = kMalformed;
    uint64_t offset = 0;
    uint32_t size = 0;
    switch (CVersionResourcePlacement(file.get()).Find(&offset, &size, &error)) {
        case CVersionResourcePlacement::kNoVersion:
            return false;
        case CVersionResourcePlacement::kOutside:
            LogReadFailed(error);
            return false;
        case CVersionResourcePlacement::kInside:
            break;
    }
    if (!Copy(file.get(), offset, size)) {
        m_block.clear();
        return false;
    }
    return true;
}

bool CVersionInfoReader::Copy(HANDLE file, uint64_t offset, uint32_t size) {
    if (size > kLargestBlock) {
        LogReadFailed(kMalformed);
        return false;
    }
    // Twice the block and the signature's four bytes: the narrow query writes its
    // converted texts behind the block, at the root's length past its start.
    const size_t bufferSize = 2 * Align4(size) + kSignatureBytes;
    m_block.assign(bufferSize + 1, 0);
    LARGE_INTEGER position = {};
    position.QuadPart = static_cast<LONGLONG>(offset);
    DWORD read = 0;
    if (!SetFilePointerEx(file, position, nullptr, FILE_BEGIN) ||
        !ReadFile(file, m_block.data(), size, &read, nullptr)) {
        LogReadFailed(ErrorOfFailedCall());
        return false;
    }
    if (read != size || !CVersionBlockShape::IsSound(m_block.data(), bufferSize)) {
        LogReadFailed(kMalformed);
        return false;
    }
    // Where the system's own copy marks the block as one with room for conversions.
    uint16_t rootLength = 0;
    std::memcpy(&rootLength, m_block.data(), sizeof(rootLength));
    std::memcpy(m_block.data() + rootLength, kConversionSignature, kSignatureBytes);
    return true;
}

const BYTE* CVersionInfoReader::Query(const char* subBlock, UINT* length, DWORD* error) const {
    LPVOID value = nullptr;
    *length = 0;
    SetLastError(ERROR_SUCCESS);
    if (!VerQueryValueA(m_block.data(), subBlock, &value, length)) {
        *error = ErrorOfFailedCall();
        return nullptr;
    }
    const BYTE* at = static_cast<const BYTE*>(value);
    // The answer must point into the buffer it was asked about.
    if (at < m_block.data() || at >= m_block.data() + m_block.size() - 1) {
        *error = kMalformed;
        return nullptr;
    }
    return at;
}

const BYTE* CVersionInfoReader::QueryString(WORD language, WORD codePage, const char* name,
                                            DWORD* error) const {
    char path[kValuePathChars] = {};
    std::snprintf(path, sizeof(path), "\\StringFileInfo\\%04x%04x\\%s", language, codePage, name);
    UINT length = 0;
    return Query(path, &length, error);
}

// A Translation value shorter than one entry counts as a failed query.
bool CVersionInfoReader::FirstTranslation(WORD* language, WORD* codePage, DWORD* error) const {
    UINT length = 0;
    const BYTE* entry = Query("\\VarFileInfo\\Translation", &length, error);
    if (entry == nullptr) {
        return false;
    }
    if (length < 2 * sizeof(WORD) ||
        static_cast<size_t>(m_block.data() + m_block.size() - 1 - entry) < 2 * sizeof(WORD)) {
        *error = kMalformed;
        return false;
    }
    std::memcpy(language, entry, sizeof(WORD));
    std::memcpy(codePage, entry + sizeof(WORD), sizeof(WORD));
    return true;
}

std::string CVersionInfoReader::Text(const BYTE* value) const {
    const size_t room = static_cast<size_t>(m_block.data() + m_block.size() - value);
    const char* text = reinterpret_cast<const char*>(value);
    return ryn::CStringUtil::s2s_utf8(std::string(text, strnlen(text, room)));
}
