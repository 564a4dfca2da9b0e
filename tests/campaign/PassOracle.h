#pragma once

// What must hold after each pass of a schedule: a report in the exact format, whose
// every value is the fault-free one or its documented failure value, records missing
// only where the process could not be opened or timed, and every delivered failure
// leaving its log record with the failing call's own code.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "campaign/FaultSchedule.h"
#include "layer/Control.h"

namespace campaign {

// Every consulted call first sets this last error (layer::ClobberLastError): a
// failure record that shows it read GetLastError although no call had failed.
constexpr DWORD kStaleError = 0x0BADC0DE;

struct Findings {
    int failedCalls = 0;               // scheduled failures that were delivered
    int invalidReports = 0;            // reports that break the format
    std::vector<std::string> crashes;  // signals, sanitizer reports, hangs
    std::vector<std::string> leaks;    // unbalanced counters, bad releases, heap leaks
    std::vector<std::string> invalid;  // why the invalid reports are invalid
    std::vector<std::string> mixed;    // values or log records lost or mixed up
};

// One line of a pass's journal.
struct Event {
    enum Kind { kCall, kLog, kOther };
    Kind kind = kOther;
    std::string call;  // kCall: the call and its use
    int use = 0;
    layer::LogRecord log;  // kLog
    std::string text;      // the journal line
};

// One pass as the runner saw it.
struct PassRecord {
    int pass = 0;
    std::vector<int64_t> enumerated;  // pids the pass's enumeration lists, ascending
    std::vector<Event> events;
    std::vector<std::pair<std::string, std::string>> messages;  // sent during the pass
};

// reference: the fault-free report of the same pass; firstReference: that of pass 1,
// whose file properties a time-0 cache entry may still serve in pass 2.
void CheckPass(const Schedule& schedule, const PassRecord& pass, const std::string& reference,
               const std::string& firstReference, Findings* findings);

}  // namespace campaign
