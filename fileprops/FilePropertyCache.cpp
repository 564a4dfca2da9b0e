#include "fileprops/FilePropertyCache.h"

#include <windows.h>

#include "fileprops/FileSignerReader.h"
#include "fileprops/VersionInfoReader.h"
#include "host/RynUtil.h"
#include "module/LogRecords.h"

namespace {

// A map above kMaxEntries loses kEvictedEntries before the next addition.
constexpr size_t kMaxEntries = 1000;
constexpr size_t kEvictedEntries = 19;

// Signer name (UTF-8) and signing date of the file's embedded signature.
void ReadSigner(const std::string& utf8Path, FilePropertyRecord& record) {
    const std::wstring widePath =
        ryn::CStringUtil::utf8_2ws(ryn::CFileUtil::GetAccessPath(utf8Path));
    FileSignerInfo info;
    if (ReadFileSigner(widePath.c_str(), info)) {
        record.signCompany = ryn::CStringUtil::ws2s_utf8(info.signerName);
        record.signDate = ryn::CStringUtil::ws2s(info.signDate);
    } else if (info.verifyError != 0) {
        WriteLog<log_records::kNotVerified>(static_cast<unsigned int>(info.verifyError),
                                            utf8Path.c_str());
    }
}

}  // namespace

LinkedPtr<FilePropertyRecord> CFilePropertyCache::Get(const std::string& path, int64_t modifyTime) {
    auto it = m_records.find(path);
    if (it != m_records.end()) {
        if (Current(it->second, path, modifyTime)) {
            it->second.pass = m_pass;
            return it->second.record;
        }
        m_records.erase(it);
    }
    return Add(path, modifyTime);
}

bool CFilePropertyCache::Current(Entry& entry, const std::string& path, int64_t modifyTime) const {
    if (entry.record->modifyTime != modifyTime) {
        return false;
    }
    return entry.pass == m_pass ||
           (!entry.stamp.empty() && entry.stamp == ryn::CFileUtil::GetChangeStamp(path));
}

LinkedPtr<FilePropertyRecord> CFilePropertyCache::Add(const std::string& path, int64_t modifyTime) {
    if (!ryn::CFileInfo(path).isFile()) {
        WriteLog<log_records::kNotAFile>(path.c_str());
        return LinkedPtr<FilePropertyRecord>();
    }
    Shrink();
    LinkedPtr<FilePropertyRecord> record(new FilePropertyRecord);
    record->modifyTime = modifyTime;
    // Taken before the reads: a change during them leaves a stamp that no longer matches.
    const std::string stamp = ryn::CFileUtil::GetChangeStamp(path);
    ReadSigner(path, *record);
    CVersionInfoReader::Read(path, *record);
    m_records.insert(std::make_pair(path, Entry{record, stamp, m_pass}));
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
