// The seeded fault campaign: every seed draws a schedule of failing calls, a Stop and
// a thread that cannot start over two passes of the module on one scripted machine,
// runs it in a child process (a sanitizer abort, a signal or a hang is counted, not
// fatal to the campaign) and checks what the passes left behind. Ends with one line
//   fault-campaign: S schedules, F calls failed, C crashes, L leaks, I invalid reports,
//   X mixed-up values, K flaky
// and a non-zero status unless C, L, I, X and K are 0.
//
//   fault_campaign [--seeds N] [--first S] [--batch K] [--stop]
//       N schedules from seed S (300 from 0; seed 0 has no faults), K seeds per child
//       process (1). A seed that fails in a batch is run again alone: if it fails
//       again, that run is reported; if it passes, the batch's findings are, and the
//       seed counts as flaky. N and K are positive numbers, S a number. --stop ends
//       the campaign after the first batch with a failing seed.
//   fault_campaign --seed S [--verbose]
//       replays one schedule in this process; --verbose adds the journal and reports.

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "campaign/ChildRunner.h"
#include "layer/Control.h"

// Sanitizer reports end the child at once, leaks included, and say where.
extern "C" const char* __asan_default_options() { return "abort_on_error=1:detect_leaks=1"; }
extern "C" const char* __ubsan_default_options() {
    return "print_stacktrace=1:halt_on_error=1:abort_on_error=1";
}

