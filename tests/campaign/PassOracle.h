#pragma once

// What must hold after each pass of a schedule: a report in the exact format; every
// value the fault-free one unless a failure delivered to that record, its file or its
// pass may have changed it, and then only to that failure's documented value; records
// and file members missing only where such a failure explains it; and every delivered
// failure leaving its log record with the failing call's own code.

#include <cstdint>
#include <map>
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

// The files whose cached properties a delivered failure may have spoiled, with the
// effects it may have had: the cache serves an entry to every record of its pass.
typedef std::map<std::string, unsigned> SpoiledFiles;

// reference: the fault-free report of the same pass. spoiled: what this pass's failures
// left in the property cache.
void CheckPass(const Schedule& schedule, const PassRecord& pass, const std::string& reference,
               SpoiledFiles* spoiled, Findings* findings);

}  // namespace campaign
