// One seeded run on the bench that mixes what a machine does to the driver: console cycles,
// vendor requests from a caller holding the device, pipe opens, Plug and Play stops, removals and
// surprise removals with re-plugs, system sleep, wait-wake, early and late bus completions and
// allocation failures at a seeded rate. The seed fixes every actor's sequence of operations; a
// serial run carries them out one after another in one thread, with late bus completions in the
// run's own virtual time, so it replays exactly: the same calls, faults and latched words.
#pragma once

#include <cstdint>
#include <string>

namespace stress {

struct RunOptions {
    std::uint32_t seed = 1;
    bool concurrent = false;   // one thread per actor instead of one thread for all
    unsigned operations = 120; // across all actors
    unsigned watchdogMilliseconds = 60000;
    // After every signalled wake the system goes on at once instead of after half of them, so
    // that the next step always overlaps the driver's wait-wake dispatch.
    bool overlapWake = false;
};

struct RunFigures {
    unsigned operations = 0;
    unsigned requestsCompleted = 0; // device calls that returned to their caller
    unsigned faultsInjected = 0;    // allocations failed on purpose
    unsigned wordsLatched = 0;
    std::uint64_t wordsDigest = 0; // of the latched words, in latching order
    std::string faults; // what the checks after the run found, one line each; empty when sound
};

RunFigures MixedRun(const RunOptions& options);

} // namespace stress
