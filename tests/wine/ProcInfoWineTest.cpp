// The process information parser and the parent process cache against processes
// this program starts itself.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>

#include "module/ProcInfoParserInterface.h"
#include "procinfo/WinPpidCache.h"

namespace {

const char kChildSwitch[] = "--procinfo-child";
constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kUnixEpochTicks = 116444736000000000LL;
// Enough CPU for the whole-second CPU time to be at least 1.
constexpr int64_t kChildCpuTicks = 12 * kTicksPerSecond / 10;

int64_t Ticks(const FILETIME& time) {
    return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                                time.dwLowDateTime);
}

int64_t UnixSeconds(const FILETIME& time) {
    return (Ticks(time) - kUnixEpochTicks) / kTicksPerSecond;
}

std::string Utf8(const std::wstring& text) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                          nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], bytes,
                        nullptr, nullptr);
    return out;
}

// Wine answers GetProcessTimes for another process with a fixed small CPU time,
// whatever the process spent; Windows gives the real one.
bool RunningUnderWine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

std::wstring SelfPath() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

std::wstring EventName(const wchar_t* what, DWORD pid) {
    return std::wstring(L"Local\\korvaProcWineTest_") + what + L"_" + std::to_wstring(pid);
}

// The child: spends some CPU, says it is ready, and waits until it is told to go.
int ChildMain() {
    FILETIME creation, exitTime, kernel, user;
    volatile double sink = 0;
    do {
        for (int i = 0; i < 1000000; ++i) {
            sink = sink + i * 0.5;
        }
        GetProcessTimes(GetCurrentProcess(), &creation, &exitTime, &kernel, &user);
    } while (Ticks(kernel) + Ticks(user) < kChildCpuTicks);
    const DWORD pid = GetCurrentProcessId();
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, EventName(L"ready", pid).c_str());
    HANDLE quit = OpenEventW(SYNCHRONIZE, FALSE, EventName(L"quit", pid).c_str());
    if (ready == nullptr || quit == nullptr) {
        return 2;
    }
    SetEvent(ready);
    WaitForSingleObject(quit, 120000);
    return 0;
}

