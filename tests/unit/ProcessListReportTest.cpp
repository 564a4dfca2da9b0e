#include <gtest/gtest.h>

#include <string>

#include "module/KorvaProcInterfaceImp.h"
#include "module/ProcessListReport.h"
#include "support/FakeParsers.h"
#include "support/ModuleTest.h"
#include "support/ReportCheck.h"

namespace {

constexpr int64_t kScanTime = 1700000000;     // 20231114221320
constexpr int64_t kStart = 1699996400;        // 20231114211320
constexpr int64_t kCreated = 1697408000;      // 20231015221320
constexpr int64_t kModified = 1699913600;     // 20231113221320
constexpr int64_t kSigningTime = 1551773229;  // 20190305080709 UTC

class ProcessListReportTest : public ModuleTest {
  protected:
    void SetUp() override {
        ModuleTest::SetUp();
        CSingleton<CProcMd5Cache>::CreateInstance();
        CSingleton<CFilePropertyCache>::CreateInstance();
    }

    static FakeProcess Process(int64_t pid, const std::string& path) {
        FakeProcess process;
        process.pid = pid;
        process.ppid = 1;
        process.path = path;
        process.name = ryn::CToolUtil::GetPathName(path);
        process.cmdLine = path;
        process.user = "alice";
        process.startTime = kStart;
        process.elapsedTime = 3600;
        process.cpuTime = 5;
        process.fileTimesOk = true;
        process.createTime = kCreated;
        process.modifyTime = kModified;
        process.fileSize = 2048;
        return process;
    }

    static layer::File& AddFile(const std::string& path, const std::string& content) {
        layer::File& file = layer::machine().files[path];
        file.content = content;
        file.lastWriteTime = layer::FileTimeFromUnix(kModified);
        return file;
    }

    void Add(const FakeProcess& process) {
        m_table.push_back(LinkedPtr<CProcInfoParserInterface>(new FakeProcInfoParser(process)));
    }

    std::string Build(const std::string& cmdIdx = "17", const std::string& trigger = "timer") {
        std::string text = CProcessListReport(cmdIdx, trigger, kScanTime).Build(m_table, m_tcp);
        rapidjson::Document strict;
        ParseStrict(text, &strict);
        return text;
    }

