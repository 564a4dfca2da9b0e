#pragma once

#include <cstdint>
#include <string>

#include "module/LinkedPtr.h"

// One running process, sampled through the operating system. Init comes first;
// the file operations read the image path that GetProcPath or GetProcName fetched.
// Times are whole seconds; points in time are seconds since 1970-01-01 UTC.
//
// The texts of GetProcPath, GetProcName and GetCmdLine are the parser's own: each
// reference stays valid until the parser is destroyed, and a text that is not empty
// never changes again, so a caller may keep pointing into it (the report does).
class CProcInfoParserInterface {
  public:
    virtual ~CProcInfoParserInterface() = default;

    virtual bool Init(int64_t pid) = 0;
    virtual bool GetIoCounters(int64_t& readBytes, int64_t& writeBytes) = 0;
    virtual bool GetProcTimes(int64_t& startTime, int64_t& elapsedTime, int64_t& cpuTime) = 0;
    virtual int64_t GetPid() = 0;
    virtual int64_t GetPpid() = 0;
    virtual const std::string& GetProcPath() = 0;
    virtual const std::string& GetProcName() = 0;
    virtual const std::string& GetCmdLine() = 0;
    virtual int64_t GetProcMemUse() = 0;
    virtual int32_t GetCpuUsage() = 0;
    virtual std::string GetUser() = 0;
    virtual bool GetExeFileTimes(int64_t& createTime, int64_t& modifyTime) = 0;
    virtual int64_t GetExeFileSize() = 0;
};

// A new parser, not yet bound: pid -1, no process handle, no strings.
LinkedPtr<CProcInfoParserInterface> CreateProcInfoParser();
