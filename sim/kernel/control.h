// The simulation's own control surface of the kernel stand-in, apart from the WDM interface that
// driver code sees: used by tests and by the simulated platform (bus driver, user-mode device
// I/O, Plug and Play and power managers). Driver code never includes it.
#pragma once

#include "sim/kernel/wdm.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim::kernel {

using sim::wdm::KIRQL;
using sim::wdm::NTSTATUS;
using sim::wdm::PDEVICE_OBJECT;
using sim::wdm::PDRIVER_OBJECT;
using sim::wdm::PFILE_OBJECT;
using sim::wdm::PIRP;
using sim::wdm::ULONG;
using sim::wdm::ULONG_PTR;

// ---- Drivers -------------------------------------------------------------------------------

struct DriverConfig {
    std::string name = "driver"; // used in verifier messages
    ULONG poolTag = 0;           // the tag every pool allocation of the driver must carry; 0: any
    std::u16string
        registryPath; // passed to DriverEntry, e.g. u"\\REGISTRY\\Machine\\...\\Services\\X"
};

using DriverEntryRoutine = std::function<NTSTATUS(PDRIVER_OBJECT, sim::wdm::PUNICODE_STRING)>;

// Creates a driver object and runs its entry routine in the driver's context at PASSIVE_LEVEL.
// The object exists until UnloadDriver or ResetAll, whatever the entry returned.
PDRIVER_OBJECT CreateDriver(const DriverConfig& config, const DriverEntryRoutine& entry,
                            NTSTATUS* entryStatus = nullptr);
// Calls DriverExtension->AddDevice for a physical device object, as the Plug and Play manager does.
NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDeviceObject);
// Calls the unload routine (if any) and forgets the driver object.
void UnloadDriver(PDRIVER_OBJECT driver);
// Runs code in a driver's context: pool and requests it allocates are charged to that driver.
void RunInDriverContext(PDRIVER_OBJECT driver, const std::function<void()>& code);

// ---- Device objects and interfaces ---------------------------------------------------------

// The Plug and Play instance id of a physical device object, e.g. u"USB\\VID_FFFE&PID_0001\\5&1".
void SetDeviceInstanceId(PDEVICE_OBJECT physicalDeviceObject, std::u16string instanceId);
std::u16string GetDeviceInstanceId(PDEVICE_OBJECT physicalDeviceObject);
// The device object that this one is attached to (the next lower in its stack), or none.
PDEVICE_OBJECT GetLowerDevice(PDEVICE_OBJECT device);
// Created and not deleted. A device that IoDeleteDevice marked delete-pending (open file objects
// still reference it) is not alive but still valid: the cleanup and close of those handles reach
// its driver. It is freed, and its driver's pool checked, when the last reference goes.
bool IsDeviceAlive(PDEVICE_OBJECT device);
bool IsDeviceObjectValid(PDEVICE_OBJECT device);
bool IsDeviceDeletePending(PDEVICE_OBJECT device);

struct DeviceInterface {
    std::u16string linkName; // "\??\<instance id, '\' as '#'>#{guid}[\reference]"
    sim::wdm::GUID classGuid;
    PDEVICE_OBJECT physicalDeviceObject; // null once that device has been deleted
    bool enabled;
};
std::vector<DeviceInterface> ListDeviceInterfaces();

struct ResolvedPath {
    PDEVICE_OBJECT device;    // top of the device stack of the interface's physical device object
    std::u16string remainder; // what followed the interface's name ("" or "\...")
};
// Resolves a user-mode path "\\.\<link name without \??\>[\remainder]" against the enabled
// interfaces, case-insensitively.
std::optional<ResolvedPath> ResolveUserPath(std::u16string_view path);
std::optional<ResolvedPath> ResolveUserPath(std::string_view path);
// Resolves as ResolveUserPath does and, in the same step, takes a reference on the device found,
// as the object manager holds one for an open on its way: the device cannot be freed until
// ObDereferenceObject. Finds only a device that is not being deleted.
std::optional<ResolvedPath> ReferenceUserPath(std::string_view path);

// Devices registered with IoRegisterShutdownNotification, in registration order.
std::vector<PDEVICE_OBJECT> ShutdownRegistrations();

// ---- The I/O manager's own requests ---------------------------------------------------------

