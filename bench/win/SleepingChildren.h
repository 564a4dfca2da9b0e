#pragma once

// Processes for a pass to look at: children of this program, each with a long
// command line of its own, that sleep until the parent ends them (or ends itself).

#include <windows.h>

#include <string>
#include <vector>

#include "agent/rynUtil/UniqueHandle.h"

namespace passcost {

class CSleepingChildren {
  public:
    // Starts count children and waits until each of them runs; see started().
    CSleepingChildren(size_t count, size_t commandLineChars);
    // Ends every child and waits for them.
    ~CSleepingChildren();
    CSleepingChildren(const CSleepingChildren&) = delete;
    CSleepingChildren& operator=(const CSleepingChildren&) = delete;

    // How many children run and said so.
    size_t started() const { return m_started; }

    // The first argument that makes this program a child.
    static const char* ChildFlag() { return "--child"; }
    // A child's life: "--child PARENT_PID SEMAPHORE INDEX PADDING".
    static int RunChild(int argc, char** argv);

  private:
    std::wstring CommandLine(const std::wstring& program, size_t index, size_t chars) const;

    std::wstring m_semaphoreName;
    ryn::UniqueHandle m_ready;
    std::vector<ryn::UniqueHandle> m_children;
    size_t m_started = 0;
};

}  // namespace passcost
