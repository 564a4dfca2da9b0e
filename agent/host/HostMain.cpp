// The agent's host program: drives korvaProc.dll as the agent's service does and
// prints what the module sends. See CHostOptions::Usage for the options.

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "agent/host/HostOptions.h"
#include "agent/host/ReportWaiter.h"
#include "agent/korvaNetWork/NetWorkSink.h"
#include "agent/rynUtil/LogDestination.h"
#include "host/RynUtil.h"
#include "module/KorvaProcInterface.h"

namespace {

constexpr int kExitBadOptions = 1;
constexpr int kExitNoReport = 2;
constexpr int kExitNotStarted = 3;

// One pass: a fresh module object, one Start, the report or the timeout, destruction.
int RunPass(const CHostOptions& options, int pass, CReportWaiter& waiter) {
    waiter.Clear();
    CKorvaProcInterface* module = GetKorvaProcInterface();
    const int started = module->Start(options.cmdIdx, options.triggerType);
    if (started != 1) {
        DestroyKorvaProcInterface();
        std::fprintf(stderr, "korvaAgentHost: pass %d could not start (Start returned %d)\n", pass,
                     started);
        return kExitNotStarted;
    }
    std::string body;
    const bool delivered = waiter.Wait(options.timeoutMs, &body);
    DestroyKorvaProcInterface();  // stops the pass if it still runs, and waits for it
    if (!delivered) {
        std::fprintf(stderr,
                     "korvaAgentHost: pass %d delivered no report within %llu ms; the module's "
                     "log says why (\"parse process basic info failed.\" means it could not read "
                     "any process)\n",
                     pass, static_cast<unsigned long long>(options.timeoutMs));
        return kExitNoReport;
    }
    body += '\n';
    std::fwrite(body.data(), 1, body.size(), stdout);
    std::fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CHostOptions options;
    std::string error;
    if (!options.Parse(argc, argv, &error)) {
        std::fprintf(stderr, "korvaAgentHost: %s\n%s", error.c_str(), CHostOptions::Usage());
        return kExitBadOptions;
    }
    if (options.help) {
        std::fputs(CHostOptions::Usage(), stdout);
        return 0;
    }
    // Report lines end in "\n" alone, also when stdout is a pipe to a Linux tool.
    _setmode(_fileno(stdout), _O_BINARY);
    if (!options.logFile.empty() && !ryn::SetLogFile(ryn::CStringUtil::s2s_utf8(options.logFile))) {
        std::fprintf(stderr, "korvaAgentHost: cannot open log file %s (error %lu)\n",
                     options.logFile.c_str(), GetLastError());
        return kExitBadOptions;
    }
    CSingleton<CNetWork>::CreateInstance();
    int status = 0;
    {
        CReportWaiter waiter;
        for (int pass = 1; pass <= options.passes; ++pass) {
            if (pass > 1) {
                ryn::CToolUtil::msleep(options.pauseMs);
            }
            const int result = RunPass(options, pass, waiter);
            status = status != 0 ? status : result;
        }
    }
    CSingleton<CNetWork>::DestroyInstance();
    ryn::SetLogFile("");
    return status;
}
