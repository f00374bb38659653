// Plug and Play: start (descriptors and configuration), the query/cancel/stop/remove protocol,
// capabilities, taking the device out of service at surprise removal or shutdown, and the
// teardown at removal.
#include "norvask.h"

#include "core/config_descriptor.h"

namespace norvask {

namespace {

constexpr ULONG kDeviceDescriptorLength = 18;
constexpr ULONG kFirstConfigReadLength = 521;

// Passes the request down and forgets it. PASSIVE_LEVEL. Returns the lower status.
NTSTATUS PassDown(DeviceExtension* ext, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->LowerDeviceObject, irp);
}

// Passes the request down and waits until the lower drivers are done with it; the request is
// still ours to complete. PASSIVE_LEVEL. Returns the request's status.
NTSTATUS PassDownAndWait(DeviceExtension* ext, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    return ForwardAndWait(ext->LowerDeviceObject, irp, false);
}

// How often a query-remove looks again whether only an armed wait-wake is left: 10 ms.
constexpr LONGLONG kQueryRemovePoll100ns = -10 * 10000;

// Waits until no request is inside the driver, which NoRequestsEvent marks by the count's drop
// to 1. An armed wait-wake keeps its hold while it waits below for the device to wake, which need
// not come while Plug and Play waits here; had the count not dropped to 1 before that wait-wake
// came (a request held since before the start, say), the event would never be set. So a count of
// 2 with a wait-wake armed (the other hold is the device's own) ends the wait too. The remove
// cancels that wait-wake and waits it out before it frees anything. PASSIVE_LEVEL.
void WaitForNoRequests(DeviceExtension* ext) {
    LARGE_INTEGER poll;
    poll.QuadPart = kQueryRemovePoll100ns;
    while (KeWaitForSingleObject(&ext->NoRequestsEvent, Executive, KernelMode, FALSE, &poll) ==
           STATUS_TIMEOUT) {
        if (PnpFlag(ext->WaitWakeArmed) &&
            InterlockedCompareExchange(&ext->PendingIoCount, 0, 0) == 2) {
            return;
        }
    }
}

// A zeroed request block from non-paged pool, or none. IRQL <= DISPATCH_LEVEL.
PURB AllocateUrb(USHORT size) {
    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kPoolTag));
    if (urb) {
        RtlZeroMemory(urb, size);
    }
    return urb;
}

// Reads descriptor `type` (index 0) into `buffer`. PASSIVE_LEVEL. Returns the bus status and
// the bytes moved.
NTSTATUS ReadDescriptor(PDEVICE_OBJECT deviceObject, PURB urb, UCHAR type, PVOID buffer,
                        ULONG length, ULONG* moved) {
    const USHORT size = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    RtlZeroMemory(urb, size);
    urb->UrbHeader.Length = size;
    urb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    struct _URB_CONTROL_DESCRIPTOR_REQUEST& request = urb->UrbControlDescriptorRequest;
    request.DescriptorType = type;
    request.Index = 0;
    request.LanguageId = 0;
    request.TransferBuffer = buffer;
    request.TransferBufferLength = length;
    request.TransferBufferMDL = nullptr;
    request.UrbLink = nullptr;
    const NTSTATUS status = SubmitUrbSync(deviceObject, urb);
    *moved = request.TransferBufferLength < length ? request.TransferBufferLength : length;
    return status;
}

