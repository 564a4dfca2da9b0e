#include "agent/host/HostOptions.h"

#include <cerrno>
#include <cstdlib>

namespace {

// A whole decimal number within [low, high].
bool ParseNumber(const std::string& text, uint64_t low, uint64_t high, uint64_t* value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    errno = 0;
    const unsigned long long parsed = std::strtoull(text.c_str(), nullptr, 10);
    if (errno != 0 || parsed < low || parsed > high) {
        return false;
    }
    *value = parsed;
    return true;
}

constexpr uint64_t kMostPasses = 1000000;
constexpr uint64_t kLongestWaitMs = 24ULL * 3600 * 1000;

}  // namespace

const char* CHostOptions::Usage() {
    return "usage: korvaAgentHost [options]\n"
           "  --cmd-idx TEXT        request text \"cmd_idx\" handed to Start (default 1)\n"
           "  --trigger-type TEXT   request text \"trigger_type\" handed to Start (default "
           "manual)\n"
           "  --passes N            number of passes, each with its own Start (default 1)\n"
           "  --pause-ms MS         pause between two passes (default 1000)\n"
           "  --timeout-ms MS       how long a pass may take to deliver its report (default "
           "60000)\n"
           "  --log FILE            append the log to FILE instead of stderr\n"
           "  --help                this text\n"
           "A value may also follow its option after \"=\", as in --passes=3.\n"
           "Each report body is written to stdout as one line. Exit status: 0 every pass\n"
           "delivered a report, 1 bad options, 2 a pass delivered none in time, 3 a pass\n"
           "could not be started.\n";
}

bool CHostOptions::Parse(int argc, char** argv, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            help = true;
            continue;
        }
        // "--name=value" and "--name value" alike.
        std::string value;
        const size_t equals = name.find('=');
        const bool inlineValue = name.rfind("--", 0) == 0 && equals != std::string::npos;
        if (inlineValue) {
            value = name.substr(equals + 1);
            name.erase(equals);
        }
        if (!IsKnown(name)) {
            *error = "unknown option " + name;
            return false;
        }
        if (!inlineValue) {
            if (i + 1 >= argc) {
                *error = name + (IsNumeric(name) ? " needs a number" : " needs a value");
                return false;
            }
            value = argv[++i];
        }
        if (!Apply(name, value, error)) {
            return false;
        }
    }
    return true;
}

bool CHostOptions::IsKnown(const std::string& name) {
    return name == "--cmd-idx" || name == "--trigger-type" || name == "--log" || IsNumeric(name);
}

bool CHostOptions::IsNumeric(const std::string& name) {
    return name == "--passes" || name == "--pause-ms" || name == "--timeout-ms";
}

bool CHostOptions::Apply(const std::string& name, const std::string& value, std::string* error) {
    uint64_t number = 0;
    if (name == "--cmd-idx") {
        cmdIdx = value;
    } else if (name == "--trigger-type") {
        triggerType = value;
    } else if (name == "--log") {
        logFile = value;
    } else if (name == "--passes" && ParseNumber(value, 1, kMostPasses, &number)) {
        passes = static_cast<int>(number);
    } else if (name == "--pause-ms" && ParseNumber(value, 0, kLongestWaitMs, &number)) {
        pauseMs = number;
    } else if (name == "--timeout-ms" && ParseNumber(value, 1, kLongestWaitMs, &number)) {
        timeoutMs = number;
    } else {
        const uint64_t low = name == "--pause-ms" ? 0 : 1;
        const uint64_t high = name == "--passes" ? kMostPasses : kLongestWaitMs;
        *error = name + " needs a number from " + std::to_string(low) + " to " +
                 std::to_string(high) + ", not \"" + value + "\"";
        return false;
    }
    return true;
}
