// Hostile executables (made by tests/hostile at build time) as real processes under
// the real korvaProc.dll: every shape is started suspended, and this program, as the
// agent's host, runs three passes through the exports. The host must survive, every
// pass must report, handles and private bytes must stay flat, and each shape's
// description, company, signer and date must come back as the manifest expects: as the
// untouched file gives them, or empty where the shape makes the module refuse them.
//
// Before the second and third pass every copy gets a new last-write time, so each
// pass reads every hostile file again instead of finding it in the caches.

#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "AcceptanceSupport.h"
#include "ProcessUsage.h"
#include "WineTestSupport.h"
#include "agent/rynUtil/LogDestination.h"

namespace {

constexpr int kPasses = 3;
constexpr uint64_t kReportTimeoutMs = 120000;
// As in the many-passes test: a handle the system makes once, heap rounding.
constexpr DWORD kHandleSlack = 2;
constexpr SIZE_T kPrivateSlack = 256 * 1024;

const std::vector<std::string> kMembers = {"description", "company", "signer", "date"};

// What Wine 8 answers where Windows gives the subject's CN: for a subject without
// emailAddress, nothing, or the subjectAltName's directoryName when it has one.
const std::map<std::string, std::string> kWineSigners = {
    {"names-san-dirname", "Korva Directory, Korva Alt Name"},
    {"names-no-cn", ""},
    {"names-bmp-cn", ""},
    {"names-long-cn", ""},
};

struct Shape {
    std::string name;
    std::string file;
    std::string change;
    std::map<std::string, std::string> expect;  // member -> the value the shape must give
    std::string record;  // the code of the shape's "Signature not verified" record
    std::string path;    // the running copy, UTF-8
    DWORD pid = 0;
};

std::string HostileDir() {
    std::string dir = std::string("Z:") + KORVA_HOSTILE_DIR;
    for (char& c : dir) {
        if (c == '/') {
            c = '\\';
        }
    }
    return dir;
}

std::string Text(const rapidjson::Value& value) {
    return value.IsString() ? std::string(value.GetString(), value.GetStringLength())
                            : std::string();
}

// KORVA_HOSTILE_SHAPES, when set, picks shapes by name: comma-separated prefixes,
// a prefix after "-" leaving shapes out ("version-size,-version-size-max").
bool Selected(const std::string& name) {
    const char* filter = std::getenv("KORVA_HOSTILE_SHAPES");
    if (filter == nullptr || *filter == '\0') {
        return true;
    }
    bool included = false;
    bool anyIncluding = false;
    std::istringstream items(filter);
    for (std::string item; std::getline(items, item, ',');) {
        const bool excluding = !item.empty() && item[0] == '-';
        const std::string prefix = excluding ? item.substr(1) : item;
        anyIncluding = anyIncluding || !excluding;
        if (name.compare(0, prefix.size(), prefix) == 0) {
            if (excluding) {
                return false;
            }
            included = true;
        }
    }
    return included || !anyIncluding;
}

std::vector<Shape> ReadManifest(std::string* error) {
    rapidjson::Document manifest;
    const std::string text = winetest::ReadWholeFile(HostileDir() + "\\manifest.json");
    manifest.Parse(text.c_str(), text.size());
    if (manifest.HasParseError() || !manifest.IsObject() || !manifest.HasMember("shapes") ||
        !manifest["shapes"].IsArray()) {
        *error = "no readable manifest in " + HostileDir();
        return {};
    }
    std::vector<Shape> shapes;
    for (const rapidjson::Value& entry : manifest["shapes"].GetArray()) {
        Shape shape;
        shape.name = Text(entry["name"]);
        if (!Selected(shape.name)) {
            continue;
        }
        shape.file = Text(entry["file"]);
        shape.change = Text(entry["change"]);
        for (const std::string& member : kMembers) {
            shape.expect[member] = Text(entry["expect"][member.c_str()]);
        }
        shape.record = Text(entry["record"]);
        // Wine cannot check a counter-signature: no signing date verifies there.
        if (winetest::RunningUnderWine()) {
            shape.expect["date"] = "";
        }
        shapes.push_back(shape);
    }
    return shapes;
}

// The hostile processes, suspended, in a job that ends them when its last handle
// closes: a host that dies leaves none behind. The destructor ends and closes each.
class SuspendedChildren {
  public:
    static constexpr int kCreateAttempts = 3;

