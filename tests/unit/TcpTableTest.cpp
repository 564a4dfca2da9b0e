#include <gtest/gtest.h>

#include "support/LayerTest.h"
#include "support/TcpRows.h"
#include "tcp/WinTcpTableUtil.h"

namespace {

using tcprows::Established;
using tcprows::Listen;

constexpr DWORD kRowBytes = sizeof(MIB_TCPROW_OWNER_PID);
constexpr DWORD kOneRowTable = 28;

DWORD TableBytes(DWORD rows) { return 4 + rows * kRowBytes; }

class TcpTableTest : public LayerTest {
  protected:
    const std::vector<layer::TcpTableCall>& Calls() { return layer::machine().tcpScript.calls; }

    static void ExpectOnlyTableError(DWORD code) {
        const std::vector<layer::LogRecord> logs = layer::LogRecords();
        ASSERT_EQ(logs.size(), 1u);
        EXPECT_EQ(logs[0].level, 2);
        EXPECT_EQ(logs[0].source, "WinTcpTableUtil");
        EXPECT_EQ(logs[0].line, 30);
        EXPECT_EQ(logs[0].text, "Get tcp table error." + std::to_string(code));
    }

    // The mended fault: a failed allocation never reaches the system call.
    void ExpectNoNullBufferWithSize() {
        for (const layer::TcpTableCall& call : Calls()) {
            EXPECT_FALSE(call.nullBuffer && call.sizeIn != 0);
        }
    }
};

TEST_F(TcpTableTest, EmptyTableIsASnapshotNotAFailure) {
    PMIB_TCPTABLE_OWNER_PID table = GetTcpTable();
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->dwNumEntries, 0u);
    EXPECT_EQ(layer::CallCount("GetExtendedTcpTable"), 1);
    EXPECT_TRUE(layer::LogRecords().empty());
    FreeTcpTable(table);
}

TEST_F(TcpTableTest, FirstCallAsksForTheIpv4TableWithOwnersInAOneRowBuffer) {
    layer::machine().tcpRows = {Listen(7, 445)};
    PMIB_TCPTABLE_OWNER_PID table = GetTcpTable();
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(Calls().size(), 1u);
    const layer::TcpTableCall& call = Calls()[0];
    EXPECT_FALSE(call.nullBuffer);
    EXPECT_EQ(call.sizeIn, kOneRowTable);
    EXPECT_EQ(call.order, FALSE);
    EXPECT_EQ(call.family, static_cast<ULONG>(AF_INET));
    EXPECT_EQ(call.tableClass, TCP_TABLE_OWNER_PID_ALL);
    EXPECT_EQ(call.reserved, 0u);
    EXPECT_EQ(table->dwNumEntries, 1u);
    FreeTcpTable(table);
}

TEST_F(TcpTableTest, LargerTableIsReadWithExactlyTheReportedSize) {
    layer::machine().tcpRows = {Listen(7, 445), Established(8, 50001), Established(9, 50002)};
    PMIB_TCPTABLE_OWNER_PID table = GetTcpTable();
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(Calls().size(), 2u);
    EXPECT_EQ(Calls()[0].result, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(Calls()[0].sizeOut, TableBytes(3));
    EXPECT_EQ(Calls()[1].sizeIn, TableBytes(3));
    EXPECT_FALSE(Calls()[1].nullBuffer);
    EXPECT_EQ(Calls()[1].tableClass, TCP_TABLE_OWNER_PID_ALL);
    ASSERT_EQ(table->dwNumEntries, 3u);
    const MIB_TCPROW_OWNER_PID* rows = table->table;
    EXPECT_EQ(GetRowOwningPid(&rows[2]), 9);
    EXPECT_EQ(GetRowLocalPort(&rows[2]), 50002);
    EXPECT_TRUE(layer::LogRecords().empty());
    FreeTcpTable(table);
}

TEST_F(TcpTableTest, TableGrowingBetweenTheCallsFailsWith122AndNoThirdCall) {
    layer::machine().tcpRows = {Listen(7, 445), Established(8, 50001)};
    layer::machine().tcpScript.rowsAfterCall[1] = {Listen(7, 445), Established(8, 50001),
                                                   Established(8, 50002)};
    EXPECT_EQ(GetTcpTable(), nullptr);
    EXPECT_EQ(layer::CallCount("GetExtendedTcpTable"), 2);
    ExpectOnlyTableError(ERROR_INSUFFICIENT_BUFFER);
}

TEST_F(TcpTableTest, TableShrinkingBetweenTheCallsIsReadAsItIsThen) {
    layer::machine().tcpRows = {Listen(7, 445), Established(8, 50001), Established(8, 50002)};
    layer::machine().tcpScript.rowsAfterCall[1] = {Listen(7, 445), Established(8, 50001)};
    PMIB_TCPTABLE_OWNER_PID table = GetTcpTable();
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->dwNumEntries, 2u);
    FreeTcpTable(table);
}

