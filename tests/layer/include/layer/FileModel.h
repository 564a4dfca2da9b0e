#pragma once

#include <cstdint>
#include <string>

#include "layer/WinTypes.h"

namespace layer {

// Version resource of a file (filled in by the file-properties tests).
struct VersionResource {};

// Embedded Authenticode signature of a file (filled in by the signer tests).
struct Signature {};

struct File {
    std::string content;
    uint64_t creationTime = 0;  // FILETIME counts (100 ns)
    uint64_t lastWriteTime = 0;
    bool isDirectory = false;
    DWORD openError = 0;  // opening fails with this code when not 0
    VersionResource version;
    Signature signature;
    int contentReads = 0;  // how often the file's bytes were read
};

}  // namespace layer
