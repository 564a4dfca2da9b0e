#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "host/RynUtil.h"
#include "module/LinkedPtr.h"
#include "module/Singleton.h"

// MD5 digests of executables per process id. A digest is served again only for the file
// as it is now: in a later pass when the file's change stamp is the one it had when it
// was hashed, and without a stamp only within the pass that hashed it (times and sizes
// can be put back by whoever rewrites the file).
class CProcMd5Cache : public CSingleton<CProcMd5Cache> {
  public:
    CProcMd5Cache() = default;
    ~CProcMd5Cache() override = default;

    // Digest text, or "" for a negative pid, an empty path, time 0 or a missing file.
    std::string Get(int64_t pid, const std::string& path, int64_t modifyTime);
    // Ends the pass; once the cache is large, drops the entries of processes not in
    // liveProcesses.
    void Prune(const ryn::ProcessIdMap& liveProcesses);

  private:
    struct ProcMd5Record {
        std::string md5;
        int64_t modifyTime = 0;
        std::string path;
        std::string stamp;  // the file's change stamp before it was hashed; "" for none
        uint64_t pass = 0;  // the last pass that served it
    };
    struct PassDigest {
        int64_t modifyTime;
        std::string md5;
    };

    std::string Add(int64_t pid, const std::string& path, int64_t modifyTime);
    bool Current(ProcMd5Record& record, const std::string& path, int64_t modifyTime) const;

    std::map<int64_t, LinkedPtr<ProcMd5Record>> m_records;
    // The digests of this pass by path: processes sharing an executable hash it once.
    std::map<std::string, PassDigest> m_passDigests;
    uint64_t m_pass = 0;
};
