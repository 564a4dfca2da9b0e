#include "campaign/PassOracle.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>

#include "campaign/CampaignMachine.h"
#include "campaign/ReportFormat.h"
#include "module/LogRecords.h"
#include "module/ReportShape.h"

namespace campaign {

namespace {

const char kMessageType[] = "T_PROCESS_LIST_INFO_RSP";
using namespace log_records;

// How the journal shows a record written whole.
std::string LogEvent(const LogRecord& record) {
    return "log " + std::to_string(record.level) + " " + record.format;
}

// ---- Values: which delivered failure may change which member of which record, and to
// what. Every member no rule reaches must be the fault-free one.

enum Effect : unsigned {
    kMissing = 1u << 0,      // no record at all
    kNoParent = 1u << 1,     // ppid -1
    kNoName = 1u << 2,       // proc_name ""
    kNoPath = 1u << 3,       // proc_path ""
    kNoCmdLine = 1u << 4,    // cmd_line ""
    kNoUser = 1u << 5,       // user ""
    kNoFile = 1u << 6,       // the four file members left out
    kNoProperty = 1u << 8,   // description, company and app_sign "": no path to ask about
    kNoVersion = 1u << 9,    // description and company ""
    kPartSigner = 1u << 10,  // app_sign "", one of its halves, or the company alone
    kNoTcp = 1u << 11,       // every TCP summary of the pass "||0"
};

// Whom a failure touches: the process Init was opening; the record the report was
// writing; the file whose properties were read (and every record the cache serves them
// to, in this pass and the next); every record of the pass.
enum Scope { kInitPid, kWrittenRecord, kReadFile, kWholePass };

struct Rule {
    const char* call;
    Scope scope;
    unsigned effects;
};

// A call not in the table changes no value: it fails a whole pass (EnumProcesses),
// only counts (msleep, GetPathName), or has a fallback that reads the same.
const Rule kRules[] = {
    {"OpenProcess", kInitPid, kMissing},
    {"GetProcessTimes", kInitPid, kMissing},
    {"CreateToolhelp32Snapshot", kWholePass, kNoParent},
    {"Process32FirstW", kWholePass, kNoParent},
    {"Process32NextW", kWholePass, kNoParent},
    {"GetExtendedTcpTable", kWholePass, kNoTcp},
    {"HeapAlloc", kWholePass, kNoTcp},
    {"GetProcessPathW", kWrittenRecord, kNoName | kNoPath | kNoFile | kNoProperty},
    {"GetProcessCommandLineW", kWrittenRecord, kNoCmdLine},
    {"OpenProcessToken", kWrittenRecord, kNoUser},
    {"GetTokenInformation", kWrittenRecord, kNoUser},
    {"LookupAccountSidW", kWrittenRecord, kNoUser},
    {"GetFileTime", kWrittenRecord, kNoFile},
    {"CryptQueryObject", kReadFile, kPartSigner},
    {"CryptMsgGetParam", kReadFile, kPartSigner},
    {"CertFindCertificateInStore", kReadFile, kPartSigner},
    {"CertGetNameStringW", kReadFile, kPartSigner},
    {"CryptDecodeObject", kReadFile, kPartSigner},
    {"LocalAlloc", kReadFile, kPartSigner},
    {"FileTimeToLocalFileTime", kReadFile, kPartSigner},
    {"FileTimeToSystemTime", kReadFile, kPartSigner},
    {"CryptMsgVerifyCountersignatureEncodedEx", kReadFile, kPartSigner},
    {"CertGetCertificateChain", kReadFile, kPartSigner},
    {"CertVerifyCertificateChainPolicy", kReadFile, kPartSigner},
    {"WinVerifyTrust", kReadFile, kPartSigner},
    {"ImageGetCertificateHeader", kReadFile, kPartSigner},
    {"CreateFileW", kReadFile, kNoVersion | kPartSigner},  // the version read, the signer's hold
    {"GetFileSizeEx", kReadFile, kNoVersion},
    {"SetFilePointerEx", kReadFile, kNoVersion},
    {"ReadFile", kReadFile, kNoVersion},
    {"VerQueryValueA", kReadFile, kNoVersion},
};

const Rule* RuleOf(const std::string& call) {
    for (const Rule& rule : kRules) {
        if (call == rule.call) {
            return &rule;
        }
    }
    return nullptr;
}

std::string Tcp(const Record& record) {
    return Value(record, "listen_port") + "|" + Value(record, "establish_port") + "|" +
           Value(record, "connect_count");
}

// The summary of a process without TCP rows, and of every process without a table.
const char kNoTcpText[] = "||0";

// The signer text as read, without its date, or without its company.
std::vector<std::string> SignerParts(const std::string& text) {
    const size_t date = text.find(" SignDate: ");
    if (date == std::string::npos || date == 0) {
        return {text};
    }
    return {text, text.substr(0, date), text.substr(date)};
}

// Walks the journal of a pass and gives each delivered failure to whom it touches.
class Attribution {
  public:
    Attribution(const Schedule& schedule, const PassRecord& pass, const Report* got,
                const std::map<std::string, const Record*>& wanted, SpoiledFiles* spoiled)
        : m_schedule(schedule), m_got(got), m_wanted(wanted), m_spoiled(spoiled) {
        size_t opened = 0;
        bool writing = false;
        for (const Event& event : pass.events) {
            writing = writing || event.text == "sleep 1000";
            if (event.kind != Event::kCall) {
                continue;
            }
            opened += event.call == "OpenProcess" ? 1 : 0;
            const int record = writing ? RecordOf(event) : -1;
            DWORD error = 0;
            const Rule* rule = RuleOf(event.call);
            if (rule == nullptr || !ScheduledFailure(schedule, event.call, event.use, &error)) {
                continue;
            }
            if (rule->scope == kWholePass) {
                m_pass |= rule->effects;
            } else if (rule->scope == kInitPid && !writing && opened > 0 &&
                       opened <= pass.enumerated.size()) {
                m_byPid[std::to_string(pass.enumerated[opened - 1])] |= rule->effects;
            } else if (rule->scope == kWrittenRecord && record >= 0) {
                m_byPid[PidOf(record)] |= rule->effects;
            } else if (rule->scope == kReadFile && record >= 0) {
                (*m_spoiled)[WantedPath(record)] |= rule->effects;
            }
        }
        m_recordsWritten = m_record + 1;
    }

