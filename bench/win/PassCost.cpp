// korva_pass_cost_driver.dll: what a pass of the real korvaProc.dll costs next to
// the bare Win32 sequence that any pass must make, over the same processes, back to
// back in one run:
//
//   korva_pass_cost.exe --processes N [--warm-passes R] [--profile] [--time-first]
//                       [--log FILE] [--command-line-chars C] [--executables E]
//
// starts N sleeping children of that program (distinct command lines of C characters;
// with E, from E distinct copies of it beside it, in turn),
// runs the bare sequence once to warm the system's caches, then the module's first
// pass, then R times the bare sequence and a warm pass, alternating, each pair after
// timing one wineserver round trip (a ResetEvent) as the unit. Medians are printed;
// warm over bare is the median of each pair's ratio, which the machine's load moves
// least, since the two runs of a pair follow each other within seconds. Each pass runs through the
// exports with the host's sink in korvaNetWork.dll, from Start to the end of
// DestroyKorvaProcInterface; what its pauses really slept is taken out. With
// --profile every hooked call is also timed (in extra passes, so the timed ones
// carry only a counter per call); --time-first times the first pass's calls as well,
// at the price of the hooks' own cost in its result. One "key=value" line per result, for
// bench/pass-cost.sh and bench/results.py.

#include <windows.h>

#include <rapidjson/document.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "BareSequence.h"
#include "BenchClock.h"
#include "ImportHooks.h"
#include "SleepingChildren.h"
#include "agent/host/ReportWaiter.h"
#include "agent/rynUtil/LogDestination.h"
#include "agent/rynUtil/UniqueHandle.h"
#include "host/NetWork.h"
#include "host/RynUtil.h"
#include "module/KorvaProcInterface.h"

namespace {

using passcost::CBareSequence;
using passcost::CImportHooks;

constexpr uint64_t kReportTimeoutMs = 900000;
constexpr int kRoundTripBatches = 5;
constexpr int kRoundTripsPerBatch = 500;

struct Options {
    size_t processes = 100;
    int warmPasses = 3;
    bool profile = false;
    bool timeFirst = false;
    size_t commandLineChars = 600;
    size_t executables = 0;  // 0: every child runs the program itself
    std::string log = "korva_pass_cost.log";
};

bool ParseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (option == "--processes" && hasValue) {
            options->processes = std::strtoul(argv[++i], nullptr, 10);
        } else if (option == "--warm-passes" && hasValue) {
            options->warmPasses = std::max(1, std::atoi(argv[++i]));
        } else if (option == "--command-line-chars" && hasValue) {
            options->commandLineChars = std::strtoul(argv[++i], nullptr, 10);
        } else if (option == "--executables" && hasValue) {
            options->executables = std::strtoul(argv[++i], nullptr, 10);
        } else if (option == "--log" && hasValue) {
            options->log = argv[++i];
        } else if (option == "--profile") {
            options->profile = true;
        } else if (option == "--time-first") {
            options->timeFirst = true;
        } else {
            return false;
        }
    }
    return options->processes > 0;
}

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// One wineserver round trip (a system call on Windows): ResetEvent on an event
// that is already reset, the cheapest request that always goes to the server.
double RoundTripMicroseconds() {
    const ryn::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<double> batches;
    for (int batch = 0; batch < kRoundTripBatches; ++batch) {
        const int64_t start = passcost::Ticks();
        for (int i = 0; i < kRoundTripsPerBatch; ++i) {
            ResetEvent(event.get());
        }
        batches.push_back(passcost::Microseconds(passcost::Ticks() - start) / kRoundTripsPerBatch);
    }
    return Median(batches);
}

struct PassResult {
    bool delivered = false;
    double wallMicroseconds = 0;
    CImportHooks::Pauses pauses;
    size_t reported = 0;  // process records, the System record not counted
    size_t children = 0;  // of them, our sleeping children
    size_t digests = 0;   // records with a digest
    std::vector<CImportHooks::Row> calls;

