#pragma once

#include <cstdint>
#include <map>

#include "module/TcpConnectParserInterface.h"
#include "tcp/TcpTableHolder.h"

// Summarises the IPv4 TCP table per owning process: listening ports, local ports
// of established connections and their count.
class CTcpConnectionParserWin : public CTcpConnectParserInterface {
  public:
    CTcpConnectionParserWin() = default;
    ~CTcpConnectionParserWin() override = default;
    CTcpConnectionParserWin(const CTcpConnectionParserWin&) = delete;
    CTcpConnectionParserWin& operator=(const CTcpConnectionParserWin&) = delete;

    bool Parse(const ryn::ProcessIdMap& processes) override;
    TcpConnectInfo GetConnectInfo(int64_t pid) override;

  private:
    void AddRows(const MIB_TCPTABLE_OWNER_PID& table);
    void AddListenRow(const MIB_TCPROW_OWNER_PID& row);
    void AddEstablishedRow(const MIB_TCPROW_OWNER_PID& row);

    CTcpTableHolder m_table;  // the last snapshot, held until the next Parse
    std::map<int64_t, TcpConnectInfo> m_summaries;
};
