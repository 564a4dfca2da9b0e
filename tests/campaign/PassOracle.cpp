#include "campaign/PassOracle.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <set>

#include "campaign/CampaignMachine.h"
#include "campaign/ReportFormat.h"

namespace campaign {

namespace {

const char kMessageType[] = "T_PROCESS_LIST_INFO_RSP";
const char kInitFailed[] = "init proc info parser error.";
const int kNoProcessBoundLine = 108;

// ---- Values: each one the fault-free value or its documented failure value.

std::string Tcp(const Record& record) {
    return Value(record, "listen_port") + "|" + Value(record, "establish_port") + "|" +
           Value(record, "connect_count");
}

// The documented value of a process without TCP rows, and of every process when the
// TCP table could not be read.
const char kNoTcp[] = "||0";

// The signer text, or one of its two parts when the other could not be read.
std::vector<std::string> SignerAlternatives(const std::string& text) {
    const size_t date = text.find(" SignDate: ");
    if (date == std::string::npos || date == 0) {
        return {text};
    }
    return {text, text.substr(0, date), text.substr(date)};
}

class ValueCheck {
  public:
    ValueCheck(int pass, bool decodeFailed, Findings* findings)
        : m_pass(pass), m_decodeFailed(decodeFailed), m_findings(findings) {}

    void Compare(const Report& got, const Report& want, const Report& first,
                 const std::set<std::string>& unopened) {
        if (got.cmdIdx != kCmdIdx || got.triggerType != kTriggerType) {
            Mixed("request texts \"" + got.cmdIdx + "\" \"" + got.triggerType + "\"");
        }
        if (got.scanTime != want.scanTime) {
            Mixed("scan_time " + got.scanTime + " instead of " + want.scanTime);
        }
        std::map<std::string, const Record*> wanted;
        for (const Record& record : want.processes) {
            wanted[Value(record, "pid")] = &record;
        }
        for (const Record& record : first.processes) {
            m_firstByPath.emplace(Value(record, "proc_path"), &record);
        }
        CompareTcp(got.system, want.system, "System record");
        int lost = 0;
        int kept = 0;
        CountTcp(got.system, want.system, &lost, &kept);
        for (const Record& record : got.processes) {
            if (unopened.count(Value(record, "pid")) != 0) {
                Mixed("record of pid " + Value(record, "pid") + " although its Init failed");
            }
            auto it = wanted.find(Value(record, "pid"));
            if (it == wanted.end()) {
                Mixed("record of pid " + Value(record, "pid") + " that the fault-free pass lacks");
                continue;
            }
            CompareRecord(record, *it->second);
            CountTcp(record, *it->second, &lost, &kept);
            wanted.erase(it);
        }
        if (lost > 0 && kept > 0) {
            Mixed("the TCP summary is lost for some records and kept for others");
        }
        for (const auto& missing : wanted) {
            if (unopened.count(missing.first) == 0) {
                Mixed("record of pid " + missing.first +
                      " missing without a failed OpenProcess or GetProcessTimes for it");
            }
        }
    }

  private:
    void Mixed(const std::string& what) {
        m_findings->mixed.push_back("pass " + std::to_string(m_pass) + ": " + what);
    }

    void Expect(const Record& got, const Record& want, const std::string& key,
                std::vector<std::string> allowed) {
        const std::string value = Value(got, key);
        allowed.push_back(Value(want, key));
        if (std::find(allowed.begin(), allowed.end(), value) == allowed.end()) {
            Mixed("pid " + Value(got, "pid") + " " + key + " \"" + value + "\" instead of \"" +
                  Value(want, key) + "\"");
        }
    }

    // All three members as read, or all three empty: one table serves the whole pass.
    void CompareTcp(const Record& got, const Record& want, const std::string& where) {
        if (Tcp(got) != Tcp(want) && Tcp(got) != kNoTcp) {
            Mixed(where + " TCP members \"" + Tcp(got) + "\" instead of \"" + Tcp(want) + "\"");
        }
    }

