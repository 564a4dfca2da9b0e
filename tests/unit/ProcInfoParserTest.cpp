#include <windows.h>

#include <string>
#include <vector>

#include "module/ProcInfoParserInterface.h"
#include "procinfo/WinPpidCache.h"
#include "support/LayerTest.h"

namespace {

constexpr uint32_t kPid = 1234;
constexpr uint64_t kSecond = 10000000;  // FILETIME units
// Non-ASCII texts within and beyond the scripted system code page (ISO-8859-1): a
// missing, doubled or code-page conversion changes their bytes.
const std::string kName = "\xE1\xB9\xA1vc K\xC3\xA4stchen \xE6\x97\xA5\xF0\x9F\x98\x80.exe";
const std::string kPath = "C:\\Programme\\B\xC3\xBCro\\" + kName;
const std::string kCmdLine = "\"" + kPath +
                             "\" --gr\xC3\xB6\xC3\x9F"
                             "e \xD0\x96 3";
const std::string kUser = "J\xC3\xBCrgen-\xD0\xAE\xD1\x80\xD0\xB8\xD0\xB9";

class ProcInfoParserTest : public LayerTest {
  protected:
    void SetUp() override {
        LayerTest::SetUp();
        layer::Process process;
        process.pid = kPid;
        process.ppid = 4;
        process.imagePath = kPath;
        process.cmdLine = kCmdLine;
        process.user = kUser;
        process.domain = "WERKSTATT";
        process.creationTime = layer::FileTimeFromUnix(1699990000);
        process.kernelTime = 3 * kSecond;
        process.userTime = 4 * kSecond;
        layer::machine().processes.push_back(process);
    }

    static layer::Process& Model() { return *layer::machine().FindProcess(kPid); }

    static LinkedPtr<CProcInfoParserInterface> Bound() {
        LinkedPtr<CProcInfoParserInterface> parser = CreateProcInfoParser();
        EXPECT_TRUE(parser->Init(kPid));
        return parser;
    }

    static void ExpectOneRecord(int level, const std::string& source, int line,
                                const std::string& text) {
        const auto records = layer::LogRecords();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].level, level);
        EXPECT_EQ(records[0].source, source);
        EXPECT_EQ(records[0].line, line);
        EXPECT_EQ(records[0].text, text);
    }

    // Every operation that needs the process handle gives its failure value, silently.
    static void ExpectUnboundAnswers(CProcInfoParserInterface& parser) {
        int64_t a = 0, b = 0, c = 0;
        EXPECT_FALSE(parser.GetProcTimes(a, b, c));
        EXPECT_EQ(std::vector<int64_t>({a, b, c}), std::vector<int64_t>({-1, -1, -1}));
        EXPECT_FALSE(parser.GetIoCounters(a, b));
        EXPECT_EQ(std::vector<int64_t>({a, b}), std::vector<int64_t>({-1, -1}));
        EXPECT_EQ(parser.GetProcMemUse(), -1);
        EXPECT_EQ(parser.GetCpuUsage(), 0);
        EXPECT_EQ(parser.GetUser(), "");
        EXPECT_EQ(layer::CallCount("OpenProcessToken"), 0);
    }
};

TEST_F(ProcInfoParserTest, NewParserIsUnbound) {
    LinkedPtr<CProcInfoParserInterface> parser = CreateProcInfoParser();
    EXPECT_EQ(parser->GetPid(), -1);
    ExpectUnboundAnswers(*parser);
    EXPECT_TRUE(layer::LogRecords().empty());
}

TEST_F(ProcInfoParserTest, TimesAreSampledAtInitAndElapsedAtTheCall) {
    auto parser = Bound();
    Model().kernelTime += 100 * kSecond;  // CPU spent after Init is not reported
    layer::AdvanceClock(60 * kSecond);

    int64_t start = 0, elapsed = 0, cpu = 0;
    EXPECT_TRUE(parser->GetProcTimes(start, elapsed, cpu));
    EXPECT_EQ(start, 1699990000);
    EXPECT_EQ(elapsed, 10060);
    EXPECT_EQ(cpu, 7);
    EXPECT_TRUE(layer::LogRecords().empty());
}

