#include "module/ProcessListReport.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "fileprops/FilePropertyCache.h"
#include "fileprops/ProcMd5Cache.h"
#include "host/RynUtil.h"
#include "module/ReportShape.h"

namespace {

constexpr int64_t kSystemPid = 4;
// Small pool chunks keep a short list's tree close to its real size.
constexpr size_t kPoolChunkBytes = 16 * 1024;
const char kTimeFormat[] = "%Y%m%d%H%M%S";

}  // namespace

class CProcessListReport::Record {
  public:
    explicit Record(Handler& out) : m_out(out) { m_out.StartObject(); }

    bool End() { return m_out.EndObject(m_members); }

    // Copies the text with its length, so embedded NULs and any byte survive.
    void String(const char* key, const std::string& value) {
        Key(key);
        m_out.String(value.data(), static_cast<rapidjson::SizeType>(value.size()), true);
    }

    // For the parser's own cached texts, which outlive the report: no copy.
    void StringRef(const char* key, const std::string& value) {
        Key(key);
        m_out.String(value.data(), static_cast<rapidjson::SizeType>(value.size()), false);
    }

    void Int64(const char* key, int64_t value) {
        Key(key);
        m_out.Int64(value);
    }

    void Int(const char* key, int value) {
        Key(key);
        m_out.Int(value);
    }

    void Time(const char* key, int64_t seconds) {
        String(key, ryn::CTimeUtil(seconds).ToString(kTimeFormat));
    }

  private:
    void Key(const char* key) {
        m_out.Key(key, static_cast<rapidjson::SizeType>(std::char_traits<char>::length(key)),
                  false);
        ++m_members;
    }

    Handler& m_out;
    rapidjson::SizeType m_members = 0;
};

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
                     [&](Record& out) { return EmitProcessRecord(*parser, tcpParser, out); });
    }
    AppendRecord(records, [&](Record& out) { return EmitSystemRecord(tcpParser, out); });
    m_document.AddMember("process", records, allocator);
    return WriteAndRelease();
}

// Builds one record; appends it unless emit gave up on it.
template <typename Emit>
bool CProcessListReport::AppendRecord(rapidjson::Value& records, Emit emit) {
    Handler record(&m_document.GetAllocator());
    auto generate = [&emit](Handler& out) {
        Record members(out);
        return emit(members) && members.End();
    };
    record.Populate(generate);
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
                                           CTcpConnectParserInterface& tcpParser, Record& out) {
    out.Int64("pid", parser.GetPid());
    out.Int64("ppid", parser.GetPpid());
    out.StringRef("proc_name", parser.GetProcName());
    out.StringRef("proc_path", parser.GetProcPath());
    out.StringRef("cmd_line", parser.GetCmdLine());
    out.String("user", parser.GetUser());
    int64_t startTime = -1;
    int64_t elapsedTime = -1;
    int64_t cpuTime = -1;
    parser.GetProcTimes(startTime, elapsedTime, cpuTime);
    if (startTime == -1 || elapsedTime == -1 || cpuTime == -1) {
        return false;
    }
    out.Time("start_time", startTime);
    out.Int64("cpu_time", cpuTime);
    out.Int64("elapsed_time", elapsedTime);
    EmitTcpMembers(tcpParser.GetConnectInfo(parser.GetPid()), out);
    int64_t modifyTime = 0;
    EmitFileMembers(parser, &modifyTime, out);
    EmitPropertyMembers(parser.GetProcPath(), modifyTime, out);
    return true;
}

// Size, times and digest of the executable: all four members, or none.
void CProcessListReport::EmitFileMembers(CProcInfoParserInterface& parser, int64_t* modifyTime,
                                         Record& out) {
    int64_t createTime = 0;
    if (!parser.GetExeFileTimes(createTime, *modifyTime)) {
        return;
    }
    out.Int64("file_size", parser.GetExeFileSize());
    out.Time("file_create_time", createTime);
    out.Time("file_modify_time", *modifyTime);
    out.String("file_md5", CProcMd5Cache::GetInstance()->Get(parser.GetPid(), parser.GetProcPath(),
                                                             *modifyTime));
}

void CProcessListReport::EmitPropertyMembers(const std::string& path, int64_t modifyTime,
                                             Record& out) {
    const LinkedPtr<FilePropertyRecord> properties =
        CFilePropertyCache::GetInstance()->Get(path, modifyTime);
    const FilePropertyRecord none;
    const FilePropertyRecord& shown = properties ? *properties : none;
    out.String("description", shown.description);
    out.String("company", shown.company);
    out.String("app_sign", reportshape::SignerText(shown.signCompany, shown.signDate));
}

bool CProcessListReport::EmitSystemRecord(CTcpConnectParserInterface& tcpParser, Record& out) {
    const std::string empty;
    out.Int64("pid", kSystemPid);
    out.Int64("ppid", -1);
    out.String("proc_name", "System");
    out.String("proc_path", empty);
    out.String("cmd_line", empty);
    out.String("user", "SYSTEM");
    out.String("start_time", empty);
    out.Int64("cpu_time", -1);
    out.Int64("elapsed_time", -1);
    out.String("description", empty);
    out.String("company", empty);
    EmitTcpMembers(tcpParser.GetConnectInfo(kSystemPid), out);
    out.Int64("file_size", -1);
    out.String("file_create_time", empty);
    out.String("file_modify_time", empty);
    out.String("file_md5", empty);
    out.String("app_sign", empty);
    return true;
}

void CProcessListReport::EmitTcpMembers(const TcpConnectInfo& tcp, Record& out) {
    out.String("listen_port", reportshape::PortListText(tcp.listen_ports));
    out.String("establish_port", reportshape::PortListText(tcp.establish_ports));
    out.Int("connect_count", tcp.connect_count);
}
