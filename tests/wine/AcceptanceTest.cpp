// End to end: processes of ours run while the real korvaProc.dll makes one pass
// through its exports; the delivered report is parsed strictly and every member
// of our processes' records is set against what the test observed on its own.
//
// Our processes live in a folder whose name holds a blank and a non-ASCII letter:
//   signed legacy.exe   the fixture with a version resource and a PKCS #9 counter-
//                       signature, started with quotes, backslashes, a tab and
//                       non-ASCII text on its command line;
//   no version.exe      the unsigned fixture without version resource;
//   tcp helper.exe      listens on a loopback port and holds a connection;
//   spawner.exe         starts "spawned child.exe" (the unsigned fixture), whose
//                       parent is then known;
//   Журнал.exe, 𝔘pdate.exe, 日誌.exe, ṡvc.exe: names beyond the code page, see below.
// The test program itself is checked as well.

#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "AcceptanceSupport.h"
#include "WineTestSupport.h"
#include "module/ReportShape.h"

namespace {

using acceptance::RunningProcess;
namespace shape = reportshape;

// Quotes, a backslash, a tab, a control byte, a slash and non-ASCII text: echoed
// byte for byte.
const char kCmdIdx[] = "idx \"42\" C:\\dir\\\t\x01/Grüße";
const char kTriggerType[] = "manual\r\n{\"k\": [1]}";
const char kFolder[] = "Korva Prüfung";
const char kFirstDescription[] = "Korva Deutsche Beschreibung";
const char kFirstCompany[] = "Korva Deutsche Firma";
// The fixtures' counter-signature time, 2019-03-05 08:07:09 UTC, read in UTC.
const char kSignerText[] = "SignCompany: signer@korva.test SignDate: 20190305080709";
// Wine cannot check a counter-signature, so no date verifies (docs/wine-notes.md).
const char kSignerTextUnderWine[] = "SignCompany: signer@korva.test";
constexpr uint64_t kReportTimeoutMs = 30000;

// One of our processes as the test knows it.
struct Known {
    std::string label;
    DWORD pid = 0;
    HANDLE process = nullptr;  // the test's own handle, for the times
    int64_t ppid = -1;
    std::string path;  // UTF-8
    std::string commandLine;
    std::string md5;
    std::string description;
    std::string company;
    std::string appSign;
    std::string listenPorts;
    std::string establishPorts;
    int connectCount = 0;
    int64_t startTime = -1;
    int64_t cpuBefore = -1;  // whole seconds, sampled before Start and after the report
    int64_t cpuAfter = -1;
};

int64_t CpuSeconds(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        return -1;
    }
    const uint64_t k = (static_cast<uint64_t>(kernel.dwHighDateTime) << 32) | kernel.dwLowDateTime;
    const uint64_t u = (static_cast<uint64_t>(user.dwHighDateTime) << 32) | user.dwLowDateTime;
    return static_cast<int64_t>((k + u) / 10000000ULL);
}

int64_t StartSeconds(HANDLE process) {
    FILETIME created, exited, kernel, user;
    return GetProcessTimes(process, &created, &exited, &kernel, &user)
               ? acceptance::UnixSeconds(created)
               : -1;
}

// Parent ids as a fresh toolhelp snapshot tells them.
int64_t ParentOf(DWORD pid) {
    ryn::UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ProcessID == pid) {
            return entry.th32ParentProcessID;
        }
    }
    return -1;
}

std::string AccountName() {
    char name[256];
    DWORD length = sizeof(name);
    return GetUserNameA(name, &length) ? acceptance::CodePageToUtf8(name) : std::string();
}

std::string SelfPath() {
    wchar_t path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    return acceptance::Utf8(std::wstring(path, length));
}

std::string BaseName(const std::string& path) { return path.substr(path.find_last_of('\\') + 1); }

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

// Everything the suite starts, the one pass, and the parsed report.
struct Scene {
    std::string folder;
    std::vector<std::unique_ptr<RunningProcess>> processes;
    std::vector<Known> known;
    ryn::UniqueHandle spawnedChild;  // opened by the test to read its times
    acceptance::PassOutcome outcome;
    rapidjson::Document report;
    std::string parseError;
    std::string user;
    std::string setupError;
};

Scene* g_scene = nullptr;

class AcceptanceTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        g_scene = new Scene;
        Build(*g_scene);
    }

    static void TearDownTestSuite() {
        delete g_scene;
        g_scene = nullptr;
    }

    void SetUp() override {
        ASSERT_EQ("", g_scene->setupError);
        ASSERT_EQ(1, g_scene->outcome.started);
        ASSERT_TRUE(g_scene->outcome.delivered) << "no report within " << kReportTimeoutMs << " ms";
        ASSERT_EQ("", g_scene->parseError);
    }

    static const rapidjson::Value& Records() { return g_scene->report["process"]; }

    static const rapidjson::Value* RecordOf(int64_t pid) {
        const rapidjson::Value& records = Records();
        for (rapidjson::SizeType i = 0; i + 1 < records.Size(); ++i) {
            if (records[i].HasMember("pid") && records[i]["pid"].IsInt64() &&
                records[i]["pid"].GetInt64() == pid) {
                return &records[i];
            }
        }
        return nullptr;
    }

  private:
    static bool Copy(const std::string& from, const std::string& to) {
        return CopyFileW(acceptance::Wide(from).c_str(), acceptance::Wide(to).c_str(), FALSE) != 0;
    }

    static RunningProcess* Run(Scene& scene, const std::string& path, const std::string& line) {
        scene.processes.emplace_back(new RunningProcess(path, line));
        RunningProcess* process = scene.processes.back().get();
        if (!process->ready()) {
            scene.setupError += "did not start: " + line + "\n";
        }
        return process;
    }

    static Known Describe(const std::string& label, DWORD pid, HANDLE process,
                          const std::string& path, const std::string& commandLine,
                          const std::string& md5) {
        Known known;
        known.label = label;
        known.pid = pid;
        known.process = process;
        known.ppid = GetCurrentProcessId();
        known.path = path;
        known.commandLine = commandLine;
        known.md5 = md5;
        return known;
    }

    static void Build(Scene& scene) {
        if (!acceptance::StartReports("acceptance")) {
            scene.setupError = "cannot start the report file";
            return;
        }
        scene.user = AccountName();
        scene.folder = winetest::ScratchFolder(kFolder);
        const std::string fixtures = acceptance::FixtureDir();
        const std::string bin = winetest::ProgramFolder();
        auto fixtureMd5 = acceptance::ReadMd5File(fixtures + "\\fixtures.md5");
        auto helperMd5 = acceptance::ReadMd5File(bin + "korva_accept_helper.md5");
        auto selfMd5 = acceptance::ReadMd5File(bin + "acceptance_wine_tests.md5");

        const std::string signedPath = scene.folder + "\\signed legacy.exe";
        const std::string unsignedPath = scene.folder + "\\no version.exe";
        const std::string tcpPath = scene.folder + "\\tcp helper.exe";
        const std::string spawnerPath = scene.folder + "\\spawner.exe";
        const std::string childPath = scene.folder + "\\spawned child.exe";
        if (!Copy(fixtures + "\\signed-legacy.exe", signedPath) ||
            !Copy(fixtures + "\\no-version.exe", unsignedPath) ||
            !Copy(fixtures + "\\no-version.exe", childPath) ||
            !Copy(fixtures + "\\signed-legacy.exe", scene.folder + "\\svc.exe") ||  // a decoy
            !Copy(bin + "korva_accept_helper.exe", tcpPath) ||
            !Copy(bin + "korva_accept_helper.exe", spawnerPath)) {
            scene.setupError = "cannot copy the programs into " + scene.folder;
            return;
        }

        const std::string signedLine = Quoted(signedPath) +
                                       " --name \"Grüße aus \\\"Köln\\\"\" back\\slash\\\\ "
                                       "end\ttab\t\xC3\x9F \\\"";
        RunningProcess* signedProcess = Run(scene, signedPath, signedLine);
        Known signedApp = Describe("signed", signedProcess->pid(), signedProcess->handle(),
                                   signedPath, signedLine, fixtureMd5["signed-legacy.exe"]);
        signedApp.description = kFirstDescription;
        signedApp.company = kFirstCompany;
        signedApp.appSign = winetest::RunningUnderWine() ? kSignerTextUnderWine : kSignerText;
        scene.known.push_back(signedApp);

        const std::string unsignedLine = Quoted(unsignedPath) + "  two  blanks ";
        RunningProcess* unsignedProcess = Run(scene, unsignedPath, unsignedLine);
        scene.known.push_back(Describe("unsigned", unsignedProcess->pid(),
                                       unsignedProcess->handle(), unsignedPath, unsignedLine,
                                       fixtureMd5["no-version.exe"]));

        const std::string tcpLine = Quoted(tcpPath) + " tcp";
        RunningProcess* tcp = Run(scene, tcpPath, tcpLine);
        Known tcpKnown = Describe("tcp", tcp->pid(), tcp->handle(), tcpPath, tcpLine,
                                  helperMd5["korva_accept_helper.exe"]);
        unsigned listenPort = 0;
        unsigned clientPort = 0;
        if (std::sscanf(tcp->readyLine().c_str(), "ready %u %u", &listenPort, &clientPort) != 2) {
            scene.setupError += "tcp helper said: " + tcp->readyLine() + "\n";
        }
        tcpKnown.listenPorts = std::to_string(listenPort);
        if (winetest::RunningUnderWine()) {
            // Wine 8 carries the accepted socket under pid 0: only the client side is ours.
            tcpKnown.establishPorts = std::to_string(clientPort);
            tcpKnown.connectCount = 1;
        } else {
            const unsigned low = listenPort < clientPort ? listenPort : clientPort;
            const unsigned high = listenPort < clientPort ? clientPort : listenPort;
            tcpKnown.establishPorts = std::to_string(low) + "," + std::to_string(high);
            tcpKnown.connectCount = 2;
        }
        scene.known.push_back(tcpKnown);

        const std::string spawnerLine = Quoted(spawnerPath) + " spawn " + Quoted(childPath);
        RunningProcess* spawner = Run(scene, spawnerPath, spawnerLine);
        scene.known.push_back(Describe("spawner", spawner->pid(), spawner->handle(), spawnerPath,
                                       spawnerLine, helperMd5["korva_accept_helper.exe"]));
        unsigned childPid = 0;
        std::sscanf(spawner->readyLine().c_str(), "ready %u", &childPid);
        scene.spawnedChild =
            ryn::UniqueHandle(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, childPid));
        Known child = Describe("spawned child", childPid, scene.spawnedChild.get(), childPath,
                               Quoted(childPath) + " spawned", fixtureMd5["no-version.exe"]);
        child.ppid = spawner->pid();
        scene.known.push_back(child);

        Known self =
            Describe("test program", GetCurrentProcessId(), GetCurrentProcess(), SelfPath(),
                     acceptance::Utf8(GetCommandLineW()), selfMd5["acceptance_wine_tests.exe"]);
        self.ppid = ParentOf(GetCurrentProcessId());
        scene.known.push_back(self);

        RunBeyondTheCodePage(scene, fixtures, fixtureMd5);
        RunPassAndParse(scene);
    }

    // Two signed, two unsigned; a code-page path ("?" or a look-alike "s" for the "ṡ") would
    // name the decoy svc.exe or nothing.
    static void RunBeyondTheCodePage(Scene& scene, const std::string& fixtures,
                                     std::map<std::string, std::string>& md5) {
        const char* const kNames[] = {"\xD0\x96\xD1\x83\xD1\x80\xD0\xBD\xD0\xB0\xD0\xBB.exe",
                                      "\xF0\x9D\x94\x98pdate.exe", "\xE6\x97\xA5\xE8\xAA\x8C.exe",
                                      "\xE1\xB9\xA1vc.exe"};
        for (size_t i = 0; i < 4; ++i) {
            const std::string fixture = i < 2 ? "signed-legacy.exe" : "no-version.exe";
            const std::string path = scene.folder + "\\" + kNames[i];
            const std::string line = Quoted(path) + " \xD0\x96 \xE6\x97\xA5 \xF0\x9D\x94\x98";
            Copy(fixtures + "\\" + fixture, path);  // a failed copy fails the start
            RunningProcess* run = Run(scene, path, line);
            Known known = Describe(kNames[i], run->pid(), run->handle(), path, line, md5[fixture]);
            if (i < 2) {
                known.description = kFirstDescription;
                known.company = kFirstCompany;
                known.appSign = winetest::RunningUnderWine() ? kSignerTextUnderWine : kSignerText;
            }
            scene.known.push_back(known);
        }
    }

    static void RunPassAndParse(Scene& scene) {
        for (size_t i = 0; i < scene.known.size(); ++i) {
            scene.known[i].startTime = StartSeconds(scene.known[i].process);
            scene.known[i].cpuBefore = CpuSeconds(scene.known[i].process);
        }
        acceptance::ModuleDriver driver;
        scene.outcome = driver.RunPass(kCmdIdx, kTriggerType, kReportTimeoutMs, true);
        for (size_t i = 0; i < scene.known.size(); ++i) {
            scene.known[i].cpuAfter = CpuSeconds(scene.known[i].process);
        }
        std::printf("one pass with %zu processes of ours: %llu ms, report %zu bytes\n",
                    scene.known.size(), static_cast<unsigned long long>(scene.outcome.milliseconds),
                    scene.outcome.body.size());
        // Checked against the message schema after the suite, and kept for a look.
        if (scene.outcome.delivered && !acceptance::SaveReport("acceptance", scene.outcome.body)) {
            scene.setupError += "cannot save the report\n";
        }
        // Strict: standard JSON only, valid UTF-8, nothing after the root value.
        scene.report.Parse<rapidjson::kParseValidateEncodingFlag>(scene.outcome.body.c_str(),
                                                                  scene.outcome.body.size());
        if (scene.report.HasParseError()) {
            scene.parseError =
                std::string(rapidjson::GetParseError_En(scene.report.GetParseError())) + " at " +
                std::to_string(scene.report.GetErrorOffset());
        } else if (!scene.report.IsObject() || !scene.report.HasMember("process") ||
                   !scene.report["process"].IsArray() || scene.report["process"].Empty()) {
            scene.parseError = "no process array";
        }
    }
};

