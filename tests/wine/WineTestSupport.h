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

// A child started with a given command line, alive until the object goes.
class ChildProcess {
  public:
    // Starts `program` with exactly `commandLine` and waits until it runs its main.
    ChildProcess(const std::string& program, const std::string& commandLine);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return m_process.valid(); }
    DWORD pid() const { return m_pid; }

  private:
    ryn::UniqueHandle m_process;
    ryn::UniqueHandle m_stdinWrite;
    DWORD m_pid = 0;
};

}  // namespace winetest
