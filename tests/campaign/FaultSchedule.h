#pragma once

// What one seed of the fault campaign does to its two passes, drawn so that the
// same seed always gives the same schedule.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "layer/WinTypes.h"

namespace campaign {

// A scripted call failing on its nth use, or on every use from the nth on.
struct Fault {
    std::string call;
    int nth = 0;
    bool onward = false;
    DWORD error = 0;
};

struct Schedule {
    uint64_t seed = 0;
    std::vector<Fault> faults;
    std::string stopCall;  // Stop lands on use stopUse of this call; "" for none
    int stopUse = 0;
    int failedStartPass = 0;      // 1 or 2: that pass's first Start cannot start its thread
    int failedSendPass = 0;       // 1 or 2: the channel refuses that pass's report
    bool destroyBetween = false;  // a new module object for pass 2 (the caches stay)
};

// Error codes that the call plausibly fails with; empty for a call that is only
// counted (it can still carry a Stop); null for a call this table does not know.
const std::vector<DWORD>* PlausibleErrors(const std::string& call);

// A point the layer marks for tests, not a call of the system: never failed, and no
// Stop lands there (the host's own Stop waits at it).
bool IsTestSeam(const std::string& call);

// Seed 0 is the fault-free schedule. Any other seed draws its faults over the calls
// that the fault-free run consulted (callCounts: call -> uses in both passes), each at
// one of those uses.
Schedule DrawSchedule(uint64_t seed, const std::map<std::string, int>& callCounts);

// Whether that use of the call fails under the schedule, and with what code.
bool ScheduledFailure(const Schedule& schedule, const std::string& call, int use, DWORD* error);

// Plans the schedule's faults in the layer (Stop and the thread start are the runner's).
void InstallFaults(const Schedule& schedule);

// "OpenProcess#3=5 VerQueryValueA#7..=1813 stop@GetFileTime#2 ...".
std::string Describe(const Schedule& schedule);

}  // namespace campaign
