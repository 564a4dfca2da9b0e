// The network channel: one instance, the host's sink, copies, any thread.

#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "agent/korvaNetWork/NetWorkSink.h"

namespace {

struct Received {
    std::mutex mutex;
    std::vector<std::pair<std::string, std::string>> messages;
};

void Collect(void* context, const std::string& type, const std::string& body) {
    Received* received = static_cast<Received*>(context);
    std::lock_guard<std::mutex> lock(received->mutex);
    received->messages.emplace_back(type, body);
}

// Sends again from inside itself, then removes itself, then fails.
void Reentrant(void* context, const std::string& type, const std::string& body) {
    Collect(context, type, body);
    if (type == "T_FIRST_RSP") {
        EXPECT_TRUE(CSingleton<CNetWork>::GetInstance()->SendNetMessage("T_SECOND_RSP", body));
        SetNetWorkSink(nullptr, nullptr);
        throw std::runtime_error("the host's sink failed");
    }
}

class NetWorkTest : public ::testing::Test {
  protected:
    void TearDown() override { SetNetWorkSink(nullptr, nullptr); }
    Received m_received;
};

TEST_F(NetWorkTest, OneInstanceThatRefusesMessagesWithoutSink) {
    CNetWork* channel = CSingleton<CNetWork>::CreateInstance();
    ASSERT_NE(channel, nullptr);
    EXPECT_EQ(CSingleton<CNetWork>::GetInstance(), channel);
    EXPECT_FALSE(channel->SendNetMessage("T_X_RSP", "{}"));
}

TEST_F(NetWorkTest, SinkGetsBothTextsWhole) {
    SetNetWorkSink(&Collect, &m_received);
    const std::string body("{\"a\":\"\0b\"}", 10);
    EXPECT_TRUE(
        CSingleton<CNetWork>::GetInstance()->SendNetMessage("T_PROCESS_LIST_INFO_RSP", body));
    ASSERT_EQ(m_received.messages.size(), 1u);
    EXPECT_EQ(m_received.messages[0].first, "T_PROCESS_LIST_INFO_RSP");
    EXPECT_EQ(m_received.messages[0].second, body);

    SetNetWorkSink(nullptr, nullptr);
    EXPECT_FALSE(CSingleton<CNetWork>::GetInstance()->SendNetMessage("T_X_RSP", "{}"));
    EXPECT_EQ(m_received.messages.size(), 1u);
}

TEST_F(NetWorkTest, DestroyingTheChannelRemovesTheSink) {
    SetNetWorkSink(&Collect, &m_received);
    CSingleton<CNetWork>::DestroyInstance();
    EXPECT_FALSE(CSingleton<CNetWork>::GetInstance()->SendNetMessage("T_X_RSP", "{}"));
}

TEST_F(NetWorkTest, SinkThatSendsAgainRemovesItselfAndThrowsNeitherBlocksNorThrows) {
    SetNetWorkSink(&Reentrant, &m_received);
    EXPECT_FALSE(CSingleton<CNetWork>::GetInstance()->SendNetMessage("T_FIRST_RSP", "{}"));
    ASSERT_EQ(m_received.messages.size(), 2u);
    EXPECT_EQ(m_received.messages[1].first, "T_SECOND_RSP");
    EXPECT_FALSE(CSingleton<CNetWork>::GetInstance()->SendNetMessage("T_THIRD_RSP", "{}"));
    EXPECT_EQ(m_received.messages.size(), 2u);
}

TEST_F(NetWorkTest, MessagesFromSeveralThreadsAllArrive) {
    SetNetWorkSink(&Collect, &m_received);
    constexpr int kThreads = 4;
    constexpr int kMessages = 250;
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([t] {
            for (int i = 0; i < kMessages; ++i) {
                const std::string body = std::to_string(t) + ":" + std::to_string(i);
                CSingleton<CNetWork>::GetInstance()->SendNetMessage("T_X_RSP", body);
            }
        });
    }
    for (std::thread& sender : senders) {
        sender.join();
    }
    EXPECT_EQ(m_received.messages.size(), static_cast<size_t>(kThreads * kMessages));
}

}  // namespace
