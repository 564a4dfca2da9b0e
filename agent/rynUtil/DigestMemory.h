#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <string>

namespace ryn {

// The MD5 digests this process has computed, by file identity: the volume serial
// number and the file index, whatever path the file was opened by, with the size
// and the creation and last-write times the file had when it was read. A file whose
// size or times differ now, or a new file under an old name, is read again. A file
// that every process of a large program shares is then read once while it stays
// unchanged. Bounded by kCapacity files; the least recently used one is forgotten
// first. Safe from any thread.
class DigestMemory {
  public:
    // More distinct executables than a machine runs at once (the module's property
    // cache keeps about as many paths), at under 200 bytes each.
    static constexpr size_t kCapacity = 1024;
    static constexpr size_t kDigestBytes = 16;

    static DigestMemory& Instance();

    // The digest remembered for the file as it is now; false when there is none. A
    // file without an index (some network file systems) is never remembered.
    bool Find(const BY_HANDLE_FILE_INFORMATION& file, std::string* digest);
    // Remembers the digest of the file as it was read; a digest of another length
    // (a failed one) is not kept.
    void Remember(const BY_HANDLE_FILE_INFORMATION& file, const std::string& digest);

  private:
    struct Identity {
        DWORD volume;
        uint64_t index;
        bool operator<(const Identity& other) const {
            return volume != other.volume ? volume < other.volume : index < other.index;
        }
    };
    // What tells whether the content may have changed since it was hashed.
    struct Stamp {
        uint64_t size;
        uint64_t creationTime;
        uint64_t lastWriteTime;
        bool operator==(const Stamp& other) const {
            return size == other.size && creationTime == other.creationTime &&
                   lastWriteTime == other.lastWriteTime;
        }
    };
    struct Entry {
        Identity identity;
        Stamp stamp;
        std::array<unsigned char, kDigestBytes> digest;
    };
    typedef std::list<Entry> Recency;  // most recently used first

    static bool Identifiable(const BY_HANDLE_FILE_INFORMATION& file);
    static Identity IdentityOf(const BY_HANDLE_FILE_INFORMATION& file);
    static Stamp StampOf(const BY_HANDLE_FILE_INFORMATION& file);

    std::mutex m_mutex;
    Recency m_recent;
    std::map<Identity, Recency::iterator> m_byIdentity;
};

}  // namespace ryn
