#pragma once

// Runs one schedule: a fresh scripted machine, two passes of the module with the
// schedule's faults, Stop and thread start, the caches carried from one pass to the
// next, and every check after each pass.

#include <map>
#include <string>
#include <vector>

#include "campaign/FaultSchedule.h"
#include "campaign/PassOracle.h"

namespace campaign {

// What the fault-free schedule gives on the campaign's machine.
struct Reference {
    std::string reports[2];                 // one per pass
    std::map<std::string, int> callCounts;  // uses of every consulted call, both passes
};

// Without a reference the passes are only recorded (that is how the reference is
// made): reports[i] is pass i+1's report, "" when it sent none. Findings get what the
// checks found; the journal of the run is left in the layer for a closer look.
void RunSchedule(const Schedule& schedule, const Reference* reference, Findings* findings,
                 std::string reports[2]);

// The fault-free schedule, run twice: both passes must report, alike each time, and
// every call it consults must have an entry in the table of plausible errors.
// Complains on stderr and returns false otherwise.
bool MakeReference(Reference* reference);

}  // namespace campaign
