// User-mode stand-in for the USB client driver interface (usb.h, usbdlib.h, usbioctl.h,
// usbspec.h): descriptors, request blocks, bus I/O control codes and the USBD library routines.
// Names, fields and values are those of the real headers; see wdm.h for the conventions.
#pragma once

#include "sim/kernel/wdm.h"

namespace sim::wdm {

// ---------------------------------------------------------------------------------------------
// Descriptors (packed, as on the wire).
// ---------------------------------------------------------------------------------------------
#pragma pack(push, 1)
typedef struct _USB_COMMON_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
} USB_COMMON_DESCRIPTOR, *PUSB_COMMON_DESCRIPTOR;

typedef struct _USB_DEVICE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdUSB;
    UCHAR bDeviceClass;
    UCHAR bDeviceSubClass;
    UCHAR bDeviceProtocol;
    UCHAR bMaxPacketSize0;
    USHORT idVendor;
    USHORT idProduct;
    USHORT bcdDevice;
    UCHAR iManufacturer;
    UCHAR iProduct;
    UCHAR iSerialNumber;
    UCHAR bNumConfigurations;
} USB_DEVICE_DESCRIPTOR, *PUSB_DEVICE_DESCRIPTOR;

typedef struct _USB_CONFIGURATION_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT wTotalLength;
    UCHAR bNumInterfaces;
    UCHAR bConfigurationValue;
    UCHAR iConfiguration;
    UCHAR bmAttributes;
    UCHAR MaxPower;
} USB_CONFIGURATION_DESCRIPTOR, *PUSB_CONFIGURATION_DESCRIPTOR;

typedef struct _USB_INTERFACE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bInterfaceNumber;
    UCHAR bAlternateSetting;
    UCHAR bNumEndpoints;
    UCHAR bInterfaceClass;
    UCHAR bInterfaceSubClass;
    UCHAR bInterfaceProtocol;
    UCHAR iInterface;
} USB_INTERFACE_DESCRIPTOR, *PUSB_INTERFACE_DESCRIPTOR;

typedef struct _USB_ENDPOINT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bEndpointAddress;
    UCHAR bmAttributes;
    USHORT wMaxPacketSize;
    UCHAR bInterval;
} USB_ENDPOINT_DESCRIPTOR, *PUSB_ENDPOINT_DESCRIPTOR;

typedef struct _USB_STRING_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    WCHAR bString[1];
} USB_STRING_DESCRIPTOR, *PUSB_STRING_DESCRIPTOR;
#pragma pack(pop)

static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18);
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9);
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);

constexpr UCHAR USB_DEVICE_DESCRIPTOR_TYPE = 0x01;
constexpr UCHAR USB_CONFIGURATION_DESCRIPTOR_TYPE = 0x02;
constexpr UCHAR USB_STRING_DESCRIPTOR_TYPE = 0x03;
constexpr UCHAR USB_INTERFACE_DESCRIPTOR_TYPE = 0x04;
constexpr UCHAR USB_ENDPOINT_DESCRIPTOR_TYPE = 0x05;

constexpr UCHAR USB_ENDPOINT_DIRECTION_MASK = 0x80;
constexpr UCHAR USB_ENDPOINT_ADDRESS_MASK = 0x0F;
constexpr UCHAR USB_ENDPOINT_TYPE_MASK = 0x03;
constexpr UCHAR USB_ENDPOINT_TYPE_CONTROL = 0x00;
constexpr UCHAR USB_ENDPOINT_TYPE_ISOCHRONOUS = 0x01;
constexpr UCHAR USB_ENDPOINT_TYPE_BULK = 0x02;
constexpr UCHAR USB_ENDPOINT_TYPE_INTERRUPT = 0x03;

constexpr UCHAR USB_CONFIG_BUS_POWERED = 0x80;
constexpr UCHAR USB_CONFIG_SELF_POWERED = 0x40;
constexpr UCHAR USB_CONFIG_REMOTE_WAKEUP = 0x20;

// Standard requests (bRequest).
constexpr UCHAR USB_REQUEST_GET_STATUS = 0x00;
constexpr UCHAR USB_REQUEST_CLEAR_FEATURE = 0x01;
constexpr UCHAR USB_REQUEST_SET_FEATURE = 0x03;
constexpr UCHAR USB_REQUEST_SET_ADDRESS = 0x05;
constexpr UCHAR USB_REQUEST_GET_DESCRIPTOR = 0x06;
constexpr UCHAR USB_REQUEST_SET_DESCRIPTOR = 0x07;
constexpr UCHAR USB_REQUEST_GET_CONFIGURATION = 0x08;
constexpr UCHAR USB_REQUEST_SET_CONFIGURATION = 0x09;
constexpr UCHAR USB_REQUEST_GET_INTERFACE = 0x0A;
constexpr UCHAR USB_REQUEST_SET_INTERFACE = 0x0B;

