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

    // Null when path is not an existing regular file.
    LinkedPtr<FilePropertyRecord> Get(const std::string& path, int64_t modifyTime);

private:
    LinkedPtr<FilePropertyRecord> Add(const std::string& path, int64_t modifyTime);

    std::map<std::string, LinkedPtr<FilePropertyRecord>> m_records;
};
