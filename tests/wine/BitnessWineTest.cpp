// What changes when the agent is the x86 build on 64-bit Windows (WOW64): file reads
// by image path and the command line of a 64-bit process. The x64 build checks that
// nothing is mapped; the x86 build, where the machine can run it, checks the mapping
// against the real files and pins what a 32-bit reader gets of a 64-bit command line.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AcceptanceSupport.h"
#include "WineTestSupport.h"
#include "agent/rynUtil/ProcessCommandLine.h"
#include "fileprops/FilePropertyCache.h"
#include "host/RynUtil.h"

namespace {

bool InWow64() {
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

std::string SystemDir() {
    wchar_t dir[MAX_PATH];
    const UINT length = GetSystemDirectoryW(dir, MAX_PATH);
    return acceptance::Utf8(std::wstring(dir, length));
}

std::string Wow64Dir() {
    wchar_t dir[MAX_PATH];
    const UINT length = GetSystemWow64DirectoryW(dir, MAX_PATH);
    return length == 0 ? std::string() : acceptance::Utf8(std::wstring(dir, length));
}

// The file a path names, read with redirection off on this thread only.
acceptance::FileFacts UnredirectedFacts(const std::string& path) {
    PVOID saved = nullptr;
    const BOOL disabled = InWow64() && Wow64DisableWow64FsRedirection(&saved);
    const acceptance::FileFacts facts = acceptance::ReadFileFacts(path);
    if (disabled) {
        Wow64RevertWow64FsRedirection(saved);
    }
    return facts;
}

// A program that lies in both system directories with different contents.
std::string ProgramInBothDirectories() {
    const std::string wow64Dir = Wow64Dir();
    for (const char* name : {"winedevice.exe", "notepad.exe", "svchost.exe", "cmd.exe"}) {
        const std::string native = SystemDir() + "\\" + name;
        const acceptance::FileFacts real = UnredirectedFacts(native);
        const acceptance::FileFacts other = acceptance::ReadFileFacts(wow64Dir + "\\" + name);
        if (real.readable && other.readable && real.size != other.size) {
            return native;
        }
    }
    return std::string();
}

TEST(Wow64FileReads, SixtyFourBitBuildMapsNothing) {
    if (InWow64()) {
        GTEST_SKIP() << "the x86 build on 64-bit Windows maps; see the next test";
    }
    const std::string path = SystemDir() + "\\winedevice.exe";
    EXPECT_EQ(path, ryn::CFileUtil::GetAccessPath(path));
    EXPECT_EQ(static_cast<uint64_t>(acceptance::ReadFileFacts(path).size),
              ryn::CFileUtil::GetFileSize(path));
}

TEST(Wow64FileReads, ThirtyTwoBitBuildReadsTheRealSystemFile) {
    if (!InWow64()) {
        GTEST_SKIP() << "only a 32-bit process on 64-bit Windows is redirected";
    }
    const std::string path = ProgramInBothDirectories();
    ASSERT_NE("", path) << "no program with two different copies in the system directories";
    const acceptance::FileFacts real = UnredirectedFacts(path);
    EXPECT_NE(path, ryn::CFileUtil::GetAccessPath(path));
    EXPECT_EQ(static_cast<uint64_t>(real.size), ryn::CFileUtil::GetFileSize(path));
    EXPECT_TRUE(ryn::CFileInfo(path).isFile());
    ryn::CFileCom file(path);
    ASSERT_TRUE(file.open(ryn::FILECOM_OPEN_READ));
    FILETIME created = {};
    FILETIME written = {};
    ASSERT_TRUE(GetFileTime(static_cast<HANDLE>(file.nativeHandle()), &created, nullptr, &written));
    EXPECT_EQ(real.modifyTime, acceptance::UnixSeconds(written));
    const std::string redirected = Wow64Dir() + path.substr(SystemDir().size());
    EXPECT_NE(ryn::CAlgorithmUtil::GetFileMD5(redirected), ryn::CAlgorithmUtil::GetFileMD5(path));
}

// Windows 8.1 and later answer the command-line query (class 60) across bitness;
// Wine 8 does not know the class, and a 32-bit reader cannot reach a 64-bit PEB.
TEST(CrossBitnessCommandLine, ThirtyTwoBitReaderOfASixtyFourBitProcess) {
    if (!InWow64()) {
        GTEST_SKIP() << "needs the x86 build on 64-bit Windows";
    }
    wchar_t windows[MAX_PATH];
    const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    const std::string shell =
        acceptance::Utf8(std::wstring(windows, length)) + "\\Sysnative\\cmd.exe";
    const std::string line = "\"" + shell + "\" /q /k echo ready";
    acceptance::RunningProcess child(shell, line);
    ASSERT_TRUE(child.ready()) << child.readyLine();

    ryn::UniqueHandle process(
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, child.pid()));
    ASSERT_TRUE(process.valid());
    EXPECT_EQ(L"", ryn::ProcessCommandLine::FromPeb(process.get()));
    const std::string read = ryn::GetProcessUtil()->GetProcessCommandLine(child.pid());
    if (winetest::RunningUnderWine()) {
        EXPECT_EQ("", read);
    } else {
        EXPECT_EQ(line, acceptance::CodePageToUtf8(read));
    }
    EXPECT_NE("", ryn::GetProcessUtil()->GetProcessPath(child.pid(), false));
}

}  // namespace
