// A 32-bit agent on 64-bit Windows: file reads by image path must reach the 64-bit
// system directory's files, not their 32-bit namesakes in SysWOW64.

#include <windows.h>

#include <memory>
#include <string>

#include "agent/rynUtil/Wow64PathMap.h"
#include "fileprops/FilePropertyCache.h"
#include "fileprops/ProcMd5Cache.h"
#include "host/RynUtil.h"
#include "module/ProcInfoParserInterface.h"
#include "procinfo/WinPpidCache.h"
#include "support/LayerTest.h"

namespace {

const char kSystemExe[] = "C:\\Windows\\System32\\svc.exe";
const char kWow64Exe[] = "C:\\Windows\\SysWOW64\\svc.exe";
constexpr uint32_t kPid = 640;
constexpr uint64_t kSecond = 10000000;

std::string Mapped(const std::string& path) { return ryn::CFileUtil::GetAccessPath(path); }

class Wow64PathMapTest : public LayerTest {};

TEST_F(Wow64PathMapTest, NativeProcessKeepsEveryPath) {
    EXPECT_EQ(kSystemExe, Mapped(kSystemExe));
    EXPECT_EQ("C:\\Windows\\System32", Mapped("C:\\Windows\\System32"));
}

TEST_F(Wow64PathMapTest, Wow64ProcessReachesTheSystemDirectoryThroughSysnative) {
    layer::machine().wow64.active = true;
    EXPECT_EQ("C:\\Windows\\Sysnative\\svc.exe", Mapped(kSystemExe));
    EXPECT_EQ("C:\\Windows\\Sysnative\\drivers\\x.sys",
              Mapped("c:\\windows\\SYSTEM32\\drivers\\x.sys"));
    EXPECT_EQ("C:\\Windows\\Sysnative", Mapped("C:\\Windows\\System32"));
    EXPECT_EQ("C:\\Windows\\Sysnative/svc.exe", Mapped("C:\\Windows\\System32/svc.exe"));
}

TEST_F(Wow64PathMapTest, Wow64ProcessKeepsPathsOutsideTheSystemDirectory) {
    layer::machine().wow64.active = true;
    for (const char* path :
         {"C:\\Windows\\SysWOW64\\svc.exe", "C:\\Windows\\System32x\\svc.exe",
          "C:\\Windows\\System3", "D:\\Windows\\System32\\svc.exe", "C:\\Program Files\\a.exe", "",
          "\\\\?\\C:\\Windows\\System32\\svc.exe"}) {
        EXPECT_EQ(path, Mapped(path));
    }
}

TEST_F(Wow64PathMapTest, FoldersComeFromTheSystemNotFromAFixedName) {
    layer::Wow64View& view = layer::machine().wow64;
    view.active = true;
    view.systemDir = "E:\\WinNT\\system32";
    view.windowsDir = "E:\\WinNT\\";
    EXPECT_EQ("E:\\WinNT\\Sysnative\\svc.exe", Mapped("E:\\WinNT\\System32\\svc.exe"));
    EXPECT_EQ(kSystemExe, Mapped(kSystemExe));
}

TEST_F(Wow64PathMapTest, FailedBitnessQueryLeavesPathsAlone) {
    layer::machine().wow64.active = true;
    layer::FailCallFrom("IsWow64Process", 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(kSystemExe, Mapped(kSystemExe));
}

TEST_F(Wow64PathMapTest, DirectMapIgnoresCaseAndNeedsASeparator) {
    const ryn::Wow64PathMap map(L"C:\\Windows\\System32\\", L"C:\\Windows");
    EXPECT_EQ(L"C:\\Windows\\Sysnative\\a.exe", map.Map(L"C:\\WINDOWS\\system32\\a.exe"));
    EXPECT_EQ(L"C:\\Windows\\System32.bak\\a.exe", map.Map(L"C:\\Windows\\System32.bak\\a.exe"));
    EXPECT_EQ(L"C:\\Windows\\System32\\a.exe",
              ryn::Wow64PathMap().Map(L"C:\\Windows\\System32\\a.exe"));
}

// The 64-bit file and its 32-bit namesake differ in every property the report shows.
class Wow64FilesTest : public LayerTest {
  protected:
    void SetUp() override {
        LayerTest::SetUp();
        layer::machine().wow64.active = true;
        layer::File& real = layer::machine().files[kSystemExe];
        real.content = std::string(151884, 'R');
        real.creationTime = layer::FileTimeFromUnix(1600000000);
        real.lastWriteTime = layer::FileTimeFromUnix(1600000100);
        real.version.SetString(0x0409, 0x04b0, "FileDescription", "64-bit service");
        layer::CertName signer;
        signer.commonName = "Real Signer";
        real.signature = layer::MakeSignature(signer, "Real CA");
        layer::File& other = layer::machine().files[kWow64Exe];
        other.content = std::string(138483, 'W');
        other.creationTime = layer::FileTimeFromUnix(1500000000);
        other.lastWriteTime = layer::FileTimeFromUnix(1500000100);
        other.version.SetString(0x0409, 0x04b0, "FileDescription", "32-bit namesake");
        layer::Process process;
        process.pid = kPid;
        process.imagePath = kSystemExe;
        process.cmdLine = kSystemExe;
        process.creationTime = layer::FileTimeFromUnix(1699990000);
        layer::machine().processes.push_back(process);
    }
};

TEST_F(Wow64FilesTest, ParserReadsSizeAndTimesOfTheRealFile) {
    CSingleton<CWinPpidCache>::CreateInstance();
    LinkedPtr<CProcInfoParserInterface> parser = CreateProcInfoParser();
    ASSERT_TRUE(parser->Init(kPid));
    EXPECT_EQ(kSystemExe, parser->GetProcPath());  // reported as the system gave it
    int64_t created = 0;
    int64_t modified = 0;
    ASSERT_TRUE(parser->GetExeFileTimes(created, modified));
    EXPECT_EQ(1600000000, created);
    EXPECT_EQ(1600000100, modified);
    EXPECT_EQ(151884 + 1024, parser->GetExeFileSize());  // the content behind the resource image
    parser = LinkedPtr<CProcInfoParserInterface>();
    CSingleton<CWinPpidCache>::DestroyInstance();
}

TEST_F(Wow64FilesTest, DigestIsOfTheRealFile) {
    CProcMd5Cache cache;
    const std::string digest = cache.Get(kPid, kSystemExe, 1600000100);
    EXPECT_EQ(1, layer::machine().files[kSystemExe].contentReads);
    EXPECT_EQ(0, layer::machine().files[kWow64Exe].contentReads);
    layer::machine().wow64.active = false;
    EXPECT_EQ(ryn::CAlgorithmUtil::toHex(ryn::CAlgorithmUtil::GetFileMD5(kSystemExe)), digest);
}

TEST_F(Wow64FilesTest, VersionAndSignerAreOfTheRealFile) {
    CFilePropertyCache cache;
    const LinkedPtr<FilePropertyRecord> record = cache.Get(kSystemExe, 1600000100);
    ASSERT_TRUE(record);
    EXPECT_EQ("64-bit service", record->description);
    EXPECT_EQ("Real Signer", record->signCompany);
}

TEST_F(Wow64FilesTest, WithoutWow64TheSamePathIsTheFileItNames) {
    layer::machine().wow64.active = false;
    CFilePropertyCache cache;
    const LinkedPtr<FilePropertyRecord> record = cache.Get(kSystemExe, 1600000100);
    ASSERT_TRUE(record);
    EXPECT_EQ("64-bit service", record->description);
}

}  // namespace
