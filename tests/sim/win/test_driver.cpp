#include "test_driver.h"

#include "sim/kernel/control.h"
#include "sim/registry/registry.h"

namespace simtest {

using namespace sim::wdm;

namespace {

TestDriverLog* theLog = new TestDriverLog; // outlives every test and the worker thread

const GUID InterfaceGuid = {0x1A2B3C4D, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};

struct Extension {
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT lower;
    UNICODE_STRING link;
};

Extension* Ext(PDEVICE_OBJECT device) {
    return static_cast<Extension*>(device->DeviceExtension);
}

void Note(UCHAR major) {
    std::lock_guard lock(theLog->mutex);
    theLog->majors.push_back(major);
}

NTSTATUS Finish(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI Create(PDEVICE_OBJECT, PIRP irp) {
    Note(IRP_MJ_CREATE);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    std::u16string name;
    if (stack->FileObject != nullptr && stack->FileObject->FileName.Buffer != nullptr) {
        name.assign(stack->FileObject->FileName.Buffer,
                    stack->FileObject->FileName.Length / sizeof(WCHAR));
    }
    {
        std::lock_guard lock(theLog->mutex);
        theLog->createNames.push_back(name);
    }
    return Finish(irp, name == u"\\REFUSE" ? STATUS_INSTANCE_NOT_AVAILABLE : STATUS_SUCCESS);
}

NTSTATUS NTAPI Simple(PDEVICE_OBJECT, PIRP irp) {
    Note(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
    return Finish(irp, STATUS_SUCCESS);
}

struct Transfer {
    PIRP caller;
    URB urb;
};

NTSTATUS NTAPI VendorComplete(PDEVICE_OBJECT, PIRP busIrp, PVOID context) {
    auto* t = static_cast<Transfer*>(context);
    {
        std::lock_guard lock(theLog->mutex);
        theLog->completionIrql = KeGetCurrentIrql();
        theLog->completionThread = std::this_thread::get_id();
    }
    const NTSTATUS status = busIrp->IoStatus.Status;
    const ULONG moved = t->urb.UrbControlVendorClassRequest.TransferBufferLength;
    PIRP caller = t->caller;
    ExFreePool(t);
    IoFreeIrp(busIrp);
    Finish(caller, status, NT_SUCCESS(status) ? moved : 0);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS Vendor(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* packet = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    if (packet == nullptr || stack->Parameters.DeviceIoControl.InputBufferLength < 8) {
        return Finish(irp, STATUS_INVALID_PARAMETER);
    }
    auto* t = static_cast<Transfer*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(Transfer), 0x74736554 /* "Test" */));
    PIRP bus = IoAllocateIrp(static_cast<CCHAR>(Ext(device)->lower->StackSize + 1), FALSE);
    if (t == nullptr || bus == nullptr) {
        if (t != nullptr) {
            ExFreePool(t);
        }
        if (bus != nullptr) {
            IoFreeIrp(bus);
        }
        return Finish(irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    RtlZeroMemory(t, sizeof(Transfer));
    t->caller = irp;
    const bool in = (packet[2] & 1) != 0;
    const ULONG length = in ? 8 : 0;
    UsbBuildVendorRequest(&t->urb, URB_FUNCTION_VENDOR_DEVICE,
                          sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0, packet[0],
                          packet[1], static_cast<USHORT>(packet[2] | packet[3] << 8),
                          static_cast<USHORT>(packet[4] | packet[5] << 8), in ? packet : nullptr,
                          nullptr, length, nullptr);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(bus);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &t->urb;
    IoSetCompletionRoutine(bus, VendorComplete, t, TRUE, TRUE, TRUE);
    IoMarkIrpPending(irp);
    IoCallDriver(Ext(device)->lower, bus);
    return STATUS_PENDING;
}

NTSTATUS NTAPI DeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    Note(IRP_MJ_DEVICE_CONTROL);
    {
        std::lock_guard lock(theLog->mutex);
        theLog->dispatchThread = std::this_thread::get_id();
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IoctlVendor:
        return Vendor(device, irp);
    case IoctlEcho: {
        auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        const ULONG n = stack->Parameters.DeviceIoControl.InputBufferLength;
        for (ULONG i = 0; i < n / 2; ++i) {
            std::swap(buffer[i], buffer[n - 1 - i]);
        }
        return Finish(irp, STATUS_SUCCESS, n);
    }
    default:
        return Finish(irp, STATUS_INVALID_PARAMETER);
    }
}

NTSTATUS NTAPI Pnp(PDEVICE_OBJECT device, PIRP irp) {
    Note(IRP_MJ_PNP);
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    {
        std::lock_guard lock(theLog->mutex);
        theLog->pnpMinors.push_back(minor);
    }
    Extension* ext = Ext(device);
    if (minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL) {
        IoSetDeviceInterfaceState(&ext->link, FALSE);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    const NTSTATUS status = IoCallDriver(ext->lower, irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        RtlFreeUnicodeString(&ext->link);
        IoDetachDevice(ext->lower);
        IoDeleteDevice(device);
        std::lock_guard lock(theLog->mutex);
        theLog->deleted = true;
    }
    return status;
}

NTSTATUS NTAPI Power(PDEVICE_OBJECT device, PIRP irp) {
    Note(IRP_MJ_POWER);
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(Ext(device)->lower, irp);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Extension* ext = Ext(fdo);
    ext->self = fdo;
    status = IoRegisterDeviceInterface(pdo, &InterfaceGuid, nullptr, &ext->link);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(fdo);
        return status;
    }
    IoSetDeviceInterfaceState(&ext->link, TRUE);
    ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    std::lock_guard lock(theLog->mutex);
    ++theLog->addDeviceCalls;
    theLog->fdo = fdo;
    theLog->lower = ext->lower;
    theLog->linkName.assign(ext->link.Buffer, ext->link.Length / sizeof(WCHAR));
    return STATUS_SUCCESS;
}

} // namespace

TestDriverLog& Log() {
    return *theLog;
}

void ResetLog() {
    std::lock_guard lock(theLog->mutex);
    theLog->majors.clear();
    theLog->createNames.clear();
    theLog->pnpMinors.clear();
    theLog->addDeviceCalls = 0;
    theLog->completionIrql = -1;
    theLog->completionThread = {};
    theLog->dispatchThread = {};
    theLog->fdo = nullptr;
    theLog->lower = nullptr;
    theLog->linkName.clear();
    theLog->deleted = false;
}

NTSTATUS TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_CREATE] = Create;
    driver->MajorFunction[IRP_MJ_CLOSE] = Simple;
    driver->MajorFunction[IRP_MJ_CLEANUP] = Simple;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControl;
    driver->MajorFunction[IRP_MJ_PNP] = Pnp;
    driver->MajorFunction[IRP_MJ_POWER] = Power;
    driver->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

std::string FirstInterfacePath() {
    for (const auto& i : sim::kernel::ListDeviceInterfaces()) {
        if (i.enabled && i.linkName.size() > 4) {
            // "\??\name" is "\\.\name" to user mode.
            return "\\\\.\\" +
                   sim::registry::Utf16ToUtf8(std::u16string_view(i.linkName).substr(4));
        }
    }
    return "";
}

} // namespace simtest
