// The two file caches: a hit, a miss (a changed last-write time: the entry is read
// again and replaced) and, for the property cache, additions beyond its 1000
// entries, where every 19th addition first evicts 19 entries.
//
// A miss includes the scripted layer's work: the digest cache hashes the 4 KiB
// bench executable with OpenSSL, the property cache reads its scripted version
// resource and signature.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "bench/BenchMachine.h"
#include "fileprops/FilePropertyCache.h"
#include "fileprops/ProcMd5Cache.h"
#include "layer/Control.h"
#include "layer/Machine.h"

namespace {

constexpr int kEntries = 500;
// More paths than the property cache holds, so that each addition is new.
constexpr int kStreamPaths = 5000;
constexpr int kLimitEntries = 1001;

struct Files {
    std::vector<std::string> paths;
    std::vector<int64_t> modifyTimes;
};

Files MachineWithFiles(int count) {
    layer::Reset();
    Files files;
    for (int i = 0; i < count; ++i) {
        bench::AddExecutable(i);
        files.paths.push_back(bench::ExecutablePath(i));
        files.modifyTimes.push_back(bench::kNow - 86400 * (1 + i % 30));
    }
    return files;
}

int64_t Pid(int index) { return 1000 + 4 * index; }

void BM_Md5CacheHit(benchmark::State& state) {
    const Files files = MachineWithFiles(kEntries);
    CProcMd5Cache cache;
    for (int i = 0; i < kEntries; ++i) {
        cache.Get(Pid(i), files.paths[i], files.modifyTimes[i]);
    }
    int i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(cache.Get(Pid(i), files.paths[i], files.modifyTimes[i]));
        i = (i + 1) % kEntries;
    }
    layer::Reset();
}

// Every lookup finds its entry stale (the time moved on) and hashes the file anew.
void BM_Md5CacheMiss(benchmark::State& state) {
    const Files files = MachineWithFiles(kEntries);
    CProcMd5Cache cache;
    int i = 0;
    int64_t shift = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(cache.Get(Pid(i), files.paths[i], files.modifyTimes[i] + shift));
        if (++i == kEntries) {
            i = 0;
            ++shift;
        }
    }
    layer::Reset();
}

void BM_PropertyCacheHit(benchmark::State& state) {
    const Files files = MachineWithFiles(kEntries);
    CFilePropertyCache cache;
    for (int i = 0; i < kEntries; ++i) {
        cache.Get(files.paths[i], files.modifyTimes[i]);
    }
    int i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(cache.Get(files.paths[i], files.modifyTimes[i]));
        i = (i + 1) % kEntries;
    }
    layer::Reset();
}

void BM_PropertyCacheMiss(benchmark::State& state) {
    const Files files = MachineWithFiles(kEntries);
    CFilePropertyCache cache;
    int i = 0;
    int64_t shift = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(cache.Get(files.paths[i], files.modifyTimes[i] + shift));
        if (++i == kEntries) {
            i = 0;
            ++shift;
            layer::ClearRecords();
        }
    }
    layer::Reset();
}

// A cache at its limit: 1001 entries, the largest paths last.
void FillToLimit(CFilePropertyCache& cache, const Files& files) {
    for (int i = 0; i < kLimitEntries; ++i) {
        cache.Get(files.paths[i], files.modifyTimes[i]);
    }
}

// New paths, each larger than any held, into a full cache: the cost of an addition
// with the eviction amortised (one in 19 additions first evicts the 19 oldest).
void BM_PropertyCacheEvict(benchmark::State& state) {
    const Files files = MachineWithFiles(kStreamPaths);
    auto cache = std::make_unique<CFilePropertyCache>();
    FillToLimit(*cache, files);
    int i = kLimitEntries;
    for (auto _ : state) {
        benchmark::DoNotOptimize(cache->Get(files.paths[i], files.modifyTimes[i]));
        if (++i == kStreamPaths) {
            state.PauseTiming();
            cache = std::make_unique<CFilePropertyCache>();
            FillToLimit(*cache, files);
            i = kLimitEntries;
            layer::ClearRecords();
            state.ResumeTiming();
        }
    }
    layer::Reset();
}

BENCHMARK(BM_Md5CacheHit);
BENCHMARK(BM_Md5CacheMiss);
BENCHMARK(BM_PropertyCacheHit);
BENCHMARK(BM_PropertyCacheMiss);
BENCHMARK(BM_PropertyCacheEvict);

}  // namespace
