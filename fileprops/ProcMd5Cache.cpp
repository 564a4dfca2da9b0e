#include "fileprops/ProcMd5Cache.h"

std::string CProcMd5Cache::Get(int64_t pid, const std::string& path, int64_t modifyTime) {
    auto it = m_records.find(pid);
    if (it != m_records.end() && it->second->path == path &&
        it->second->modifyTime == modifyTime) {
        return it->second->md5;
    }
    return Add(pid, path, modifyTime);
}

// Digests are not computed yet.
std::string CProcMd5Cache::Add(int64_t, const std::string&, int64_t) { return std::string(); }

void CProcMd5Cache::Prune(const ryn::ProcessIdMap&) {}
