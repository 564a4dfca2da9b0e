// The TCP summary: CTcpConnectionParserWin::Parse over tables of 1,000 to 100,000
// rows, the table read alone (the reader and the scripted GetExtendedTcpTable,
// which builds its rows anew on both calls), and the report's lookups.
//
// The required pauses (50 ms every 2001 rows) are scripted: they cost only the
// layer's journal entry.

#include <benchmark/benchmark.h>

#include "bench/BenchMachine.h"
#include "layer/Control.h"
#include "layer/Machine.h"
#include "tcp/TcpConnectionParser_win.h"
#include "tcp/WinTcpTableUtil.h"

namespace {

// Owning processes of the rows: a busy server's spread.
constexpr int kOwningPids = 1000;
constexpr int kLookups = 100000;

void MachineWithRows(int rows) {
    layer::Reset();
    layer::machine().tcpRows = bench::MakeTcpRows(rows, kOwningPids);
}

void BM_TcpParse(benchmark::State& state) {
    MachineWithRows(static_cast<int>(state.range(0)));
    const ryn::ProcessIdMap processes;
    CTcpConnectionParserWin parser;
    for (auto _ : state) {
        layer::ClearRecords();  // the pauses' journal entries
        benchmark::DoNotOptimize(parser.Parse(processes));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    layer::Reset();
}

void BM_TcpTableRead(benchmark::State& state) {
    MachineWithRows(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        PMIB_TCPTABLE_OWNER_PID table = GetTcpTable();
        benchmark::DoNotOptimize(table);
        FreeTcpTable(table);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    layer::Reset();
}

// 100,000 lookups after a parse of that many rows, one in ten for a pid without rows.
void BM_TcpGetConnectInfo(benchmark::State& state) {
    MachineWithRows(static_cast<int>(state.range(0)));
    CTcpConnectionParserWin parser;
    parser.Parse(ryn::ProcessIdMap());
    for (auto _ : state) {
        int64_t connections = 0;
        for (int i = 0; i < kLookups; ++i) {
            const int64_t pid = 1000 + 4 * (i % (kOwningPids + kOwningPids / 10));
            connections += parser.GetConnectInfo(pid).connect_count;
        }
        benchmark::DoNotOptimize(connections);
    }
    state.SetItemsProcessed(state.iterations() * kLookups);
    layer::Reset();
}

void RowSizes(benchmark::internal::Benchmark* b) {
    for (int64_t size : bench::Sizes({1000, 10000, 100000})) {
        b->Arg(size);
    }
    b->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_TcpParse)->Apply(RowSizes);
BENCHMARK(BM_TcpTableRead)->Apply(RowSizes);
BENCHMARK(BM_TcpGetConnectInfo)->Arg(bench::Smoke() ? 1000 : 100000)->Unit(benchmark::kMicrosecond);

}  // namespace
