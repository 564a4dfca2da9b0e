#include "fileprops/FilePropertyCache.h"

#include <windows.h>
#include <winver.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "fileprops/FileSignerReader.h"
#include "host/RynUtil.h"

namespace {

const char kSource[] = "FilePropertyCache";
constexpr int kLineNotAFile = 56;
constexpr int kLineReadVersionFailed = 90;
constexpr int kLineTranslationFailed = 100;
constexpr int kLineDescriptionFailed = 114;
// A map above kMaxEntries loses kEvictedEntries before the next addition.
constexpr size_t kMaxEntries = 1000;
constexpr size_t kEvictedEntries = 19;
constexpr size_t kValuePathChars = 100;

// The record: text, then the error code. The format stays a literal here, so that
// the compiler checks it against the arguments.
void LogError(int line, const char* text, DWORD error) {
    ryn::CLogMessage::GetInstance()->log(ryn::RYN_LOG_ERROR, kSource, line, "%s%d", text,
                                         static_cast<int>(error), "");
}

// The value of a sub-block as a zero-terminated system-code-page text; null on failure.
const char* QueryText(const std::vector<BYTE>& resource, const char* subBlock) {
    LPVOID value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(resource.data(), subBlock, &value, &length)) {
        return nullptr;
    }
    return static_cast<const char*>(value);
}

// Language and code page of the first translation; false (with the last error at hand)
// when the Translation value is missing or shorter than one entry.
bool QueryFirstTranslation(const std::vector<BYTE>& resource, WORD& language, WORD& codePage) {
    LPVOID value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(resource.data(), "\\VarFileInfo\\Translation", &value, &length) ||
        value == nullptr || length < 2 * sizeof(WORD)) {
        return false;
    }
    const BYTE* entry = static_cast<const BYTE*>(value);
    std::memcpy(&language, entry, sizeof(WORD));
    std::memcpy(&codePage, entry + sizeof(WORD), sizeof(WORD));
    return true;
}

// The whole version resource of the file at a system-code-page path; empty when the
// file has none (silently) or it cannot be read (logged).
std::vector<BYTE> ReadVersionResource(const std::string& codePagePath) {
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(codePagePath.c_str(), &handle);
    if (size == 0) {
        return std::vector<BYTE>();
    }
    std::vector<BYTE> resource(static_cast<size_t>(size) + 1, 0);
    if (!GetFileVersionInfoA(codePagePath.c_str(), 0, size, resource.data())) {
        LogError(kLineReadVersionFailed, "GetFileVersionInfoA error. err: ", GetLastError());
        return std::vector<BYTE>();
    }
    return resource;
}

// FileDescription and CompanyName of the first translation, as UTF-8.
void ReadVersionStrings(const std::string& utf8Path, FilePropertyRecord& record) {
    // The narrow version calls read paths in the system code page.
    const std::string codePagePath =
        ryn::CStringUtil::ws2s(ryn::CStringUtil::utf8_2ws(ryn::CFileUtil::GetAccessPath(utf8Path)));
    const std::vector<BYTE> resource = ReadVersionResource(codePagePath);
    if (resource.empty()) {
        return;
    }
    WORD language = 0;
    WORD codePage = 0;
    if (!QueryFirstTranslation(resource, language, codePage)) {
        LogError(kLineTranslationFailed, "VerQueryValueA error. err1: ", GetLastError());
        return;
    }
    char descriptionPath[kValuePathChars] = {};
    std::snprintf(descriptionPath, sizeof(descriptionPath),
                  "\\StringFileInfo\\%04x%04x\\FileDescription", language, codePage);
    const char* description = QueryText(resource, descriptionPath);
    if (description == nullptr) {
        LogError(kLineDescriptionFailed, "VerQueryValueA error. err2: ", GetLastError());
        return;
    }
    record.description = ryn::CStringUtil::s2s_utf8(description);
    char companyPath[kValuePathChars] = {};
    std::snprintf(companyPath, sizeof(companyPath), "\\StringFileInfo\\%04x%04x\\CompanyName",
                  language, codePage);
    const char* company = QueryText(resource, companyPath);
    if (company != nullptr) {
        record.company = ryn::CStringUtil::s2s_utf8(company);
    }
}

// Signer name (UTF-8) and signing date of the file's embedded signature.
void ReadSigner(const std::string& utf8Path, FilePropertyRecord& record) {
    const std::wstring widePath =
        ryn::CStringUtil::utf8_2ws(ryn::CFileUtil::GetAccessPath(utf8Path));
    FileSignerInfo info;
    if (ReadFileSigner(widePath.c_str(), info)) {
        record.signCompany = ryn::CStringUtil::ws2s_utf8(info.signerName);
        record.signDate = ryn::CStringUtil::ws2s(info.signDate);
    }
}

}  // namespace

LinkedPtr<FilePropertyRecord> CFilePropertyCache::Get(const std::string& path, int64_t modifyTime) {
    auto it = m_records.find(path);
    if (it != m_records.end()) {
        if (it->second->modifyTime == modifyTime) {
            return it->second;
        }
        m_records.erase(it);
    }
    return Add(path, modifyTime);
}

LinkedPtr<FilePropertyRecord> CFilePropertyCache::Add(const std::string& path, int64_t modifyTime) {
    if (!ryn::CFileInfo(path).isFile()) {
        ryn::CLogMessage::GetInstance()->log(ryn::RYN_LOG_ERROR, kSource, kLineNotAFile,
                                             "Parameter error when add new file property cache: %s",
                                             path.c_str(), "");
        return LinkedPtr<FilePropertyRecord>();
    }
    Shrink();
    LinkedPtr<FilePropertyRecord> record(new FilePropertyRecord);
    record->modifyTime = modifyTime;
    ReadSigner(path, *record);
    ReadVersionStrings(path, *record);
    m_records.insert(std::make_pair(path, record));
    return record;
}

void CFilePropertyCache::Shrink() {
    if (m_records.size() <= kMaxEntries) {
        return;
    }
    for (size_t removed = 0; removed < kEvictedEntries && !m_records.empty(); ++removed) {
        m_records.erase(m_records.begin());
    }
}
