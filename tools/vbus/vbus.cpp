// vbus.sys: a root-enumerated virtual USB bus for Wine's kernel. On start it reports one child
// device with the chip's hardware identifier, so that Plug and Play installs and starts the
// function driver on it, and it answers that driver's bus requests from the same chip and coil
// driver model as the simulated bench. A control device reads the latched words back and pulls
// the chip out or plugs it in again.
//
// Everything completes inside the call: nothing here is asynchronous, and every request runs at
// PASSIVE_LEVEL under Wine. The bus's state lives in the control device's extension.
#ifndef POOL_TAGGING
#define POOL_TAGGING 1
#endif

extern "C" {
#include <ddk/wdm.h>
#include <usb.h>
#include <usbioctl.h>
}

#include "chip_model.h"
#include "vbus_control.h"

namespace vbus {

namespace {

constexpr ULONG kPoolTag = 0x73756256; // "Vbus"
constexpr ULONG kMaxPipes = 8;

// The child's identifiers: the INF's placeholder hardware identifier and the class of a
// vendor-specific device, which Plug and Play needs to be non-empty.
const WCHAR kDeviceId[] = L"USB\\VID_FFFF&PID_FFFF";
const WCHAR kHardwareIds[] = L"USB\\VID_FFFF&PID_FFFF&REV_0100\0USB\\VID_FFFF&PID_FFFF\0";
const WCHAR kCompatibleIds[] =
    L"USB\\Class_FF&SubClass_00&Prot_00\0USB\\Class_FF&SubClass_00\0USB\\Class_FF\0";
const WCHAR kInstanceId[] = L"1";
const WCHAR kDescription[] = L"USB I/O chip on the virtual bus";

// The control device, where the bus's state lives. Wine's kernel has no driver object
// extensions, so AddDevice finds it here; a plain pointer needs no constructor.
PDEVICE_OBJECT controlDevice;

enum class Kind : ULONG { Control = 0x6C727443, Fdo = 0x206F6446, Pdo = 0x206F6450 };

struct Bus {
    KSPIN_LOCK lock;
    PDRIVER_OBJECT driver;
    PDEVICE_OBJECT fdo;      // the bus's own device while started
    PDEVICE_OBJECT physical; // the root device below it
    PDEVICE_OBJECT child;    // the chip's device while it exists
    bool plugged;
    bool childReported; // the last bus relations named the child
    bool childStarted;
    bool configured;
    ULONG_PTR generation; // of the configuration; pipe handles carry it
    USBD_PIPE_HANDLE pipes[kMaxPipes];
    ULONG pipeCount;
    BusState counters;
    ULONG transferCount;
    TransferRecord transfers[kTransferLogCapacity];
    ChipModel chip;
};

struct ControlExtension {
    Kind kind;
    Bus bus;
};

struct FdoExtension {
    Kind kind;
    Bus* bus;
    PDEVICE_OBJECT lower;
};

struct PdoExtension {
    Kind kind;
    Bus* bus;
};

Kind KindOf(PDEVICE_OBJECT device) {
    return *static_cast<Kind*>(device->DeviceExtension);
}

// The bus, found from any of the driver's device objects.
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

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Completes with the status the request already carries: a request nobody here answers.
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

// ---- The chip's device: bus requests ---------------------------------------------------------

NTSTATUS Fail(PURB urb, USBD_STATUS usbd, NTSTATUS status) {
    urb->UrbHeader.Status = usbd;
    return status;
}

NTSTATUS GetDescriptor(Bus* bus, PURB urb) {
    struct _URB_CONTROL_DESCRIPTOR_REQUEST& r = urb->UrbControlDescriptorRequest;
    ++bus->counters.descriptorReads;
    const u8* bytes = nullptr;
    u32 length = 0;
    if (r.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE && r.Index == 0) {
        bytes = ChipDeviceDescriptor(&length);
    } else if (r.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && r.Index == 0) {
        bytes = ChipConfigurationDescriptor(&length);
    }
    if (r.TransferBufferLength > 0 && r.TransferBuffer == nullptr) {
        r.TransferBufferLength = 0;
        return Fail(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    }
    if (!bytes) {
        // The chip has no strings and one configuration: anything else stalls.
        r.TransferBufferLength = 0;
        return Fail(urb, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
    }
    const ULONG n = r.TransferBufferLength < length ? r.TransferBufferLength : length;
    if (n > 0) {
        RtlCopyMemory(r.TransferBuffer, bytes, n);
    }
    r.TransferBufferLength = n;
    return Fail(urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

// The interface descriptor (number, alternate setting) in a configuration descriptor of
// `total` bytes, with its first endpoint descriptor; null unless the descriptor holds it whole.
const USB_INTERFACE_DESCRIPTOR* FindInterface(const UCHAR* config, ULONG total, UCHAR number,
                                              UCHAR alternate, const UCHAR** endpoints) {
    ULONG at = 0;
    const USB_INTERFACE_DESCRIPTOR* found = nullptr;
    ULONG endpointCount = 0;
    *endpoints = nullptr;
    while (at + 2 <= total) {
        const UCHAR length = config[at];
        const UCHAR type = config[at + 1];
        if (length < 2 || at + length > total) {
            return nullptr; // runs off the end or would never advance
        }
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
            if (found) {
                break; // the next interface begins
            }
            if (length >= sizeof(USB_INTERFACE_DESCRIPTOR) && config[at + 2] == number &&
                config[at + 3] == alternate) {
                found = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(config + at);
            }
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && found &&
                   length == sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            // Endpoints are taken as one run of 7-byte records after the interface.
            if (endpointCount == 0) {
                *endpoints = config + at;
            }
            ++endpointCount;
        }
        at += length;
    }
    if (found && endpointCount < found->bNumEndpoints) {
        return nullptr;
    }
    return found;
}

NTSTATUS SelectConfiguration(Bus* bus, PURB urb) {
    struct _URB_SELECT_CONFIGURATION& s = urb->UrbSelectConfiguration;
    if (!s.ConfigurationDescriptor) {
        bus->configured = false;
        bus->pipeCount = 0;
        return Fail(urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    }
    const UCHAR* config = reinterpret_cast<const UCHAR*>(s.ConfigurationDescriptor);
    const ULONG total = s.ConfigurationDescriptor->wTotalLength;
    if (s.ConfigurationDescriptor->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        s.ConfigurationDescriptor->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        total < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        return Fail(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    }

    // Each interface of the configuration has its information record in the block, one after
    // the other, each as long as its Length says.
    const ULONG_PTR generation = ++bus->generation;
    USBD_PIPE_HANDLE pipes[kMaxPipes];
    ULONG pipeCount = 0;
    ULONG offset = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
    const ULONG blockLength = urb->UrbHeader.Length;
    const ULONG infoHeader = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes);
    for (UCHAR i = 0; i < s.ConfigurationDescriptor->bNumInterfaces; ++i) {
        if (offset + infoHeader > blockLength) {
            return Fail(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        }
        PUSBD_INTERFACE_INFORMATION info =
            reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(urb) + offset);
        if (info->Length < infoHeader || offset + info->Length > blockLength) {
            return Fail(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        }
        const UCHAR* endpoints = nullptr;
        const USB_INTERFACE_DESCRIPTOR* iface =
            FindInterface(config, total, info->InterfaceNumber, info->AlternateSetting, &endpoints);
        if (!iface) {
            return Fail(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        }
        if (info->Length < infoHeader + iface->bNumEndpoints * sizeof(USBD_PIPE_INFORMATION)) {
            return Fail(urb, USBD_STATUS_BUFFER_TOO_SMALL, STATUS_BUFFER_TOO_SMALL);
        }
        if (pipeCount + iface->bNumEndpoints > kMaxPipes) {
            return Fail(urb, USBD_STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES);
        }
        info->Class = iface->bInterfaceClass;
        info->SubClass = iface->bInterfaceSubClass;
        info->Protocol = iface->bInterfaceProtocol;
        info->InterfaceHandle =
            reinterpret_cast<USBD_INTERFACE_HANDLE>(generation << 16 | (i + 1u) << 8);
        info->NumberOfPipes = iface->bNumEndpoints;
        for (ULONG p = 0; p < iface->bNumEndpoints; ++p) {
            USBD_PIPE_INFORMATION& pipe = info->Pipes[p];
            const USB_ENDPOINT_DESCRIPTOR* e =
                reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(endpoints + 7 * p);
            pipe.MaximumPacketSize = e->wMaxPacketSize;
            pipe.EndpointAddress = e->bEndpointAddress;
            pipe.Interval = e->bInterval;
            pipe.PipeType = static_cast<USBD_PIPE_TYPE>(e->bmAttributes & USB_ENDPOINT_TYPE_MASK);
            pipe.PipeHandle =
                reinterpret_cast<USBD_PIPE_HANDLE>(generation << 16 | (i + 1u) << 8 | (p + 1u));
            pipes[pipeCount++] = pipe.PipeHandle;
        }
        offset += info->Length;
    }
    s.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(generation << 16);
    for (ULONG p = 0; p < pipeCount; ++p) {
        bus->pipes[p] = pipes[p];
    }
    bus->pipeCount = pipeCount;
    bus->configured = true;
    return Fail(urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

NTSTATUS VendorTransfer(Bus* bus, PURB urb) {
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& r = urb->UrbControlVendorClassRequest;
    const bool in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    TransferRecord& record = bus->transfers[bus->transferCount % kTransferLogCapacity];
    ++bus->transferCount;
    ++bus->counters.transfers;
    record.requestTypeBits = r.RequestTypeReservedBits;
    record.request = r.Request;
    record.value = r.Value;
    record.index = r.Index;
    record.reserved = 0;
    record.transferFlags = r.TransferFlags;
    record.askedLength = r.TransferBufferLength;
    record.hadBuffer = r.TransferBuffer != nullptr;

    const ULONG asked = r.TransferBufferLength;
    NTSTATUS status = STATUS_SUCCESS;
    if ((asked > 0 && r.TransferBuffer == nullptr) || asked > 0xFFFF) {
        r.TransferBufferLength = 0;
        status = Fail(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    } else {
        const ChipSetup setup = {r.RequestTypeReservedBits, r.Request, r.Value, r.Index, in};
        const ChipResult result =
            bus->chip.VendorRequest(setup, static_cast<u8*>(r.TransferBuffer), asked);
        r.TransferBufferLength = result.stalled ? 0 : result.bytesMoved;
        if (result.stalled) {
            status = Fail(urb, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
        } else if (in && result.bytesMoved < asked &&
                   (r.TransferFlags & USBD_SHORT_TRANSFER_OK) == 0) {
            status = Fail(urb, USBD_STATUS_ERROR_SHORT_TRANSFER, STATUS_UNSUCCESSFUL);
        } else {
            status = Fail(urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
        }
    }
    record.bytesMoved = r.TransferBufferLength;
    record.status = status;
    return status;
}

NTSTATUS PipeRequest(Bus* bus, PURB urb) {
    const USBD_PIPE_HANDLE handle = urb->UrbPipeRequest.PipeHandle;
    bool known = false;
    for (ULONG p = 0; bus->configured && p < bus->pipeCount; ++p) {
        known = known || bus->pipes[p] == handle;
    }
    if (!known) {
        return Fail(urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
    }
    if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
        ++bus->counters.pipeAborts;
    } else {
        ++bus->counters.pipeResets;
    }
    return Fail(urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

// Carries one request block; called under the bus lock.
NTSTATUS ProcessUrb(Bus* bus, PURB urb) {
    const USHORT function = urb->UrbHeader.Function;
    if (!bus->plugged) {
        // The chip has left: nothing reaches it any more.
        if (function == URB_FUNCTION_VENDOR_DEVICE ||
            function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
            urb->UrbControlTransfer.TransferBufferLength = 0;
        }
        return Fail(urb, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
    }
    switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return GetDescriptor(bus, urb);
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return SelectConfiguration(bus, urb);
    case URB_FUNCTION_VENDOR_DEVICE:
        return VendorTransfer(bus, urb);
    case URB_FUNCTION_RESET_PIPE:
    case URB_FUNCTION_ABORT_PIPE:
        return PipeRequest(bus, urb);
    default:
        return Fail(urb, USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER);
    }
}

NTSTATUS PdoInternalControl(Bus* bus, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    PVOID argument = stack->Parameters.Others.Argument1;
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    if (code == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        status = argument ? ProcessUrb(bus, static_cast<PURB>(argument)) : STATUS_INVALID_PARAMETER;
    } else if (code == IOCTL_INTERNAL_USB_GET_PORT_STATUS) {
        ++bus->counters.portStatusQueries;
        if (!argument) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            *static_cast<PULONG>(argument) =
                bus->plugged ? USBD_PORT_ENABLED | USBD_PORT_CONNECTED : 0;
        }
    } else if (code == IOCTL_INTERNAL_USB_RESET_PORT) {
        ++bus->counters.portResets;
        status = bus->plugged ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED;
    } else {
        status = STATUS_INVALID_DEVICE_REQUEST;
    }
    KeReleaseSpinLock(&bus->lock, irql);
    return Complete(irp, status);
}

// ---- The chip's device: Plug and Play --------------------------------------------------------

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

// ---- The bus's own device --------------------------------------------------------------------

NTSTATUS NTAPI SignalComplete(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS PassDown(FdoExtension* ext, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
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

// ---- The control device ----------------------------------------------------------------------

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