    static void CountTcp(const Record& got, const Record& want, int* lost, int* kept) {
        if (Tcp(want) != kNoTcp) {
            *lost += Tcp(got) == kNoTcp ? 1 : 0;
            *kept += Tcp(got) == Tcp(want) ? 1 : 0;
        }
    }

    void CompareRecord(const Record& got, const Record& want) {
        Expect(got, want, "ppid", {"-1"});
        for (const char* key : {"proc_name", "proc_path", "cmd_line", "user"}) {
            Expect(got, want, key, {""});
        }
        for (const char* key : {"start_time", "cpu_time", "elapsed_time"}) {
            Expect(got, want, key, {});
        }
        CompareTcp(got, want, "pid " + Value(got, "pid"));
        const bool fileMembers = Find(got, "file_size") != nullptr;
        if (fileMembers && Find(want, "file_size") == nullptr) {
            Mixed("pid " + Value(got, "pid") + " has file members the fault-free pass lacks");
        } else if (fileMembers) {
            Expect(got, want, "file_size", {"-1"});
            Expect(got, want, "file_create_time", {});
            Expect(got, want, "file_modify_time", {});
            Expect(got, want, "file_md5", {""});
        }
        // Without file times the property cache is asked under time 0, which may
        // still hold what pass 1 read under time 0: pass 1's values of the path.
        std::vector<std::string> description = {""};
        std::vector<std::string> company = {""};
        std::vector<std::string> signer = SignerAlternatives(Value(want, "app_sign"));
        signer.push_back("");
        if (m_decodeFailed) {
            signer.push_back(CompanyWithoutCounterSignature(Value(want, "proc_path")));
        }
        auto first = m_firstByPath.find(Value(want, "proc_path"));
        if (m_pass == 2 && !fileMembers && first != m_firstByPath.end()) {
            description.push_back(Value(*first->second, "description"));
            company.push_back(Value(*first->second, "company"));
            for (const std::string& text : SignerAlternatives(Value(*first->second, "app_sign"))) {
                signer.push_back(text);
            }
        }
        Expect(got, want, "description", description);
        Expect(got, want, "company", company);
        Expect(got, want, "app_sign", signer);
    }

