#pragma once

#include <cstdint>
#include <string>

#include <rapidjson/document.h>

#include "module/FilePropertyRecord.h"
#include "module/ProcParserList.h"
#include "module/ReportShape.h"
#include "module/TcpConnectParserInterface.h"

// The JSON text of one "T_PROCESS_LIST_INFO_RSP" message: the request texts, the
// scan time, one record per table entry with known process times, and the fixed
// System record last, named and ordered as module/ReportShape.h states. Consults
// the digest and file property caches on the way.
class CProcessListReport {
  public:
    CProcessListReport(const std::string& cmdIdx, const std::string& triggerType, int64_t scanTime);

    std::string Build(const ProcParserList& parsers, CTcpConnectParserInterface& tcpParser);

  private:
    // Records are built as SAX events into a document sharing the report's pool:
    // each record's member array then has exactly its size.
    typedef rapidjson::Document Handler;
    typedef reportshape::Member Shape[reportshape::kRecordMembers];
    // One record being written: it takes its member names from its shape in order, and
    // counts them, so the object is closed with exactly the number it holds.
    class Record;

    bool EmitProcessRecord(CProcInfoParserInterface& parser, CTcpConnectParserInterface& tcpParser,
                           Record& out);
    void EmitFileMembers(CProcInfoParserInterface& parser, int64_t* modifyTime, Record& out);
    void EmitPropertyMembers(const std::string& path, int64_t modifyTime, Record& out);
    bool EmitSystemRecord(CTcpConnectParserInterface& tcpParser, Record& out);
    static void EmitTcpMembers(const TcpConnectInfo& tcp, Record& out);

    template <typename Emit>
    bool AppendRecord(rapidjson::Value& records, const Shape& shape, Emit emit);
    std::string WriteAndRelease();

    const std::string& m_cmdIdx;
    const std::string& m_triggerType;
    int64_t m_scanTime;
    rapidjson::MemoryPoolAllocator<> m_pool;
    rapidjson::Document m_document;
};
