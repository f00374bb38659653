// GoogleTest support for code that runs on the simulated kernel: a fixture that starts every test
// from a clean kernel and fails the test when the verifier recorded a fault that the test did not
// take. Include only from test programs (it needs GoogleTest).
#pragma once

#include <gtest/gtest.h>

#include "sim/kernel/control.h"

namespace sim::kernel {

// Fails the current test if any violation is recorded; lists them all.
inline void ExpectNoViolations() {
    std::string text = DescribeViolations();
    EXPECT_TRUE(text.empty()) << text;
}

// Returns the recorded violations and clears them, for tests that provoke a fault on purpose.
inline std::vector<Violation> TakeViolations() {
    std::vector<Violation> list = Violations();
    ClearViolations();
    return list;
}

// True if exactly the given kinds were recorded (in any order, each at least once) and nothing
// else.
inline bool OnlyViolationsOf(const std::vector<Violation>& list,
                             std::initializer_list<ViolationKind> kinds) {
    if (list.empty())
        return false;
    for (const Violation& v : list) {
        bool expected = false;
        for (ViolationKind k : kinds)
            expected = expected || v.kind == k;
        if (!expected)
            return false;
    }
    for (ViolationKind k : kinds) {
        bool seen = false;
        for (const Violation& v : list)
            seen = seen || v.kind == k;
        if (!seen)
            return false;
    }
    return true;
}

class KernelTest : public ::testing::Test {
protected:
    void SetUp() override { ResetAll(); }
    // What the test left behind (requests, pool, device objects) is a fault of the test's
    // drivers, reported before the kernel forgets it.
    void TearDown() override {
        CheckEndOfRun("the end of the test");
        ExpectNoViolations();
        ResetAll();
    }
};

} // namespace sim::kernel