    double MicrosecondsPerProcess() const {
        return reported == 0 ? 0 : (wallMicroseconds - pauses.sleptMicroseconds) / reported;
    }
};

void CountRecords(const std::string& body, PassResult* result) {
    rapidjson::Document report;
    report.Parse(body.c_str(), body.size());
    if (report.HasParseError() || !report.IsObject() || !report.HasMember("process") ||
        !report["process"].IsArray()) {
        return;
    }
    const auto& records = report["process"].GetArray();
    result->reported = records.Size() > 0 ? records.Size() - 1 : 0;  // the System record closes it
    for (rapidjson::SizeType i = 0; i < result->reported; ++i) {
        const auto& record = records[i];
        const std::string commandLine = record["cmd_line"].GetString();
        result->children += commandLine.find(" --child ") != std::string::npos ? 1 : 0;
        result->digests +=
            record.HasMember("file_md5") && record["file_md5"].GetStringLength() == 32 ? 1 : 0;
    }
}

// One pass as the agent's service runs it: Start, the report, DestroyKorvaProcInterface.
PassResult RunPass(CReportWaiter& waiter, CImportHooks& hooks, const char* kind) {
    waiter.Clear();
    hooks.TakeCalls();
    hooks.TakePauses();
    CKorvaProcInterface* module = GetKorvaProcInterface();
    PassResult result;
    std::string body;
    const int64_t start = passcost::Ticks();
    if (module->Start("pass-cost", kind) == 1) {
        result.delivered = waiter.Wait(kReportTimeoutMs, &body);
    }
    DestroyKorvaProcInterface();
    result.wallMicroseconds = passcost::Microseconds(passcost::Ticks() - start);
    result.pauses = hooks.TakePauses();
    result.calls = hooks.TakeCalls();
    if (result.delivered) {
        CountRecords(body, &result);
    }
    return result;
}

void PrintPass(const char* kind, int repetition, const PassResult& pass) {
    std::printf(
        "pass_cost_run kind=%s rep=%d delivered=%d us_per_process=%.1f wall_ms=%.1f "
        "slept_ms=%.1f pauses=%llu requested_ms=%llu reported=%zu children=%zu digests=%zu\n",
        kind, repetition, pass.delivered ? 1 : 0, pass.MicrosecondsPerProcess(),
        pass.wallMicroseconds / 1000, pass.pauses.sleptMicroseconds / 1000,
        static_cast<unsigned long long>(pass.pauses.count),
        static_cast<unsigned long long>(pass.pauses.requestedMs), pass.reported, pass.children,
        pass.digests);
}

void PrintCalls(const char* kind, const PassResult& pass) {
    for (const CImportHooks::Row& row : pass.calls) {
        std::printf(
            "pass_cost_calls pass=%s name=%s per_process=%.2f us_per_call=%.2f "
            "us_per_process=%.2f\n",
            kind, row.name.c_str(),
            static_cast<double>(row.calls) / std::max<size_t>(pass.reported, 1),
            row.calls == 0 ? 0 : row.microseconds / static_cast<double>(row.calls),
            row.microseconds / std::max<size_t>(pass.reported, 1));
    }
}

double BareMicrosecondsPerProcess(CBareSequence& bare, size_t* opened) {
    *opened = bare.Run();
    return *opened == 0 ? 0 : bare.TotalMicroseconds() / *opened;
}

