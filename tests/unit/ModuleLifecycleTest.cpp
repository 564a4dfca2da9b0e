#include <gtest/gtest.h>

#include <rapidjson/document.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <random>

#include "support/ModuleTest.h"
#include "support/ReportCheck.h"

namespace {

// Holds the worker thread inside the 1000 ms pause until the test lets it go.
class PauseGate {
  public:
    void Arm() {
        layer::OnCall("msleep", 1, [this] {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_entered = true;
            m_changed.notify_all();
            m_changed.wait(lock, [this] { return m_open; });
        });
    }
    void WaitEntered() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_entered; });
    }
    void Open() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_entered = false;
    bool m_open = false;
};

class ModuleLifecycleTest : public ModuleTest {
  protected:
    void SetUp() override {
        ModuleTest::SetUp();
        AddProcess(1200, "C:\\Apps\\one.exe");
    }

    static std::string CmdIdxOf(const std::string& body) {
        rapidjson::Document document;
        document.Parse(body.data(), body.size());
        return std::string(document["cmd_idx"].GetString()) + "/" +
               document["trigger_type"].GetString();
    }
};

TEST_F(ModuleLifecycleTest, OneInstanceUntilDestroyedAndCachesCreated) {
    DestroyKorvaProcInterface();  // nothing to destroy: no effect
    CKorvaProcInterface* first = GetKorvaProcInterface();
    EXPECT_EQ(GetKorvaProcInterface(), first);
    EXPECT_NE(CProcMd5Cache::GetInstance(), nullptr);
    EXPECT_NE(CWinPpidCache::GetInstance(), nullptr);
    EXPECT_NE(CFilePropertyCache::GetInstance(), nullptr);
    DestroyKorvaProcInterface();
    DestroyKorvaProcInterface();
    EXPECT_NE(CProcMd5Cache::GetInstance(), nullptr);
    EXPECT_NE(CFilePropertyCache::GetInstance(), nullptr);
    EXPECT_TRUE(layer::LogRecords().empty());
}

TEST_F(ModuleLifecycleTest, StartDuringAPassIsRefusedAndKeepsTheFirstTexts) {
    PauseGate gate;
    gate.Arm();
    CKorvaProcInterface* module = GetKorvaProcInterface();
    ASSERT_EQ(module->Start("first", "timer"), 1);
    gate.WaitEntered();
    EXPECT_EQ(module->Start("second", "manual"), -1);
    gate.Open();
    ASSERT_TRUE(WaitForPassEnd(1));
    const auto reports = SentReports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(CmdIdxOf(reports[0]), "first/timer");
}

TEST_F(ModuleLifecycleTest, StopThenStartRunsAFullPass) {
    CKorvaProcInterface* module = GetKorvaProcInterface();
    module->Stop();
    ASSERT_EQ(layer::Journal().back(), "log 4 stop korvaProc.");
    ASSERT_TRUE(RunPass(module));
    EXPECT_EQ(SentReports().size(), 1u);
    EXPECT_EQ(layer::Sleeps(), std::vector<uint64_t>{1000});
}

TEST_F(ModuleLifecycleTest, FailedThreadStartGivesMinusTwoAndTheObjectStaysUsable) {
    CKorvaProcInterface* module = GetKorvaProcInterface();
    layer::FailStartThread(1);
    EXPECT_EQ(module->Start("lost", "x"), -2);
    ASSERT_TRUE(RunPass(module, 1, "kept", "y"));
    const auto reports = SentReports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(CmdIdxOf(reports[0]), "kept/y");
    // Start logs nothing on any path.
    for (const auto& record : layer::LogRecords()) {
        EXPECT_NE(record.text, "start");
    }
}

TEST_F(ModuleLifecycleTest, DestroyDuringThePauseWaitsForTheReport) {
    PauseGate gate;
    gate.Arm();
    ASSERT_EQ(GetKorvaProcInterface()->Start("c", "t"), 1);
    gate.WaitEntered();
    // The destroyer says when it has begun to wait for the worker thread; until then
    // a check that it has not finished would prove nothing.
    std::promise<void> waiting;
    layer::OnCall("waitForThreadFinish", 1, [&] { waiting.set_value(); });
    std::atomic<bool> destroyed(false);
    auto destroyer = std::async(std::launch::async, [&] {
        DestroyKorvaProcInterface();
        destroyed = true;
    });
    EXPECT_EQ(waiting.get_future().wait_for(std::chrono::milliseconds(kWaitMs)),
              std::future_status::ready)
        << "DestroyKorvaProcInterface did not wait for the worker thread";
    // The pause is past the last checkpoint: the stop flag cannot end the pass.
    EXPECT_FALSE(destroyed);
    gate.Open();
    destroyer.get();
    EXPECT_EQ(SentReports().size(), 1u);
    ExpectBalanced();
}

TEST_F(ModuleLifecycleTest, CachesSurviveDestroyAndServeTheNextObject) {
    layer::machine().files["C:\\Apps\\one.exe"].changeStamp = "#1";
    ASSERT_TRUE(RunPass(GetKorvaProcInterface()));
    const int reads = layer::machine().files["C:\\Apps\\one.exe"].contentReads;
    EXPECT_GT(reads, 0);  // digest, signature and version resource
    DestroyKorvaProcInterface();
    ASSERT_TRUE(RunPass(GetKorvaProcInterface(), 2));
    EXPECT_EQ(layer::machine().files["C:\\Apps\\one.exe"].contentReads, reads);
    EXPECT_EQ(SentReports().size(), 2u);
}

// The host serialises its own calls; the module must stay sound whatever their order.
TEST_F(ModuleLifecycleTest, RandomHostSequencesLeaveNothingBehind) {
    std::mt19937 random(20261208);
    for (int step = 0; step < 300; ++step) {
        switch (random() % 4) {
            case 0: {
                const int result = GetKorvaProcInterface()->Start("c", "t");
                EXPECT_TRUE(result == 1 || result == -1);
                break;
            }
            case 1:
                GetKorvaProcInterface()->Stop();
                break;
            case 2:
                DestroyKorvaProcInterface();
                break;
            default:
                EXPECT_NE(GetKorvaProcInterface(), nullptr);
                break;
        }
    }
    DestroyKorvaProcInterface();
    for (const auto& body : SentReports()) {
        EXPECT_EQ(ReportedPids(body).back(), 4);
    }
    ExpectBalanced();
}

}  // namespace
