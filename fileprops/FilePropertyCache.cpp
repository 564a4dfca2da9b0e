#include "fileprops/FilePropertyCache.h"

LinkedPtr<FilePropertyRecord> CFilePropertyCache::Get(const std::string& path,
                                                      int64_t modifyTime) {
    auto it = m_records.find(path);
    if (it != m_records.end() && it->second->modifyTime == modifyTime) {
        return it->second;
    }
    return Add(path, modifyTime);
}

// Files are not read yet.
LinkedPtr<FilePropertyRecord> CFilePropertyCache::Add(const std::string&, int64_t) {
    return LinkedPtr<FilePropertyRecord>();
}