namespace {

using campaign::Findings;
using campaign::Schedule;

constexpr int kPrintedSeeds = 20;
constexpr size_t kPrintedFindings = 6;

struct Totals {
    uint64_t schedules = 0;
    uint64_t failedCalls = 0;
    uint64_t crashes = 0;
    uint64_t leaks = 0;
    uint64_t invalidReports = 0;
    uint64_t mixedValues = 0;
    uint64_t flaky = 0;
    int failingSeeds = 0;
    // Findings with their numbers blurred: how often, and the first seed with each.
    std::map<std::string, std::pair<int, uint64_t>> kinds;
};

bool Failed(const Findings& findings) {
    return !findings.crashes.empty() || !findings.leaks.empty() || findings.invalidReports > 0 ||
           !findings.mixed.empty();
}

std::vector<std::pair<std::string, std::string>> Lines(const Findings& findings) {
    std::vector<std::pair<std::string, std::string>> lines;
    for (const auto& group :
         {std::make_pair("crash", &findings.crashes), std::make_pair("leak", &findings.leaks),
          std::make_pair("invalid", &findings.invalid), std::make_pair("mixed", &findings.mixed)}) {
        for (const std::string& text : *group.second) {
            lines.emplace_back(group.first, text);
        }
    }
    return lines;
}

std::string Blurred(const std::string& text) {
    std::string out;
    for (char c : text) {
        const bool digit = c >= '0' && c <= '9';
        if (!digit || out.empty() || out.back() != '#') {
            out.push_back(digit ? '#' : c);
        }
    }
    return out;
}

// replay: the arguments that run the schedule again as it failed.
void Count(const Schedule& schedule, const Findings& findings, const std::string& replay,
           size_t printedFindings, Totals* totals) {
    totals->schedules += 1;
    totals->failedCalls += static_cast<uint64_t>(findings.failedCalls);
    totals->crashes += findings.crashes.empty() ? 0 : 1;
    totals->leaks += findings.leaks.size();
    totals->invalidReports += static_cast<uint64_t>(findings.invalidReports);
    totals->mixedValues += findings.mixed.size();
    if (!Failed(findings)) {
        return;
    }
    const auto lines = Lines(findings);
    for (const auto& line : lines) {
        auto& kind = totals->kinds[line.first + ": " + Blurred(line.second)];
        kind.second = kind.first++ == 0 ? schedule.seed : kind.second;
    }
    if (totals->failingSeeds++ >= kPrintedSeeds) {
        return;
    }
    std::printf("seed %llu failed: %s\n", static_cast<unsigned long long>(schedule.seed),
                campaign::Describe(schedule).c_str());
    for (size_t i = 0; i < lines.size() && i < printedFindings; ++i) {
        std::printf("  %s: %s\n", lines[i].first.c_str(), lines[i].second.c_str());
    }
    if (lines.size() > printedFindings) {
        std::printf("  ... %zu more\n", lines.size() - printedFindings);
    }
    std::printf("  replay: %s\n", replay.c_str());
}

void PrintSummary(const Totals& totals) {
    if (!totals.kinds.empty()) {
        std::printf("findings by kind (numbers blurred):\n");
        for (const auto& kind : totals.kinds) {
            std::printf("  %6d x %s (first: seed %llu)\n", kind.second.first, kind.first.c_str(),
                        static_cast<unsigned long long>(kind.second.second));
        }
    }
    if (totals.failingSeeds > kPrintedSeeds) {
        std::printf("%d failing seeds, the first %d shown\n", totals.failingSeeds, kPrintedSeeds);
    }
    std::printf(
        "fault-campaign: %llu schedules, %llu calls failed, %llu crashes, %llu leaks, %llu "
        "invalid reports, %llu mixed-up values, %llu flaky\n",
        static_cast<unsigned long long>(totals.schedules),
        static_cast<unsigned long long>(totals.failedCalls),
        static_cast<unsigned long long>(totals.crashes),
        static_cast<unsigned long long>(totals.leaks),
        static_cast<unsigned long long>(totals.invalidReports),
        static_cast<unsigned long long>(totals.mixedValues),
        static_cast<unsigned long long>(totals.flaky));
}

std::string ReplayOf(const char* self, uint64_t seed) {
    return std::string(self) + " --seed " + std::to_string(seed);
}

// The value of a numeric option: digits only, and above 0 where it counts something.
bool Number(const char* text, bool positive, uint64_t* value) {
    const std::string digits = text;
    if (digits.empty() || digits.size() > 19 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    *value = std::strtoull(text, nullptr, 10);
    return !positive || *value > 0;
}

// One schedule in this process, told in full.
void Replay(uint64_t seed, bool verbose, const char* self, Totals* totals) {
    campaign::Reference reference;
    if (!campaign::MakeReference(&reference)) {
        std::exit(2);
    }
    const Schedule schedule = campaign::DrawSchedule(seed, reference.callCounts);
    std::printf("seed %llu: %s\n", static_cast<unsigned long long>(seed),
                campaign::Describe(schedule).c_str());
    Findings findings;
    std::string reports[2];
    campaign::RunSchedule(schedule, &reference, &findings, reports);
    if (verbose) {
        for (const auto& call : reference.callCounts) {
            std::printf("  %-26s %4d uses in the fault-free passes\n", call.first.c_str(),
                        call.second);
        }
        for (const std::string& line : layer::Journal()) {
            std::printf("  | %s\n", line.c_str());
        }
        for (int pass = 0; pass < 2; ++pass) {
            std::printf("report %d: %s\n", pass + 1, reports[pass].c_str());
        }
    }
    Count(schedule, findings, ReplayOf(self, seed), static_cast<size_t>(-1), totals);
}

void Campaign(uint64_t first, uint64_t count, uint64_t batch, bool stopAtFailure, const char* self,
              Totals* totals) {
    campaign::Reference reference;
    FILE* output = std::tmpfile();
    if (output == nullptr) {
        std::perror("tmpfile");
        std::exit(2);
    }
    Findings failure;
    if (!campaign::MakeReferenceInChild(&reference, output, &failure)) {
        Count(Schedule(), failure, ReplayOf(self, 0), kPrintedFindings, totals);
        return;
    }
    campaign::ChildRunner runner(reference, output);
    const uint64_t end = first + count;
    for (uint64_t seed = first; seed < end;) {
        bool exitFailed = false;
        const std::vector<campaign::SeedOutcome> outcomes =
            runner.RunBatch(seed, std::min(end, seed + batch), &exitFailed);
        for (const campaign::SeedOutcome& outcome : outcomes) {
            Findings findings = outcome.findings;
            std::string replay = ReplayOf(self, outcome.seed);
            if (batch > 1 && (exitFailed || Failed(findings))) {
                bool unused = false;
                const Findings alone =
                    runner.RunBatch(outcome.seed, outcome.seed + 1, &unused)[0].findings;
                if (Failed(alone)) {
                    findings = alone;
                } else if (Failed(findings)) {
                    ++totals->flaky;
                    findings.mixed.push_back("flaky: failed in its batch, passed alone");
                    replay = std::string(self) + " --first " + std::to_string(seed) + " --seeds " +
                             std::to_string(outcome.seed + 1 - seed) + " --batch " +
                             std::to_string(batch);
                }
            }
            Count(campaign::DrawSchedule(outcome.seed, reference.callCounts), findings, replay,
                  kPrintedFindings, totals);
        }
        seed = outcomes.back().seed + 1;
        if (stopAtFailure && totals->failingSeeds > 0) {
            return;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t first = 0;
    uint64_t count = 300;
    uint64_t batch = 1;
    bool replay = false;
    bool verbose = false;
    bool stopAtFailure = false;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (option == "--seeds" && hasValue && Number(argv[i + 1], true, &count)) {
            ++i;
        } else if (option == "--batch" && hasValue && Number(argv[i + 1], true, &batch)) {
            ++i;
        } else if ((option == "--first" || option == "--seed") && hasValue &&
                   Number(argv[i + 1], false, &first)) {
            ++i;
            replay = replay || option == "--seed";
        } else if (option == "--verbose") {
            verbose = true;
        } else if (option == "--stop") {
            stopAtFailure = true;
        } else {
            std::fprintf(
                stderr,
                "usage: %s [--seeds N] [--first S] [--batch K] [--stop] | --seed S [--verbose]\n",
                argv[0]);
            return 2;
        }
    }
    Totals totals;
    if (replay) {
        Replay(first, verbose, argv[0], &totals);
    } else {
        Campaign(first, count, batch, stopAtFailure, argv[0], &totals);
    }
    PrintSummary(totals);
    return totals.crashes + totals.leaks + totals.invalidReports + totals.mixedValues +
                       totals.flaky ==
                   0
               ? 0
               : 1;
}
