// Requests: allocation, stack locations, IofCallDriver, IofCompleteRequest, and the verifier's
// request checks made there (the others are in irp_checks.cpp).
//
// Every request has a record (owner, state, per-location marks) kept in the block before it
// (irp_blocks.cpp). Freed requests stay in a quarantine for a while, their memory still valid, so
// that a late completion or free of a freed request (which writes its status block first) is
// reported instead of corrupting memory.
// A freed request is filled with a pattern, so that it no longer reads as a live one, and the
// pattern is checked when the dispatch routine that had it returns, when the request leaves the
// quarantine and at the end of a run (CheckEndOfRun): a write after the free is reported. Under
// AddressSanitizer it is poisoned instead, so that any touch, a read too, is caught where it
// happens. Past its last stack location every request has one more, a guard filled with
// another pattern (poisoned under AddressSanitizer): a write there is reported and undone.
#include "sim/kernel/irp_record.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace sim::kernel::detail {

namespace irps {

namespace {

[[gnu::always_inline]] inline void InitializeIrp(PIRP irp, CCHAR stackSize, size_t bytes) {
    // The request and each location by its fixed size: a few wide stores each, where a clear of
    // the run-time length is a store per word.
    // The pieces suit a 64-bit request; a 32-bit one (96 bytes) is cleared in one.
    const auto bytesOfIrp = reinterpret_cast<unsigned char*>(irp);
    if constexpr (sizeof(IRP) > 128 && sizeof(IRP) <= 192) {
        std::memset(bytesOfIrp, 0, 64);
        std::memset(bytesOfIrp + 64, 0, 64);
        std::memset(bytesOfIrp + 128, 0, sizeof(IRP) - 128);
    } else {
        std::memset(bytesOfIrp, 0, sizeof(IRP));
    }
    PIO_STACK_LOCATION location = StackBase(irp);
    for (CCHAR i = 0; i < stackSize; ++i)
        std::memset(static_cast<void*>(location + i), 0, sizeof(IO_STACK_LOCATION));
    irp->Type = 6; // IO_TYPE_IRP
    irp->Size = static_cast<USHORT>(bytes);
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = StackBase(irp) + stackSize;
    irp->ThreadListEntry.Flink = &irp->ThreadListEntry;
    irp->ThreadListEntry.Blink = &irp->ThreadListEntry;
}

} // namespace

std::string IrpText(PIRP irp, const IrpRecord& record) {
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<void*>(irp));
    return "request " + std::string(address) + " (" + IrpName(record.major, record.minor) + ")";
}

} // namespace irps

using namespace irps;

namespace {

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

// A dispatch routine running on this thread, from the frame's construction to its destruction.
// Frames live on the stack, one inside another; the innermost is the routine running now.
struct DispatchFrame {
    DispatchFrame(PDEVICE_OBJECT device, UCHAR major, UCHAR minor);
    ~DispatchFrame();
    DispatchFrame(const DispatchFrame&) = delete;
    DispatchFrame& operator=(const DispatchFrame&) = delete;

    PDEVICE_OBJECT device;
    UCHAR major;
    UCHAR minor;
    const DispatchFrame* outer;
};
thread_local const DispatchFrame* t_innermostDispatch = nullptr;

DispatchFrame::DispatchFrame(PDEVICE_OBJECT device, UCHAR major, UCHAR minor)
    : device(device), major(major), minor(minor), outer(t_innermostDispatch) {
    t_innermostDispatch = this;
}
DispatchFrame::~DispatchFrame() {
    t_innermostDispatch = outer;
}

} // namespace

PDRIVER_DISPATCH DefaultDispatch() {
    return &InvalidDeviceRequest;
}

PIRP AllocateIrp(CCHAR stackSize, IrpOwner owner, PDRIVER_OBJECT allocator, IrpFinal onFinal,
                 void* context, IrpDiscard onDiscard) {
    if (stackSize < 1 || stackSize > kMaxStack) {
        Report(ViolationKind::BadArgument,
               "request with " + std::to_string(stackSize) + " stack locations");
        return nullptr;
    }
    const size_t bytes = BlockSize(stackSize);
    std::lock_guard lock(g_mutex);
    IrpRecord* record = NewBlockLocked(stackSize);
    if (record == nullptr)
        return nullptr;
    PIRP irp = IrpOfRecord(record);
    InitializeIrp(irp, stackSize, bytes);
    record->owner = owner;
    record->allocator = allocator;
    record->bytes = bytes;
    FillGuard(irp, *record);
    record->currentLocation = stackSize + 1;
    if (owner == IrpOwner::System)
        record->prepared.set(stackSize); // the kernel fills the first location before it sends
    record->finalRoutine = onFinal;
    record->finalContext = context;
    record->finalDiscard = onDiscard;
    return irp;
}

