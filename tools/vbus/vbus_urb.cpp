// The chip's device: the internal I/O controls its function driver sends down (descriptor
// reads, select configuration, vendor transfers into the chip model, pipe and port requests).
#include "vbus_driver.h"

namespace vbus {

namespace {

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

} // namespace

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

} // namespace vbus
