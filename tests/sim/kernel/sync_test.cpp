// Events with timed waits, IRQL per thread, spin locks and interlocked counters.
#include "scripted_driver.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace simtest {
namespace {

using sim::kernel::KernelTest;
using Clock = std::chrono::steady_clock;

LARGE_INTEGER Relative(LONGLONG hundredNanoseconds) {
    LARGE_INTEGER t;
    t.QuadPart = -hundredNanoseconds;
    return t;
}

using EventTest = KernelTest;

TEST_F(EventTest, NotificationEventReleasesEveryWaitUntilCleared) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    LARGE_INTEGER none = Relative(0);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &none), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &none), STATUS_SUCCESS);
    KeClearEvent(&event);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &none), STATUS_TIMEOUT);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(EventTest, SynchronizationEventReleasesOneWaitPerSignal) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    LARGE_INTEGER none = Relative(0);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &none), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &none), STATUS_TIMEOUT);
}

TEST_F(EventTest, RelativeTimeoutIsInHundredNanosecondUnits) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER twoMs = Relative(20000);
    auto start = Clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, UserRequest, KernelMode, FALSE, &twoMs),
              STATUS_TIMEOUT);
    auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(2));
    EXPECT_LT(waited, std::chrono::milliseconds(500));
}

TEST_F(EventTest, AbsoluteTimeoutInThePastReturnsAtOnce) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    LARGE_INTEGER past;
    past.QuadPart = now.QuadPart - 10000000; // a second ago
    auto start = Clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &past), STATUS_TIMEOUT);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
}

TEST_F(EventTest, SignalFromAnotherThreadEndsAnUnboundedWait) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        sim::kernel::RunAtIrql(DISPATCH_LEVEL, [&] { KeSetEvent(&event, 1, FALSE); });
    });
    EXPECT_EQ(KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    setter.join();
}

TEST_F(EventTest, SignalBeforeTheTimeoutWins) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    sim::kernel::QueueDispatchWork([&] { KeSetEvent(&event, 1, FALSE); }, 1000);
    LARGE_INTEGER longWait = Relative(50000000); // 5 s
    auto start = Clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &longWait),
              STATUS_SUCCESS);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(4));
}

using OrderedWorkTest = KernelTest;

// Ordered mode: a late completion queued by a dispatch routine never runs while that dispatch
// still runs (however long it takes), and the requester gets it without waiting for the wall clock.
TEST_F(OrderedWorkTest, LateWorkRunsOnlyOnceItsDispatchHasReturned) {
    PDRIVER_OBJECT driver = MakeDriver("late");
    ScriptedDevice device(driver);
    std::atomic<bool> ran{false};
    bool ranInsideDispatch = true;
    device.Serve([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        sim::kernel::QueueDispatchWork(
            [&ran, irp] {
                ran = true;
                CompleteWith(irp, STATUS_SUCCESS);
            },
            3000000); // 3 s
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ranInsideDispatch = ran.load();
        return STATUS_PENDING;
    });
    sim::kernel::SetOrderedDispatchWork(true);
    sim::kernel::IrpSpec spec;
    spec.majorFunction = IRP_MJ_FLUSH_BUFFERS;
    const auto start = Clock::now();
    const sim::kernel::IoResult result = sim::kernel::SendIrp(device.Device(), spec);
    EXPECT_TRUE(result.completed);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_FALSE(ranInsideDispatch);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    sim::kernel::SetOrderedDispatchWork(false);
    device.Remove();
}

// Work queued outside any call waits for its thread to wait, then runs in the order of its
// virtual due time, not of queuing.
TEST_F(OrderedWorkTest, HeldWorkRunsInVirtualDueOrderOnceItsThreadWaits) {
    sim::kernel::SetOrderedDispatchWork(true);
    std::vector<int> order;
    std::mutex mutex;
    for (int delay : {1500, 100, 800}) {
        sim::kernel::QueueDispatchWork(
            [&order, &mutex, delay] {
                std::lock_guard lock(mutex);
                order.push_back(delay);
            },
            static_cast<unsigned>(delay));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // past every wall-clock due time
    {
        std::lock_guard lock(mutex);
        EXPECT_TRUE(order.empty());
    }
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    sim::kernel::QueueDispatchWork([&] { KeSetEvent(&event, 1, FALSE); }, 1000000); // 1 s
    LARGE_INTEGER wait = Relative(50000000);                                        // 5 s
    const auto start = Clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &wait), STATUS_SUCCESS);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(900));
    sim::kernel::DrainDispatchWork();
    EXPECT_EQ(order, (std::vector<int>{100, 800, 1500}));
    sim::kernel::SetOrderedDispatchWork(false);
}

using IrqlTest = KernelTest;

TEST_F(IrqlTest, IrqlBelongsToTheThread) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KIRQL other = HIGH_LEVEL;
    std::thread([&] { other = KeGetCurrentIrql(); }).join();
    EXPECT_EQ(other, PASSIVE_LEVEL);
    KeLowerIrql(old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(IrqlTest, SpinLockRaisesToDispatchLevelAndRestores) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(IrqlTest, SpinLockExcludesOtherThreads) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0; // plain: only the lock protects it
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                KIRQL old;
                KeAcquireSpinLock(&lock, &old);
                ++counter;
                KeReleaseSpinLock(&lock, old);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 8000);
}

TEST_F(IrqlTest, RaisingBelowOrLoweringAboveIsReported) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KIRQL ignored;
    KeRaiseIrql(APC_LEVEL, &ignored);
    KeLowerIrql(PASSIVE_LEVEL);
    KeLowerIrql(DISPATCH_LEVEL);
    KeLowerIrql(PASSIVE_LEVEL);
    auto found = sim::kernel::TakeViolations();
    EXPECT_EQ(found.size(), 2u);
    EXPECT_TRUE(sim::kernel::OnlyViolationsOf(found, {sim::kernel::ViolationKind::IrqlMisuse}));
}

TEST_F(IrqlTest, InterlockedOperationsAreAtomicAcrossThreads) {
    volatile LONG count = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) {
                InterlockedIncrement(&count);
                InterlockedDecrement(&count);
                InterlockedIncrement(&count);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(count, 20000);
    EXPECT_EQ(InterlockedExchange(&count, 5), 20000);
    EXPECT_EQ(InterlockedCompareExchange(&count, 9, 4), 5); // no swap
    EXPECT_EQ(InterlockedCompareExchange(&count, 9, 5), 5); // swap
    EXPECT_EQ(count, 9);
}

} // namespace
} // namespace simtest
