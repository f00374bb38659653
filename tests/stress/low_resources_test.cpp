// Low resources, systematically: for each Plug and Play and I/O step of the driver on the bench,
// the 1st, 2nd, ... Nth pool allocation (and, apart, request allocation) made by driver code
// fails in turn, until the step runs without reaching the failing one. Every run must end (a
// watchdog ends a hang), tell its caller how it went (success that is real, or a failing
// status), and leave nothing behind: the verifier silent once the bench is taken apart, so no
// pool by tag, no request, no double completion.
#include "norvask.h"
#include "watchdog.h"

#include "sim/bench/bench.h"
#include "sim/kernel/testing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

namespace stress {
namespace {

using morlix::test::Watchdog;

using namespace sim::wdm;
using sim::bench::Bench;
using sim::bench::BenchOptions;
using sim::win::Handle;
using sim::win::InvalidHandleValue;

constexpr unsigned kMaxFailurePoint = 64;
constexpr std::uint8_t kWritePorts[8] = {8, 18, 10, 10, 0x5A, 0x01, 0, 0};
constexpr std::uint8_t kReadSerial[8] = {8, 18, 11, 10, 0, 0, 0, 0};
constexpr std::uint32_t kSerial = 0x00012345;

enum class Allocation { Pool, Request };

const char* AllocationName(Allocation kind) {
    return kind == Allocation::Pool ? "pool" : "request";
}

std::string Path(Bench& bench) {
    return bench.registry()
        .GetString(sim::registry::RegRoot::LocalMachine, contract::ParametersKey, "DeviceName")
        .value_or("");
}

// The path of the enabled device interface, as an application that enumerates the interface
// class opens it: a driver that could not publish its path may still run.
std::string InterfacePath() {
    for (const auto& i : sim::kernel::ListDeviceInterfaces()) {
        if (i.enabled && i.linkName.rfind(u"\\??\\", 0) == 0) {
            return "\\\\.\\" + sim::registry::Utf16ToUtf8(i.linkName.substr(4));
        }
    }
    return "";
}

// The device answers as it should: it opens, reads the chip's serial number and closes.
bool DeviceWorks(Bench& bench) {
    const Handle h = bench.io().CreateFileA(InterfacePath().c_str());
    if (h == InvalidHandleValue) {
        return false;
    }
    std::uint8_t reply[8] = {};
    std::uint32_t returned = 0;
    const bool ok = bench.io().DeviceIoControl(h, norvask::IOCTL_VENDOR_REQUEST, kReadSerial, 8,
                                               reply, 8, &returned);
    bench.io().CloseHandle(h);
    return ok && returned == 4 &&
           (reply[0] | reply[1] << 8 | reply[2] << 16 |
            static_cast<std::uint32_t>(reply[3]) << 24) == kSerial;
}

// The function device on the chip's stack, or null.
PDEVICE_OBJECT Fdo(Bench& bench) {
    if (bench.device() == nullptr || bench.device()->PdoDeleted() ||
        !sim::kernel::IsDeviceObjectValid(bench.pdo())) {
        return nullptr;
    }
    return bench.pdo()->AttachedDevice;
}

// A device at rest holds only its own count: nothing is inside the driver.
void ExpectAtRest(Bench& bench, const std::string& where) {
    PDEVICE_OBJECT fdo = Fdo(bench);
    if (fdo == nullptr || !sim::kernel::IsDeviceAlive(fdo)) {
        return;
    }
    sim::kernel::DrainDispatchWork();
    const auto* ext = static_cast<const norvask::DeviceExtension*>(fdo->DeviceExtension);
    EXPECT_EQ(__atomic_load_n(&ext->PendingIoCount, __ATOMIC_ACQUIRE), 1) << where;
}

struct Scenario {
    const char* name;
    bool plugged;                        // the chip is plugged and started before the step
    std::function<void(Bench&)> prepare; // more set-up, with no failure injected
    // The step itself: false when it told its caller it failed (with the reason in `status`).
    std::function<bool(Bench&, std::uint32_t& status)> step;
    // After a step that said it succeeded: it really did. After one that failed: the machine
    // stays sound (checked by the verifier at shutdown).
    std::function<bool(Bench&)> succeeded;
};

struct Handles {
    Handle handle = InvalidHandleValue;
    PDEVICE_OBJECT fdo = nullptr;
};

std::vector<Scenario> Scenarios(Handles& held) {
    return {
        {"start", false, nullptr,
         [](Bench& bench, std::uint32_t& status) {
             status = static_cast<std::uint32_t>(bench.Plug());
             return NT_SUCCESS(static_cast<NTSTATUS>(status));
         },
         [](Bench& bench) { return DeviceWorks(bench); }},
        {"vendor request", true,
         [&held](Bench& bench) { held.handle = bench.io().CreateFileA(Path(bench).c_str()); },
         [&held](Bench& bench, std::uint32_t& status) {
             std::uint8_t reply[8] = {};
             std::uint32_t returned = 0;
             const bool ok = bench.io().DeviceIoControl(held.handle, norvask::IOCTL_VENDOR_REQUEST,
                                                        kWritePorts, 8, reply, 8, &returned);
             status = ok ? 0 : sim::win::GetLastError();
             bench.io().CloseHandle(held.handle);
             return ok;
         },
         [](Bench& bench) { return bench.coil().PortA() == 0x5A && bench.coil().PortB() == 0x01; }},
        {"pipe open", true, nullptr,
         [&held](Bench& bench, std::uint32_t& status) {
             held.handle = bench.io().CreateFileA((Path(bench) + "\\PIPE01").c_str());
             status = held.handle == InvalidHandleValue ? sim::win::GetLastError() : 0;
             return held.handle != InvalidHandleValue;
         },
         [&held](Bench& bench) {
             const bool closed = bench.io().CloseHandle(held.handle);
             return closed && DeviceWorks(bench);
         }},
        {"stop and restart", true, nullptr,
         [](Bench& bench, std::uint32_t& status) {
             status = static_cast<std::uint32_t>(bench.pnp().Rebalance(bench.pdo()));
             return NT_SUCCESS(static_cast<NTSTATUS>(status));
         },
         [](Bench& bench) { return DeviceWorks(bench); }},
        {"surprise removal", true,
         [&held](Bench& bench) {
             held.fdo = Fdo(bench);
             held.handle = bench.io().CreateFileA(Path(bench).c_str());
         },
         [&held](Bench& bench, std::uint32_t& status) {
             const bool ok = bench.Unplug();
             bench.io().CloseHandle(held.handle);
             status = ok ? 0 : 1;
             return ok;
         },
         [&held](Bench&) { return !sim::kernel::IsDeviceAlive(held.fdo); }},
        {"remove", true, [&held](Bench& bench) { held.fdo = Fdo(bench); },
         [](Bench& bench, std::uint32_t& status) {
             status = static_cast<std::uint32_t>(bench.pnp().RemoveDevice(bench.pdo()));
             return NT_SUCCESS(static_cast<NTSTATUS>(status));
         },
         [&held](Bench&) { return !sim::kernel::IsDeviceAlive(held.fdo); }},
    };
}

void Fail(Allocation kind, unsigned n) {
    if (kind == Allocation::Pool) {
        sim::kernel::FailPoolAllocationNumber(n);
    } else {
        sim::kernel::FailIrpAllocationNumber(n);
    }
}

struct SweepTotals {
    unsigned runs = 0;
    unsigned injected = 0;
    unsigned failedSteps = 0;
};

// Fails the 1st, 2nd, ... allocation of `kind` during one scenario's step until the step makes
// fewer allocations than that.
void Sweep(const Scenario& scenario, Handles& held, Allocation kind, SweepTotals& totals) {
    unsigned n = 1;
    for (; n <= kMaxFailurePoint; ++n) {
        const std::string where = std::string(scenario.name) + ", " + AllocationName(kind) +
                                  " allocation " + std::to_string(n) + " fails";
        Watchdog dog(std::chrono::seconds(30), where);
        held = {};
        unsigned injected = 0;
        std::string found;
        {
            BenchOptions options;
            options.plug = scenario.plugged;
            options.poolTag = norvask::kPoolTag;
            Bench bench(
                [](PDRIVER_OBJECT d, PUNICODE_STRING r) { return norvask::DriverEntry(d, r); },
                options);
            if (scenario.plugged) {
                ASSERT_EQ(bench.plugStatus(), STATUS_SUCCESS) << where;
            }
            if (scenario.prepare) {
                scenario.prepare(bench);
            }
            ASSERT_EQ(sim::kernel::DescribeViolations(), "") << where << ", before the step";
            dog.Step("the step");
            Fail(kind, n);
            std::uint32_t status = 0;
            const bool ok = scenario.step(bench, status);
            sim::kernel::DrainDispatchWork();
            injected = sim::kernel::FailedAllocationCount();
            sim::kernel::ClearFaultInjection();
            dog.Step("the checks");
            if (ok) {
                EXPECT_TRUE(scenario.succeeded(bench)) << where
                                                       << ": reported success, but it "
                                                          "did not happen";
            } else {
                EXPECT_NE(status, 0u) << where << ": failed with no reason given";
                ++totals.failedSteps;
                // A failed step leaves its handle to the bench's shutdown.
                if (held.handle != InvalidHandleValue &&
                    std::string(scenario.name) == "pipe open") {
                    bench.io().CloseHandle(held.handle);
                }
            }
            ExpectAtRest(bench, where);
            dog.Step("shutdown");
            found = bench.Shutdown();
        }
        ++totals.runs;
        totals.injected += injected;
        EXPECT_EQ(found, "") << where;
        if (injected == 0) {
            break; // the step no longer reaches the failing allocation: it ran clean
        }
    }
    std::cout << "  " << scenario.name << ": " << n - 1 << " " << AllocationName(kind)
              << " allocations failed in turn\n";
    EXPECT_LE(n, kMaxFailurePoint)
        << scenario.name << ": still allocating after " << kMaxFailurePoint << " "
        << AllocationName(kind) << " allocations";
}

class LowResources : public sim::kernel::KernelTest {};

TEST_F(LowResources, EveryStepSurvivesEachOfItsAllocationsFailingInTurn) {
    Handles held;
    SweepTotals totals;
    for (const Scenario& scenario : Scenarios(held)) {
        for (Allocation kind : {Allocation::Pool, Allocation::Request}) {
            SCOPED_TRACE(std::string(scenario.name) + ", " + AllocationName(kind));
            Sweep(scenario, held, kind, totals);
        }
    }
    // Every scenario runs at least once clean, and the step of each makes some allocation.
    EXPECT_GT(totals.injected, 6u);
    std::cout << "low resources: " << totals.runs << " runs, " << totals.injected
              << " allocation failures injected, " << totals.failedSteps
              << " steps failed with a status\n";
    RecordProperty("runs", static_cast<int>(totals.runs));
    RecordProperty("faults_injected", static_cast<int>(totals.injected));
}

} // namespace
} // namespace stress
