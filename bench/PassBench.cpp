// A whole collection pass through the exported interface over a scripted machine of
// 100 to 10,000 processes: first pass (caches empty) and warm pass (caches full).
//
// CPU time is the whole process's: the pass runs on the module's worker thread. It
// includes the scripted layer's own bookkeeping (fault counters, handle table,
// journal) and the network double's copy of the report. The scripted pauses cost
// nothing.

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

// Runs one pass to its end; the records of earlier passes are dropped first.
bool RunPass() {
    layer::ClearRecords();
    return GetKorvaProcInterface()->Start("cmd-1", "timer") == 1 &&
           layer::WaitForJournal("thread exit", 1, kWaitMs);
}

// What one measured pass cost, summed over the benchmark's iterations.
struct PassCost {
    double cpuSeconds = 0;
    size_t peakHeap = 0;
    size_t reportBytes = 0;
};

// The pass, with its CPU time and heap peak taken around it alone.
bool MeasuredPass(benchmark::State& state, PassCost& cost) {
    layer::ClearRecords();
    heap::ResetPeak();
    const size_t heapBefore = heap::Current();
    const double cpuBefore = bench::ProcessCpuSeconds();
    state.ResumeTiming();
    const bool ended = GetKorvaProcInterface()->Start("cmd-1", "timer") == 1 &&
                       layer::WaitForJournal("thread exit", 1, kWaitMs);
    state.PauseTiming();
    cost.cpuSeconds += bench::ProcessCpuSeconds() - cpuBefore;
    cost.peakHeap = std::max(cost.peakHeap, heap::Peak() - heapBefore);
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

void BM_PassCold(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    PassCost cost;
    for (auto _ : state) {
        state.PauseTiming();
        FreshMachine(count);
        GetKorvaProcInterface();  // creates the caches, empty
        if (!MeasuredPass(state, cost)) {
            state.SkipWithError("the pass sent no report");
            break;
        }
        state.ResumeTiming();
    }
    Report(state, cost);
    FreshMachine(0);
}

void BM_PassWarm(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    FreshMachine(count);
    if (!RunPass()) {  // fills the caches
        state.SkipWithError("the first pass did not end");
        return;
    }
    PassCost cost;
    for (auto _ : state) {
        state.PauseTiming();
        if (!MeasuredPass(state, cost)) {
            state.SkipWithError("the pass sent no report");
            break;
        }
        state.ResumeTiming();
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

BENCHMARK(BM_PassCold)->Apply(PassSizes);
BENCHMARK(BM_PassWarm)->Apply(PassSizes);

}  // namespace
