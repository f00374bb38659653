// Device control: the vendor request that carries a command packet to the chip as one USB
// vendor control transfer, and the three maintenance codes.
#include "norvask.h"

#include "core/command_packet.h"

namespace norvask {

namespace {

// Port status bits of IOCTL_INTERNAL_USB_GET_PORT_STATUS.
constexpr ULONG kPortEnabled = 0x1;
constexpr ULONG kPortConnected = 0x2;

// Copies the stored configuration descriptor to the caller. PASSIVE_LEVEL.
NTSTATUS GetConfigDescriptor(DeviceExtension* ext, PIRP irp, PIO_STACK_LOCATION stack) {
    const PUSB_CONFIGURATION_DESCRIPTOR descriptor = ext->ConfigurationDescriptor;
    if (!descriptor) {
        irp->IoStatus.Information = 0;
        return STATUS_DEVICE_DATA_ERROR;
    }
    // The start stored only a descriptor whose total length lies within its buffer.
    const ULONG total = descriptor->wTotalLength;
    if (!irp->AssociatedIrp.SystemBuffer ||
        stack->Parameters.DeviceIoControl.OutputBufferLength < total) {
        irp->IoStatus.Information = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, descriptor, total);
    irp->IoStatus.Information = total;
    return STATUS_SUCCESS;
}

// Resets the port when the device sits on it connected but disabled. PASSIVE_LEVEL.
// Returns the status of the last bus call.
NTSTATUS ResetPortIfDisabled(PDEVICE_OBJECT deviceObject) {
    ULONG portStatus = 0;
    NTSTATUS status = CallLowerSync(deviceObject, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus);
    if (NT_SUCCESS(status) && (portStatus & kPortConnected) && !(portStatus & kPortEnabled)) {
        status = CallLowerSync(deviceObject, IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
    }
    return status;
}

// Resets one pipe. PASSIVE_LEVEL. Returns the bus status, or STATUS_INSUFFICIENT_RESOURCES.
NTSTATUS ResetPipe(PDEVICE_OBJECT deviceObject, PUSBD_PIPE_INFORMATION pipe) {
    return SubmitPipeRequest(deviceObject, URB_FUNCTION_RESET_PIPE, pipe->PipeHandle);
}

// Fails a vendor request before its transfer was recorded: reopens the gate, completes the
// request and releases its hold. PASSIVE_LEVEL. Returns `status`.
NTSTATUS FailVendorRequest(PDEVICE_OBJECT deviceObject, PIRP irp, NTSTATUS status,
                           bool reopenGate) {
    if (reopenGate) {
        KeSetEvent(&Extension(deviceObject)->VendorGate, 1, FALSE);
    }
    CompleteRequest(irp, status, 0);
    DecrementIoCount(deviceObject);
    return status;
}

// Carries one command packet to the chip. PASSIVE_LEVEL. Returns STATUS_PENDING while the
// transfer is on the bus, STATUS_SUCCESS when it already finished, or the failure status with
// which the request was completed. The request's hold is released where it completes.
NTSTATUS VendorRequest(PDEVICE_OBJECT deviceObject, PIRP irp, PIO_STACK_LOCATION stack) {
    DeviceExtension* ext = Extension(deviceObject);

    // The gate is a synchronisation event: passing the wait takes it. The wait's 2 ms are a
    // floor: on Windows it ends on a clock tick, about 15.6 ms by default.
    if (KeWaitForSingleObject(&ext->VendorGate, UserRequest, KernelMode, FALSE,
                              &ext->GateTimeout) == STATUS_TIMEOUT) {
        // Force the gate open so that a transfer that never finishes cannot block callers
        // for ever; the slot check below still refuses a second transfer.
        return FailVendorRequest(deviceObject, irp, STATUS_UNSUCCESSFUL, true);
    }
    // Taken. The wait has reset the gate already; this clear also takes back a set that came
    // in between (an outstanding transfer finishing, or another caller forcing the gate open),
    // since this request now holds the gate whatever the slot check finds.
    KeClearEvent(&ext->VendorGate);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;

    // From the slot check to the recording of the transfer no other vendor request and no
    // completion may touch the slot.
    KIRQL oldIrql;
    KeAcquireSpinLock(&ext->VendorLock, &oldIrql);
    if (ext->PendingVendorIrp) {
        KeReleaseSpinLock(&ext->VendorLock, oldIrql);
        // The gate stays shut: the outstanding transfer's completion opens it.
        return FailVendorRequest(deviceObject, irp, STATUS_DEVICE_BUSY, false);
    }

    UCHAR* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    core::VendorTransferPlan plan;
    if (!core::PlanVendorTransfer(buffer, stack->Parameters.DeviceIoControl.InputBufferLength,
                                  stack->Parameters.DeviceIoControl.OutputBufferLength,
                                  buffer != nullptr, &plan)) {
        KeReleaseSpinLock(&ext->VendorLock, oldIrql);
        return FailVendorRequest(deviceObject, irp, STATUS_INVALID_PARAMETER, true);
    }

    const USHORT urbSize = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, urbSize, kPoolTag));
    PIRP busIrp = IoAllocateIrp(static_cast<CCHAR>(ext->LowerDeviceObject->StackSize + 1), FALSE);
    if (!urb || !busIrp) {
        if (urb) {
            ExFreePool(urb);
        }
        if (busIrp) {
            IoFreeIrp(busIrp);
        }
        KeReleaseSpinLock(&ext->VendorLock, oldIrql);
        return FailVendorRequest(deviceObject, irp, STATUS_INSUFFICIENT_RESOURCES, true);
    }
    RtlZeroMemory(urb, urbSize);
    urb->UrbHeader.Length = urbSize;
    urb->UrbHeader.Function = URB_FUNCTION_VENDOR_DEVICE;
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& vendor = urb->UrbControlVendorClassRequest;
    vendor.TransferFlags = plan.transferFlags;
    vendor.TransferBufferLength = plan.dataLength;
    vendor.TransferBuffer = plan.hasData ? buffer + plan.dataOffset : nullptr;
    vendor.TransferBufferMDL = nullptr;
    vendor.UrbLink = nullptr;
    vendor.RequestTypeReservedBits = plan.requestTypeReservedBits;
    vendor.Request = plan.request;
    vendor.Value = plan.value;
    vendor.Index = plan.index;

