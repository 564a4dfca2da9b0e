#pragma once

#include "module/ProcInfoParserInterface.h"

// Samples one process through the operating system.
class CProcInfoParserWin : public CProcInfoParserInterface {
public:
    CProcInfoParserWin() = default;
    ~CProcInfoParserWin() override = default;

    bool Init(int64_t pid) override;
    bool GetIoCounters(int64_t& readBytes, int64_t& writeBytes) override;
    bool GetProcTimes(int64_t& startTime, int64_t& elapsedTime, int64_t& cpuTime) override;
    int64_t GetPid() override;
    int64_t GetPpid() override;
    const std::string& GetProcPath() override;
    const std::string& GetProcName() override;
    const std::string& GetCmdLine() override;
    int64_t GetProcMemUse() override;
    int32_t GetCpuUsage() override;
    std::string GetUser() override;
    bool GetExeFileTimes(int64_t& createTime, int64_t& modifyTime) override;
    int64_t GetExeFileSize() override;

private:
    int64_t m_pid = -1;
    std::string m_empty;
};