struct IoResult {
    NTSTATUS dispatchStatus; // what the top driver's dispatch routine returned
    NTSTATUS status;         // IoStatus.Status at final completion
    ULONG_PTR information;   // IoStatus.Information at final completion
    bool completed;          // false if the request was not completed in time
};

struct IrpSpec {
    sim::wdm::UCHAR majorFunction = 0;
    sim::wdm::UCHAR minorFunction = 0;
    PFILE_OBJECT fileObject = nullptr;
    NTSTATUS initialStatus = sim::wdm::STATUS_SUCCESS; // Plug and Play requests start with
                                                       // STATUS_NOT_SUPPORTED
    // Device control: Parameters.DeviceIoControl of the first stack location are filled from
    // ioControlCode, inputLength and outputLength (and Type3InputBuffer from input, for
    // METHOD_NEITHER), before `setup` runs.
    bool deviceControl = false;
    ULONG ioControlCode = 0;
    // Fills the Parameters of the first stack location.
    std::function<void(sim::wdm::IO_STACK_LOCATION&)> setup;
    // Buffered data (METHOD_BUFFERED device control): a system buffer of
    // max(input, output) bytes is allocated, the input copied in, and on completion
    // min(Information, outputLength) bytes copied out.
    const void* input = nullptr;
    ULONG inputLength = 0;
    void* output = nullptr;
    ULONG outputLength = 0;
    bool buffered = false;
};

// Sends a request to the top of a stack and waits for its final completion (at most the wait
// limit). Sent from the calling thread with no driver context, as the I/O manager does for a
// user-mode caller.
IoResult SendIrp(PDEVICE_OBJECT target, const IrpSpec& spec);
// Sends a request and returns after the dispatch routine; `done` runs at final completion (in
// whatever thread completes it; its dispatchStatus is STATUS_PENDING when completion came before
// the dispatch routine returned). Returns the dispatch routine's status. The output buffer of a
// buffered request must stay valid until `done` has run.
NTSTATUS SendIrpAsync(PDEVICE_OBJECT target, const IrpSpec& spec,
                      std::function<void(IoResult)> done);

// Convenience forms of SendIrp for handles. A file object whose IRP_MJ_CREATE succeeds holds
// its device until DeleteFileObject; a create sent to a delete-pending device is refused with
// STATUS_DELETE_PENDING without reaching its driver.
PFILE_OBJECT CreateFileObject(PDEVICE_OBJECT device, std::u16string_view fileName);
void DeleteFileObject(PFILE_OBJECT fileObject);
IoResult SendCreate(PDEVICE_OBJECT target, PFILE_OBJECT fileObject);
IoResult SendCleanup(PDEVICE_OBJECT target, PFILE_OBJECT fileObject);
IoResult SendClose(PDEVICE_OBJECT target, PFILE_OBJECT fileObject);
IoResult SendDeviceControl(PDEVICE_OBJECT target, PFILE_OBJECT fileObject, ULONG ioControlCode,
                           const void* input, ULONG inputLength, void* output, ULONG outputLength);
// The request SendDeviceControl sends, for callers that send it with SendIrpAsync.
IrpSpec DeviceControlSpec(PFILE_OBJECT fileObject, ULONG ioControlCode, const void* input,
                          ULONG inputLength, void* output, ULONG outputLength);
// IRP_MJ_SHUTDOWN to every registered device, in registration order.
void SendShutdownNotifications();

// How long SendIrp waits for a pending request before it reports it as never completed.
void SetCompletionWaitLimit(unsigned milliseconds);

// ---- Deferred work at DISPATCH_LEVEL ---------------------------------------------------------

// Runs code on the simulator's worker thread at DISPATCH_LEVEL, after an optional delay, in the
// driver context of the caller. Items run one at a time in due order.
void QueueDispatchWork(std::function<void()> work, unsigned delayMicroseconds = 0);
// Waits until every queued item has run.
void DrainDispatchWork();
// Ordered mode, for runs that must replay exactly: delayed items no longer wait for the wall
// clock. Each is due in virtual time (the due time of the item that ran last, plus its delay)
// and runs in that order, but not before the thread that queued it waits (for a request, an
// event or a delay) or leaves its outermost IofCallDriver. A late bus completion then always
// finds its dispatch returned, and its requester wakes only after the completion has run. Off
// by default and after ResetAll; turning it off lets every held item run by the wall clock.
void SetOrderedDispatchWork(bool on);
// Runs code in the calling thread at the given IRQL and restores the previous IRQL.
void RunAtIrql(KIRQL irql, const std::function<void()>& code);