// Reads and keeps the 18-byte device descriptor. PASSIVE_LEVEL. Returns the bus status, or
// STATUS_INSUFFICIENT_RESOURCES.
NTSTATUS ReadDeviceDescriptor(PDEVICE_OBJECT deviceObject) {
    DeviceExtension* ext = Extension(deviceObject);
    PURB urb = AllocateUrb(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    PVOID buffer = ExAllocatePoolWithTag(NonPagedPool, kDeviceDescriptorLength, kPoolTag);
    if (!urb || !buffer) {
        if (urb) {
            ExFreePool(urb);
        }
        if (buffer) {
            ExFreePool(buffer);
        }
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(buffer, kDeviceDescriptorLength);
    ULONG moved = 0;
    const NTSTATUS status = ReadDescriptor(deviceObject, urb, USB_DEVICE_DESCRIPTOR_TYPE, buffer,
                                           kDeviceDescriptorLength, &moved);
    ExFreePool(urb);
    if (NT_SUCCESS(status)) {
        if (ext->DeviceDescriptor) {
            ExFreePool(ext->DeviceDescriptor); // from an earlier start
        }
        ext->DeviceDescriptor = static_cast<PUSB_DEVICE_DESCRIPTOR>(buffer);
    } else {
        ExFreePool(buffer);
    }
    return status;
}

// Reads the whole configuration descriptor: once into a buffer that holds most devices', and
// again at its reported length when that is larger. A descriptor that reports nonsense or
// keeps growing fails with STATUS_DEVICE_DATA_ERROR. PASSIVE_LEVEL.
NTSTATUS ReadConfigDescriptor(PDEVICE_OBJECT deviceObject) {
    DeviceExtension* ext = Extension(deviceObject);
    PURB urb = AllocateUrb(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    if (!urb) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG size = kFirstConfigReadLength;
    ULONG previousTotal = 0;
    for (;;) {
        UCHAR* buffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, size, kPoolTag));
        if (!buffer) {
            ExFreePool(urb);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(buffer, size);
        ULONG moved = 0;
        const NTSTATUS status = ReadDescriptor(deviceObject, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE,
                                               buffer, size, &moved);
        if (!NT_SUCCESS(status)) {
            ExFreePool(buffer);
            ExFreePool(urb);
            return status;
        }
        const core::ConfigReadStep step =
            core::NextConfigReadStep(buffer, size, moved, previousTotal);
        if (step == core::ConfigReadStep::ReadAgain) {
            previousTotal = core::ConfigTotalLength(buffer, size);
            size = previousTotal;
            ExFreePool(buffer);
            continue;
        }
        ExFreePool(urb);
        if (step == core::ConfigReadStep::Invalid ||
            !core::ValidateConfigDescriptor(buffer, size)) {
            ExFreePool(buffer);
            return STATUS_DEVICE_DATA_ERROR;
        }
        if (ext->ConfigurationDescriptor) {
            ExFreePool(ext->ConfigurationDescriptor); // from an earlier start
        }
        ext->ConfigurationDescriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer);
        return STATUS_SUCCESS;
    }
}

// Selects the first configuration and keeps a copy of its interface. PASSIVE_LEVEL.
NTSTATUS SelectConfiguration(PDEVICE_OBJECT deviceObject) {
    DeviceExtension* ext = Extension(deviceObject);
    PUSB_CONFIGURATION_DESCRIPTOR descriptor = ext->ConfigurationDescriptor;
    USHORT urbSize = 0;
    PURB urb = USBD_CreateConfigurationRequest(descriptor, &urbSize);
    if (!urb) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, -1, -1, -1, -1, -1)) {
        ExFreePool(urb);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PUSBD_INTERFACE_INFORMATION iface = &urb->UrbSelectConfiguration.Interface;
    for (ULONG i = 0; i < iface->NumberOfPipes; ++i) {
        iface->Pipes[i].MaximumTransferSize = ext->MaximumTransferSize;
        iface->Pipes[i].PipeFlags = 0;
    }
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = urbSize;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = descriptor;
    const NTSTATUS status = SubmitUrbSync(deviceObject, urb);
    ext->ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;

    if (NT_SUCCESS(status)) {
        // The copy must hold every pipe entry that create and abort will walk, and must not
        // read past the request block the bus filled.
        const ULONG_PTR ifaceOffset =
            reinterpret_cast<ULONG_PTR>(iface) - reinterpret_cast<ULONG_PTR>(urb);
        const ULONG length = iface->Length;
        const ULONG_PTR pipesOffset =
            reinterpret_cast<ULONG_PTR>(&iface->Pipes[0]) - reinterpret_cast<ULONG_PTR>(iface);
        const bool whole =
            length >= pipesOffset + iface->NumberOfPipes * sizeof(USBD_PIPE_INFORMATION) &&
            ifaceOffset + length <= urbSize;
        PUSBD_INTERFACE_INFORMATION copy = nullptr;
        if (whole) {
            copy = static_cast<PUSBD_INTERFACE_INFORMATION>(
                ExAllocatePoolWithTag(NonPagedPool, length, kPoolTag));
            if (copy) {
                RtlCopyMemory(copy, iface, length);
            }
        }
        // The copy changes under the idle policy's lock: a close or an open of a handle on
        // another thread finds its pipe in the old copy or the new one, never in freed pool.
        LockIdlePolicy(ext);
        PUSBD_INTERFACE_INFORMATION old = ext->InterfaceInfo;
        ext->InterfaceInfo = copy;
        if (old) {
            // The marks went with the old copy and the new one starts with every pipe free;
            // a handle kept across the restart no longer holds a pipe, so neither does the
            // count.
            ext->OpenPipeCount = 0;
        }
        UnlockIdlePolicy(ext);
        if (old) {
            ExFreePool(old); // from an earlier start
        }
    }
    ExFreePool(urb);
    return status;
}

