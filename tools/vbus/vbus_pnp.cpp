// Plug and Play: the chip's device (its identifiers, capabilities and removal) and the bus's
// own device (start, bus relations, removal).
#include "vbus_driver.h"

namespace vbus {

namespace {

// The child's identifiers: the INF's placeholder hardware identifier and the class of a
// vendor-specific device, which Plug and Play needs to be non-empty.
const WCHAR kDeviceId[] = L"USB\\VID_FFFF&PID_FFFF";
const WCHAR kHardwareIds[] = L"USB\\VID_FFFF&PID_FFFF&REV_0100\0USB\\VID_FFFF&PID_FFFF\0";
const WCHAR kCompatibleIds[] =
    L"USB\\Class_FF&SubClass_00&Prot_00\0USB\\Class_FF&SubClass_00\0USB\\Class_FF\0";
const WCHAR kInstanceId[] = L"1";
const WCHAR kDescription[] = L"USB I/O chip on the virtual bus";

NTSTATUS PdoQueryId(PIRP irp, BUS_QUERY_ID_TYPE type) {
    const WCHAR* id = nullptr;
    ULONG bytes = 0;
    switch (type) {
    case BusQueryDeviceID:
        id = kDeviceId;
        bytes = sizeof kDeviceId;
        break;
    case BusQueryHardwareIDs:
        id = kHardwareIds;
        bytes = sizeof kHardwareIds;
        break;
    case BusQueryCompatibleIDs:
        id = kCompatibleIds;
        bytes = sizeof kCompatibleIds;
        break;
    case BusQueryInstanceID:
        id = kInstanceId;
        bytes = sizeof kInstanceId;
        break;
    default:
        return CompleteUnchanged(irp);
    }
    PWCHAR copy = CopyToPool(id, bytes);
    if (!copy) {
        return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(copy));
}

void PdoCapabilities(PDEVICE_CAPABILITIES caps) {
    // Every sleeping state maps to D3, so the function driver finds no idle state to use and
    // never asks for device power itself.
    caps->DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) {
        caps->DeviceState[s] = PowerDeviceD3;
    }
    caps->SystemWake = PowerSystemUnspecified;
    caps->DeviceWake = PowerDeviceUnspecified;
    caps->DeviceD1 = FALSE;
    caps->DeviceD2 = FALSE;
    caps->WakeFromD0 = FALSE;
    caps->WakeFromD1 = FALSE;
    caps->WakeFromD2 = FALSE;
    caps->WakeFromD3 = FALSE;
    caps->LockSupported = FALSE;
    caps->EjectSupported = FALSE;
    caps->Removable = TRUE;
    caps->SurpriseRemovalOK = TRUE;
    caps->UniqueID = FALSE;
    caps->RawDeviceOK = FALSE;
    caps->Address = 1;
    caps->UINumber = 1;
}

} // namespace

NTSTATUS PdoPnp(PDEVICE_OBJECT device, PIRP irp) {
    Bus* bus = BusOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    KIRQL irql;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        KeAcquireSpinLock(&bus->lock, &irql);
        bus->childStarted = true;
        KeReleaseSpinLock(&bus->lock, irql);
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_SURPRISE_REMOVAL:
        KeAcquireSpinLock(&bus->lock, &irql);
        bus->childStarted = false;
        KeReleaseSpinLock(&bus->lock, irql);
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: {
        // A chip still reported on the bus keeps its device until the bus itself goes; one
        // that left loses it now.
        KeAcquireSpinLock(&bus->lock, &irql);
        bus->childStarted = false;
        bus->configured = false;
        bus->pipeCount = 0;
        const bool gone = !bus->childReported && bus->child == device;
        if (gone) {
            bus->child = nullptr;
            ++bus->counters.childrenRemoved;
        }
        KeReleaseSpinLock(&bus->lock, irql);
        Complete(irp, STATUS_SUCCESS);
        if (gone) {
            IoDeleteDevice(device);
        }
        return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_ID:
        return PdoQueryId(irp, stack->Parameters.QueryId.IdType);
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        if (!caps) {
            return Complete(irp, STATUS_INVALID_PARAMETER);
        }
        PdoCapabilities(caps);
        return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_DEVICE_TEXT:
        if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription) {
            PWCHAR text = CopyToPool(kDescription, sizeof kDescription);
            return text ? Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(text))
                        : Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
        }
        return CompleteUnchanged(irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            PDEVICE_RELATIONS relations = static_cast<PDEVICE_RELATIONS>(
                ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kPoolTag));
            if (!relations) {
                return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
            }
            relations->Count = 1;
            relations->Objects[0] = device;
            ObReferenceObject(device);
            return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations));
        }
        return CompleteUnchanged(irp);
    default:
        return CompleteUnchanged(irp);
    }
}