// ---------------------------------------------------------------------------------------------
// USBD types.
// ---------------------------------------------------------------------------------------------
typedef LONG USBD_STATUS;
typedef PVOID USBD_PIPE_HANDLE;
typedef PVOID USBD_CONFIGURATION_HANDLE;
typedef PVOID USBD_INTERFACE_HANDLE;

constexpr bool USBD_SUCCESS(USBD_STATUS status) {
    return status >= 0;
}
constexpr bool USBD_PENDING(USBD_STATUS status) {
    return (static_cast<ULONG>(status) >> 30) == 1;
}
constexpr bool USBD_ERROR(USBD_STATUS status) {
    return status < 0;
}

constexpr USBD_STATUS USBD_STATUS_SUCCESS = 0x00000000;
constexpr USBD_STATUS USBD_STATUS_PENDING = 0x40000000;
constexpr USBD_STATUS USBD_STATUS_CRC = MakeStatus(0xC0000001);
constexpr USBD_STATUS USBD_STATUS_STALL_PID = MakeStatus(0xC0000004);
constexpr USBD_STATUS USBD_STATUS_DEV_NOT_RESPONDING = MakeStatus(0xC0000005);
constexpr USBD_STATUS USBD_STATUS_DATA_UNDERRUN = MakeStatus(0xC0000009);
constexpr USBD_STATUS USBD_STATUS_BUFFER_OVERRUN = MakeStatus(0xC000000C);
constexpr USBD_STATUS USBD_STATUS_ENDPOINT_HALTED = MakeStatus(0xC0000030);
constexpr USBD_STATUS USBD_STATUS_INVALID_URB_FUNCTION = MakeStatus(0x80000200);
constexpr USBD_STATUS USBD_STATUS_INVALID_PARAMETER = MakeStatus(0x80000300);
constexpr USBD_STATUS USBD_STATUS_ERROR_BUSY = MakeStatus(0x80000400);
constexpr USBD_STATUS USBD_STATUS_INVALID_PIPE_HANDLE = MakeStatus(0x80000600);
constexpr USBD_STATUS USBD_STATUS_ERROR_SHORT_TRANSFER = MakeStatus(0x80000900);
constexpr USBD_STATUS USBD_STATUS_NOT_SUPPORTED = MakeStatus(0xC0000E00);
constexpr USBD_STATUS USBD_STATUS_INSUFFICIENT_RESOURCES = MakeStatus(0xC0001000);
constexpr USBD_STATUS USBD_STATUS_SET_CONFIG_FAILED = MakeStatus(0xC0002000);
constexpr USBD_STATUS USBD_STATUS_BUFFER_TOO_SMALL = MakeStatus(0xC0003000);
constexpr USBD_STATUS USBD_STATUS_TIMEOUT = MakeStatus(0xC0006000);
constexpr USBD_STATUS USBD_STATUS_DEVICE_GONE = MakeStatus(0xC0007000);
constexpr USBD_STATUS USBD_STATUS_CANCELED = MakeStatus(0xC0010000);

typedef enum _USBD_PIPE_TYPE {
    UsbdPipeTypeControl,
    UsbdPipeTypeIsochronous,
    UsbdPipeTypeBulk,
    UsbdPipeTypeInterrupt
} USBD_PIPE_TYPE;

constexpr ULONG USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE = 0xFFFFFFFF;

typedef struct _USBD_PIPE_INFORMATION {
    USHORT MaximumPacketSize;
    UCHAR EndpointAddress;
    UCHAR Interval;
    USBD_PIPE_TYPE PipeType;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG MaximumTransferSize;
    ULONG PipeFlags;
} USBD_PIPE_INFORMATION, *PUSBD_PIPE_INFORMATION;

typedef struct _USBD_INTERFACE_INFORMATION {
    USHORT Length;
    UCHAR InterfaceNumber;
    UCHAR AlternateSetting;
    UCHAR Class;
    UCHAR SubClass;
    UCHAR Protocol;
    UCHAR Reserved;
    USBD_INTERFACE_HANDLE InterfaceHandle;
    ULONG NumberOfPipes;
    USBD_PIPE_INFORMATION Pipes[1];
} USBD_INTERFACE_INFORMATION, *PUSBD_INTERFACE_INFORMATION;

