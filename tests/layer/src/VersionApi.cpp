// version.dll of the scripted machine: VerQueryValueA over a VS_VERSIONINFO block that
// the caller copied from a PE image built from layer::File::version (see
// layer/FileModel.h for what is modelled).

#include <winver.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <strings.h>
#include <vector>

#include "LayerState.h"
#include "layer/Machine.h"

namespace layer {

const char kTranslationPath[] = "\\VarFileInfo\\Translation";

std::string VersionStringPath(WORD language, WORD codePage, const std::string& name) {
    char table[16];
    std::snprintf(table, sizeof(table), "%04x%04x", language, codePage);
    return std::string("\\StringFileInfo\\") + table + "\\" + name;
}

void VersionResource::SetString(WORD language, WORD codePage, const std::string& name,
                                const std::string& utf8Value) {
    present = true;
    bool known = false;
    for (const VersionTranslation& translation : translations) {
        known = known || (translation.language == language && translation.codePage == codePage);
    }
    if (!known) {
        translations.push_back(VersionTranslation{language, codePage});
    }
    char table[16];
    std::snprintf(table, sizeof(table), "%04x%04x", language, codePage);
    stringTables[table][name] = utf8Value;
}

}  // namespace layer

namespace {

// ---- Building the block and the image

void PutU16(std::string& out, size_t at, uint16_t value) {
    std::memcpy(&out[at], &value, sizeof(value));
}

void PutU32(std::string& out, size_t at, uint32_t value) {
    std::memcpy(&out[at], &value, sizeof(value));
}

uint16_t GetU16(const BYTE* at) {
    uint16_t value = 0;
    std::memcpy(&value, at, sizeof(value));
    return value;
}

void Pad4(std::string& out) { out.append((4 - out.size() % 4) % 4, '\0'); }

// UTF-16LE code units of a UTF-8 text, without a terminator.
std::string Utf16(const std::string& utf8) {
    std::string out;
    const auto unit = [&out](uint32_t c) {
        out.push_back(static_cast<char>(c & 0xFF));
        out.push_back(static_cast<char>(c >> 8));
    };
    for (wchar_t wc : layer::Utf8ToWide(utf8)) {
        const uint32_t c = static_cast<uint32_t>(wc);
        if (c < 0x10000) {
            unit(c);
        } else {
            unit(0xD800 + ((c - 0x10000) >> 10));
            unit(0xDC00 + ((c - 0x10000) & 0x3FF));
        }
    }
    return out;
}

// One node: wLength, wValueLength, wType, the key, the value, the children (each 4-aligned).
std::string Node(const std::string& key, bool text, const std::string& value, size_t valueLength,
                 const std::vector<std::string>& children, int lengthClaim = -1) {
    std::string node(6, '\0');
    node += Utf16(key) + std::string(2, '\0');
    Pad4(node);
    node += value;
    for (const std::string& child : children) {
        Pad4(node);
        node += child;
    }
    PutU16(node, 0, static_cast<uint16_t>(lengthClaim >= 0 ? lengthClaim : node.size()));
    PutU16(node, 2, static_cast<uint16_t>(valueLength));
    PutU16(node, 4, text ? 1 : 0);
    return node;
}

std::string TranslationValue(const layer::VersionResource& version) {
    std::string value;
    for (const layer::VersionTranslation& translation : version.translations) {
        value.append(reinterpret_cast<const char*>(&translation.language), sizeof(WORD));
        value.append(reinterpret_cast<const char*>(&translation.codePage), sizeof(WORD));
    }
    if (version.translationBytes >= 0 &&
        static_cast<size_t>(version.translationBytes) < value.size()) {
        value.resize(static_cast<size_t>(version.translationBytes));
    }
    return value;
}

std::string StringNode(const layer::VersionResource& version, const std::string& name,
                       const std::string& utf8Value) {
    std::string value = Utf16(utf8Value);
    if (!version.unterminatedStrings) {
        value += std::string(2, '\0');
    }
    return Node(name, true, value, value.size() / 2, {});
}

std::string BuildBlock(const layer::VersionResource& version) {
    std::vector<std::string> tables;
    for (const auto& table : version.stringTables) {
        std::vector<std::string> strings;
        for (const auto& value : table.second) {
            strings.push_back(StringNode(version, value.first, value.second));
        }
        tables.push_back(Node(table.first, true, "", 0, strings, version.stringTableLength));
    }
    const std::string translation = TranslationValue(version);
    const std::string varFileInfo =
        Node("VarFileInfo", true, "", 0,
             {Node("Translation", false, translation, translation.size(), {})});
    std::string fixed(52, '\0');  // VS_FIXEDFILEINFO
    PutU32(fixed, 0, 0xFEEF04BD);
    PutU32(fixed, 4, 0x00010000);
    return Node("VS_VERSION_INFO", false, fixed, fixed.size(),
                {Node("StringFileInfo", true, "", 0, tables), varFileInfo}, version.rootLength);
}

// A PE32+ image: headers, one .rsrc section (RVA 0x1000, file offset 0x200) holding the
// resource directory RT_VERSION / 1 / 0409 and the block, then the file's content.
struct VersionImage {
    std::string bytes;
    size_t dataOffset = 0;  // where the block starts in the file
    uint64_t claim = 0;     // what the data entry says its size is
};

constexpr uint32_t kSectionRva = 0x1000;
constexpr uint32_t kSectionOffset = 0x200;
constexpr uint32_t kBlockInSection = 0x58;

std::string ResourceSection(const std::string& block, uint32_t claim) {
    std::string section(kBlockInSection, '\0');
    const uint32_t directories[3][2] = {{16, 0x18}, {1, 0x30}, {0x409, 0x48}};
    for (int level = 0; level < 3; ++level) {
        const size_t at = static_cast<size_t>(level) * 0x18;
        PutU16(section, at + 14, 1);  // one id entry
        PutU32(section, at + 16, directories[level][0]);
        PutU32(section, at + 20, directories[level][1] | (level < 2 ? 0x80000000u : 0));
    }
    PutU32(section, 0x48, kSectionRva + kBlockInSection);
    PutU32(section, 0x4C, claim);
    return section + block;
}

VersionImage BuildImage(const layer::File& file) {
    const std::string block = BuildBlock(file.version);
    VersionImage image;
    image.claim = file.version.dataSizeClaim >= 0
                      ? static_cast<uint64_t>(file.version.dataSizeClaim)
                      : block.size();
    std::string section = ResourceSection(block, static_cast<uint32_t>(image.claim));
    const uint32_t virtualSize = static_cast<uint32_t>(section.size());
    section.append((0x200 - section.size() % 0x200) % 0x200, '\0');
    std::string& bytes = image.bytes;
    bytes.assign(kSectionOffset, '\0');
    bytes[0] = 'M';
    bytes[1] = 'Z';
    PutU32(bytes, 0x3C, 0x40);
    PutU32(bytes, 0x40, 0x4550);  // "PE\0\0"
    PutU16(bytes, 0x44, 0x8664);  // x64
    PutU16(bytes, 0x46, 1);       // one section
    PutU16(bytes, 0x54, 0xF0);    // optional header size
    PutU16(bytes, 0x58, 0x20B);   // PE32+
    PutU32(bytes, 0x58 + 56, kSectionRva + ((virtualSize + 0xFFF) & ~0xFFFu));  // SizeOfImage
    PutU32(bytes, 0x58 + 108, 16);                                              // data directories
    PutU32(bytes, 0x58 + 128, kSectionRva);
    PutU32(bytes, 0x58 + 132, virtualSize);
    std::memcpy(&bytes[0x148], ".rsrc", 5);
    PutU32(bytes, 0x148 + 8, virtualSize);
    PutU32(bytes, 0x148 + 12, kSectionRva);
    PutU32(bytes, 0x148 + 16, static_cast<uint32_t>(section.size()));
    PutU32(bytes, 0x148 + 20, kSectionOffset);
    bytes += section;
    bytes += file.content;
    image.dataOffset = kSectionOffset + kBlockInSection;
    return image;
}

// The scripted query errors of the file whose version block this is; none for a block
// no file of the machine holds.
std::map<std::string, DWORD> QueryErrorsOf(const BYTE* block, size_t rootLength) {
    for (const auto& entry : layer::machine().files) {
        const layer::File& file = entry.second;
        if (!file.version.present || file.version.queryErrors.empty()) {
            continue;
        }
        const VersionImage image = BuildImage(file);
        if (image.dataOffset + rootLength <= image.bytes.size() &&
            std::memcmp(image.bytes.data() + image.dataOffset, block, rootLength) == 0) {
            return file.version.queryErrors;
        }
    }
    return {};
}

// ---- Walking a block as the system does, every access checked against the buffer.

class BlockWalk {
  public:
    BlockWalk(const BYTE* block, size_t size) : m_block(block), m_size(size) {}

