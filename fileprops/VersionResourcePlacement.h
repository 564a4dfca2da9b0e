#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

// Where the version resources of a PE file lie, checked against the file itself before
// the system is asked about them. The system follows the resource directory and copies
// as many bytes as a data entry claims from wherever the entry points, in the file or in
// its image layout, so an entry that reaches past what either holds makes it read memory
// that is not there.
class CVersionResourcePlacement {
  public:
    enum Verdict {
        kNoVersion,  // not a PE image, or one without an RT_VERSION resource
        kInside,     // every RT_VERSION data entry, and each directory on the way, fits
        kOutside,    // something on the way does not fit or cannot be read: see *error
    };

    // file: an open handle with read access; its file pointer is moved.
    explicit CVersionResourcePlacement(HANDLE file);

    // For kOutside, *error is a failed read's own code, or ERROR_INVALID_DATA for a
    // malformed or lying image.
    Verdict Check(DWORD* error);

  private:
    struct DirectoryEntry {
        uint32_t name;    // an id, or a name's offset when the high bit is set
        uint32_t offset;  // a subdirectory's offset when the high bit is set
    };
    struct Section {
        uint32_t virtualAddress;
        uint32_t extent;  // bytes both layouts hold: raw data, and no more than mapped
        uint32_t rawOffset;
    };

    Verdict Fail(DWORD* error) const;
    bool ReadAt(uint64_t offset, void* out, uint32_t size);
    // The NT headers' offset when the file starts like a PE image.
    bool FindNtHeaders(uint64_t* ntOffset);
    bool ReadHeaders(uint64_t ntOffset, uint32_t* resourceRva);
    bool ReadSections(uint64_t tableOffset, uint16_t count);
    // File offset and the bytes available there for an RVA; false when no section has it.
    bool Locate(uint64_t rva, uint64_t* offset, uint64_t* available) const;
    bool ReadRva(uint64_t rva, void* out, uint32_t size);
    // The id entries (named entries skipped) or all entries of one resource directory.
    bool ReadDirectory(uint64_t rva, bool idsOnly, std::vector<DirectoryEntry>* entries);
    bool CheckVersionType(uint64_t resourceRva, const DirectoryEntry& type);
    bool CheckDataEntry(uint64_t resourceRva, const DirectoryEntry& leaf);

    HANDLE m_file;
    uint64_t m_fileSize;
    uint32_t m_imageSize;  // SizeOfImage: nothing of the image layout lies beyond it
    DWORD m_readError;     // the code of a read that failed, 0 when the bytes were short
    static constexpr unsigned kMostSections = 96;  // the loader's own limit
    Section m_sections[kMostSections];
    unsigned m_sectionCount;
    unsigned m_entriesSeen;
};
