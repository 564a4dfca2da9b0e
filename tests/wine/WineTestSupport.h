#pragma once

// Helpers shared by the Wine test programs.

#include <windows.h>

#include <string>

#include "agent/rynUtil/UniqueHandle.h"

namespace winetest {

// True when the program runs under Wine rather than Windows.
bool RunningUnderWine();
// The folder of the running test program, with a trailing backslash (system code page).
std::string ProgramFolder();
// A fresh, empty folder under the test's working directory; UTF-8 absolute path.
std::string ScratchFolder(const std::string& name);
std::string ReadWholeFile(const std::string& utf8Path);

// A process of ours, started with exactly the given command line and a pipe on
// stdin; it has written its first line, which says it is ready, when the constructor
// returns. Closing the pipe ends it; the destructor does that and waits.
class ChildProcess {
  public:
    ChildProcess(const std::string& utf8Program, const std::string& utf8CommandLine);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return m_process.valid(); }
    bool ready() const { return m_readyLine.rfind("ready", 0) == 0; }
    DWORD pid() const { return m_pid; }
    HANDLE handle() const { return m_process.get(); }
    // The first line, without its end.
    const std::string& readyLine() const { return m_readyLine; }

  private:
    ryn::UniqueHandle m_process;
    ryn::UniqueHandle m_stdinWrite;
    DWORD m_pid = 0;
    std::string m_readyLine;
};

}  // namespace winetest
