#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

// The host's sink in korvaNetWork.dll: keeps the report bodies the module sends
// and lets the host wait for the next one. Installed for the object's lifetime.
class CReportWaiter {
  public:
    CReportWaiter();
    ~CReportWaiter();
    CReportWaiter(const CReportWaiter&) = delete;
    CReportWaiter& operator=(const CReportWaiter&) = delete;

    // Forgets reports that arrived before a new pass starts.
    void Clear();
    // The next report's body; false when none arrives within the timeout.
    bool Wait(uint64_t timeoutMs, std::string* body);

  private:
    static void OnMessage(void* context, const std::string& type, const std::string& body);

    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::deque<std::string> m_reports;
};
