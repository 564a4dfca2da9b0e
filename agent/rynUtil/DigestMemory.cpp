#include "agent/rynUtil/DigestMemory.h"

namespace ryn {

DigestMemory& DigestMemory::Instance() {
    static DigestMemory memory;
    return memory;
}

bool DigestMemory::Find(const std::string& stamp, std::string* digest) {
    if (stamp.empty()) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_byStamp.find(stamp);
    if (found == m_byStamp.end()) {
        return false;
    }
    m_recent.splice(m_recent.begin(), m_recent, found->second);
    digest->assign(found->second->digest.begin(), found->second->digest.end());
    return true;
}

void DigestMemory::Remember(const std::string& stamp, const std::string& digest) {
    if (stamp.empty() || digest.size() != kDigestBytes) {
        return;
    }
    Entry entry = {stamp, {}};
    digest.copy(reinterpret_cast<char*>(entry.digest.data()), kDigestBytes);
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_byStamp.find(stamp);
    if (found != m_byStamp.end()) {
        *found->second = entry;
        m_recent.splice(m_recent.begin(), m_recent, found->second);
        return;
    }
    m_recent.push_front(entry);
    m_byStamp.emplace(stamp, m_recent.begin());
    if (m_recent.size() > kCapacity) {
        m_byStamp.erase(m_recent.back().stamp);
        m_recent.pop_back();
    }
}

}  // namespace ryn
