// Seeded mixed runs on the bench. MORLIX_STRESS_SEED=<n> replays one seed (a serial run replays
// exactly); MORLIX_STRESS_RUNS=<n> sets how many seeds each test runs, and
// MORLIX_STRESS_OPERATIONS=<n> how many operations each run mixes, for longer runs than CI's;
// MORLIX_STRESS_OVERLAP_WAKE=1 lets the next step overlap every wake that was just signalled.
#include "mixed_run.h"

#include "sim/kernel/testing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace stress {
namespace {

unsigned FromEnvironment(const char* name, unsigned fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') {
        return fallback;
    }
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    return *end == '\0' ? static_cast<unsigned>(value) : fallback;
}

std::vector<std::uint32_t> Seeds(std::uint32_t first, unsigned defaultRuns) {
    if (std::getenv("MORLIX_STRESS_SEED") != nullptr) {
        return {FromEnvironment("MORLIX_STRESS_SEED", 1)};
    }
    std::vector<std::uint32_t> seeds;
    const unsigned runs = FromEnvironment("MORLIX_STRESS_RUNS", defaultRuns);
    for (unsigned i = 0; i < runs; ++i) {
        seeds.push_back(first + i);
    }
    return seeds;
}

void RunSeeds(bool concurrent, std::uint32_t first, unsigned defaultRuns) {
    RunFigures total;
    unsigned runs = 0;
    unsigned failed = 0;
    for (std::uint32_t seed : Seeds(first, defaultRuns)) {
        RunOptions options;
        options.seed = seed;
        options.concurrent = concurrent;
        options.operations = FromEnvironment("MORLIX_STRESS_OPERATIONS", options.operations);
        options.overlapWake = FromEnvironment("MORLIX_STRESS_OVERLAP_WAKE", 0) != 0;
        const RunFigures f = MixedRun(options);
        ++runs;
        total.operations += f.operations;
        total.requestsCompleted += f.requestsCompleted;
        total.faultsInjected += f.faultsInjected;
        total.wordsLatched += f.wordsLatched;
        if (!f.faults.empty()) {
            ++failed;
            ADD_FAILURE() << "seed " << seed << (concurrent ? " (concurrent)" : " (serial)")
                          << "; replay with MORLIX_STRESS_SEED=" << seed << ":\n"
                          << f.faults;
        }
        sim::kernel::ResetAll();
    }
    std::cout << "stress " << (concurrent ? "concurrent" : "serial") << ": " << runs << " runs, "
              << total.operations << " operations, " << total.faultsInjected << " faults injected, "
              << total.requestsCompleted << " requests completed, " << total.wordsLatched
              << " words latched, " << failed << " runs with faults\n";
}

TEST(MixedRun, SerialSeedsLeaveTheMachineSound) {
    RunSeeds(false, 1, 48);
}

TEST(MixedRun, ConcurrentSeedsLeaveTheMachineSound) {
    RunSeeds(true, 1001, 32);
}

// The seed fixes the operations and the allocations that fail: a serial run of it again makes
// the same calls, fails the same allocations and latches the same words in the same order (late
// bus completions run in the run's own virtual time, not by the wall clock).
TEST(MixedRun, ASerialRunReplaysItsOperationsAndFaults) {
    RunOptions options;
    options.seed = 7;
    const RunFigures a = MixedRun(options);
    sim::kernel::ResetAll();
    const RunFigures b = MixedRun(options);
    sim::kernel::ResetAll();
    EXPECT_EQ(a.faults, "");
    EXPECT_EQ(b.faults, "");
    EXPECT_EQ(a.operations, b.operations);
    EXPECT_EQ(a.requestsCompleted, b.requestsCompleted);
    EXPECT_EQ(a.faultsInjected, b.faultsInjected);
    EXPECT_GT(a.faultsInjected, 0u);
    EXPECT_GT(a.wordsLatched, 0u);
    EXPECT_EQ(a.wordsLatched, b.wordsLatched);
    EXPECT_EQ(a.wordsDigest, b.wordsDigest);
}

} // namespace
} // namespace stress