// Brings the device into service. PASSIVE_LEVEL. Returns the first failure, else success.
NTSTATUS StartDevice(PDEVICE_OBJECT deviceObject) {
    NTSTATUS status = ReadDeviceDescriptor(deviceObject);
    if (NT_SUCCESS(status)) {
        status = ReadConfigDescriptor(deviceObject);
    }
    if (NT_SUCCESS(status)) {
        status = SelectConfiguration(deviceObject);
    }
    if (NT_SUCCESS(status)) {
        SetPnpFlag(Extension(deviceObject)->DeviceStarted, TRUE);
    }
    return status;
}

// Puts the device into the unconfigured state. PASSIVE_LEVEL. Returns the bus status.
NTSTATUS DeconfigureDevice(PDEVICE_OBJECT deviceObject) {
    DeviceExtension* ext = Extension(deviceObject);
    const USHORT size = sizeof(struct _URB_SELECT_CONFIGURATION);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    PURB urb = AllocateUrb(size);
    if (urb) {
        urb->UrbHeader.Length = size;
        urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        urb->UrbSelectConfiguration.ConfigurationDescriptor = nullptr;
        status = SubmitUrbSync(deviceObject, urb);
        ExFreePool(urb);
    }
    if (NT_SUCCESS(status)) {
        SetPnpFlag(ext->DeviceStarted, FALSE);
    }
    SetPnpFlag(ext->StopPending, FALSE);
    return status;
}

// Disables the device interface, once. PASSIVE_LEVEL. Returns the status of disabling it, or
// STATUS_SUCCESS when there is nothing to disable.
NTSTATUS DisableInterface(DeviceExtension* ext) {
    if (!ext->InterfaceEnabled) {
        return STATUS_SUCCESS;
    }
    ext->InterfaceEnabled = FALSE;
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, ext->InterfaceLinkName);
    return IoSetDeviceInterfaceState(&link, FALSE);
}

// IRP_MN_SURPRISE_REMOVAL and IRP_MJ_SHUTDOWN: takes the device out of service and passes the
// request down, but leaves the device object to the IRP_MN_REMOVE_DEVICE that Plug and Play
// sends later; a driver attached above still forwards that remove to this device. PASSIVE_LEVEL.
// The dispatch holds its count and releases it afterwards. Returns the lower status.
NTSTATUS TakeOutOfService(PDEVICE_OBJECT deviceObject, PIRP irp, bool disableInterface) {
    DeviceExtension* ext = Extension(deviceObject);
    SetPnpFlag(ext->DeviceRemoved, TRUE);
    AbortOpenPipes(deviceObject);
    if (disableInterface) {
        DisableInterface(ext); // applications no longer find the device
    }
    return PassDown(ext, irp);
}

// IRP_MN_REMOVE_DEVICE: removes the device after every request inside the driver has
// finished, whether or not a surprise removal or a shutdown came first. The remove goes down
// only then: the bus completes what it still holds of the device and may delete its device
// object in it, so nothing of ours may still be on its way there (a wait-wake, an idle-policy
// power request, a transfer). PASSIVE_LEVEL. The dispatch's hold has been taken; the lower
// drivers complete the request. Returns their status.
NTSTATUS Teardown(PDEVICE_OBJECT deviceObject, PIRP irp) {
    DeviceExtension* ext = Extension(deviceObject);
    SetPnpFlag(ext->DeviceRemoved, TRUE);
    AbortOpenPipes(deviceObject);
    CancelWaitWake(ext);
    DecrementIoCount(deviceObject); // the dispatch's hold
    DecrementIoCount(deviceObject); // the device's own
    KeWaitForSingleObject(&ext->RemoveEvent, Executive, KernelMode, FALSE, nullptr);
    PDEVICE_OBJECT lower = ext->LowerDeviceObject;
    const NTSTATUS status = PassDown(ext, irp);
    ReleaseDeviceResources(deviceObject);
    if (ext->ShutdownRegistered) {
        IoUnregisterShutdownNotification(deviceObject);
        ext->ShutdownRegistered = FALSE;
    }
    IoDetachDevice(lower);
    IoDeleteDevice(deviceObject);
    return status;
}

} // namespace

