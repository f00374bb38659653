// Power: system and device set-power, wait-wake, and the idle policy that lets the device
// sleep while no pipe is open.
#include "norvask.h"

#include "core/power_policy.h"

namespace norvask {

namespace {

// The device request that a held system request waited for has finished: send the system
// request on. IRQL <= DISPATCH_LEVEL, any thread.
VOID NTAPI SystemPowerComplete(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context,
                               PIO_STATUS_BLOCK) {
    PDEVICE_OBJECT deviceObject = static_cast<PDEVICE_OBJECT>(context);
    DeviceExtension* ext = Extension(deviceObject);
    PIRP held = __atomic_load_n(&ext->HeldSystemPowerIrp, __ATOMIC_ACQUIRE);
    // Free the slot first: once the held request has gone on, the next system request may
    // arrive (even inside the call below) and be held in its place.
    __atomic_store_n(&ext->HeldSystemPowerIrp, nullptr, __ATOMIC_RELEASE);
    IoCopyCurrentIrpStackLocationToNext(held);
    PoStartNextPowerIrp(held);
    PoCallDriver(ext->LowerDeviceObject, held);
    DecrementIoCount(deviceObject);
}

// A device power-up came back: it counts as reached whatever the lower drivers say.
// IRQL <= DISPATCH_LEVEL. Returns STATUS_SUCCESS so completion goes on upwards.
NTSTATUS NTAPI DevicePowerUpComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    PDEVICE_OBJECT deviceObject = static_cast<PDEVICE_OBJECT>(context);
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    SetPowerState(Extension(deviceObject)->DevicePowerState, PowerDeviceD0);
    irp->IoStatus.Status = STATUS_SUCCESS;
    DecrementIoCount(deviceObject);
    return STATUS_SUCCESS;
}

// An idle-policy device request finished. IRQL <= DISPATCH_LEVEL, any thread.
VOID NTAPI IdlePowerComplete(PDEVICE_OBJECT, UCHAR, POWER_STATE state, PVOID context,
                             PIO_STATUS_BLOCK) {
    PDEVICE_OBJECT deviceObject = static_cast<PDEVICE_OBJECT>(context);
    DeviceExtension* ext = Extension(deviceObject);
    if (static_cast<ULONG>(state.DeviceState) <
        static_cast<ULONG>(PowerState(ext->IdleDeviceState))) {
        KeSetEvent(&ext->PowerUpEvent, 1, FALSE);
    }
    DecrementIoCount(deviceObject);
}

// Lets the next power request in and passes this one down. IRQL <= DISPATCH_LEVEL. Returns
// the lower status.
NTSTATUS PassPowerDown(DeviceExtension* ext, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    return PoCallDriver(ext->LowerDeviceObject, irp);
}

// IRP_MN_WAIT_WAKE: arms wake-up and waits until the device wakes or the request is
// cancelled. PASSIVE_LEVEL. Returns the lower drivers' status.
NTSTATUS WaitWake(PDEVICE_OBJECT deviceObject, PIRP irp) {
    DeviceExtension* ext = Extension(deviceObject);
    SetPowerState(ext->IdleDeviceState, ext->Capabilities.DeviceWake);
    if (core::RefuseWaitWake(PowerState(ext->DevicePowerState), ext->Capabilities.DeviceWake)) {
        PoStartNextPowerIrp(irp);
        CompleteRequest(irp, STATUS_INVALID_DEVICE_STATE, 0);
        DecrementIoCount(deviceObject);
        return STATUS_INVALID_DEVICE_STATE;
    }
    // A removal that has begun takes no wait-wake: it would pass down behind the remove's back.
    // Nor does a device with one inside the driver already (one just signalled may still be on
    // its way back up): the remove could cancel only one of them.
    KIRQL irql;
    KeAcquireSpinLock(&ext->WaitWakeLock, &irql);
    NTSTATUS refusal = STATUS_SUCCESS;
    if (PnpFlag(ext->DeviceRemoved)) {
        refusal = STATUS_DELETE_PENDING;
    } else if (ext->WaitWakeIrp) {
        refusal = STATUS_DEVICE_BUSY;
    } else {
        ext->WaitWakeIrp = irp;
    }
    KeReleaseSpinLock(&ext->WaitWakeLock, irql);
    if (refusal != STATUS_SUCCESS) {
        PoStartNextPowerIrp(irp);
        CompleteRequest(irp, refusal, 0);
        DecrementIoCount(deviceObject);
        return refusal;
    }
    SetPnpFlag(ext->WaitWakeArmed, TRUE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    PoStartNextPowerIrp(irp);
    // Until the device signals wake or the request is cancelled.
    const NTSTATUS status = ForwardAndWait(ext->LowerDeviceObject, irp, true);
    ApplyIdlePolicy(deviceObject, FALSE);
    SetPnpFlag(ext->WaitWakeArmed, FALSE);
    // Back with us (a cancel now finds no cancel routine): the next one may come in.
    KeAcquireSpinLock(&ext->WaitWakeLock, &irql);
    ext->WaitWakeIrp = nullptr;
    KeReleaseSpinLock(&ext->WaitWakeLock, irql);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    DecrementIoCount(deviceObject);
    return status;
}

// System set-power: ask for the matching device state first, and send the system request on
// when that is done. PASSIVE_LEVEL.
NTSTATUS SetSystemPower(PDEVICE_OBJECT deviceObject, PIRP irp, PIO_STACK_LOCATION stack) {
    DeviceExtension* ext = Extension(deviceObject);
    core::i32 states[PowerSystemMaximum];
    for (int i = 0; i < PowerSystemMaximum; ++i) {
        states[i] = static_cast<core::i32>(ext->Capabilities.DeviceState[i]);
    }
    const DEVICE_POWER_STATE target = static_cast<DEVICE_POWER_STATE>(core::ChooseSystemPowerTarget(
        stack->Parameters.Power.State.SystemState, PnpFlag(ext->WaitWakeArmed) != FALSE, states,
        static_cast<core::u32>(PowerSystemMaximum)));

    if (target == PowerState(ext->DevicePowerState)) {
        const NTSTATUS status = PassPowerDown(ext, irp);
        DecrementIoCount(deviceObject);
        return status;
    }
    IoMarkIrpPending(irp);
    __atomic_store_n(&ext->HeldSystemPowerIrp, irp, __ATOMIC_RELEASE);
    POWER_STATE state;
    state.DeviceState = target;
    const NTSTATUS status = PoRequestPowerIrp(ext->PhysicalDeviceObject, IRP_MN_SET_POWER, state,
                                              SystemPowerComplete, deviceObject, nullptr);
    if (status != STATUS_PENDING) {
        // No device request will come back to release the system request: send it on now.
        __atomic_store_n(&ext->HeldSystemPowerIrp, nullptr, __ATOMIC_RELEASE);
        PassPowerDown(ext, irp);
        DecrementIoCount(deviceObject);
    }
    return STATUS_PENDING;
}

// Device set-power. A power-down is recorded before it goes down, a power-up when it comes
// back. PASSIVE_LEVEL. Returns the lower status.
NTSTATUS SetDevicePower(PDEVICE_OBJECT deviceObject, PIRP irp, PIO_STACK_LOCATION stack) {
    DeviceExtension* ext = Extension(deviceObject);
    const DEVICE_POWER_STATE state = stack->Parameters.Power.State.DeviceState;
    const bool powerUp = state == PowerDeviceD0;
    IoCopyCurrentIrpStackLocationToNext(irp);
    if (powerUp) {
        IoSetCompletionRoutine(irp, DevicePowerUpComplete, deviceObject, TRUE, TRUE, TRUE);
    } else if (core::IsLowPowerState(state)) {
        SetPowerState(ext->DevicePowerState, state);
    }
    PoStartNextPowerIrp(irp);
    const NTSTATUS status = PoCallDriver(ext->LowerDeviceObject, irp);
    if (!powerUp) {
        DecrementIoCount(deviceObject);
    }
    return status;
}

} // namespace

// Power dispatch. PASSIVE_LEVEL (the device object is power-pageable). Returns the request's
// status, or STATUS_PENDING for a system request held for its device request.
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT deviceObject, PIRP irp) {
    if (IncrementIoCount(deviceObject) == 0) {
        // The remove has waited out every request: this one would pass down behind its back.
        PoStartNextPowerIrp(irp);
        return CompleteRequest(irp, STATUS_DELETE_PENDING, 0);
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
        return WaitWake(deviceObject, irp);
    case IRP_MN_SET_POWER:
        if (stack->Parameters.Power.Type == SystemPowerState) {
            return SetSystemPower(deviceObject, irp, stack);
        }
        if (stack->Parameters.Power.Type == DevicePowerState) {
            return SetDevicePower(deviceObject, irp, stack);
        }
        break;
    default:
        break;
    }
    const NTSTATUS status = PassPowerDown(Extension(deviceObject), irp);
    DecrementIoCount(deviceObject);
    return status;
}

