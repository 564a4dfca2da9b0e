#include "procinfo/WinPpidCache.h"

#include <windows.h>
#include <tlhelp32.h>

#include "host/RynUtil.h"
#include "module/WinHandle.h"

namespace {

// A short pause after every so many entries spreads the snapshot's work out.
constexpr int kPauseEveryEntries = 50;
constexpr uint64_t kPauseMilliseconds = 10;

}  // namespace

CWinPpidCache::~CWinPpidCache() { Clear(); }

void CWinPpidCache::Refresh() {
    Clear();
    // sizeof, not a literal: the record is larger in a 64-bit build, and a wrong
    // dwSize makes Process32FirstW fail.
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    int entries = 0;

    CWinHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.valid() || !Process32FirstW(snapshot.get(), &entry)) {
        return;
    }
    do {
        if (++entries % kPauseEveryEntries == 0) {
            ryn::CToolUtil::msleep(kPauseMilliseconds);
        }
        // emplace keeps the first parent recorded for a repeated id.
        m_ppidMap.emplace(static_cast<int64_t>(entry.th32ProcessID),
                          static_cast<int64_t>(entry.th32ParentProcessID));
    } while (Process32NextW(snapshot.get(), &entry));
}

int64_t CWinPpidCache::GetParentPid(int64_t pid) const {
    auto it = m_ppidMap.find(pid);
    return it == m_ppidMap.end() ? -1 : it->second;
}

void CWinPpidCache::Clear() { m_ppidMap.clear(); }