    // The effects that may show in the record of that pid, whose fault-free path is path.
    unsigned Of(const std::string& pid, const std::string& path) const {
        auto byPid = m_byPid.find(pid);
        auto byPath = m_spoiled->find(path);
        return m_pass | (byPid != m_byPid.end() ? byPid->second : 0) |
               (byPath != m_spoiled->end() ? byPath->second : 0);
    }

    int RecordsWritten() const { return m_recordsWritten; }

  private:
    // A record asks for its path until it has one: once or twice before its command
    // line, and once more for its properties when both gave nothing.
    int RecordOf(const Event& event) {
        if (event.call == "GetProcessPathW") {
            if (m_trailingPathCall) {
                m_trailingPathCall = false;
                return m_record;
            }
            DWORD error = 0;
            ++m_leadingPathCalls;
            m_leadingPathFailures += ScheduledFailure(m_schedule, event.call, event.use, &error);
            return m_record + 1;
        }
        if (event.call == "GetProcessCommandLineW") {
            ++m_record;
            m_trailingPathCall = m_leadingPathCalls == 2 &&
                                 (m_leadingPathFailures == 2 || WantedPath(m_record).empty());
            m_leadingPathCalls = m_leadingPathFailures = 0;
        }
        return m_record;
    }

    std::string PidOf(int record) const {
        return m_got != nullptr && static_cast<size_t>(record) < m_got->processes.size()
                   ? Value(m_got->processes[static_cast<size_t>(record)], "pid")
                   : "?";
    }