PIRP AllocateIrp(CCHAR stackSize, IrpOwner owner, PDRIVER_OBJECT allocator,
                 std::function<void(PIRP)> onFinal) {
    PIRP irp = AllocateIrp(stackSize, owner, allocator, nullptr, nullptr);
    if (irp != nullptr && onFinal) {
        std::lock_guard lock(g_mutex);
        g_irps.Find(irp)->onFinal = std::move(onFinal);
    }
    return irp;
}

void ReleaseSystemIrp(PIRP irp) {
    std::lock_guard lock(g_mutex);
    IrpRecord* record = g_irps.Find(irp);
    if (record != nullptr && record->state != IrpState::Freed)
        QuarantineLocked(irp, *record);
}

bool IrpFreed(PIRP irp) {
    std::lock_guard lock(g_mutex);
    const IrpRecord* record = g_irps.Find(irp);
    return record != nullptr && record->state == IrpState::Freed;
}

bool IrpFinished(PIRP irp) {
    std::lock_guard lock(g_mutex);
    const IrpRecord* record = g_irps.Find(irp);
    return record == nullptr || record->state == IrpState::Completed ||
           record->state == IrpState::Freed;
}

bool InRemoveDispatchOf(PDEVICE_OBJECT device) {
    const DispatchFrame* frame = t_innermostDispatch;
    return frame != nullptr && frame->device == device && frame->major == IRP_MJ_PNP &&
           frame->minor == IRP_MN_REMOVE_DEVICE;
}

} // namespace sim::kernel::detail

namespace sim::wdm {

using namespace sim::kernel;
using namespace sim::kernel::detail;
using namespace sim::kernel::detail::irps;

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN) {
    PDRIVER_OBJECT driver = CurrentDriver();
    if (driver != nullptr && ShouldFailIrp())
        return nullptr;
    return AllocateIrp(StackSize, IrpOwner::Driver, driver, nullptr, nullptr);
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
    std::lock_guard lock(g_mutex);
    IrpRecord* found = g_irps.Find(Irp);
    if (found == nullptr) {
        Report(ViolationKind::BadArgument, "IoFreeIrp on a pointer that is no request");
        return;
    }
    IrpRecord& record = *found;
    switch (record.state) {
    case IrpState::Freed:
        Report(ViolationKind::UseAfterFree, IrpText(Irp, record) + " freed twice");
        return;
    case IrpState::InFlight:
        Report(ViolationKind::FreedWhileInUse,
               IrpText(Irp, record) + " freed while a driver below still holds it");
        return; // leaving it allocated keeps the holder's view valid
    default:
        break;
    }
    if (record.owner != IrpOwner::Driver) {
        Report(ViolationKind::BadArgument,
               IrpText(Irp, record) + " freed by a driver, but the I/O manager owns it");
        return;
    }
    QuarantineLocked(Irp, record);
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Status) {
    std::lock_guard lock(g_mutex);
    IrpRecord* found = g_irps.Find(Irp);
    if (found == nullptr || found->state == IrpState::Freed) {
        Report(ViolationKind::UseAfterFree, "IoReuseIrp on a freed or unknown request");
        return;
    }
    IrpRecord& record = *found;
    if (record.state == IrpState::InFlight) {
        Report(ViolationKind::FreedWhileInUse, IrpText(Irp, record) + " reused while in use");
        return;
    }
    // Reused, it is the allocator's again, as fresh.
    CCHAR stackSize = Irp->StackCount;
    InitializeIrp(Irp, stackSize, record.bytes);
    Irp->IoStatus.Status = Status;
    const IrpOwner owner = record.owner;
    const PDRIVER_OBJECT allocator = record.allocator;
    const size_t bytes = record.bytes;
    const IrpFinal finalRoutine = record.finalRoutine;
    void* const finalContext = record.finalContext;
    const IrpDiscard finalDiscard = record.finalDiscard;
    std::function<void(PIRP)> onFinal = std::move(record.onFinal);
    record.Renew();
    record.owner = owner;
    record.allocator = allocator;
    record.bytes = bytes;
    record.currentLocation = stackSize + 1;
    record.finalRoutine = finalRoutine;
    record.finalContext = finalContext;
    record.finalDiscard = finalDiscard;
    record.onFinal = std::move(onFinal);
}

