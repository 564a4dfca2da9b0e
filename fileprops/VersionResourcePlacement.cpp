#include "fileprops/VersionResourcePlacement.h"

#include <algorithm>
#include <cstring>

namespace {

// The PE fields the walk reads, at their offsets in their own structures.
constexpr uint16_t kDosMagic = 0x5A4D;     // "MZ"
constexpr uint32_t kPeSignature = 0x4550;  // "PE\0\0"
constexpr uint32_t kDosHeaderBytes = 64;
constexpr uint32_t kDosLfanew = 0x3C;
constexpr uint32_t kFileHeaderBytes = 24;  // signature and IMAGE_FILE_HEADER
constexpr uint32_t kFileSectionCount = 6;  // from the signature, as the rest of this table
constexpr uint32_t kFileOptionalBytes = 20;
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint32_t kOptionalImageSize = 56;  // SizeOfImage, in both optional headers
constexpr uint32_t kOptionalDirectoryCount32 = 92;
constexpr uint32_t kOptionalDirectoryCount64 = 108;
constexpr uint32_t kDirectoryBytes = 8;  // IMAGE_DATA_DIRECTORY
constexpr uint32_t kResourceDirectoryIndex = 2;
constexpr uint32_t kSectionHeaderBytes = 40;
constexpr uint32_t kSectionVirtualSize = 8;
constexpr uint32_t kSectionVirtualAddress = 12;
constexpr uint32_t kSectionRawSize = 16;
constexpr uint32_t kSectionRawPointer = 20;
// The loader maps a section's raw data from its pointer rounded down to this.
constexpr uint32_t kRawPointerGranule = 512;
constexpr uint32_t kResourceHeaderBytes = 16;  // IMAGE_RESOURCE_DIRECTORY
constexpr uint32_t kResourceNamedCount = 12;
constexpr uint32_t kResourceIdCount = 14;
constexpr uint32_t kResourceEntryBytes = 8;
constexpr uint32_t kDataEntryBytes = 16;  // IMAGE_RESOURCE_DATA_ENTRY
constexpr uint32_t kDataEntrySize = 4;
constexpr uint32_t kSubdirectoryFlag = 0x80000000u;
constexpr uint32_t kVersionType = 16;  // RT_VERSION
constexpr uint32_t kVersionName = 1;   // VS_VERSION_INFO, the only name the system asks for
// Real images have a few dozen resource entries on the way to their version data; a
// directory that claims more is not followed (and its claim costs no memory).
constexpr unsigned kMostEntries = 4096;

uint16_t U16(const unsigned char* at) {
    uint16_t value = 0;
    std::memcpy(&value, at, sizeof(value));
    return value;
}

uint32_t U32(const unsigned char* at) {
    uint32_t value = 0;
    std::memcpy(&value, at, sizeof(value));
    return value;
}

}  // namespace

CVersionResourcePlacement::CVersionResourcePlacement(HANDLE file)
    : m_file(file),
      m_fileSize(0),
      m_imageSize(0),
      m_readError(0),
      m_sections(),
      m_sectionCount(0),
      m_entriesSeen(0) {}

CVersionResourcePlacement::Verdict CVersionResourcePlacement::Find(uint64_t* offset, uint32_t* size,
                                                                   DWORD* error) {
    LARGE_INTEGER fileSize = {};
    if (!GetFileSizeEx(m_file, &fileSize)) {
        m_readError = GetLastError();
        return Fail(error);
    }
    m_fileSize = static_cast<uint64_t>(fileSize.QuadPart);
    uint64_t ntOffset = 0;
    if (!FindNtHeaders(&ntOffset)) {
        return m_readError != 0 ? Fail(error) : kNoVersion;
    }
    uint32_t resourceRva = 0;
    uint64_t sectionTable = 0;
    uint16_t sectionCount = 0;
    if (!ReadHeaders(ntOffset, &resourceRva, &sectionTable, &sectionCount)) {
        return Fail(error);
    }
    // Without a resource directory there is nothing to refuse, however damaged the rest.
    if (resourceRva == 0) {
        return kNoVersion;
    }
    if (!ReadSections(sectionTable, sectionCount)) {
        return Fail(error);
    }
    bool found = false;
    DirectoryEntry type = {};
    DirectoryEntry name = {};
    std::vector<DirectoryEntry> languages;
    if (!FindId(resourceRva, kVersionType, &found, &type)) {
        return Fail(error);
    }
    if (!found) {
        return kNoVersion;
    }
    if ((type.offset & kSubdirectoryFlag) == 0 ||
        !FindId(resourceRva + (type.offset & ~kSubdirectoryFlag), kVersionName, &found, &name)) {
        return Fail(error);
    }
    if (!found) {
        return kNoVersion;
    }
    if ((name.offset & kSubdirectoryFlag) == 0 ||
        !ReadIds(resourceRva + (name.offset & ~kSubdirectoryFlag), &languages) ||
        languages.empty() || !ReadDataEntry(resourceRva, languages.front(), offset, size)) {
        return Fail(error);
    }
    return kInside;
}

