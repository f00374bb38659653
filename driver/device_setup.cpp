// Driver entry, device creation and publication, the request counter and the synchronous
// request helpers that the other dispatch files use.
#include "norvask.h"

#include "core/names.h"
#include "core/power_policy.h"

namespace norvask {

namespace {

constexpr contract::GuidParts kClass = contract::InterfaceClass;
const GUID kInterfaceClass = {kClass.data1,
                              kClass.data2,
                              kClass.data3,
                              {kClass.data4[0], kClass.data4[1], kClass.data4[2], kClass.data4[3],
                               kClass.data4[4], kClass.data4[5], kClass.data4[6], kClass.data4[7]}};

const WCHAR kParametersKey[] = NORVASK_WIDE("\\REGISTRY\\Machine\\" NORVASK_PARAMETERS_KEY);
const WCHAR kProductOptionsKey[] =
    NORVASK_WIDE("\\REGISTRY\\Machine\\System\\CurrentControlSet\\Control\\ProductOptions");

constexpr ULONG kRegistryPathBytes = 512;
constexpr LONG kGateTimeout100ns = -20000; // 2 ms, relative

// Completion routine of ForwardAndWait: wakes the sender and keeps the request for it.
// IRQL <= DISPATCH_LEVEL, any thread. Returns STATUS_MORE_PROCESSING_REQUIRED.
NTSTATUS NTAPI ForwardAndWaitComplete(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), 1, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Asks the physical device for its capabilities. PASSIVE_LEVEL. Leaves the record zeroed
// when no request can be allocated.
void QueryCapabilities(DeviceExtension* ext, PDEVICE_OBJECT physicalDeviceObject) {
    PIRP irp = IoAllocateIrp(physicalDeviceObject->StackSize, FALSE);
    if (irp) {
        ext->Capabilities.Size = sizeof(DEVICE_CAPABILITIES);
        ext->Capabilities.Version = 1;
        ext->Capabilities.Address = static_cast<ULONG>(-1);
        ext->Capabilities.UINumber = static_cast<ULONG>(-1);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED; // PnP requests start out unhandled

        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_PNP;
        next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
        next->Parameters.DeviceCapabilities.Capabilities = &ext->Capabilities;
        ForwardAndWait(physicalDeviceObject, irp, false);
    }
    // Whatever the bus answered, the device may be unplugged at any time.
    ext->Capabilities.Removable = TRUE;
    ext->Capabilities.SurpriseRemovalOK = TRUE;
    if (irp) {
        IoFreeIrp(irp);
    }
}

// Unload: nothing to undo, the driver keeps no global state. PASSIVE_LEVEL.
VOID NTAPI DriverUnload(PDRIVER_OBJECT) {}

} // namespace

// Fills the dispatch table. PASSIVE_LEVEL. Returns STATUS_SUCCESS.
NORVASK_ENTRY_LINKAGE NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject,
                                                 PUNICODE_STRING registryPath) {
    (void)registryPath;
    driverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driverObject->MajorFunction[IRP_MJ_READ] = DispatchReadWrite;
    driverObject->MajorFunction[IRP_MJ_WRITE] = DispatchReadWrite;
    driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    driverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driverObject->DriverUnload = DriverUnload;
    driverObject->DriverExtension->AddDevice = AddDevice;
    if (ProductTypeReadable()) {
        driverObject->MajorFunction[IRP_MJ_SHUTDOWN] = DispatchShutdown;
    }
    return STATUS_SUCCESS;
}

// Whether the system's product type can be read; it decides on shutdown notification.
// PASSIVE_LEVEL.
bool ProductTypeReadable() {
    UNICODE_STRING value;
    value.Length = 0;
    value.MaximumLength = kRegistryPathBytes;
    value.Buffer =
        static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, kRegistryPathBytes, kPoolTag));
    if (!value.Buffer) {
        return false;
    }
    RTL_QUERY_REGISTRY_TABLE table[2];
    RtlZeroMemory(table, sizeof(table));
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = const_cast<PWSTR>(NORVASK_WIDE("ProductType"));
    table[0].EntryContext = &value;
    const NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL,
                                                   kProductOptionsKey, table, nullptr, nullptr);
    ExFreePool(value.Buffer);
    return NT_SUCCESS(status);
}

