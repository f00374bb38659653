// Power manager: power requests issued on a driver's behalf, and the PoStartNextPowerIrp rule.
#include "sim/kernel/internal.h"

namespace sim::wdm {

using namespace sim::kernel;
using namespace sim::kernel::detail;

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
    NoteStartNextPowerIrp(Irp);
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    // A driver that holds the request must have released the next power request first, at the
    // location it holds (not the one its pointer shows after a skip).
    if (Irp != nullptr)
        CheckStartNextBeforePoCallDriver(Irp, DeviceObject);
    return IofCallDriver(DeviceObject, Irp);
}

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                 POWER_STATE PowerState, PREQUEST_POWER_COMPLETE CompletionFunction,
                                 PVOID Context, PIRP* Irp) {
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
        MinorFunction != IRP_MN_WAIT_WAKE) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!IsDeviceObjectValid(DeviceObject)) {
        Report(ViolationKind::BadArgument, "PoRequestPowerIrp for a freed or unknown device");
        return STATUS_INVALID_PARAMETER;
    }
    PDRIVER_OBJECT requester = CurrentDriver();
    if (requester != nullptr && ShouldFailIrp())
        return STATUS_INSUFFICIENT_RESOURCES;

    // Like the I/O manager's requests, each power request holds the device and the top of its
    // stack until its completion function has run, so neither object goes while the request is
    // out; a device already being deleted takes no new request.
    PDEVICE_OBJECT top = ReferenceDeviceAndTop(DeviceObject);
    if (top == nullptr) {
        if (requester != nullptr)
            Report(ViolationKind::BadArgument, "PoRequestPowerIrp for a deleted device");
        return STATUS_DELETE_PENDING;
    }
    auto onFinal = [DeviceObject, top, MinorFunction, PowerState, CompletionFunction, Context,
                    requester](PIRP irp) {
        IO_STATUS_BLOCK status = irp->IoStatus;
        ReleaseSystemIrp(irp);
        if (CompletionFunction != nullptr) {
            DriverScope scope(requester);
            CompletionFunction(DeviceObject, MinorFunction, PowerState, Context, &status);
        }
        ObDereferenceObject(top);
        ObDereferenceObject(DeviceObject);
    };
    PIRP irp = AllocateIrp(top->StackSize, IrpOwner::System, requester, onFinal);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        ObDereferenceObject(DeviceObject);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        next->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State = PowerState;
        next->Parameters.Power.ShutdownType = PowerActionNone;
    }
    if (Irp != nullptr)
        *Irp = irp;
    // Sent from the requester's thread, as the real power manager does for device requests.
    {
        DriverScope scope(nullptr);
        IofCallDriver(top, irp);
    }
    return STATUS_PENDING;
}

} // namespace sim::wdm
