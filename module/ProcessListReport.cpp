#include "module/ProcessListReport.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "fileprops/FilePropertyCache.h"
#include "fileprops/ProcMd5Cache.h"
#include "host/RynUtil.h"
#include "module/KorvaProcInterfaceImp.h"

namespace {

constexpr int64_t kSystemPid = 4;
constexpr rapidjson::SizeType kRecordMembers = 19;
constexpr rapidjson::SizeType kFileMembers = 4;
// Small pool chunks keep a short list's tree close to its real size.
constexpr size_t kPoolChunkBytes = 16 * 1024;
const char kTimeFormat[] = "%Y%m%d%H%M%S";

typedef rapidjson::Document Handler;

void Key(Handler& out, const char* key) {
    out.Key(key, static_cast<rapidjson::SizeType>(std::char_traits<char>::length(key)), false);
}

// Copies the text with its length, so embedded NULs and any byte survive.
void String(Handler& out, const char* key, const std::string& value) {
    Key(out, key);
    out.String(value.data(), static_cast<rapidjson::SizeType>(value.size()), true);
}

// For the parser's own cached texts, which outlive the report: no copy.
void StringRef(Handler& out, const char* key, const std::string& value) {
    Key(out, key);
    out.String(value.data(), static_cast<rapidjson::SizeType>(value.size()), false);
}

void Int64(Handler& out, const char* key, int64_t value) {
    Key(out, key);
    out.Int64(value);
}

void Time(Handler& out, const char* key, int64_t seconds) {
    String(out, key, ryn::CTimeUtil(seconds).ToString(kTimeFormat));
}

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
    : m_cmdIdx(cmdIdx),
      m_triggerType(triggerType),
      m_scanTime(scanTime),
      m_pool(kPoolChunkBytes),
      m_document(&m_pool) {}

std::string CProcessListReport::Build(const ProcParserList& parsers,
                                      CTcpConnectParserInterface& tcpParser) {
    rapidjson::Document::AllocatorType& allocator = m_document.GetAllocator();
    m_document.SetObject();
    rapidjson::Value package(rapidjson::kObjectType);
    package.AddMember("total_package", 1, allocator);
    package.AddMember("current_package", 1, allocator);
    m_document.AddMember("package_info", package, allocator);
    const std::string scanTime = ryn::CTimeUtil(m_scanTime).ToString(kTimeFormat);
    for (const auto& member :
         {std::make_pair("cmd_idx", &m_cmdIdx), std::make_pair("trigger_type", &m_triggerType),
          std::make_pair("scan_time", &scanTime)}) {
        rapidjson::Value text(member.second->data(),
                              static_cast<rapidjson::SizeType>(member.second->size()), allocator);
        m_document.AddMember(rapidjson::StringRef(member.first), text, allocator);
    }

    rapidjson::Value records(rapidjson::kArrayType);
    for (const LinkedPtr<CProcInfoParserInterface>& parser : parsers) {
        AppendRecord(records,
                     [&](Handler& out) { return EmitProcessRecord(*parser, tcpParser, out); });
    }
    AppendRecord(records, [&](Handler& out) { return EmitSystemRecord(tcpParser, out); });
    m_document.AddMember("process", records, allocator);
    return WriteAndRelease();
}

// Builds one record; appends it unless emit gave up on it.
template <typename Emit>
bool CProcessListReport::AppendRecord(rapidjson::Value& records, Emit emit) {
    Handler record(&m_document.GetAllocator());
    record.Populate(emit);
    if (!record.IsObject()) {
        return false;
    }
    records.PushBack(record.Move(), m_document.GetAllocator());
    return true;
}

// The tree is released before the text is copied out, so the two never peak together.
std::string CProcessListReport::WriteAndRelease() {
    rapidjson::StringBuffer text;
    rapidjson::Writer<rapidjson::StringBuffer> writer(text);
    m_document.Accept(writer);  // a writer failure leaves whatever text was written
    m_document.SetNull();
    m_document.GetAllocator().Clear();
    return std::string(text.GetString(), text.GetSize());
}

// False, leaving the record unfinished, when the process times are unknown.
bool CProcessListReport::EmitProcessRecord(CProcInfoParserInterface& parser,
                                           CTcpConnectParserInterface& tcpParser, Handler& out) {
    out.StartObject();
    Int64(out, "pid", parser.GetPid());
    Int64(out, "ppid", parser.GetPpid());
    StringRef(out, "proc_name", parser.GetProcName());
    StringRef(out, "proc_path", parser.GetProcPath());
    StringRef(out, "cmd_line", parser.GetCmdLine());
    String(out, "user", parser.GetUser());
    int64_t startTime = -1;
    int64_t elapsedTime = -1;
    int64_t cpuTime = -1;
    parser.GetProcTimes(startTime, elapsedTime, cpuTime);
    if (startTime == -1 || elapsedTime == -1 || cpuTime == -1) {
        return false;
    }
    Time(out, "start_time", startTime);
    Int64(out, "cpu_time", cpuTime);
    Int64(out, "elapsed_time", elapsedTime);
    EmitTcpMembers(tcpParser.GetConnectInfo(parser.GetPid()), out);
    int64_t modifyTime = 0;
    const rapidjson::SizeType fileMembers = EmitFileMembers(parser, &modifyTime, out);
    EmitPropertyMembers(parser.GetProcPath(), modifyTime, out);
    return out.EndObject(kRecordMembers - kFileMembers + fileMembers);
}

// Size, times and digest of the executable: all four members, or none.
rapidjson::SizeType CProcessListReport::EmitFileMembers(CProcInfoParserInterface& parser,
                                                        int64_t* modifyTime, Handler& out) {
    int64_t createTime = 0;
    if (!parser.GetExeFileTimes(createTime, *modifyTime)) {
        return 0;
    }
    Int64(out, "file_size", parser.GetExeFileSize());
    Time(out, "file_create_time", createTime);
    Time(out, "file_modify_time", *modifyTime);
    String(out, "file_md5",
           CProcMd5Cache::GetInstance()->Get(parser.GetPid(), parser.GetProcPath(), *modifyTime));
    return kFileMembers;
}

void CProcessListReport::EmitPropertyMembers(const std::string& path, int64_t modifyTime,
                                             Handler& out) {
    const LinkedPtr<FilePropertyRecord> properties =
        CFilePropertyCache::GetInstance()->Get(path, modifyTime);
    const FilePropertyRecord none;
    const FilePropertyRecord& shown = properties ? *properties : none;
    String(out, "description", shown.description);
    String(out, "company", shown.company);
    String(out, "app_sign", SignerText(shown));
}

bool CProcessListReport::EmitSystemRecord(CTcpConnectParserInterface& tcpParser, Handler& out) {
    const std::string empty;
    out.StartObject();
    Int64(out, "pid", kSystemPid);
    Int64(out, "ppid", -1);
    String(out, "proc_name", "System");
    String(out, "proc_path", empty);
    String(out, "cmd_line", empty);
    String(out, "user", "SYSTEM");
    String(out, "start_time", empty);
    Int64(out, "cpu_time", -1);
    Int64(out, "elapsed_time", -1);
    String(out, "description", empty);
    String(out, "company", empty);
    EmitTcpMembers(tcpParser.GetConnectInfo(kSystemPid), out);
    Int64(out, "file_size", -1);
    String(out, "file_create_time", empty);
    String(out, "file_modify_time", empty);
    String(out, "file_md5", empty);
    String(out, "app_sign", empty);
    return out.EndObject(kRecordMembers);
}

void CProcessListReport::EmitTcpMembers(const TcpConnectInfo& tcp, Handler& out) {
    String(out, "listen_port", CKorvaProcInterfaceImp::FormatPortList(tcp.listen_ports));
    String(out, "establish_port", CKorvaProcInterfaceImp::FormatPortList(tcp.establish_ports));
    Key(out, "connect_count");
    out.Int(tcp.connect_count);
}
