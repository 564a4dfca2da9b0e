#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/LayerTest.h"
#include "support/TcpRows.h"
#include "tcp/TcpConnectionParser_win.h"

namespace {

using tcprows::Established;
using tcprows::Listen;
using tcprows::ManyEstablished;
using tcprows::Row;
using Ports = std::set<uint16_t>;

const char kNotice[] = "log 4 TcpConnectionParser_win:31 tcp entries larger than 5000";

class TcpConnectionParserTest : public LayerTest {
  protected:
    void TearDown() override {
        parser.reset();  // the held snapshot goes with the parser
        LayerTest::TearDown();
    }

    bool Parse(const std::vector<layer::TcpRow>& rows) {
        layer::machine().tcpRows = rows;
        return parser->Parse(ryn::ProcessIdMap());
    }

    static void ExpectEmpty(const TcpConnectInfo& info) {
        EXPECT_TRUE(info.listen_ports.empty());
        EXPECT_TRUE(info.establish_ports.empty());
        EXPECT_EQ(info.connect_count, 0);
    }

    std::unique_ptr<CTcpConnectParserInterface> parser{CreateTcpConnectParser()};
};

TEST_F(TcpConnectionParserTest, ListeningPortAndRepeatedEstablishedPortsOfOneProcess) {
    ASSERT_TRUE(Parse(
        {Established(300, 443), Listen(300, 443), Established(300, 443), Established(300, 443)}));
    const TcpConnectInfo info = parser->GetConnectInfo(300);
    EXPECT_EQ(info.listen_ports, Ports({443}));
    EXPECT_EQ(info.establish_ports, Ports({443}));
    EXPECT_EQ(info.connect_count, 3);
}

TEST_F(TcpConnectionParserTest, PortsAreLocalUniqueAndAscendingAsUnsignedValues) {
    ASSERT_TRUE(Parse({Listen(80, 80), Listen(80, 80, tcprows::kLoopback), Established(81, 49152),
                       Established(81, 80), Established(82, 65535)}));
    EXPECT_EQ(parser->GetConnectInfo(80).listen_ports, Ports({80}));
    EXPECT_EQ(parser->GetConnectInfo(80).connect_count, 0);
    const TcpConnectInfo info = parser->GetConnectInfo(81);
    EXPECT_EQ(std::vector<uint16_t>(info.establish_ports.begin(), info.establish_ports.end()),
              std::vector<uint16_t>({80, 49152}));
    EXPECT_TRUE(info.listen_ports.empty());
    // A real row on port 65535 looks like a missing one to the port accessor; it is counted.
    EXPECT_EQ(parser->GetConnectInfo(82).establish_ports, Ports({65535}));
}

TEST_F(TcpConnectionParserTest, RowsInOtherStatesChangeNothing) {
    std::vector<layer::TcpRow> rows = {Established(500, 8443)};
    for (DWORD state = MIB_TCP_STATE_CLOSED; state <= MIB_TCP_STATE_DELETE_TCB; ++state) {
        if (state != MIB_TCP_STATE_LISTEN && state != MIB_TCP_STATE_ESTAB) {
            rows.push_back(Row(state, 500, static_cast<uint16_t>(9000 + state)));
            rows.push_back(Row(state, 600, 9100));
        }
    }
    ASSERT_TRUE(Parse(rows));
    const TcpConnectInfo info = parser->GetConnectInfo(500);
    EXPECT_TRUE(info.listen_ports.empty());
    EXPECT_EQ(info.establish_ports, Ports({8443}));
    EXPECT_EQ(info.connect_count, 1);
    ExpectEmpty(parser->GetConnectInfo(600));
}

TEST_F(TcpConnectionParserTest, PidsAreReadAsUnsignedAndUnknownPidsGetEmptySummaries) {
    // Rows of processes the pass did not enumerate are summarised too, pid 0 included.
    ASSERT_TRUE(Parse({Listen(0xFFFFFFFFu, 135), Established(0, 22)}));
    EXPECT_EQ(parser->GetConnectInfo(4294967295LL).listen_ports, Ports({135}));
    EXPECT_EQ(parser->GetConnectInfo(0).establish_ports, Ports({22}));
    ExpectEmpty(parser->GetConnectInfo(-1));
    ExpectEmpty(parser->GetConnectInfo(4));
}

TEST_F(TcpConnectionParserTest, FailedSnapshotGivesEmptySummariesForEveryPid) {
    ASSERT_TRUE(Parse({Listen(4, 445), Established(900, 3389)}));
    layer::FailCall("GetExtendedTcpTable", layer::CallCount("GetExtendedTcpTable") + 1,
                    ERROR_ACCESS_DENIED);
    EXPECT_FALSE(Parse({Listen(4, 445), Established(900, 3389)}));
    for (int64_t pid : {int64_t(4), int64_t(900), int64_t(0)}) {
        ExpectEmpty(parser->GetConnectInfo(pid));
    }
    EXPECT_EQ(layer::Outstanding(), "");  // the earlier snapshot was released
}

TEST_F(TcpConnectionParserTest, EveryParseStartsFromScratchAndHoldsOneSnapshot) {
    ASSERT_TRUE(Parse({Listen(10, 80), Established(10, 5000)}));
    EXPECT_EQ(layer::Outstanding(), "heap: +1\n");
    ASSERT_TRUE(Parse({Established(11, 6000)}));
    EXPECT_EQ(layer::Outstanding(), "heap: +1\n");
    ExpectEmpty(parser->GetConnectInfo(10));
    EXPECT_EQ(parser->GetConnectInfo(11).connect_count, 1);
}

TEST_F(TcpConnectionParserTest, NewParserHasNoSnapshotAndNoSummaries) {
    ExpectEmpty(parser->GetConnectInfo(4));
    EXPECT_EQ(layer::Outstanding(), "");
    EXPECT_EQ(layer::CallCount("GetExtendedTcpTable"), 0);
}

struct LargeTableCase {
    int rows;
    size_t pauses;
    bool notice;
};

class TcpConnectionParserLargeTableTest : public TcpConnectionParserTest,
                                          public ::testing::WithParamInterface<LargeTableCase> {};

// Pauses fall after rows 2001, 4002, ...: the counter passes 2000 and restarts.
TEST_P(TcpConnectionParserLargeTableTest, PausesAndNoticeFollowTheRowCount) {
    const LargeTableCase& c = GetParam();
    ASSERT_TRUE(Parse(ManyEstablished(77, c.rows)));
    EXPECT_EQ(parser->GetConnectInfo(77).connect_count, c.rows);
    EXPECT_EQ(parser->GetConnectInfo(77).establish_ports.size(), static_cast<size_t>(c.rows));

    std::vector<std::string> expected;
    if (c.notice) {
        expected.push_back(kNotice);
    }
    expected.insert(expected.end(), c.pauses, "sleep 50");
    EXPECT_EQ(layer::Journal(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    RowCounts, TcpConnectionParserLargeTableTest,
    ::testing::Values(LargeTableCase{2000, 0, false}, LargeTableCase{2001, 1, false},
                      LargeTableCase{4001, 1, false}, LargeTableCase{4002, 2, false},
                      LargeTableCase{5000, 2, false}, LargeTableCase{5001, 2, true},
                      LargeTableCase{6003, 3, true}),
    [](const ::testing::TestParamInfo<LargeTableCase>& info) {
        return "Rows" + std::to_string(info.param.rows);
    });

}  // namespace
