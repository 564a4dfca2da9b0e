#pragma once

// Test implementations of the parser interfaces: fixed answers, so the report can
// be checked apart from the operating system.

#include <map>
#include <string>

#include "module/ProcInfoParserInterface.h"
#include "module/TcpConnectParserInterface.h"

struct FakeProcess {
    int64_t pid = -1;
    int64_t ppid = -1;
    std::string name;
    std::string path;
    std::string cmdLine;
    std::string user;
    int64_t startTime = -1;
    int64_t elapsedTime = -1;
    int64_t cpuTime = -1;
    bool fileTimesOk = false;
    int64_t createTime = 0;
    int64_t modifyTime = 0;
    int64_t fileSize = -1;
};

class FakeProcInfoParser : public CProcInfoParserInterface {
public:
    explicit FakeProcInfoParser(const FakeProcess& process) : m_process(process) {}

    bool Init(int64_t) override { return true; }
    bool GetIoCounters(int64_t& readBytes, int64_t& writeBytes) override {
        readBytes = writeBytes = -1;
        return false;
    }
    bool GetProcTimes(int64_t& startTime, int64_t& elapsedTime, int64_t& cpuTime) override {
        startTime = m_process.startTime;
        elapsedTime = m_process.elapsedTime;
        cpuTime = m_process.cpuTime;
        return startTime != -1;
    }
    int64_t GetPid() override { return m_process.pid; }
    int64_t GetPpid() override { return m_process.ppid; }
    const std::string& GetProcPath() override { return m_process.path; }
    const std::string& GetProcName() override { return m_process.name; }
    const std::string& GetCmdLine() override { return m_process.cmdLine; }
    int64_t GetProcMemUse() override { return -1; }
    int32_t GetCpuUsage() override { return 0; }
    std::string GetUser() override { return m_process.user; }
    bool GetExeFileTimes(int64_t& createTime, int64_t& modifyTime) override {
        createTime = m_process.fileTimesOk ? m_process.createTime : 0;
        modifyTime = m_process.fileTimesOk ? m_process.modifyTime : 0;
        return m_process.fileTimesOk;
    }
    int64_t GetExeFileSize() override { return m_process.fileSize; }

private:
    FakeProcess m_process;
};

class FakeTcpParser : public CTcpConnectParserInterface {
public:
    std::map<int64_t, TcpConnectInfo> summaries;

    bool Parse(const ryn::ProcessIdMap&) override { return true; }
    TcpConnectInfo GetConnectInfo(int64_t pid) override {
        auto it = summaries.find(pid);
        return it == summaries.end() ? TcpConnectInfo() : it->second;
    }
};
