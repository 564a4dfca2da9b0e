#include "fileprops/ProcMd5Cache.h"

#include "module/LogRecords.h"

namespace {

// Below this size the entries of exited processes are left in place.
constexpr size_t kPruneFromEntries = 400;

}  // namespace

std::string CProcMd5Cache::Get(int64_t pid, const std::string& path, int64_t modifyTime) {
    if (pid < 0 || path.empty() || modifyTime == 0) {
        return std::string();
    }
    auto it = m_records.find(pid);
    if (it != m_records.end()) {
        if (Current(*it->second, path, modifyTime)) {
            it->second->pass = m_pass;
            return it->second->md5;
        }
        m_records.erase(it);
    }
    return Add(pid, path, modifyTime);
}

// Within its pass a record stands; later only while the file keeps the stamp it had.
bool CProcMd5Cache::Current(ProcMd5Record& record, const std::string& path,
                            int64_t modifyTime) const {
    if (record.path != path || record.modifyTime != modifyTime) {
        return false;
    }
    return record.pass == m_pass ||
           (!record.stamp.empty() && record.stamp == ryn::CFileUtil::GetChangeStamp(path));
}

std::string CProcMd5Cache::Add(int64_t pid, const std::string& path, int64_t modifyTime) {
    if (!ryn::CFileInfo(path).isFile()) {
        WriteLog<log_records::kFileNotFound>(path.c_str());
        return std::string();
    }
    LinkedPtr<ProcMd5Record> record(new ProcMd5Record);
    record->modifyTime = modifyTime;
    record->path = path;
    // Taken before the read: a change during it leaves a stamp that no longer matches.
    record->stamp = ryn::CFileUtil::GetChangeStamp(path);
    record->pass = m_pass;
    auto shared = m_passDigests.find(path);
    if (shared != m_passDigests.end() && shared->second.modifyTime == modifyTime) {
        record->md5 = shared->second.md5;
    } else {
        // Whatever the digest gives, an empty result included, is recorded and served.
        record->md5 = ryn::CAlgorithmUtil::toHex(ryn::CAlgorithmUtil::GetFileMD5(path));
        m_passDigests[path] = PassDigest{modifyTime, record->md5};
    }
    m_records.insert(std::make_pair(pid, record));
    return record->md5;
}

void CProcMd5Cache::Prune(const ryn::ProcessIdMap& liveProcesses) {
    ++m_pass;
    m_passDigests.clear();
    if (m_records.size() < kPruneFromEntries) {
        return;
    }
    // Both maps are ordered by pid: one walk through each instead of a search per entry.
    auto live = liveProcesses.begin();
    for (auto it = m_records.begin(); it != m_records.end();) {
        while (live != liveProcesses.end() && live->first < it->first) {
            ++live;
        }
        if (live == liveProcesses.end() || live->first != it->first) {
            it = m_records.erase(it);
        } else {
            ++it;
        }
    }
}
