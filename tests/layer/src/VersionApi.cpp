// version.dll of the scripted machine: GetFileVersionInfoSizeA, GetFileVersionInfoA and
// VerQueryValueA over layer::File::version.
//
// The block that GetFileVersionInfoA copies out is self-describing, so VerQueryValueA
// hands out pointers into the caller's buffer as the real call does:
//   "KVER" u32 totalLength, then entries of
//   u32 keyLength, key, u32 error, u32 valueLength, value (value 4-byte aligned).

#include <winver.h>

#include <cstdio>
#include <cstring>
#include <strings.h>

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

const char kMagic[4] = {'K', 'V', 'E', 'R'};
constexpr size_t kHeaderBytes = 8;

void PutU32(std::string& out, uint32_t value) {
    out.append(reinterpret_cast<const char*>(&value), sizeof(value));
}

uint32_t GetU32(const BYTE* at) {
    uint32_t value = 0;
    std::memcpy(&value, at, sizeof(value));
    return value;
}

void PutEntry(std::string& out, const std::string& key, DWORD error, const std::string& value) {
    PutU32(out, static_cast<uint32_t>(key.size()));
    out += key;
    PutU32(out, error);
    PutU32(out, static_cast<uint32_t>(value.size()));
    out.append((4 - out.size() % 4) % 4, '\0');
    out += value;
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

std::string BuildBlock(const layer::VersionResource& version) {
    std::string entries;
    const auto errorOf = [&version](const std::string& key) -> DWORD {
        auto it = version.queryErrors.find(key);
        return it == version.queryErrors.end() ? 0 : it->second;
    };
    PutEntry(entries, layer::kTranslationPath, errorOf(layer::kTranslationPath),
             TranslationValue(version));
    for (const auto& table : version.stringTables) {
        for (const auto& value : table.second) {
            const std::string key = "\\StringFileInfo\\" + table.first + "\\" + value.first;
            // The narrow call hands strings out in the system code page.
            PutEntry(entries, key, errorOf(key), layer::Utf8ToCodePage(value.second) + '\0');
        }
    }
    for (const auto& error : version.queryErrors) {
        PutEntry(entries, error.first, error.second, std::string());
    }
    std::string block(kMagic, sizeof(kMagic));
    PutU32(block, static_cast<uint32_t>(kHeaderBytes + entries.size()));
    return block + entries;
}

// The file behind a system-code-page path, with its bytes counted as read; null (and the
// last error set) when it cannot be read.
layer::File* ReadFile(LPCSTR codePagePath) {
    layer::File* file =
        codePagePath ? layer::machine().FindFile(layer::CodePageToUtf8(codePagePath)) : nullptr;
    if (file == nullptr || file->isDirectory) {
        layer::FailWith(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    if (file->openError != 0) {
        layer::FailWith(file->openError);
        return nullptr;
    }
    ++file->contentReads;
    return file;
}

bool Refused(const char* call, const layer::File* file, DWORD modelError) {
    DWORD error = 0;
    if (layer::ShouldFail(call, &error)) {
        layer::FailWith(error);
        return true;
    }
    if (!file->version.present) {
        layer::FailWith(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return true;
    }
    if (modelError != 0) {
        layer::FailWith(modelError);
        return true;
    }
    return false;
}

}  // namespace

DWORD GetFileVersionInfoSizeA(LPCSTR lptstrFilename, LPDWORD lpdwHandle) {
    if (lpdwHandle != nullptr) {
        *lpdwHandle = 0;
    }
    layer::File* file = ReadFile(lptstrFilename);
    if (file == nullptr || Refused("GetFileVersionInfoSizeA", file, file->version.sizeError)) {
        return 0;
    }
    return static_cast<DWORD>(BuildBlock(file->version).size());
}

BOOL GetFileVersionInfoA(LPCSTR lptstrFilename, DWORD, DWORD dwLen, LPVOID lpData) {
    layer::File* file = ReadFile(lptstrFilename);
    if (file == nullptr || Refused("GetFileVersionInfoA", file, file->version.readError)) {
        return FALSE;
    }
    const std::string block = BuildBlock(file->version);
    if (lpData == nullptr || dwLen < block.size()) {
        layer::FailWith(lpData == nullptr ? ERROR_INVALID_PARAMETER : ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(lpData, block.data(), block.size());
    return TRUE;
}

BOOL VerQueryValueA(LPCVOID pBlock, LPCSTR lpSubBlock, LPVOID* lplpBuffer, PUINT puLen) {
    DWORD error = 0;
    if (layer::ShouldFail("VerQueryValueA", &error)) {
        layer::FailWith(error);
        return FALSE;
    }
    const BYTE* block = static_cast<const BYTE*>(pBlock);
    if (block == nullptr || lpSubBlock == nullptr || lplpBuffer == nullptr ||
        std::memcmp(block, kMagic, sizeof(kMagic)) != 0) {
        layer::FailWith(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const size_t total = GetU32(block + 4);
    for (size_t at = kHeaderBytes; at + 4 <= total;) {
        const size_t keyLength = GetU32(block + at);
        const std::string key(reinterpret_cast<const char*>(block + at + 4), keyLength);
        at += 4 + keyLength;
        const DWORD entryError = GetU32(block + at);
        const size_t valueLength = GetU32(block + at + 4);
        at += 8;
        at += (4 - at % 4) % 4;
        // Sub-block names match regardless of letter case, as on Windows.
        if (strcasecmp(key.c_str(), lpSubBlock) == 0) {
            if (entryError != 0) {
                layer::FailWith(entryError);
                return FALSE;
            }
            *lplpBuffer = const_cast<BYTE*>(block + at);
            if (puLen != nullptr) {
                *puLen = static_cast<UINT>(valueLength);
            }
            return TRUE;
        }
        at += valueLength;
    }
    layer::FailWith(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return FALSE;
}
