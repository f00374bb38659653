// The bus driver's request blocks and port requests: descriptors, configuration, vendor
// transfers and pipe requests, carried at once or late, failed or cut short as injected.
#include "sim/usb/usb_bus.h"

#include "sim/usb/io_chip.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <utility>

namespace sim::usb {

using namespace sim::wdm;

namespace {

// The interface descriptor (number, alternate setting) inside a
// configuration descriptor of `total` bytes, and its endpoints; null when
// the descriptor does not hold it whole.
const USB_INTERFACE_DESCRIPTOR* FindInterface(const UCHAR* config, std::size_t total, UCHAR number,
                                              UCHAR alternate,
                                              std::vector<const USB_ENDPOINT_DESCRIPTOR*>& ends) {
    std::size_t at = 0;
    const USB_INTERFACE_DESCRIPTOR* found = nullptr;
    while (at + 2 <= total) {
        const UCHAR length = config[at];
        const UCHAR type = config[at + 1];
        if (length < 2 || at + length > total) {
            return nullptr; // a descriptor that runs off the end or would never advance
        }
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
            if (found != nullptr) {
                break; // the next interface begins
            }
            if (length >= sizeof(USB_INTERFACE_DESCRIPTOR) && config[at + 2] == number &&
                config[at + 3] == alternate) {
                found = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(config + at);
            }
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && found != nullptr &&
                   length >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            ends.push_back(reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(config + at));
        }
        at += length;
    }
    if (found != nullptr && ends.size() < found->bNumEndpoints) {
        return nullptr;
    }
    return found;
}

} // namespace

// ---- Internal device control -------------------------------------------------------------------

NTSTATUS UsbDevice::DispatchInternalControl(PIRP irp) {
    std::unique_lock lock(mutex_);
    if (hold_) {
        held_.push_back(irp);
        lock.unlock();
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    }
    const unsigned delay = delayMicroseconds_;
    if (delay == 0) {
        return Carry(irp, false, lock);
    }
    lock.unlock();
    IoMarkIrpPending(irp);
    kernel::QueueDispatchWork([this, irp] { CarryLate(irp); }, delay);
    return STATUS_PENDING;
}

void UsbDevice::CarryLate(PIRP irp) {
    std::unique_lock lock(mutex_);
    Carry(irp, true, lock);
}

