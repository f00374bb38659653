// Norvask: WDM function driver for the USB I/O chip. The per-device record and the routines
// the dispatch files share.
#pragma once

#include "kernel.h"

#include "norvask_contract.h"

namespace norvask {

// "Wdm " as the kernel stores a pool tag: bytes 'W','d','m',' ' in memory.
constexpr ULONG kPoolTag = 0x206D6457;

constexpr ULONG kLinkNameCapacity = 512; // characters, terminator included

// Open marks kept in PipeFlags of the interface copy's pipe entries.
constexpr ULONG kPipeFree = 0;
constexpr ULONG kPipeOpen = 1;

// The device's I/O control codes, as the console knows them.
using contract::IOCTL_GET_CONFIG_DESCRIPTOR;
using contract::IOCTL_RESET_PIPE;
using contract::IOCTL_RESET_PORT_IF_DISABLED;
using contract::IOCTL_VENDOR_REQUEST;

// The vendor transfer in flight, handed to its completion routine as context.
struct VendorTransferContext {
    PIRP Irp;                    // bus request
    PURB Urb;                    // its request block
    PDEVICE_OBJECT DeviceObject; // our own device object
};

// The per-device record: the device extension of the functional device object, zero-filled by
// the I/O manager. It is all the state the driver keeps. "PnP dispatch" below means the Plug
// and Play dispatch routine, which the system calls at PASSIVE_LEVEL for one request at a time.
struct DeviceExtension {
    // ---- Lifetime ----------------------------------------------------------------------------
    // Set by AddDevice, read-only afterwards.
    PDEVICE_OBJECT LowerDeviceObject;           // where every request we pass down goes
    PDEVICE_OBJECT PhysicalDeviceObject;        // what our own power requests are issued for
    WCHAR InterfaceLinkName[kLinkNameCapacity]; // the registered interface, zero-terminated;
                                                // empty when the link did not fit
    ULONG MaximumTransferSize;                  // given to every pipe at configuration: 8
    // The vendor gate's wait: 2 ms, relative. On Windows a timed wait ends on a clock tick, so
    // this one lasts at least a tick: about 15.6 ms at the default clock rate, 2 ms only where
    // something has raised the rate. Nothing may rely on the wait being shorter than a tick.
    LARGE_INTEGER GateTimeout;

    // Requests inside the driver, plus one for the device itself; changed only with
    // IncrementIoCount and DecrementIoCount (interlocked, any IRQL up to DISPATCH_LEVEL).
    //   1   only the device's own hold, taken by AddDevice: nothing is inside the driver;
    //   n>1 n - 1 holds: each dispatch's until it is done, and those that a completion gives
    //       up later (a vendor transfer on the bus, a device power-up, a system power request
    //       held for its device request, an idle-policy power request);
    //   0   before AddDevice takes the device's hold, and once the remove has given it up and
    //       every request has left: the device object may go, and IncrementIoCount refuses
    //       every new hold, so that no request enters the driver behind the remove's back.
    // Once the count is 1 the remove may give up the device's hold and delete the device at any
    // moment, so a release that leaves 1 touches nothing of the device after it.
    LONG PendingIoCount;
    KEVENT RemoveEvent;         // set by the release that leaves 0; the remove waits for it
    KEVENT NoRequestsEvent;     // set by each release that leaves 1, just before it lets go; a
                                // query-remove waits for it. Neither event is ever reset.
    BOOLEAN ShutdownRegistered; // AddDevice registered, the remove unregisters
    // The interface AddDevice enabled (InterfaceLinkName) is still enabled: cleared by the
    // surprise removal or the remove that disables it (PnP dispatch), so that it goes once.
    BOOLEAN InterfaceEnabled;

    // ---- Plug and Play state ---------------------------------------------------------------
    // Written by the PnP dispatch only (DeviceRemoved by the teardown); read without a lock by
    // CanAcceptRequests in every dispatch. A request that read them just before a change is
    // already counted in PendingIoCount, which the query-remove and the teardown wait out.
    BOOLEAN DeviceStarted; // configured: set by the start, cleared by a stop
    BOOLEAN StopPending;   // a query-stop was accepted and not cancelled
    BOOLEAN RemovePending; // a query-remove was accepted and not cancelled
    // Remove, surprise removal or shutdown has begun: the device takes no new request. The
    // device object stays until IRP_MN_REMOVE_DEVICE, which alone frees, detaches and deletes.
    BOOLEAN DeviceRemoved;
    // Read by the start (PnP dispatch), kept until removal frees them once no request is left.
    PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;               // 18 bytes, or none
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor; // wTotalLength bytes, or none

