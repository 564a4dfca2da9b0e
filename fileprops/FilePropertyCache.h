#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "module/FilePropertyRecord.h"
#include "module/LinkedPtr.h"
#include "module/Singleton.h"

// Version-resource strings and signer of executables per path and last-write time. A
// record is served again only for the file as it is now: in a later pass when the file's
// change stamp is the one it had when it was read, and without a stamp only within the
// pass that read it (times can be put back by whoever rewrites or replaces the file).
class CFilePropertyCache : public CSingleton<CFilePropertyCache> {
  public:
    CFilePropertyCache() = default;
    ~CFilePropertyCache() override = default;

    // Null when path (UTF-8) is not an existing regular file.
    LinkedPtr<FilePropertyRecord> Get(const std::string& path, int64_t modifyTime);
    // Called once at the end of every pass.
    void EndPass() { ++m_pass; }

  private:
    struct Entry {
        LinkedPtr<FilePropertyRecord> record;
        std::string stamp;  // the file's change stamp before it was read; "" for none
        uint64_t pass;      // the last pass that served it
    };

    bool Current(Entry& entry, const std::string& path, int64_t modifyTime) const;
    LinkedPtr<FilePropertyRecord> Add(const std::string& path, int64_t modifyTime);
    // Keeps the map bounded: a large map loses its first entries in key order.
    void Shrink();

    // Keys in byte order as unsigned characters: std::string compares through
    // char_traits<char>, which orders as unsigned char.
    std::map<std::string, Entry> m_records;
    uint64_t m_pass = 0;
};
