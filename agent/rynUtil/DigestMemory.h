#pragma once

#include <array>
#include <cstddef>
#include <list>
#include <map>
#include <mutex>
#include <string>

namespace ryn {

// The MD5 digests this process has computed, by the file's change stamp (ChangeStamp.h):
// a file keeps its stamp exactly as long as it keeps its content and identity, whatever
// its times say. A file without a stamp is never remembered. A file that every process
// of a large program shares is then read once while it stays unchanged. Bounded by
// kCapacity files; the least recently used one is forgotten first. Safe from any thread.
class DigestMemory {
  public:
    // More distinct executables than a machine runs at once (the module's property
    // cache keeps about as many paths), at under 200 bytes each.
    static constexpr size_t kCapacity = 1024;
    static constexpr size_t kDigestBytes = 16;

    static DigestMemory& Instance();

    // The digest remembered for the stamp; false when there is none.
    bool Find(const std::string& stamp, std::string* digest);
    // Remembers the digest of the file that had the stamp while it was read; an empty
    // stamp or a digest of another length (a failed one) is not kept.
    void Remember(const std::string& stamp, const std::string& digest);

  private:
    struct Entry {
        std::string stamp;
        std::array<unsigned char, kDigestBytes> digest;
    };
    typedef std::list<Entry> Recency;  // most recently used first

    std::mutex m_mutex;
    Recency m_recent;
    std::map<std::string, Recency::iterator> m_byStamp;
};

}  // namespace ryn