    // ---- Vendor slot -----------------------------------------------------------------------
    // One vendor transfer at a time. The gate admits one vendor request into the slot check;
    // the slot says whether a transfer is on the bus.
    //
    // VendorGate: signalled when no vendor request holds the gate. A synchronisation event, so
    // that passing the wait takes the gate in the same step; given back by the request when it
    // fails before recording its transfer, or by the transfer's completion; forced open by a
    // waiter that timed out (an outstanding transfer still holds the slot).
    KEVENT VendorGate;
    // Serialises the slot (PendingVendorIrp, VendorTransfer, VendorRequestedLength,
    // VendorIrpPended) between vendor requests (PASSIVE_LEVEL) and the transfer's completion
    // (up to DISPATCH_LEVEL). Never held while a request is completed: completion runs the
    // routines of the drivers above, which may call back into this one.
    KSPIN_LOCK VendorLock;
    PIRP PendingVendorIrp;                // the caller's request whose transfer is on the bus
    VendorTransferContext VendorTransfer; // that transfer's bus request and request block
    ULONG VendorRequestedLength;          // what it asked for; the reply never reports more
    // The dispatch has returned the caller's request pending, so the transfer's completion
    // completes it; until then the dispatch does, once the transfer has finished.
    BOOLEAN VendorIrpPended;

    // ---- Open handle -----------------------------------------------------------------------
    // Create's test-and-set of DeviceOpen in one step: exchanged to 1 by the create that admits
    // a handle, back to 0 by its close, a failed create or the teardown's abort of its pipe.
    LONG OpenClaim;
    BOOLEAN DeviceOpen; // a handle is open; written under the claim by create and close
    // The file object of the handle that create admitted, or none: only its close gives the
    // claim back. Set under the claim by create, taken back with an interlocked exchange by
    // that close or the teardown's abort.
    PFILE_OBJECT OpenFileObject;

    // ---- Power -----------------------------------------------------------------------------
    // Power requests reach the power dispatch at PASSIVE_LEVEL, one of each type at a time.
    DEVICE_CAPABILITIES Capabilities; // as the bus reported them, made removable; AddDevice
    // Current state, D0 to D3; 0 until the first device power request. A power-down is written
    // by the power dispatch before it goes down, a power-up by its completion routine.
    DEVICE_POWER_STATE DevicePowerState;
    // State taken while no pipe is open: from the capabilities at AddDevice, then the wake
    // state of each wait-wake request.
    DEVICE_POWER_STATE IdleDeviceState;
    // The system set-power request held while its device request runs: set by the power
    // dispatch, cleared by the device request's completion function before it sends the held
    // request on (from then on the next system request may arrive and be held here).
    PIRP HeldSystemPowerIrp;
    // A wait-wake request is on its way down (power dispatch). Read by the system set-power
    // dispatch, and HeldSystemPowerIrp by the idle policy, on other threads: both are stored and
    // loaded atomically.
    BOOLEAN WaitWakeArmed;
    // The wait-wake request inside the driver, from the dispatch that arms it until the request
    // has come back up to that dispatch, or none; WaitWakeLock serialises it with the remove,
    // which cancels it and then waits, as for every request, until the dispatch has let go.
    PIRP WaitWakeIrp;
    KSPIN_LOCK WaitWakeLock;
    BOOLEAN IdlePowerBusy; // an idle-policy power request is being issued (PASSIVE_LEVEL)
    KEVENT PowerUpEvent;   // set when an idle-policy power-up completes; never reset
    // Held while the idle policy decides and issues its request, and while create counts a
    // pipe it opened: a close that lets the device sleep and the next create that wakes it
    // run one after the other. A synchronisation event, signalled when free (PASSIVE_LEVEL).
    KEVENT IdlePolicyLock;

