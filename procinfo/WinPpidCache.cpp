#include "procinfo/WinPpidCache.h"

CWinPpidCache::~CWinPpidCache() { Clear(); }

void CWinPpidCache::Refresh() { Clear(); }

int64_t CWinPpidCache::GetParentPid(int64_t pid) const {
    auto it = m_ppidMap.find(pid);
    return it == m_ppidMap.end() ? -1 : it->second;
}

void CWinPpidCache::Clear() { m_ppidMap.clear(); }
