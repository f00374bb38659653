// vbus.sys: a root-enumerated virtual USB bus for Wine's kernel. On start it reports one child
// device with the chip's hardware identifier, so that Plug and Play installs and starts the
// function driver on it, and it answers that driver's bus requests from the same chip and coil
// driver model as the simulated bench. A control device reads the latched words back and pulls
// the chip out or plugs it in again.
//
// Everything completes inside the call: nothing here is asynchronous, and every request runs at
// PASSIVE_LEVEL under Wine. The bus's state lives in the control device's extension.
#include "vbus_driver.h"

namespace vbus {

Bus* BusOf(PDEVICE_OBJECT device) {
    switch (KindOf(device)) {
    case Kind::Control:
        return &static_cast<ControlExtension*>(device->DeviceExtension)->bus;
    case Kind::Fdo:
        return static_cast<FdoExtension*>(device->DeviceExtension)->bus;
    case Kind::Pdo:
        break;
    }
    return static_cast<PdoExtension*>(device->DeviceExtension)->bus;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS CompleteUnchanged(PIRP irp) {
    const NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

PWCHAR CopyToPool(const WCHAR* text, ULONG bytes) {
    PWCHAR copy = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, bytes, kPoolTag));
    if (copy) {
        RtlCopyMemory(copy, text, bytes);
    }
    return copy;
}

namespace {

// The control device, where the bus's state lives. Wine's kernel has no driver object
// extensions, so AddDevice finds it here; a plain pointer needs no constructor.
PDEVICE_OBJECT controlDevice;

// ---- Dispatch --------------------------------------------------------------------------------

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT device, PIRP irp) {
    return Complete(irp,
                    KindOf(device) == Kind::Fdo ? STATUS_INVALID_DEVICE_REQUEST : STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchInvalid(PDEVICE_OBJECT, PIRP irp) {
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    if (KindOf(device) == Kind::Control) {
        return ControlDeviceControl(BusOf(device), irp);
    }
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS NTAPI DispatchInternalControl(PDEVICE_OBJECT device, PIRP irp) {
    switch (KindOf(device)) {
    case Kind::Pdo:
        return PdoInternalControl(BusOf(device), irp);
    case Kind::Fdo:
        return PassDown(static_cast<FdoExtension*>(device->DeviceExtension), irp);
    case Kind::Control:
        break;
    }
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    switch (KindOf(device)) {
    case Kind::Pdo:
        return PdoPnp(device, irp);
    case Kind::Fdo:
        return FdoPnp(device, irp);
    case Kind::Control:
        break;
    }
    return CompleteUnchanged(irp);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    if (KindOf(device) == Kind::Fdo) {
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(static_cast<FdoExtension*>(device->DeviceExtension)->lower, irp);
    }
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (KindOf(device) == Kind::Pdo && (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER)) {
        return Complete(irp, STATUS_SUCCESS);
    }
    return CompleteUnchanged(irp);
}

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT device, PIRP irp) {
    if (KindOf(device) == Kind::Fdo) {
        return PassDown(static_cast<FdoExtension*>(device->DeviceExtension), irp);
    }
    return CompleteUnchanged(irp);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physical) {
    if (!controlDevice) {
        return STATUS_UNSUCCESSFUL;
    }
    Bus* bus = BusOf(controlDevice);
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    const bool taken = bus->fdo != nullptr;
    KeReleaseSpinLock(&bus->lock, irql);
    if (taken) {
        return STATUS_DEVICE_BUSY; // one bus, one chip
    }
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FdoExtension), nullptr,
                                     FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    FdoExtension* ext = static_cast<FdoExtension*>(fdo->DeviceExtension);
    ext->kind = Kind::Fdo;
    ext->bus = bus;
    ext->lower = IoAttachDeviceToDeviceStack(fdo, physical);
    if (!ext->lower) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    KeAcquireSpinLock(&bus->lock, &irql);
    bus->fdo = fdo;
    bus->physical = physical;
    KeReleaseSpinLock(&bus->lock, irql);
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT) {
    if (controlDevice) {
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, VBUS_CONTROL_LINK_NAME);
        IoDeleteSymbolicLink(&link);
        IoDeleteDevice(controlDevice);
        controlDevice = nullptr;
    }
}

// The chip's serial number: "SerialNumber" under the service's Parameters key, 0 without one.
// PASSIVE_LEVEL.
ULONG ConfiguredSerial(PUNICODE_STRING registryPath) {
    const WCHAR suffix[] = L"\\Parameters";
    ULONG serial = 0;
    if (!registryPath || !registryPath->Buffer) {
        return serial;
    }
    const ULONG bytes = registryPath->Length + sizeof suffix;
    PWCHAR path = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, bytes, kPoolTag));
    if (!path) {
        return serial;
    }
    RtlCopyMemory(path, registryPath->Buffer, registryPath->Length);
    RtlCopyMemory(reinterpret_cast<UCHAR*>(path) + registryPath->Length, suffix, sizeof suffix);
    ULONG none = 0;
    RTL_QUERY_REGISTRY_TABLE table[2];
    RtlZeroMemory(table, sizeof table);
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = const_cast<PWSTR>(L"SerialNumber");
    table[0].EntryContext = &serial;
    table[0].DefaultType = REG_DWORD;
    table[0].DefaultData = &none;
    table[0].DefaultLength = sizeof none;
    if (!NT_SUCCESS(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, path,
                                           table, nullptr, nullptr))) {
        serial = 0;
    }
    ExFreePool(path);
    return serial;
}

} // namespace

} // namespace vbus

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    using namespace vbus;
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
        driver->MajorFunction[i] = DispatchInvalid;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    driver->DriverUnload = DriverUnload;
    driver->DriverExtension->AddDevice = AddDevice;

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, VBUS_CONTROL_DEVICE_NAME);
    PDEVICE_OBJECT control = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(ControlExtension), &name, FILE_DEVICE_UNKNOWN,
                                     0, FALSE, &control);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ControlExtension* ext = static_cast<ControlExtension*>(control->DeviceExtension);
    RtlZeroMemory(ext, sizeof(ControlExtension));
    ext->kind = Kind::Control;
    KeInitializeSpinLock(&ext->bus.lock);
    ext->bus.driver = driver;
    ext->bus.plugged = true;
    ext->bus.chip.Reset(ConfiguredSerial(registryPath));

    UNICODE_STRING link;
    RtlInitUnicodeString(&link, VBUS_CONTROL_LINK_NAME);
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(control);
        return status;
    }
    control->Flags &= ~DO_DEVICE_INITIALIZING;
    controlDevice = control;
    return STATUS_SUCCESS;
}
