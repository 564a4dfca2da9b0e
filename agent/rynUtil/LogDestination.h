#pragma once

// Agent-only: where rynUtil's logger writes. The module never calls this; the
// agent's host decides it once at start-up.

#include <string>

#include "host/RynApi.h"

namespace ryn {

// Appends every later record to the file (UTF-8 path, created when missing).
// An empty path puts the records back on stderr, the default. False when the file
// cannot be opened; the destination is then unchanged.
RYN_API bool SetLogFile(const std::string& utf8Path);

}  // namespace ryn