// A child process of this test, alive while the object lives.
class Child {
  public:
    explicit Child(const std::wstring& arguments) {
        m_commandLine = L"\"" + SelfPath() + L"\" " + Utf16(kChildSwitch) + L" " + arguments;
        std::wstring writable = m_commandLine;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        _time64(&m_before);
        // Suspended, so the events named after its pid exist before it looks for them.
        if (!CreateProcessW(nullptr, &writable[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                            nullptr, nullptr, &startup, &m_info)) {
            ADD_FAILURE() << "CreateProcessW failed: " << GetLastError();
            return;
        }
        _time64(&m_after);
        m_ready = CreateEventW(nullptr, TRUE, FALSE, EventName(L"ready", pid()).c_str());
        m_quit = CreateEventW(nullptr, TRUE, FALSE, EventName(L"quit", pid()).c_str());
        ResumeThread(m_info.hThread);
        HANDLE waits[2] = {m_ready, m_info.hProcess};
        if (WaitForMultipleObjects(2, waits, FALSE, 120000) != WAIT_OBJECT_0) {
            ADD_FAILURE() << "child did not get ready";
        }
    }

    ~Child() {
        if (m_info.hProcess == nullptr) {
            return;
        }
        SetEvent(m_quit);
        WaitForSingleObject(m_info.hProcess, 60000);
        CloseHandle(m_ready);
        CloseHandle(m_quit);
        CloseHandle(m_info.hThread);
        CloseHandle(m_info.hProcess);
    }

    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    DWORD pid() const { return m_info.dwProcessId; }
    HANDLE process() const { return m_info.hProcess; }
    const std::wstring& commandLine() const { return m_commandLine; }
    int64_t startedAfter() const { return m_before; }
    int64_t startedBefore() const { return m_after; }

  private:
    static std::wstring Utf16(const char* ascii) {
        return std::wstring(ascii, ascii + std::strlen(ascii));
    }

    PROCESS_INFORMATION m_info = {};
    std::wstring m_commandLine;
    HANDLE m_ready = nullptr;
    HANDLE m_quit = nullptr;
    int64_t m_before = 0;
    int64_t m_after = 0;
};

class ProcInfoWineTest : public ::testing::Test {
  protected:
    void SetUp() override { CWinPpidCache::CreateInstance()->Refresh(); }
    void TearDown() override { CWinPpidCache::GetInstance()->Clear(); }
};

TEST_F(ProcInfoWineTest, IdentityOfAChildWeStarted) {
    // Quotes, escaped quotes, a trailing backslash pair and a tab, as the child got them.
    Child child(L"\"say \\\"hi\\\"\" C:\\dir\\\\ tab\there");
    CWinPpidCache::GetInstance()->Refresh();
    LinkedPtr<CProcInfoParserInterface> parser = CreateProcInfoParser();
    ASSERT_TRUE(parser->Init(child.pid()));

    EXPECT_EQ(parser->GetPid(), static_cast<int64_t>(child.pid()));
    EXPECT_EQ(parser->GetPpid(), static_cast<int64_t>(GetCurrentProcessId()));
    const std::string self = Utf8(SelfPath());
    EXPECT_EQ(parser->GetProcPath(), self);
    EXPECT_EQ(parser->GetProcName(), self.substr(self.find_last_of('\\') + 1));
    EXPECT_EQ(parser->GetCmdLine(), Utf8(child.commandLine()));

    wchar_t account[256] = {};
    DWORD accountChars = 256;
    ASSERT_TRUE(GetUserNameW(account, &accountChars));
    EXPECT_EQ(parser->GetUser(), Utf8(account));
    EXPECT_EQ(parser->GetUser().find('\\'), std::string::npos);
}

TEST_F(ProcInfoWineTest, TimesOfAChildWeStarted) {
    Child child(L"times");
    LinkedPtr<CProcInfoParserInterface> parser = CreateProcInfoParser();
    ASSERT_TRUE(parser->Init(child.pid()));
    FILETIME creation, exitTime, kernel, user;
    ASSERT_TRUE(GetProcessTimes(child.process(), &creation, &exitTime, &kernel, &user));

    int64_t start = -5, elapsed = -5, cpu = -5;
    ASSERT_TRUE(parser->GetProcTimes(start, elapsed, cpu));
    EXPECT_GE(start, child.startedAfter() - 1);
    EXPECT_LE(start, child.startedBefore() + 1);
    EXPECT_EQ(start, UnixSeconds(creation));
    EXPECT_GE(elapsed, 0);
    EXPECT_LE(elapsed, _time64(nullptr) - child.startedAfter() + 1);
    EXPECT_EQ(cpu, (Ticks(kernel) + Ticks(user)) / kTicksPerSecond);
    if (!RunningUnderWine()) {
        EXPECT_GE(cpu, 1);
    }

    int64_t readBytes = -5, writeBytes = -5;
    EXPECT_TRUE(parser->GetIoCounters(readBytes, writeBytes));
    EXPECT_GE(readBytes, 0);
    EXPECT_GT(parser->GetProcMemUse(), 0);
}

TEST_F(ProcInfoWineTest, ExecutableSizeAndTimesMatchTheFileSystem) {
    Child child(L"file");
    LinkedPtr<CProcInfoParserInterface> parser = CreateProcInfoParser();
    ASSERT_TRUE(parser->Init(child.pid()));
    WIN32_FILE_ATTRIBUTE_DATA attributes = {};
    ASSERT_TRUE(GetFileAttributesExW(SelfPath().c_str(), GetFileExInfoStandard, &attributes));

    parser->GetProcPath();
    const int64_t size =
        (static_cast<int64_t>(attributes.nFileSizeHigh) << 32) | attributes.nFileSizeLow;
    EXPECT_EQ(parser->GetExeFileSize(), size);
    int64_t created = -5, modified = -5;
    ASSERT_TRUE(parser->GetExeFileTimes(created, modified));
    EXPECT_EQ(created, UnixSeconds(attributes.ftCreationTime));
    EXPECT_EQ(modified, UnixSeconds(attributes.ftLastWriteTime));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], kChildSwitch) == 0) {
        return ChildMain();
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
