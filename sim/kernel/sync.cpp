// IRQL per thread, events with timed waits, spin locks, system time.
#include "sim/kernel/internal.h"

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

namespace sim::wdm {

using sim::kernel::ViolationKind;
using sim::kernel::detail::OutOfLine;
using sim::kernel::detail::Report;

namespace {

thread_local KIRQL t_irql = PASSIVE_LEVEL;

// One lock and one condition for every event: waits are rare and short, and a single lock
// makes every signal state change trivially race-free. The lock is a short one, as a set or
// clear with no waiter only stores a state; the condition is only notified when a thread waits.
sim::kernel::detail::ShortLock g_eventMutex;
std::condition_variable_any g_eventChanged;
unsigned g_eventWaiters = 0; // threads in a wait on g_eventChanged; guarded by g_eventMutex

// 100 ns units between 1601-01-01 and 1970-01-01.
constexpr LONGLONG kEpochDifference = 116444736000000000LL;

LONGLONG NowSystemTime() {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100 +
           kEpochDifference;
}

// An event in the extension of a freed device object: the driver touched a device it had
// deleted. Reported, and the memory left alone.
[[gnu::noinline]] bool TouchesFreedDeviceExtension(PRKEVENT event, const char* routine) {
    std::string device;
    if (!sim::kernel::detail::InFreedDeviceExtension(event, &device)) {
        return false;
    }
    Report(ViolationKind::UseAfterFree,
           std::string(routine) + " on an event in the extension of " + device + ", already freed");
    return true;
}

// Made on every event call: the common case, no device freed yet, is one load, and the search
// stays out of line.
inline bool TouchesFreedDevice(PRKEVENT event, const char* routine) {
    return sim::kernel::detail::AnyDeviceExtensionFreed() &&
           TouchesFreedDeviceExtension(event, routine);
}

std::string IrqlText(KIRQL irql) {
    return std::to_string(static_cast<int>(irql));
}

std::string Who() {
    return sim::kernel::detail::DriverName(sim::kernel::detail::CurrentDriver());
}

// A held spin lock holds its holder: the word of the lock is the address of a token of the
// holding thread (as a checked build of Windows keeps the holding thread there), 0 when free. So
// a thread that acquires a lock it already holds (which deadlocks on Windows) is reported
// instead of spinning for ever, and a release by a thread that does not hold the lock is
// reported, each with no table to look up. A recursive acquire is counted, on the thread that
// made it, and its release undone in turn, so the driver goes on as if it had not acquired the
// lock again.
thread_local const char t_lockToken = 0;

KSPIN_LOCK ThisThreadsToken() {
    return reinterpret_cast<KSPIN_LOCK>(&t_lockToken);
}

// The recursive acquires this thread made and has not yet undone: few, and only ever there
// after a fault.
struct RecursiveHold {
    const volatile KSPIN_LOCK* lock;
    unsigned depth;
};
thread_local std::vector<RecursiveHold> t_recursiveHolds;
// Their number: plain data, which a thread reads with no look at the vector's set-up.
thread_local size_t t_recursiveHoldCount = 0;

RecursiveHold* FindRecursiveHold(const volatile KSPIN_LOCK* lock) {
    for (RecursiveHold& hold : t_recursiveHolds) {
        if (hold.lock == lock)
            return &hold;
    }
    return nullptr;
}

void EraseRecursiveHold(RecursiveHold* hold) {
    *hold = t_recursiveHolds.back();
    t_recursiveHolds.pop_back();
    --t_recursiveHoldCount;
}

void ForgetRecursiveHold(const volatile KSPIN_LOCK* lock) {
    if (t_recursiveHoldCount == 0)
        return;
    if (RecursiveHold* hold = FindRecursiveHold(lock))
        EraseRecursiveHold(hold);
}

// Undoes one recursive acquire of `lock` by this thread, if it made one.
[[gnu::noinline]] bool UndoRecursiveHold(const volatile KSPIN_LOCK* lock) {
    RecursiveHold* hold = FindRecursiveHold(lock);
    if (hold == nullptr)
        return false;
    if (--hold->depth == 0)
        EraseRecursiveHold(hold);
    return true;
}

std::string LockText(PKSPIN_LOCK lock) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", static_cast<void*>(lock));
    return "spin lock " + std::string(text);
}

// Acquires the lock for the calling thread. One that the thread already holds is reported and
// counted instead (the acquire would deadlock); one that another thread holds is waited for.
[[gnu::always_inline]] inline void Acquire(PKSPIN_LOCK lock, const char* routine) {
    const KSPIN_LOCK self = ThisThreadsToken();
    KSPIN_LOCK held = 0;
    while (!__atomic_compare_exchange_n(lock, &held, self, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED)) {
        if (held == self) {
            OutOfLine([=] {
                if (RecursiveHold* hold = FindRecursiveHold(lock))
                    ++hold->depth;
                else {
                    t_recursiveHolds.push_back({lock, 1});
                    ++t_recursiveHoldCount;
                }
                Report(ViolationKind::SpinLockMisuse,
                       Who() + " called " + routine + " on " + LockText(lock) +
                           " that its thread already holds (a deadlock)");
            });
            return;
        }
        std::this_thread::yield();
        held = 0;
    }
    // Taken afresh: a count left from a lock that was in this memory before is gone with it.
    ForgetRecursiveHold(lock);
}

// Releases the lock unless it only undoes a recursive acquire.
[[gnu::always_inline]] inline void Unlock(PKSPIN_LOCK lock, const char* routine) {
    const KSPIN_LOCK self = ThisThreadsToken();
    const KSPIN_LOCK held = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (held == self && t_recursiveHoldCount != 0 && UndoRecursiveHold(lock))
        return;
    if (held != self && held != 0) {
        OutOfLine([=] {
            Report(ViolationKind::SpinLockMisuse, Who() + " called " + routine + " on " +
                                                      LockText(lock) +
                                                      " that another thread holds");
        });
    }
    if (__atomic_exchange_n(lock, 0, __ATOMIC_RELEASE) == 0) {
        OutOfLine([=] {
            Report(ViolationKind::BadArgument,
                   Who() + " called " + routine + " on " + LockText(lock) + " while not held");
        });
    }
}

} // namespace

