#pragma once

// Scripted machines of a given size for the benchmarks, and the clocks they read.

#include <cstdint>
#include <string>
#include <vector>

#include "layer/TcpModel.h"

namespace bench {

// The scripted clock at reset.
constexpr int64_t kNow = 1700000000;

// True in the CI smoke run (KORVA_BENCH_SMOKE set): only the smallest sizes.
bool Smoke();
// sizes, or only the first of them in a smoke run.
std::vector<int64_t> Sizes(const std::vector<int64_t>& sizes);

// CPU seconds of the whole process, every thread included: a pass runs on the
// module's worker thread while the benchmark's thread waits.
double ProcessCpuSeconds();

// Executables that count processes share: a quarter as many, at most 900, so that
// the file property cache (1000 entries) can hold them all.
int ExecutableCount(int processes);
// Paths sort in index order.
std::string ExecutablePath(int index);
// The executable file of that index: 4 KiB of its own bytes, a version resource on
// every second one, a counter-signed signature on every third.
void AddExecutable(int index);

// A machine of count processes that looks like a busy desktop's: long paths and
// command lines, executables with version resources and signatures, a third of the
// processes with listening and established TCP rows.
void AddProcesses(int count);

// rows TCP rows over pids: 10% listening, 60% established, the rest in other states.
std::vector<layer::TcpRow> MakeTcpRows(int rows, int pids);

}  // namespace bench
