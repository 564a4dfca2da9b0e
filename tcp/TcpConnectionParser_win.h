#pragma once

#include "module/TcpConnectParserInterface.h"

// Summarises the IPv4 TCP table per owning process.
class CTcpConnectionParserWin : public CTcpConnectParserInterface {
public:
    CTcpConnectionParserWin() = default;
    ~CTcpConnectionParserWin() override = default;

    bool Parse(const ryn::ProcessIdMap& processes) override;
    TcpConnectInfo GetConnectInfo(int64_t pid) override;
};
