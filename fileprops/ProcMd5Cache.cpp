#include "fileprops/ProcMd5Cache.h"

namespace {

const char kSource[] = "ProcMd5Cache";
constexpr int kLineFileNotFound = 63;
// Below this size the entries of exited processes are left in place.
constexpr size_t kPruneFromEntries = 400;

}  // namespace

std::string CProcMd5Cache::Get(int64_t pid, const std::string& path, int64_t modifyTime) {
    if (pid < 0 || path.empty() || modifyTime == 0) {
        return std::string();
    }
    auto it = m_records.find(pid);
    if (it != m_records.end()) {
        if (it->second->path == path && it->second->modifyTime == modifyTime) {
            return it->second->md5;
        }
        m_records.erase(it);
    }
    return Add(pid, path, modifyTime);
}

std::string CProcMd5Cache::Add(int64_t pid, const std::string& path, int64_t modifyTime) {
    if (!ryn::CFileInfo(path).isFile()) {
        ryn::CLogMessage::GetInstance()->log(ryn::RYN_LOG_ERROR, kSource, kLineFileNotFound,
                                             "file not found : %s", path.c_str(), "");
        return std::string();
    }
    LinkedPtr<ProcMd5Record> record(new ProcMd5Record);
    record->modifyTime = modifyTime;
    record->path = path;
    // Whatever the digest gives, an empty result included, is recorded and served.
    record->md5 = ryn::CAlgorithmUtil::toHex(ryn::CAlgorithmUtil::GetFileMD5(path));
    m_records.insert(std::make_pair(pid, record));
    return record->md5;
}

void CProcMd5Cache::Prune(const ryn::ProcessIdMap& liveProcesses) {
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