    SuspendedChildren() : m_job(CreateJobObjectW(nullptr, nullptr)) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (m_job.valid()) {
            SetInformationJobObject(m_job.get(), JobObjectExtendedLimitInformation, &limits,
                                    sizeof(limits));
        }
    }

    ~SuspendedChildren() {
        for (const ryn::UniqueHandle& process : m_processes) {
            TerminateProcess(process.get(), 1);
        }
        for (const ryn::UniqueHandle& process : m_processes) {
            WaitForSingleObject(process.get(), 10000);
        }
    }

    SuspendedChildren(const SuspendedChildren&) = delete;
    SuspendedChildren& operator=(const SuspendedChildren&) = delete;

    // The new process's id; 0 when it could not be created (the error is then at hand).
    DWORD Start(const std::string& utf8Path) {
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        std::wstring line = acceptance::Wide("\"" + utf8Path + "\"");
        line.push_back(L'\0');
        // Wine now and then refuses a creation right after the previous run's children
        // were killed (1359): a few tries, then the error stands.
        for (int attempt = 1;
             !CreateProcessW(acceptance::Wide(utf8Path).c_str(), &line[0], nullptr, nullptr, FALSE,
                             CREATE_SUSPENDED, nullptr, nullptr, &startup, &info);
             ++attempt) {
            if (attempt == kCreateAttempts || GetLastError() != ERROR_INTERNAL_ERROR) {
                return 0;
            }
            Sleep(500);
        }
        m_processes.emplace_back(info.hProcess);
        m_threads.emplace_back(info.hThread);
        if (m_job.valid()) {
            AssignProcessToJobObject(m_job.get(), info.hProcess);
        }
        return info.dwProcessId;
    }

  private:
    ryn::UniqueHandle m_job;
    std::vector<ryn::UniqueHandle> m_processes;
    std::vector<ryn::UniqueHandle> m_threads;
};

// "SignCompany: <signer> SignDate: <date>", either part left out when empty.
std::string SignerText(const std::string& signer, const std::string& date) {
    std::string text;
    if (!signer.empty()) {
        text = "SignCompany: " + signer;
    }
    if (!date.empty()) {
        text += " SignDate: " + date;
    }
    return text;
}