CVersionResourcePlacement::Verdict CVersionResourcePlacement::Fail(DWORD* error) const {
    *error = m_readError != 0 ? m_readError : ERROR_INVALID_DATA;
    return kOutside;
}

bool CVersionResourcePlacement::ReadAt(uint64_t offset, void* out, uint32_t size) {
    if (offset > m_fileSize || size > m_fileSize - offset) {
        return false;
    }
    LARGE_INTEGER position = {};
    position.QuadPart = static_cast<LONGLONG>(offset);
    DWORD read = 0;
    if (!SetFilePointerEx(m_file, position, nullptr, FILE_BEGIN) ||
        !ReadFile(m_file, out, size, &read, nullptr)) {
        m_readError = GetLastError();
        return false;
    }
    return read == size;
}

bool CVersionResourcePlacement::FindNtHeaders(uint64_t* ntOffset) {
    unsigned char dos[kDosHeaderBytes];
    if (!ReadAt(0, dos, sizeof(dos)) || U16(dos) != kDosMagic) {
        return false;
    }
    *ntOffset = U32(dos + kDosLfanew);
    unsigned char signature[4];
    return ReadAt(*ntOffset, signature, sizeof(signature)) && U32(signature) == kPeSignature;
}

// *resourceRva stays 0 where the headers have no resource directory: an optional header
// of unknown kind, or one too short to hold that directory.
bool CVersionResourcePlacement::ReadHeaders(uint64_t ntOffset, uint32_t* resourceRva,
                                            uint64_t* sectionTable, uint16_t* sectionCount) {
    unsigned char nt[kFileHeaderBytes];
    if (!ReadAt(ntOffset, nt, sizeof(nt))) {
        return false;
    }
    const uint16_t optionalBytes = U16(nt + kFileOptionalBytes);
    *sectionCount = U16(nt + kFileSectionCount);
    *sectionTable = ntOffset + kFileHeaderBytes + optionalBytes;
    std::vector<unsigned char> optional(optionalBytes);
    if (!ReadAt(ntOffset + kFileHeaderBytes, optional.data(), optionalBytes)) {
        return false;
    }
    const uint16_t magic = optionalBytes >= 2 ? U16(optional.data()) : 0;
    if (magic != kPe32Magic && magic != kPe32PlusMagic) {
        return true;
    }
    const uint32_t countOffset =
        magic == kPe32PlusMagic ? kOptionalDirectoryCount64 : kOptionalDirectoryCount32;
    const uint32_t directoryOffset = countOffset + 4 + kResourceDirectoryIndex * kDirectoryBytes;
    if (directoryOffset + kDirectoryBytes > optionalBytes ||
        U32(optional.data() + countOffset) <= kResourceDirectoryIndex) {
        return true;
    }
    m_imageSize = U32(optional.data() + kOptionalImageSize);
    *resourceRva = U32(optional.data() + directoryOffset);
    return true;
}

