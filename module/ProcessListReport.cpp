#include "module/ProcessListReport.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "fileprops/FilePropertyCache.h"
#include "fileprops/ProcMd5Cache.h"
#include "host/RynUtil.h"
#include "module/KorvaProcInterfaceImp.h"

namespace {

constexpr int64_t kSystemPid = 4;
const char kTimeFormat[] = "%Y%m%d%H%M%S";

// "SignCompany: <name>", " SignDate: <date>", both, or "".
std::string SignerText(const FilePropertyRecord& record) {
    std::string text;
    if (!record.signCompany.empty()) {
        text += "SignCompany: " + record.signCompany;
    }
    if (!record.signDate.empty()) {
        text += " SignDate: " + record.signDate;
    }
    return text;
}

}  // namespace

CProcessListReport::CProcessListReport(const std::string& cmdIdx, const std::string& triggerType,
                                       int64_t scanTime)
    : m_cmdIdx(cmdIdx), m_triggerType(triggerType), m_scanTime(scanTime) {}

std::string CProcessListReport::Build(const ProcParserList& parsers,
                                      CTcpConnectParserInterface& tcpParser) {
    Allocator& allocator = m_document.GetAllocator();
    m_document.SetObject();
    rapidjson::Value package(rapidjson::kObjectType);
    package.AddMember("total_package", 1, allocator);
    package.AddMember("current_package", 1, allocator);
    m_document.AddMember("package_info", package, allocator);
    AddString(m_document, "cmd_idx", m_cmdIdx);
    AddString(m_document, "trigger_type", m_triggerType);
    AddTime(m_document, "scan_time", m_scanTime);

    rapidjson::Value records(rapidjson::kArrayType);
    for (const LinkedPtr<CProcInfoParserInterface>& parser : parsers) {
        rapidjson::Value record(rapidjson::kObjectType);
        if (AddProcessRecord(*parser, tcpParser, record)) {
            records.PushBack(record, allocator);
        }
    }
    rapidjson::Value system(rapidjson::kObjectType);
    AddSystemRecord(tcpParser, system);
    records.PushBack(system, allocator);
    m_document.AddMember("process", records, allocator);

    rapidjson::StringBuffer text;
    rapidjson::Writer<rapidjson::StringBuffer> writer(text);
    m_document.Accept(writer);  // a writer failure leaves whatever text was written
    return std::string(text.GetString(), text.GetSize());
}

// False, with the record left unused, when the process times are unknown.
bool CProcessListReport::AddProcessRecord(CProcInfoParserInterface& parser,
                                          CTcpConnectParserInterface& tcpParser,
                                          rapidjson::Value& record) {
    AddInt64(record, "pid", parser.GetPid());
    AddInt64(record, "ppid", parser.GetPpid());
    AddString(record, "proc_name", parser.GetProcName());
    AddString(record, "proc_path", parser.GetProcPath());
    AddString(record, "cmd_line", parser.GetCmdLine());
    AddString(record, "user", parser.GetUser());
    int64_t startTime = -1;
    int64_t elapsedTime = -1;
    int64_t cpuTime = -1;
    parser.GetProcTimes(startTime, elapsedTime, cpuTime);
    if (startTime == -1 || elapsedTime == -1 || cpuTime == -1) {
        return false;
    }
    AddTime(record, "start_time", startTime);
    AddInt64(record, "cpu_time", cpuTime);
    AddInt64(record, "elapsed_time", elapsedTime);
    AddTcpMembers(tcpParser.GetConnectInfo(parser.GetPid()), record);
    int64_t modifyTime = 0;
    AddFileMembers(parser, record, &modifyTime);
    AddPropertyMembers(parser.GetProcPath(), modifyTime, record);
    return true;
}

// Size, times and digest of the executable, all four or none.
void CProcessListReport::AddFileMembers(CProcInfoParserInterface& parser, rapidjson::Value& record,
                                        int64_t* modifyTime) {
    int64_t createTime = 0;
    if (!parser.GetExeFileTimes(createTime, *modifyTime)) {
        return;
    }
    AddInt64(record, "file_size", parser.GetExeFileSize());
    AddTime(record, "file_create_time", createTime);
    AddTime(record, "file_modify_time", *modifyTime);
    AddString(
        record, "file_md5",
        CProcMd5Cache::GetInstance()->Get(parser.GetPid(), parser.GetProcPath(), *modifyTime));
}

void CProcessListReport::AddPropertyMembers(const std::string& path, int64_t modifyTime,
                                            rapidjson::Value& record) {
    const LinkedPtr<FilePropertyRecord> properties =
        CFilePropertyCache::GetInstance()->Get(path, modifyTime);
    const FilePropertyRecord none;
    const FilePropertyRecord& shown = properties ? *properties : none;
    AddString(record, "description", shown.description);
    AddString(record, "company", shown.company);
    AddString(record, "app_sign", SignerText(shown));
}

void CProcessListReport::AddSystemRecord(CTcpConnectParserInterface& tcpParser,
                                         rapidjson::Value& record) {
    const std::string empty;
    AddInt64(record, "pid", kSystemPid);
    AddInt64(record, "ppid", -1);
    AddString(record, "proc_name", "System");
    AddString(record, "proc_path", empty);
    AddString(record, "cmd_line", empty);
    AddString(record, "user", "SYSTEM");
    AddString(record, "start_time", empty);
    AddInt64(record, "cpu_time", -1);
    AddInt64(record, "elapsed_time", -1);
    AddString(record, "description", empty);
    AddString(record, "company", empty);
    AddTcpMembers(tcpParser.GetConnectInfo(kSystemPid), record);
    AddInt64(record, "file_size", -1);
    AddString(record, "file_create_time", empty);
    AddString(record, "file_modify_time", empty);
    AddString(record, "file_md5", empty);
    AddString(record, "app_sign", empty);
}

void CProcessListReport::AddTcpMembers(const TcpConnectInfo& tcp, rapidjson::Value& record) {
    AddString(record, "listen_port", CKorvaProcInterfaceImp::FormatPortList(tcp.listen_ports));
    AddString(record, "establish_port",
              CKorvaProcInterfaceImp::FormatPortList(tcp.establish_ports));
    record.AddMember("connect_count", rapidjson::Value(tcp.connect_count),
                     m_document.GetAllocator());
}

// The value is copied with its length, so embedded NULs and any byte survive.
void CProcessListReport::AddString(rapidjson::Value& object, const char* key,
                                   const std::string& value) {
    Allocator& allocator = m_document.GetAllocator();
    rapidjson::Value text(value.data(), static_cast<rapidjson::SizeType>(value.size()), allocator);
    object.AddMember(rapidjson::StringRef(key), text, allocator);
}

void CProcessListReport::AddTime(rapidjson::Value& object, const char* key, int64_t seconds) {
    AddString(object, key, ryn::CTimeUtil(seconds).ToString(kTimeFormat));
}

void CProcessListReport::AddInt64(rapidjson::Value& object, const char* key, int64_t value) {
    object.AddMember(rapidjson::StringRef(key), rapidjson::Value(value), m_document.GetAllocator());
}
