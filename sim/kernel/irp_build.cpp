// Cancellation of requests, and the device control requests that a driver builds with
// IoBuildDeviceIoControlRequest, which belong to the I/O manager.
#include "sim/kernel/internal.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace sim::wdm {

using namespace sim::kernel;
using namespace sim::kernel::detail;

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
    if (IrpFreed(Irp)) {
        Report(ViolationKind::UseAfterFree,
               DriverName(CurrentDriver()) + " called IoCancelIrp on a request already freed");
        return FALSE;
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    // Read without the cancel lock by drivers that check it after setting a cancel routine, as
    // Windows allows: one atomic store.
    __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_SEQ_CST);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                                ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                                : nullptr;
    DriverScope scope(device != nullptr ? device->DriverObject : nullptr);
    routine(device, Irp); // releases the cancel spin lock
    return TRUE;
}

namespace {
KSPIN_LOCK g_cancelLock = 0;
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
    KeAcquireSpinLock(&g_cancelLock, Irql);
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
    KeReleaseSpinLock(&g_cancelLock, Irql);
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                         PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
    PDRIVER_OBJECT driver = CurrentDriver();
    if (driver != nullptr && ShouldFailIrp())
        return nullptr;
    ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
    bool buffered = method != METHOD_NEITHER;
    void* systemBuffer = nullptr;
    ULONG systemLength =
        InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
    if (buffered && systemLength != 0) {
        systemBuffer = std::calloc(1, systemLength);
        if (systemBuffer == nullptr)
            return nullptr;
        if (InputBuffer != nullptr)
            std::memcpy(systemBuffer, InputBuffer, InputBufferLength);
    }
    auto onFinal = [buffered, systemBuffer, OutputBuffer, OutputBufferLength, Event,
                    IoStatusBlock](PIRP irp) {
        IO_STATUS_BLOCK result = irp->IoStatus;
        if (buffered && OutputBuffer != nullptr && !NT_ERROR(result.Status)) {
            ULONG_PTR count = result.Information;
            if (count > OutputBufferLength) {
                Report(ViolationKind::InformationTooLarge,
                       "a device control request completed with Information " +
                           std::to_string(count) + " for an output buffer of " +
                           std::to_string(OutputBufferLength) + " bytes");
                count = OutputBufferLength;
            }
            if (count != 0 && systemBuffer != nullptr)
                std::memcpy(OutputBuffer, systemBuffer, count);
        }
        std::free(systemBuffer);
        ReleaseSystemIrp(irp);
        if (IoStatusBlock != nullptr)
            *IoStatusBlock = result;
        if (Event != nullptr)
            KeSetEvent(Event, IO_NO_INCREMENT, FALSE);
    };
    PIRP irp = AllocateIrp(DeviceObject->StackSize, IrpOwner::IoManager, driver, onFinal);
    if (irp == nullptr) {
        std::free(systemBuffer);
        return nullptr;
    }
    irp->AssociatedIrp.SystemBuffer = systemBuffer;
    irp->UserBuffer = OutputBuffer;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction =
        InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    if (!buffered)
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    return irp;
}

} // namespace sim::wdm
