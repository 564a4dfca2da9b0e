// Code page conversions, numbers, time text and the thread base of the real library.

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "agent/rynUtil/UniqueHandle.h"
#include "host/RynUtil.h"

namespace {

TEST(StringUtilTest, Utf8AndWideRoundTripOutsideTheBasicPlane) {
    const std::string utf8("na\xC3\xAFve \xD0\xBF \xF0\x9F\x98\x80 nul\0end", 23);
    const std::wstring wide = ryn::CStringUtil::utf8_2ws(utf8);
    EXPECT_EQ(wide, std::wstring(L"na\u00EFve \u043F \xD83D\xDE00 nul\0end", 19));
    EXPECT_EQ(ryn::CStringUtil::ws2s_utf8(wide), utf8);
    EXPECT_EQ(ryn::CStringUtil::ws2s_utf8_exact(wide), utf8);
    EXPECT_EQ(ryn::CStringUtil::ws2s_utf8_exact(L"a\xD800z"), "");  // unpaired surrogate
    EXPECT_EQ(ryn::CStringUtil::utf8_2ws(""), L"");
}

TEST(StringUtilTest, SystemCodePageIsReallyConverted) {
    if (GetACP() != 1252) {
        GTEST_SKIP() << "system code page " << GetACP();
    }
    EXPECT_EQ(ryn::CStringUtil::s2s_utf8("caf\xE9 \x80"), "caf\xC3\xA9 \xE2\x82\xAC");
    EXPECT_EQ(ryn::CStringUtil::s2ws("\xE9"), L"\u00E9");
    EXPECT_EQ(ryn::CStringUtil::ws2s(L"\u00E9\u20AC"), "\xE9\x80");
}

TEST(StringUtilTest, IntToStringCoversSignsBasesAndLimits) {
    bool ok = false;
    EXPECT_EQ(ryn::CStringUtil::IntToString(INT64_MIN, &ok, 10), "-9223372036854775808");
    EXPECT_TRUE(ok);
    EXPECT_EQ(ryn::CStringUtil::IntToString(255, nullptr, 16), "ff");
    EXPECT_EQ(ryn::CStringUtil::IntToString(0, nullptr, 10), "0");
    EXPECT_EQ(ryn::CStringUtil::IntToString(5, &ok, 1), "");
    EXPECT_FALSE(ok);
}

TEST(TimeUtilTest, RendersUtcWhateverTheZone) {
    EXPECT_EQ(ryn::CTimeUtil(0).ToString("%Y%m%d%H%M%S"), "19700101000000");
    EXPECT_EQ(ryn::CTimeUtil(1700000000).ToString("%Y-%m-%d %H:%M:%S"), "2023-11-14 22:13:20");
}

TEST(ToolUtilTest, PathNameTakesTheLastComponent) {
    EXPECT_EQ(ryn::CToolUtil::GetPathName("C:\\Windows\\System32\\svchost.exe"), "svchost.exe");
    EXPECT_EQ(ryn::CToolUtil::GetPathName("/usr/bin/x"), "x");
    EXPECT_EQ(ryn::CToolUtil::GetPathName("plain"), "plain");
}

// Runs once per start and blocks until released.
class GatedThread : public ryn::CThreadUtil {
  public:
    GatedThread() : m_gate(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~GatedThread() {
        Release();
        waitForThreadFinish();
    }
    void run() override {
        WaitForSingleObject(m_gate.get(), INFINITE);
        ++runs;
    }
    void Release() { SetEvent(m_gate.get()); }
    void Close() { ResetEvent(m_gate.get()); }

    std::atomic<int> runs{0};

  private:
    ryn::UniqueHandle m_gate;
};

TEST(ThreadUtilTest, OneThreadPerStartAndNoSecondWhileRunning) {
    GatedThread thread;
    EXPECT_EQ(thread.waitForThreadFinish(), -1);
    ASSERT_TRUE(thread.startThread());
    EXPECT_TRUE(thread.IsThreadRunning());
    EXPECT_FALSE(thread.startThread());

    thread.Release();
    EXPECT_EQ(thread.waitForThreadFinish(), 0);
    EXPECT_FALSE(thread.IsThreadRunning());
    EXPECT_EQ(thread.runs, 1);

    thread.Close();
    ASSERT_TRUE(thread.startThread());
    thread.Release();
    EXPECT_EQ(thread.waitForThreadFinish(), 0);
    EXPECT_EQ(thread.runs, 2);
}

// Waits for itself, then lets an exception escape.
class SelfWaitingThread : public ryn::CThreadUtil {
  public:
    ~SelfWaitingThread() { waitForThreadFinish(); }
    void run() override {
        selfWait = waitForThreadFinish();
        throw std::runtime_error("escapes run");
    }
    std::atomic<int> selfWait{0};
};

TEST(ThreadUtilTest, RunThatWaitsForItselfOrThrowsEndsOnlyItsThread) {
    SelfWaitingThread thread;
    ASSERT_TRUE(thread.startThread());
    EXPECT_EQ(thread.waitForThreadFinish(), 0);
    EXPECT_EQ(thread.selfWait, -1);
    EXPECT_FALSE(thread.IsThreadRunning());
    ASSERT_TRUE(thread.startThread());  // the base is still usable
    EXPECT_EQ(thread.waitForThreadFinish(), 0);
}

TEST(ThreadUtilTest, FinishedThreadIsJoinedByTheNextStart) {
    GatedThread thread;
    thread.Release();
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(thread.startThread());
        while (thread.IsThreadRunning()) {
            Sleep(1);
        }
    }
    EXPECT_EQ(thread.waitForThreadFinish(), 0);
    EXPECT_EQ(thread.runs, 20);
}

}  // namespace
