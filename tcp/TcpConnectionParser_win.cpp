#include "tcp/TcpConnectionParser_win.h"

#include "host/RynUtil.h"
#include "module/LogRecords.h"

namespace {

constexpr DWORD kNoticeAboveRows = 5000;
// Give the processor back now and then on machines with large tables.
constexpr int kRowsBeforePause = 2000;
constexpr uint64_t kPauseMilliseconds = 50;

}  // namespace

CTcpConnectParserInterface* CreateTcpConnectParser() { return new CTcpConnectionParserWin; }

// Every row is summarised whatever processes the pass saw, so the map is unused.
bool CTcpConnectionParserWin::Parse(const ryn::ProcessIdMap&) {
    m_summaries.clear();
    m_table.reset();  // the last snapshot goes before the next is taken: never two at once
    m_table.reset(GetTcpTable());
    if (!m_table.valid()) {
        return false;
    }
    AddRows(*m_table.get());
    return true;
}

TcpConnectInfo CTcpConnectionParserWin::GetConnectInfo(int64_t pid) {
    auto it = m_summaries.find(pid);
    return it != m_summaries.end() ? it->second : TcpConnectInfo();
}

void CTcpConnectionParserWin::AddRows(const MIB_TCPTABLE_OWNER_PID& table) {
    if (table.dwNumEntries > kNoticeAboveRows) {
        WriteLog<log_records::kLargeTcpTable>(static_cast<int>(kNoticeAboveRows));
    }
    const MIB_TCPROW_OWNER_PID* rows = table.table;  // dwNumEntries rows follow the count
    int rowsSincePause = 0;
    for (DWORD i = 0; i < table.dwNumEntries; ++i) {
        const MIB_TCPROW_OWNER_PID& row = rows[i];
        if (row.dwState == MIB_TCP_STATE_LISTEN) {
            AddListenRow(row);
        } else if (row.dwState == MIB_TCP_STATE_ESTAB) {
            AddEstablishedRow(row);
        }
        if (++rowsSincePause > kRowsBeforePause) {
            ryn::CToolUtil::msleep(kPauseMilliseconds);
            rowsSincePause = 0;
        }
    }
}

// Rows come from the snapshot and are never missing; a row on local port 65535
// is a real row and is counted.
void CTcpConnectionParserWin::AddListenRow(const MIB_TCPROW_OWNER_PID& row) {
    const int64_t pid = GetRowOwningPid(&row);
    m_summaries[pid].listen_ports.insert(GetRowLocalPort(&row));
}

void CTcpConnectionParserWin::AddEstablishedRow(const MIB_TCPROW_OWNER_PID& row) {
    TcpConnectInfo& info = m_summaries[GetRowOwningPid(&row)];
    info.establish_ports.insert(GetRowLocalPort(&row));
    ++info.connect_count;
}
