// The real logger: record layout, destinations, and whole lines from two threads.

#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include "WineTestSupport.h"
#include "agent/rynUtil/LogDestination.h"
#include "host/RynUtil.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

// "2024-05-01T10:20:30.123Z " then the rest.
bool HasTimeStamp(const std::string& line) {
    static const char kShape[] = "dddd-dd-ddTdd:dd:dd.dddZ ";
    if (line.size() < sizeof(kShape) - 1) {
        return false;
    }
    for (size_t i = 0; i + 1 < sizeof(kShape); ++i) {
        const bool digit = line[i] >= '0' && line[i] <= '9';
        if (kShape[i] == 'd' ? !digit : line[i] != kShape[i]) {
            return false;
        }
    }
    return true;
}

std::string WithoutTimeStamp(const std::string& line) { return line.substr(25); }

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_path = winetest::ScratchFolder("log") + "\\agent.log";
        ASSERT_TRUE(ryn::SetLogFile(m_path));
    }
    void TearDown() override { ryn::SetLogFile(""); }

    std::vector<std::string> Written() {
        ryn::SetLogFile("");  // releases the file
        return Lines(winetest::ReadWholeFile(m_path));
    }

    std::string m_path;
};

TEST_F(LogTest, RecordCarriesTimeLevelSourceLineAndText) {
    ryn::CLogMessage* logger = ryn::CLogMessage::GetInstance();
    logger->log(ryn::RYN_LOG_ERROR, "ProcInfoParser_Win", 88, "open process %d failed: %s", 42,
                "denied", "");
    logger->WriteLogMessage("stop korvaProc.", ryn::RYN_LOG_INFO);

    const std::vector<std::string> lines = Written();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(HasTimeStamp(lines[0])) << lines[0];
    EXPECT_EQ(WithoutTimeStamp(lines[0]), "2 ProcInfoParser_Win:88 open process 42 failed: denied");
    EXPECT_EQ(WithoutTimeStamp(lines[1]), "4 -:0 stop korvaProc.");
}

TEST_F(LogTest, LongAndMultiLineTextsStayOneWholeRecord) {
    const std::string longText(20000, 'x');
    ryn::CLogMessage::GetInstance()->log(4, "Src", 1, "%s", longText.c_str(), "");
    ryn::CLogMessage::GetInstance()->WriteLogMessage(std::string("a\nb\r\nc\0d", 8), 4);

    const std::vector<std::string> lines = Written();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(WithoutTimeStamp(lines[0]), "4 Src:1 " + longText);
    EXPECT_EQ(WithoutTimeStamp(lines[1]), "4 -:0 a\\nb\\r\\nc\\0d");
}

TEST_F(LogTest, TwoThreadsWriteWholeLinesWithoutInterleaving) {
    constexpr int kRecordsPerThread = 2000;
    auto writer = [](const char* source) {
        const std::string padding(300, source[0]);
        for (int i = 0; i < kRecordsPerThread; ++i) {
            ryn::CLogMessage::GetInstance()->log(4, source, i, "record %d %s", i, padding.c_str(),
                                                 "");
        }
    };
    std::thread first(writer, "A");
    std::thread second(writer, "B");
    first.join();
    second.join();

    std::map<std::string, int> seen;
    for (const std::string& line : Written()) {
        ASSERT_TRUE(HasTimeStamp(line)) << line.substr(0, 80);
        ++seen[WithoutTimeStamp(line)];
    }
    ASSERT_EQ(seen.size(), 2u * kRecordsPerThread);
    for (const char* source : {"A", "B"}) {
        for (int i = 0; i < kRecordsPerThread; ++i) {
            const std::string expected = "4 " + std::string(source) + ":" + std::to_string(i) +
                                         " record " + std::to_string(i) + " " +
                                         std::string(300, source[0]);
            EXPECT_EQ(seen[expected], 1) << expected.substr(0, 40);
        }
    }
}

TEST_F(LogTest, DefaultDestinationIsTheCurrentStandardError) {
    const std::string errPath = winetest::ScratchFolder("stderr") + "\\err.txt";
    ryn::UniqueHandle errFile(CreateFileW(ryn::CStringUtil::utf8_2ws(errPath).c_str(),
                                          GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0,
                                          nullptr));
    ASSERT_TRUE(errFile.valid());
    const HANDLE savedErr = GetStdHandle(STD_ERROR_HANDLE);
    ryn::SetLogFile("");
    SetStdHandle(STD_ERROR_HANDLE, errFile.get());
    ryn::CLogMessage::GetInstance()->WriteLogMessage("to stderr", 4);
    SetStdHandle(STD_ERROR_HANDLE, savedErr);
    errFile.reset();

    const std::vector<std::string> lines = Lines(winetest::ReadWholeFile(errPath));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(WithoutTimeStamp(lines[0]), "4 -:0 to stderr");
}

TEST_F(LogTest, UnopenableFileKeepsTheCurrentDestination) {
    EXPECT_FALSE(ryn::SetLogFile(m_path + "-missing-folder\\x.log"));
    ryn::CLogMessage::GetInstance()->WriteLogMessage("still here", 4);
    const std::vector<std::string> lines = Written();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(WithoutTimeStamp(lines[0]), "4 -:0 still here");
}

}  // namespace
