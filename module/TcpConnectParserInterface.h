#pragma once

#include <cstdint>
#include <set>

#include "host/RynUtil.h"

// TCP summary of one process: local ports in host byte order.
struct TcpConnectInfo {
    std::set<uint16_t> listen_ports;
    std::set<uint16_t> establish_ports;
    int32_t connect_count = 0;  // established rows, repeated ports included
};

class CTcpConnectParserInterface {
  public:
    virtual ~CTcpConnectParserInterface() = default;

    // Reads the TCP table once; false when no table could be read. Replaces
    // every summary of an earlier Parse.
    virtual bool Parse(const ryn::ProcessIdMap& processes) = 0;
    // A copy of the process's summary, or an empty one.
    virtual TcpConnectInfo GetConnectInfo(int64_t pid) = 0;
};

// A new parser with no table; the caller owns it.
CTcpConnectParserInterface* CreateTcpConnectParser();