// Creates and attaches the device object for one chip and publishes its path. PASSIVE_LEVEL.
// Returns the status of the interface registration on failure, else of IoCreateDevice.
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject) {
    UNICODE_STRING link;
    link.Length = 0;
    link.MaximumLength = 0;
    link.Buffer = nullptr;
    NTSTATUS status =
        IoRegisterDeviceInterface(physicalDeviceObject, &kInterfaceClass, nullptr, &link);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = IoSetDeviceInterfaceState(&link, TRUE);
    if (!NT_SUCCESS(status)) {
        RtlFreeUnicodeString(&link);
        return status;
    }

    PDEVICE_OBJECT deviceObject = nullptr;
    status = IoCreateDevice(driverObject, sizeof(DeviceExtension), nullptr, FILE_DEVICE_UNKNOWN,
                            FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &deviceObject);
    if (!NT_SUCCESS(status)) {
        IoSetDeviceInterfaceState(&link, FALSE); // no device will serve it
        RtlFreeUnicodeString(&link);
        return status;
    }
    const NTSTATUS createStatus = status;
    DeviceExtension* ext = Extension(deviceObject);

    ext->MaximumTransferSize = 8;
    ext->GateTimeout.QuadPart = kGateTimeout100ns;
    // A link that does not fit whole is neither kept nor published: a cut name would name
    // another interface.
    const ULONG linkLength = link.Length / sizeof(WCHAR);
    if (link.Buffer && linkLength < kLinkNameCapacity) {
        RtlCopyMemory(ext->InterfaceLinkName, link.Buffer, linkLength * sizeof(WCHAR));
        ext->InterfaceLinkName[linkLength] = 0;
        ext->InterfaceEnabled = TRUE;
    }
    // A synchronisation event: a waiter that passes takes the gate in the same step.
    KeInitializeEvent(&ext->VendorGate, SynchronizationEvent, TRUE);
    KeInitializeEvent(&ext->RemoveEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&ext->PowerUpEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&ext->IdlePolicyLock, SynchronizationEvent, TRUE);
    KeInitializeEvent(&ext->NoRequestsEvent, NotificationEvent, FALSE);
    KeInitializeSpinLock(&ext->VendorLock);
    KeInitializeSpinLock(&ext->WaitWakeLock);
    ext->WaitWakeIrp = nullptr;

    if (ext->InterfaceLinkName[0] != 0) {
        PublishDeviceName(ext->InterfaceLinkName, linkLength);
    }
    RtlFreeUnicodeString(&link);

    SetPnpFlag(ext->DeviceRemoved, FALSE);
    SetPnpFlag(ext->RemovePending, FALSE);
    SetPnpFlag(ext->StopPending, FALSE);
    SetPnpFlag(ext->DeviceStarted, FALSE);
    ext->DeviceOpen = FALSE;
    ext->PendingIoCount = 0;
    ext->OpenPipeCount = 0;

    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    deviceObject->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;

    ext->PhysicalDeviceObject = physicalDeviceObject;
    ext->PendingVendorIrp = nullptr;
    ext->VendorTransfer.Irp = nullptr;

    ext->LowerDeviceObject = IoAttachDeviceToDeviceStack(deviceObject, physicalDeviceObject);

    QueryCapabilities(ext, physicalDeviceObject);

    core::i32 states[PowerSystemMaximum];
    for (int i = 0; i < PowerSystemMaximum; ++i) {
        states[i] = static_cast<core::i32>(ext->Capabilities.DeviceState[i]);
    }
    SetPowerState(ext->IdleDeviceState, static_cast<DEVICE_POWER_STATE>(core::ChooseIdleDeviceState(
                                            states, static_cast<core::u32>(PowerSystemMaximum))));

    InterlockedIncrement(&ext->PendingIoCount); // the device's own hold, given up at removal

    if (ProductTypeReadable()) {
        ext->ShutdownRegistered = NT_SUCCESS(IoRegisterShutdownNotification(deviceObject));
    }
    return createStatus;
}

// Writes the path applications open as "DeviceName" under the service's Parameters key.
// PASSIVE_LEVEL. Returns TRUE when the value was written; a value that does not fit whole is
// not written.
BOOLEAN PublishDeviceName(const WCHAR* linkName, ULONG linkLength) {
    WCHAR converted[core::kPublishedNameCapacity];
    const core::PublishedName name =
        core::BuildPublishedName(linkName, linkLength, converted, core::kPublishedNameCapacity);
    if (!name.publish) {
        return FALSE;
    }
    const WCHAR* value = name.linkUnchanged ? linkName : converted;

    PWSTR path = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, kRegistryPathBytes, kPoolTag));
    if (!path) {
        return FALSE;
    }
    RtlZeroMemory(path, kRegistryPathBytes);
    static_assert(sizeof(kParametersKey) < kRegistryPathBytes, "key path fits its buffer");
    RtlCopyMemory(path, kParametersKey, sizeof(kParametersKey));
    const NTSTATUS status =
        RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, path,
                              NORVASK_WIDE(NORVASK_DEVICE_NAME_VALUE), REG_SZ,
                              const_cast<WCHAR*>(value), name.length * sizeof(WCHAR));
    ExFreePool(path);
    return NT_SUCCESS(status) ? TRUE : FALSE;
}

// Takes a hold on the device, unless the count is 0: then the device's own hold has gone and
// the remove has waited out every request (or AddDevice has yet to take that hold), and the
// remove frees what the requests use; the caller must refuse its request without touching the
// device further. Any IRQL up to DISPATCH_LEVEL. Returns the new count, or 0 when refused.
LONG IncrementIoCount(PDEVICE_OBJECT deviceObject) {
    DeviceExtension* ext = Extension(deviceObject);
    LONG count = InterlockedCompareExchange(&ext->PendingIoCount, 0, 0); // a read
    while (count != 0) {
        const LONG seen = InterlockedCompareExchange(&ext->PendingIoCount, count + 1, count);
        if (seen == count) {
            return count + 1;
        }
        count = seen;
    }
    return 0;
}

