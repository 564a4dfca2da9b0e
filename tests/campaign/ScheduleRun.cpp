#include "campaign/ScheduleRun.h"

#include <algorithm>
#include <cstdio>

#include "campaign/CampaignMachine.h"
#include "fileprops/FilePropertyCache.h"
#include "fileprops/ProcMd5Cache.h"
#include "layer/Control.h"
#include "layer/Machine.h"
#include "module/KorvaProcInterface.h"
#include "procinfo/WinPpidCache.h"

namespace campaign {

namespace {

constexpr int kPassWaitMs = 20000;

// The object a Stop lands on; a new one after a destroy between the passes.
CKorvaProcInterface* g_module = nullptr;
// The pass the host is running, for the machine's own events.
int g_pass = 0;

void DestroyCaches() {
    CSingleton<CProcMd5Cache>::DestroyInstance();
    CSingleton<CWinPpidCache>::DestroyInstance();
    CSingleton<CFilePropertyCache>::DestroyInstance();
}

std::string OneLine(std::string text) {
    for (char& c : text) {
        c = c == '\n' ? ';' : c;
    }
    return text;
}

// Counters must balance whenever no pass runs; read before anything resets them.
class BalanceCheck {
  public:
    void Check(const std::string& when, Findings* findings) {
        const std::string outstanding = layer::Outstanding();
        if (!outstanding.empty()) {
            findings->leaks.push_back(when + ": " + OneLine(outstanding));
        }
        const std::vector<std::string>& bad = layer::BadReleases();
        for (; m_badSeen < bad.size(); ++m_badSeen) {
            findings->leaks.push_back(when + ": bad release " + bad[m_badSeen]);
        }
        for (const std::string& call : layer::TakeBadCalls()) {
            findings->leaks.push_back(when + ": bad call " + call);
        }
    }

  private:
    size_t m_badSeen = 0;
};

std::vector<int64_t> EnumeratedPids() {
    std::vector<int64_t> pids;
    for (const layer::Process& process : layer::machine().processes) {
        if (process.enumerated) {
            pids.push_back(process.pid);
        }
    }
    std::sort(pids.begin(), pids.end());
    return pids;
}

// The journal from the note "pass <n>" on, with each "log" line joined to its record.
PassRecord Record(int pass, size_t messagesBefore, const std::vector<int64_t>& enumerated) {
    const std::vector<std::string> journal = layer::Journal();
    const std::vector<layer::LogRecord> logs = layer::LogRecords();
    PassRecord record;
    record.pass = pass;
    record.enumerated = enumerated;
    size_t log = 0;
    bool inPass = false;
    for (const std::string& line : journal) {
        Event event;
        event.text = line;
        if (line.compare(0, 4, "log ") == 0) {
            event.kind = Event::kLog;
            event.log = log < logs.size() ? logs[log] : layer::LogRecord();
            ++log;
        } else if (line.compare(0, 5, "call ") == 0) {
            const size_t hash = line.rfind(" #");
            event.kind = Event::kCall;
            event.call = line.substr(5, hash - 5);
            event.use = std::stoi(line.substr(hash + 2));
        }
        inPass = inPass || line == "pass " + std::to_string(pass);
        if (inPass) {
            record.events.push_back(event);
        }
    }
    const auto messages = layer::SentMessages();
    record.messages.assign(messages.begin() + static_cast<long>(messagesBefore), messages.end());
    return record;
}

}  // namespace

void RunSchedule(const Schedule& schedule, const Reference* reference, Findings* findings,
                 std::string reports[2]) {
    layer::Reset();
    DestroyKorvaProcInterface();
    DestroyCaches();
    BuildMachine();
    layer::TraceCalls(true);
    layer::ClobberLastError(kStaleError);
    InstallMachineHooks(&g_pass);
    InstallFaults(schedule);
    g_module = GetKorvaProcInterface();
    if (!schedule.stopCall.empty()) {
        layer::OnCall(schedule.stopCall, schedule.stopUse, [] { g_module->Stop(); });
    }
    BalanceCheck balance;
    int threads = 0;
    for (int pass = 1; pass <= 2; ++pass) {
        const std::string name = "pass " + std::to_string(pass);
        if (pass == 2 && schedule.destroyBetween) {
            DestroyKorvaProcInterface();
            g_module = GetKorvaProcInterface();
        }
        PreparePass(pass);
        const std::vector<int64_t> enumerated = EnumeratedPids();
        g_pass = pass;
        layer::Note(name);
        const size_t messagesBefore = layer::SentMessages().size();
        if (schedule.failedStartPass == pass) {
            layer::FailStartThread(1);
            const int refused = g_module->Start(kCmdIdx, kTriggerType);
            if (refused != -2) {
                findings->mixed.push_back(name + ": Start gave " + std::to_string(refused) +
                                          " when no thread could start");
            }
        }
        layer::SetSendResult(schedule.failedSendPass != pass);
        const int started = g_module->Start(kCmdIdx, kTriggerType);
        if (started != 1) {
            findings->mixed.push_back(name + ": Start gave " + std::to_string(started));
            continue;
        }
        if (!layer::WaitForJournal("thread exit", ++threads, kPassWaitMs)) {
            findings->crashes.push_back(name + " did not end within " +
                                        std::to_string(kPassWaitMs / 1000) + " s");
            return;  // the worker may still run: nothing more is safe to look at
        }
        balance.Check("after " + name, findings);
        const PassRecord record = Record(pass, messagesBefore, enumerated);
        reports[pass - 1] = record.messages.empty() ? std::string() : record.messages[0].second;
        if (reference == nullptr) {
            CheckAgainstMachine(reports[pass - 1], pass, &findings->mixed);
        } else {
            // The machine's files keep no change stamp, so no cached property or digest
            // outlives the pass that read it.
            SpoiledFiles spoiled;
            CheckPass(schedule, record, reference->reports[pass - 1], &spoiled, findings);
        }
    }
    DestroyKorvaProcInterface();
    g_module = nullptr;
    balance.Check("after the object was destroyed", findings);
}

bool MakeReference(Reference* reference) {
    const Schedule none;
    for (int run = 0; run < 2; ++run) {
        Findings findings;
        std::string reports[2];
        RunSchedule(none, nullptr, &findings, reports);
        findings.crashes.insert(findings.crashes.end(), findings.mixed.begin(),
                                findings.mixed.end());
        for (const std::string& problem : findings.crashes) {
            std::fprintf(stderr, "fault-campaign: the fault-free schedule: %s\n", problem.c_str());
        }
        if (!findings.crashes.empty()) {
            return false;
        }
        for (int pass = 0; pass < 2; ++pass) {
            if (reports[pass].empty() || (run == 1 && reports[pass] != reference->reports[pass])) {
                std::fprintf(stderr, "fault-campaign: the fault-free pass %d %s\n", pass + 1,
                             reports[pass].empty() ? "sent no report" : "is not repeatable");
                return false;
            }
            reference->reports[pass] = reports[pass];
        }
        reference->callCounts = layer::CallCounts();
    }
    bool known = true;
    for (const auto& call : reference->callCounts) {
        if (!IsTestSeam(call.first) && PlausibleErrors(call.first) == nullptr) {
            std::fprintf(stderr, "fault-campaign: %s has no plausible error codes in the table\n",
                         call.first.c_str());
            known = false;
        }
    }
    return known;
}

}  // namespace campaign