VOID NTAPI IoMarkIrpPending(PIRP Irp) {
    std::lock_guard lock(g_mutex);
    IrpRecord* record = g_irps.Find(Irp);
    if (record != nullptr && record->state == IrpState::Freed) {
        Report(ViolationKind::UseAfterFree, DriverName(CurrentDriver()) +
                                                " called IoMarkIrpPending on " +
                                                IrpText(Irp, *record) + " after it was freed");
        return;
    }
    int location = Irp->CurrentLocation;
    if (record != nullptr && location > Irp->StackCount) {
        // The allocator's own completion routine: no location of its own to mark.
        Report(ViolationKind::NoMoreStackLocations,
               DriverName(CurrentDriver()) + " called IoMarkIrpPending on " +
                   IrpText(Irp, *record) +
                   " while its current location is past the last one (a request it allocated)");
        return;
    }
    IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
    if (record != nullptr && location >= 0 && location <= kMaxStack + 1) {
        record->markedPending.set(location);
    }
}

namespace {

// How deep this thread is in IofCallDriver calls: once the outermost returns, the delayed work
// queued on the way may run (ordered mode).
thread_local int t_callDepth = 0;

struct CallDepth {
    CallDepth() { ++t_callDepth; }
    ~CallDepth() {
        if (--t_callDepth == 0)
            sim::kernel::detail::ReleaseDispatchWorkOfThisThread();
    }
    CallDepth(const CallDepth&) = delete;
    CallDepth& operator=(const CallDepth&) = delete;
};

} // namespace

NTSTATUS NTAPI IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    const CallDepth depth;
    if (DeviceObject == nullptr || Irp == nullptr) {
        Report(ViolationKind::BadArgument, "IofCallDriver with a null device or request");
        return STATUS_INVALID_PARAMETER;
    }
    PIO_STACK_LOCATION stack;
    int location;
    IrpRecord* found;
    {
        // One hold from the checks through the marks of the location entered: the record found
        // serves both, and nothing can come between them.
        std::lock_guard lock(g_mutex);
        found = g_irps.Find(Irp);
        if (found == nullptr || found->state == IrpState::Freed) {
            Report(ViolationKind::UseAfterFree,
                   "a freed or unknown request was sent to " + Describe(DeviceObject));
            return STATUS_INVALID_PARAMETER;
        }
        if (found->state == IrpState::Completed) {
            Report(ViolationKind::UseAfterFree, IrpText(Irp, *found) +
                                                    " sent again after its completion to " +
                                                    Describe(DeviceObject));
            return STATUS_INVALID_PARAMETER;
        }
        SetUpNextLocationLocked(DeviceObject, Irp, *found);
        // Past the guard, the location it would reach lies outside the request.
        if (Irp->CurrentLocation > found->stackSize + 2) {
            Report(ViolationKind::NoMoreStackLocations,
                   DriverName(CurrentDriver()) + " sent " + IrpText(Irp, *found) + " to " +
                       Describe(DeviceObject) +
                       " with its current location past the guard beyond its last one");
            return STATUS_INVALID_PARAMETER;
        }
        if (Irp->CurrentLocation <= 1) {
            Report(ViolationKind::NoMoreStackLocations,
                   "request sent to " + Describe(DeviceObject) + " with no stack location left");
            return STATUS_INVALID_PARAMETER;
        }
        if (!KnownValidDevice(DeviceObject)) {
            Report(ViolationKind::UseAfterFree, "request sent to a deleted device object");
            return STATUS_NO_SUCH_DEVICE;
        }

        IoSetNextIrpStackLocation(Irp);
        stack = IoGetCurrentIrpStackLocation(Irp);
        stack->DeviceObject = DeviceObject;
        location = Irp->CurrentLocation;
        if (location <= found->stackSize + 1) {
            IrpRecord& record = *found;
            record.state = IrpState::InFlight;
            record.at[location].device = DeviceObject;
            record.entered.set(location);
            record.currentLocation = location;
            // Read by the sender, which holds the request until this call.
            record.routineAt.set(location, stack->CompletionRoutine != nullptr);
            record.at[location].receivedRoutine = stack->CompletionRoutine;
            record.at[location].receivedContext = stack->Context;
            record.at[location].receivedControl = stack->Control;
            record.prepared.reset(location - 1);
            record.markedPending.reset(location);
            record.returnedPending.reset(location);
            record.returnedPending.reset(location - 1);
            record.startNext.reset(location);
            record.handlers.Add(DeviceObject->DriverObject);
            if (location == Irp->StackCount) {
                record.major = stack->MajorFunction;
                record.minor = stack->MinorFunction;
            }
        }
    }

    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    PDRIVER_DISPATCH dispatch = nullptr;
    if (driver != nullptr && stack->MajorFunction <= IRP_MJ_MAXIMUM_FUNCTION) {
        dispatch = driver->MajorFunction[stack->MajorFunction];
    }
    if (dispatch == nullptr)
        dispatch = &InvalidDeviceRequest;

    NTSTATUS status;
    {
        DriverScope scope(driver);
        const DispatchFrame frame(DeviceObject, stack->MajorFunction, stack->MinorFunction);
        status = dispatch(DeviceObject, Irp);
    }

    std::lock_guard lock(g_mutex);
    found = RecordAgainLocked(Irp, found);
    if (found == nullptr)
        return status;
    IrpRecord& record = *found;
    if (record.state == IrpState::Freed)
        CheckFreedLocked(Irp, record,
                         [&] { return DriverName(driver) + " (in its dispatch routine)"; });
    else
        CheckGuardLocked(Irp, record,
                         [&] { return DriverName(driver) + " (in its dispatch routine)"; });
    bool marked = record.markedPending.test(location);
    bool lowerPending = record.returnedPending.test(location - 1);
    if (status == STATUS_PENDING) {
        record.returnedPending.set(location);
        if (!marked && !lowerPending) {
            Report(ViolationKind::PendingNotMarked,
                   DriverName(driver) + " returned STATUS_PENDING for " + IrpText(Irp, record) +
                       " without IoMarkIrpPending");
        }
    } else if (marked) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
        Report(ViolationKind::MarkedPendingReturnedOther,
               DriverName(driver) + " marked " + IrpText(Irp, record) + " pending but returned " +
                   text + " from its dispatch routine");
    }
    return status;
}