TEST_F(TcpTableTest, CallFailuresAreLoggedWithTheirCodeAndGiveNull) {
    layer::machine().tcpRows = {Listen(7, 445), Established(8, 50001)};
    layer::FailCall("GetExtendedTcpTable", 1, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(GetTcpTable(), nullptr);
    EXPECT_EQ(layer::CallCount("GetExtendedTcpTable"), 1);  // no second call
    ExpectOnlyTableError(ERROR_INVALID_PARAMETER);
    ExpectBalanced();

    layer::Reset();
    layer::machine().tcpRows = {Listen(7, 445), Established(8, 50001)};
    layer::FailCall("GetExtendedTcpTable", 2, ERROR_ACCESS_DENIED);
    EXPECT_EQ(GetTcpTable(), nullptr);
    EXPECT_EQ(layer::CallCount("GetExtendedTcpTable"), 2);
    ExpectOnlyTableError(ERROR_ACCESS_DENIED);
}

TEST_F(TcpTableTest, FailedFirstAllocationLogsOutOfMemoryWithoutCallingTheSystem) {
    layer::machine().tcpRows = {Listen(7, 445)};
    layer::FailCall("HeapAlloc", 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(GetTcpTable(), nullptr);
    EXPECT_EQ(layer::CallCount("GetExtendedTcpTable"), 0);
    ExpectOnlyTableError(ERROR_NOT_ENOUGH_MEMORY);
}

TEST_F(TcpTableTest, FailedResizeLogsOutOfMemoryWithoutANullBufferCall) {
    layer::machine().tcpRows = {Listen(7, 445), Established(8, 50001)};
    layer::FailCall("HeapAlloc", 2, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(GetTcpTable(), nullptr);
    EXPECT_EQ(layer::CallCount("GetExtendedTcpTable"), 1);
    ExpectNoNullBufferWithSize();
    ExpectOnlyTableError(ERROR_NOT_ENOUGH_MEMORY);
}

TEST_F(TcpTableTest, FreeReleasesOnceAndLeavesTheOwnerNull) {
    PMIB_TCPTABLE_OWNER_PID table = GetTcpTable();
    ASSERT_NE(table, nullptr);
    FreeTcpTable(table);
    EXPECT_EQ(table, nullptr);
    FreeTcpTable(table);  // a second release does nothing
    EXPECT_EQ(table, nullptr);
}

TEST_F(TcpTableTest, RowAccessorsReadPortsInHostOrderAndPidsZeroExtended) {
    layer::machine().tcpRows = {Listen(0xFFFFFFFFu, 8080), Established(4, 65535),
                                Established(0, 1)};
    PMIB_TCPTABLE_OWNER_PID table = GetTcpTable();
    ASSERT_NE(table, nullptr);
    const MIB_TCPROW_OWNER_PID* rows = table->table;
    // The upper half of the port's DWORD is undefined on Windows and noisy here.
    EXPECT_NE(rows[0].dwLocalPort >> 16, 0u);
    EXPECT_EQ(GetRowLocalPort(&rows[0]), 8080);
    EXPECT_EQ(GetRowOwningPid(&rows[0]), 4294967295LL);
    EXPECT_EQ(GetRowLocalPort(&rows[1]), 65535);
    EXPECT_EQ(GetRowOwningPid(&rows[1]), 4);
    EXPECT_EQ(GetRowLocalPort(&rows[2]), 1);
    EXPECT_EQ(GetRowOwningPid(&rows[2]), 0);
    FreeTcpTable(table);
}

TEST_F(TcpTableTest, RowAccessorsAnswerAMissingRowWithAllOnes) {
    EXPECT_EQ(GetRowLocalPort(nullptr), 0xFFFF);
    EXPECT_EQ(GetRowOwningPid(nullptr), -1);
}

}  // namespace
