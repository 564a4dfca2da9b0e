// The real process queries against processes this test owns.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

#include "ImportPatch.h"
#include "WineTestSupport.h"
#include "agent/rynUtil/ProcessCommandLine.h"
#include "host/RynUtil.h"

namespace {

bool IsWow64(HANDLE process) {
    BOOL wow64 = FALSE;
    return IsWow64Process(process, &wow64) && wow64;
}

class ProcessUtilTest : public ::testing::Test {
  protected:
    const std::string m_childPath = winetest::ProgramFolder() + "korva_wine_child.exe";
    // A double quote, a backslash and a tab, each where a parser could trip on it.
    const std::string m_commandLine =
        "\"" + m_childPath + "\" plain \"say \\\"hi\\\"\" back\\slash\\\\ \"tab\there\"";
};

TEST_F(ProcessUtilTest, EnumerationHoldsThisProcessUnderItsImageName) {
    const ryn::ProcessIdMap processes = ryn::GetProcessUtil()->EnumProcesses();
    const auto self = processes.find(static_cast<int64_t>(GetCurrentProcessId()));
    ASSERT_NE(self, processes.end());
    EXPECT_EQ(_stricmp(self->second.c_str(), "agent_wine_tests.exe"), 0) << self->second;
    EXPECT_GT(processes.size(), 1u);
}

// Windows lists the idle process (0) and System (4); Wine's snapshot has neither.
TEST_F(ProcessUtilTest, IdleAndSystemEntriesExistOnlyOnWindows) {
    const ryn::ProcessIdMap processes = ryn::GetProcessUtil()->EnumProcesses();
    const bool expected = !winetest::RunningUnderWine();
    EXPECT_EQ(processes.count(0) == 1, expected);
    EXPECT_EQ(processes.count(4) == 1, expected);
}

TEST_F(ProcessUtilTest, ChildPathAndCommandLineReadBackExactly) {
    winetest::ChildProcess child(m_childPath, m_commandLine);
    ASSERT_TRUE(child.started()) << GetLastError();
    ryn::IProcessUtil* util = ryn::GetProcessUtil();

    EXPECT_EQ(util->GetProcessCommandLine(child.pid()), m_commandLine);
    EXPECT_EQ(_stricmp(util->GetProcessPath(child.pid(), false).c_str(), m_childPath.c_str()), 0)
        << util->GetProcessPath(child.pid(), false);
    const std::string native = util->GetProcessPath(child.pid(), true);
    EXPECT_EQ(native.rfind("\\Device\\", 0), 0u) << native;
    EXPECT_EQ(ryn::CToolUtil::GetPathName(native), "korva_wine_child.exe");
}

TEST_F(ProcessUtilTest, PebRouteReadsTheChildWhereTheQueryIsMissing) {
    winetest::ChildProcess child(m_childPath, m_commandLine);
    ASSERT_TRUE(child.started());
    ryn::UniqueHandle process(
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, child.pid()));
    ASSERT_TRUE(process.valid());
    const std::wstring expected = ryn::CStringUtil::s2ws(m_commandLine);

    EXPECT_EQ(ryn::ProcessCommandLine::FromPeb(process.get()), expected);
    if (winetest::RunningUnderWine()) {
        // Wine 8 has no ProcessCommandLineInformation (class 60): the PEB is the only route.
        EXPECT_EQ(ryn::ProcessCommandLine::FromQuery(process.get()), L"");
    } else {
        EXPECT_EQ(ryn::ProcessCommandLine::FromQuery(process.get()), expected);
    }
}

// The image path as QueryFullProcessImageNameA would give it for a path of
// g_imagePathLength characters: only into a buffer that can hold it.
size_t g_imagePathLength = 0;

BOOL WINAPI LongImagePath(HANDLE, DWORD, LPSTR name, PDWORD size) {
    if (*size <= g_imagePathLength) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memset(name, 'a', g_imagePathLength);
    name[g_imagePathLength] = '\0';
    *size = static_cast<DWORD>(g_imagePathLength);
    return TRUE;
}

TEST_F(ProcessUtilTest, ImagePathsUpToTheSystemLimitAreRead) {
    const void* real = reinterpret_cast<const void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "QueryFullProcessImageNameA"));
    acceptance::ImportPatch patch(GetModuleHandleW(L"rynUtil.dll"), real,
                                  reinterpret_cast<const void*>(&LongImagePath));
    ASSERT_GT(patch.slots(), 0u);
    const int64_t self = GetCurrentProcessId();
    for (size_t length : {size_t{20000}, size_t{32767}}) {
        g_imagePathLength = length;
        EXPECT_EQ(ryn::GetProcessUtil()->GetProcessPath(self, false).size(), length);
    }
    g_imagePathLength = 32768;  // no room for the terminator within the limit
    EXPECT_EQ(ryn::GetProcessUtil()->GetProcessPath(self, false), "");
}

TEST_F(ProcessUtilTest, PidsWithoutAProcessGiveEmptyTexts) {
    ryn::IProcessUtil* util = ryn::GetProcessUtil();
    for (int64_t pid : {int64_t{-1}, int64_t{0x100000000LL}, int64_t{0x7FFFFFF0}}) {
        EXPECT_EQ(util->GetProcessPath(pid, false), "") << pid;
        EXPECT_EQ(util->GetProcessCommandLine(pid), "") << pid;
    }
}

// Every process of the prefix, including those of the other bitness, is read
// without a fault; a 32-bit reader gets "" for a 64-bit process it cannot query.
TEST_F(ProcessUtilTest, EveryRunningProcessIsReadSafely) {
    ryn::IProcessUtil* util = ryn::GetProcessUtil();
    const bool selfWow64 = IsWow64(GetCurrentProcess());
    int crossBitness = 0;
    for (const auto& entry : util->EnumProcesses()) {
        const std::string commandLine = util->GetProcessCommandLine(entry.first);
        util->GetProcessPath(entry.first, false);
        ryn::UniqueHandle process(
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(entry.first)));
        if (sizeof(void*) == 4 && selfWow64 && process.valid() && !IsWow64(process.get())) {
            ++crossBitness;
            if (winetest::RunningUnderWine()) {
                EXPECT_EQ(commandLine, "") << entry.second;
            }
        }
    }
    if (sizeof(void*) == 4 && winetest::RunningUnderWine()) {
        EXPECT_GT(crossBitness, 0) << "the prefix's own services are 64-bit";
    }
}

}  // namespace
