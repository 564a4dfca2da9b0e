#include "module/KorvaProcInterfaceImp.h"

#include <windows.h>

#include <ctime>

#include "fileprops/FilePropertyCache.h"
#include "fileprops/ProcMd5Cache.h"
#include "host/NetWork.h"
#include "module/LogRecords.h"
#include "module/ProcessListReport.h"
#include "procinfo/WinPpidCache.h"

namespace {

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
    WriteLog<log_records::kStopAsked>();
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
    WriteLog<log_records::kPassStarts>();
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
                WriteLog<log_records::kNoProcessBound>();
            } else {
                SendProcessListReport();
            }
        }
    }
    ClearPassState();
    CProcMd5Cache::GetInstance()->Prune(processes);
    CFilePropertyCache::GetInstance()->EndPass();
    CWinPpidCache::GetInstance()->Clear();
    WriteLog<log_records::kPassEnds>();
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
            WriteLog<log_records::kInitFailed>();
        }
    }
}

void CKorvaProcInterfaceImp::SendProcessListReport() {
    const std::string text =
        CProcessListReport(m_cmdIdx, m_triggerType, m_scanTime).Build(m_procParsers, *m_tcpParser);
    CSingleton<CNetWork>::GetInstance()->SendNetMessage(kMessageType, text);
}
