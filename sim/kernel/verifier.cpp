// Violation log and fault injection.
#include "sim/kernel/internal.h"

#include <atomic>
#include <mutex>
#include <random>

namespace sim::kernel {

namespace {

detail::ShortLock g_mutex;
std::vector<Violation> g_violations;

struct FaultPlan {
    unsigned poolNth = 0; // 0: off
    unsigned poolSeen = 0;
    unsigned irpNth = 0;
    unsigned irpSeen = 0;
    double poolProbability = 0;
    double irpProbability = 0;
    std::mt19937 poolRandom;
    std::mt19937 irpRandom;
    unsigned failed = 0;
};
detail::ShortLock g_faultMutex;
FaultPlan g_faults;
// Whether a plan for pool or for requests is set at all, so that an allocation made while none
// is (the common case) looks at no more than this. Written under g_faultMutex.
std::atomic<bool> g_poolPlanned{false};
std::atomic<bool> g_irpPlanned{false};

// Call with g_faultMutex held, after any change of g_faults.
void NotePlansLocked() {
    g_poolPlanned.store(g_faults.poolNth != 0 || g_faults.poolProbability > 0,
                        std::memory_order_release);
    g_irpPlanned.store(g_faults.irpNth != 0 || g_faults.irpProbability > 0,
                       std::memory_order_release);
}

bool Draw(std::mt19937& random, double probability) {
    if (probability <= 0)
        return false;
    return std::uniform_real_distribution<double>(0.0, 1.0)(random) < probability;
}

} // namespace

const char* ViolationKindName(ViolationKind kind) {
    switch (kind) {
    case ViolationKind::CompletedTwice:
        return "completed twice";
    case ViolationKind::NeverCompleted:
        return "never completed";
    case ViolationKind::PendingNotMarked:
        return "STATUS_PENDING without IoMarkIrpPending";
    case ViolationKind::MarkedPendingReturnedOther:
        return "marked pending, answered synchronously";
    case ViolationKind::PendingNotPropagated:
        return "pending not propagated";
    case ViolationKind::ReturnedWithoutCompleting:
        return "returned without completing";
    case ViolationKind::WaitAtDispatchLevel:
        return "wait at DISPATCH_LEVEL or above";
    case ViolationKind::PagedPoolAtDispatchLevel:
        return "paged pool at DISPATCH_LEVEL";
    case ViolationKind::PowerIrpWithoutStartNext:
        return "power request without PoStartNextPowerIrp";
    case ViolationKind::FreedWhileInUse:
        return "request freed while in use";
    case ViolationKind::UseAfterFree:
        return "use after free";
    case ViolationKind::PoolLeak:
        return "pool leak";
    case ViolationKind::RequestLeak:
        return "request leak";
    case ViolationKind::WrongPoolTag:
        return "wrong pool tag";
    case ViolationKind::BadPoolFree:
        return "bad pool free";
    case ViolationKind::InformationTooLarge:
        return "Information larger than the output buffer";
    case ViolationKind::DeleteWhileAttached:
        return "IoDeleteDevice while attached";
    case ViolationKind::DeleteWhileShutdownRegistered:
        return "IoDeleteDevice while registered for shutdown";
    case ViolationKind::NoMoreStackLocations:
        return "no more stack locations";
    case ViolationKind::IrqlMisuse:
        return "IRQL misuse";
    case ViolationKind::BadArgument:
        return "bad argument";
    case ViolationKind::StackLocationNotSetUp:
        return "next stack location not set up";
    case ViolationKind::RoutineAfterSkip:
        return "completion routine set after IoSkipCurrentIrpStackLocation";
    case ViolationKind::SpinLockMisuse:
        return "spin lock misuse";
    case ViolationKind::LeftAtEnd:
        return "left at the end";
    }
    return "unknown";
}

std::vector<Violation> Violations() {
    std::lock_guard lock(g_mutex);
    return g_violations;
}

void ClearViolations() {
    std::lock_guard lock(g_mutex);
    g_violations.clear();
}

std::string DescribeViolations() {
    std::lock_guard lock(g_mutex);
    std::string text;
    for (const Violation& v : g_violations) {
        text += "verifier: ";
        text += ViolationKindName(v.kind);
        text += ": ";
        text += v.message;
        text += '\n';
    }
    return text;
}

void ReportViolation(ViolationKind kind, std::string message) {
    std::lock_guard lock(g_mutex);
    g_violations.push_back({kind, std::move(message)});
}

void FailPoolAllocationNumber(unsigned n) {
    std::lock_guard lock(g_faultMutex);
    g_faults.poolNth = n;
    g_faults.poolSeen = 0;
    NotePlansLocked();
}

void FailIrpAllocationNumber(unsigned n) {
    std::lock_guard lock(g_faultMutex);
    g_faults.irpNth = n;
    g_faults.irpSeen = 0;
    NotePlansLocked();
}

void SetPoolFailureProbability(double probability, uint32_t seed) {
    std::lock_guard lock(g_faultMutex);
    g_faults.poolProbability = probability;
    g_faults.poolRandom.seed(seed);
    NotePlansLocked();
}

void SetIrpFailureProbability(double probability, uint32_t seed) {
    std::lock_guard lock(g_faultMutex);
    g_faults.irpProbability = probability;
    g_faults.irpRandom.seed(seed);
    NotePlansLocked();
}

void ClearFaultInjection() {
    std::lock_guard lock(g_faultMutex);
    unsigned failed = g_faults.failed;
    g_faults = FaultPlan{};
    g_faults.failed = failed;
    NotePlansLocked();
}

unsigned FailedAllocationCount() {
    std::lock_guard lock(g_faultMutex);
    return g_faults.failed;
}

namespace detail {

void Report(ViolationKind kind, std::string message) {
    ReportViolation(kind, std::move(message));
}

bool ShouldFailPool() {
    if (!g_poolPlanned.load(std::memory_order_acquire))
        return false;
    std::lock_guard lock(g_faultMutex);
    bool fail = false;
    if (g_faults.poolNth != 0 && ++g_faults.poolSeen == g_faults.poolNth) {
        fail = true;
        g_faults.poolNth = 0;
        NotePlansLocked();
    }
    if (!fail)
        fail = Draw(g_faults.poolRandom, g_faults.poolProbability);
    if (fail)
        ++g_faults.failed;
    return fail;
}

bool ShouldFailIrp() {
    if (!g_irpPlanned.load(std::memory_order_acquire))
        return false;
    std::lock_guard lock(g_faultMutex);
    bool fail = false;
    if (g_faults.irpNth != 0 && ++g_faults.irpSeen == g_faults.irpNth) {
        fail = true;
        g_faults.irpNth = 0;
        NotePlansLocked();
    }
    if (!fail)
        fail = Draw(g_faults.irpRandom, g_faults.irpProbability);
    if (fail)
        ++g_faults.failed;
    return fail;
}

void ResetVerifier() {
    {
        std::lock_guard lock(g_mutex);
        g_violations.clear();
    }
    std::lock_guard lock(g_faultMutex);
    g_faults = FaultPlan{};
    NotePlansLocked();
}

} // namespace detail

} // namespace sim::kernel
