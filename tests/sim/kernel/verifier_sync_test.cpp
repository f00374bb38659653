// Faulty drivers of spin locks and waits: a recursive acquire is reported at once (on Windows
// the processor spins on itself for ever), so is a release by a thread that does not hold the
// lock, and any wait above DISPATCH_LEVEL.
#include "verifier_fixture.h"

#include <chrono>
#include <future>
#include <thread>

namespace simtest {
namespace {

using namespace std::chrono_literals;

// Runs `code` on a thread of its own and waits for it at most a few seconds: a check that
// fails to catch a recursive acquire fails the test instead of hanging it (the thread is then
// left spinning).
bool FinishesInTime(std::function<void()> code) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([code = std::move(code), done] {
        code();
        done->set_value();
    }).detach();
    return finished.wait_for(5s) == std::future_status::ready;
}

TEST_F(VerifierTest, SpinLockAcquiredAgainByTheThreadThatHoldsIt) {
    static KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    device->Serve([](PDEVICE_OBJECT, PIRP irp) {
        KIRQL outer, inner;
        KeAcquireSpinLock(&lock, &outer);
        KeAcquireSpinLock(&lock, &inner); // deadlocks on Windows
        KeReleaseSpinLock(&lock, inner);
        KeReleaseSpinLock(&lock, outer);
        return CompleteWith(irp, STATUS_SUCCESS);
    });
    PDEVICE_OBJECT target = device->Device();
    IrpSpec spec = Request();
    ASSERT_TRUE(FinishesInTime([target, spec] { sim::kernel::SendIrp(target, spec); }));
    EXPECT_TRUE(Caught(ViolationKind::SpinLockMisuse, "driver 'faulty'"));
    // The inner release only undid the inner acquire; the outer one freed the lock.
    EXPECT_EQ(lock, 0u);

    // At DISPATCH_LEVEL too.
    ASSERT_TRUE(FinishesInTime([this] {
        sim::kernel::RunInDriverContext(faultyDriver, [] {
            sim::kernel::RunAtIrql(DISPATCH_LEVEL, [] {
                KeAcquireSpinLockAtDpcLevel(&lock);
                KeAcquireSpinLockAtDpcLevel(&lock);
                KeReleaseSpinLockFromDpcLevel(&lock);
                KeReleaseSpinLockFromDpcLevel(&lock);
            });
        });
    }));
    EXPECT_TRUE(Caught(ViolationKind::SpinLockMisuse, "driver 'faulty'"));
    EXPECT_EQ(lock, 0u);
}

TEST_F(VerifierTest, SpinLockReleasedByAThreadThatDoesNotHoldIt) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    std::promise<void> held;
    std::promise<void> released;
    std::thread holder([&] {
        sim::kernel::RunInDriverContext(busDriver, [&] {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            held.set_value();
            released.get_future().wait();
            KeLowerIrql(old); // the lock is gone already
        });
    });
    held.get_future().wait();
    sim::kernel::RunInDriverContext(faultyDriver, [&] {
        sim::kernel::RunAtIrql(DISPATCH_LEVEL, [&] { KeReleaseSpinLock(&lock, DISPATCH_LEVEL); });
    });
    released.set_value();
    holder.join();
    EXPECT_TRUE(Caught(ViolationKind::SpinLockMisuse, "driver 'faulty'"));

    // Handed from thread to thread the sound way, a lock raises nothing.
    std::thread other([&] {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        KeReleaseSpinLock(&lock, old);
    });
    other.join();
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeReleaseSpinLock(&lock, old);
    EXPECT_TRUE(sim::kernel::Violations().empty());
}

TEST_F(VerifierTest, AnyWaitAboveDispatchLevel) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    sim::kernel::RunInDriverContext(faultyDriver, [&] {
        sim::kernel::RunAtIrql(DISPATCH_LEVEL + 1, [&] {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero);
        });
    });
    EXPECT_TRUE(Caught(ViolationKind::WaitAtDispatchLevel, "driver 'faulty'"));

    // A zero timeout tests the state at DISPATCH_LEVEL and below.
    sim::kernel::RunAtIrql(DISPATCH_LEVEL, [&] {
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero),
                  STATUS_SUCCESS);
    });
    EXPECT_TRUE(sim::kernel::Violations().empty());
}

// An event that was used while its device lived is still caught once the device is freed, on the
// thread that used it, and while other freed devices are known already.
TEST_F(VerifierTest, EventInTheExtensionOfAFreedDevice) {
    PDEVICE_OBJECT gone = nullptr;
    ASSERT_EQ(
        IoCreateDevice(faultyDriver, sizeof(KEVENT), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &gone),
        STATUS_SUCCESS);
    IoDeleteDevice(gone);
    PDEVICE_OBJECT owner = nullptr;
    ASSERT_EQ(IoCreateDevice(faultyDriver, sizeof(KEVENT), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                             &owner),
              STATUS_SUCCESS);
    auto event = static_cast<PRKEVENT>(owner->DeviceExtension);
    sim::kernel::RunInDriverContext(faultyDriver, [&] {
        KeInitializeEvent(event, NotificationEvent, FALSE);
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        KeClearEvent(event);
    });
    EXPECT_TRUE(sim::kernel::Violations().empty());

    IoDeleteDevice(owner);
    sim::kernel::RunInDriverContext(faultyDriver,
                                    [&] { KeSetEvent(event, IO_NO_INCREMENT, FALSE); });
    auto found = TakeViolations();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].kind, ViolationKind::UseAfterFree);
    EXPECT_EQ(found[0].message.rfind("KeSetEvent on an event in the extension of", 0), 0u)
        << found[0].message;
}

} // namespace
} // namespace simtest
