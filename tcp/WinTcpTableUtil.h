#pragma once

// Snapshot of the system's IPv4 TCP table with the owning pid of every row.

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstdint>

// A new table on the process heap, or null after a logged failure. The caller
// owns it and releases it with FreeTcpTable.
PMIB_TCPTABLE_OWNER_PID GetTcpTable();

// Releases the table if there is one and leaves the pointer null.
void FreeTcpTable(PMIB_TCPTABLE_OWNER_PID& table);

// Local port in host byte order; 0xFFFF for a null row.
uint16_t GetRowLocalPort(const MIB_TCPROW_OWNER_PID* row);

// Owning pid zero-extended; -1 for a null row.
int64_t GetRowOwningPid(const MIB_TCPROW_OWNER_PID* row);