// Releases a hold; signals "only the device's own hold left" at 1 and "nothing left" at 0.
// Any IRQL up to DISPATCH_LEVEL. Returns the new count.
//
// Once the count is 1 the remove may give up the device's hold on another processor and
// delete the device, so a release that leaves 1 must not touch the device after it: it sets
// NoRequestsEvent first, while its own hold still keeps the device, and lets go last. Only the
// release that leaves 0 reads the device afterwards, to set RemoveEvent, and the remove waits
// for exactly that before it deletes anything.
LONG DecrementIoCount(PDEVICE_OBJECT deviceObject) {
    DeviceExtension* ext = Extension(deviceObject);
    for (;;) {
        const LONG count = InterlockedCompareExchange(&ext->PendingIoCount, 0, 0); // a read
        if (count == 2) {
            // Should another hold come in first and the exchange below fail, the event was set
            // as if this release had landed just before that hold; it is never reset anyway.
            KeSetEvent(&ext->NoRequestsEvent, 1, FALSE);
        }
        if (InterlockedCompareExchange(&ext->PendingIoCount, count - 1, count) == count) {
            if (count == 1) {
                KeSetEvent(&ext->RemoveEvent, 1, FALSE);
            }
            return count - 1;
        }
    }
}

// Whether new requests are admitted: started, and no stop or removal under way. Any IRQL.
BOOLEAN CanAcceptRequests(PDEVICE_OBJECT deviceObject) {
    const DeviceExtension* ext = Extension(deviceObject);
    return !PnpFlag(ext->DeviceRemoved) && PnpFlag(ext->DeviceStarted) &&
           !PnpFlag(ext->RemovePending) && !PnpFlag(ext->StopPending);
}

// Sends a request whose next stack location is ready to `target` and waits until the drivers
// below are done with it; the request comes back to its sender, still to be completed or freed.
// Power requests go with PoCallDriver. PASSIVE_LEVEL. Returns the request's final status.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT target, PIRP irp, bool powerRequest) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, ForwardAndWaitComplete, &done, TRUE, TRUE, TRUE);
    const NTSTATUS status = powerRequest ? PoCallDriver(target, irp) : IoCallDriver(target, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Suspended, KernelMode, FALSE, nullptr);
    }
    return irp->IoStatus.Status;
}

// Sends an internal control request down and waits for it. PASSIVE_LEVEL. Returns the lower
// drivers' status, or STATUS_INSUFFICIENT_RESOURCES when no request can be built.
NTSTATUS CallLowerSync(PDEVICE_OBJECT deviceObject, ULONG ioctl, PVOID argument1) {
    DeviceExtension* ext = Extension(deviceObject);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus;
    ioStatus.Status = STATUS_SUCCESS;
    ioStatus.Information = 0;
    PIRP irp = IoBuildDeviceIoControlRequest(ioctl, ext->LowerDeviceObject, nullptr, 0, nullptr, 0,
                                             TRUE, &done, &ioStatus);
    if (!irp) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument1;
    NTSTATUS status = IoCallDriver(ext->LowerDeviceObject, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Suspended, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    return status;
}

// Sends a request block to the bus and waits for it. PASSIVE_LEVEL. Returns the request's
// status; the block's own USBD status is left to the caller.
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT deviceObject, PURB urb) {
    return CallLowerSync(deviceObject, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
}

// Sends one pipe request (abort, reset) for `pipe` and waits for it. PASSIVE_LEVEL. Returns
// the request's status, or STATUS_INSUFFICIENT_RESOURCES when no request block can be had.
NTSTATUS SubmitPipeRequest(PDEVICE_OBJECT deviceObject, USHORT function, USBD_PIPE_HANDLE pipe) {
    const USHORT size = sizeof(struct _URB_PIPE_REQUEST);
    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kPoolTag));
    if (!urb) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(urb, size);
    urb->UrbHeader.Length = size;
    urb->UrbHeader.Function = function;
    urb->UrbPipeRequest.PipeHandle = pipe;
    const NTSTATUS status = SubmitUrbSync(deviceObject, urb);
    ExFreePool(urb);
    return status;
}

// Completes a request with no priority boost. Returns `status`. IRQL <= DISPATCH_LEVEL.
NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// WMI requests are not ours: pass them down. PASSIVE_LEVEL. Returns the lower status.
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT deviceObject, PIRP irp) {
    if (IncrementIoCount(deviceObject) == 0) {
        return CompleteRequest(irp, STATUS_DELETE_PENDING, 0);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCopyCurrentIrpStackLocationToNext(irp);
    const NTSTATUS status = IoCallDriver(Extension(deviceObject)->LowerDeviceObject, irp);
    DecrementIoCount(deviceObject);
    return status;
}

} // namespace norvask
