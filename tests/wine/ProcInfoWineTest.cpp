// The process information parser and the parent process cache against processes
// this program starts itself (and against itself).

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include "WineTestSupport.h"
#include "agent/rynUtil/LogDestination.h"
#include "host/RynUtil.h"
#include "module/ProcInfoParserInterface.h"
#include "procinfo/WinPpidCache.h"

namespace {

constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kUnixEpochTicks = 116444736000000000LL;

int64_t Ticks(const FILETIME& time) {
    return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                                time.dwLowDateTime);
}

int64_t UnixSeconds(const FILETIME& time) {
    return (Ticks(time) - kUnixEpochTicks) / kTicksPerSecond;
}

int64_t CpuTicks(HANDLE process) {
    FILETIME creation, exitTime, kernel, user;
    return GetProcessTimes(process, &creation, &exitTime, &kernel, &user)
               ? Ticks(kernel) + Ticks(user)
               : -1;
}

// Keeps this thread busy until the process has used at least `ticks` of CPU.
void BurnCpuUntil(int64_t ticks) {
    volatile double sink = 0;
    while (CpuTicks(GetCurrentProcess()) < ticks) {
        for (int i = 0; i < 1000000; ++i) {
            sink = sink + i * 0.5;
        }
    }
}

std::string Utf8(const std::wstring& text) { return ryn::CStringUtil::ws2s_utf8(text); }

// With this variable set, the program is a busy child: it spends over a second of
// CPU before the tests' main runs, says "ready", and waits for its stdin to close.
const char kBusyChildVariable[] = "KORVA_PROCINFO_BUSY_CHILD";
constexpr int64_t kBusyChildCpuTicks = 12 * kTicksPerSecond / 10;

const bool kBusyChild = [] {
    if (GetEnvironmentVariableA(kBusyChildVariable, nullptr, 0) == 0) {
        return false;
    }
    BurnCpuUntil(kBusyChildCpuTicks);
    DWORD done = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "ready\n", 6, &done, nullptr);
    char byte;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &done, nullptr) && done != 0) {
    }
    ExitProcess(0);
}();

std::string SelfPath() {
    char path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
    return std::string(path, length);
}

class ProcInfoWineTest : public ::testing::Test {
  protected:
    void SetUp() override { CWinPpidCache::CreateInstance()->Clear(); }
    void TearDown() override { CWinPpidCache::GetInstance()->Clear(); }

    const std::string m_childPath = winetest::ProgramFolder() + "korva_wine_child.exe";
    // Quotes, escaped quotes, a doubled trailing backslash and a tab, as the child got them.
    const std::string m_commandLine =
        "\"" + m_childPath + "\" \"say \\\"hi\\\"\" C:\\dir\\\\ \"tab\there\"";
};

TEST_F(ProcInfoWineTest, IdentityOfAChildWeStarted) {
    winetest::ChildProcess child(m_childPath, m_commandLine);
    ASSERT_TRUE(child.started()) << GetLastError();
    CWinPpidCache::GetInstance()->Refresh();
    LinkedPtr<CProcInfoParserInterface> parser = CreateProcInfoParser();
    ASSERT_TRUE(parser->Init(child.pid()));

    EXPECT_EQ(parser->GetPid(), static_cast<int64_t>(child.pid()));
    EXPECT_EQ(parser->GetPpid(), static_cast<int64_t>(GetCurrentProcessId()));
    EXPECT_EQ(_stricmp(parser->GetProcPath().c_str(), m_childPath.c_str()), 0)
        << parser->GetProcPath();
    EXPECT_EQ(parser->GetProcName(), "korva_wine_child.exe");
    EXPECT_EQ(parser->GetCmdLine(), m_commandLine);

    wchar_t account[256] = {};
    DWORD accountChars = 256;
    ASSERT_TRUE(GetUserNameW(account, &accountChars));
    EXPECT_EQ(parser->GetUser(), Utf8(account));
    EXPECT_EQ(parser->GetUser().find('\\'), std::string::npos);
}