size_t Occurrences(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

// Waits until the log holds the closing record of that many passes: the pass thread
// has released what it holds once it writes it.
bool WaitForPassEnds(const std::string& utf8LogPath, size_t ends) {
    const ULONGLONG deadline = GetTickCount64() + 20000;
    while (Occurrences(winetest::ReadWholeFile(utf8LogPath), "end of refresh proc info") < ends) {
        if (GetTickCount64() > deadline) {
            return false;
        }
        Sleep(20);
    }
    return true;
}

// The two runs (plain and heap-checked) keep their reports apart.
std::string ReportsName() {
    return std::getenv("KORVA_HOSTILE_HEAP_CHECKED") != nullptr ? "hostile-heap-checked"
                                                                : "hostile";
}

// Records of the version reader that carry a system or module error code.
std::map<std::string, int> VersionRecordCodes(const std::string& utf8LogPath,
                                              std::vector<std::string>* zeroCodes) {
    static const char* const kTexts[] = {
        "GetFileVersionInfoA error. err: ", "VerQueryValueA error. err1: ",
        "VerQueryValueA error. err2: "};
    std::map<std::string, int> counts;
    std::istringstream lines(winetest::ReadWholeFile(utf8LogPath));
    for (std::string line; std::getline(lines, line);) {
        for (const char* text : kTexts) {
            const size_t at = line.find(text);
            if (at == std::string::npos) {
                continue;
            }
            const std::string record = line.substr(at);
            ++counts[record];
            if (std::atoi(line.c_str() + at + std::strlen(text)) == 0) {
                zeroCodes->push_back(record);
            }
        }
    }
    return counts;
}

class HostileWineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        shapes = ReadManifest(&error);
        ASSERT_EQ("", error);
        ASSERT_FALSE(shapes.empty());
        folder = winetest::ScratchFolder("hostile");
        log = folder + "\\korvaProc.log";
        ASSERT_TRUE(ryn::SetLogFile(log));
        for (Shape& shape : shapes) {
            shape.path = folder + "\\" + shape.file;
            ASSERT_TRUE(CopyFileW(acceptance::Wide(HostileDir() + "\\" + shape.file).c_str(),
                                  acceptance::Wide(shape.path).c_str(), FALSE))
                << shape.file;
        }
    }

    void TearDown() override { ryn::SetLogFile(""); }

    // Checks one shape's record against what the manifest expects of it, in every pass.
    static void CheckRecord(const rapidjson::Value& record, const Shape& shape) {
        SCOPED_TRACE(shape.name + ": " + shape.change);
        const acceptance::FileFacts file = acceptance::ReadFileFacts(shape.path);
        EXPECT_EQ(file.readable ? 19u : 15u, record.MemberCount());
        EXPECT_EQ(shape.path, Text(record["proc_path"]));
        const auto wine = kWineSigners.find(shape.name);
        const std::string signer = winetest::RunningUnderWine() && wine != kWineSigners.end() &&
                                           !shape.expect.at("signer").empty()
                                       ? wine->second
                                       : shape.expect.at("signer");
        EXPECT_EQ(shape.expect.at("description"), Text(record["description"]));
        EXPECT_EQ(shape.expect.at("company"), Text(record["company"]));
        EXPECT_EQ(SignerText(signer, shape.expect.at("date")), Text(record["app_sign"]));
    }

    std::vector<Shape> shapes;
    std::string folder;
    std::string log;
};