// For the remove, once DeviceRemoved is set: cancels the wait-wake request inside the driver, if
// any. Its dispatch then completes it and releases its hold, which the remove waits for.
// IRQL <= DISPATCH_LEVEL.
void CancelWaitWake(DeviceExtension* ext) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->WaitWakeLock, &irql);
    // The dispatch holds the request until it has cleared WaitWakeIrp under the lock, so the
    // request cancelled here has not been completed and freed. Its cancellation only wakes
    // that dispatch, which takes no lock of ours.
    if (ext->WaitWakeIrp) {
        IoCancelIrp(ext->WaitWakeIrp);
    }
    KeReleaseSpinLock(&ext->WaitWakeLock, irql);
}

// The idle policy's lock (IdlePolicyLock). PASSIVE_LEVEL.
void LockIdlePolicy(DeviceExtension* ext) {
    KeWaitForSingleObject(&ext->IdlePolicyLock, Executive, KernelMode, FALSE, nullptr);
}

void UnlockIdlePolicy(DeviceExtension* ext) {
    KeSetEvent(&ext->IdlePolicyLock, IO_NO_INCREMENT, FALSE);
}

namespace {

NTSTATUS ApplyIdlePolicyLocked(PDEVICE_OBJECT deviceObject, BOOLEAN suspend) {
    DeviceExtension* ext = Extension(deviceObject);
    core::IdleInputs in;
    in.canAcceptRequests = CanAcceptRequests(deviceObject) != FALSE;
    in.systemRequestHeld = __atomic_load_n(&ext->HeldSystemPowerIrp, __ATOMIC_ACQUIRE) != nullptr;
    in.idlePowerBusy = ext->IdlePowerBusy != FALSE;
    in.suspend = suspend != FALSE;
    in.openPipeCount = ext->OpenPipeCount;
    in.idleDeviceState = PowerState(ext->IdleDeviceState);
    const core::IdleDecision decision = core::DecideIdlePolicy(in);
    switch (decision.action) {
    case core::IdleAction::Refuse:
        return STATUS_DELETE_PENDING;
    case core::IdleAction::Nothing:
        return STATUS_SUCCESS;
    case core::IdleAction::Request:
        break;
    }
    return RequestDevicePower(deviceObject, static_cast<DEVICE_POWER_STATE>(decision.target));
}

} // namespace