TEST_F(ProcInfoWineTest, TimesOfAChildAreWhatTheSystemReports) {
    const int64_t before = _time64(nullptr);
    winetest::ChildProcess child(m_childPath, m_commandLine);
    const int64_t after = _time64(nullptr);
    ASSERT_TRUE(child.started());
    LinkedPtr<CProcInfoParserInterface> parser = CreateProcInfoParser();
    ASSERT_TRUE(parser->Init(child.pid()));
    ryn::UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, child.pid()));
    FILETIME creation, exitTime, kernel, user;
    ASSERT_TRUE(GetProcessTimes(process.get(), &creation, &exitTime, &kernel, &user));

    int64_t start = -5, elapsed = -5, cpu = -5;
    ASSERT_TRUE(parser->GetProcTimes(start, elapsed, cpu));
    EXPECT_EQ(start, UnixSeconds(creation));
    EXPECT_GE(start, before - 1);
    EXPECT_LE(start, after + 1);
    EXPECT_GE(elapsed, 0);
    EXPECT_LE(elapsed, _time64(nullptr) - before + 1);
    // The child waits idle, so its CPU time does not move between the two readings.
    EXPECT_EQ(cpu, (Ticks(kernel) + Ticks(user)) / kTicksPerSecond);

    int64_t readBytes = -5, writeBytes = -5;
    EXPECT_TRUE(parser->GetIoCounters(readBytes, writeBytes));
    EXPECT_GE(readBytes, 0);
    EXPECT_GE(writeBytes, 0);
    EXPECT_GT(parser->GetProcMemUse(), 0);
}

// Wine answers GetProcessTimes for another process with a fixed small CPU time,
// whatever that process spent; Windows gives what it spent.
TEST_F(ProcInfoWineTest, CpuTimeOfABusyChildIsWhatTheSystemReports) {
    SetEnvironmentVariableA(kBusyChildVariable, "1");
    winetest::ChildProcess child(SelfPath(), "\"" + SelfPath() + "\"");
    SetEnvironmentVariableA(kBusyChildVariable, nullptr);
    ASSERT_TRUE(child.started());
    LinkedPtr<CProcInfoParserInterface> parser = CreateProcInfoParser();
    ASSERT_TRUE(parser->Init(child.pid()));
    ryn::UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, child.pid()));

    int64_t start = -5, elapsed = -5, cpu = -5;
    ASSERT_TRUE(parser->GetProcTimes(start, elapsed, cpu));
    EXPECT_EQ(cpu, CpuTicks(process.get()) / kTicksPerSecond);
    if (winetest::RunningUnderWine()) {
        EXPECT_EQ(cpu, 0) << "Wine now reports the CPU time of other processes";
    } else {
        EXPECT_GE(cpu, 1);
    }
}

// The CPU figures of a process that Wine does report truly: this one.
TEST_F(ProcInfoWineTest, CpuTimeAndUsageOfThisBusyProcess) {
    BurnCpuUntil(12 * kTicksPerSecond / 10);
    LinkedPtr<CProcInfoParserInterface> parser = CreateProcInfoParser();
    const int64_t cpuBefore = CpuTicks(GetCurrentProcess());
    ASSERT_TRUE(parser->Init(GetCurrentProcessId()));
    const int64_t cpuAfter = CpuTicks(GetCurrentProcess());

    int64_t start = -5, elapsed = -5, cpu = -5;
    ASSERT_TRUE(parser->GetProcTimes(start, elapsed, cpu));
    EXPECT_GE(cpu, cpuBefore / kTicksPerSecond);
    EXPECT_LE(cpu, cpuAfter / kTicksPerSecond);
    EXPECT_GE(cpu, 1);

    BurnCpuUntil(cpuAfter + kTicksPerSecond / 2);
    SYSTEM_INFO system = {};
    GetSystemInfo(&system);
    const int32_t usage = parser->GetCpuUsage();
    EXPECT_GT(usage, 0);
    // One busy thread: at most one processor's share, with room for timer granularity.
    EXPECT_LE(usage, static_cast<int32_t>(100 / system.dwNumberOfProcessors + 10));
}

