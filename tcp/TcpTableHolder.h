#pragma once

// First: it includes winsock2.h, which must come before windows.h.
#include "tcp/WinTcpTableUtil.h"
#include "module/WinOwner.h"

// A TCP table snapshot from GetTcpTable, a block of the process heap.
struct TcpTableTraits : NullMeansNone<PMIB_TCPTABLE_OWNER_PID> {
    static void Free(PMIB_TCPTABLE_OWNER_PID table) { FreeTcpTable(table); }
};

using CTcpTableHolder = CWinOwner<TcpTableTraits>;