typedef struct _USBD_INTERFACE_LIST_ENTRY {
    PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
    PUSBD_INTERFACE_INFORMATION Interface;
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

// ---------------------------------------------------------------------------------------------
// Request blocks.
// ---------------------------------------------------------------------------------------------
constexpr USHORT URB_FUNCTION_SELECT_CONFIGURATION = 0x0000;
constexpr USHORT URB_FUNCTION_SELECT_INTERFACE = 0x0001;
constexpr USHORT URB_FUNCTION_ABORT_PIPE = 0x0002;
constexpr USHORT URB_FUNCTION_GET_CURRENT_FRAME_NUMBER = 0x0007;
constexpr USHORT URB_FUNCTION_CONTROL_TRANSFER = 0x0008;
constexpr USHORT URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER = 0x0009;
constexpr USHORT URB_FUNCTION_ISOCH_TRANSFER = 0x000A;
constexpr USHORT URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE = 0x000B;
constexpr USHORT URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE = 0x000C;
constexpr USHORT URB_FUNCTION_SET_FEATURE_TO_DEVICE = 0x000D;
constexpr USHORT URB_FUNCTION_SET_FEATURE_TO_INTERFACE = 0x000E;
constexpr USHORT URB_FUNCTION_SET_FEATURE_TO_ENDPOINT = 0x000F;
constexpr USHORT URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE = 0x0010;
constexpr USHORT URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE = 0x0011;
constexpr USHORT URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT = 0x0012;
constexpr USHORT URB_FUNCTION_GET_STATUS_FROM_DEVICE = 0x0013;
constexpr USHORT URB_FUNCTION_GET_STATUS_FROM_INTERFACE = 0x0014;
constexpr USHORT URB_FUNCTION_GET_STATUS_FROM_ENDPOINT = 0x0015;
constexpr USHORT URB_FUNCTION_VENDOR_DEVICE = 0x0017;
constexpr USHORT URB_FUNCTION_VENDOR_INTERFACE = 0x0018;
constexpr USHORT URB_FUNCTION_VENDOR_ENDPOINT = 0x0019;
constexpr USHORT URB_FUNCTION_CLASS_DEVICE = 0x001A;
constexpr USHORT URB_FUNCTION_CLASS_INTERFACE = 0x001B;
constexpr USHORT URB_FUNCTION_CLASS_ENDPOINT = 0x001C;
constexpr USHORT URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL = 0x001E;
constexpr USHORT URB_FUNCTION_RESET_PIPE = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
constexpr USHORT URB_FUNCTION_CLASS_OTHER = 0x001F;
constexpr USHORT URB_FUNCTION_VENDOR_OTHER = 0x0020;
constexpr USHORT URB_FUNCTION_GET_CONFIGURATION = 0x0026;
constexpr USHORT URB_FUNCTION_GET_INTERFACE = 0x0027;
constexpr USHORT URB_FUNCTION_SYNC_RESET_PIPE = 0x0030;
constexpr USHORT URB_FUNCTION_SYNC_CLEAR_STALL = 0x0031;

constexpr ULONG USBD_TRANSFER_DIRECTION = 0x00000001;
constexpr ULONG USBD_SHORT_TRANSFER_OK = 0x00000002;
constexpr ULONG USBD_START_ISO_TRANSFER_ASAP = 0x00000004;
constexpr ULONG USBD_DEFAULT_PIPE_TRANSFER = 0x00000008;
constexpr ULONG USBD_TRANSFER_DIRECTION_OUT = 0;
constexpr ULONG USBD_TRANSFER_DIRECTION_IN = 1;

struct _URB;

struct _URB_HCD_AREA {
    PVOID Reserved8[8];
};

struct _URB_HEADER {
    USHORT Length;
    USHORT Function;
    USBD_STATUS Status;
    PVOID UsbdDeviceHandle;
    ULONG UsbdFlags;
};

struct _URB_SELECT_INTERFACE {
    struct _URB_HEADER Hdr;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_INTERFACE_INFORMATION Interface;
};

struct _URB_SELECT_CONFIGURATION {
    struct _URB_HEADER Hdr;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_INTERFACE_INFORMATION Interface;
};

struct _URB_PIPE_REQUEST {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG Reserved;
};

struct _URB_GET_CURRENT_FRAME_NUMBER {
    struct _URB_HEADER Hdr;
    ULONG FrameNumber;
};

struct _URB_CONTROL_TRANSFER {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR SetupPacket[8];
};

struct _URB_BULK_OR_INTERRUPT_TRANSFER {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
};

struct _URB_CONTROL_DESCRIPTOR_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    USHORT Reserved1;
    UCHAR Index;
    UCHAR DescriptorType;
    USHORT LanguageId;
    USHORT Reserved2;
};