    // ---- Pipes -----------------------------------------------------------------------------
    // Set by the start (PnP dispatch); replaced by a restart, freed by removal.
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    // Copy of the selected interface with its pipe array. A pipe entry's PipeFlags holds its
    // open mark (kPipeFree, kPipeOpen), and an open handle's FsContext points at its entry;
    // marks change in create and close (one handle at a time) and in the teardown's abort.
    PUSBD_INTERFACE_INFORMATION InterfaceInfo;
    // Pipes marked open; follows the marks, and starts again at 0 with a new copy.
    LONG OpenPipeCount;
};

inline DeviceExtension* Extension(PDEVICE_OBJECT deviceObject) {
    return static_cast<DeviceExtension*>(deviceObject->DeviceExtension);
}

// Entry and setup.
NORVASK_ENTRY_LINKAGE NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject,
                                                 PUNICODE_STRING registryPath);
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject);
BOOLEAN PublishDeviceName(const WCHAR* linkName, ULONG linkLength);
bool ProductTypeReadable();
LONG IncrementIoCount(PDEVICE_OBJECT deviceObject);
LONG DecrementIoCount(PDEVICE_OBJECT deviceObject);
BOOLEAN CanAcceptRequests(PDEVICE_OBJECT deviceObject);
void LockIdlePolicy(DeviceExtension* ext);
void UnlockIdlePolicy(DeviceExtension* ext);
// The Plug and Play state flags change in the PnP dispatch while CanAcceptRequests reads them
// from any other dispatch on any processor: each store and load of one is a single atomic step.
inline void SetPnpFlag(BOOLEAN& flag, BOOLEAN value) {
    __atomic_store_n(&flag, value, __ATOMIC_RELEASE);
}
inline BOOLEAN PnpFlag(const BOOLEAN& flag) {
    return __atomic_load_n(&flag, __ATOMIC_ACQUIRE);
}
// The device power states are written by the power dispatch and its completions while the idle
// policy, the system set-power and a wait-wake read them on other processors: likewise single
// atomic steps.
inline void SetPowerState(DEVICE_POWER_STATE& state, DEVICE_POWER_STATE value) {
    __atomic_store_n(&state, value, __ATOMIC_RELEASE);
}
inline DEVICE_POWER_STATE PowerState(const DEVICE_POWER_STATE& state) {
    return __atomic_load_n(&state, __ATOMIC_ACQUIRE);
}
// A pipe's open mark changes under the idle policy's lock (with OpenPipeCount) and is read
// without it by a removal aborting pipes and by a pipe reset.
inline ULONG PipeMark(const USBD_PIPE_INFORMATION& pipe) {
    return __atomic_load_n(&pipe.PipeFlags, __ATOMIC_ACQUIRE);
}
inline void SetPipeMark(USBD_PIPE_INFORMATION& pipe, ULONG mark) {
    __atomic_store_n(&pipe.PipeFlags, mark, __ATOMIC_RELEASE);
}
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT deviceObject, PURB urb);
NTSTATUS SubmitPipeRequest(PDEVICE_OBJECT deviceObject, USHORT function, USBD_PIPE_HANDLE pipe);
NTSTATUS CallLowerSync(PDEVICE_OBJECT deviceObject, ULONG ioctl, PVOID argument1);
NTSTATUS ForwardAndWait(PDEVICE_OBJECT target, PIRP irp, bool powerRequest);
NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information);
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT deviceObject, PIRP irp);

// Device control.
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS NTAPI VendorRequestComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);

// Create, close, read and write.
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS NTAPI DispatchReadWrite(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS AbortOpenPipes(PDEVICE_OBJECT deviceObject);
PUSBD_PIPE_INFORMATION PipeOfHandle(DeviceExtension* ext, PVOID fsContext);

// Plug and Play.
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS NTAPI DispatchShutdown(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS ReleaseDeviceResources(PDEVICE_OBJECT deviceObject);

// Power.
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS ApplyIdlePolicy(PDEVICE_OBJECT deviceObject, BOOLEAN suspend);
NTSTATUS RequestDevicePower(PDEVICE_OBJECT deviceObject, DEVICE_POWER_STATE target);
void CancelWaitWake(DeviceExtension* ext);

} // namespace norvask
