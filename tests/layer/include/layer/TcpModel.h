#pragma once

#include <cstdint>
#include <map>
#include <vector>

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

// One GetExtendedTcpTable call as the layer saw it.
struct TcpTableCall {
    bool nullBuffer = false;
    DWORD sizeIn = 0;   // *pdwSize on entry
    DWORD sizeOut = 0;  // *pdwSize on return
    DWORD result = 0;
    BOOL order = 0;
    ULONG family = 0;
    int tableClass = 0;
    ULONG reserved = 0;
};

// How the TCP table answers beyond its rows. Errors for a given call come from
// layer::FailCall("GetExtendedTcpTable", n, code); CallCount counts the calls.
struct TcpTableScript {
    // After the nth call (1-based) has answered, the machine's rows become these:
    // connections that open or close between a sizing call and the next call.
    std::map<int, std::vector<TcpRow>> rowsAfterCall;
    // Filled by the layer: every call in order.
    std::vector<TcpTableCall> calls;
};

}  // namespace layer
