#pragma once

#include <cstdint>

#include "layer/WinTypes.h"

namespace layer {

// One row of the IPv4 TCP table, values in host byte order.
struct TcpRow {
    DWORD state = 0;
    DWORD localAddr = 0;
    uint16_t localPort = 0;
    DWORD remoteAddr = 0;
    uint16_t remotePort = 0;
    uint32_t pid = 0;
};

// How the TCP table answers beyond its rows (filled in by the TCP tests).
struct TcpTableScript {};

}  // namespace layer