// Lets the device sleep while no pipe is open (suspend) or wakes it when one is (resume).
// PASSIVE_LEVEL. Returns STATUS_DELETE_PENDING when the device is not in service, else the
// status of the power request or STATUS_SUCCESS when there is nothing to do.
// One caller at a time decides and issues.
NTSTATUS ApplyIdlePolicy(PDEVICE_OBJECT deviceObject, BOOLEAN suspend) {
    DeviceExtension* ext = Extension(deviceObject);
    LockIdlePolicy(ext);
    const NTSTATUS status = ApplyIdlePolicyLocked(deviceObject, suspend);
    UnlockIdlePolicy(ext);
    return status;
}

// Asks the power manager to put the device into `target`; waits for the first power-up of the
// device's life. PASSIVE_LEVEL. Returns STATUS_SUCCESS, or the failure of PoRequestPowerIrp.
NTSTATUS RequestDevicePower(PDEVICE_OBJECT deviceObject, DEVICE_POWER_STATE target) {
    DeviceExtension* ext = Extension(deviceObject);
    if (target == PowerState(ext->DevicePowerState)) {
        return STATUS_SUCCESS;
    }
    IncrementIoCount(deviceObject);
    ext->IdlePowerBusy = TRUE;
    POWER_STATE state;
    state.DeviceState = target;
    const NTSTATUS status = PoRequestPowerIrp(ext->PhysicalDeviceObject, IRP_MN_SET_POWER, state,
                                              IdlePowerComplete, deviceObject, nullptr);
    if (status != STATUS_PENDING) {
        ext->IdlePowerBusy = FALSE;
        DecrementIoCount(deviceObject);
        return status;
    }
    if (static_cast<ULONG>(target) < static_cast<ULONG>(PowerState(ext->IdleDeviceState))) {
        KeWaitForSingleObject(&ext->PowerUpEvent, Suspended, KernelMode, FALSE, nullptr);
    }
    ext->IdlePowerBusy = FALSE;
    return STATUS_SUCCESS;
}

} // namespace norvask