TEST_F(ProcInfoWineTest, ExecutableSizeAndTimesMatchTheFileSystem) {
    winetest::ChildProcess child(m_childPath, m_commandLine);
    ASSERT_TRUE(child.started());
    LinkedPtr<CProcInfoParserInterface> parser = CreateProcInfoParser();
    ASSERT_TRUE(parser->Init(child.pid()));
    WIN32_FILE_ATTRIBUTE_DATA attributes = {};
    ASSERT_TRUE(GetFileAttributesExA(m_childPath.c_str(), GetFileExInfoStandard, &attributes));

    parser->GetProcPath();
    const int64_t size =
        (static_cast<int64_t>(attributes.nFileSizeHigh) << 32) | attributes.nFileSizeLow;
    EXPECT_EQ(parser->GetExeFileSize(), size);
    int64_t created = -5, modified = -5;
    ASSERT_TRUE(parser->GetExeFileTimes(created, modified));
    EXPECT_EQ(created, UnixSeconds(attributes.ftCreationTime));
    EXPECT_EQ(modified, UnixSeconds(attributes.ftLastWriteTime));
}

// Records sized for an x86 build fail in an x64 one: the reason for sizeof.
TEST_F(ProcInfoWineTest, RecordsOfTheOtherBitnessAreRefused) {
    if (sizeof(void*) != 8) {
        GTEST_SKIP() << "the x86 sizes are the right ones here";
    }
    constexpr DWORD kX86EntrySize = 556;
    constexpr DWORD kX86CountersSize = 40;
    ryn::UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = kX86EntrySize;
    EXPECT_FALSE(Process32FirstW(snapshot.get(), &entry));
    const DWORD entryError = GetLastError();
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = kX86CountersSize;
    EXPECT_FALSE(GetProcessMemoryInfo(GetCurrentProcess(), &counters, kX86CountersSize));
    const DWORD countersError = GetLastError();
    if (winetest::RunningUnderWine()) {
        EXPECT_EQ(entryError, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(countersError, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    }
}

class ProcInfoLogWineTest : public ProcInfoWineTest {
  protected:
    void SetUp() override {
        ProcInfoWineTest::SetUp();
        m_logPath = winetest::ScratchFolder("procinfo-log") + "\\agent.log";
        ASSERT_TRUE(ryn::SetLogFile(m_logPath));
    }
    void TearDown() override {
        ryn::SetLogFile("");
        ProcInfoWineTest::TearDown();
    }

    // The records without their time stamps.
    std::vector<std::string> Records() {
        ryn::SetLogFile("");
        std::vector<std::string> records;
        std::istringstream lines(winetest::ReadWholeFile(m_logPath));
        for (std::string line; std::getline(lines, line);) {
            records.push_back(line.size() > 25 ? line.substr(25) : line);
        }
        return records;
    }

    std::string m_logPath;
};

// The x86 build passes its arguments on the stack: a 64-bit pid given to "%d"
// would print its high half as the error code.
TEST_F(ProcInfoLogWineTest, PidWithoutAProcessFailsInitWithItsErrorCode) {
    const DWORD missing = 0x7FFFFFF0;
    ASSERT_EQ(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, missing), nullptr);
    const DWORD expected = GetLastError();

    LinkedPtr<CProcInfoParserInterface> parser = CreateProcInfoParser();
    EXPECT_FALSE(parser->Init(missing));
    EXPECT_EQ(parser->GetPid(), static_cast<int64_t>(missing));
    const std::vector<std::string> records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0], "2 ProcInfoParser_Win:46 Open process error. PID: 2147483632, err: " +
                              std::to_string(expected));
}

TEST_F(ProcInfoLogWineTest, FileTimesBeforeThePathWasFetchedLogTheRealError) {
    LinkedPtr<CProcInfoParserInterface> parser = CreateProcInfoParser();
    ASSERT_TRUE(parser->Init(GetCurrentProcessId()));
    int64_t created = -5, modified = -5;
    EXPECT_FALSE(parser->GetExeFileTimes(created, modified));
    EXPECT_EQ(created, 0);
    EXPECT_EQ(modified, 0);
    const std::vector<std::string> records = Records();
    ASSERT_EQ(records.size(), 1u);
    const std::string prefix = "2 ProcInfoParser_Win:317 cal file time error: ";
    ASSERT_EQ(records[0].rfind(prefix, 0), 0u) << records[0];
    const std::string code = records[0].substr(prefix.size());
    EXPECT_EQ(code.substr(code.size() - 2), ", ") << records[0];
    EXPECT_NE(code.substr(0, code.size() - 2), "0") << "the error must survive closing the file";
}

}  // namespace
