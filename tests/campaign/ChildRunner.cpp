#include "campaign/ChildRunner.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace campaign {

namespace {

// A seed runs in well under a second; a minute means it hangs.
constexpr unsigned kSeedAlarmSeconds = 60;
// A child whose pass never ended leaves at once: its worker thread may still run.
constexpr int kStuckExit = 3;
constexpr int kExcerptLines = 12;

// ---- Pipes

void WriteAll(int fd, const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        const ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written <= 0) {
            return;
        }
        done += static_cast<size_t>(written);
    }
}

std::string ReadAll(int fd) {
    std::string data;
    char buffer[4096];
    for (ssize_t got; (got = read(fd, buffer, sizeof(buffer))) > 0;) {
        data.append(buffer, static_cast<size_t>(got));
    }
    return data;
}

// Length-prefixed fields: any byte may travel.
void PutField(std::string& out, const std::string& field) {
    out += std::to_string(field.size()) + "\n" + field;
}

bool TakeField(const std::string& in, size_t* at, std::string* field) {
    const size_t newline = in.find('\n', *at);
    if (newline == std::string::npos) {
        return false;
    }
    const size_t size = std::strtoull(in.c_str() + *at, nullptr, 10);
    if (size > in.size() - newline - 1) {
        return false;
    }
    *field = in.substr(newline + 1, size);
    *at = newline + 1 + size;
    return true;
}

// Runs work in a child whose pipe end is its argument; returns what it wrote and how
// it ended.
template <typename Work>
std::string InChild(Work work, FILE* output, int* status) {
    int channel[2];
    if (pipe(channel) != 0) {
        std::perror("pipe");
        std::exit(2);
    }
    std::fflush(nullptr);
    if (output != nullptr) {
        ftruncate(fileno(output), 0);
        lseek(fileno(output), 0, SEEK_SET);
    }
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        if (output != nullptr) {
            dup2(fileno(output), STDOUT_FILENO);
            dup2(fileno(output), STDERR_FILENO);
        }
        const rlimit noCore = {0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        work(channel[1]);
        close(channel[1]);
        std::exit(0);  // the sanitizer looks for heap leaks on the way out
    }
    close(channel[1]);
    std::string data = ReadAll(channel[0]);
    close(channel[0]);
    waitpid(child, status, 0);
    return data;
}

// ---- Findings, one "<kind> <text>" line each.

std::string Serialise(const Findings& findings) {
    std::string out = "calls " + std::to_string(findings.failedCalls) + "\ninvalidReports " +
                      std::to_string(findings.invalidReports) + "\n";
    for (const auto& group :
         {std::make_pair("crash", &findings.crashes), std::make_pair("leak", &findings.leaks),
          std::make_pair("invalid", &findings.invalid), std::make_pair("mixed", &findings.mixed)}) {
        for (std::string text : *group.second) {
            std::replace(text.begin(), text.end(), '\n', ' ');
            out += std::string(group.first) + " " + text + "\n";
        }
    }
    return out;
}

void DeserialiseLine(const std::string& line, Findings* findings) {
    const size_t space = line.find(' ');
    const std::string kind = line.substr(0, space);
    const std::string text = space == std::string::npos ? "" : line.substr(space + 1);
    if (kind == "calls") {
        findings->failedCalls = std::atoi(text.c_str());
    } else if (kind == "invalidReports") {
        findings->invalidReports = std::atoi(text.c_str());
    } else if (kind == "crash") {
        findings->crashes.push_back(text);
    } else if (kind == "leak") {
        findings->leaks.push_back(text);
    } else if (kind == "invalid") {
        findings->invalid.push_back(text);
    } else if (kind == "mixed") {
        findings->mixed.push_back(text);
    }
}

// The sanitizer's own words: a dozen lines from its first report line on, or the
// last lines the child wrote.
std::string Excerpt(FILE* output) {
    lseek(fileno(output), 0, SEEK_SET);
    const std::string said = ReadAll(fileno(output));
    size_t at = std::string::npos;
    for (const char* mark : {"ERROR: ", "runtime error", "LeakSanitizer"}) {
        at = std::min(at, said.find(mark));
    }
    size_t start = at == std::string::npos ? said.size() : said.rfind('\n', at) + 1;
    if (at == std::string::npos) {
        for (int line = 0; line <= kExcerptLines && start > 0; ++line) {
            start = said.rfind('\n', start - 1);
            start = start == std::string::npos ? 0 : start;
        }
    }
    size_t end = start;
    for (int line = 0; line < kExcerptLines && end < said.size(); ++line) {
        const size_t newline = said.find('\n', end);
        end = newline == std::string::npos ? said.size() : newline + 1;
    }
    std::string text = said.substr(start, end - start);
    std::replace(text.begin(), text.end(), '\n', '|');
    return text;
}

