// The control device: the bus's state and logs for programs, and the chip pulled out or
// plugged in again.
#include "vbus_driver.h"

namespace vbus {

NTSTATUS ControlDeviceControl(Bus* bus, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    // The three codes with an input take one 32-bit number.
    ULONG argument = 0;
    if (code == IOCTL_VBUS_READ_WORDS || code == IOCTL_VBUS_READ_TRANSFERS ||
        code == IOCTL_VBUS_SET_SERIAL) {
        if (!buffer || inLength < sizeof(ULONG)) {
            return Complete(irp, STATUS_INVALID_PARAMETER);
        }
        argument = *static_cast<ULONG*>(buffer);
    }

    KIRQL irql;
    switch (code) {
    case IOCTL_VBUS_GET_STATE: {
        if (!buffer || outLength < sizeof(BusState)) {
            return Complete(irp, STATUS_BUFFER_TOO_SMALL);
        }
        BusState* state = static_cast<BusState*>(buffer);
        KeAcquireSpinLock(&bus->lock, &irql);
        *state = bus->counters;
        state->size = sizeof(BusState);
        state->plugged = bus->plugged;
        state->childPresent = bus->child != nullptr;
        state->childStarted = bus->childStarted;
        state->configured = bus->configured;
        state->serialNumber = bus->chip.SerialNumber();
        state->words = bus->chip.WordCount();
        KeReleaseSpinLock(&bus->lock, irql);
        return Complete(irp, STATUS_SUCCESS, sizeof(BusState));
    }
    case IOCTL_VBUS_READ_WORDS: {
        USHORT* out = static_cast<USHORT*>(buffer);
        ULONG n = 0;
        KeAcquireSpinLock(&bus->lock, &irql);
        u16 word = 0;
        while (n < outLength / sizeof(USHORT) && bus->chip.WordAt(argument + n, &word)) {
            out[n++] = word;
        }
        KeReleaseSpinLock(&bus->lock, irql);
        return Complete(irp, STATUS_SUCCESS, n * sizeof(USHORT));
    }
    case IOCTL_VBUS_READ_TRANSFERS: {
        TransferRecord* out = static_cast<TransferRecord*>(buffer);
        ULONG n = 0;
        KeAcquireSpinLock(&bus->lock, &irql);
        const ULONG oldest = bus->transferCount > kTransferLogCapacity
                                 ? bus->transferCount - kTransferLogCapacity
                                 : 0;
        for (ULONG at = argument < oldest ? oldest : argument;
             at < bus->transferCount && n < outLength / sizeof(TransferRecord); ++at) {
            out[n++] = bus->transfers[at % kTransferLogCapacity];
        }
        KeReleaseSpinLock(&bus->lock, irql);
        return Complete(irp, STATUS_SUCCESS, n * sizeof(TransferRecord));
    }
    case IOCTL_VBUS_SET_SERIAL:
        KeAcquireSpinLock(&bus->lock, &irql);
        bus->chip.SetSerialNumber(argument);
        KeReleaseSpinLock(&bus->lock, irql);
        return Complete(irp, STATUS_SUCCESS);
    case IOCTL_VBUS_UNPLUG: {
        KeAcquireSpinLock(&bus->lock, &irql);
        const bool was = bus->plugged;
        bus->plugged = false;
        PDEVICE_OBJECT physical = bus->physical;
        KeReleaseSpinLock(&bus->lock, irql);
        if (was && physical) {
            IoInvalidateDeviceRelations(physical, BusRelations);
        }
        return Complete(irp, was ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE);
    }
    case IOCTL_VBUS_PLUG: {
        KeAcquireSpinLock(&bus->lock, &irql);
        const bool busy = bus->plugged || bus->child;
        PDEVICE_OBJECT physical = bus->physical;
        if (!busy) {
            bus->plugged = true;
        }
        KeReleaseSpinLock(&bus->lock, irql);
        if (busy) {
            return Complete(irp, STATUS_DEVICE_BUSY);
        }
        if (physical) {
            const NTSTATUS status = CreateChild(bus);
            if (!NT_SUCCESS(status)) {
                KeAcquireSpinLock(&bus->lock, &irql);
                bus->plugged = false;
                KeReleaseSpinLock(&bus->lock, irql);
                return Complete(irp, status);
            }
            IoInvalidateDeviceRelations(physical, BusRelations);
        }
        return Complete(irp, STATUS_SUCCESS);
    }
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

} // namespace vbus