VOID NTAPI IofCompleteRequest(PIRP Irp, CCHAR) {
    unsigned generation;
    PDRIVER_OBJECT allocator;
    IrpOwner owner;
    // Held from the checks here through the bookkeeping of the first location, so that the
    // record found for the one serves the other.
    std::unique_lock lock(g_mutex);
    IrpRecord* found = g_irps.Find(Irp);
    {
        if (found == nullptr) {
            Report(ViolationKind::UseAfterFree,
                   "IofCompleteRequest on a pointer that is no request");
            return;
        }
        IrpRecord& record = *found;
        if (record.state == IrpState::Freed) {
            FillFreed(Irp, record); // the status it was given is part of this fault
            if (record.completions != 0 && record.owner != IrpOwner::Driver) {
                // The I/O manager finished and released it at the first completion.
                Report(ViolationKind::CompletedTwice, IrpText(Irp, record) +
                                                          " completed twice (by " +
                                                          DriverName(CurrentDriver()) + ")");
            } else {
                Report(ViolationKind::UseAfterFree,
                       IrpText(Irp, record) + " completed after it was freed");
            }
            return;
        }
        if (record.state == IrpState::Completed) {
            Report(ViolationKind::CompletedTwice, IrpText(Irp, record) + " completed twice (by " +
                                                      DriverName(CurrentDriver()) + ")");
            return;
        }
        if (Irp->CurrentLocation > Irp->StackCount) {
            Report(ViolationKind::BadArgument,
                   IrpText(Irp, record) + " completed while no driver holds it");
            return;
        }
        if (Irp->IoStatus.Status == STATUS_PENDING) {
            Report(ViolationKind::BadArgument,
                   IrpText(Irp, record) + " completed with STATUS_PENDING");
        }
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        if (stack->MajorFunction == IRP_MJ_POWER &&
            !record.startNext.test(record.currentLocation)) {
            Report(ViolationKind::PowerIrpWithoutStartNext,
                   DriverName(CurrentDriver()) + " completed " + IrpText(Irp, record) +
                       " without PoStartNextPowerIrp");
        }
        generation = ++record.completions;
        allocator = record.allocator;
        owner = record.owner;
    }

    while (true) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        NTSTATUS status = Irp->IoStatus.Status;
        UCHAR control = stack->Control;
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        bool invoke =
            routine != nullptr &&
            ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
             (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
             (__atomic_load_n(&Irp->Cancel, __ATOMIC_SEQ_CST) && (control & SL_INVOKE_ON_CANCEL)));
        int completedLocation = Irp->CurrentLocation;
        stack->MinorFunction = 0;
        stack->Flags = 0;
        stack->Control = 0;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        IoSkipCurrentIrpStackLocation(Irp);
        bool top = Irp->CurrentLocation > Irp->StackCount;
        bool allocatorHolds = false;
        {
            if (!lock.owns_lock()) {
                lock.lock();
                found = RecordAgainLocked(Irp, found);
            }
            if (found != nullptr && completedLocation >= 0 &&
                completedLocation <= found->stackSize + 1) {
                IrpRecord& record = *found;
                record.at[completedLocation].device = nullptr;
                record.routineAt.reset(completedLocation);
                record.entered.reset(completedLocation);
                record.prepared.reset(completedLocation); // a resend sets it up anew
                record.currentLocation = completedLocation + 1;
                if (owner == IrpOwner::Driver)
                    allocatorHolds = top || !record.entered.test(Irp->CurrentLocation);
                // At its own routine the allocator holds the request again and may free it.
                if (invoke && allocatorHolds)
                    record.state = IrpState::Idle;
            }
            if (invoke || !top)
                lock.unlock(); // else held on for the final bookkeeping below
        }

        if (invoke) {
            PDEVICE_OBJECT device = top ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            PDRIVER_OBJECT driver = device != nullptr ? device->DriverObject : allocator;
            NTSTATUS result;
            {
                DriverScope scope(driver);
                result = routine(device, Irp, context);
            }
            lock.lock();
            found = RecordAgainLocked(Irp, found);
            if (found == nullptr)
                return; // gone from the quarantine too: nothing of it is left to finish
            IrpRecord& record = *found;
            if (record.state != IrpState::Freed)
                CheckGuardLocked(Irp, record, [&] {
                    return DriverName(driver) + " (in its completion routine)";
                });
            if (record.completions != generation && result != STATUS_MORE_PROCESSING_REQUIRED) {
                Report(ViolationKind::CompletedTwice,
                       IrpText(Irp, record) + " was completed inside a completion routine of " +
                           DriverName(driver) + " that then let completion go on");
                return;
            }
            if (record.state == IrpState::Freed) {
                if (result != STATUS_MORE_PROCESSING_REQUIRED) {
                    Report(ViolationKind::UseAfterFree,
                           DriverName(driver) + " freed " + IrpText(Irp, record) +
                               " in its completion routine but did not return "
                               "STATUS_MORE_PROCESSING_REQUIRED");
                }
                return;
            }
            if (result == STATUS_MORE_PROCESSING_REQUIRED)
                return;
            if (allocatorHolds)
                record.state = IrpState::InFlight;
            if (Irp->PendingReturned && !top && !record.markedPending.test(Irp->CurrentLocation)) {
                Report(ViolationKind::PendingNotPropagated,
                       "completion routine of " + DriverName(driver) + " for " +
                           IrpText(Irp, record) +
                           " did not call IoMarkIrpPending although PendingReturned was set");
            }
            if (!top)
                lock.unlock(); // else held on for the final bookkeeping below
        } else if (Irp->PendingReturned && !top) {
            IoMarkIrpPending(Irp);
        }
        if (top)
            break;
    }

    IrpFinal finalRoutine = nullptr;
    void* finalContext = nullptr;
    std::function<void(PIRP)> onFinal;
    {
        if (!lock.owns_lock()) {
            lock.lock();
            found = RecordAgainLocked(Irp, found);
        }
        IrpRecord* record = found;
        if (record == nullptr)
            return;
        record->state = IrpState::Completed;
        // Runs once: a second completion of a completed request is reported, not carried out.
        if (owner != IrpOwner::Driver) {
            finalRoutine = std::exchange(record->finalRoutine, nullptr);
            finalContext = std::exchange(record->finalContext, nullptr);
            if (record->onFinal)
                onFinal = std::move(record->onFinal);
        }
        lock.unlock();
    }
    if (owner == IrpOwner::Driver)
        return; // back with its allocator
    if (finalRoutine != nullptr)
        finalRoutine(Irp, finalContext);
    else if (onFinal)
        onFinal(Irp);
}

} // namespace sim::wdm
