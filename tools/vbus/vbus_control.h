// What the virtual bus's control device answers, shared by the bus driver and the programs
// that drive it: constants and plain records only, for kernel mode and user mode alike.
#pragma once

namespace vbus {

// The control device, as the kernel names it and as a program opens it.
#define VBUS_CONTROL_DEVICE_NAME L"\\Device\\NorvaskVbusControl"
#define VBUS_CONTROL_LINK_NAME L"\\DosDevices\\NorvaskVbus"
#define VBUS_CONTROL_PATH "\\\\.\\NorvaskVbus"

// FILE_DEVICE_UNKNOWN, METHOD_BUFFERED, FILE_ANY_ACCESS.
constexpr unsigned int ControlCode(unsigned int function) {
    return (0x22u << 16) | (function << 2);
}

// Out: BusState.
constexpr unsigned int IOCTL_VBUS_GET_STATE = ControlCode(0x900);
// In: 32-bit index of the first word. Out: the latched words from there on, 16 bits each.
constexpr unsigned int IOCTL_VBUS_READ_WORDS = ControlCode(0x901);
// In: 32-bit index of the first transfer. Out: TransferRecord entries from there on.
constexpr unsigned int IOCTL_VBUS_READ_TRANSFERS = ControlCode(0x902);
// The chip leaves the bus; Plug and Play removes its device.
constexpr unsigned int IOCTL_VBUS_UNPLUG = ControlCode(0x903);
// The chip comes back. STATUS_DEVICE_BUSY while the previous device is not removed yet.
constexpr unsigned int IOCTL_VBUS_PLUG = ControlCode(0x904);
// In: the chip's 32-bit serial number.
constexpr unsigned int IOCTL_VBUS_SET_SERIAL = ControlCode(0x905);

struct BusState {
    unsigned int size; // of this record, as the driver fills it
    unsigned int busStarted;
    unsigned int plugged;      // the chip is on the bus
    unsigned int childPresent; // its device object exists
    unsigned int childStarted; // Plug and Play started it
    unsigned int configured;   // its function driver selected a configuration
    unsigned int serialNumber;
    unsigned int words;     // latched by the coil driver, all time
    unsigned int transfers; // vendor transfers carried, all time
    unsigned int descriptorReads;
    unsigned int pipeResets;
    unsigned int pipeAborts;
    unsigned int portStatusQueries;
    unsigned int portResets;
    unsigned int childrenCreated;
    unsigned int childrenRemoved;
};

// Transfers kept for reading back; older ones are dropped, the count goes on.
constexpr unsigned int kTransferLogCapacity = 1024;

struct TransferRecord {
    unsigned char requestTypeBits;
    unsigned char request;
    unsigned short value;
    unsigned short index;
    unsigned short reserved;
    unsigned int transferFlags;
    unsigned int askedLength; // TransferBufferLength as the driver set it
    unsigned int bytesMoved;
    unsigned int hadBuffer;
    int status; // NTSTATUS the bus completed the request block with
};

} // namespace vbus
