#include "tcp/TcpConnectionParser_win.h"

// The TCP table is not read yet: no table, empty summaries.

CTcpConnectParserInterface* CreateTcpConnectParser() { return new CTcpConnectionParserWin; }

bool CTcpConnectionParserWin::Parse(const ryn::ProcessIdMap&) { return false; }

TcpConnectInfo CTcpConnectionParserWin::GetConnectInfo(int64_t) { return TcpConnectInfo(); }
