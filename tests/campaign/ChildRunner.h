#pragma once

// Runs schedules in child processes, so that a sanitizer abort, a signal or a hang
// ends only the child and is counted against the seed that caused it.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "campaign/ScheduleRun.h"

namespace campaign {

struct SeedOutcome {
    uint64_t seed = 0;
    Findings findings;
};

class ChildRunner {
  public:
    // output: a file for what the children write, kept for the excerpt of a crash.
    ChildRunner(const Reference& reference, FILE* output);

    // Runs the seeds from first to end (exclusive) in order in one child, until the
    // child ends; one outcome per seed begun, at least one. A child that ends in any
    // way inside a seed, before it reports the seed's end, gives that seed a crash. A
    // child that fails at its exit (the heap leak check) sets exitFailed and gives the
    // last seed the finding: which seed it belongs to only a run of each seed alone
    // tells. Under the sanitizers forking is the dear part of a seed: a batch shares it.
    std::vector<SeedOutcome> RunBatch(uint64_t first, uint64_t end, bool* exitFailed);

  private:
    const Reference& m_reference;
    FILE* m_output;
};

// The fault-free reference, made in a child: the children of the campaign are then
// forked from a parent that never ran the module, which keeps each fork cheap. When
// none can be made, failure tells why, as the findings of seed 0.
bool MakeReferenceInChild(Reference* reference, FILE* output, Findings* failure);

}  // namespace campaign
