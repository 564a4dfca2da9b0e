// A whole collection pass through the exported interface over a scripted machine of
// 100 to 10,000 processes: first pass (caches empty) and warm pass (caches full).
//
// CPU time is the whole process's: the pass runs on the module's worker thread. It
// includes the scripted layer's own bookkeeping (fault counters, handle table,
// journal) and the network double's copy of the report. The scripted pauses cost
// nothing. The heap is counted in one more pass, apart from the timed ones.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>

#include "bench/BenchMachine.h"
#include "bench/HeapCounter.h"
#include "fileprops/FilePropertyCache.h"
#include "fileprops/ProcMd5Cache.h"
#include "layer/Control.h"
#include "layer/Machine.h"
#include "module/KorvaProcInterface.h"
#include "procinfo/WinPpidCache.h"

namespace {

constexpr int kWaitMs = 600000;

void DestroyCaches() {
    CSingleton<CProcMd5Cache>::DestroyInstance();
    CSingleton<CWinPpidCache>::DestroyInstance();
    CSingleton<CFilePropertyCache>::DestroyInstance();
}

// A fresh module over a fresh machine of count processes, with empty caches.
void FreshMachine(int count) {
    DestroyKorvaProcInterface();
    DestroyCaches();
    layer::Reset();
    bench::AddProcesses(count);
}

// Runs one pass to its end; the caller has dropped the records of earlier passes.
bool RunPass() {
    return GetKorvaProcInterface()->Start("cmd-1", "timer") == 1 &&
           layer::WaitForJournal("thread exit", 1, kWaitMs);
}

// What the measured passes cost: CPU summed over the timed passes, heap and report
// size from one more pass with the heap counted.
struct PassCost {
    double cpuSeconds = 0;
    int64_t peakHeap = 0;
    size_t reportBytes = 0;
};

bool OneReportSent() { return layer::SentMessages().size() == 1; }

// A timed pass: CPU time taken around it alone, the heap not counted.
bool TimedPass(benchmark::State& state, PassCost& cost) {
    layer::ClearRecords();
    heap::SetCounting(false);
    const double cpuBefore = bench::ProcessCpuSeconds();
    state.ResumeTiming();
    const bool ended = RunPass();
    state.PauseTiming();
    cost.cpuSeconds += bench::ProcessCpuSeconds() - cpuBefore;
    heap::SetCounting(true);
    return ended && OneReportSent();
}

// A pass with the heap counted, untimed: its peak above the level it started at.
bool CountedPass(PassCost& cost) {
    layer::ClearRecords();
    heap::ResetPeak();
    const int64_t before = heap::Current();
    const bool ended = RunPass();
    cost.peakHeap = heap::Peak() - before;
    const auto sent = layer::SentMessages();
    cost.reportBytes = sent.size() == 1 ? sent[0].second.size() : 0;
    return ended && sent.size() == 1;
}

void Report(benchmark::State& state, const PassCost& cost) {
    const double processes = static_cast<double>(state.range(0));
    const double passes = static_cast<double>(state.iterations());
    state.counters["cpu_us_per_proc"] = cost.cpuSeconds / passes / processes * 1e6;
    state.counters["peak_heap_MiB"] = static_cast<double>(cost.peakHeap) / (1 << 20);
    state.counters["peak_heap_per_proc"] = static_cast<double>(cost.peakHeap) / processes;
    state.counters["json_bytes"] = static_cast<double>(cost.reportBytes);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// A fresh machine and module with empty caches, ready for a first pass.
void ColdStart(int count) {
    FreshMachine(count);
    GetKorvaProcInterface();  // creates the caches, empty
}

void BM_PassCold(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    PassCost cost;
    for (auto _ : state) {
        state.PauseTiming();
        ColdStart(count);
        if (!TimedPass(state, cost)) {
            state.SkipWithError("the pass sent no report");
            break;
        }
        state.ResumeTiming();
    }
    ColdStart(count);
    if (!CountedPass(cost)) {
        state.SkipWithError("the counted pass sent no report");
    }
    Report(state, cost);
    FreshMachine(0);
}

void BM_PassWarm(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    FreshMachine(count);
    PassCost cost;
    if (!CountedPass(cost)) {  // the first pass fills the caches
        state.SkipWithError("the first pass sent no report");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        if (!TimedPass(state, cost)) {
            state.SkipWithError("the pass sent no report");
            break;
        }
        state.ResumeTiming();
    }
    if (!CountedPass(cost)) {
        state.SkipWithError("the counted pass sent no report");
    }
    Report(state, cost);
    FreshMachine(0);
}

void PassSizes(benchmark::internal::Benchmark* b) {
    for (int64_t size : bench::Sizes({100, 1000, 10000})) {
        b->Arg(size);
    }
    b->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
}

// The warm passes carry the targets: a longer run per repetition evens out the load
// of the shared machine.
void WarmPassSizes(benchmark::internal::Benchmark* b) {
    PassSizes(b);
    if (!bench::Smoke()) {
        b->MinTime(1.5);
    }
}

BENCHMARK(BM_PassCold)->Apply(PassSizes);
BENCHMARK(BM_PassWarm)->Apply(WarmPassSizes);

}  // namespace
