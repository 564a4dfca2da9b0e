#include "fileprops/VersionInfoReader.h"

#include <winver.h>

#include <cstdio>
#include <cstring>

#include "fileprops/VersionBlockShape.h"
#include "fileprops/VersionResourcePlacement.h"
#include "host/RynUtil.h"
#include "module/WinHandle.h"

namespace {

const char kSource[] = "FilePropertyCache";
constexpr int kLineReadVersionFailed = 90;
constexpr int kLineTranslationFailed = 100;
constexpr int kLineDescriptionFailed = 114;
constexpr size_t kValuePathChars = 100;
// A block's length is 16 bits, and the narrow call asks for twice that and a little for
// its conversions: a larger answer comes from a resource that lies about its size.
constexpr DWORD kLargestBlockRequest = 4 * 0x10000;
// Where the module, not the system, finds the resource unusable.
constexpr DWORD kMalformed = ERROR_INVALID_DATA;
// A version call that failed without telling why.
constexpr DWORD kNoCodeGiven = ERROR_RESOURCE_TYPE_NOT_FOUND;

// The three records, each with its format as a literal the compiler can check.
void LogReadFailed(DWORD error) {
    ryn::CLogMessage::GetInstance()->log(ryn::RYN_LOG_ERROR, kSource, kLineReadVersionFailed,
                                         "GetFileVersionInfoA error. err: %d",
                                         static_cast<int>(error), "");
}

void LogTranslationFailed(DWORD error) {
    ryn::CLogMessage::GetInstance()->log(ryn::RYN_LOG_ERROR, kSource, kLineTranslationFailed,
                                         "VerQueryValueA error. err1: %d", static_cast<int>(error),
                                         "");
}

void LogDescriptionFailed(DWORD error) {
    ryn::CLogMessage::GetInstance()->log(ryn::RYN_LOG_ERROR, kSource, kLineDescriptionFailed,
                                         "VerQueryValueA error. err2: %d", static_cast<int>(error),
                                         "");
}

DWORD ErrorOfFailedCall() {
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : kNoCodeGiven;
}

// The file, held open for the whole read so it cannot be rewritten or replaced between
// the check of its resource and the system's reads of it.
CWinHandle OpenForCheck(const std::wstring& path) {
    return CWinHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

void CVersionInfoReader::Read(const std::string& utf8Path, FilePropertyRecord& record) {
    // Wide and exact: a code-page path may name a sibling file ("?" or a look-alike).
    const std::wstring path = ryn::CStringUtil::utf8_2ws(ryn::CFileUtil::GetAccessPath(utf8Path));
    CVersionInfoReader reader;
    if (!reader.Load(path)) {
        return;
    }
    WORD language = 0;
    WORD codePage = 0;
    DWORD error = 0;
    if (!reader.FirstTranslation(&language, &codePage, &error)) {
        LogTranslationFailed(error);
        return;
    }
    const BYTE* description = reader.QueryString(language, codePage, "FileDescription", &error);
    if (description == nullptr) {
        LogDescriptionFailed(error);
        return;
    }
    record.description = reader.Text(description);
    const BYTE* company = reader.QueryString(language, codePage, "CompanyName", &error);
    if (company != nullptr) {
        record.company = reader.Text(company);
    }
}

// The resource's place is checked before the system is asked anything about it: even
// the size query follows the resource directory and faults on an entry outside the image.
bool CVersionInfoReader::Load(const std::wstring& path) {
    const CWinHandle file = OpenForCheck(path);
    if (!file.valid()) {
        return false;  // unreadable: as silent as the system's size query would be
    }
    DWORD error = kMalformed;
    const CVersionResourcePlacement::Verdict placement =
        CVersionResourcePlacement(file.get()).Check(&error);
    if (placement == CVersionResourcePlacement::kOutside) {
        LogReadFailed(error);
    }
    DWORD handle = 0;
    const DWORD size = placement == CVersionResourcePlacement::kInside
                           ? GetFileVersionInfoSizeW(path.c_str(), &handle)
                           : 0;
    if (size == 0 || !Copy(path, size)) {
        m_block.clear();
        return false;
    }
    return true;
}

bool CVersionInfoReader::Copy(const std::wstring& path, DWORD size) {
    if (size > kLargestBlockRequest) {
        LogReadFailed(kMalformed);
        return false;
    }
    m_block.assign(static_cast<size_t>(size) + 1, 0);
    SetLastError(ERROR_SUCCESS);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, m_block.data())) {
        LogReadFailed(ErrorOfFailedCall());
        return false;
    }
    if (!CVersionBlockShape::IsSound(m_block.data(), size)) {
        LogReadFailed(kMalformed);
        return false;
    }
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
