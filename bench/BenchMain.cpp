// The benchmark program's entry. Google Benchmark's own main exits 0 even when a
// benchmark ended with SkipWithError, so a guard that finds a pass sent no report,
// or a baseline whose bytes differ, would only print a line. Here a run with any
// such error, or one in which no benchmark ran at all, exits 1: bench_smoke in
// ctest and bench/run.sh fail on it.

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <vector>

namespace {

// The usual console table, counting the runs that ended in an error. The display
// is always this table; --benchmark_out writes other formats beside it.
class ErrorCountingReporter : public benchmark::ConsoleReporter {
  public:
    explicit ErrorCountingReporter(OutputOptions options) : ConsoleReporter(options) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) {
                ++m_errors;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    int errors() const { return m_errors; }

  private:
    int m_errors = 0;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    ErrorCountingReporter reporter(isatty(STDOUT_FILENO)
                                       ? benchmark::ConsoleReporter::OO_ColorTabular
                                       : benchmark::ConsoleReporter::OO_Tabular);
    const size_t ran = benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    if (ran == 0) {
        std::fprintf(stderr, "korva_bench: no benchmark ran\n");
        return 1;
    }
    if (reporter.errors() > 0) {
        std::fprintf(stderr, "korva_bench: %d benchmark run(s) ended in an error\n",
                     reporter.errors());
        return 1;
    }
    return 0;
}
