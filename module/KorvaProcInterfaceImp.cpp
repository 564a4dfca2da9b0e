#include "module/KorvaProcInterfaceImp.h"

#include <windows.h>

#include <ctime>

#include "fileprops/FilePropertyCache.h"
#include "fileprops/ProcMd5Cache.h"
#include "host/NetWork.h"
#include "module/ProcessListReport.h"
#include "procinfo/WinPpidCache.h"

namespace {

const char kSource[] = "KorvaProcInterfaceImp";
constexpr int kLineNoProcessBound = 108;
constexpr int kLineInitFailed = 145;
// Spreads a pass out: the report follows the parser loop after this pause.
constexpr uint64_t kPauseBeforeReportMs = 1000;
const char kMessageType[] = "T_PROCESS_LIST_INFO_RSP";

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
    CFilePropertyCache::GetInstance()->EndPass();
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

void CKorvaProcInterfaceImp::SendProcessListReport() {
    const std::string text =
        CProcessListReport(m_cmdIdx, m_triggerType, m_scanTime).Build(m_procParsers, *m_tcpParser);
    CSingleton<CNetWork>::GetInstance()->SendNetMessage(kMessageType, text);
}
