#pragma once

// What a pass cannot avoid, written directly against Win32: one process snapshot
// and one TCP table per run, and per process its open and times, the token's
// account, the image path, the command line from the process's memory, and the
// image file's times and size. Every handle is closed again.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace passcost {

class CBareSequence {
  public:
    enum Step {
        kSnapshot,
        kTcpTable,
        kOpenAndTimes,
        kAccount,
        kImagePath,
        kCommandLine,
        kFileTimesAndSize,
        kClose,
        kStepCount
    };

    // With timeSteps, each step is timed on its own (two clock reads per step).
    explicit CBareSequence(bool timeSteps);

    // One run over every process of a fresh snapshot; the processes it could open.
    size_t Run();

    // Of the last run.
    double TotalMicroseconds() const;
    double StepMicroseconds(Step step) const;
    static const char* StepName(Step step);

  private:
    std::vector<DWORD> Snapshot();
    void ReadTcpTable();
    bool ReadProcess(DWORD pid);
    void ReadAccount(HANDLE process);
    std::string ReadImagePath(HANDLE process);
    std::wstring ReadCommandLine(HANDLE process);
    void ReadFileTimesAndSize(const std::string& imagePath);

    void Lap(Step step);

    bool m_timeSteps;
    int64_t m_total = 0;
    int64_t m_lapStart = 0;
    int64_t m_steps[kStepCount] = {};
};

}  // namespace passcost