KIRQL NTAPI KeGetCurrentIrql() {
    return t_irql;
}

KIRQL NTAPI KfRaiseIrql(KIRQL NewIrql) {
    KIRQL old = t_irql;
    if (NewIrql < old) {
        OutOfLine([=] {
            Report(ViolationKind::IrqlMisuse, "KeRaiseIrql to " + IrqlText(NewIrql) +
                                                  " below the current IRQL " + IrqlText(old));
        });
    }
    t_irql = NewIrql;
    return old;
}

VOID NTAPI KfLowerIrql(KIRQL NewIrql) {
    if (const KIRQL current = t_irql; NewIrql > current) {
        OutOfLine([=] {
            Report(ViolationKind::IrqlMisuse, "KeLowerIrql to " + IrqlText(NewIrql) +
                                                  " above the current IRQL " + IrqlText(current));
        });
    }
    t_irql = NewIrql;
}

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    std::lock_guard lock(g_eventMutex);
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.SignalState = State ? 1 : 0;
    Event->Header.WaitListHead.Flink = &Event->Header.WaitListHead;
    Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
    if (t_irql > DISPATCH_LEVEL) {
        OutOfLine([] { Report(ViolationKind::IrqlMisuse, "KeSetEvent above DISPATCH_LEVEL"); });
    }
    if (TouchesFreedDevice(Event, "KeSetEvent")) {
        return 0;
    }
    std::lock_guard lock(g_eventMutex);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    if (g_eventWaiters != 0)
        g_eventChanged.notify_all();
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
    if (TouchesFreedDevice(Event, "KeClearEvent")) {
        return;
    }
    std::lock_guard lock(g_eventMutex);
    Event->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
    std::lock_guard lock(g_eventMutex);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    std::lock_guard lock(g_eventMutex);
    return Event->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                     PLARGE_INTEGER Timeout) {
    if (Object == nullptr) {
        Report(ViolationKind::BadArgument, "KeWaitForSingleObject on a null object");
        return STATUS_INVALID_PARAMETER;
    }
    // A zero timeout only tests the state: allowed up to DISPATCH_LEVEL, and no higher.
    bool waitsAtAll = Timeout == nullptr || Timeout->QuadPart != 0;
    if (t_irql > DISPATCH_LEVEL || (t_irql == DISPATCH_LEVEL && waitsAtAll)) {
        const char* timeout = Timeout == nullptr       ? "no timeout"
                              : Timeout->QuadPart == 0 ? "a zero timeout"
                                                       : "a nonzero timeout";
        Report(ViolationKind::WaitAtDispatchLevel,
               Who() + " called KeWaitForSingleObject with " + timeout + " at IRQL " +
                   IrqlText(t_irql) +
                   (t_irql > DISPATCH_LEVEL ? ", above DISPATCH_LEVEL" : ", DISPATCH_LEVEL"));
    }
    auto event = static_cast<PRKEVENT>(Object);
    if (waitsAtAll) // what this thread queued may be what it waits for
        sim::kernel::detail::ReleaseDispatchWorkOfThisThread();

    // The clock is read only for a wait that has to sleep: an event already set costs none.
    using Clock = std::chrono::steady_clock;
    std::optional<Clock::time_point> deadline;
    bool deadlineSet = Timeout == nullptr;
    std::unique_lock lock(g_eventMutex);
    while (event->Header.SignalState == 0) {
        if (!deadlineSet) {
            LONGLONG ticks = Timeout->QuadPart;
            if (ticks > 0)
                ticks = -(ticks - NowSystemTime()); // absolute: time still to go
            if (ticks > 0)
                ticks = 0;
            deadline = Clock::now() + std::chrono::nanoseconds(-ticks * 100);
            deadlineSet = true;
        }
        ++g_eventWaiters;
        const bool timedOut =
            !deadline ? (g_eventChanged.wait(lock), false)
                      : g_eventChanged.wait_until(lock, *deadline) == std::cv_status::timeout;
        --g_eventWaiters;
        if (timedOut && event->Header.SignalState == 0)
            return STATUS_TIMEOUT;
    }
    if (event->Header.Type == SynchronizationEvent)
        event->Header.SignalState = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
    if (t_irql >= DISPATCH_LEVEL) {
        Report(ViolationKind::WaitAtDispatchLevel,
               Who() + " called KeDelayExecutionThread at IRQL " + IrqlText(t_irql));
    }
    sim::kernel::detail::ReleaseDispatchWorkOfThisThread();
    LONGLONG ticks = Interval ? Interval->QuadPart : 0;
    if (ticks > 0)
        ticks = -(ticks - NowSystemTime());
    if (ticks < 0)
        std::this_thread::sleep_for(std::chrono::nanoseconds(-ticks * 100));
    return STATUS_SUCCESS;
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = NowSystemTime();
}

VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
    sim::kernel::detail::ReleaseDispatchWorkOfThisThread();
    auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(MicroSeconds);
    while (std::chrono::steady_clock::now() < until) {
    }
}

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    ForgetRecursiveHold(SpinLock); // a lock in reused memory starts afresh
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    if (t_irql < DISPATCH_LEVEL) {
        Report(ViolationKind::IrqlMisuse,
               "KeAcquireSpinLockAtDpcLevel at IRQL " + IrqlText(t_irql));
    }
    Acquire(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    Unlock(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

VOID NTAPI KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
    if (t_irql > DISPATCH_LEVEL) {
        OutOfLine([] {
            Report(ViolationKind::IrqlMisuse, "KeAcquireSpinLock at IRQL " + IrqlText(t_irql));
        });
    }
    KIRQL old = t_irql;
    t_irql = DISPATCH_LEVEL;
    *OldIrql = old;
    Acquire(SpinLock, "KeAcquireSpinLock");
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    Unlock(SpinLock, "KeReleaseSpinLock");
    KfLowerIrql(NewIrql);
}

ULONG DbgPrint(PCSTR Format, ...) {
    // Quiet unless asked for: test output stays readable.
    static const bool enabled = std::getenv("SIM_KERNEL_DEBUG") != nullptr;
    if (!enabled)
        return 0;
    va_list args;
    va_start(args, Format);
    std::vfprintf(stderr, Format, args);
    va_end(args);
    return 0;
}

} // namespace sim::wdm

namespace sim::kernel {

namespace detail {

void ResetSync() {
    // A spin lock's holder lives in the lock itself, and goes with the memory of the lock; what
    // this thread counted of recursive acquires goes with the run.
    sim::wdm::t_recursiveHolds.clear();
    sim::wdm::t_recursiveHoldCount = 0;
}

} // namespace detail

void RunAtIrql(KIRQL irql, const std::function<void()>& code) {
    KIRQL old = sim::wdm::t_irql;
    sim::wdm::t_irql = irql;
    code();
    sim::wdm::t_irql = old;
}

} // namespace sim::kernel
