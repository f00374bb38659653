// The verifier's checks of requests: the patterns of freed requests and of the guard past the last
// stack location, the setting up of the next location, PoStartNextPowerIrp, and what is left
// outstanding.
//
// A freed request is filled with a pattern, so that it no longer reads as a live one, and the
// pattern is checked when the dispatch routine that had it returns, when the request leaves the
// quarantine and at the end of a run (CheckEndOfRun): a write after the free is reported. Under
// AddressSanitizer it is poisoned instead, so that any touch, a read too, is caught where it
// happens. Past its last stack location every request has one more, a guard filled with
// another pattern (poisoned under AddressSanitizer): a write there is reported and undone.
#include "sim/kernel/irp_record.h"

#include <algorithm>
#include <cstring>

namespace sim::kernel::detail {

using namespace irps;

namespace irps {

namespace {

// The first byte at or after `from` of `n` that is not `fill`, or n. The common case, nothing
// changed, is one comparison with a block of the pattern.
size_t FirstChanged(const unsigned char* from, size_t n, unsigned char fill) {
    const PatternBlock& pattern = fill == kFreedFill ? g_freedPattern : g_guardPattern;
    if (n <= sizeof pattern.bytes && std::memcmp(from, pattern.bytes, n) == 0)
        return n;
    size_t i = 0;
    while (i < n && from[i] == fill)
        ++i;
    return i;
}

// What lies at a byte offset of a request: a field of the request or a stack location.
std::string WhereInIrp(size_t offset) {
    if (offset >= offsetof(IRP, IoStatus) &&
        offset < offsetof(IRP, IoStatus) + sizeof(IO_STATUS_BLOCK))
        return "its status block";
    if (offset < sizeof(IRP))
        return "the request at offset " + std::to_string(offset);
    return "stack location " +
           std::to_string((offset - sizeof(IRP)) / sizeof(IO_STACK_LOCATION) + 1);
}

} // namespace

std::string HandlerNames(const IrpRecord& record) {
    std::string text;
    record.handlers.ForEach([&text](PDRIVER_OBJECT driver) {
        text += text.empty() ? "" : ", ";
        text += DriverName(driver);
    });
    return text.empty() ? "no driver" : text;
}

void ReportGuardWrite(PIRP irp, const IrpRecord& record, const std::string& who) {
    Report(ViolationKind::NoMoreStackLocations,
           who + " wrote past the last stack location of " + IrpText(irp, record) +
               " (its current location there is past the array)");
    FillGuard(irp, record);
}

size_t FreedWriteAt(PIRP irp, const IrpRecord& record) {
    const size_t total = record.bytes + sizeof(IO_STACK_LOCATION);
    const auto bytes = reinterpret_cast<unsigned char*>(irp);
    size_t at;
    if (SIM_ASAN) {
        at = kStatusAt + FirstChanged(bytes + kStatusAt, kStatusEnd - kStatusAt, kFreedFill);
        if (at == kStatusEnd)
            at = total;
    } else {
        at = FirstChanged(bytes, kPointerAt, kFreedFill);
        if (at == kPointerAt) {
            at = kPointerEnd + FirstChanged(bytes + kPointerEnd, total - kPointerEnd, kFreedFill);
        }
    }
    return at;
}

void ReportFreedWrite(PIRP irp, const IrpRecord& record, size_t at, const std::string& who) {
    Report(ViolationKind::UseAfterFree, who + " wrote to " + IrpText(irp, record) +
                                            " after it was completed and freed (" + WhereInIrp(at) +
                                            ")");
    FillFreed(irp, record);
}

} // namespace irps

void NoteStartNextPowerIrp(PIRP irp) {
    std::lock_guard lock(g_mutex);
    IrpRecord* found = g_irps.Find(irp);
    if (found == nullptr || found->state == IrpState::Freed) {
        Report(ViolationKind::UseAfterFree, "PoStartNextPowerIrp on a freed or unknown request");
        return;
    }
    // Judged for the location that the calling driver holds, whatever it did to the pointer.
    IrpRecord& record = *found;
    int location = record.currentLocation;
    if (irp->CurrentLocation != location) {
        Report(ViolationKind::PowerIrpWithoutStartNext,
               DriverName(CurrentDriver()) + " called PoStartNextPowerIrp for " +
                   IrpText(irp, record) +
                   " after IoSkipCurrentIrpStackLocation: the current location was no longer "
                   "its own");
    }
    if (location >= 0 && location <= kMaxStack + 1)
        record.startNext.set(location);
}

void CheckStartNextBeforePoCallDriver(PIRP irp, PDEVICE_OBJECT target) {
    std::lock_guard lock(g_mutex);
    const IrpRecord* found = g_irps.Find(irp);
    if (found == nullptr || found->state == IrpState::Freed)
        return; // IofCallDriver reports it
    // The initial send from the power manager (or a requester) holds no location.
    const IrpRecord& record = *found;
    int location = record.currentLocation;
    if (location > irp->StackCount || location < 1 || record.startNext.test(location))
        return;
    Report(ViolationKind::PowerIrpWithoutStartNext,
           DriverName(CurrentDriver()) + " passed " + IrpText(irp, record) + " down to " +
               Describe(target) + " with PoCallDriver without PoStartNextPowerIrp");
}

void ReportOutstandingIrps(PDEVICE_OBJECT device, const std::vector<PFILE_OBJECT>& heldBy) {
    std::vector<std::string> messages;
    {
        std::lock_guard lock(g_mutex);
        g_irps.ForEach([&](PIRP irp, IrpRecord& record) {
            if (record.state != IrpState::InFlight && record.state != IrpState::Idle)
                return;
            if (record.reportedAtEnd)
                return; // reported already
            if (record.state == IrpState::InFlight &&
                std::find(heldBy.begin(), heldBy.end(), irp->Tail.Overlay.OriginalFileObject) !=
                    heldBy.end())
                return;
            // The device's driver still has a duty to the request if it holds it, or if its
            // completion routine waits in the location below.
            bool held = false;
            for (int location = 1; location <= record.stackSize + 1; ++location) {
                if (record.at[location].device != device)
                    continue;
                if (location == record.currentLocation || record.routineAt.test(location - 1)) {
                    held = true;
                }
                record.at[location].device = nullptr; // report once
            }
            if (held) {
                messages.push_back(IrpText(irp, record));
                record.reportedAtEnd = true;
            }
        });
    }
    for (const std::string& text : messages) {
        Report(ViolationKind::NeverCompleted,
               text + " still outstanding when " + Describe(device) + " was deleted");
    }
}

size_t ReportLeakedIrps(PDRIVER_OBJECT allocator) {
    size_t count = 0;
    {
        std::lock_guard lock(g_mutex);
        g_irps.ForEach([&](PIRP, IrpRecord& record) {
            if (record.owner == IrpOwner::Driver && record.allocator == allocator &&
                record.state != IrpState::Freed && !record.reportedAtEnd) {
                ++count;
                record.allocator = nullptr; // report once
                record.reportedAtEnd = true;
            }
        });
    }
    if (count != 0) {
        Report(ViolationKind::RequestLeak,
               DriverName(allocator) + " did not free " + std::to_string(count) +
                   " request(s) from IoAllocateIrp before its last device was deleted");
    }
    return count;
}

// A completion routine set after the skip: reported, and the request made to go on as if the
// sender had copied its location, with its routine in the copy.
void irps::RepairRoutineAfterSkipLocked(PDEVICE_OBJECT target, PIRP irp, IrpRecord& record,
                                        int held) {
    PIO_STACK_LOCATION own = StackBase(irp) + (held - 1);
    Report(ViolationKind::RoutineAfterSkip,
           DriverName(CurrentDriver()) + " set a completion routine for " + IrpText(irp, record) +
               " after IoSkipCurrentIrpStackLocation and sent it to " + Describe(target) +
               (held == irp->StackCount
                    ? ": at the top it would run with no device object"
                    : ": it replaces the routine of the driver above, which would never run"));
    PIO_COMPLETION_ROUTINE routine = own->CompletionRoutine;
    PVOID context = own->Context;
    UCHAR invoke = own->Control & (SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL);
    own->CompletionRoutine = record.at[held].receivedRoutine;
    own->Context = record.at[held].receivedContext;
    own->Control = record.at[held].receivedControl |
                   (record.markedPending.test(held) ? SL_PENDING_RETURNED : 0);
    if (held < 2)
        return;                     // no location below for the copy: the routine is lost
    IoSetNextIrpStackLocation(irp); // undo the skip
    PIO_STACK_LOCATION next = own - 1;
    std::memcpy(static_cast<void*>(next), own, offsetof(IO_STACK_LOCATION, CompletionRoutine));
    next->Control = invoke;
    next->CompletionRoutine = routine;
    next->Context = context;
}

// A next location never set up: reported, and copied from the sender's when it has one.
void irps::RepairUnpreparedLocked(PDEVICE_OBJECT target, PIRP irp, IrpRecord& record, int sent) {
    Report(ViolationKind::StackLocationNotSetUp,
           DriverName(CurrentDriver()) + " sent " + IrpText(irp, record) + " to " +
               Describe(target) +
               " without setting up the next stack location (neither copied, filled nor "
               "skipped): the lower driver would see a stale or empty location");
    if (sent <= irp->StackCount) {
        PIO_STACK_LOCATION own = StackBase(irp) + (sent - 1);
        PIO_STACK_LOCATION next = own - 1;
        const UCHAR invoke = next->Control; // a routine it set there stays
        std::memcpy(static_cast<void*>(next), own, offsetof(IO_STACK_LOCATION, CompletionRoutine));
        next->Control = invoke & (SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL);
    }
}

void ReportIrpsLeftAtEnd(const std::string& when) {
    std::lock_guard lock(g_mutex);
    g_irps.ForEach([&when](PIRP irp, IrpRecord& record) {
        if (record.state == IrpState::Freed) {
            CheckFreedLocked(irp, record, [&record] {
                return "a driver that had it (" + HandlerNames(record) + ")";
            });
            return;
        }
        if (record.reportedAtEnd)
            return;
        if (record.state == IrpState::InFlight) {
            record.reportedAtEnd = true;
            std::string holder;
            int location = record.currentLocation;
            if (location >= 1 && location <= record.stackSize + 1 &&
                record.at[location].device != nullptr)
                holder = ", held by " + Describe(record.at[location].device);
            Report(ViolationKind::NeverCompleted, IrpText(irp, record) + " still in flight at " +
                                                      when + holder + " (it reached " +
                                                      HandlerNames(record) + ")");
        } else if (record.owner == IrpOwner::Driver) {
            record.reportedAtEnd = true;
            Report(ViolationKind::RequestLeak,
                   DriverName(record.allocator) + " allocated " + IrpText(irp, record) +
                       " with IoAllocateIrp and had not freed it at " + when);
        }
    });
}

} // namespace sim::kernel::detail

namespace sim::wdm {

using namespace sim::kernel::detail;
using namespace sim::kernel::detail::irps;

void SimNextLocationPrepared(PIRP Irp) {
    std::lock_guard lock(g_mutex);
    IrpRecord* record = g_irps.Find(Irp);
    if (record == nullptr || record->state == IrpState::Freed)
        return;
    int location = Irp->CurrentLocation - 1;
    if (location >= 0 && location <= kMaxStack + 1)
        record->prepared.set(location);
}

} // namespace sim::wdm
