#include "module/KorvaProcInterfaceImp.h"

#include <windows.h>

#include <ctime>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "fileprops/FilePropertyCache.h"
#include "fileprops/ProcMd5Cache.h"
#include "host/NetWork.h"
#include "procinfo/WinPpidCache.h"

namespace {

const char kSource[] = "KorvaProcInterfaceImp";
constexpr int kLineNoProcessBound = 108;
constexpr int kLineInitFailed = 145;
// Spreads a pass out: the report follows the parser loop after this pause.
constexpr uint64_t kPauseBeforeReportMs = 1000;
constexpr int64_t kSystemPid = 4;
const char kTimeFormat[] = "%Y%m%d%H%M%S";
const char kMessageType[] = "T_PROCESS_LIST_INFO_RSP";

typedef rapidjson::Document::AllocatorType Allocator;

std::string RenderTime(int64_t seconds) { return ryn::CTimeUtil(seconds).ToString(kTimeFormat); }

// Adds a string member; the value is copied, so embedded NULs and any byte survive.
void AddString(rapidjson::Value& object, const char* key, const std::string& value,
               Allocator& allocator) {
    rapidjson::Value text(value.data(), static_cast<rapidjson::SizeType>(value.size()), allocator);
    object.AddMember(rapidjson::StringRef(key), text, allocator);
}

void AddInt64(rapidjson::Value& object, const char* key, int64_t value, Allocator& allocator) {
    object.AddMember(rapidjson::StringRef(key), rapidjson::Value(value), allocator);
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

CKorvaProcInterfaceImp::CKorvaProcInterfaceImp()
    : m_stop(false), m_tcpParser(nullptr), m_scanTime(0) {
    if (CSingleton<CProcMd5Cache>::GetInstance() == nullptr) {
        CSingleton<CProcMd5Cache>::CreateInstance();
    }
    if (CSingleton<CWinPpidCache>::GetInstance() == nullptr) {
        CSingleton<CWinPpidCache>::CreateInstance();
    }
    if (CSingleton<CFilePropertyCache>::GetInstance() == nullptr) {
        CSingleton<CFilePropertyCache>::CreateInstance();
    }
}

CKorvaProcInterfaceImp::~CKorvaProcInterfaceImp() {
    if (IsThreadRunning()) {
        m_stop = true;
    }
    // Also joins a thread that has just finished, before the members it used go.
    waitForThreadFinish();
    ClearPassState();
}

int CKorvaProcInterfaceImp::Start(const std::string& cmdIdx, const std::string& triggerType) {
    if (IsThreadRunning()) {
        return -1;
    }
    m_stop = false;
    m_cmdIdx = cmdIdx;
    m_triggerType = triggerType;
    return startThread() ? 1 : -2;
}

void CKorvaProcInterfaceImp::Stop() {
    ryn::CLogMessage::GetInstance()->WriteLogMessage("stop korvaProc.", ryn::RYN_LOG_INFO);
    m_stop = true;
}

void CKorvaProcInterfaceImp::ClearPassState() {
    if (m_tcpParser != nullptr) {
        delete m_tcpParser;
        m_tcpParser = nullptr;
    }
    m_procParsers.clear();
}

void CKorvaProcInterfaceImp::run() {
    ryn::CLogMessage* logger = ryn::CLogMessage::GetInstance();
    logger->WriteLogMessage("refreshing proc info", ryn::RYN_LOG_INFO);
    const ryn::ProcessIdMap processes = ryn::GetProcessUtil()->EnumProcesses();
    CWinPpidCache::GetInstance()->Refresh();
    ClearPassState();
    m_scanTime = _time64(nullptr);
    m_tcpParser = CreateTcpConnectParser();
    m_tcpParser->Parse(processes);
    if (!m_stop) {
        InitProcParsers(processes);
        if (!m_stop) {
            ryn::CToolUtil::msleep(kPauseBeforeReportMs);
            if (m_procParsers.empty()) {
                logger->log(ryn::RYN_LOG_ERROR, kSource, kLineNoProcessBound,
                            "parse process basic info failed.", "");
            } else {
                SendProcessListReport();
            }
        }
    }
    ClearPassState();
    CProcMd5Cache::GetInstance()->Prune(processes);
    CWinPpidCache::GetInstance()->Clear();
    logger->WriteLogMessage("end of refresh proc info", ryn::RYN_LOG_INFO);
}

void CKorvaProcInterfaceImp::InitProcParsers(const ryn::ProcessIdMap& processes) {
    for (const auto& entry : processes) {
        if (m_stop) {
            break;
        }
        LinkedPtr<CProcInfoParserInterface> parser = CreateProcInfoParser();
        if (parser->Init(entry.first)) {
            m_procParsers.push_back(parser);
        } else {
            ryn::CLogMessage::GetInstance()->log(ryn::RYN_LOG_ERROR, kSource, kLineInitFailed,
                                                 "init proc info parser error.", "");
        }
    }
}

std::string CKorvaProcInterfaceImp::FormatPortList(const std::set<uint16_t>& ports) {
    std::string text;
    for (uint16_t port : ports) {
        text += ryn::CStringUtil::IntToString(port, nullptr, 10);
        text += ",";
    }
    if (!text.empty()) {
        text.pop_back();
    }
    return text;
}

namespace {

// The ports and the count of one TCP summary, in the order both record kinds use.
void AddTcpMembers(rapidjson::Value& record, CKorvaProcInterfaceImp& module,
                   const TcpConnectInfo& tcp, Allocator& allocator) {
    AddString(record, "listen_port", module.FormatPortList(tcp.listen_ports), allocator);
    AddString(record, "establish_port", module.FormatPortList(tcp.establish_ports), allocator);
    record.AddMember("connect_count", rapidjson::Value(tcp.connect_count), allocator);
}

// The record of one table entry; false when its process times are unknown.
bool BuildProcessRecord(CProcInfoParserInterface& parser, CTcpConnectParserInterface& tcpParser,
                        CKorvaProcInterfaceImp& module, rapidjson::Value& record,
                        Allocator& allocator) {
    AddInt64(record, "pid", parser.GetPid(), allocator);
    AddInt64(record, "ppid", parser.GetPpid(), allocator);
    AddString(record, "proc_name", parser.GetProcName(), allocator);
    AddString(record, "proc_path", parser.GetProcPath(), allocator);
    AddString(record, "cmd_line", parser.GetCmdLine(), allocator);
    AddString(record, "user", parser.GetUser(), allocator);
    int64_t startTime = -1;
    int64_t elapsedTime = -1;
    int64_t cpuTime = -1;
    parser.GetProcTimes(startTime, elapsedTime, cpuTime);
    if (startTime == -1 || elapsedTime == -1 || cpuTime == -1) {
        return false;
    }
    AddString(record, "start_time", RenderTime(startTime), allocator);
    AddInt64(record, "cpu_time", cpuTime, allocator);
    AddInt64(record, "elapsed_time", elapsedTime, allocator);
    AddTcpMembers(record, module, tcpParser.GetConnectInfo(parser.GetPid()), allocator);

    int64_t createTime = 0;
    int64_t modifyTime = 0;
    if (parser.GetExeFileTimes(createTime, modifyTime)) {
        AddInt64(record, "file_size", parser.GetExeFileSize(), allocator);
        AddString(record, "file_create_time", RenderTime(createTime), allocator);
        AddString(record, "file_modify_time", RenderTime(modifyTime), allocator);
        AddString(
            record, "file_md5",
            CProcMd5Cache::GetInstance()->Get(parser.GetPid(), parser.GetProcPath(), modifyTime),
            allocator);
    }
    const LinkedPtr<FilePropertyRecord> properties =
        CFilePropertyCache::GetInstance()->Get(parser.GetProcPath(), modifyTime);
    const FilePropertyRecord none;
    const FilePropertyRecord& shown = properties ? *properties : none;
    AddString(record, "description", shown.description, allocator);
    AddString(record, "company", shown.company, allocator);
    AddString(record, "app_sign", SignerText(shown), allocator);
    return true;
}

// The fixed record of the System process that closes every list.
void BuildSystemRecord(CTcpConnectParserInterface& tcpParser, CKorvaProcInterfaceImp& module,
                       rapidjson::Value& record, Allocator& allocator) {
    const std::string empty;
    AddInt64(record, "pid", kSystemPid, allocator);
    AddInt64(record, "ppid", -1, allocator);
    AddString(record, "proc_name", "System", allocator);
    AddString(record, "proc_path", empty, allocator);
    AddString(record, "cmd_line", empty, allocator);
    AddString(record, "user", "SYSTEM", allocator);
    AddString(record, "start_time", empty, allocator);
    AddInt64(record, "cpu_time", -1, allocator);
    AddInt64(record, "elapsed_time", -1, allocator);
    AddString(record, "description", empty, allocator);
    AddString(record, "company", empty, allocator);
    AddTcpMembers(record, module, tcpParser.GetConnectInfo(kSystemPid), allocator);
    AddInt64(record, "file_size", -1, allocator);
    AddString(record, "file_create_time", empty, allocator);
    AddString(record, "file_modify_time", empty, allocator);
    AddString(record, "file_md5", empty, allocator);
    AddString(record, "app_sign", empty, allocator);
}

}  // namespace

void CKorvaProcInterfaceImp::SendProcessListReport() {
    rapidjson::Document document;
    Allocator& allocator = document.GetAllocator();
    document.SetObject();
    rapidjson::Value package(rapidjson::kObjectType);
    package.AddMember("total_package", 1, allocator);
    package.AddMember("current_package", 1, allocator);
    document.AddMember("package_info", package, allocator);
    AddString(document, "cmd_idx", m_cmdIdx, allocator);
    AddString(document, "trigger_type", m_triggerType, allocator);
    AddString(document, "scan_time", RenderTime(m_scanTime), allocator);

    rapidjson::Value records(rapidjson::kArrayType);
    for (const LinkedPtr<CProcInfoParserInterface>& parser : m_procParsers) {
        rapidjson::Value record(rapidjson::kObjectType);
        if (BuildProcessRecord(*parser, *m_tcpParser, *this, record, allocator)) {
            records.PushBack(record, allocator);
        }
    }
    rapidjson::Value system(rapidjson::kObjectType);
    BuildSystemRecord(*m_tcpParser, *this, system, allocator);
    records.PushBack(system, allocator);
    document.AddMember("process", records, allocator);

    rapidjson::StringBuffer text;
    rapidjson::Writer<rapidjson::StringBuffer> writer(text);
    document.Accept(writer);  // a writer failure leaves whatever text was written
    const std::string body(text.GetString(), text.GetSize());
    CSingleton<CNetWork>::GetInstance()->SendNetMessage(kMessageType, body);
}