// ---- Verifier --------------------------------------------------------------------------------
//
// Faults are recorded, never fatal: the simulation goes on as the real system would have if it
// survived, so that a test can list them (Violations) and fail (sim/kernel/testing.h).
//
//  CompletedTwice              IofCompleteRequest on a request already completed, also one that
//                              a completion routine completes again and then lets completion go on.
//  NeverCompleted              a request that a device still owes something when that device is
//                              deleted (its driver holds it, or its completion routine waits in the
//                              location below); or not completed within the wait limit of SendIrp.
//  PendingNotMarked            a dispatch routine returns STATUS_PENDING without IoMarkIrpPending
//                              on its location (passing on a lower driver's STATUS_PENDING is
//                              fine).
//  MarkedPendingReturnedOther  a dispatch routine marks its location pending but returns another
//                              status.
//  PendingNotPropagated        a completion routine that lets completion go on while
//                              PendingReturned is set and does not mark its own location pending.
//  ReturnedWithoutCompleting   a dispatch routine returns a status other than STATUS_PENDING for a
//                              request of SendIrp that it has not completed.
//  WaitAtDispatchLevel         KeWaitForSingleObject with no timeout or a nonzero one, or
//                              KeDelayExecutionThread, at DISPATCH_LEVEL; any wait above it
//                              (a zero timeout too).
//  PagedPoolAtDispatchLevel    paged pool allocated or freed above APC_LEVEL.
//  PowerIrpWithoutStartNext    a power request passed down with PoCallDriver, or completed, from a
//                              location where PoStartNextPowerIrp was not called (this holds for
//                              the bus driver that completes it, too). Judged at the location the
//                              calling driver holds, whether it copied or skipped it; a
//                              PoStartNextPowerIrp after IoSkipCurrentIrpStackLocation is reported
//                              too (it would release the next request of the driver above).
//  FreedWhileInUse             IoFreeIrp (or IoReuseIrp) of a request that a lower driver
//                              holds; the request is then left allocated.
//  UseAfterFree                a freed request completed, freed, cancelled, marked pending or sent
//                              again; a freed request written to (it is filled with a pattern that
//                              is checked when the dispatch routine that had it returns, when it
//                              leaves the quarantine and at CheckEndOfRun; under AddressSanitizer
//                              all of it but its status block is poisoned, so that any touch stops
//                              the program); a request sent to a deleted device; an event in the
//                              extension of a freed device object set or cleared (the call then
//                              leaves it alone).
//  PoolLeak                    pool still charged to a driver when its last device object is
//                              freed (deleted and no longer held by a file object) or it is
//                              unloaded, listed by tag (count and bytes). Pool is
//                              charged to the driver whose code made the allocation: its dispatch
//                              and completion routines, AddDevice, DriverEntry, the callbacks of
//                              PoRequestPowerIrp, RunInDriverContext, and deferred work it queued.
//  RequestLeak                 requests from IoAllocateIrp not freed by that time.
//  WrongPoolTag                a driver configured with a pool tag allocates with another tag.
//  BadPoolFree                 a free of pool not held (twice, or never allocated), or of a tag
//                              other than the one given to ExFreePoolWithTag.
//  InformationTooLarge         a buffered device control request completed with Information larger
//                              than the caller's output buffer (the copy is cut to the buffer).
//  DeleteWhileAttached         IoDeleteDevice of a device still attached to a lower one, or with
//  one
//                              attached above it.
//  DeleteWhileShutdownRegistered  IoDeleteDevice of a device still registered for shutdown.
//  NoMoreStackLocations        IofCallDriver with no stack location left; IoMarkIrpPending
//                              while the current location is past the last one (the allocator's
//                              own completion routine), or any other write past the last
//                              location (the write is then undone).
//  StackLocationNotSetUp       IofCallDriver from a driver that neither copied its location to
//                              the next, nor filled the next one, nor skipped its own: the lower
//                              driver would see a stale or empty location.
//  RoutineAfterSkip            a completion routine set after IoSkipCurrentIrpStackLocation: it
//                              would land in the location of the driver above (at the top it
//                              would run with no device object, in the middle it replaces that
//                              driver's routine). The request then goes on as if the location
//                              had been copied, so both routines run.
//  SpinLockMisuse              a spin lock acquired by the thread that already holds it (reported
//                              instead of spinning for ever), or released by a thread that does
//                              not hold it.
//  LeftAtEnd                   device objects not deleted when a test or a bench ends
//                              (CheckEndOfRun; what it finds of the other kinds is reported under
//                              those).
//  IrqlMisuse                  KeRaiseIrql below, or KeLowerIrql above, the current IRQL; spin lock
//                              and registry routines at the wrong IRQL.
//  BadArgument                 other misuse (null arguments, freeing the I/O manager's requests).

