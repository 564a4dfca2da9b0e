#pragma once

// What the acceptance programs share: processes of ours started with exact command
// lines, the module driven through its exports as the agent's service drives it,
// and facts about files observed without the module's libraries.

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "WineTestSupport.h"
#include "agent/host/ReportWaiter.h"

namespace acceptance {

std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& wide);
// A text of the system code page as UTF-8.
std::string CodePageToUtf8(const std::string& text);

// Seconds since 1970 as "%Y%m%d%H%M%S" in UTC, made through the system's own
// calendar conversion rather than the agent's time text.
std::string UtcText(int64_t unixSeconds);
int64_t UnixSeconds(const FILETIME& time);

// The folder of the signed fixtures, as a Windows path.
std::string FixtureDir();
// md5sum output ("<hex>  <name>" lines) as name -> hex.
std::map<std::string, std::string> ReadMd5File(const std::string& utf8Path);

struct FileFacts {
    bool readable = false;
    int64_t size = -1;
    int64_t createTime = 0;  // seconds since 1970
    int64_t modifyTime = 0;
};
FileFacts ReadFileFacts(const std::string& utf8Path);
// Moves the file's last-write time by that many seconds, so the caches read it anew.
bool ShiftModifyTime(const std::string& utf8Path, int64_t seconds);

// A process of ours, as the acceptance programs name it.
using RunningProcess = winetest::ChildProcess;

// A suite's reports go to reports\<name>.jsonl under the working directory, one
// line each, where ctest checks them against the message schema after the suites.
// StartReports makes the file empty, so that a suite that ran and saved nothing
// shows as such; SaveReport appends one report body.
bool StartReports(const std::string& name);
bool SaveReport(const std::string& name, const std::string& body);

// One pass as the agent's service runs it, with what the test saw around it.
struct PassOutcome {
    int started = 0;          // what Start returned
    bool delivered = false;   // a report arrived in time
    std::string body;         // the report text
    int64_t beforeStart = 0;  // seconds since 1970, just before Start
    int64_t afterReport = 0;  // seconds since 1970, once the report (or the timeout) came
    uint64_t milliseconds = 0;
};

// Drives korvaProc.dll through its exports; owns the network channel and the sink
// that receives the reports for its lifetime.
class ModuleDriver {
  public:
    ModuleDriver();
    ~ModuleDriver();
    ModuleDriver(const ModuleDriver&) = delete;
    ModuleDriver& operator=(const ModuleDriver&) = delete;

    // GetKorvaProcInterface, Start, wait for the report, and, when asked,
    // DestroyKorvaProcInterface (which waits for the pass to end).
    PassOutcome RunPass(const std::string& cmdIdx, const std::string& triggerType,
                        uint64_t timeoutMs, bool destroy);
    CReportWaiter& waiter() { return *m_waiter; }

  private:
    std::unique_ptr<CReportWaiter> m_waiter;
};

}  // namespace acceptance
