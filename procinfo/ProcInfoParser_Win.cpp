#include "procinfo/ProcInfoParser_Win.h"

// Not bound to the operating system yet: every operation answers its failure value.

LinkedPtr<CProcInfoParserInterface> CreateProcInfoParser() {
    return LinkedPtr<CProcInfoParserInterface>(new CProcInfoParserWin);
}

bool CProcInfoParserWin::Init(int64_t pid) {
    m_pid = pid;
    return false;
}

bool CProcInfoParserWin::GetIoCounters(int64_t& readBytes, int64_t& writeBytes) {
    readBytes = writeBytes = -1;
    return false;
}

bool CProcInfoParserWin::GetProcTimes(int64_t& startTime, int64_t& elapsedTime, int64_t& cpuTime) {
    startTime = elapsedTime = cpuTime = -1;
    return false;
}

int64_t CProcInfoParserWin::GetPid() { return m_pid; }
int64_t CProcInfoParserWin::GetPpid() { return -1; }
const std::string& CProcInfoParserWin::GetProcPath() { return m_empty; }
const std::string& CProcInfoParserWin::GetProcName() { return m_empty; }
const std::string& CProcInfoParserWin::GetCmdLine() { return m_empty; }
int64_t CProcInfoParserWin::GetProcMemUse() { return -1; }
int32_t CProcInfoParserWin::GetCpuUsage() { return 0; }
std::string CProcInfoParserWin::GetUser() { return std::string(); }

bool CProcInfoParserWin::GetExeFileTimes(int64_t& createTime, int64_t& modifyTime) {
    createTime = modifyTime = 0;
    return false;
}

int64_t CProcInfoParserWin::GetExeFileSize() { return -1; }
