#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/ModuleTest.h"
#include "support/ReportCheck.h"

namespace {

using Events = std::vector<std::string>;

class CollectionPassTest : public ModuleTest {
  protected:
    // The journal without the test layer's own thread notes.
    static Events PassEvents() {
        Events events;
        for (const std::string& event : layer::Journal()) {
            if (event != "thread exit") {
                events.push_back(event);
            }
        }
        return events;
    }
};

TEST_F(CollectionPassTest, ProcessesAreReportedInAscendingPidOrder) {
    AddProcess(1200, "C:\\Apps\\a.exe");
    AddProcess(36, "C:\\Apps\\b.exe");
    AddProcess(508, "C:\\Apps\\c.exe");
    ASSERT_TRUE(RunPass(GetKorvaProcInterface()));
    const auto reports = SentReports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(ReportedPids(reports[0]), (std::vector<int64_t>{36, 508, 1200, 4}));
    EXPECT_EQ(PassEvents(),
              (Events{"log 4 refreshing proc info", "sleep 1000", "send T_PROCESS_LIST_INFO_RSP",
                      "log 4 end of refresh proc info"}));
    // Process handles and the TCP table are released with the pass.
    ExpectBalanced();
}

TEST_F(CollectionPassTest, NoProcessBoundLogsAndSendsNothing) {
    AddProcess(36, "C:\\Apps\\b.exe").openError = ERROR_ACCESS_DENIED;
    AddProcess(508, "C:\\Apps\\c.exe").openError = ERROR_INVALID_PARAMETER;
    ASSERT_TRUE(RunPass(GetKorvaProcInterface()));
    EXPECT_TRUE(layer::SentMessages().empty());
    EXPECT_EQ(PassEvents(),
              (Events{"log 4 refreshing proc info",
                      "log 2 ProcInfoParser_Win:46 Open process error. PID: 36, err: 5",
                      "log 2 KorvaProcInterfaceImp:145 init proc info parser error.",
                      "log 2 ProcInfoParser_Win:46 Open process error. PID: 508, err: 87",
                      "log 2 KorvaProcInterfaceImp:145 init proc info parser error.", "sleep 1000",
                      "log 2 KorvaProcInterfaceImp:108 parse process basic info failed.",
                      "log 4 end of refresh proc info"}));
}

TEST_F(CollectionPassTest, EmptyEnumerationIsAPassWithoutReport) {
    ASSERT_TRUE(RunPass(GetKorvaProcInterface()));
    EXPECT_TRUE(layer::SentMessages().empty());
    EXPECT_EQ(PassEvents(),
              (Events{"log 4 refreshing proc info", "sleep 1000",
                      "log 2 KorvaProcInterfaceImp:108 parse process basic info failed.",
                      "log 4 end of refresh proc info"}));
}

TEST_F(CollectionPassTest, StopBeforeTheLoopStillReadsTheTablesAndCleansUp) {
    AddProcess(36, "C:\\Apps\\b.exe");
    CKorvaProcInterface* module = GetKorvaProcInterface();
    layer::OnCall("EnumProcesses", 1, [module] { module->Stop(); });
    ASSERT_TRUE(RunPass(module));
    EXPECT_TRUE(layer::SentMessages().empty());
    EXPECT_GE(layer::CallCount("CreateToolhelp32Snapshot"), 1);
    EXPECT_GE(layer::CallCount("GetExtendedTcpTable"), 1);
    EXPECT_EQ(layer::CallCount("OpenProcess"), 0);
    EXPECT_EQ(PassEvents(), (Events{"log 4 refreshing proc info", "log 4 stop korvaProc.",
                                    "log 4 end of refresh proc info"}));
}

TEST_F(CollectionPassTest, StopInsideTheLoopEndsItBeforeTheNextProcess) {
    AddProcess(36, "C:\\Apps\\b.exe");
    AddProcess(508, "C:\\Apps\\c.exe");
    CKorvaProcInterface* module = GetKorvaProcInterface();
    layer::OnCall("OpenProcess", 1, [module] { module->Stop(); });
    ASSERT_TRUE(RunPass(module));
    EXPECT_EQ(layer::CallCount("OpenProcess"), 1);
    EXPECT_TRUE(layer::SentMessages().empty());
    EXPECT_TRUE(layer::Sleeps().empty());
    ExpectBalanced();  // the one bound process was released again
}

TEST_F(CollectionPassTest, StopDuringThePauseStillSendsTheReport) {
    AddProcess(36, "C:\\Apps\\b.exe");
    CKorvaProcInterface* module = GetKorvaProcInterface();
    layer::OnCall("msleep", 1, [module] { module->Stop(); });
    ASSERT_TRUE(RunPass(module));
    EXPECT_EQ(SentReports().size(), 1u);
}

TEST_F(CollectionPassTest, SecondPassStartsCleanWithItsOwnScanTime) {
    AddProcess(36, "C:\\Apps\\b.exe");
    CKorvaProcInterface* module = GetKorvaProcInterface();
    ASSERT_TRUE(RunPass(module, 1));
    ExpectBalanced();
    layer::AdvanceClock(3600ULL * 10000000ULL);
    ASSERT_TRUE(RunPass(module, 2));
    ExpectBalanced();
    const auto reports = SentReports();
    ASSERT_EQ(reports.size(), 2u);
    rapidjson::Document first;
    rapidjson::Document second;
    first.Parse(reports[0].c_str());
    second.Parse(reports[1].c_str());
    EXPECT_STREQ(first["scan_time"].GetString(), "20231114221320");
    EXPECT_STREQ(second["scan_time"].GetString(), "20231114231321");
    EXPECT_EQ(ReportedPids(reports[1]), (std::vector<int64_t>{36, 4}));
}

TEST_F(CollectionPassTest, AFailingChannelLeavesTheModuleReady) {
    AddProcess(36, "C:\\Apps\\b.exe");
    layer::SetSendResult(false);
    CKorvaProcInterface* module = GetKorvaProcInterface();
    ASSERT_TRUE(RunPass(module, 1));
    ASSERT_TRUE(RunPass(module, 2));
    EXPECT_EQ(SentReports().size(), 2u);
    for (const auto& record : layer::LogRecords()) {
        EXPECT_NE(record.level, 2) << record.text;
    }
}

}  // namespace