std::vector<std::string> MemberNames(const rapidjson::Value& object) {
    std::vector<std::string> names;
    for (auto it = object.MemberBegin(); it != object.MemberEnd(); ++it) {
        names.push_back(it->name.GetString());
    }
    return names;
}

std::string KeyOf(std::string_view key) { return std::string(key); }
std::string KeyOf(const shape::Member& member) { return std::string(member.key); }

template <typename Member, size_t N>
std::vector<std::string> Keys(const Member (&members)[N]) {
    std::vector<std::string> keys;
    for (const Member& member : members) {
        keys.push_back(KeyOf(member));
    }
    return keys;
}

std::string Text(const rapidjson::Value& value) {
    return value.IsString() ? std::string(value.GetString(), value.GetStringLength())
                            : std::string("<not a string>");
}

TEST_F(AcceptanceTest, TextIsCompactJsonWithTheRootMembersInOrder) {
    // Written again compactly, the tree gives the very bytes that were delivered.
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    g_scene->report.Accept(writer);
    EXPECT_EQ(g_scene->outcome.body, std::string(buffer.GetString(), buffer.GetSize()));

    const rapidjson::Value& root = g_scene->report;
    EXPECT_EQ(MemberNames(root), Keys(shape::kReportMembers));
    ASSERT_TRUE(root["package_info"].IsObject());
    EXPECT_EQ(MemberNames(root["package_info"]), Keys(shape::kPackageMembers));
    EXPECT_TRUE(root["package_info"]["total_package"].IsInt() &&
                root["package_info"]["total_package"].GetInt() == 1);
    EXPECT_TRUE(root["package_info"]["current_package"].IsInt() &&
                root["package_info"]["current_package"].GetInt() == 1);
    EXPECT_EQ(kCmdIdx, Text(root["cmd_idx"]));
    EXPECT_EQ(kTriggerType, Text(root["trigger_type"]));
}

