#include "fileprops/VersionResourcePlacement.h"

#include <cstring>

namespace {

constexpr uint16_t kDosMagic = 0x5A4D;     // "MZ"
constexpr uint32_t kPeSignature = 0x4550;  // "PE\0\0"
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint32_t kDosHeaderBytes = 64;
constexpr uint32_t kLfanewOffset = 0x3C;
constexpr uint32_t kFileHeaderBytes = 24;  // signature and IMAGE_FILE_HEADER
constexpr uint32_t kSectionHeaderBytes = 40;
constexpr uint32_t kResourceDirectoryIndex = 2;
constexpr uint32_t kDirectoryHeaderBytes = 16;
constexpr uint32_t kDirectoryEntryBytes = 8;
constexpr uint32_t kDataEntryBytes = 16;
constexpr uint32_t kSubdirectoryFlag = 0x80000000u;
constexpr uint32_t kVersionType = 16;  // RT_VERSION
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
      m_readError(0),
      m_sections(),
      m_sectionCount(0),
      m_entriesSeen(0) {}

bool CVersionResourcePlacement::AllInsideFile(DWORD* error) {
    LARGE_INTEGER size = {};
    uint32_t resourceRva = 0;
    std::vector<DirectoryEntry> types;
    bool inside = GetFileSizeEx(m_file, &size) != FALSE;
    if (!inside) {
        m_readError = GetLastError();
    } else {
        m_fileSize = static_cast<uint64_t>(size.QuadPart);
        inside = ReadHeaders(&resourceRva) && ReadDirectory(resourceRva, true, &types);
    }
    bool versionSeen = false;
    for (size_t i = 0; inside && i < types.size(); ++i) {
        if (types[i].name == kVersionType) {
            versionSeen = true;
            inside = CheckVersionType(resourceRva, types[i]);
        }
    }
    // The system found a version resource that this reading of the image cannot see.
    inside = inside && versionSeen;
    *error = inside ? ERROR_SUCCESS : (m_readError != 0 ? m_readError : ERROR_INVALID_DATA);
    return inside;
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

bool CVersionResourcePlacement::ReadHeaders(uint32_t* resourceRva) {
    unsigned char dos[kDosHeaderBytes];
    if (!ReadAt(0, dos, sizeof(dos)) || U16(dos) != kDosMagic) {
        return false;
    }
    const uint64_t ntOffset = U32(dos + kLfanewOffset);
    unsigned char nt[kFileHeaderBytes];
    if (!ReadAt(ntOffset, nt, sizeof(nt)) || U32(nt) != kPeSignature) {
        return false;
    }
    const uint16_t sectionCount = U16(nt + 6);
    const uint16_t optionalBytes = U16(nt + 20);
    std::vector<unsigned char> optional(optionalBytes);
    if (optionalBytes < 2 || !ReadAt(ntOffset + kFileHeaderBytes, optional.data(), optionalBytes)) {
        return false;
    }
    const uint16_t magic = U16(optional.data());
    if (magic != kPe32Magic && magic != kPe32PlusMagic) {
        return false;
    }
    const uint32_t countOffset = magic == kPe32PlusMagic ? 108 : 92;
    const uint32_t directoryOffset = countOffset + 4 + kResourceDirectoryIndex * 8;
    if (directoryOffset + 8 > optionalBytes ||
        U32(optional.data() + countOffset) <= kResourceDirectoryIndex) {
        return false;
    }
    *resourceRva = U32(optional.data() + directoryOffset);
    return *resourceRva != 0 &&
           ReadSections(ntOffset + kFileHeaderBytes + optionalBytes, sectionCount);
}

bool CVersionResourcePlacement::ReadSections(uint64_t tableOffset, uint16_t count) {
    if (count == 0 || count > kMostSections) {
        return false;
    }
    unsigned char table[kMostSections * kSectionHeaderBytes];
    if (!ReadAt(tableOffset, table, count * kSectionHeaderBytes)) {
        return false;
    }
    for (unsigned i = 0; i < count; ++i) {
        const unsigned char* header = table + i * kSectionHeaderBytes;
        m_sections[i] = Section{U32(header + 12), U32(header + 16), U32(header + 20)};
    }
    m_sectionCount = count;
    return true;
}

// The first section whose raw data holds the RVA, as the system's own lookup takes it.
bool CVersionResourcePlacement::Locate(uint64_t rva, uint64_t* offset, uint64_t* available) const {
    for (unsigned i = 0; i < m_sectionCount; ++i) {
        const Section& section = m_sections[i];
        if (rva < section.virtualAddress || rva - section.virtualAddress >= section.rawSize) {
            continue;
        }
        const uint64_t into = rva - section.virtualAddress;
        *offset = static_cast<uint64_t>(section.rawOffset) + into;
        if (*offset >= m_fileSize) {
            return false;
        }
        const uint64_t inSection = section.rawSize - into;
        const uint64_t inFile = m_fileSize - *offset;
        *available = inSection < inFile ? inSection : inFile;
        return true;
    }
    return false;
}

bool CVersionResourcePlacement::ReadRva(uint64_t rva, void* out, uint32_t size) {
    uint64_t offset = 0;
    uint64_t available = 0;
    return Locate(rva, &offset, &available) && size <= available && ReadAt(offset, out, size);
}

bool CVersionResourcePlacement::ReadDirectory(uint64_t rva, bool idsOnly,
                                              std::vector<DirectoryEntry>* entries) {
    unsigned char header[kDirectoryHeaderBytes];
    if (!ReadRva(rva, header, sizeof(header))) {
        return false;
    }
    const unsigned named = U16(header + 12);
    const unsigned count = named + U16(header + 14);
    if (count > kMostEntries - m_entriesSeen) {
        return false;
    }
    m_entriesSeen += count;
    std::vector<unsigned char> raw(static_cast<size_t>(count) * kDirectoryEntryBytes);
    if (count > 0 &&
        !ReadRva(rva + kDirectoryHeaderBytes, raw.data(), static_cast<uint32_t>(raw.size()))) {
        return false;
    }
    // Named entries come first; a lookup by id never sees them.
    for (unsigned i = idsOnly ? named : 0; i < count; ++i) {
        const unsigned char* entry = raw.data() + i * kDirectoryEntryBytes;
        entries->push_back(DirectoryEntry{U32(entry), U32(entry + 4)});
    }
    return true;
}

// Every name under RT_VERSION, and every language under each name, must lead to data
// inside the file: the system may pick any of them.
bool CVersionResourcePlacement::CheckVersionType(uint64_t resourceRva, const DirectoryEntry& type) {
    std::vector<DirectoryEntry> names;
    if ((type.offset & kSubdirectoryFlag) == 0 ||
        !ReadDirectory(resourceRva + (type.offset & ~kSubdirectoryFlag), false, &names)) {
        return false;
    }
    for (const DirectoryEntry& name : names) {
        std::vector<DirectoryEntry> languages;
        if ((name.offset & kSubdirectoryFlag) == 0 ||
            !ReadDirectory(resourceRva + (name.offset & ~kSubdirectoryFlag), false, &languages)) {
            return false;
        }
        for (const DirectoryEntry& language : languages) {
            if (!CheckDataEntry(resourceRva, language)) {
                return false;
            }
        }
    }
    return true;
}

bool CVersionResourcePlacement::CheckDataEntry(uint64_t resourceRva, const DirectoryEntry& leaf) {
    unsigned char entry[kDataEntryBytes];
    if ((leaf.offset & kSubdirectoryFlag) != 0 ||
        !ReadRva(resourceRva + leaf.offset, entry, sizeof(entry))) {
        return false;
    }
    uint64_t offset = 0;
    uint64_t available = 0;
    return Locate(U32(entry), &offset, &available) && U32(entry + 4) <= available;
}