    ext->VendorTransfer.Irp = busIrp;
    ext->VendorTransfer.Urb = urb;
    ext->VendorTransfer.DeviceObject = deviceObject;
    ext->VendorRequestedLength = plan.dataLength;
    ext->VendorIrpPended = FALSE;
    ext->PendingVendorIrp = irp;
    KeReleaseSpinLock(&ext->VendorLock, oldIrql);

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(busIrp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(busIrp, VendorRequestComplete, &ext->VendorTransfer, TRUE, TRUE, TRUE);

    // The completion routine may run inside the call and release the request's hold; this
    // hold keeps the device from being torn down while the decision below still reads it.
    IncrementIoCount(deviceObject);
    // A caller that timed out while this request prepared its transfer has forced the gate
    // open. Shut it again before the transfer goes: until its completion gives the gate back,
    // the next caller waits for it instead of passing the gate only to find the slot full.
    KeClearEvent(&ext->VendorGate);
    IoCallDriver(ext->LowerDeviceObject, busIrp);

    // The completion routine clears the slot under the same lock, so the slot tells whether the
    // transfer has finished. Whichever of the two comes second completes the caller's request,
    // after letting go of the lock.
    NTSTATUS status = STATUS_PENDING;
    KeAcquireSpinLock(&ext->VendorLock, &oldIrql);
    const bool finished = ext->PendingVendorIrp != irp;
    if (!finished) {
        IoMarkIrpPending(irp);
        irp->IoStatus.Status = STATUS_PENDING;
        ext->VendorIrpPended = TRUE;
    }
    KeReleaseSpinLock(&ext->VendorLock, oldIrql);
    if (finished) {
        // It finished inside the call: the completion routine filled the request in and left
        // completing it to this dispatch.
        status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    DecrementIoCount(deviceObject); // last touch of the device
    return status;
}

} // namespace

// Completion of the bus request of a vendor transfer: fills in the caller's request, frees the
// transfer and reopens the gate. It completes the caller's request when the dispatch has
// already returned it pending; otherwise the dispatch, still in its call to the bus, does.
// IRQL <= DISPATCH_LEVEL, any thread. Returns STATUS_MORE_PROCESSING_REQUIRED: the bus request
// is freed here.
NTSTATUS NTAPI VendorRequestComplete(PDEVICE_OBJECT, PIRP busIrp, PVOID context) {
    VendorTransferContext* transfer = static_cast<VendorTransferContext*>(context);
    PDEVICE_OBJECT deviceObject = transfer->DeviceObject;
    DeviceExtension* ext = Extension(deviceObject);

    // The bus request is ours and ends here. It is not marked pending: it has no stack
    // location of ours (marking would write past its stack), and no one above waits on it.

    KIRQL oldIrql;
    KeAcquireSpinLock(&ext->VendorLock, &oldIrql);
    PIRP irp = ext->PendingVendorIrp;
    PURB urb = transfer->Urb;
    const ULONG requested = ext->VendorRequestedLength;
    const ULONG moved = urb->UrbControlVendorClassRequest.TransferBufferLength;
    const ULONG outputLength =
        IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = core::VendorReplyLength(moved, requested, outputLength);

    ExFreePool(urb);
    IoFreeIrp(busIrp);
    transfer->Irp = nullptr;
    transfer->Urb = nullptr;

    ext->PendingVendorIrp = nullptr;
    const bool completeHere = ext->VendorIrpPended != FALSE;
    KeReleaseSpinLock(&ext->VendorLock, oldIrql);

    // Not under the lock: completion runs the routines of the drivers above, and one that
    // sent a request back into this driver would spin on the lock for ever.
    if (completeHere) {
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    KeSetEvent(&ext->VendorGate, 1, FALSE);
    DecrementIoCount(deviceObject); // last touch of the device
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Device control dispatch. PASSIVE_LEVEL, caller's thread. Returns the request's status, or
// STATUS_PENDING for a vendor transfer still on the bus.
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp) {
    if (IncrementIoCount(deviceObject) == 0) {
        return CompleteRequest(irp, STATUS_DELETE_PENDING, 0);
    }
    if (!CanAcceptRequests(deviceObject)) {
        CompleteRequest(irp, STATUS_DELETE_PENDING, 0);
        DecrementIoCount(deviceObject);
        return STATUS_DELETE_PENDING;
    }
    DeviceExtension* ext = Extension(deviceObject);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;

    if (code == IOCTL_VENDOR_REQUEST) {
        return VendorRequest(deviceObject, irp, stack);
    }

    NTSTATUS status;
    switch (code) {
    case IOCTL_GET_CONFIG_DESCRIPTOR:
        status = GetConfigDescriptor(ext, irp, stack);
        break;
    case IOCTL_RESET_PORT_IF_DISABLED:
        status = ResetPortIfDisabled(deviceObject);
        break;
    case IOCTL_RESET_PIPE: {
        PUSBD_PIPE_INFORMATION pipe =
            PipeOfHandle(ext, stack->FileObject ? stack->FileObject->FsContext : nullptr);
        // Only a pipe this handle still holds open: after a restart the handle's old entry
        // may lie where a free entry of the new copy now is.
        if (pipe && PipeMark(*pipe) == kPipeOpen) {
            ResetPipe(deviceObject, pipe); // the caller learns nothing from the reset
            status = STATUS_SUCCESS;
        } else {
            status = STATUS_INVALID_PARAMETER;
        }
        break;
    }
    default:
        status = STATUS_INVALID_PARAMETER;
        break;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    DecrementIoCount(deviceObject);
    return status;
}

} // namespace norvask
