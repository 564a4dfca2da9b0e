#include <vector>

#include "procinfo/WinPpidCache.h"
#include "support/LayerTest.h"

namespace {

class WinPpidCacheTest : public LayerTest {
  protected:
    static void AddProcess(uint32_t pid, uint32_t ppid) {
        layer::Process process;
        process.pid = pid;
        process.ppid = ppid;
        layer::machine().processes.push_back(process);
    }

    static void AddProcesses(uint32_t count) {
        for (uint32_t i = 1; i <= count; ++i) {
            AddProcess(i * 4, 0);
        }
    }

    CWinPpidCache cache;
};

TEST_F(WinPpidCacheTest, ParentsComeFromOneSnapshotAndUnknownIdsGiveMinusOne) {
    AddProcess(0, 0);
    AddProcess(4, 0);
    AddProcess(1234, 4);
    EXPECT_EQ(cache.GetParentPid(1234), -1);  // nothing before the first refresh

    cache.Refresh();
    EXPECT_EQ(cache.GetParentPid(1234), 4);
    EXPECT_EQ(cache.GetParentPid(4), 0);
    EXPECT_EQ(cache.GetParentPid(0), 0);
    EXPECT_EQ(cache.GetParentPid(5678), -1);
    EXPECT_EQ(layer::CallCount("CreateToolhelp32Snapshot"), 1);
    EXPECT_TRUE(layer::LogRecords().empty());

    cache.Clear();
    EXPECT_EQ(cache.GetParentPid(1234), -1);
}

TEST_F(WinPpidCacheTest, ProcessesStartedAfterTheSnapshotHaveNoParent) {
    AddProcess(1234, 4);
    cache.Refresh();
    AddProcess(2000, 1234);
    EXPECT_EQ(cache.GetParentPid(2000), -1);
}

TEST_F(WinPpidCacheTest, AllOnesIdsAreStoredZeroExtended) {
    AddProcess(4294967295u, 4294967294u);
    cache.Refresh();
    EXPECT_EQ(cache.GetParentPid(4294967295LL), 4294967294LL);
    EXPECT_EQ(cache.GetParentPid(-1), -1);
}

TEST_F(WinPpidCacheTest, RepeatedIdKeepsItsFirstParent) {
    AddProcess(1234, 4);
    AddProcess(1234, 8);
    cache.Refresh();
    EXPECT_EQ(cache.GetParentPid(1234), 4);
}

TEST_F(WinPpidCacheTest, PausesTenMillisecondsBeforeEveryFiftiethEntry) {
    struct Case {
        uint32_t entries;
        std::vector<uint64_t> sleeps;
    };
    const Case cases[] = {{49, {}}, {50, {10}}, {99, {10}}, {100, {10, 10}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.entries) + " entries");
        layer::Reset();
        AddProcesses(c.entries);
        cache.Refresh();
        EXPECT_EQ(layer::Sleeps(), c.sleeps);
        EXPECT_EQ(cache.GetParentPid(c.entries * 4), 0) << "last stored";
        ExpectBalanced();
    }
}

TEST_F(WinPpidCacheTest, RefreshReplacesTheEarlierPass) {
    AddProcess(1234, 4);
    cache.Refresh();
    layer::machine().processes.clear();
    AddProcess(2000, 8);
    cache.Refresh();
    EXPECT_EQ(cache.GetParentPid(1234), -1);
    EXPECT_EQ(cache.GetParentPid(2000), 8);
}

TEST_F(WinPpidCacheTest, FailedSnapshotLeavesTheMapEmptyAndClosesNothing) {
    AddProcess(1234, 4);
    cache.Refresh();
    layer::FailCall("CreateToolhelp32Snapshot", 2, ERROR_NOT_ENOUGH_MEMORY);
    cache.Refresh();
    EXPECT_EQ(cache.GetParentPid(1234), -1);
    EXPECT_EQ(layer::CallCount("Process32FirstW"), 1);
    EXPECT_TRUE(layer::LogRecords().empty());
    // The fixture finds no CloseHandle of INVALID_HANDLE_VALUE among the bad releases.
}

TEST_F(WinPpidCacheTest, FailedFirstEntryClosesTheSnapshot) {
    AddProcess(1234, 4);
    layer::FailCall("Process32FirstW", 1, ERROR_ACCESS_DENIED);
    cache.Refresh();
    EXPECT_EQ(cache.GetParentPid(1234), -1);
    EXPECT_EQ(layer::CallCount("Process32NextW"), 0);
}

TEST_F(WinPpidCacheTest, FailureMidWayKeepsTheEntriesAlreadyRead) {
    AddProcess(4, 0);
    AddProcess(8, 4);
    AddProcess(12, 8);
    layer::FailCall("Process32NextW", 2, ERROR_ACCESS_DENIED);
    cache.Refresh();
    EXPECT_EQ(cache.GetParentPid(8), 4);
    EXPECT_EQ(cache.GetParentPid(12), -1);
}

}  // namespace