    // False (a bad call recorded) when [offset, offset + bytes) is outside the buffer.
    bool Inside(size_t offset, size_t bytes) const {
        if (offset <= m_size && bytes <= m_size - offset) {
            return true;
        }
        layer::BadCall("VerQueryValueA", "the walk leaves the caller's buffer");
        return false;
    }

    // The child of the node at `parent` whose key is `key` (any letter case); 0 when there
    // is none; false when the walk left the buffer.
    bool FindChild(size_t parent, const std::string& key, size_t* child) const {
        size_t value = 0;
        size_t at = 0;
        if (!ValueOf(parent, &value) || !Inside(parent, 6)) {
            return false;
        }
        at = Align4(value + ValueBytes(parent));
        const size_t end = parent + GetU16(m_block + parent);
        *child = 0;
        for (; at < end; at = Align4(at + GetU16(m_block + at))) {
            std::string name;
            if (!KeyOf(at, &name)) {
                return false;
            }
            if (strcasecmp(name.c_str(), key.c_str()) == 0) {
                *child = at;
                return true;
            }
            if (GetU16(m_block + at) == 0) {
                return true;
            }
        }
        return true;
    }

    bool ValueOf(size_t node, size_t* value) const {
        std::string key;
        if (!KeyOf(node, &key)) {
            return false;
        }
        *value = Align4(node + 6 + 2 * (key.size() + 1));
        return true;
    }

