// The TCP summary against the real system table: a helper process of ours
// listens on a loopback port and holds an established connection.

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <string>

#include "WineTestSupport.h"
#include "tcp/TcpConnectionParser_win.h"

namespace {

using Ports = std::set<uint16_t>;

using winetest::RunningUnderWine;

// Runs tcp_helper.exe and reads the two ports it reports; the helper ends when
// its stdin is closed.
class HelperProcess {
  public:
    explicit HelperProcess(const std::string& arguments)
        : m_child(Program(), "\"" + Program() + "\" " + arguments) {
        unsigned listenPort = 0;
        unsigned clientPort = 0;
        if (std::sscanf(m_child.readyLine().c_str(), "%u %u", &listenPort, &clientPort) == 2) {
            m_listenPort = static_cast<uint16_t>(listenPort);
            m_clientPort = static_cast<uint16_t>(clientPort);
        }
    }

    bool ready() const { return m_listenPort != 0 && m_clientPort != 0; }
    int64_t pid() const { return static_cast<int64_t>(m_child.pid()); }
    uint16_t listenPort() const { return m_listenPort; }
    uint16_t clientPort() const { return m_clientPort; }

  private:
    static std::string Program() { return winetest::ProgramFolder() + "tcp_helper.exe"; }

    winetest::ChildProcess m_child;
    uint16_t m_listenPort = 0;
    uint16_t m_clientPort = 0;
};

class TcpConnectionWineTest : public ::testing::Test {
  protected:
    bool Parse() { return parser->Parse(ryn::ProcessIdMap()); }

    std::unique_ptr<CTcpConnectParserInterface> parser{CreateTcpConnectParser()};
};

TEST_F(TcpConnectionWineTest, HelperListeningPortAndConnectionShowUnderItsPid) {
    HelperProcess helper("");
    ASSERT_TRUE(helper.ready());
    ASSERT_TRUE(Parse());

    const TcpConnectInfo info = parser->GetConnectInfo(helper.pid());
    EXPECT_EQ(info.listen_ports, Ports({helper.listenPort()}));
    if (RunningUnderWine()) {
        // Wine 8 leaves the accepted socket unattributed: its row is carried under pid 0.
        EXPECT_EQ(info.establish_ports, Ports({helper.clientPort()}));
        EXPECT_EQ(info.connect_count, 1);
        EXPECT_EQ(parser->GetConnectInfo(0).establish_ports.count(helper.listenPort()), 1u);
    } else {
        EXPECT_EQ(info.establish_ports, Ports({helper.listenPort(), helper.clientPort()}));
        EXPECT_EQ(info.connect_count, 2);
    }
}

TEST_F(TcpConnectionWineTest, SocketsTheHelperNeverUsedDirectly) {
    HelperProcess helper("--untouched");
    ASSERT_TRUE(helper.ready());
    ASSERT_TRUE(Parse());

    const TcpConnectInfo info = parser->GetConnectInfo(helper.pid());
    const TcpConnectInfo unattributed = parser->GetConnectInfo(0);
    if (RunningUnderWine()) {
        // Wine 8 attributes a socket only after its process called on it directly.
        EXPECT_TRUE(info.listen_ports.empty());
        EXPECT_TRUE(info.establish_ports.empty());
        EXPECT_EQ(unattributed.listen_ports.count(helper.listenPort()), 1u);
        EXPECT_EQ(unattributed.establish_ports.count(helper.clientPort()), 1u);
    } else {
        EXPECT_EQ(info.listen_ports, Ports({helper.listenPort()}));
        EXPECT_EQ(info.connect_count, 2);
    }
}

TEST_F(TcpConnectionWineTest, ReparseAfterTheHelperEndedForgetsItsPorts) {
    int64_t pid = 0;
    {
        HelperProcess helper("");
        ASSERT_TRUE(helper.ready());
        ASSERT_TRUE(Parse());
        ASSERT_FALSE(parser->GetConnectInfo(helper.pid()).listen_ports.empty());
        pid = helper.pid();
    }  // the helper has closed its sockets and ended here
    ASSERT_TRUE(Parse());
    const TcpConnectInfo info = parser->GetConnectInfo(pid);
    EXPECT_TRUE(info.listen_ports.empty());
    EXPECT_TRUE(info.establish_ports.empty());
    EXPECT_EQ(info.connect_count, 0);
}

}  // namespace