    ProcParserList m_table;
    FakeTcpParser m_tcp;
};

const char kSystemRecord[] =
    R"({"pid":4,"ppid":-1,"proc_name":"System","proc_path":"","cmd_line":"","user":"SYSTEM",)"
    R"("start_time":"","cpu_time":-1,"elapsed_time":-1,"description":"","company":"",)"
    R"("listen_port":"445","establish_port":"","connect_count":0,"file_size":-1,)"
    R"("file_create_time":"","file_modify_time":"","file_md5":"","app_sign":""})";

TEST_F(ProcessListReportTest, GoldenReport) {
    // 36: every member, ports, signer with date, a command line that needs escaping.
    layer::File& alpha = AddFile("C:\\Apps\\alpha.exe", "alpha");
    alpha.version.SetString(0x0409, 0x04b0, "FileDescription", "Alpha Service");
    alpha.version.SetString(0x0409, 0x04b0, "CompanyName", "Alpha Corp");
    alpha.signature = layer::MakeSignature({"", "Alpha Corp Signing", "", ""}, "Test CA");
    layer::AddCounterSignature(alpha.signature, "Test TSA", layer::FileTimeFromUnix(kSigningTime));
    FakeProcess first = Process(36, "C:\\Apps\\alpha.exe");
    first.cmdLine = std::string("alpha \"q\" C:\\dir\tx\x01y\x7Fz caf\xC3\xA9/");
    Add(first);
    m_tcp.summaries[36].listen_ports = {8080, 80, 443};
    m_tcp.summaries[36].establish_ports = {49152, 80};
    m_tcp.summaries[36].connect_count = 3;
    // 508: file times unreadable, so 15 members; the signer without a date.
    layer::File& beta = AddFile("C:\\Apps\\beta.exe", "beta");
    beta.signature = layer::MakeSignature({"", "Beta Ltd", "", ""}, "Test CA");
    FakeProcess second = Process(508, "C:\\Apps\\beta.exe");
    second.fileTimesOk = false;
    Add(second);
    // 600: no process times: dropped.
    FakeProcess dropped = Process(600, "C:\\Apps\\gone.exe");
    dropped.startTime = dropped.elapsedTime = dropped.cpuTime = -1;
    Add(dropped);
    // 700: a date without a signer name; 800: nothing known about the file.
    layer::File& delta = AddFile("C:\\Apps\\delta.exe", "delta");
    delta.signature = layer::MakeSignature({}, "Test CA");
    layer::AddCounterSignature(delta.signature, "Test TSA", layer::FileTimeFromUnix(kSigningTime));
    Add(Process(700, "C:\\Apps\\delta.exe"));
    AddFile("C:\\Apps\\echo.exe", "echo");
    FakeProcess last = Process(800, "C:\\Apps\\echo.exe");
    last.fileSize = -1;
    Add(last);
    m_tcp.summaries[4].listen_ports = {445};

    const std::string expected =
        R"({"package_info":{"total_package":1,"current_package":1},"cmd_idx":"17",)"
        R"("trigger_type":"timer","scan_time":"20231114221320","process":[)"
        R"({"pid":36,"ppid":1,"proc_name":"alpha.exe","proc_path":"C:\\Apps\\alpha.exe",)"
        R"("cmd_line":"alpha \"q\" C:\\dir\tx\u0001y)"
        "\x7F"
        R"(z caf)"
        "\xC3\xA9"
        R"(/",)"
        R"("user":"alice","start_time":"20231114211320","cpu_time":5,"elapsed_time":3600,)"
        R"("listen_port":"80,443,8080","establish_port":"80,49152","connect_count":3,)"
        R"("file_size":2048,"file_create_time":"20231015221320",)"
        R"("file_modify_time":"20231113221320","file_md5":"3f78abdc5ac9224e583df30f9d60081c",)"
        R"("description":"Alpha Service","company":"Alpha Corp",)"
        R"("app_sign":"SignCompany: Alpha Corp Signing SignDate: 20190305080709"},)"
        R"({"pid":508,"ppid":1,"proc_name":"beta.exe","proc_path":"C:\\Apps\\beta.exe",)"
        R"("cmd_line":"C:\\Apps\\beta.exe","user":"alice","start_time":"20231114211320",)"
        R"("cpu_time":5,"elapsed_time":3600,"listen_port":"","establish_port":"",)"
        R"("connect_count":0,"description":"","company":"","app_sign":"SignCompany: Beta Ltd"},)"
        R"({"pid":700,"ppid":1,"proc_name":"delta.exe","proc_path":"C:\\Apps\\delta.exe",)"
        R"("cmd_line":"C:\\Apps\\delta.exe","user":"alice","start_time":"20231114211320",)"
        R"("cpu_time":5,"elapsed_time":3600,"listen_port":"","establish_port":"",)"
        R"("connect_count":0,"file_size":2048,"file_create_time":"20231015221320",)"
        R"("file_modify_time":"20231113221320","file_md5":"63bcabf86a9a991864777c631c5b7617",)"
        R"("description":"","company":"","app_sign":" SignDate: 20190305080709"},)"
        R"({"pid":800,"ppid":1,"proc_name":"echo.exe","proc_path":"C:\\Apps\\echo.exe",)"
        R"("cmd_line":"C:\\Apps\\echo.exe","user":"alice","start_time":"20231114211320",)"
        R"("cpu_time":5,"elapsed_time":3600,"listen_port":"","establish_port":"",)"
        R"("connect_count":0,"file_size":-1,"file_create_time":"20231015221320",)"
        R"("file_modify_time":"20231113221320","file_md5":"cbb11ed87dc8a95d81400c7f33c7c171",)"
        R"("description":"","company":"","app_sign":""},)" +
        std::string(kSystemRecord) + "]}";
    EXPECT_EQ(Build(), expected);
}

TEST_F(ProcessListReportTest, RequestTextsAreSentBackByteForByte) {
    const std::string cmdIdx("a\"b\\c\0d\xFF", 8);
    const std::string text = Build(cmdIdx, "\x1F");
    const std::string expected =
        std::string(R"({"package_info":{"total_package":1,"current_package":1},)"
                    R"("cmd_idx":"a\"b\\c\u0000d)") +
        "\xFF" + R"(","trigger_type":"\u001F","scan_time":"20231114221320","process":[)";
    EXPECT_EQ(text.substr(0, expected.size()), expected);
}

TEST_F(ProcessListReportTest, OnlyTheSystemRecordWhenNoEntryHasTimes) {
    FakeProcess process = Process(36, "C:\\Apps\\x.exe");
    process.cpuTime = -1;
    Add(process);
    m_tcp.summaries[4].listen_ports = {445};
    EXPECT_EQ(Build().substr(Build().find("\"process\":")),
              "\"process\":[" + std::string(kSystemRecord) + "]}");
}

TEST_F(ProcessListReportTest, AnEntryForPidFourStillGetsTheSystemRecordAfterIt) {
    AddFile("C:\\Windows\\ntoskrnl.exe", "kernel");
    Add(Process(4, "C:\\Windows\\ntoskrnl.exe"));
    EXPECT_EQ(ReportedPids(Build()), (std::vector<int64_t>{4, 4}));
}

TEST_F(ProcessListReportTest, PortListsAreAscendingUnsignedAndCommaSeparated) {
    EXPECT_EQ(CKorvaProcInterfaceImp::FormatPortList({}), "");
    EXPECT_EQ(CKorvaProcInterfaceImp::FormatPortList({8080, 80, 443}), "80,443,8080");
    EXPECT_EQ(CKorvaProcInterfaceImp::FormatPortList({49152, 443, 0, 65535}), "0,443,49152,65535");
}

}  // namespace
