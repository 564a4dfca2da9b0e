#include "agent/host/ReportWaiter.h"

#include <chrono>
#include <cstdio>

#include "agent/korvaNetWork/NetWorkSink.h"

namespace {

const char kReportType[] = "T_PROCESS_LIST_INFO_RSP";

}  // namespace

CReportWaiter::CReportWaiter() { SetNetWorkSink(&CReportWaiter::OnMessage, this); }

CReportWaiter::~CReportWaiter() { SetNetWorkSink(nullptr, nullptr); }

void CReportWaiter::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_reports.clear();
}

bool CReportWaiter::Wait(uint64_t timeoutMs, std::string* body) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [this] { return !m_reports.empty(); })) {
        return false;
    }
    *body = std::move(m_reports.front());
    m_reports.pop_front();
    return true;
}

// Runs on the module's worker thread.
void CReportWaiter::OnMessage(void* context, const std::string& type, const std::string& body) {
    CReportWaiter* waiter = static_cast<CReportWaiter*>(context);
    if (type != kReportType) {
        std::fprintf(stderr, "korvaAgentHost: ignored a message of type %s\n", type.c_str());
        return;
    }
    {
        std::lock_guard<std::mutex> lock(waiter->m_mutex);
        waiter->m_reports.push_back(body);
    }
    waiter->m_arrived.notify_all();
}