// Creates the chip's device object; the caller reports it. PASSIVE_LEVEL.
NTSTATUS CreateChild(Bus* bus) {
    PDEVICE_OBJECT child = nullptr;
    // Plug and Play names the device by its object name: it must have one.
    const NTSTATUS status =
        IoCreateDevice(bus->driver, sizeof(PdoExtension), nullptr, FILE_DEVICE_UNKNOWN,
                       FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &child);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PdoExtension* ext = static_cast<PdoExtension*>(child->DeviceExtension);
    ext->kind = Kind::Pdo;
    ext->bus = bus;
    child->Flags |= DO_POWER_PAGABLE;
    child->Flags &= ~DO_DEVICE_INITIALIZING;
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    bus->child = child;
    bus->childStarted = false;
    bus->configured = false;
    ++bus->counters.childrenCreated;
    KeReleaseSpinLock(&bus->lock, irql);
    return STATUS_SUCCESS;
}

NTSTATUS PassDown(FdoExtension* ext, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

namespace {

NTSTATUS NTAPI SignalComplete(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS PassDownAndWait(FdoExtension* ext, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalComplete, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(ext->lower, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    return irp->IoStatus.Status;
}

NTSTATUS FdoBusRelations(FdoExtension* ext, PIRP irp) {
    Bus* bus = ext->bus;
    PDEVICE_RELATIONS relations = static_cast<PDEVICE_RELATIONS>(
        ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kPoolTag));
    if (!relations) {
        return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    relations->Count = 0;
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    bus->childReported = bus->plugged && bus->child;
    if (bus->childReported) {
        relations->Objects[0] = bus->child;
        relations->Count = 1;
        ObReferenceObject(bus->child); // the Plug and Play manager's reference
    }
    KeReleaseSpinLock(&bus->lock, irql);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    return PassDown(ext, irp);
}

} // namespace

NTSTATUS FdoPnp(PDEVICE_OBJECT device, PIRP irp) {
    FdoExtension* ext = static_cast<FdoExtension*>(device->DeviceExtension);
    Bus* bus = ext->bus;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    KIRQL irql;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        PassDownAndWait(ext, irp);
        KeAcquireSpinLock(&bus->lock, &irql);
        bus->counters.busStarted = 1;
        const bool create = bus->plugged && !bus->child;
        KeReleaseSpinLock(&bus->lock, irql);
        const NTSTATUS status = create ? CreateChild(bus) : STATUS_SUCCESS;
        Complete(irp, STATUS_SUCCESS);
        if (NT_SUCCESS(status)) {
            // Plug and Play asks for the bus's children only when told to.
            IoInvalidateDeviceRelations(bus->physical, BusRelations);
        }
        return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            return FdoBusRelations(ext, irp);
        }
        return PassDown(ext, irp);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(ext, irp);
    case IRP_MN_REMOVE_DEVICE: {
        // The bus goes, and the chip's device with it.
        KeAcquireSpinLock(&bus->lock, &irql);
        PDEVICE_OBJECT child = bus->child;
        bus->child = nullptr;
        bus->childReported = false;
        bus->childStarted = false;
        bus->configured = false;
        bus->pipeCount = 0;
        bus->fdo = nullptr;
        bus->physical = nullptr;
        bus->counters.busStarted = 0;
        if (child) {
            ++bus->counters.childrenRemoved;
        }
        KeReleaseSpinLock(&bus->lock, irql);
        if (child) {
            IoDeleteDevice(child);
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        PDEVICE_OBJECT lower = ext->lower;
        const NTSTATUS status = PassDown(ext, irp);
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        return status;
    }
    default:
        return PassDown(ext, irp);
    }
}

} // namespace vbus
