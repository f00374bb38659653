// What the console and the driver agree on, written down once: the I/O control codes, the
// device interface class, where the driver publishes the path that applications open, and the
// command packet. Constants only, no OS types and no library headers, so that the same header
// builds into the kernel image, into the host build of the driver and into the console.
#pragma once

namespace contract {

using u8 = unsigned char;
using u16 = unsigned short;
using u32 = unsigned int;

static_assert(sizeof(u8) == 1 && sizeof(u16) == 2 && sizeof(u32) == 4);

// ---- I/O control codes ------------------------------------------------------------------------

// The layout of an I/O control code, as the platform packs it.
constexpr u32 ControlCode(u32 deviceType, u32 function, u32 method, u32 access) {
    return deviceType << 16 | access << 14 | function << 2 | method;
}
constexpr u32 FileDeviceUnknown = 0x22;
constexpr u32 MethodBuffered = 0;
constexpr u32 FileAnyAccess = 0;

constexpr u32 IOCTL_GET_CONFIG_DESCRIPTOR = 0x220000;
constexpr u32 IOCTL_RESET_PORT_IF_DISABLED = 0x220004;
constexpr u32 IOCTL_RESET_PIPE = 0x220008;
constexpr u32 IOCTL_VENDOR_REQUEST = 0x222028;

// Each code is buffered, open to any access, and of the unknown device type.
static_assert(IOCTL_GET_CONFIG_DESCRIPTOR ==
              ControlCode(FileDeviceUnknown, 0, MethodBuffered, FileAnyAccess));
static_assert(IOCTL_RESET_PORT_IF_DISABLED ==
              ControlCode(FileDeviceUnknown, 1, MethodBuffered, FileAnyAccess));
static_assert(IOCTL_RESET_PIPE == ControlCode(FileDeviceUnknown, 2, MethodBuffered, FileAnyAccess));
static_assert(IOCTL_VENDOR_REQUEST ==
              ControlCode(FileDeviceUnknown, 0x80A, MethodBuffered, FileAnyAccess));

// ---- Device interface class -------------------------------------------------------------------

// A GUID in its four parts; each side builds its own GUID type from them.
struct GuidParts {
    u32 data1;
    u16 data2;
    u16 data3;
    u8 data4[8];
};

// {B5157D69-75F8-11D3-8CE0-00207815E611}
constexpr GuidParts InterfaceClass = {
    0xB5157D69, 0x75F8, 0x11D3, {0x8C, 0xE0, 0x00, 0x20, 0x78, 0x15, 0xE6, 0x11}};

// ---- Published path ---------------------------------------------------------------------------

// The key below HKEY_LOCAL_MACHINE where the driver writes, and the console reads, the path that
// applications open. Macros as well, so that each side can spell them in its own string type
// (the kernel's wide paths start with "\REGISTRY\Machine\").
#define NORVASK_PARAMETERS_KEY "System\\CurrentControlSet\\Services\\Tarvik\\Norvask\\Parameters"
#define NORVASK_DEVICE_NAME_VALUE "DeviceName"

constexpr char ParametersKey[] = NORVASK_PARAMETERS_KEY;
constexpr char DeviceNameValue[] = NORVASK_DEVICE_NAME_VALUE;

// ---- Command packet ---------------------------------------------------------------------------

// An 8-byte header, then up to 8 data bytes for a transfer to the device. Multi-byte fields are
// little-endian. A transfer from the device answers with at most 8 bytes, written over the
// packet.
constexpr u32 PacketHeaderLength = 8;
constexpr u32 MaxExtraLength = 8;
constexpr u32 MaxReplyLength = 8;

// Byte offsets of the header's fields.
constexpr u32 OffRequestType = 0;
constexpr u32 OffRequestCode = 1;
constexpr u32 OffMajorCommand = 2; // low byte of the setup packet's value; bit 0 asks for data
constexpr u32 OffMinorCommand = 3; // its high byte
constexpr u32 OffDataLow = 4;      // low byte of the setup packet's index
constexpr u32 OffDataHigh = 5;     // its high byte
constexpr u32 OffExtraLength = 6;  // 2 bytes: data bytes after the header

// What the console puts in every packet it sends: the bare header, no data bytes.
constexpr u8 ConsoleRequestType = 8;
constexpr u8 ConsoleRequestCode = 18;
constexpr u8 MajorWritePorts = 10; // data low = port A, data high = port B
constexpr u8 MajorReadSerial = 11; // reply bytes 0-3: the chip's serial number, little-endian
constexpr u8 MinorPorts = 10;

} // namespace contract