    std::string WantedPath(int record) const {
        auto it = m_wanted.find(PidOf(record));
        return it != m_wanted.end() ? Value(*it->second, "proc_path") : std::string();
    }

    const Schedule& m_schedule;
    const Report* m_got;
    const std::map<std::string, const Record*>& m_wanted;
    SpoiledFiles* m_spoiled;
    unsigned m_pass = 0;
    std::map<std::string, unsigned> m_byPid;
    int m_record = -1;
    int m_recordsWritten = 0;
    int m_leadingPathCalls = 0;
    int m_leadingPathFailures = 0;
    bool m_trailingPathCall = false;
};

class ValueCheck {
  public:
    ValueCheck(int pass, Findings* findings) : m_pass(pass), m_findings(findings) {}

    void Compare(const Report& got, const Report& want,
                 const std::map<std::string, const Record*>& wanted,
                 const Attribution& attribution) {
        if (got.cmdIdx != kCmdIdx || got.triggerType != kTriggerType) {
            Mixed("request texts \"" + got.cmdIdx + "\" \"" + got.triggerType + "\"");
        }
        if (got.scanTime != want.scanTime) {
            Mixed("scan_time " + got.scanTime + " instead of " + want.scanTime);
        }
        if (attribution.RecordsWritten() != static_cast<int>(got.processes.size())) {
            Mixed(std::to_string(got.processes.size()) + " records, but " +
                  std::to_string(attribution.RecordsWritten()) + " were written");
        }
        std::map<std::string, const Record*> left = wanted;
        int lost = 0;
        int kept = 0;
        const unsigned passEffects = attribution.Of("", "");
        CompareTcp(got.system, want.system, passEffects, "System record");
        CountTcp(got.system, want.system, &lost, &kept);
        for (const Record& record : got.processes) {
            auto it = left.find(Value(record, "pid"));
            if (it == left.end()) {
                Mixed("record of pid " + Value(record, "pid") + " that the fault-free pass lacks");
                continue;
            }
            const unsigned effects = attribution.Of(it->first, Value(*it->second, "proc_path"));
            if ((effects & kMissing) != 0) {
                Mixed("record of pid " + it->first + " although its Init failed");
            }
            CompareRecord(record, *it->second, effects);
            CountTcp(record, *it->second, &lost, &kept);
            left.erase(it);
        }
        if (lost > 0 && kept > 0) {
            Mixed("the TCP summary is lost for some records and kept for others");
        }
        for (const auto& missing : left) {
            if ((attribution.Of(missing.first, "") & kMissing) == 0) {
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

    // Either form only when a failure may have cost it: the fault-free one otherwise.
    static std::vector<std::string> Or(unsigned effects, unsigned effect, std::string value) {
        return (effects & effect) != 0 ? std::vector<std::string>{value}
                                       : std::vector<std::string>{};
    }

    void CompareTcp(const Record& got, const Record& want, unsigned effects,
                    const std::string& where) {
        if (Tcp(got) != Tcp(want) && !((effects & kNoTcp) != 0 && Tcp(got) == kNoTcpText)) {
            Mixed(where + " TCP members \"" + Tcp(got) + "\" instead of \"" + Tcp(want) + "\"");
        }
    }

    static void CountTcp(const Record& got, const Record& want, int* lost, int* kept) {
        if (Tcp(want) != kNoTcpText) {
            *lost += Tcp(got) == kNoTcpText ? 1 : 0;
            *kept += Tcp(got) == Tcp(want) ? 1 : 0;
        }
    }

    void CompareRecord(const Record& got, const Record& want, unsigned effects) {
        Expect(got, want, "ppid", Or(effects, kNoParent, "-1"));
        Expect(got, want, "proc_name", Or(effects, kNoName, ""));
        Expect(got, want, "proc_path", Or(effects, kNoPath, ""));
        Expect(got, want, "cmd_line", Or(effects, kNoCmdLine, ""));
        Expect(got, want, "user", Or(effects, kNoUser, ""));
        for (const char* key : {"start_time", "cpu_time", "elapsed_time"}) {
            Expect(got, want, key, {});
        }
        CompareTcp(got, want, effects, "pid " + Value(got, "pid"));
        const bool fileMembers = Find(got, "file_size") != nullptr;
        if (fileMembers != (Find(want, "file_size") != nullptr) &&
            (fileMembers || (effects & kNoFile) == 0)) {
            Mixed("pid " + Value(got, "pid") + (fileMembers ? " has" : " lacks") +
                  " the file members without a failure to explain it");
        } else if (fileMembers) {
            for (size_t i = reportshape::kFirstFileMember; reportshape::IsFileMember(i); ++i) {
                Expect(got, want, std::string(reportshape::kProcessMembers[i].key), {});
            }
        }
        std::vector<std::string> description = Or(effects, kNoVersion | kNoProperty, "");
        std::vector<std::string> company = description;
        std::vector<std::string> signer = Or(effects, kNoProperty, "");
        if ((effects & kPartSigner) != 0) {
            signer = SignerParts(Value(want, "app_sign"));
            signer.push_back("");
            signer.push_back(CompanyWithoutCounterSignature(Value(want, "proc_path")));
        }
        Expect(got, want, "description", description);
        Expect(got, want, "company", company);
        Expect(got, want, "app_sign", signer);
    }

    int m_pass;
    Findings* m_findings;
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

// The record's text with these arguments, formatted as the logger does.
template <typename... Args>
std::string Text(const char* format, Args... args) {
    char text[512];
    std::snprintf(text, sizeof(text), format, args...);
    return text;
}

// A "%s" at the end stands for any text (a path); it is left empty here.
template <typename... Args>
ExpectedRecord Exact(const LogRecord& record, Args... args) {
    ExpectedRecord expected;
    expected.source = record.source != nullptr ? record.source : "";
    expected.line = record.line;
    expected.prefix = Text(record.format, args...);
    const std::string format = record.format;
    if (format.size() >= 2 && format.compare(format.size() - 2, 2, "%s") == 0) {
        expected.tail = ExpectedRecord::kAnything;
    }
    return expected;
}

// A text composed by GetUser: the pid of the record being read, then the code.
ExpectedRecord UserFailure(const LogRecord& record, DWORD error) {
    const std::string format = record.format;
    const size_t pid = format.find("%lld");
    ExpectedRecord expected = Exact(record);
    expected.prefix = format.substr(0, pid);
    expected.suffix = Text(format.substr(pid + 4).c_str(), static_cast<unsigned int>(error));
    expected.tail = ExpectedRecord::kNumber;
    return expected;
}

// role: which use of the call this is within its group (the nth VerQueryValueA of
// one version resource, the nth GetTokenInformation of one token, the nth
// GetExtendedTcpTable of one pass). pid: the process Init is binding, printed as
// its 32-bit id.
bool RecordOfFailure(const std::string& call, int role, DWORD error, int64_t pid,
                     ExpectedRecord* expected) {
    const int code = static_cast<int>(error);
    const int pid32 = static_cast<int32_t>(static_cast<uint32_t>(pid));
    if (call == "OpenProcess") {
        *expected = Exact(kOpenProcessFailed, pid32, code);
        expected->initFailedFollows = true;
    } else if (call == "GetProcessTimes") {
        *expected = Exact(kProcessTimesFailed, pid32, code);
        expected->initFailedFollows = true;
    } else if (call == "OpenProcessToken") {
        *expected = UserFailure(kTokenOpenFailed, error);
    } else if (call == "GetTokenInformation" && role == 2) {  // the first only learns the size
        *expected = UserFailure(kTokenUserFailed, error);
    } else if (call == "LookupAccountSidW") {
        *expected = UserFailure(kAccountFailed, error);
    } else if (call == "GetFileTime") {
        *expected = Exact(kFileTimesFailed, code, "");
    } else if (call == "GetFileSizeEx" || call == "SetFilePointerEx" ||
               call == "ReadFile") {  // a file it cannot open is silent
        *expected = Exact(kVersionReadFailed, code);
    } else if (call == "VerQueryValueA" && (role == 1 || role == 2)) {  // the company is silent
        *expected = Exact(role == 1 ? kTranslationFailed : kDescriptionFailed, code);
    } else if (call == "WinVerifyTrust" && error == 0x80096010) {  // no signature is silent
        *expected = Exact(kNotVerified, static_cast<unsigned int>(error), "");
    } else if (call == "GetExtendedTcpTable" && !(role == 1 && error == 122)) {  // 122 resizes
        *expected = Exact(kTcpTableFailed, code);
    } else if (call == "HeapAlloc") {
        *expected = Exact(kTcpTableFailed, static_cast<int>(ERROR_NOT_ENOUGH_MEMORY));
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
            if (record == nullptr || record->log.text != kInitFailed.format) {
                findings->mixed.push_back(failure + " but \"" + kInitFailed.format +
                                          "\" did not follow");
                continue;
            }
        }
        const Event* again = NextFailureRecord(events, record - &events[0], &nextCall);
        if (again != nullptr && again->text == record->text) {
            findings->mixed.push_back(failure + " and \"" + record->text + "\" was logged twice");
        }
    }
}

// After a Stop the parser loop opens no further process, and a Stop before the pause
// (its msleep included) leaves out the pause and the report.
void CheckStop(const PassRecord& pass, Findings* findings) {
    const std::vector<Event>& events = pass.events;
    const auto stop = std::find_if(events.begin(), events.end(), [](const Event& event) {
        return event.text == LogEvent(kStopAsked);
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
                   const Attribution& attribution, Findings* findings) {
    const std::string where = "pass " + std::to_string(pass.pass) + ": ";
    const bool stopped = HasEvent(pass, LogEvent(kStopAsked)) && !HasEvent(pass, "sleep 1000");
    if (stopped) {
        return;
    }
    const bool noneBound = std::any_of(pass.events.begin(), pass.events.end(), [](const Event& e) {
        return e.kind == Event::kLog && e.log.source == kNoProcessBound.source &&
               e.log.line == kNoProcessBound.line;
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
    for (const Record& record : want.processes) {
        if ((attribution.Of(Value(record, "pid"), "") & kMissing) == 0) {
            findings->mixed.push_back(where + "no process bound, yet pid " + Value(record, "pid") +
                                      " was opened and timed");
            return;
        }
    }
}

}  // namespace

void CheckPass(const Schedule& schedule, const PassRecord& pass, const std::string& reference,
               SpoiledFiles* spoiled, Findings* findings) {
    const std::string where = "pass " + std::to_string(pass.pass) + ": ";
    CheckFailureRecords(schedule, pass, findings);
    CheckStop(pass, findings);
    if (!HasEvent(pass, LogEvent(kPassEnds))) {
        findings->mixed.push_back(where + "the pass did not log its end");
    }
    Report want;
    std::vector<std::string> referenceProblems;
    if (!ReadReport(reference, &want, &referenceProblems)) {
        findings->invalid.push_back("the fault-free report: " + referenceProblems.front());
        ++findings->invalidReports;
        return;
    }
    std::map<std::string, const Record*> wanted;
    for (const Record& record : want.processes) {
        wanted[Value(record, "pid")] = &record;
    }
    Report got;
    std::vector<std::string> problems;
    const bool readable =
        !pass.messages.empty() && ReadReport(pass.messages[0].second, &got, &problems);
    const Attribution attribution(schedule, pass, readable ? &got : nullptr, wanted, spoiled);
    if (pass.messages.empty()) {
        CheckNoReport(schedule, pass, want, attribution, findings);
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
    if (!readable) {
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
    ValueCheck(pass.pass, findings).Compare(got, want, wanted, attribution);
}

}  // namespace campaign
