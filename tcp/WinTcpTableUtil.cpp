#include "tcp/WinTcpTableUtil.h"

#include "host/RynUtil.h"
#include "module/LogRecords.h"

namespace {

// A table with one row: a single call suffices on a machine with at most one row.
constexpr DWORD kFirstTableBytes = sizeof(MIB_TCPTABLE_OWNER_PID);
constexpr uint16_t kMissingRowPort = 0xFFFF;

void LogTableError(DWORD error) { WriteLog<log_records::kTcpTableFailed>(static_cast<int>(error)); }

PMIB_TCPTABLE_OWNER_PID AllocTable(DWORD bytes) {
    return static_cast<PMIB_TCPTABLE_OWNER_PID>(HeapAlloc(GetProcessHeap(), 0, bytes));
}

DWORD ReadTable(PMIB_TCPTABLE_OWNER_PID table, DWORD* size) {
    return GetExtendedTcpTable(table, size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_ALL, 0);
}

}  // namespace

PMIB_TCPTABLE_OWNER_PID GetTcpTable() {
    DWORD size = kFirstTableBytes;
    PMIB_TCPTABLE_OWNER_PID table = AllocTable(size);
    DWORD result = table != nullptr ? ReadTable(table, &size) : ERROR_NOT_ENOUGH_MEMORY;
    if (result == ERROR_INSUFFICIENT_BUFFER) {
        // One resize to the reported size; a table that grew meanwhile fails this snapshot.
        FreeTcpTable(table);
        table = AllocTable(size);
        result = table != nullptr ? ReadTable(table, &size) : ERROR_NOT_ENOUGH_MEMORY;
    }
    if (result != NO_ERROR) {
        LogTableError(result);
        FreeTcpTable(table);
    }
    return table;
}

void FreeTcpTable(PMIB_TCPTABLE_OWNER_PID& table) {
    if (table != nullptr) {
        HeapFree(GetProcessHeap(), 0, table);
    }
    table = nullptr;
}

uint16_t GetRowLocalPort(const MIB_TCPROW_OWNER_PID* row) {
    if (row == nullptr) {
        return kMissingRowPort;
    }
    return ntohs(static_cast<u_short>(row->dwLocalPort & 0xFFFFu));
}

int64_t GetRowOwningPid(const MIB_TCPROW_OWNER_PID* row) {
    if (row == nullptr) {
        return -1;
    }
    return static_cast<int64_t>(static_cast<uint64_t>(row->dwOwningPid));
}
