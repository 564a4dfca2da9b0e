#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "module/FilePropertyRecord.h"

// FileDescription and CompanyName of the first translation of an executable's version
// resource. The module takes the block from the file itself and checks every size and
// length it claims; the system's narrow query only interprets that checked block in the
// module's buffer. A resource that fails a check is a failed read.
class CVersionInfoReader {
  public:
    // Fills record.description and record.company (UTF-8), or leaves them empty; every
    // failure but a missing resource or a missing company is logged.
    static void Read(const std::string& utf8Path, FilePropertyRecord& record);

  private:
    CVersionInfoReader() = default;

    // Reads and checks the resource; false when there is none (silently) or it cannot be
    // used (logged).
    bool Load(const std::string& utf8Path);
    bool Copy(HANDLE file, uint64_t offset, uint32_t size);
    // The value of a sub-block inside the buffer, or null with the failure's code in *error.
    const BYTE* Query(const char* subBlock, UINT* length, DWORD* error) const;
    const BYTE* QueryString(WORD language, WORD codePage, const char* name, DWORD* error) const;
    bool FirstTranslation(WORD* language, WORD* codePage, DWORD* error) const;
    // A text value as zero-terminated, never read past the buffer.
    std::string Text(const BYTE* value) const;

    std::vector<BYTE> m_block;  // the size the system's query would ask for, and a zero
};