std::string HowItEnded(int status) {
    if (WIFSIGNALED(status)) {
        return "signal " + std::to_string(WTERMSIG(status)) +
               (WTERMSIG(status) == SIGALRM
                    ? " (no end within " + std::to_string(kSeedAlarmSeconds) + " s)"
                    : "");
    }
    return "exit " + std::to_string(WEXITSTATUS(status));
}

}  // namespace

ChildRunner::ChildRunner(const Reference& reference, FILE* output)
    : m_reference(reference), m_output(output) {}

std::vector<SeedOutcome> ChildRunner::RunBatch(uint64_t first, uint64_t end, bool* exitFailed) {
    int status = 0;
    const Reference& reference = m_reference;
    const std::string data = InChild(
        [&reference, first, end](int fd) {
            for (uint64_t seed = first; seed < end; ++seed) {
                WriteAll(fd, "begin " + std::to_string(seed) + "\n");
                alarm(kSeedAlarmSeconds);
                Findings findings;
                std::string reports[2];
                RunSchedule(DrawSchedule(seed, reference.callCounts), &reference, &findings,
                            reports);
                WriteAll(fd, Serialise(findings) + "end\n");
                if (!findings.crashes.empty()) {
                    _exit(kStuckExit);
                }
            }
            alarm(0);
        },
        m_output, &status);
    std::vector<SeedOutcome> outcomes;
    bool ended = true;
    for (size_t at = 0; at < data.size();) {
        const size_t newline = std::min(data.find('\n', at), data.size());
        const std::string line = data.substr(at, newline - at);
        at = newline + 1;
        if (line.compare(0, 6, "begin ") == 0) {
            outcomes.emplace_back();
            outcomes.back().seed = std::strtoull(line.c_str() + 6, nullptr, 10);
            ended = false;
        } else if (line == "end") {
            ended = true;
        } else if (!outcomes.empty()) {
            DeserialiseLine(line, &outcomes.back().findings);
        }
    }
    *exitFailed = false;
    // A child that ends, even with 0, before it reports a seed's end crashed in that seed.
    if (ended && !outcomes.empty() && WIFEXITED(status) &&
        (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == kStuckExit)) {
        return outcomes;
    }
    if (outcomes.empty()) {
        outcomes.emplace_back();
        outcomes.back().seed = first;
        ended = false;
    }
    const std::string what = HowItEnded(status) + ": " + Excerpt(m_output);
    Findings& last = outcomes.back().findings;
    if (!ended) {
        last.crashes.push_back(what);
    } else {
        *exitFailed = true;
        if (what.find("LeakSanitizer") != std::string::npos) {
            last.leaks.push_back("heap leak, " + what);
        } else {
            last.crashes.push_back("at exit, " + what);
        }
    }
    return outcomes;
}

bool MakeReferenceInChild(Reference* reference, FILE* output, Findings* failure) {
    int status = 0;
    const std::string data = InChild(
        [](int fd) {
            Reference made;
            if (!MakeReference(&made)) {
                std::exit(2);
            }
            std::string out;
            PutField(out, made.reports[0]);
            PutField(out, made.reports[1]);
            for (const auto& call : made.callCounts) {
                PutField(out, call.first);
                PutField(out, std::to_string(call.second));
            }
            WriteAll(fd, out);
        },
        output, &status);
    size_t at = 0;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
        TakeField(data, &at, &reference->reports[0]) &&
        TakeField(data, &at, &reference->reports[1])) {
        std::string call;
        std::string uses;
        while (TakeField(data, &at, &call) && TakeField(data, &at, &uses)) {
            reference->callCounts[call] = std::atoi(uses.c_str());
        }
        return true;
    }
    const std::string what =
        "no fault-free reference, " + HowItEnded(status) + ": " + Excerpt(output);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 2) {
        failure->mixed.push_back(what);  // MakeReference said why
    } else {
        failure->crashes.push_back(what);
    }
    return false;
}

}  // namespace campaign
