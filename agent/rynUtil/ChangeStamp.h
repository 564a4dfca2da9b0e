#pragma once

#include <windows.h>

#include <string>

namespace ryn {

// The change journal's stamp of an open file, as bytes: the journal's id, the file's
// reference number and its update sequence number. Every write, every change of its
// times or name gives the file a new USN, and no writer can set one back; a file put in
// another's place has another reference number. Times, sizes and file indexes, by
// contrast, a writer can restore. "" where there is no such stamp: no active journal on
// the volume, a file without a USN yet, or a failed query.
std::string ChangeStampOf(HANDLE file);

}  // namespace ryn
