#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "module/FilePropertyRecord.h"

// FileDescription and CompanyName of the first translation of an executable's version
// resource: the file is read through the wide version calls by its exact path, the
// values through the narrow query. Every size and length the resource
// claims is checked against the file and the buffer that hold it before the system is
// asked to copy or walk it; a resource that fails a check is a failed read.
class CVersionInfoReader {
  public:
    // Fills record.description and record.company (UTF-8), or leaves them empty; every
    // failure but a missing resource or a missing company is logged.
    static void Read(const std::string& utf8Path, FilePropertyRecord& record);

  private:
    CVersionInfoReader() = default;

    // Reads and checks the resource; false when there is none (silently) or it cannot be
    // used (logged).
    bool Load(const std::wstring& path);
    bool Copy(const std::wstring& path, DWORD size);
    // The value of a sub-block inside the buffer, or null with the failure's code in *error.
    const BYTE* Query(const char* subBlock, UINT* length, DWORD* error) const;
    const BYTE* QueryString(WORD language, WORD codePage, const char* name, DWORD* error) const;
    bool FirstTranslation(WORD* language, WORD* codePage, DWORD* error) const;
    // A text value as zero-terminated, never read past the buffer.
    std::string Text(const BYTE* value) const;

    std::vector<BYTE> m_block;  // the size the system asked for, and a zero behind it
};