TEST_F(HostileWineTest, ThreePassesSurviveAndReadWhatTheManifestExpects) {
    SuspendedChildren children;
    for (Shape& shape : shapes) {
        shape.pid = children.Start(shape.path);
        ASSERT_NE(0u, shape.pid) << shape.name << " does not start: error " << GetLastError();
    }
    std::printf("%zu hostile processes started suspended\n", shapes.size());

    ASSERT_TRUE(acceptance::StartReports(ReportsName()));
    acceptance::ModuleDriver driver;
    std::vector<acceptance::Usage> usage = {acceptance::MeasureUsage()};
    for (int pass = 1; pass <= kPasses; ++pass) {
        SCOPED_TRACE("pass " + std::to_string(pass));
        if (pass > 1) {
            for (const Shape& shape : shapes) {
                ASSERT_TRUE(acceptance::ShiftModifyTime(shape.path, 60)) << shape.name;
            }
        }
        const std::string cmdIdx = "hostile-" + std::to_string(pass);
        const acceptance::PassOutcome outcome =
            driver.RunPass(cmdIdx, "hostile", kReportTimeoutMs, false);
        ASSERT_EQ(1, outcome.started);
        ASSERT_TRUE(outcome.delivered) << "no report within " << kReportTimeoutMs << " ms";
        ASSERT_TRUE(acceptance::SaveReport(ReportsName(), outcome.body));
        rapidjson::Document report;
        report.Parse<rapidjson::kParseValidateEncodingFlag>(outcome.body.c_str(),
                                                            outcome.body.size());
        ASSERT_FALSE(report.HasParseError());
        ASSERT_EQ(cmdIdx, Text(report["cmd_idx"]));
        std::map<int64_t, const rapidjson::Value*> byPid;
        for (const rapidjson::Value& record : report["process"].GetArray()) {
            byPid[record["pid"].GetInt64()] = &record;
        }
        for (const Shape& shape : shapes) {
            const auto found = byPid.find(shape.pid);
            EXPECT_NE(byPid.end(), found) << shape.name << " (pid " << shape.pid << ") missing";
            if (found != byPid.end()) {
                CheckRecord(*found->second, shape);
            }
        }
        ASSERT_TRUE(WaitForPassEnds(log, static_cast<size_t>(pass)));
        usage.push_back(acceptance::MeasureUsage());
        std::printf("pass %d: %llu ms, report %zu bytes\n", pass,
                    static_cast<unsigned long long>(outcome.milliseconds), outcome.body.size());
    }

    for (size_t i = 0; i < usage.size(); ++i) {
        std::printf("%s: handles %lu, private bytes %llu\n",
                    i == 0 ? "before pass 1" : ("after pass " + std::to_string(i)).c_str(),
                    usage[i].handles, static_cast<unsigned long long>(usage[i].privateBytes));
    }
    // The first pass allocates what the system makes once; the later ones read every
    // file again and must come back to its level. Handles must after every pass. Private
    // bytes must in the lowest later reading: a leak grows with every pass, while a pass
    // thread that has logged its end may not have given everything back yet (seen: 3 MiB
    // above the level after one pass, back after the next).
    SIZE_T lowestPrivate = usage.back().privateBytes;
    for (size_t i = 2; i < usage.size(); ++i) {
        EXPECT_LE(usage[i].handles, usage[1].handles + kHandleSlack) << "after pass " << i;
        lowestPrivate = std::min(lowestPrivate, usage[i].privateBytes);
    }
    // Wine's heap checking holds freed blocks back: private bytes then grow by design.
    if (std::getenv("KORVA_HOSTILE_HEAP_CHECKED") == nullptr) {
        EXPECT_LE(lowestPrivate, usage[1].privateBytes + kPrivateSlack);
    }

    ryn::SetLogFile("");
    // One record per file and stamp: every pass gave each copy a new time.
    const std::string logText = winetest::ReadWholeFile(log);
    for (const Shape& shape : shapes) {
        if (!shape.record.empty()) {
            const std::string record =
                "Signature not verified, signer not reported. err: " + shape.record +
                " path: " + shape.path + "\n";
            EXPECT_EQ(static_cast<size_t>(kPasses), Occurrences(logText, record)) << record;
            std::printf("%-34s %s\n", shape.name.c_str(), record.c_str());
        }
    }
    std::vector<std::string> zeroCodes;
    for (const auto& record : VersionRecordCodes(log, &zeroCodes)) {
        std::printf("log: %dx %s\n", record.second, record.first.c_str());
    }
    EXPECT_TRUE(zeroCodes.empty()) << "a version record without an error code: "
                                   << (zeroCodes.empty() ? "" : zeroCodes.front());
}

