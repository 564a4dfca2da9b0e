#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "host/RynUtil.h"
#include "module/LinkedPtr.h"
#include "module/Singleton.h"

// MD5 digests of executables per process id.
class CProcMd5Cache : public CSingleton<CProcMd5Cache> {
public:
    CProcMd5Cache() = default;
    ~CProcMd5Cache() override = default;

    // Digest text, or "" for a negative pid, an empty path, time 0 or a missing file.
    std::string Get(int64_t pid, const std::string& path, int64_t modifyTime);
    // Once the cache is large, drops the entries of processes not in liveProcesses.
    void Prune(const ryn::ProcessIdMap& liveProcesses);

private:
    struct ProcMd5Record {
        std::string md5;
        int64_t modifyTime = 0;
        std::string path;
    };

    std::string Add(int64_t pid, const std::string& path, int64_t modifyTime);

    std::map<int64_t, LinkedPtr<ProcMd5Record>> m_records;
};
