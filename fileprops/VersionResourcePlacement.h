#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

// Where the version block of a PE file lies, found by one bounded walk of the file: the
// resource directory down to RT_VERSION, VS_VERSION_INFO and its first language, with
// every address mapped to the file as the image loader lays the sections out. The caller
// reads the block from that place itself, so what is checked is what gets interpreted.
class CVersionResourcePlacement {
  public:
    enum Verdict {
        kNoVersion,  // not a PE image, or one without a VS_VERSION_INFO resource
        kInside,     // the block lies at *offset, *size bytes, all of them in the file
        kOutside,    // something on the way does not fit, is ambiguous or cannot be read
    };

    // file: an open handle with read access; its file pointer is moved.
    explicit CVersionResourcePlacement(HANDLE file);

    // For kOutside, *error is a failed read's own code, or ERROR_INVALID_DATA for a
    // malformed or lying image.
    Verdict Find(uint64_t* offset, uint32_t* size, DWORD* error);

  private:
    struct DirectoryEntry {
        uint32_t name;    // an id, or a name's offset when the high bit is set
        uint32_t offset;  // a subdirectory's offset when the high bit is set
    };
    struct Section {
        uint32_t virtualAddress;
        uint32_t extent;     // bytes both layouts hold: raw data, and no more than mapped
        uint32_t rawOffset;  // where the loader starts mapping the raw data
    };

    Verdict Fail(DWORD* error) const;
    bool ReadAt(uint64_t offset, void* out, uint32_t size);
    // The NT headers' offset when the file starts like a PE image.
    bool FindNtHeaders(uint64_t* ntOffset);
    bool ReadHeaders(uint64_t ntOffset, uint32_t* resourceRva, uint64_t* sectionTable,
                     uint16_t* sectionCount);
    bool ReadSections(uint64_t tableOffset, uint16_t count);
    // File offset and the bytes available there for an RVA; false when no section has
    // it, or more than one does (the loader would refuse such an image).
    bool Locate(uint64_t rva, uint64_t* offset, uint64_t* available) const;
    bool ReadRva(uint64_t rva, void* out, uint32_t size);
    // The id entries of one resource directory (named entries skipped).
    bool ReadIds(uint64_t rva, std::vector<DirectoryEntry>* entries);
    // The one entry with this id; *found false when there is none, and the walk fails
    // when there are two (the system's search could take either).
    bool FindId(uint64_t rva, uint32_t id, bool* found, DirectoryEntry* entry);
    bool ReadDataEntry(uint64_t resourceRva, const DirectoryEntry& leaf, uint64_t* offset,
                       uint32_t* size);

    HANDLE m_file;
    uint64_t m_fileSize;
    uint32_t m_imageSize;  // SizeOfImage: nothing of the image layout lies beyond it
    DWORD m_readError;     // the code of a read that failed, 0 when the bytes were short
    static constexpr unsigned kMostSections = 96;  // the loader's own limit
    Section m_sections[kMostSections];
    unsigned m_sectionCount;
    unsigned m_entriesSeen;
};