enum class ViolationKind {
    CompletedTwice,
    NeverCompleted,
    PendingNotMarked,
    MarkedPendingReturnedOther,
    PendingNotPropagated,
    ReturnedWithoutCompleting,
    WaitAtDispatchLevel,
    PagedPoolAtDispatchLevel,
    PowerIrpWithoutStartNext,
    FreedWhileInUse,
    UseAfterFree,
    PoolLeak,
    RequestLeak,
    WrongPoolTag,
    BadPoolFree,
    InformationTooLarge,
    DeleteWhileAttached,
    DeleteWhileShutdownRegistered,
    NoMoreStackLocations,
    IrqlMisuse,
    BadArgument,
    StackLocationNotSetUp,
    RoutineAfterSkip,
    SpinLockMisuse,
    LeftAtEnd,
};
const char* ViolationKindName(ViolationKind kind);

struct Violation {
    ViolationKind kind;
    std::string message;
};
std::vector<Violation> Violations();
void ClearViolations();
std::string DescribeViolations(); // one line per violation, empty when there are none
// Records a violation on behalf of another part of the simulated platform.
void ReportViolation(ViolationKind kind, std::string message);

// ---- Pool accounting --------------------------------------------------------------------------

struct PoolAllocation {
    void* address;
    size_t size;
    ULONG tag;
    PDRIVER_OBJECT owner; // driver whose code made it, or null
};
std::vector<PoolAllocation> OutstandingPool(PDRIVER_OBJECT owner);
std::string TagText(ULONG tag); // "Wdm " for 0x206D6457

// ---- Fault injection --------------------------------------------------------------------------

// Fail the Nth pool allocation (1 = the next one) made from now on by driver code. Pool
// allocations are ExAllocatePool*, IoCreateDevice, and the buffers that IoRegisterDeviceInterface,
// RtlQueryRegistryValues and USBD_CreateConfigurationRequest* allocate for the caller.
void FailPoolAllocationNumber(unsigned n);
// Fail the Nth request allocation (IoAllocateIrp, IoBuildDeviceIoControlRequest,
// PoRequestPowerIrp).
void FailIrpAllocationNumber(unsigned n);
// Fail each such allocation with the given probability, from a seeded generator.
void SetPoolFailureProbability(double probability, uint32_t seed);
void SetIrpFailureProbability(double probability, uint32_t seed);
void ClearFaultInjection();
unsigned FailedAllocationCount(); // pool and request allocations failed on purpose so far

// ---- Interleaving ----------------------------------------------------------------------------

// Runs `action` in the calling thread right after each interlocked operation that changes the
// LONG at `target` (increment, decrement, exchange, exchange-add, a compare-exchange that
// swapped), with the value it left there. A test holds one processor at that point while it
// lets another run, so that two of them interleave in a chosen order. One hook at a time;
// ClearInterlockedHook and ResetAll remove it. The action may run on any thread and must not
// set or clear the hook.
void SetInterlockedHook(const volatile sim::wdm::LONG* target,
                        std::function<void(sim::wdm::LONG)> action);
void ClearInterlockedHook();

// ---- End of a run -----------------------------------------------------------------------------

// Reports what a test (or a bench that is taken apart) left behind, each under its kind:
// requests still in flight or held by a driver (NeverCompleted), pool still charged to a driver,
// by tag (PoolLeak), requests from IoAllocateIrp never freed (RequestLeak), device objects not
// deleted (LeftAtEnd), and freed requests written after they were freed (UseAfterFree). Each
// thing is reported once. Waits for queued deferred work first. KernelTest calls it before it
// resets the kernel stand-in, and so does the bench when it is taken apart.
void CheckEndOfRun(std::string_view when);

// ---- Reset ------------------------------------------------------------------------------------

// Forgets every driver, device, interface, request, pool record, violation and fault plan,
// waits for queued deferred work first. The registry is not touched.
void ResetAll();

} // namespace sim::kernel