struct _URB_CONTROL_GET_STATUS_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR Reserved1[4];
    USHORT Index;
    USHORT Reserved2;
};

struct _URB_CONTROL_FEATURE_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved2;
    ULONG Reserved3;
    PVOID Reserved4;
    PMDL Reserved5;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    USHORT Reserved0;
    USHORT FeatureSelector;
    USHORT Index;
    USHORT Reserved1;
};

struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR RequestTypeReservedBits;
    UCHAR Request;
    USHORT Value;
    USHORT Index;
    USHORT Reserved1;
};

struct _URB_CONTROL_GET_CONFIGURATION_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR Reserved1[8];
};

typedef struct _URB {
    union {
        struct _URB_HEADER UrbHeader;
        struct _URB_SELECT_INTERFACE UrbSelectInterface;
        struct _URB_SELECT_CONFIGURATION UrbSelectConfiguration;
        struct _URB_PIPE_REQUEST UrbPipeRequest;
        struct _URB_GET_CURRENT_FRAME_NUMBER UrbGetCurrentFrameNumber;
        struct _URB_CONTROL_TRANSFER UrbControlTransfer;
        struct _URB_BULK_OR_INTERRUPT_TRANSFER UrbBulkOrInterruptTransfer;
        struct _URB_CONTROL_DESCRIPTOR_REQUEST UrbControlDescriptorRequest;
        struct _URB_CONTROL_GET_STATUS_REQUEST UrbControlGetStatusRequest;
        struct _URB_CONTROL_FEATURE_REQUEST UrbControlFeatureRequest;
        struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST UrbControlVendorClassRequest;
        struct _URB_CONTROL_GET_CONFIGURATION_REQUEST UrbControlGetConfigurationRequest;
    };
} URB, *PURB;

inline USBD_STATUS& URB_STATUS(PURB urb) {
    return urb->UrbHeader.Status;
}

// ---------------------------------------------------------------------------------------------
// Internal I/O control codes of the USB bus driver.
// ---------------------------------------------------------------------------------------------
constexpr DEVICE_TYPE FILE_DEVICE_USB = FILE_DEVICE_UNKNOWN;
constexpr ULONG USB_SUBMIT_URB = 0;
constexpr ULONG USB_RESET_PORT = 1;
constexpr ULONG USB_GET_ROOTHUB_PDO = 3;
constexpr ULONG USB_GET_PORT_STATUS = 4;
constexpr ULONG USB_ENABLE_PORT = 5;
constexpr ULONG USB_GET_HUB_COUNT = 6;
constexpr ULONG USB_CYCLE_PORT = 7;

