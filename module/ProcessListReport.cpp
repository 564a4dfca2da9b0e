#include "module/ProcessListReport.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdlib>
#include <iterator>

#include "fileprops/FilePropertyCache.h"
#include "fileprops/ProcMd5Cache.h"
#include "host/RynUtil.h"

namespace {

// Small pool chunks keep a short list's tree close to its real size.
constexpr size_t kPoolChunkBytes = 16 * 1024;
const char kTimeFormat[] = "%Y%m%d%H%M%S";

// A member name of the shape, which outlives every report: no copy.
rapidjson::GenericStringRef<char> Name(std::string_view key) {
    return rapidjson::StringRef(key.data(), key.size());
}

}  // namespace

class CProcessListReport::Record {
  public:
    Record(Handler& out, const Shape& shape)
        : m_out(out), m_next(std::begin(shape)), m_end(std::end(shape)) {
        m_out.StartObject();
    }

    bool End() { return m_out.EndObject(m_members); }

    // Copies the text with its length, so embedded NULs and any byte survive.
    void String(std::string_view value) {
        Key();
        m_out.String(value.data(), static_cast<rapidjson::SizeType>(value.size()), true);
    }

    // For the parser's own cached texts, which outlive the report: no copy.
    void StringRef(const std::string& value) {
        Key();
        m_out.String(value.data(), static_cast<rapidjson::SizeType>(value.size()), false);
    }

    void Int64(int64_t value) {
        Key();
        m_out.Int64(value);
    }

    void Int(int value) {
        Key();
        m_out.Int(value);
    }

    void Time(int64_t seconds) { String(ryn::CTimeUtil(seconds).ToString(kTimeFormat)); }

    // Passes over members that this record leaves out.
    void Skip(size_t members) { m_next += members; }

    // The shape's fixed values, up to its next member without one.
    void FixedMembers() {
        while (m_next != m_end && m_next->fixed != nullptr) {
            if (reportshape::IsNumber(m_next->key)) {
                Int64(std::strtoll(m_next->fixed, nullptr, 10));
            } else {
                String(m_next->fixed);
            }
        }
    }

  private:
    void Key() {
        m_out.Key(m_next->key.data(), static_cast<rapidjson::SizeType>(m_next->key.size()), false);
        ++m_next;
        ++m_members;
    }

    Handler& m_out;
    const reportshape::Member* m_next;
    const reportshape::Member* m_end;
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
    // The members in the shape's order: package_info, the three texts, the records.
    const std::string_view* name = std::begin(reportshape::kReportMembers);
    rapidjson::Value package(rapidjson::kObjectType);
    for (std::string_view key : reportshape::kPackageMembers) {
        package.AddMember(Name(key), 1, allocator);
    }
    m_document.AddMember(Name(*name++), package, allocator);
    const std::string scanTime = ryn::CTimeUtil(m_scanTime).ToString(kTimeFormat);
    for (const std::string* member : {&m_cmdIdx, &m_triggerType, &scanTime}) {
        rapidjson::Value text(member->data(), static_cast<rapidjson::SizeType>(member->size()),
                              allocator);
        m_document.AddMember(Name(*name++), text, allocator);
    }

    rapidjson::Value records(rapidjson::kArrayType);
    for (const LinkedPtr<CProcInfoParserInterface>& parser : parsers) {
        AppendRecord(records, reportshape::kProcessMembers,
                     [&](Record& out) { return EmitProcessRecord(*parser, tcpParser, out); });
    }
    AppendRecord(records, reportshape::kSystemMembers,
                 [&](Record& out) { return EmitSystemRecord(tcpParser, out); });
    m_document.AddMember(Name(*name), records, allocator);
    return WriteAndRelease();
}

// Builds one record; appends it unless emit gave up on it.
template <typename Emit>
bool CProcessListReport::AppendRecord(rapidjson::Value& records, const Shape& shape, Emit emit) {
    Handler record(&m_document.GetAllocator());
    auto generate = [&emit, &shape](Handler& out) {
        Record members(out, shape);
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

// The values in the order of the shape's process members. False, leaving the record
// unfinished, when the process times are unknown.
bool CProcessListReport::EmitProcessRecord(CProcInfoParserInterface& parser,
                                           CTcpConnectParserInterface& tcpParser, Record& out) {
    out.Int64(parser.GetPid());
    out.Int64(parser.GetPpid());
    out.StringRef(parser.GetProcName());
    out.StringRef(parser.GetProcPath());
    out.StringRef(parser.GetCmdLine());
    out.String(parser.GetUser());
    int64_t startTime = -1;
    int64_t elapsedTime = -1;
    int64_t cpuTime = -1;
    parser.GetProcTimes(startTime, elapsedTime, cpuTime);
    if (startTime == -1 || elapsedTime == -1 || cpuTime == -1) {
        return false;
    }
    out.Time(startTime);
    out.Int64(cpuTime);
    out.Int64(elapsedTime);
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
        out.Skip(reportshape::kFileMembers);
        return;
    }
    out.Int64(parser.GetExeFileSize());
    out.Time(createTime);
    out.Time(*modifyTime);
    out.String(
        CProcMd5Cache::GetInstance()->Get(parser.GetPid(), parser.GetProcPath(), *modifyTime));
}

void CProcessListReport::EmitPropertyMembers(const std::string& path, int64_t modifyTime,
                                             Record& out) {
    const LinkedPtr<FilePropertyRecord> properties =
        CFilePropertyCache::GetInstance()->Get(path, modifyTime);
    const FilePropertyRecord none;
    const FilePropertyRecord& shown = properties ? *properties : none;
    out.String(shown.description);
    out.String(shown.company);
    out.String(reportshape::SignerText(shown.signCompany, shown.signDate));
}

bool CProcessListReport::EmitSystemRecord(CTcpConnectParserInterface& tcpParser, Record& out) {
    out.FixedMembers();
    EmitTcpMembers(tcpParser.GetConnectInfo(reportshape::kSystemPid), out);
    out.FixedMembers();
    return true;
}

void CProcessListReport::EmitTcpMembers(const TcpConnectInfo& tcp, Record& out) {
    out.String(reportshape::PortListText(tcp.listen_ports));
    out.String(reportshape::PortListText(tcp.establish_ports));
    out.Int(tcp.connect_count);
}
