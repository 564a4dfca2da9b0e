#pragma once

#include <cstdint>
#include <map>

#include "module/Singleton.h"

// Parent process ids of one pass, from one process snapshot.
class CWinPpidCache : public CSingleton<CWinPpidCache> {
public:
    CWinPpidCache() = default;
    ~CWinPpidCache() override;

    void Refresh();
    // -1 when pid is not in the map.
    int64_t GetParentPid(int64_t pid) const;
    void Clear();

private:
    std::map<int64_t, int64_t> m_ppidMap;
};