    size_t ValueBytes(size_t node) const {
        return static_cast<size_t>(GetU16(m_block + node + 2)) * (IsText(node) ? 2 : 1);
    }
    bool IsText(size_t node) const { return GetU16(m_block + node + 4) != 0; }

  private:
    static size_t Align4(size_t offset) { return (offset + 3) & ~static_cast<size_t>(3); }

    // The key as ASCII (the keys this module asks for are ASCII).
    bool KeyOf(size_t node, std::string* key) const {
        if (!Inside(node, 6)) {
            return false;
        }
        for (size_t at = node + 6;; at += 2) {
            if (!Inside(at, 2)) {
                return false;
            }
            const uint16_t c = GetU16(m_block + at);
            if (c == 0) {
                return true;
            }
            key->push_back(c < 0x80 ? static_cast<char>(c) : '?');
        }
    }

    const BYTE* m_block;
    size_t m_size;
};

std::vector<std::string> PathParts(const std::string& subBlock) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : subBlock + "\\") {
        if (c != '\\') {
            part.push_back(c);
        } else if (!part.empty()) {
            parts.push_back(part);
            part.clear();
        }
    }
    return parts;
}

// The narrow call's conversion: the UTF-16 value into the system code page, at the
// same position in the area behind the block; false when that leaves the buffer.
bool ConvertText(const BlockWalk& walk, BYTE* block, size_t node, size_t value, LPVOID* buffer,
                 PUINT length) {
    const size_t rootLength = GetU16(block);
    const size_t chars = GetU16(block + node + 2);
    if (!walk.Inside(value, 2 * chars)) {
        return false;
    }
    if (value > rootLength) {  // the room left for the conversion would be "negative"
        layer::BadCall("VerQueryValueA", "a value behind the root's end");
        return false;
    }
    std::wstring wide;
    for (size_t i = 0; i < chars; ++i) {
        wide.push_back(static_cast<wchar_t>(GetU16(block + value + 2 * i)));
    }
    const std::string narrow = layer::Utf8ToCodePage(layer::WideToUtf8(wide));
    const size_t target = rootLength + 4 + value;
    const size_t room = rootLength - value;
    // A text that does not fit is not converted, though the real call may have written
    // up to the room it was given.
    const size_t written = narrow.size() <= room ? narrow.size() : 0;
    if (!walk.Inside(target, narrow.size() <= room ? narrow.size() : room)) {
        return false;
    }
    std::memcpy(block + target, narrow.data(), written);
    *buffer = block + target;
    if (length != nullptr) {
        *length = static_cast<UINT>(written);
    }
    return true;
}

}  // namespace

namespace layer {

std::string FileBytes(const File& file) {
    return file.version.present ? BuildImage(file).bytes : file.content;
}

uint64_t VersionBlockOffset(const File& file) {
    return file.version.present ? BuildImage(file).dataOffset : 0;
}

}  // namespace layer

BOOL VerQueryValueA(LPCVOID pBlock, LPCSTR lpSubBlock, LPVOID* lplpBuffer, PUINT puLen) {
    DWORD error = 0;
    if (layer::ShouldFail("VerQueryValueA", &error)) {
        layer::FailWith(error);
        return FALSE;
    }
    if (pBlock == nullptr || lpSubBlock == nullptr || lplpBuffer == nullptr) {
        layer::BadCall("VerQueryValueA", "no block, sub-block or answer");
        layer::FailWith(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    BYTE* block = static_cast<BYTE*>(const_cast<void*>(pBlock));
    const size_t rootLength = GetU16(block);
    const std::map<std::string, DWORD> queryErrors = QueryErrorsOf(block, rootLength);
    auto scripted = queryErrors.find(lpSubBlock);
    if (scripted != queryErrors.end()) {
        layer::FailWith(scripted->second);
        return FALSE;
    }
    // The call takes the buffer to be as large as the system's size query makes it: the
    // block, four bytes, and room for the converted texts (the sanitizers watch the rest).
    const BlockWalk walk(block, 2 * rootLength + 4);
    size_t node = 0;
    for (const std::string& part : PathParts(lpSubBlock)) {
        size_t child = 0;
        if (!walk.FindChild(node, part, &child)) {
            layer::FailWith(ERROR_NOACCESS);
            return FALSE;
        }
        if (child == 0) {
            layer::FailWith(ERROR_RESOURCE_TYPE_NOT_FOUND);
            return FALSE;
        }
        node = child;
    }
    size_t value = 0;
    if (!walk.ValueOf(node, &value)) {
        layer::FailWith(ERROR_NOACCESS);
        return FALSE;
    }
    if (walk.IsText(node)) {
        if (!ConvertText(walk, block, node, value, lplpBuffer, puLen)) {
            layer::FailWith(ERROR_NOACCESS);
            return FALSE;
        }
        return TRUE;
    }
    *lplpBuffer = block + value;
    if (puLen != nullptr) {
        *puLen = GetU16(block + node + 2);
    }
    return TRUE;
}