TEST_F(AcceptanceTest, ScanTimeFallsWithinThePass) {
    const std::string scan = Text(g_scene->report["scan_time"]);
    ASSERT_EQ(14u, scan.size()) << scan;
    EXPECT_GE(scan, acceptance::UtcText(g_scene->outcome.beforeStart));
    EXPECT_LE(scan, acceptance::UtcText(g_scene->outcome.afterReport));
}

TEST_F(AcceptanceTest, EveryRecordHasItsMembersInOrderWithTheirTypes) {
    const rapidjson::Value& records = Records();
    for (rapidjson::SizeType i = 0; i + 1 < records.Size(); ++i) {
        const rapidjson::Value& record = records[i];
        ASSERT_TRUE(record.IsObject());
        std::vector<std::string> expected;
        for (size_t k = 0; k < shape::kRecordMembers; ++k) {
            if (record.MemberCount() == shape::kRecordMembers || !shape::IsFileMember(k)) {
                expected.push_back(KeyOf(shape::kProcessMembers[k]));
            }
        }
        EXPECT_EQ(expected, MemberNames(record)) << "record " << i;
        for (auto it = record.MemberBegin(); it != record.MemberEnd(); ++it) {
            const bool integer = shape::IsNumber(it->name.GetString());
            EXPECT_TRUE(integer ? it->value.IsInt64() : it->value.IsString())
                << "record " << i << " member " << it->name.GetString();
        }
    }
}