// Disables the interface (unless a surprise removal did) and frees what the start allocated.
// PASSIVE_LEVEL. Returns the status of disabling the interface, or STATUS_SUCCESS when it was
// already disabled.
NTSTATUS ReleaseDeviceResources(PDEVICE_OBJECT deviceObject) {
    DeviceExtension* ext = Extension(deviceObject);
    const NTSTATUS status = DisableInterface(ext); // unless a surprise removal already did
    if (ext->DeviceDescriptor) {
        ExFreePool(ext->DeviceDescriptor);
        ext->DeviceDescriptor = nullptr;
    }
    LockIdlePolicy(ext);
    PUSBD_INTERFACE_INFORMATION info = ext->InterfaceInfo;
    ext->InterfaceInfo = nullptr;
    ext->OpenPipeCount = 0; // no marks are left to count
    UnlockIdlePolicy(ext);
    if (info) {
        ExFreePool(info);
    }
    if (ext->ConfigurationDescriptor) {
        ExFreePool(ext->ConfigurationDescriptor);
        ext->ConfigurationDescriptor = nullptr;
    }
    return status;
}

// Plug and Play dispatch. PASSIVE_LEVEL, one request at a time. Returns the status of the
// request's last step.
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp) {
    DeviceExtension* ext = Extension(deviceObject);
    if (IncrementIoCount(deviceObject) == 0) {
        return CompleteRequest(irp, STATUS_DELETE_PENDING, 0);
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;

    switch (stack->MinorFunction) {
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        // This driver handles these: tell the drivers below that one above agreed.
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    default:
        break;
    }

    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        PassDownAndWait(ext, irp);
        status = StartDevice(deviceObject);
        CompleteRequest(irp, status, 0);
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (ext->DeviceStarted) {
            SetPnpFlag(ext->RemovePending, TRUE);
            // The event marks the count's drop to 1, which this dispatch's own hold would
            // keep from happening: a request still inside the driver and not one before it
            // would leave the wait for good. So the hold goes for the wait. The device stays
            // meanwhile: only the remove deletes it, and Plug and Play sends the remove after
            // this request, never during it.
            DecrementIoCount(deviceObject);
            WaitForNoRequests(ext);
            IncrementIoCount(deviceObject);
        }
        status = PassDown(ext, irp);
        break;
    case IRP_MN_REMOVE_DEVICE:
        return Teardown(deviceObject, irp);
    case IRP_MN_SURPRISE_REMOVAL:
        status = TakeOutOfService(deviceObject, irp, true);
        break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        if (ext->DeviceStarted) {
            SetPnpFlag(ext->RemovePending, FALSE);
        }
        status = PassDown(ext, irp);
        break;
    case IRP_MN_STOP_DEVICE:
        status = DeconfigureDevice(deviceObject);
        if (NT_SUCCESS(status)) {
            status = PassDown(ext, irp);
        } else {
            CompleteRequest(irp, status, 0);
        }
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
        if (ext->DeviceStarted) {
            SetPnpFlag(ext->StopPending, TRUE);
        }
        status = PassDown(ext, irp);
        break;
    case IRP_MN_CANCEL_STOP_DEVICE:
        if (ext->DeviceStarted) {
            SetPnpFlag(ext->StopPending, FALSE);
        }
        status = PassDown(ext, irp);
        break;
    case IRP_MN_QUERY_CAPABILITIES:
        status = PassDownAndWait(ext, irp);
        if (NT_SUCCESS(status)) {
            PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
            caps->Removable = TRUE;
            caps->SurpriseRemovalOK = TRUE;
        }
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        break;
    default:
        status = PassDown(ext, irp);
        break;
    }
    DecrementIoCount(deviceObject);
    return status;
}

// System shutdown: the device takes no more requests and its pipes are aborted; the device
// object stays for Plug and Play to remove. PASSIVE_LEVEL. Returns the lower status.
NTSTATUS NTAPI DispatchShutdown(PDEVICE_OBJECT deviceObject, PIRP irp) {
    if (IncrementIoCount(deviceObject) == 0) {
        return CompleteRequest(irp, STATUS_DELETE_PENDING, 0);
    }
    const NTSTATUS status = TakeOutOfService(deviceObject, irp, false);
    DecrementIoCount(deviceObject);
    return status;
}

} // namespace norvask