TEST_F(ProcInfoParserTest, TimesTruncateTowardZero) {
    Model().creationTime = layer::FileTimeFromUnix(10) + kSecond - 1;  // 00:00:10.9999999
    Model().kernelTime = kSecond;
    Model().userTime = kSecond - 1;  // 1.9999999 s in all
    auto parser = Bound();
    int64_t start = 0, elapsed = 0, cpu = 0;
    EXPECT_TRUE(parser->GetProcTimes(start, elapsed, cpu));
    EXPECT_EQ(start, 10);
    EXPECT_EQ(cpu, 1);
}

TEST_F(ProcInfoParserTest, InitThatCannotOpenLogsPidAndErrorAndKeepsThePid) {
    struct Case {
        int64_t pid;
        DWORD openError;
        std::string text;
    };
    const Case cases[] = {
        {kPid, ERROR_ACCESS_DENIED, "Open process error. PID: 1234, err: 5"},
        {0, 0, "Open process error. PID: 0, err: 87"},
        {5678, 0, "Open process error. PID: 5678, err: 87"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("pid " + std::to_string(c.pid));
        SetUp();  // a fresh machine
        Model().openError = c.openError;
        {
            LinkedPtr<CProcInfoParserInterface> parser = CreateProcInfoParser();
            EXPECT_FALSE(parser->Init(c.pid));
            EXPECT_EQ(parser->GetPid(), c.pid);
            ExpectUnboundAnswers(*parser);
        }
        ExpectOneRecord(2, "ProcInfoParser_Win", 46, c.text);
        ExpectBalanced();
    }
}

TEST_F(ProcInfoParserTest, InitFailingAtProcessTimesKeepsTheHandleUntilDestruction) {
    layer::FailCall("GetProcessTimes", 1, ERROR_ACCESS_DENIED);
    {
        LinkedPtr<CProcInfoParserInterface> parser = CreateProcInfoParser();
        EXPECT_FALSE(parser->Init(kPid));
        EXPECT_EQ(parser->GetPid(), kPid);
        ExpectOneRecord(2, "ProcInfoParser_Win", 54, "Get proc times error. PID: 1234, err: 5");
        EXPECT_EQ(layer::Outstanding(), "handle:process: +1\n");
    }
    EXPECT_EQ(layer::Outstanding(), "");
}

TEST_F(ProcInfoParserTest, IoCountersKeepSixtyFourBitsAndLogFailures) {
    Model().readBytes = (5ULL << 30) + 1;
    Model().writeBytes = 7;
    auto parser = Bound();
    int64_t readBytes = 0, writeBytes = 0;
    EXPECT_TRUE(parser->GetIoCounters(readBytes, writeBytes));
    EXPECT_EQ(readBytes, (5LL << 30) + 1);
    EXPECT_EQ(writeBytes, 7);

    layer::FailCall("GetProcessIoCounters", 2, ERROR_INVALID_HANDLE);
    EXPECT_FALSE(parser->GetIoCounters(readBytes, writeBytes));
    EXPECT_EQ(readBytes, -1);
    EXPECT_EQ(writeBytes, -1);
    ExpectOneRecord(2, "ProcInfoParser_Win", 80,
                    "Get process io counters error. PID: 1234, err: 6");
}

TEST_F(ProcInfoParserTest, WorkingSetIsReportedInKibibytesAtFullWidth) {
    auto parser = Bound();
    Model().workingSetBytes = 10ULL << 20;
    EXPECT_EQ(parser->GetProcMemUse(), 10240);
    Model().workingSetBytes = 5ULL << 30;  // wraps if shifted as a 32-bit value
    EXPECT_EQ(parser->GetProcMemUse(), 5242880);
    EXPECT_TRUE(layer::LogRecords().empty());

    layer::FailCall("GetProcessMemoryInfo", 3, ERROR_ACCESS_DENIED);
    EXPECT_EQ(parser->GetProcMemUse(), -1);
    ExpectOneRecord(2, "ProcInfoParser_Win", 187, "Get proc memuse error. PID: 1234, err: 5");
}

// The scripted machine has 4 processors; the first parser constructed reads them.
TEST_F(ProcInfoParserTest, CpuUsageIsTheShareOfAllProcessorsSinceInit) {
    auto parser = Bound();
    Model().kernelTime += 10 * kSecond;
    EXPECT_EQ(parser->GetCpuUsage(), 0) << "no time elapsed: nothing to divide by";

    layer::AdvanceClock(10 * kSecond);
    Model().userTime += 10 * kSecond;  // two of four processors busy for 10 s
    EXPECT_EQ(parser->GetCpuUsage(), 50);

    layer::FailCall("GetProcessTimes", 4, ERROR_ACCESS_DENIED);
    EXPECT_EQ(parser->GetCpuUsage(), 0);
    EXPECT_TRUE(layer::LogRecords().empty());
}

TEST_F(ProcInfoParserTest, UserIsTheBareAccountConvertedOnceAndCached) {
    auto parser = Bound();
    EXPECT_EQ(parser->GetUser(), kUser);
    EXPECT_EQ(parser->GetUser(), kUser);
    EXPECT_EQ(layer::CallCount("OpenProcessToken"), 1);
    EXPECT_TRUE(layer::LogRecords().empty());
}

TEST_F(ProcInfoParserTest, UserFailureAtEachStepIsLoggedAndRetriedNextCall) {
    struct Case {
        const char* call;
        int nth;
        DWORD error;
        std::string text;
    };
    const Case cases[] = {
        {"OpenProcessToken", 1, ERROR_ACCESS_DENIED, "Open process token error. PID: 1234, err: 5"},
        {"OpenProcessToken", 1, 0xC0000022, "Open process token error. PID: 1234, err: 3221225506"},
        {"GetTokenInformation", 2, ERROR_INVALID_PARAMETER,
         "GetTokenInformation. PID: 1234, err: 87"},
        {"LookupAccountSidW", 1, ERROR_NONE_MAPPED,
         "LookupAccountSidA error. PID: 1234, err: 1332"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        SetUp();  // a fresh machine
        {
            auto parser = Bound();
            layer::FailCall(c.call, c.nth, c.error);
            EXPECT_EQ(parser->GetUser(), "");
            ExpectOneRecord(2, "", 0, c.text);
            EXPECT_EQ(parser->GetUser(), kUser);
            EXPECT_EQ(layer::LogRecords().size(), 1u);
        }
        ExpectBalanced();
    }
}

TEST_F(ProcInfoParserTest, StringsAreConvertedToUtf8OnceAndCached) {
    auto parser = Bound();
    EXPECT_EQ(parser->GetProcName(), kName);
    EXPECT_EQ(parser->GetProcPath(), kPath);
    EXPECT_EQ(parser->GetProcName(), kName);
    EXPECT_EQ(parser->GetCmdLine(), kCmdLine);
    EXPECT_EQ(parser->GetCmdLine(), kCmdLine);
    EXPECT_EQ(layer::CallCount("GetProcessPathW"), 1);
    EXPECT_EQ(layer::CallCount("GetProcessCommandLineW"), 1);
    EXPECT_EQ(layer::CallCount("GetPathName"), 1);
}

TEST_F(ProcInfoParserTest, EmptyAnswersAreNotCachedAndGiveNoName) {
    auto parser = Bound();
    layer::FailCall("GetProcessPathW", 1, ERROR_ACCESS_DENIED);
    layer::FailCall("GetProcessCommandLineW", 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(parser->GetProcName(), "");
    EXPECT_EQ(layer::CallCount("GetPathName"), 0);
    EXPECT_EQ(parser->GetCmdLine(), "");
    EXPECT_EQ(parser->GetCmdLine(), kCmdLine);
    EXPECT_EQ(parser->GetProcName(), kName);
    EXPECT_TRUE(layer::LogRecords().empty());
}

TEST_F(ProcInfoParserTest, PathWithoutAnExactUtf8FormIsLeftOutAndLoggedOnce) {
    Model().imagePath = "C:\\x\\\xED\xA0\x80svc.exe";                     // an unpaired surrogate
    layer::machine().files["C:\\x\\\xEF\xBF\xBDsvc.exe"].content = "MZ";  // U+FFFD names this
    auto parser = Bound();
    EXPECT_EQ(parser->GetProcName(), "");
    EXPECT_EQ(parser->GetProcPath(), "");
    EXPECT_EQ(parser->GetExeFileSize(), -1);
    ExpectOneRecord(2, "ProcInfoParser_Win", 128,
                    "image path is not valid UTF-16, file values left out. PID: 1234");
}

TEST_F(ProcInfoParserTest, FileTimesNeedThePathFetchedFirst) {
    layer::File image;
    image.content = "MZ";
    image.creationTime = layer::FileTimeFromUnix(1600000000) + kSecond - 1;
    image.lastWriteTime = layer::FileTimeFromUnix(1650000000);
    layer::machine().files[kPath] = image;
    auto parser = Bound();

    int64_t created = -5, modified = -5;
    EXPECT_FALSE(parser->GetExeFileTimes(created, modified));
    EXPECT_EQ(created, 0);
    EXPECT_EQ(modified, 0);
    ExpectOneRecord(2, "ProcInfoParser_Win", 317, "cal file time error: 2, ");

    parser->GetProcPath();
    EXPECT_TRUE(parser->GetExeFileTimes(created, modified));
    EXPECT_EQ(created, 1600000000);
    EXPECT_EQ(modified, 1650000000);
    EXPECT_EQ(layer::LogRecords().size(), 1u);
}

TEST_F(ProcInfoParserTest, FileTimeFailureLogsTheErrorAndPathAndClosesTheFile) {
    layer::machine().files[kPath] = layer::File();
    auto parser = Bound();
    parser->GetProcPath();
    layer::FailCall("GetFileTime", 1, ERROR_ACCESS_DENIED);
    int64_t created = -5, modified = -5;
    EXPECT_FALSE(parser->GetExeFileTimes(created, modified));
    EXPECT_EQ(created, 0);
    EXPECT_EQ(modified, 0);
    ExpectOneRecord(2, "ProcInfoParser_Win", 317, "cal file time error: 5, " + kPath);
}

TEST_F(ProcInfoParserTest, FileSizeIsMinusOneForMissingAndEmptyFiles) {
    auto parser = Bound();
    EXPECT_EQ(parser->GetExeFileSize(), -1) << "path not fetched";
    parser->GetProcPath();
    EXPECT_EQ(parser->GetExeFileSize(), -1) << "missing";
    layer::machine().files[kPath] = layer::File();
    EXPECT_EQ(parser->GetExeFileSize(), -1) << "empty";
    layer::machine().files[kPath].content.assign(70000, 'x');
    EXPECT_EQ(parser->GetExeFileSize(), 70000);
    EXPECT_TRUE(layer::LogRecords().empty());
}

TEST_F(ProcInfoParserTest, ParentComesFromThePassCache) {
    CWinPpidCache* cache = CWinPpidCache::CreateInstance();
    cache->Refresh();
    auto parser = Bound();
    EXPECT_EQ(parser->GetPpid(), 4);
    cache->Clear();
    EXPECT_EQ(parser->GetPpid(), -1);
}

}  // namespace