NTSTATUS UsbDevice::Carry(PIRP irp, bool late, std::unique_lock<ShortLock>& lock) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    PVOID argument = stack->Parameters.Others.Argument1;
    NTSTATUS status = STATUS_SUCCESS;

    if (code == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        PURB urb = static_cast<PURB>(argument);
        if (urb == nullptr) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            UrbRecord record;
            record.function = urb->UrbHeader.Function;
            record.length = urb->UrbHeader.Length;
            record.late = late;
            status = ProcessUrb(urb, record);
            record.status = status;
            record.usbdStatus = urb->UrbHeader.Status;
            urbs_.push_back(record);
        }
    } else if (code == IOCTL_INTERNAL_USB_GET_PORT_STATUS) {
        if (argument == nullptr) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            *static_cast<PULONG>(argument) = unplugged_ ? 0 : options_.portStatus;
        }
    } else if (code == IOCTL_INTERNAL_USB_RESET_PORT) {
        ++portResets_;
        if (unplugged_ || (options_.portStatus & USBD_PORT_CONNECTED) == 0) {
            status = STATUS_DEVICE_NOT_CONNECTED;
        } else {
            options_.portStatus |= USBD_PORT_ENABLED; // a reset brings the port back
        }
    } else {
        status = STATUS_INVALID_DEVICE_REQUEST;
    }
    // Completion runs the routines of the drivers above, which may send the next request.
    lock.unlock();
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS UsbDevice::ProcessUrb(PURB urb, UrbRecord& record) {
    const USHORT function = urb->UrbHeader.Function;
    if (unplugged_) {
        urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
        if (function == URB_FUNCTION_VENDOR_DEVICE ||
            function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
            urb->UrbControlTransfer.TransferBufferLength = 0;
        }
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    auto fault = std::find_if(faults_.begin(), faults_.end(), [&](const UrbFault& f) {
        return f.function < 0 || f.function == function;
    });
    if (fault != faults_.end()) {
        const UrbFault f = *fault;
        faults_.erase(fault);
        urb->UrbHeader.Status = f.usbdStatus;
        if (function == URB_FUNCTION_VENDOR_DEVICE ||
            function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
            urb->UrbControlTransfer.TransferBufferLength = 0;
        }
        return f.status;
    }
    switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return GetDescriptor(urb, record);
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return SelectConfiguration(urb, record);
    case URB_FUNCTION_VENDOR_DEVICE:
        return VendorTransfer(urb, record);
    case URB_FUNCTION_RESET_PIPE:
    case URB_FUNCTION_ABORT_PIPE:
        return PipeRequest(urb, record);
    default:
        urb->UrbHeader.Status = USBD_STATUS_INVALID_URB_FUNCTION;
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS UsbDevice::GetDescriptor(PURB urb, UrbRecord& record) {
    auto& r = urb->UrbControlDescriptorRequest;
    std::vector<std::uint8_t> bytes;
    bool known = true;
    if (r.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE && r.Index == 0) {
        bytes = chip_.DeviceDescriptor();
    } else if (r.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && r.Index == 0) {
        bytes = chip_.ConfigurationDescriptor();
    } else {
        known = false; // the chip has no strings and one configuration
    }
    record.request = USB_REQUEST_GET_DESCRIPTOR;
    record.value = static_cast<std::uint16_t>(r.DescriptorType << 8 | r.Index);
    if (r.TransferBufferLength > 0 && r.TransferBuffer == nullptr) {
        r.TransferBufferLength = 0;
        urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
        return STATUS_INVALID_PARAMETER;
    }
    if (!known) {
        r.TransferBufferLength = 0;
        urb->UrbHeader.Status = USBD_STATUS_STALL_PID;
        return STATUS_UNSUCCESSFUL;
    }
    const ULONG n = std::min<ULONG>(r.TransferBufferLength, static_cast<ULONG>(bytes.size()));
    if (n > 0) {
        std::memcpy(r.TransferBuffer, bytes.data(), n);
    }
    r.TransferBufferLength = n;
    record.bytes = n;
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

NTSTATUS UsbDevice::SelectConfiguration(PURB urb, UrbRecord&) {
    auto& s = urb->UrbSelectConfiguration;
    if (s.ConfigurationDescriptor == nullptr) {
        configured_ = false;
        pipes_.clear();
        urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
        return STATUS_SUCCESS;
    }
    const auto* config = reinterpret_cast<const UCHAR*>(s.ConfigurationDescriptor);
    const std::size_t total = s.ConfigurationDescriptor->wTotalLength;
    const auto fail = [&](USBD_STATUS usbd, NTSTATUS status) {
        urb->UrbHeader.Status = usbd;
        return status;
    };
    if (s.ConfigurationDescriptor->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        s.ConfigurationDescriptor->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        total < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        return fail(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    }

    // Each interface of the configuration has its information record in the
    // block, one after the other, each as long as its Length says.
    const std::uintptr_t generation = ++configurationGeneration_;
    std::vector<USBD_PIPE_HANDLE> pipes;
    std::size_t offset = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    const std::size_t blockLength = urb->UrbHeader.Length;
    const std::size_t infoHeader = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
    for (UCHAR i = 0; i < s.ConfigurationDescriptor->bNumInterfaces; ++i) {
        if (offset + infoHeader > blockLength) {
            return fail(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        }
        auto* info =
            reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(urb) + offset);
        if (info->Length < infoHeader || offset + info->Length > blockLength) {
            return fail(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        }
        std::vector<const USB_ENDPOINT_DESCRIPTOR*> ends;
        const USB_INTERFACE_DESCRIPTOR* iface =
            FindInterface(config, total, info->InterfaceNumber, info->AlternateSetting, ends);
        if (iface == nullptr) {
            return fail(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        }
        if (info->Length < GET_USBD_INTERFACE_SIZE(iface->bNumEndpoints)) {
            return fail(USBD_STATUS_BUFFER_TOO_SMALL, STATUS_BUFFER_TOO_SMALL);
        }
        info->Class = iface->bInterfaceClass;
        info->SubClass = iface->bInterfaceSubClass;
        info->Protocol = iface->bInterfaceProtocol;
        info->InterfaceHandle =
            reinterpret_cast<USBD_INTERFACE_HANDLE>(generation << 16 | (i + 1u) << 8);
        info->NumberOfPipes = iface->bNumEndpoints;
        for (ULONG p = 0; p < iface->bNumEndpoints; ++p) {
            USBD_PIPE_INFORMATION& pipe = info->Pipes[p];
            const USB_ENDPOINT_DESCRIPTOR* e = ends[p];
            pipe.MaximumPacketSize = e->wMaxPacketSize;
            pipe.EndpointAddress = e->bEndpointAddress;
            pipe.Interval = e->bInterval;
            pipe.PipeType = static_cast<USBD_PIPE_TYPE>(e->bmAttributes & USB_ENDPOINT_TYPE_MASK);
            pipe.PipeHandle =
                reinterpret_cast<USBD_PIPE_HANDLE>(generation << 16 | (i + 1u) << 8 | (p + 1u));
            pipes.push_back(pipe.PipeHandle);
        }
        offset += info->Length;
    }
    s.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(generation << 16);
    pipes_ = std::move(pipes);
    configured_ = true;
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

NTSTATUS UsbDevice::VendorTransfer(PURB urb, UrbRecord& record) {
    auto& r = urb->UrbControlVendorClassRequest;
    const bool in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    record.transferFlags = r.TransferFlags;
    record.request = r.Request;
    record.value = r.Value;
    record.index = r.Index;
    const ULONG asked = r.TransferBufferLength;
    if ((asked > 0 && r.TransferBuffer == nullptr) || asked > 0xFFFF) {
        r.TransferBufferLength = 0;
        urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
        return STATUS_INVALID_PARAMETER;
    }
    VendorSetup setup;
    setup.requestTypeBits = r.RequestTypeReservedBits;
    setup.request = r.Request;
    setup.value = r.Value;
    setup.index = r.Index;
    setup.in = in;

    auto* buffer = static_cast<std::uint8_t*>(r.TransferBuffer);
    VendorResult result;
    if (in) {
        // The device answers into the bus's own buffer; only what arrived
        // is copied to the caller's.
        std::vector<std::uint8_t> reply(asked);
        result = chip_.VendorRequest(setup, reply.data(), asked);
        ULONG moved = std::min<ULONG>(result.bytesMoved, asked);
        if (!result.stalled && !shortIn_.empty()) {
            moved = std::min(moved, shortIn_.front());
            shortIn_.pop_front();
        }
        if (!result.stalled && moved > 0) {
            std::memcpy(buffer, reply.data(), moved);
        }
        result.bytesMoved = result.stalled ? 0 : moved;
    } else {
        result = chip_.VendorRequest(setup, buffer, asked);
    }
    r.TransferBufferLength = result.bytesMoved;
    record.bytes = result.bytesMoved;
    if (result.stalled) {
        urb->UrbHeader.Status = USBD_STATUS_STALL_PID;
        return STATUS_UNSUCCESSFUL;
    }
    if (in && result.bytesMoved < asked && (r.TransferFlags & USBD_SHORT_TRANSFER_OK) == 0) {
        urb->UrbHeader.Status = USBD_STATUS_ERROR_SHORT_TRANSFER;
        return STATUS_UNSUCCESSFUL;
    }
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

NTSTATUS UsbDevice::PipeRequest(PURB urb, UrbRecord&) {
    const USBD_PIPE_HANDLE handle = urb->UrbPipeRequest.PipeHandle;
    if (!configured_ || std::find(pipes_.begin(), pipes_.end(), handle) == pipes_.end()) {
        urb->UrbHeader.Status = USBD_STATUS_INVALID_PIPE_HANDLE;
        return STATUS_INVALID_PARAMETER;
    }
    if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
        ++pipeAborts_;
    } else {
        ++pipeResets_;
    }
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

} // namespace sim::usb
