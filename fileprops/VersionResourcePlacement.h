#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

// Where the version resources of a PE file lie, checked against the file itself.
// GetFileVersionInfoA copies as many bytes as the resource's data entry claims from
// wherever that entry points, so an entry that reaches past its section or past the
// end of the file makes the system read memory that is not there.
class CVersionResourcePlacement {
  public:
    // file: an open handle with read access; its file pointer is moved.
    explicit CVersionResourcePlacement(HANDLE file);

    // True when the file is a PE image and every RT_VERSION data entry lies within one
    // section's raw data and within the file. False, with the reason in *error, otherwise:
    // a failed read's own code, or ERROR_INVALID_DATA for a malformed or lying image.
    bool AllInsideFile(DWORD* error);

  private:
    struct DirectoryEntry {
        uint32_t name;    // an id, or a name's offset when the high bit is set
        uint32_t offset;  // a subdirectory's offset when the high bit is set
    };
    struct Section {
        uint32_t virtualAddress;
        uint32_t rawSize;
        uint32_t rawOffset;
    };

    bool ReadAt(uint64_t offset, void* out, uint32_t size);
    bool ReadHeaders(uint32_t* resourceRva);
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
    DWORD m_readError;  // the code of a read that failed, 0 when the bytes were short
    static constexpr unsigned kMostSections = 96;  // the loader's own limit
    Section m_sections[kMostSections];
    unsigned m_sectionCount;
    unsigned m_entriesSeen;
};
