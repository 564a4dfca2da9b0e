#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "module/FilePropertyRecord.h"
#include "module/LinkedPtr.h"
#include "module/Singleton.h"

// Version-resource strings and signer of executables per path and last-write time.
class CFilePropertyCache : public CSingleton<CFilePropertyCache> {
public:
    CFilePropertyCache() = default;
    ~CFilePropertyCache() override = default;

    // Null when path (UTF-8) is not an existing regular file.
    LinkedPtr<FilePropertyRecord> Get(const std::string& path, int64_t modifyTime);

private:
    LinkedPtr<FilePropertyRecord> Add(const std::string& path, int64_t modifyTime);
    // Keeps the map bounded: a large map loses its first entries in key order.
    void Shrink();

    // Keys in byte order as unsigned characters: std::string compares through
    // char_traits<char>, which orders as unsigned char.
    std::map<std::string, LinkedPtr<FilePropertyRecord>> m_records;
};
