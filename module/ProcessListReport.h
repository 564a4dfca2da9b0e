#pragma once

#include <cstdint>
#include <string>

#include <rapidjson/document.h>

#include "module/FilePropertyRecord.h"
#include "module/ProcParserList.h"
#include "module/TcpConnectParserInterface.h"

// The JSON text of one "T_PROCESS_LIST_INFO_RSP" message: the request texts, the
// scan time, one record per table entry with known process times, and the fixed
// System record last. Consults the digest and file property caches on the way.
class CProcessListReport {
  public:
    CProcessListReport(const std::string& cmdIdx, const std::string& triggerType, int64_t scanTime);

    std::string Build(const ProcParserList& parsers, CTcpConnectParserInterface& tcpParser);

  private:
    typedef rapidjson::Document::AllocatorType Allocator;

    bool AddProcessRecord(CProcInfoParserInterface& parser, CTcpConnectParserInterface& tcpParser,
                          rapidjson::Value& record);
    void AddFileMembers(CProcInfoParserInterface& parser, rapidjson::Value& record,
                        int64_t* modifyTime);
    void AddPropertyMembers(const std::string& path, int64_t modifyTime, rapidjson::Value& record);
    void AddSystemRecord(CTcpConnectParserInterface& tcpParser, rapidjson::Value& record);
    void AddTcpMembers(const TcpConnectInfo& tcp, rapidjson::Value& record);
    void AddString(rapidjson::Value& object, const char* key, const std::string& value);
    void AddTime(rapidjson::Value& object, const char* key, int64_t seconds);
    void AddInt64(rapidjson::Value& object, const char* key, int64_t value);

    const std::string& m_cmdIdx;
    const std::string& m_triggerType;
    int64_t m_scanTime;
    rapidjson::Document m_document;
};
