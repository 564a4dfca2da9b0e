#pragma once

#include <cstdint>
#include <string>

#include "layer/WinTypes.h"

namespace layer {

// One process of the scripted machine. Texts are UTF-8; the calls that answer in
// the system code page convert them.
struct Process {
    uint32_t pid = 0;
    uint32_t ppid = 0;
    std::string imagePath;
    std::string cmdLine;
    std::string user = "alice";
    std::string domain = "WORKGROUP";
    uint64_t creationTime = 0;  // FILETIME counts (100 ns)
    uint64_t kernelTime = 0;
    uint64_t userTime = 0;
    uint64_t readBytes = 0;
    uint64_t writeBytes = 0;
    uint64_t workingSetBytes = 0;
    DWORD openError = 0;     // OpenProcess fails with this code when not 0
    bool enumerated = true;  // listed by the utility library's EnumProcesses
    bool inSnapshot = true;  // listed by the toolhelp snapshot
};

}  // namespace layer