int Measure(const Options& options) {
    CReportWaiter waiter;
    CImportHooks hooks;
    if (!hooks.installed()) {
        std::fprintf(stderr, "pass-cost: korvaProc.dll or rynUtil.dll is not loaded\n");
        return 1;
    }
    passcost::CSleepingChildren children(options.processes, options.commandLineChars,
                                         options.executables);
    if (children.started() != options.processes) {
        std::fprintf(stderr, "pass-cost: %zu of %zu children started\n", children.started(),
                     options.processes);
        return 1;
    }
    std::printf("pass_cost_setup processes=%zu command_line_chars=%zu\n", options.processes,
                options.commandLineChars);

    CBareSequence bare(false);
    size_t opened = 0;
    BareMicrosecondsPerProcess(bare, &opened);  // the system's own caches warm, as for the pass

    hooks.SetTiming(options.timeFirst);
    const PassResult first = RunPass(waiter, hooks, "first");
    hooks.SetTiming(false);
    PrintPass("first", 0, first);
    std::vector<double> bareTimes;
    std::vector<double> warmTimes;
    std::vector<double> roundTrips;
    std::vector<double> pairRatios;  // each warm pass over the bare run just before it
    PassResult warm;
    for (int repetition = 1; repetition <= options.warmPasses; ++repetition) {
        roundTrips.push_back(RoundTripMicroseconds());
        std::printf("pass_cost_run kind=roundtrip rep=%d us=%.2f\n", repetition, roundTrips.back());
        bareTimes.push_back(BareMicrosecondsPerProcess(bare, &opened));
        std::printf("pass_cost_run kind=bare rep=%d us_per_process=%.1f opened=%zu\n", repetition,
                    bareTimes.back(), opened);
        warm = RunPass(waiter, hooks, "warm");
        PrintPass("warm", repetition, warm);
        warmTimes.push_back(warm.MicrosecondsPerProcess());
        pairRatios.push_back(bareTimes.back() > 0 ? warmTimes.back() / bareTimes.back() : 0);
    }
    PrintCalls("first", first);
    PrintCalls("warm", warm);

    const double roundTrip = Median(roundTrips);
    const double bareUs = Median(bareTimes);
    const double warmUs = Median(warmTimes);
    const double firstUs = first.MicrosecondsPerProcess();
    std::printf(
        "pass_cost processes=%zu reported=%zu children=%zu bare_us=%.1f first_us=%.1f "
        "warm_us=%.1f first_over_warm=%.2f warm_over_bare=%.2f roundtrip_us=%.2f "
        "bare_roundtrips=%.1f warm_roundtrips=%.1f\n",
        options.processes, warm.reported, warm.children, bareUs, firstUs, warmUs,
        warmUs > 0 ? firstUs / warmUs : 0, Median(pairRatios), roundTrip,
        roundTrip > 0 ? bareUs / roundTrip : 0, roundTrip > 0 ? warmUs / roundTrip : 0);

    if (options.profile) {
        hooks.SetTiming(true);
        const PassResult profiled = RunPass(waiter, hooks, "warm-profiled");
        hooks.SetTiming(false);
        PrintPass("warm-profiled", 0, profiled);
        PrintCalls("warm-profiled", profiled);
        CBareSequence steps(true);
        steps.Run();
        for (int step = 0; step < CBareSequence::kStepCount; ++step) {
            std::printf("pass_cost_step name=%s us_per_process=%.2f\n",
                        CBareSequence::StepName(static_cast<CBareSequence::Step>(step)),
                        steps.StepMicroseconds(static_cast<CBareSequence::Step>(step)) /
                            std::max<size_t>(opened, 1));
        }
    }
    const bool complete = first.delivered && warm.delivered && warm.children == options.processes;
    if (!complete) {
        std::fprintf(stderr, "pass-cost: a pass delivered no report or missed children\n");
    }
    return complete ? 0 : 1;
}

}  // namespace

extern "C" __declspec(dllexport) int RunPassCost(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        std::fprintf(stderr,
                     "usage: korva_pass_cost --processes N [--warm-passes R] [--profile] "
                     "[--time-first] [--log FILE] [--command-line-chars C] [--executables E]\n");
        return 2;
    }
    if (!ryn::SetLogFile(options.log)) {
        std::fprintf(stderr, "pass-cost: cannot open the log %s\n", options.log.c_str());
        return 2;
    }
    CSingleton<CNetWork>::CreateInstance();
    const int status = Measure(options);
    CSingleton<CNetWork>::DestroyInstance();
    ryn::SetLogFile("");
    return status;
}
