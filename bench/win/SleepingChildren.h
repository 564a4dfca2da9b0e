#pragma once

// Processes for a pass to look at: children of the running program, each with a long
// command line of its own, that sleep until the parent ends them (or ends itself).
// The program runs as a child when its first argument is ChildFlag():
//   PROGRAM --child PARENT_PID SEMAPHORE INDEX FILLER
// it releases the semaphore once and waits for its parent to end.

#include <windows.h>

#include <string>
#include <vector>

#include "agent/rynUtil/UniqueHandle.h"

namespace passcost {

class CSleepingChildren {
  public:
    // Starts count children and waits until each of them runs; see started(). With
    // executables > 0 the children run that many copies of the program in turn, each
    // beside it and with content of its own.
    CSleepingChildren(size_t count, size_t commandLineChars, size_t executables);
    // Ends every child, waits for them and deletes the copies.
    ~CSleepingChildren();
    CSleepingChildren(const CSleepingChildren&) = delete;
    CSleepingChildren& operator=(const CSleepingChildren&) = delete;

    // How many children run and said so.
    size_t started() const { return m_started; }

    static const char* ChildFlag() { return "--child"; }

  private:
    std::wstring CommandLine(const std::wstring& program, size_t index, size_t chars) const;
    // The copies' paths; false when one cannot be made.
    bool Copy(const std::wstring& program, size_t executables);

    std::wstring m_semaphoreName;
    ryn::UniqueHandle m_ready;
    std::vector<ryn::UniqueHandle> m_children;
    std::vector<std::wstring> m_copies;
    size_t m_started = 0;
};

}  // namespace passcost
