#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "module/ProcInfoParserInterface.h"
#include "module/WinHandle.h"

// Samples one process through the operating system. Init opens the process and
// takes the first time sample; later reads are set against that sample.
class CProcInfoParserWin : public CProcInfoParserInterface {
  public:
    CProcInfoParserWin();
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
    // One attempt to read the account name into m_user; a failure is logged.
    void LookupUser();

    int64_t m_pid = -1;
    CWinHandle m_process;
    std::string m_path;
    bool m_pathInexact = false;  // the path has no UTF-8 form: not asked for again
    std::string m_cmdLine;
    std::string m_name;
    std::string m_user;
    FILETIME m_creationTime = {};
    FILETIME m_kernelTime = {};
    FILETIME m_userTime = {};
    FILETIME m_sampleTime = {};  // system time right after the process times in Init

    // Logical processors, read once by the first parser constructed.
    static inline uint32_t s_processorCount = 0;
};
