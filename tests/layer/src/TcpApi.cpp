// iphlpapi's TCP table and winsock's byte order helpers over the scripted machine.

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <algorithm>
#include <cstring>
#include <tuple>
#include <vector>

#include "LayerState.h"
#include "layer/Machine.h"

namespace {

constexpr DWORD kErrorNotSupported = 50;  // ERROR_NOT_SUPPORTED
// Windows leaves the upper half of a port's DWORD undefined; fill it with noise
// so that a reader that forgets to mask it shows.
constexpr DWORD kPortHighBitsNoise = 0xA5A50000u;

bool ListenerClass(TCP_TABLE_CLASS tableClass) {
    return tableClass == TCP_TABLE_OWNER_PID_LISTENER;
}

bool ConnectionsClass(TCP_TABLE_CLASS tableClass) {
    return tableClass == TCP_TABLE_OWNER_PID_CONNECTIONS;
}

std::vector<layer::TcpRow> SelectRows(TCP_TABLE_CLASS tableClass, BOOL order) {
    std::vector<layer::TcpRow> rows;
    for (const layer::TcpRow& row : layer::machine().tcpRows) {
        const bool listening = row.state == MIB_TCP_STATE_LISTEN;
        if ((ListenerClass(tableClass) && !listening) ||
            (ConnectionsClass(tableClass) && listening)) {
            continue;
        }
        rows.push_back(row);
    }
    if (order) {
        std::stable_sort(rows.begin(), rows.end(),
                         [](const layer::TcpRow& a, const layer::TcpRow& b) {
                             return std::tie(a.localAddr, a.localPort, a.remoteAddr, a.remotePort) <
                                    std::tie(b.localAddr, b.localPort, b.remoteAddr, b.remotePort);
                         });
    }
    return rows;
}

MIB_TCPROW_OWNER_PID ToWire(const layer::TcpRow& row) {
    MIB_TCPROW_OWNER_PID wire;
    wire.dwState = row.state;
    wire.dwLocalAddr = htonl(row.localAddr);
    wire.dwLocalPort = kPortHighBitsNoise | htons(row.localPort);
    wire.dwRemoteAddr = htonl(row.remoteAddr);
    wire.dwRemotePort = kPortHighBitsNoise | htons(row.remotePort);
    wire.dwOwningPid = row.pid;
    return wire;
}

DWORD CheckArguments(PDWORD size, ULONG family, TCP_TABLE_CLASS tableClass) {
    if (size == nullptr || (family != AF_INET && family != AF_INET6) ||
        tableClass < TCP_TABLE_BASIC_LISTENER || tableClass > TCP_TABLE_OWNER_MODULE_ALL) {
        return ERROR_INVALID_PARAMETER;
    }
    const bool ownerPid = tableClass == TCP_TABLE_OWNER_PID_LISTENER ||
                          tableClass == TCP_TABLE_OWNER_PID_CONNECTIONS ||
                          tableClass == TCP_TABLE_OWNER_PID_ALL;
    return ownerPid ? static_cast<DWORD>(NO_ERROR)
                    : kErrorNotSupported;  // only owner-pid rows are modelled
}

// Fills the table or reports the size it needs. The machine has IPv4 rows only,
// so the IPv6 table is empty (its count has the same place and width).
DWORD FillTable(PVOID buffer, PDWORD size, BOOL order, ULONG family, TCP_TABLE_CLASS tableClass) {
    const std::vector<layer::TcpRow> rows =
        family == AF_INET ? SelectRows(tableClass, order) : std::vector<layer::TcpRow>();
    const DWORD needed = static_cast<DWORD>(offsetof(MIB_TCPTABLE_OWNER_PID, table) +
                                            rows.size() * sizeof(MIB_TCPROW_OWNER_PID));
    if (buffer == nullptr || *size < needed) {
        *size = needed;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    PMIB_TCPTABLE_OWNER_PID table = static_cast<PMIB_TCPTABLE_OWNER_PID>(buffer);
    table->dwNumEntries = static_cast<DWORD>(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        const MIB_TCPROW_OWNER_PID wire = ToWire(rows[i]);
        std::memcpy(&table->table[i], &wire, sizeof(wire));  // rows past ANY_SIZE
    }
    return NO_ERROR;
}

}  // namespace

DWORD GetExtendedTcpTable(PVOID pTcpTable, PDWORD pdwSize, BOOL bOrder, ULONG ulAf,
                          TCP_TABLE_CLASS TableClass, ULONG Reserved) {
    layer::TcpTableScript& script = layer::machine().tcpScript;
    layer::TcpTableCall call;
    call.nullBuffer = pTcpTable == nullptr;
    call.sizeIn = pdwSize != nullptr ? *pdwSize : 0;
    call.order = bOrder;
    call.family = ulAf;
    call.tableClass = static_cast<int>(TableClass);
    call.reserved = Reserved;

    DWORD result = 0;
    if (!layer::ShouldFail("GetExtendedTcpTable", &result)) {
        result = CheckArguments(pdwSize, ulAf, TableClass);
        if (result == NO_ERROR) {
            result = FillTable(pTcpTable, pdwSize, bOrder, ulAf, TableClass);
        }
    }
    call.sizeOut = pdwSize != nullptr ? *pdwSize : 0;
    call.result = result;
    script.calls.push_back(call);

    auto change = script.rowsAfterCall.find(static_cast<int>(script.calls.size()));
    if (change != script.rowsAfterCall.end()) {
        layer::machine().tcpRows = change->second;
    }
    return result;
}

// Windows runs little-endian only: network order is the swapped order.
u_short htons(u_short hostshort) {
    return static_cast<u_short>(((hostshort & 0xFFu) << 8) | (hostshort >> 8));
}

u_short ntohs(u_short netshort) { return htons(netshort); }

ULONG htonl(ULONG hostlong) {
    return ((hostlong & 0xFFu) << 24) | ((hostlong & 0xFF00u) << 8) | ((hostlong >> 8) & 0xFF00u) |
           (hostlong >> 24);
}

ULONG ntohl(ULONG netlong) { return htonl(netlong); }
