#include "campaign/CampaignMachine.h"

#include <iphlpapi.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>

#include "campaign/ReportFormat.h"
#include "layer/Control.h"
#include "layer/Machine.h"
#include "support/TcpRows.h"

namespace campaign {

// Texts that need escaping travel back byte for byte.
const char kCmdIdx[] = "cmd \"7\"\\\t\xC3\xA9";
const char kTriggerType[] = "t\xC3\xA4glich\x01";

namespace {

constexpr int64_t kNow = 1700000000;
constexpr int64_t kSecondPassAt = kNow + 3600;
constexpr WORD kEnglish = 0x0409;
constexpr WORD kGerman = 0x0407;
constexpr WORD kUnicode = 0x04b0;
constexpr WORD kWestern = 0x04e4;
constexpr DWORD kSharingViolation = 32;

const char kAgent[] = "C:\\Program Files\\Korva\\agent.exe";
const char kShell[] = "C:\\Windows\\desk-shell.exe";
const char kRunner[] = "C:\\Windows\\System32\\svcrunner.exe";
const char kNoDescription[] = "C:\\Tools\\no-description.exe";
const char kCutTranslation[] = "C:\\Tools\\cut-translation.exe";
const char kNoTranslation[] = "C:\\Tools\\no-translation.exe";
const char kTranslationError[] = "C:\\Tools\\translation-error.exe";
const char kDescriptionError[] = "C:\\Tools\\description-error.exe";
const char kSizeError[] = "C:\\Tools\\size-error.exe";
const char kReadError[] = "C:\\Tools\\read-error.exe";
const char kTranslations[] =
    "C:\\Programme\\B\xC3\xBCro\\\xC3\xBC"
    "bersetzer.exe";
// Outside the system code page: the narrow path that comes back names no file.
const char kForeign[] = "C:\\Users\\J\xC3\xB6rg\\\xE6\x97\xA5\xE6\x9C\xAC.exe";
const char kEmpty[] = "C:\\Tools\\empty.exe";
const char kLocked[] = "C:\\Tools\\locked.exe";
const char kFolder[] = "C:\\Tools\\folder.exe";
const char kMissing[] = "C:\\Tools\\missing.exe";
const char kBadSigningTime[] = "C:\\Tools\\bad-signing-time.exe";
const char kAlpha[] = "C:\\Tools\\alpha.exe";
const char kBeta[] = "C:\\Tools\\beta.exe";
const char kRewritten[] = "C:\\Tools\\rewritten.exe";
// Version resources that lie about themselves; the claim takes the file's size in bytes.
struct HostileShape {
    const char* path;
    void (*apply)(layer::VersionResource& version, size_t fileBytes);
};
const HostileShape kHostileShapes[] = {
    {"C:\\Hostile\\claim-past-end.exe",
     [](layer::VersionResource& v, size_t bytes) { v.dataSizeClaim = bytes + 16; }},
    {"C:\\Hostile\\claim-2g.exe",
     [](layer::VersionResource& v, size_t) { v.dataSizeClaim = 0x7FFFFFF0; }},
    {"C:\\Hostile\\claim-4g.exe",
     [](layer::VersionResource& v, size_t) { v.dataSizeClaim = 0xFFFFFFFF; }},
    {"C:\\Hostile\\claim-3.exe", [](layer::VersionResource& v, size_t) { v.dataSizeClaim = 3; }},
    {"C:\\Hostile\\root-6.exe", [](layer::VersionResource& v, size_t) { v.rootLength = 6; }},
    {"C:\\Hostile\\table-ffff.exe",
     [](layer::VersionResource& v, size_t) { v.stringTableLength = 0xFFFF; }},
    {"C:\\Hostile\\unterminated.exe",
     [](layer::VersionResource& v, size_t) { v.unterminatedStrings = true; }},
};

constexpr uint32_t kReusedPid = 1200;
constexpr uint32_t kGoneBeforeInit = 2900;
constexpr uint32_t kGoneDuringPause = 3100;

uint64_t At(int64_t seconds) { return layer::FileTimeFromUnix(seconds); }

layer::File& Executable(const std::string& path, int ageDays) {
    layer::File& file = layer::machine().files[path];
    file.content = "MZ\x90" + path + std::string(static_cast<size_t>(64 + ageDays), 'k');
    file.creationTime = At(kNow - 86400 * (ageDays + 30));
    file.lastWriteTime = At(kNow - 86400 * ageDays);
    return file;
}

void Describe(layer::File& file, WORD language, WORD codePage, const std::string& description,
              const std::string& company) {
    if (!description.empty()) {
        file.version.SetString(language, codePage, "FileDescription", description);
    }
    if (!company.empty()) {
        file.version.SetString(language, codePage, "CompanyName", company);
    }
}

layer::Signature Signed(const std::string& commonName, const std::string& email = "") {
    return layer::MakeSignature({email, commonName, "", ""}, "Campaign Code Signing CA");
}

void AddExecutables() {
    layer::File& agent = Executable(kAgent, 3);
    Describe(agent, kEnglish, kUnicode, "Korva Endpoint Agent", "Korva Labs");
    agent.signature = Signed("Korva Labs");
    layer::AddCounterSignature(agent.signature, "Campaign TSA", At(1551773229));

    layer::File& shell = Executable(kShell, 40);
    Describe(shell, kEnglish, kUnicode, "Desk Shell", "");
    shell.signature = Signed("Ostrava Systems");

    layer::File& runner = Executable(kRunner, 90);
    runner.signature = Signed("Ostrava Systems");
    layer::AddCounterSignature(runner.signature, "Absent TSA", At(1551773229), false);

    Describe(Executable(kNoDescription, 5), kEnglish, kUnicode, "", "Nodesc Ltd");
    layer::File& cut = Executable(kCutTranslation, 6);
    Describe(cut, kEnglish, kUnicode, "Cut", "Cut Ltd");
    cut.version.translationBytes = 2;
    layer::File& none = Executable(kNoTranslation, 7);
    Describe(none, kEnglish, kUnicode, "None", "None Ltd");
    none.version.translationBytes = 0;
    layer::File& translationError = Executable(kTranslationError, 8);
    Describe(translationError, kEnglish, kUnicode, "Hidden", "Hidden Ltd");
    translationError.version.queryErrors[layer::kTranslationPath] = ERROR_RESOURCE_DATA_NOT_FOUND;
    layer::File& descriptionError = Executable(kDescriptionError, 9);
    Describe(descriptionError, kEnglish, kUnicode, "Hidden", "Hidden Ltd");
    descriptionError.version
        .queryErrors[layer::VersionStringPath(kEnglish, kUnicode, "FileDescription")] =
        ERROR_RESOURCE_NAME_NOT_FOUND;

    layer::File& sizeError = Executable(kSizeError, 10);
    Describe(sizeError, kEnglish, kUnicode, "Unread", "Unread Ltd");
    sizeError.version.dataSizeClaim = 3;  // too short for a block
    sizeError.signature = Signed("Garbled Timestamps");
    sizeError.signature.unauthenticated.push_back(
        layer::SignerAttribute{"1.2.840.113549.1.9.6", {layer::kUndecodableValue}});
    layer::File& readError = Executable(kReadError, 11);
    Describe(readError, kEnglish, kUnicode, "Unread", "Unread Ltd");
    readError.version.readError = ERROR_ACCESS_DENIED;

    // Several translations, the first German with texts outside ASCII; a signer
    // known by its e-mail address only.
    layer::File& translations = Executable(kTranslations, 12);
    Describe(translations, kGerman, kWestern,
             "\xC3\x9C"
             "bersetzer f\xC3\xBCr B\xC3\xBCros",
             "M\xC3\xBCller & S\xC3\xB6hne \xE2\x98\x83");
    Describe(translations, kEnglish, kUnicode, "Translator", "Mueller and Sons");
    translations.signature = Signed("",
                                    "signing@m\xC3\xBC"
                                    "ller.example");
    layer::AddCounterSignature(translations.signature, "Campaign TSA", At(1600000000));

    Describe(Executable(kForeign, 13), kEnglish, kUnicode, "Foreign", "Foreign Ltd");
    layer::machine().files[kEmpty] = layer::File();
    layer::machine().files[kEmpty].lastWriteTime = At(kNow - 86400);
    Executable(kLocked, 14).openError = kSharingViolation;
    Executable(kFolder, 15).isDirectory = true;

    layer::File& badTime = Executable(kBadSigningTime, 16);
    Describe(badTime, kEnglish, kUnicode, "Bad Time", "Bad Time Ltd");
    layer::CounterSigner tsa;
    tsa.certificate.subject.commonName = "Campaign TSA";
    tsa.certificate.issuer.commonName = "Campaign TSA Root";
    tsa.certificate.serial = "\x0C";
    tsa.authenticated.push_back(
        layer::SignerAttribute{"1.2.840.113549.1.9.5", {layer::kUndecodableValue}});
    badTime.signature = Signed("Bad Time Ltd");
    badTime.signature.unauthenticated.push_back(
        layer::SignerAttribute{"1.2.840.113549.1.9.6", {layer::EncodeCounterSigner(tsa)}});
    badTime.signature.otherCertificates.push_back(tsa.certificate);

    Describe(Executable(kAlpha, 17), kEnglish, kUnicode, "Alpha", "Alpha Ltd");
    layer::File& beta = Executable(kBeta, 18);
    Describe(beta, kEnglish, kUnicode, "Beta", "Beta Ltd");
    beta.signature = Signed("Beta Ltd");
    layer::AddCounterSignature(beta.signature, "Campaign TSA", At(1650000000));
    Describe(Executable(kRewritten, 19), kEnglish, kUnicode, "Rewritten 1.0", "Rewrite Ltd");
    for (const HostileShape& shape : kHostileShapes) {
        layer::File& file = Executable(shape.path, 20);
        Describe(file, kEnglish, kUnicode, "Hostile", "Hostile Ltd");
        shape.apply(file.version, layer::FileBytes(file).size());
    }
}

struct ProcessShape {
    uint32_t pid;
    uint32_t ppid;
    const char* path;
    const char* cmdLine;  // null: the quoted path
    const char* user;
};

const ProcessShape kProcesses[] = {
    {0, 0, "", "", "SYSTEM"},  // the idle process: never opens
    {4, 0, "", "", "SYSTEM"},  // a readable pid 4 before the fixed System record
    {88, 620, kAgent, "\"agent\" --name \"q\\\"x\"\ttab\nline\x01\x7F caf\xC3\xA9 \xE2\x98\x83",
     "SYSTEM"},
    {300, 88, kShell, nullptr, "alice"},
    {412, 4, kRunner, "svcrunner -k net", "SYSTEM"},
    {508, 4, kRunner, "svcrunner -k local", "SYSTEM"},
    {620, 4, kRunner, "svcrunner -k \"quoted arg\"", "LOCAL SERVICE"},
    {700, 300, kNoDescription, nullptr, "alice"},
    {716, 300, kCutTranslation, nullptr, "alice"},
    {720, 300, kNoTranslation, nullptr, "alice"},
    {724, 300, kTranslationError, nullptr, "alice"},
    {728, 300, kDescriptionError, nullptr, "alice"},
    {732, 300, kSizeError, nullptr, "alice"},
    {736, 300, kReadError, nullptr, "alice"},
    {740, 300, kTranslations, nullptr, "J\xC3\xB6rg M\xC3\xBCller"},
    {744, 300, kForeign, nullptr, "J\xC3\xB6rg M\xC3\xBCller"},
    {748, 300, kEmpty, nullptr, "alice"},
    {752, 300, kLocked, nullptr, "alice"},
    {756, 300, kFolder, nullptr, "alice"},
    {760, 300, kMissing, nullptr, "alice"},
    {764, 300, kBadSigningTime, nullptr, "alice"},
    {900, 4, kAgent, nullptr, "SYSTEM"},  // protected: cannot be opened
    {1024, 88, kAgent, "agent.exe --worker 1", "SYSTEM"},
    {1028, 88, kAgent, "agent.exe --worker \"2\" \\\\?\\C:\\x", "SYSTEM"},
    {1100, 300, kShell, "desk-shell \xC3\xA4\xC3\xB6\xC3\xBC", "alice"},
    {kReusedPid, 300, kAlpha, nullptr, "alice"},
    {1300, 300, kRewritten, nullptr, "alice"},
    {1304, 1300, kRewritten, nullptr, "bob"},
    {kGoneBeforeInit, 300, kAlpha, nullptr, "alice"},
    {kGoneDuringPause, 300, kShell, nullptr, "alice"},
    {3200, 300, kShell, nullptr, "alice"},  // not in the snapshot: no parent known
    {3300, 300, kShell, nullptr, "alice"},  // in the snapshot only: never enumerated
    {4000, 300, kNoDescription, nullptr, "alice"},
    {5000, 300, kTranslations, "", "alice"},  // no command line
    {6000, 7777, kShell, nullptr, "alice"},   // parent long gone
    {7000, 300, kBadSigningTime, nullptr, "bob"},
    {7004, 740, kTranslations, nullptr, "bob"},
    {65536, 300, kAgent, nullptr, "alice"},
    {4294967292u, 300, kShell, nullptr, "alice"},
};

void AddProcesses() {
    for (const ProcessShape& shape : kProcesses) {
        layer::Process process;
        process.pid = shape.pid;
        process.ppid = shape.ppid;
        process.imagePath = shape.path;
        process.cmdLine =
            shape.cmdLine != nullptr ? shape.cmdLine : "\"" + process.imagePath + "\"";
        process.user = shape.user;
        process.creationTime = At(kNow - 3600 - shape.pid % 997);
        process.kernelTime = 10000000ULL * (shape.pid % 7);
        process.userTime = 9999999ULL + shape.pid % 5;  // sums that truncate
        process.workingSetBytes = (8ULL + shape.pid % 32) << 20;
        layer::machine().processes.push_back(process);
    }
    uint32_t pid = 8000;
    for (const HostileShape& shape : kHostileShapes) {
        layer::Process process = layer::machine().processes.back();
        process.pid = pid;
        process.imagePath = shape.path;
        process.cmdLine = std::string("\"") + shape.path + "\" --crafted";
        process.creationTime = At(kNow - 600 - pid % 97);
        layer::machine().processes.push_back(process);
        pid += 4;
    }
    layer::machine().FindProcess(900)->openError = ERROR_ACCESS_DENIED;
    layer::machine().FindProcess(3200)->inSnapshot = false;
    layer::machine().FindProcess(3300)->enumerated = false;
}

using tcprows::Row;

void AddTcpRows() {
    std::vector<layer::TcpRow>& rows = layer::machine().tcpRows;
    rows = {Row(MIB_TCP_STATE_LISTEN, 4, 445),
            Row(MIB_TCP_STATE_LISTEN, 4, 139),
            Row(MIB_TCP_STATE_ESTAB, 4, 445),
            Row(MIB_TCP_STATE_LISTEN, 88, 8080),
            Row(MIB_TCP_STATE_LISTEN, 88, 8080, 0x7F000001),
            Row(MIB_TCP_STATE_LISTEN, 88, 443),
            Row(MIB_TCP_STATE_ESTAB, 88, 443),
            Row(MIB_TCP_STATE_ESTAB, 88, 443),
            Row(MIB_TCP_STATE_ESTAB, 88, 443),
            Row(MIB_TCP_STATE_ESTAB, 88, 49152),
            Row(MIB_TCP_STATE_ESTAB, 300, 50000),
            Row(MIB_TCP_STATE_TIME_WAIT, 300, 50001),
            Row(MIB_TCP_STATE_LISTEN, 412, 135),
            Row(MIB_TCP_STATE_ESTAB, kReusedPid, 5555),
            Row(MIB_TCP_STATE_LISTEN, kGoneDuringPause, 7000),
            Row(MIB_TCP_STATE_LISTEN, kGoneBeforeInit, 2900),
            Row(MIB_TCP_STATE_LISTEN, 9999, 1234),
            Row(MIB_TCP_STATE_ESTAB, 4294967292u, 65535),
            Row(MIB_TCP_STATE_LISTEN, 4294967292u, 0)};
    // Every other state, owned by a reported process: none of them counts.
    for (DWORD state = MIB_TCP_STATE_CLOSED; state <= MIB_TCP_STATE_DELETE_TCB; ++state) {
        if (state != MIB_TCP_STATE_LISTEN && state != MIB_TCP_STATE_ESTAB) {
            rows.push_back(Row(state, 1024, static_cast<uint16_t>(6000 + state)));
        }
    }
}

void Remove(uint32_t pid) {
    std::vector<layer::Process>& processes = layer::machine().processes;
    processes.erase(std::remove_if(processes.begin(), processes.end(),
                                   [pid](const layer::Process& p) { return p.pid == pid; }),
                    processes.end());
}

}  // namespace

void BuildMachine() {
    layer::machine().timeZoneOffsetSeconds = 8 * 3600;
    AddExecutables();
    AddProcesses();
    AddTcpRows();
}

void PreparePass(int pass) {
    layer::machine().systemTime = At(pass == 1 ? kNow : kSecondPassAt);
    if (pass != 2) {
        return;
    }
    Remove(kGoneBeforeInit);
    Remove(kGoneDuringPause);
    layer::Process& reused = *layer::machine().FindProcess(kReusedPid);
    reused.imagePath = kBeta;
    reused.cmdLine = "beta.exe --reused";
    reused.user = "bob";
    reused.creationTime = At(kSecondPassAt - 600);
    layer::File& rewritten = layer::machine().files[kRewritten];
    rewritten.content += "v2";
    rewritten.lastWriteTime = At(kSecondPassAt - 1200);
    rewritten.version = layer::VersionResource();
    Describe(rewritten, kEnglish, kUnicode, "Rewritten 2.0", "Rewrite Ltd");
    // A connection closed and a listener opened between the passes.
    std::vector<layer::TcpRow>& rows = layer::machine().tcpRows;
    rows.erase(std::remove_if(rows.begin(), rows.end(),
                              [](const layer::TcpRow& row) { return row.localPort == 50000; }),
               rows.end());
    rows.push_back(Row(MIB_TCP_STATE_LISTEN, 88, 9090));
}

void InstallMachineHooks(const int* currentPass) {
    // Actions run on the worker thread, inside the call, while the host waits.
    layer::OnCall("CreateToolhelp32Snapshot", 0, [currentPass] {
        if (*currentPass == 1) {
            Remove(kGoneBeforeInit);  // enumerated a moment ago, gone before its Init
        }
    });
    layer::OnCall("msleep", 0, [currentPass] {
        if (*currentPass == 1) {
            Remove(kGoneDuringPause);  // bound, then gone before the report reads it
        }
    });
}

std::string CompanyWithoutCounterSignature(const std::string& path) {
    return path == kRunner ? "SignCompany: Ostrava Systems" : "";
}

namespace {

std::string Ports(const std::set<uint16_t>& ports) {
    std::string text;
    for (uint16_t port : ports) {
        text += (text.empty() ? "" : ",") + std::to_string(port);
    }
    return text;
}

// "listen|established|count" of the machine's rows of that pid.
std::string TcpTruth(uint32_t pid) {
    std::set<uint16_t> listening;
    std::set<uint16_t> established;
    int connections = 0;
    for (const layer::TcpRow& row : layer::machine().tcpRows) {
        if (row.pid == pid && row.state == MIB_TCP_STATE_LISTEN) {
            listening.insert(row.localPort);
        } else if (row.pid == pid && row.state == MIB_TCP_STATE_ESTAB) {
            established.insert(row.localPort);
            ++connections;
        }
    }
    return Ports(listening) + "|" + Ports(established) + "|" + std::to_string(connections);
}

std::string TcpOf(const Record& record) {
    return Value(record, "listen_port") + "|" + Value(record, "establish_port") + "|" +
           Value(record, "connect_count");
}

// The members of a record that the machine's tables fix, as "key=value".
std::vector<std::string> Truth(uint32_t pid) {
    const layer::Process* process = layer::machine().FindProcess(pid);
    std::vector<std::string> truth = {"tcp=" + TcpTruth(pid)};
    if (process == nullptr) {  // gone during the pause: its texts went with it
        return {"proc_name=", "proc_path=", "cmd_line=", "user=", truth[0]};
    }
    const std::string& path = process->imagePath;
    truth.push_back("ppid=" + (process->inSnapshot ? std::to_string(process->ppid) : "-1"));
    truth.push_back("proc_path=" + path);
    truth.push_back("proc_name=" + path.substr(path.find_last_of('\\') + 1));
    truth.push_back("cmd_line=" + process->cmdLine);
    truth.push_back("user=" + process->user);
    truth.push_back("cpu_time=" +
                    std::to_string((process->kernelTime + process->userTime) / 10000000));
    const layer::File* file = layer::machine().FindFile(path);
    if (file != nullptr && !file->isDirectory && file->openError == 0) {
        const size_t size = layer::FileBytes(*file).size();
        truth.push_back("file_size=" + (size == 0 ? "-1" : std::to_string(size)));
    } else {
        truth.push_back("file_size");  // no file members
    }
    return truth;
}

}  // namespace

void CheckAgainstMachine(const std::string& text, int pass, std::vector<std::string>* problems) {
    Report report;
    if (!ReadReport(text, &report, problems)) {
        return;
    }
    const std::string where = "fault-free pass " + std::to_string(pass) + ": ";
    std::set<uint32_t> expected;
    for (const layer::Process& process : layer::machine().processes) {
        if (process.enumerated && process.pid != 0 && process.openError == 0) {
            expected.insert(process.pid);
        }
    }
    if (pass == 1) {
        expected.insert(kGoneDuringPause);
    }
    if (TcpOf(report.system) != TcpTruth(4)) {
        problems->push_back(where + "System record TCP " + TcpOf(report.system));
    }
    for (const Record& record : report.processes) {
        const uint32_t pid = static_cast<uint32_t>(std::stoull(Value(record, "pid")));
        if (expected.erase(pid) == 0) {
            problems->push_back(where + "a record of pid " + std::to_string(pid));
            continue;
        }
        for (const std::string& fact : Truth(pid)) {
            const size_t equals = fact.find('=');
            const std::string key = fact.substr(0, equals);
            const std::string value = key == "tcp" ? TcpOf(record) : Value(record, key);
            const bool holds = equals == std::string::npos ? Find(record, key) == nullptr
                                                           : value == fact.substr(equals + 1);
            if (!holds) {
                problems->push_back(where + "pid " + std::to_string(pid) + " " + key + " \"" +
                                    value + "\", the machine says \"" + fact + "\"");
            }
        }
    }
    for (uint32_t pid : expected) {
        problems->push_back(where + "no record of pid " + std::to_string(pid));
    }
}

}  // namespace campaign