TEST_F(AcceptanceTest, PidsAscendAndTheSystemRecordClosesTheList) {
    const rapidjson::Value& records = Records();
    for (rapidjson::SizeType i = 1; i + 1 < records.Size(); ++i) {
        EXPECT_LT(records[i - 1]["pid"].GetInt64(), records[i]["pid"].GetInt64());
    }
    const rapidjson::Value& system = records[records.Size() - 1];
    ASSERT_EQ(Keys(shape::kSystemMembers), MemberNames(system));
    for (const shape::Member& member : shape::kSystemMembers) {
        const rapidjson::Value& value = system[KeyOf(member).c_str()];
        EXPECT_EQ(shape::IsNumber(member.key), value.IsInt64()) << member.key;
        if (member.fixed != nullptr) {
            EXPECT_EQ(member.fixed,
                      value.IsInt64() ? std::to_string(value.GetInt64()) : Text(value))
                << member.key;
        }
    }
    // Nothing of the System process is visible here: no TCP rows of pid 4.
    EXPECT_EQ("", Text(system["listen_port"]));
    EXPECT_EQ("", Text(system["establish_port"]));
    EXPECT_EQ(0, system["connect_count"].GetInt64());
}

TEST_F(AcceptanceTest, OurProcessesAreReportedAsObserved) {
    const acceptance::PassOutcome& outcome = g_scene->outcome;
    for (const Known& known : g_scene->known) {
        SCOPED_TRACE(known.label);
        ASSERT_NE(0u, known.pid);
        const rapidjson::Value* found = RecordOf(known.pid);
        ASSERT_NE(nullptr, found) << "pid " << known.pid << " missing from the report";
        const rapidjson::Value& record = *found;
        ASSERT_EQ(shape::kRecordMembers, record.MemberCount());
        const acceptance::FileFacts file = acceptance::ReadFileFacts(known.path);
        ASSERT_TRUE(file.readable) << known.path;

        EXPECT_EQ(known.ppid, record["ppid"].GetInt64());
        EXPECT_EQ(BaseName(known.path), Text(record["proc_name"]));
        EXPECT_EQ(known.path, Text(record["proc_path"]));
        EXPECT_EQ(known.commandLine, Text(record["cmd_line"]));
        EXPECT_EQ(g_scene->user, Text(record["user"]));
        EXPECT_EQ(acceptance::UtcText(known.startTime), Text(record["start_time"]));
        EXPECT_GE(record["cpu_time"].GetInt64(), known.cpuBefore);
        EXPECT_LE(record["cpu_time"].GetInt64(), known.cpuAfter);
        EXPECT_GE(record["elapsed_time"].GetInt64(), outcome.beforeStart - known.startTime);
        EXPECT_LE(record["elapsed_time"].GetInt64(), outcome.afterReport - known.startTime);
        EXPECT_EQ(known.listenPorts, Text(record["listen_port"]));
        EXPECT_EQ(known.establishPorts, Text(record["establish_port"]));
        EXPECT_EQ(known.connectCount, record["connect_count"].GetInt64());
        EXPECT_EQ(file.size, record["file_size"].GetInt64());
        EXPECT_EQ(acceptance::UtcText(file.createTime), Text(record["file_create_time"]));
        EXPECT_EQ(acceptance::UtcText(file.modifyTime), Text(record["file_modify_time"]));
        EXPECT_EQ(32u, known.md5.size()) << "no md5sum expectation";
        EXPECT_EQ(known.md5, Text(record["file_md5"]));
        EXPECT_EQ(known.description, Text(record["description"]));
        EXPECT_EQ(known.company, Text(record["company"]));
        EXPECT_EQ(known.appSign, Text(record["app_sign"]));
    }
}

TEST_F(AcceptanceTest, TheSpawnedChildsParentIsTheSpawner) {
    const Known& spawner = g_scene->known[3];
    const Known& child = g_scene->known[4];
    ASSERT_EQ("spawned child", child.label);
    const rapidjson::Value* record = RecordOf(child.pid);
    ASSERT_NE(nullptr, record);
    EXPECT_EQ(static_cast<int64_t>(spawner.pid), (*record)["ppid"].GetInt64());
    EXPECT_EQ(static_cast<int64_t>(spawner.pid), ParentOf(child.pid));
}

}  // namespace