constexpr ULONG IOCTL_INTERNAL_USB_SUBMIT_URB =
    CTL_CODE(FILE_DEVICE_USB, USB_SUBMIT_URB, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_INTERNAL_USB_RESET_PORT =
    CTL_CODE(FILE_DEVICE_USB, USB_RESET_PORT, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_INTERNAL_USB_GET_ROOTHUB_PDO =
    CTL_CODE(FILE_DEVICE_USB, USB_GET_ROOTHUB_PDO, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_INTERNAL_USB_GET_PORT_STATUS =
    CTL_CODE(FILE_DEVICE_USB, USB_GET_PORT_STATUS, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_INTERNAL_USB_ENABLE_PORT =
    CTL_CODE(FILE_DEVICE_USB, USB_ENABLE_PORT, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_INTERNAL_USB_GET_HUB_COUNT =
    CTL_CODE(FILE_DEVICE_USB, USB_GET_HUB_COUNT, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_INTERNAL_USB_CYCLE_PORT =
    CTL_CODE(FILE_DEVICE_USB, USB_CYCLE_PORT, METHOD_NEITHER, FILE_ANY_ACCESS);

static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x220003);
static_assert(IOCTL_INTERNAL_USB_RESET_PORT == 0x220007);
static_assert(IOCTL_INTERNAL_USB_GET_PORT_STATUS == 0x220013);

constexpr ULONG USBD_PORT_ENABLED = 0x00000001;
constexpr ULONG USBD_PORT_CONNECTED = 0x00000002;

// ---------------------------------------------------------------------------------------------
// USBD library.
// ---------------------------------------------------------------------------------------------
constexpr SIZE_T GET_USBD_INTERFACE_SIZE(ULONG numEndpoints) {
    return sizeof(USBD_INTERFACE_INFORMATION) + sizeof(USBD_PIPE_INFORMATION) * numEndpoints -
           sizeof(USBD_PIPE_INFORMATION);
}
constexpr SIZE_T GET_SELECT_CONFIGURATION_REQUEST_SIZE(ULONG totalInterfaces, ULONG totalPipes) {
    return sizeof(struct _URB_SELECT_CONFIGURATION) +
           (totalInterfaces - 1) * sizeof(USBD_INTERFACE_INFORMATION) +
           (totalPipes - totalInterfaces) * sizeof(USBD_PIPE_INFORMATION);
}
constexpr SIZE_T GET_SELECT_INTERFACE_REQUEST_SIZE(ULONG totalPipes) {
    return sizeof(struct _URB_SELECT_INTERFACE) + (totalPipes - 1) * sizeof(USBD_PIPE_INFORMATION);
}

// Builds a select-configuration request for the interfaces of the list (ended by an entry with no
// InterfaceDescriptor) and points each entry's Interface into it. The block comes from pool and is
// freed by the caller with ExFreePool. Null when the descriptor is malformed or pool runs out.
PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList);
// Older form: selects alternate setting 0 of every interface; *Siz receives the block's length.
PURB NTAPI USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                           PUSHORT Siz);
// Finds the first interface descriptor at or after StartPosition that matches every criterion
// that is not -1. Never reads past wTotalLength bytes from the configuration descriptor.
PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol);
PUSB_INTERFACE_DESCRIPTOR NTAPI
USBD_ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                  UCHAR InterfaceNumber, UCHAR AlternateSetting);
// Finds the next descriptor of a type at or after StartPosition within TotalLength bytes.
PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                   PVOID StartPosition, LONG DescriptorType);

// Request-block builders (macros in the real header).
inline VOID UsbBuildVendorRequest(PURB urb, USHORT cmd, USHORT length, ULONG transferFlags,
                                  UCHAR reservedBits, UCHAR request, USHORT value, USHORT index,
                                  PVOID transferBuffer, PMDL transferBufferMDL,
                                  ULONG transferBufferLength, PURB link) {
    urb->UrbHeader.Function = cmd;
    urb->UrbHeader.Length = length;
    urb->UrbControlVendorClassRequest.TransferBufferLength = transferBufferLength;
    urb->UrbControlVendorClassRequest.TransferBufferMDL = transferBufferMDL;
    urb->UrbControlVendorClassRequest.TransferBuffer = transferBuffer;
    urb->UrbControlVendorClassRequest.RequestTypeReservedBits = reservedBits;
    urb->UrbControlVendorClassRequest.Request = request;
    urb->UrbControlVendorClassRequest.Value = value;
    urb->UrbControlVendorClassRequest.Index = index;
    urb->UrbControlVendorClassRequest.TransferFlags = transferFlags;
    urb->UrbControlVendorClassRequest.UrbLink = link;
}
inline VOID UsbBuildGetDescriptorRequest(PURB urb, USHORT length, UCHAR descriptorType,
                                         UCHAR descriptorIndex, USHORT languageId,
                                         PVOID transferBuffer, PMDL transferBufferMDL,
                                         ULONG transferBufferLength, PURB link) {
    urb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    urb->UrbHeader.Length = length;
    urb->UrbControlDescriptorRequest.TransferBufferLength = transferBufferLength;
    urb->UrbControlDescriptorRequest.TransferBufferMDL = transferBufferMDL;
    urb->UrbControlDescriptorRequest.TransferBuffer = transferBuffer;
    urb->UrbControlDescriptorRequest.DescriptorType = descriptorType;
    urb->UrbControlDescriptorRequest.Index = descriptorIndex;
    urb->UrbControlDescriptorRequest.LanguageId = languageId;
    urb->UrbControlDescriptorRequest.UrbLink = link;
}
inline VOID
UsbBuildSelectConfigurationRequest(PURB urb, USHORT length,
                                   PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor) {
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = length;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = configurationDescriptor;
}

} // namespace sim::wdm