// Sections must follow each other without overlap, as the loader requires: where two
// claim one address, the file's bytes and the mapped image's could differ.
bool CVersionResourcePlacement::ReadSections(uint64_t tableOffset, uint16_t count) {
    if (count == 0 || count > kMostSections) {
        return false;
    }
    unsigned char table[kMostSections * kSectionHeaderBytes];
    if (!ReadAt(tableOffset, table, count * kSectionHeaderBytes)) {
        return false;
    }
    uint64_t mappedEnd = 0;
    for (unsigned i = 0; i < count; ++i) {
        const unsigned char* header = table + i * kSectionHeaderBytes;
        const uint32_t virtualSize = U32(header + kSectionVirtualSize);
        const uint32_t virtualAddress = U32(header + kSectionVirtualAddress);
        const uint32_t rawSize = U32(header + kSectionRawSize);
        // A section without a virtual size is mapped as large as its raw data.
        const uint32_t mapped = virtualSize != 0 ? virtualSize : rawSize;
        if (virtualAddress < mappedEnd) {
            return false;
        }
        mappedEnd = static_cast<uint64_t>(virtualAddress) + mapped;
        const uint32_t rawOffset = U32(header + kSectionRawPointer) & ~(kRawPointerGranule - 1);
        m_sections[i] = Section{virtualAddress, std::min(mapped, rawSize), rawOffset};
    }
    m_sectionCount = count;
    return true;
}

// What is available there must exist in the file (its raw layout) and in the image
// layout alike.
bool CVersionResourcePlacement::Locate(uint64_t rva, uint64_t* offset, uint64_t* available) const {
    if (rva >= m_imageSize) {
        return false;
    }
    for (unsigned i = 0; i < m_sectionCount; ++i) {
        const Section& section = m_sections[i];
        if (rva < section.virtualAddress || rva - section.virtualAddress >= section.extent) {
            continue;
        }
        const uint64_t into = rva - section.virtualAddress;
        *offset = static_cast<uint64_t>(section.rawOffset) + into;
        if (*offset >= m_fileSize) {
            return false;
        }
        *available = std::min({section.extent - into, m_fileSize - *offset, m_imageSize - rva});
        return true;
    }
    return false;
}

bool CVersionResourcePlacement::ReadRva(uint64_t rva, void* out, uint32_t size) {
    uint64_t offset = 0;
    uint64_t available = 0;
    return Locate(rva, &offset, &available) && size <= available && ReadAt(offset, out, size);
}

bool CVersionResourcePlacement::ReadIds(uint64_t rva, std::vector<DirectoryEntry>* entries) {
    unsigned char header[kResourceHeaderBytes];
    if (!ReadRva(rva, header, sizeof(header))) {
        return false;
    }
    const unsigned named = U16(header + kResourceNamedCount);
    const unsigned count = named + U16(header + kResourceIdCount);
    if (count > kMostEntries - m_entriesSeen) {
        return false;
    }
    m_entriesSeen += count;
    std::vector<unsigned char> raw(static_cast<size_t>(count) * kResourceEntryBytes);
    if (count > 0 &&
        !ReadRva(rva + kResourceHeaderBytes, raw.data(), static_cast<uint32_t>(raw.size()))) {
        return false;
    }
    // Named entries come first; a lookup by id never sees them.
    for (unsigned i = named; i < count; ++i) {
        const unsigned char* entry = raw.data() + i * kResourceEntryBytes;
        entries->push_back(DirectoryEntry{U32(entry), U32(entry + 4)});
    }
    return true;
}

bool CVersionResourcePlacement::FindId(uint64_t rva, uint32_t id, bool* found,
                                       DirectoryEntry* entry) {
    std::vector<DirectoryEntry> entries;
    if (!ReadIds(rva, &entries)) {
        return false;
    }
    *found = false;
    for (const DirectoryEntry& candidate : entries) {
        if (candidate.name == id) {
            if (*found) {
                return false;
            }
            *found = true;
            *entry = candidate;
        }
    }
    return true;
}

bool CVersionResourcePlacement::ReadDataEntry(uint64_t resourceRva, const DirectoryEntry& leaf,
                                              uint64_t* offset, uint32_t* size) {
    unsigned char entry[kDataEntryBytes];
    if ((leaf.offset & kSubdirectoryFlag) != 0 ||
        !ReadRva(resourceRva + leaf.offset, entry, sizeof(entry))) {
        return false;
    }
    uint64_t available = 0;
    *size = U32(entry + kDataEntrySize);
    return Locate(U32(entry), offset, &available) && *size <= available;
}
