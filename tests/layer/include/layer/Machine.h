#pragma once

// The scripted machine behind the native build's Win32 calls and agent-library
// doubles. A test sets it up, runs module code, then inspects what happened.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "layer/WinTypes.h"
#include "layer/FileModel.h"
#include "layer/ProcessModel.h"
#include "layer/TcpModel.h"
#include "layer/Wow64Model.h"

namespace layer {

// 100-ns units between 1601-01-01 and 1970-01-01.
constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ULL;

constexpr uint64_t FileTimeFromUnix(int64_t seconds) {
    return static_cast<uint64_t>(seconds) * 10000000ULL + kUnixEpochAsFileTime;
}

struct Machine {
    std::vector<Process> processes;     // in enumeration / snapshot order
    std::map<std::string, File> files;  // key: UTF-8 path, exact bytes
    std::vector<TcpRow> tcpRows;
    TcpTableScript tcpScript;
    uint64_t systemTime = FileTimeFromUnix(1700000000);  // FILETIME now, UTC
    int64_t timeZoneOffsetSeconds = 0;                   // local = UTC + offset
    uint32_t processorCount = 4;
    Wow64View wow64;  // file-system redirection; off unless a test turns it on

    Process* FindProcess(uint32_t pid);
    File* FindFile(const std::string& utf8Path);
};

Machine& machine();

// Back to an empty machine: no processes, files or rows, the default clock, no
// scripted failures, zeroed counters, empty journal.
void Reset();

// Moves the scripted clock forward.
void AdvanceClock(uint64_t hundredNanoseconds);

// The system code page of the scripted machine is ISO-8859-1, so a conversion to
// or from UTF-8 is visible in the bytes of any non-ASCII text.
std::string Utf8ToCodePage(const std::string& utf8);
std::string CodePageToUtf8(const std::string& narrow);
std::wstring Utf8ToWide(const std::string& utf8);
std::string WideToUtf8(const std::wstring& wide);

}  // namespace layer