// A program rewritten in place (same size, one byte changed) and then replaced by
// another, each time with its times put back and started again after its last process
// ended: the pass after each reports the file as it is now, never the digest or the
// signer the caches hold from before.
TEST(RewrittenProgramWineTest, PassAfterReadsTheFileAsItIsNow) {
    const std::string program = winetest::ScratchFolder("rewritten") + "\\t.exe";
    const std::string fixtures = acceptance::FixtureDir() + "\\";
    ASSERT_TRUE(CopyFileW(acceptance::Wide(fixtures + "signed-legacy.exe").c_str(),
                          acceptance::Wide(program).c_str(), FALSE));
    FILETIME times[3] = {};
    acceptance::ModuleDriver driver;
    std::vector<std::map<std::string, std::string>> seen;
    for (int step = 0; step < 3; ++step) {
        if (step == 2) {
            ASSERT_TRUE(CopyFileW(acceptance::Wide(fixtures + "unsigned.exe").c_str(),
                                  acceptance::Wide(program).c_str(), FALSE));
        }
        ryn::UniqueHandle file(CreateFileW(acceptance::Wide(program).c_str(),
                                           GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                           0, nullptr));
        ASSERT_TRUE(file.valid());
        char stub = 0;  // a byte of the DOS stub's text
        DWORD done = 0;
        if (step == 0) {
            ASSERT_TRUE(GetFileTime(file.get(), &times[0], &times[1], &times[2]));
        } else if (step == 1) {
            ASSERT_TRUE(SetFilePointer(file.get(), 0x50, nullptr, FILE_BEGIN) == 0x50 &&
                        ReadFile(file.get(), &stub, 1, &done, nullptr));
            stub ^= 0x20;
            ASSERT_TRUE(SetFilePointer(file.get(), 0x50, nullptr, FILE_BEGIN) == 0x50 &&
                        WriteFile(file.get(), &stub, 1, &done, nullptr));
        }
        ASSERT_TRUE(SetFileTime(file.get(), &times[0], &times[1], &times[2]));
        file.reset();
        SuspendedChildren children;
        const DWORD pid = children.Start(program);
        ASSERT_NE(0u, pid);
        const acceptance::PassOutcome outcome =
            driver.RunPass("rewritten-" + std::to_string(step), "rewritten", 120000, false);
        ASSERT_TRUE(outcome.delivered);
        rapidjson::Document report;
        report.Parse(outcome.body.c_str(), outcome.body.size());
        ASSERT_FALSE(report.HasParseError());
        for (const rapidjson::Value& record : report["process"].GetArray()) {
            if (record["pid"].GetInt64() == pid) {
                seen.push_back(
                    {{"md5", Text(record["file_md5"])}, {"signer", Text(record["app_sign"])}});
            }
        }
        ASSERT_EQ(static_cast<size_t>(step + 1), seen.size());
        std::printf("step %d: file_md5 %s app_sign \"%s\"\n", step, seen.back()["md5"].c_str(),
                    seen.back()["signer"].c_str());
    }
    EXPECT_EQ(32u, seen[1]["md5"].size());
    EXPECT_NE(seen[0]["md5"], seen[1]["md5"]);  // the rewrite
    EXPECT_NE(seen[1]["md5"], seen[2]["md5"]);  // the replacement
    EXPECT_NE("", seen[0]["signer"]);
    EXPECT_EQ("", seen[2]["signer"]);  // the unsigned replacement's own
}

// Wine's WinVerifyTrust accepts a signer under a root nobody trusts, or under no
// root at all, where Windows answers CERT_E_UNTRUSTEDROOT or CERT_E_CHAINING: the
// module's own chain check is what refuses the look-alikes (docs/wine-notes.md).
TEST(HostileSignatures, WinVerifyTrustAloneAcceptsLookAlikesUnderWine) {
    const std::pair<const char*, LONG> kLookAlikes[] = {
        {"forged-look-alike", static_cast<LONG>(0x800B0109)},
        {"forged-look-alike-alone", static_cast<LONG>(0x800B010A)}};
    for (const auto& shape : kLookAlikes) {
        const std::wstring path = acceptance::Wide(HostileDir() + "\\" + shape.first + ".exe");
        GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
        WINTRUST_FILE_INFO file = {sizeof(file), path.c_str(), nullptr, nullptr};
        WINTRUST_DATA data = {};
        data.cbStruct = sizeof(data);
        data.dwUIChoice = WTD_UI_NONE;
        data.dwUnionChoice = WTD_CHOICE_FILE;
        data.pFile = &file;
        data.dwStateAction = WTD_STATEACTION_VERIFY;
        data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
        const LONG answer = WinVerifyTrust(nullptr, &action, &data);
        data.dwStateAction = WTD_STATEACTION_CLOSE;
        WinVerifyTrust(nullptr, &action, &data);
        EXPECT_EQ(winetest::RunningUnderWine() ? 0 : shape.second, answer) << shape.first;
    }
}

}  // namespace
