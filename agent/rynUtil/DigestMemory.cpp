#include "agent/rynUtil/DigestMemory.h"

namespace ryn {

namespace {

uint64_t Join(DWORD high, DWORD low) { return (static_cast<uint64_t>(high) << 32) | low; }

uint64_t Join(const FILETIME& time) { return Join(time.dwHighDateTime, time.dwLowDateTime); }

}  // namespace

DigestMemory& DigestMemory::Instance() {
    static DigestMemory memory;
    return memory;
}

bool DigestMemory::Find(const BY_HANDLE_FILE_INFORMATION& file, std::string* digest) {
    if (!Identifiable(file)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_byIdentity.find(IdentityOf(file));
    if (found == m_byIdentity.end()) {
        return false;
    }
    const Recency::iterator entry = found->second;
    if (!(entry->stamp == StampOf(file))) {
        m_recent.erase(entry);
        m_byIdentity.erase(found);
        return false;
    }
    m_recent.splice(m_recent.begin(), m_recent, entry);
    digest->assign(entry->digest.begin(), entry->digest.end());
    return true;
}

void DigestMemory::Remember(const BY_HANDLE_FILE_INFORMATION& file, const std::string& digest) {
    if (!Identifiable(file) || digest.size() != kDigestBytes) {
        return;
    }
    Entry entry = {IdentityOf(file), StampOf(file), {}};
    digest.copy(reinterpret_cast<char*>(entry.digest.data()), kDigestBytes);
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_byIdentity.find(entry.identity);
    if (found != m_byIdentity.end()) {
        *found->second = entry;
        m_recent.splice(m_recent.begin(), m_recent, found->second);
        return;
    }
    m_recent.push_front(entry);
    m_byIdentity.emplace(entry.identity, m_recent.begin());
    if (m_recent.size() > kCapacity) {
        m_byIdentity.erase(m_recent.back().identity);
        m_recent.pop_back();
    }
}

bool DigestMemory::Identifiable(const BY_HANDLE_FILE_INFORMATION& file) {
    return file.nFileIndexHigh != 0 || file.nFileIndexLow != 0;
}

DigestMemory::Identity DigestMemory::IdentityOf(const BY_HANDLE_FILE_INFORMATION& file) {
    return Identity{file.dwVolumeSerialNumber, Join(file.nFileIndexHigh, file.nFileIndexLow)};
}

DigestMemory::Stamp DigestMemory::StampOf(const BY_HANDLE_FILE_INFORMATION& file) {
    return Stamp{Join(file.nFileSizeHigh, file.nFileSizeLow), Join(file.ftCreationTime),
                 Join(file.ftLastWriteTime)};
}

}  // namespace ryn