    int m_pass;
    bool m_decodeFailed;
    Findings* m_findings;
    std::map<std::string, const Record*> m_firstByPath;
};

// ---- Log records: each delivered failure leaves its own, with the call's code.

struct ExpectedRecord {
    enum Tail { kExact, kNumber, kAnything };
    std::string source;  // "" for texts composed by the caller (WriteLogMessage)
    int line = 0;
    std::string prefix;
    std::string suffix;  // kNumber: after the pid
    Tail tail = kExact;
    bool initFailedFollows = false;
};

ExpectedRecord Exact(const std::string& source, int line, const std::string& text,
                     bool initFailedFollows = false) {
    ExpectedRecord expected;
    expected.source = source;
    expected.line = line;
    expected.prefix = text;
    expected.initFailedFollows = initFailedFollows;
    return expected;
}

// A text composed by GetUser: the pid of the record being read, then the code.
ExpectedRecord UserFailure(const std::string& prefix, DWORD error) {
    ExpectedRecord expected = Exact("", 0, prefix);
    expected.suffix = ", err: " + std::to_string(error);
    expected.tail = ExpectedRecord::kNumber;
    return expected;
}

// role: which use of the call this is within its group (the nth VerQueryValueA of
// one version resource, the nth GetTokenInformation of one token, the nth
// GetExtendedTcpTable of one pass). pid: the process Init is binding, printed as
// its 32-bit id.
bool RecordOfFailure(const std::string& call, int role, DWORD error, int64_t pid,
                     ExpectedRecord* expected) {
    const std::string code = std::to_string(static_cast<int>(error));
    const std::string ofPid =
        std::to_string(static_cast<int32_t>(static_cast<uint32_t>(pid))) + ", err: " + code;
    if (call == "OpenProcess") {
        *expected = Exact("ProcInfoParser_Win", 46, "Open process error. PID: " + ofPid, true);
    } else if (call == "GetProcessTimes") {
        *expected = Exact("ProcInfoParser_Win", 54, "Get proc times error. PID: " + ofPid, true);
    } else if (call == "OpenProcessToken") {
        *expected = UserFailure("Open process token error. PID: ", error);
    } else if (call == "GetTokenInformation" && role == 2) {  // the first only learns the size
        *expected = UserFailure("GetTokenInformation. PID: ", error);
    } else if (call == "LookupAccountSidW") {
        *expected = UserFailure("LookupAccountSidA error. PID: ", error);
    } else if (call == "GetFileTime") {
        *expected = Exact("ProcInfoParser_Win", 317, "cal file time error: " + code + ", ");
        expected->tail = ExpectedRecord::kAnything;  // the image path follows
    } else if (call == "GetFileSizeEx" || call == "SetFilePointerEx" ||
               call == "ReadFile") {  // a file it cannot open is silent
        *expected = Exact("FilePropertyCache", 90, "GetFileVersionInfoA error. err: " + code);
    } else if (call == "VerQueryValueA" && (role == 1 || role == 2)) {  // the company is silent
        *expected = Exact("FilePropertyCache", role == 1 ? 100 : 114,
                          "VerQueryValueA error. err" + std::to_string(role) + ": " + code);
    } else if (call == "WinVerifyTrust" && error == 0x80096010) {  // no signature is silent
        *expected = Exact("FilePropertyCache", 70,
                          "Signature not verified, signer not reported. err: 0x80096010 path: ");
        expected->tail = ExpectedRecord::kAnything;
    } else if (call == "GetExtendedTcpTable" && !(role == 1 && error == 122)) {  // 122 resizes
        *expected = Exact("WinTcpTableUtil", 30, "Get tcp table error." + code);
    } else if (call == "HeapAlloc") {
        *expected = Exact("WinTcpTableUtil", 30, "Get tcp table error.8");
    } else {
        return false;
    }
    return true;
}

bool Matches(const layer::LogRecord& log, const ExpectedRecord& expected) {
    const std::string& text = log.text;
    if (log.level != 2 || log.source != expected.source || log.line != expected.line ||
        text.compare(0, expected.prefix.size(), expected.prefix) != 0) {
        return false;
    }
    const std::string tail = text.substr(std::min(text.size(), expected.prefix.size()));
    switch (expected.tail) {
        case ExpectedRecord::kExact:
            return tail.empty();
        case ExpectedRecord::kAnything:
            return true;
        case ExpectedRecord::kNumber:
            break;
    }
    return tail.size() > expected.suffix.size() &&
           tail.compare(tail.size() - expected.suffix.size(), expected.suffix.size(),
                        expected.suffix) == 0 &&
           tail.find_first_not_of("-0123456789") >= tail.size() - expected.suffix.size();
}

// The first failure record after events[at], with no other call in between.
const Event* NextFailureRecord(const std::vector<Event>& events, size_t at, const Event** call) {
    *call = nullptr;
    for (size_t i = at + 1; i < events.size(); ++i) {
        if (events[i].kind == Event::kCall) {
            *call = &events[i];
            return nullptr;
        }
        if (events[i].kind == Event::kLog && events[i].log.level == 2) {
            return &events[i];
        }
    }
    return nullptr;
}

void CheckFailureRecords(const Schedule& schedule, const PassRecord& pass, Findings* findings) {
    const std::vector<Event>& events = pass.events;
    int versionQueries = 0;
    int tokenQueries = 0;
    int tableCalls = 0;
    size_t opened = 0;  // Init opens the enumerated pids in order
    for (size_t i = 0; i < events.size(); ++i) {
        const Event& event = events[i];
        if (event.kind == Event::kLog && event.log.level == 2 &&
            event.text.find(std::to_string(kStaleError)) != std::string::npos) {
            findings->mixed.push_back("pass " + std::to_string(pass.pass) +
                                      ": a stale GetLastError in \"" + event.text + "\"");
        }
        if (event.kind != Event::kCall) {
            continue;
        }
        // Each version read starts by sizing the file.
        versionQueries = event.call == "GetFileSizeEx" ? 0 : versionQueries;
        tokenQueries = event.call == "OpenProcessToken" ? 0 : tokenQueries;
        tableCalls = event.call == "CreateToolhelp32Snapshot" ? 0 : tableCalls;
        opened += event.call == "OpenProcess" ? 1 : 0;
        const int64_t pid =
            opened > 0 && opened <= pass.enumerated.size() ? pass.enumerated[opened - 1] : -1;
        const int role = event.call == "VerQueryValueA"        ? ++versionQueries
                         : event.call == "GetTokenInformation" ? ++tokenQueries
                         : event.call == "GetExtendedTcpTable" ? ++tableCalls
                                                               : 1;
        DWORD error = 0;
        if (!ScheduledFailure(schedule, event.call, event.use, &error)) {
            continue;
        }
        ++findings->failedCalls;
        ExpectedRecord expected;
        if (!RecordOfFailure(event.call, role, error, pid, &expected)) {
            continue;
        }
        const std::string failure = "pass " + std::to_string(pass.pass) + ": " + event.call + " #" +
                                    std::to_string(event.use) + " failed with " +
                                    std::to_string(error);
        const Event* nextCall = nullptr;
        const Event* record = NextFailureRecord(events, i, &nextCall);
        if (record == nullptr || !Matches(record->log, expected)) {
            findings->mixed.push_back(
                failure + " but the next failure record is " +
                (record ? "\"" + record->text + "\"" : "none") +
                (nextCall ? " before " + nextCall->text : "") + "; expected \"" + expected.prefix +
                (expected.tail == ExpectedRecord::kExact ? "" : "...") + expected.suffix + "\"");
            continue;
        }
        if (expected.initFailedFollows) {
            record = NextFailureRecord(events, record - &events[0], &nextCall);
            if (record == nullptr || record->log.text != kInitFailed) {
                findings->mixed.push_back(failure + " but \"" + kInitFailed + "\" did not follow");
                continue;
            }
        }
        const Event* again = NextFailureRecord(events, record - &events[0], &nextCall);
        if (again != nullptr && again->text == record->text) {
            findings->mixed.push_back(failure + " and \"" + record->text + "\" was logged twice");
        }
    }
}

// pids ("%d" of the 32-bit id) that a pass could not open or time.
std::set<std::string> UnopenedPids(const PassRecord& pass) {
    std::set<std::string> pids;
    for (const Event& event : pass.events) {
        const std::string& text = event.log.text;
        const size_t at = text.find("PID: ");
        if (event.kind == Event::kLog && event.log.source == "ProcInfoParser_Win" &&
            (event.log.line == 46 || event.log.line == 54) && at != std::string::npos) {
            const long long printed = std::strtoll(text.c_str() + at + 5, nullptr, 10);
            pids.insert(std::to_string(static_cast<uint32_t>(static_cast<int32_t>(printed))));
        }
    }
    return pids;
}

// After a Stop the parser loop opens no further process, and a Stop before the pause
// (its msleep included) leaves out the pause and the report.
void CheckStop(const PassRecord& pass, Findings* findings) {
    const std::vector<Event>& events = pass.events;
    const auto stop = std::find_if(events.begin(), events.end(), [](const Event& event) {
        return event.text == "log 4 stop korvaProc.";
    });
    const auto pause = std::find_if(events.begin(), events.end(),
                                    [](const Event& event) { return event.text == "sleep 1000"; });
    const auto pauseCall = std::find_if(
        std::make_reverse_iterator(pause), events.rend(),
        [](const Event& event) { return event.kind == Event::kCall && event.call == "msleep"; });
    const std::string where = "pass " + std::to_string(pass.pass) + ": ";
    if (std::any_of(stop, events.end(), [](const Event& event) {
            return event.kind == Event::kCall && event.call == "OpenProcess";
        })) {
        findings->mixed.push_back(where + "a process opened after Stop");
    }
    if (pause != events.end() && pauseCall != events.rend() && stop < pauseCall.base() - 1) {
        findings->mixed.push_back(where + "the pause and the report came after Stop");
    }
}

bool HasEvent(const PassRecord& pass, const std::string& text) {
    return std::any_of(pass.events.begin(), pass.events.end(),
                       [&text](const Event& event) { return event.text == text; });
}

bool Delivered(const Schedule& schedule, const PassRecord& pass, const std::string& call) {
    DWORD error = 0;
    return std::any_of(pass.events.begin(), pass.events.end(), [&](const Event& event) {
        return event.kind == Event::kCall && event.call == call &&
               ScheduledFailure(schedule, call, event.use, &error);
    });
}

// A pass sends one report, unless Stop came before the pause or no process was bound.
void CheckNoReport(const Schedule& schedule, const PassRecord& pass, const Report& want,
                   Findings* findings) {
    const std::string where = "pass " + std::to_string(pass.pass) + ": ";
    const bool stopped = HasEvent(pass, "log 4 stop korvaProc.") && !HasEvent(pass, "sleep 1000");
    if (stopped) {
        return;
    }
    const bool noneBound = std::any_of(pass.events.begin(), pass.events.end(), [](const Event& e) {
        return e.kind == Event::kLog && e.log.source == "KorvaProcInterfaceImp" &&
               e.log.line == kNoProcessBoundLine;
    });
    if (!noneBound) {
        findings->mixed.push_back(where +
                                  "no report, no Stop and no \"parse process basic "
                                  "info failed.\"");
        return;
    }
    if (Delivered(schedule, pass, "EnumProcesses")) {
        return;
    }
    const std::set<std::string> unopened = UnopenedPids(pass);
    for (const Record& record : want.processes) {
        if (unopened.count(Value(record, "pid")) == 0) {
            findings->mixed.push_back(where + "no process bound, yet pid " + Value(record, "pid") +
                                      " was opened and timed");
            return;
        }
    }
}

}  // namespace

void CheckPass(const Schedule& schedule, const PassRecord& pass, const std::string& reference,
               const std::string& firstReference, Findings* findings) {
    const std::string where = "pass " + std::to_string(pass.pass) + ": ";
    CheckFailureRecords(schedule, pass, findings);
    CheckStop(pass, findings);
    if (!HasEvent(pass, "log 4 end of refresh proc info")) {
        findings->mixed.push_back(where + "the pass did not log its end");
    }
    Report want;
    Report first;
    std::vector<std::string> referenceProblems;
    if (!ReadReport(reference, &want, &referenceProblems) ||
        !ReadReport(firstReference, &first, &referenceProblems)) {
        findings->invalid.push_back("the fault-free report: " + referenceProblems.front());
        ++findings->invalidReports;
        return;
    }
    if (pass.messages.empty()) {
        CheckNoReport(schedule, pass, want, findings);
        return;
    }
    if (pass.messages.size() > 1 || pass.messages[0].first != kMessageType) {
        findings->invalid.push_back(where + std::to_string(pass.messages.size()) +
                                    " messages, the first of type " + pass.messages[0].first);
        ++findings->invalidReports;
    }
    if (!HasEvent(pass, "sleep 1000")) {
        findings->mixed.push_back(where + "a report without the pause before it");
    }
    std::vector<std::string> problems;
    Report got;
    if (!ReadReport(pass.messages[0].second, &got, &problems)) {
        ++findings->invalidReports;
        for (const std::string& problem : problems) {
            findings->invalid.push_back(where + problem);
        }
        return;
    }
    if (schedule.faults.empty() && schedule.stopCall.empty() &&
        pass.messages[0].second != reference) {
        findings->mixed.push_back(where + "a fault-free pass differs from the reference");
    }
    const bool decodeFailed =
        std::any_of(schedule.faults.begin(), schedule.faults.end(), [](const Fault& fault) {
            // the counter-signature's decode, its buffers, its check and its chain
            return fault.call == "CryptDecodeObject" || fault.call == "LocalAlloc" ||
                   fault.call == "CryptMsgGetParam" ||
                   fault.call == "CryptMsgVerifyCountersignatureEncodedEx" ||
                   fault.call == "CertGetCertificateChain" ||
                   fault.call == "CertVerifyCertificateChainPolicy";
        });
    ValueCheck(pass.pass, decodeFailed, findings).Compare(got, want, first, UnopenedPids(pass));
}

}  // namespace campaign