#pragma once

// Rows of the scripted TCP table, for the TCP tests.

#include <iphlpapi.h>

#include <cstdint>
#include <vector>

#include "layer/TcpModel.h"

namespace tcprows {

constexpr DWORD kLoopback = 0x7F000001;  // 127.0.0.1, host order

inline layer::TcpRow Row(DWORD state, uint32_t pid, uint16_t localPort, DWORD localAddr = 0) {
    layer::TcpRow row;
    row.state = state;
    row.pid = pid;
    row.localPort = localPort;
    row.localAddr = localAddr;
    if (state != MIB_TCP_STATE_LISTEN) {
        row.remoteAddr = 0x0A000002;
        row.remotePort = 50000;
    }
    return row;
}

inline layer::TcpRow Listen(uint32_t pid, uint16_t port, DWORD addr = 0) {
    return Row(MIB_TCP_STATE_LISTEN, pid, port, addr);
}

inline layer::TcpRow Established(uint32_t pid, uint16_t port) {
    return Row(MIB_TCP_STATE_ESTAB, pid, port, kLoopback);
}

// count established rows of one pid on distinct ports from 1024 on.
inline std::vector<layer::TcpRow> ManyEstablished(uint32_t pid, int count) {
    std::vector<layer::TcpRow> rows;
    for (int i = 0; i < count; ++i) {
        rows.push_back(Established(pid, static_cast<uint16_t>(1024 + i)));
    }
    return rows;
}

}  // namespace tcprows
