// User-mode stand-in for the WDM kernel interface that the driver is written against.
//
// Everything a driver may call lives in namespace sim::wdm under its real name, with the real
// structure and field names, so that the same driver source builds against this header and against
// the real kernel headers. Constants that are macros in the real headers are constexpr values or
// enumerators here; function-like macros are inline functions.
//
// The sim-only control surface (creating drivers, sending the I/O manager's own requests, the
// verifier, fault injection, reset) is in namespace sim::kernel at the end of this file; driver
// code never uses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#ifndef NTAPI
#define NTAPI
#endif

namespace sim::wdm {

// ---------------------------------------------------------------------------------------------
// Basic types, sized as on Windows.
// ---------------------------------------------------------------------------------------------
typedef void VOID;
typedef void* PVOID;
typedef char CHAR;
typedef CHAR* PCHAR;
typedef const CHAR* PCSTR;
typedef uint8_t UCHAR;
typedef UCHAR* PUCHAR;
typedef int16_t SHORT;
typedef int16_t CSHORT;
typedef uint16_t USHORT;
typedef USHORT* PUSHORT;
typedef int32_t LONG;
typedef LONG* PLONG;
typedef uint32_t ULONG;
typedef ULONG* PULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef ULONG_PTR* PULONG_PTR;
typedef size_t SIZE_T;
typedef uint8_t BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
typedef char16_t WCHAR;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef int32_t NTSTATUS;
typedef uint8_t KIRQL;
typedef KIRQL* PKIRQL;
typedef int8_t CCHAR;
typedef LONG KPRIORITY;
typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;
typedef void* HANDLE;
typedef ULONG DEVICE_TYPE;
typedef ULONG ACCESS_MASK;
typedef CCHAR KPROCESSOR_MODE;

#ifndef TRUE
constexpr BOOLEAN TRUE = 1;
#endif
#ifndef FALSE
constexpr BOOLEAN FALSE = 0;
#endif

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *LPGUID;

typedef struct _UNICODE_STRING {
    USHORT Length;        // bytes, without a terminator
    USHORT MaximumLength; // bytes
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

// ---------------------------------------------------------------------------------------------
// Status codes.
// ---------------------------------------------------------------------------------------------
constexpr NTSTATUS MakeStatus(uint32_t value) {
    return static_cast<NTSTATUS>(value);
}

constexpr NTSTATUS STATUS_SUCCESS = MakeStatus(0x00000000);
constexpr NTSTATUS STATUS_WAIT_0 = MakeStatus(0x00000000);
constexpr NTSTATUS STATUS_USER_APC = MakeStatus(0x000000C0);
constexpr NTSTATUS STATUS_ALERTED = MakeStatus(0x00000101);
constexpr NTSTATUS STATUS_TIMEOUT = MakeStatus(0x00000102);
constexpr NTSTATUS STATUS_PENDING = MakeStatus(0x00000103);
constexpr NTSTATUS STATUS_REPARSE = MakeStatus(0x00000104);
constexpr NTSTATUS STATUS_MORE_ENTRIES = MakeStatus(0x00000105);
constexpr NTSTATUS STATUS_OBJECT_NAME_EXISTS = MakeStatus(0x40000000);
constexpr NTSTATUS STATUS_BUFFER_OVERFLOW = MakeStatus(0x80000005);
constexpr NTSTATUS STATUS_DEVICE_BUSY = MakeStatus(0x80000011);
constexpr NTSTATUS STATUS_NO_MORE_ENTRIES = MakeStatus(0x8000001A);
constexpr NTSTATUS STATUS_UNSUCCESSFUL = MakeStatus(0xC0000001);
constexpr NTSTATUS STATUS_NOT_IMPLEMENTED = MakeStatus(0xC0000002);
constexpr NTSTATUS STATUS_INVALID_HANDLE = MakeStatus(0xC0000008);
constexpr NTSTATUS STATUS_INVALID_PARAMETER = MakeStatus(0xC000000D);
constexpr NTSTATUS STATUS_NO_SUCH_DEVICE = MakeStatus(0xC000000E);
constexpr NTSTATUS STATUS_NO_SUCH_FILE = MakeStatus(0xC000000F);
constexpr NTSTATUS STATUS_INVALID_DEVICE_REQUEST = MakeStatus(0xC0000010);
constexpr NTSTATUS STATUS_MORE_PROCESSING_REQUIRED = MakeStatus(0xC0000016);
constexpr NTSTATUS STATUS_NO_MEMORY = MakeStatus(0xC0000017);
constexpr NTSTATUS STATUS_ACCESS_DENIED = MakeStatus(0xC0000022);
constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = MakeStatus(0xC0000023);
constexpr NTSTATUS STATUS_OBJECT_NAME_INVALID = MakeStatus(0xC0000033);
constexpr NTSTATUS STATUS_OBJECT_NAME_NOT_FOUND = MakeStatus(0xC0000034);
constexpr NTSTATUS STATUS_OBJECT_NAME_COLLISION = MakeStatus(0xC0000035);
constexpr NTSTATUS STATUS_OBJECT_PATH_NOT_FOUND = MakeStatus(0xC000003A);
constexpr NTSTATUS STATUS_DELETE_PENDING = MakeStatus(0xC0000056);
constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = MakeStatus(0xC000009A);
constexpr NTSTATUS STATUS_DEVICE_DATA_ERROR = MakeStatus(0xC000009C);
constexpr NTSTATUS STATUS_DEVICE_NOT_CONNECTED = MakeStatus(0xC000009D);
constexpr NTSTATUS STATUS_DEVICE_POWER_FAILURE = MakeStatus(0xC000009E);
constexpr NTSTATUS STATUS_DEVICE_NOT_READY = MakeStatus(0xC00000A3);
constexpr NTSTATUS STATUS_INSTANCE_NOT_AVAILABLE = MakeStatus(0xC00000AB);
constexpr NTSTATUS STATUS_ILLEGAL_FUNCTION = MakeStatus(0xC00000AF);
constexpr NTSTATUS STATUS_IO_TIMEOUT = MakeStatus(0xC00000B5);
constexpr NTSTATUS STATUS_NOT_SUPPORTED = MakeStatus(0xC00000BB);
constexpr NTSTATUS STATUS_INTERNAL_ERROR = MakeStatus(0xC00000E5);
constexpr NTSTATUS STATUS_CANCELLED = MakeStatus(0xC0000120);
constexpr NTSTATUS STATUS_INVALID_DEVICE_STATE = MakeStatus(0xC0000184);
constexpr NTSTATUS STATUS_IO_DEVICE_ERROR = MakeStatus(0xC0000185);
constexpr NTSTATUS STATUS_INVALID_BUFFER_SIZE = MakeStatus(0xC0000206);
constexpr NTSTATUS STATUS_NOT_FOUND = MakeStatus(0xC0000225);
constexpr NTSTATUS STATUS_DEVICE_REMOVED = MakeStatus(0xC00002B6);
constexpr NTSTATUS STATUS_POWER_STATE_INVALID = MakeStatus(0xC00002D3);

constexpr bool NT_SUCCESS(NTSTATUS status) {
    return status >= 0;
}
constexpr bool NT_INFORMATION(NTSTATUS status) {
    return (static_cast<ULONG>(status) >> 30) == 1;
}
constexpr bool NT_WARNING(NTSTATUS status) {
    return (static_cast<ULONG>(status) >> 30) == 2;
}
constexpr bool NT_ERROR(NTSTATUS status) {
    return (static_cast<ULONG>(status) >> 30) == 3;
}

// ---------------------------------------------------------------------------------------------
// IRQL, priorities, modes.
// ---------------------------------------------------------------------------------------------
constexpr KIRQL PASSIVE_LEVEL = 0;
constexpr KIRQL LOW_LEVEL = 0;
constexpr KIRQL APC_LEVEL = 1;
constexpr KIRQL DISPATCH_LEVEL = 2;
constexpr KIRQL HIGH_LEVEL = 15;

constexpr CCHAR IO_NO_INCREMENT = 0;
constexpr KPRIORITY EVENT_INCREMENT = 1;

enum _MODE { KernelMode, UserMode, MaximumMode };

typedef enum _POOL_TYPE {
    NonPagedPool,
    PagedPool,
    NonPagedPoolMustSucceed,
    DontUseThisType,
    NonPagedPoolCacheAligned,
    PagedPoolCacheAligned,
    NonPagedPoolCacheAlignedMustS,
    MaxPoolType,
    NonPagedPoolNx = 512
} POOL_TYPE;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;

typedef enum _KWAIT_REASON {
    Executive,
    FreePage,
    PageIn,
    PoolAllocation,
    DelayExecution,
    Suspended,
    UserRequest,
    WrExecutive,
    WrFreePage,
    WrPageIn,
    WrPoolAllocation,
    WrDelayExecution,
    WrSuspended,
    WrUserRequest,
    MaximumWaitReason = 37
} KWAIT_REASON;

// ---------------------------------------------------------------------------------------------
// Power.
// ---------------------------------------------------------------------------------------------
typedef enum _SYSTEM_POWER_STATE {
    PowerSystemUnspecified = 0,
    PowerSystemWorking,
    PowerSystemSleeping1,
    PowerSystemSleeping2,
    PowerSystemSleeping3,
    PowerSystemHibernate,
    PowerSystemShutdown,
    PowerSystemMaximum
} SYSTEM_POWER_STATE,
    *PSYSTEM_POWER_STATE;

typedef enum _DEVICE_POWER_STATE {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0,
    PowerDeviceD1,
    PowerDeviceD2,
    PowerDeviceD3,
    PowerDeviceMaximum
} DEVICE_POWER_STATE,
    *PDEVICE_POWER_STATE;

typedef enum _POWER_STATE_TYPE { SystemPowerState = 0, DevicePowerState } POWER_STATE_TYPE;

typedef union _POWER_STATE {
    SYSTEM_POWER_STATE SystemState;
    DEVICE_POWER_STATE DeviceState;
} POWER_STATE, *PPOWER_STATE;

typedef enum _POWER_ACTION {
    PowerActionNone = 0,
    PowerActionReserved,
    PowerActionSleep,
    PowerActionHibernate,
    PowerActionShutdown,
    PowerActionShutdownReset,
    PowerActionShutdownOff,
    PowerActionWarmEject
} POWER_ACTION,
    *PPOWER_ACTION;

typedef struct _DEVICE_CAPABILITIES {
    USHORT Size;
    USHORT Version;
    ULONG DeviceD1 : 1;
    ULONG DeviceD2 : 1;
    ULONG LockSupported : 1;
    ULONG EjectSupported : 1;
    ULONG Removable : 1;
    ULONG DockDevice : 1;
    ULONG UniqueID : 1;
    ULONG SilentInstall : 1;
    ULONG RawDeviceOK : 1;
    ULONG SurpriseRemovalOK : 1;
    ULONG WakeFromD0 : 1;
    ULONG WakeFromD1 : 1;
    ULONG WakeFromD2 : 1;
    ULONG WakeFromD3 : 1;
    ULONG HardwareDisabled : 1;
    ULONG NonDynamic : 1;
    ULONG WarmEjectSupported : 1;
    ULONG NoDisplayInUI : 1;
    ULONG Reserved : 14;
    ULONG Address;
    ULONG UINumber;
    DEVICE_POWER_STATE DeviceState[PowerSystemMaximum];
    SYSTEM_POWER_STATE SystemWake;
    DEVICE_POWER_STATE DeviceWake;
    ULONG D1Latency;
    ULONG D2Latency;
    ULONG D3Latency;
} DEVICE_CAPABILITIES, *PDEVICE_CAPABILITIES;

// ---------------------------------------------------------------------------------------------
// Dispatcher objects.
// ---------------------------------------------------------------------------------------------
typedef struct _DISPATCHER_HEADER {
    UCHAR Type; // EVENT_TYPE of an event
    UCHAR Absolute;
    UCHAR Size;
    UCHAR Inserted;
    volatile LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

// ---------------------------------------------------------------------------------------------
// I/O request and object structures.
// ---------------------------------------------------------------------------------------------
struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _FILE_OBJECT;
struct _IRP;
struct _MDL;
struct _DEVOBJ_EXTENSION; // the simulator's private per-device record
typedef struct _MDL* PMDL;

typedef NTSTATUS(NTAPI IO_COMPLETION_ROUTINE)(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp,
                                              PVOID Context);
typedef IO_COMPLETION_ROUTINE* PIO_COMPLETION_ROUTINE;

typedef VOID(NTAPI DRIVER_CANCEL)(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
typedef DRIVER_CANCEL* PDRIVER_CANCEL;

typedef NTSTATUS(NTAPI DRIVER_DISPATCH)(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
typedef DRIVER_DISPATCH* PDRIVER_DISPATCH;

typedef NTSTATUS(NTAPI DRIVER_ADD_DEVICE)(struct _DRIVER_OBJECT* DriverObject,
                                          struct _DEVICE_OBJECT* PhysicalDeviceObject);
typedef DRIVER_ADD_DEVICE* PDRIVER_ADD_DEVICE;

typedef VOID(NTAPI DRIVER_UNLOAD)(struct _DRIVER_OBJECT* DriverObject);
typedef DRIVER_UNLOAD* PDRIVER_UNLOAD;

typedef NTSTATUS(NTAPI DRIVER_INITIALIZE)(struct _DRIVER_OBJECT* DriverObject,
                                          PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;

typedef VOID(NTAPI REQUEST_POWER_COMPLETE)(struct _DEVICE_OBJECT* DeviceObject, UCHAR MinorFunction,
                                           POWER_STATE PowerState, PVOID Context,
                                           struct _IO_STATUS_BLOCK* IoStatus);
typedef REQUEST_POWER_COMPLETE* PREQUEST_POWER_COMPLETE;

typedef struct _IO_SECURITY_CONTEXT* PIO_SECURITY_CONTEXT;

typedef struct _FILE_OBJECT {
    CSHORT Type;
    CSHORT Size;
    struct _DEVICE_OBJECT* DeviceObject;
    PVOID Vpb;
    PVOID FsContext;
    PVOID FsContext2;
    PVOID SectionObjectPointer;
    PVOID PrivateCacheMap;
    NTSTATUS FinalStatus;
    struct _FILE_OBJECT* RelatedFileObject;
    BOOLEAN LockOperation;
    BOOLEAN DeletePending;
    BOOLEAN ReadAccess;
    BOOLEAN WriteAccess;
    BOOLEAN DeleteAccess;
    BOOLEAN SharedRead;
    BOOLEAN SharedWrite;
    BOOLEAN SharedDelete;
    ULONG Flags;
    UNICODE_STRING FileName;
    LARGE_INTEGER CurrentByteOffset;
} FILE_OBJECT, *PFILE_OBJECT;

// Members that the real headers align to a pointer, so that the union's members overlap as they
// do there (IoControlCode shares its place with the low half of Argument3).
#define SIM_POINTER_ALIGNMENT alignas(sizeof(void*))

typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            PIO_SECURITY_CONTEXT SecurityContext;
            ULONG Options;
            SIM_POINTER_ALIGNMENT USHORT FileAttributes;
            USHORT ShareAccess;
            SIM_POINTER_ALIGNMENT ULONG EaLength;
        } Create;
        struct {
            ULONG Length;
            SIM_POINTER_ALIGNMENT ULONG Key;
            ULONG Flags;
            LARGE_INTEGER ByteOffset;
        } Read;
        struct {
            ULONG Length;
            SIM_POINTER_ALIGNMENT ULONG Key;
            ULONG Flags;
            LARGE_INTEGER ByteOffset;
        } Write;
        struct {
            ULONG OutputBufferLength;
            SIM_POINTER_ALIGNMENT ULONG InputBufferLength;
            SIM_POINTER_ALIGNMENT ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            ULONG Type;
        } QueryDeviceRelations;
        struct {
            PDEVICE_CAPABILITIES Capabilities;
        } DeviceCapabilities;
        struct {
            ULONG IdType;
        } QueryId;
        struct {
            SYSTEM_POWER_STATE PowerState;
        } WaitWake;
        struct {
            PVOID PowerSequence;
        } PowerSequence;
        struct {
            ULONG SystemContext;
            SIM_POINTER_ALIGNMENT POWER_STATE_TYPE Type;
            SIM_POINTER_ALIGNMENT POWER_STATE State;
            SIM_POINTER_ALIGNMENT POWER_ACTION ShutdownType;
        } Power;
        struct {
            PVOID AllocatedResources;
            PVOID AllocatedResourcesTranslated;
        } StartDevice;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    struct _DEVICE_OBJECT* DeviceObject;
    PFILE_OBJECT FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;
#undef SIM_POINTER_ALIGNMENT

typedef struct _IRP {
    CSHORT Type;
    USHORT Size;
    PMDL MdlAddress;
    ULONG Flags;
    union {
        struct _IRP* MasterIrp;
        volatile LONG IrpCount;
        PVOID SystemBuffer;
    } AssociatedIrp;
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    CCHAR ApcEnvironment;
    UCHAR AllocationFlags;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    volatile PDRIVER_CANCEL CancelRoutine;
    PVOID UserBuffer;
    struct {
        struct {
            PVOID DriverContext[4];
            PVOID Thread;
            PCHAR AuxiliaryBuffer;
            LIST_ENTRY ListEntry;
            struct _IO_STACK_LOCATION* CurrentStackLocation;
            PFILE_OBJECT OriginalFileObject;
        } Overlay;
    } Tail;
} IRP, *PIRP;

typedef struct _DEVICE_OBJECT {
    CSHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    struct _DRIVER_OBJECT* DriverObject;
    struct _DEVICE_OBJECT* NextDevice;
    struct _DEVICE_OBJECT* AttachedDevice;
    struct _IRP* CurrentIrp;
    PVOID Timer;
    ULONG Flags;
    ULONG Characteristics;
    PVOID Vpb;
    PVOID DeviceExtension;
    DEVICE_TYPE DeviceType;
    CCHAR StackSize;
    ULONG AlignmentRequirement;
    USHORT SectorSize;
    struct _DEVOBJ_EXTENSION* DeviceObjectExtension;
    PVOID Reserved;
} DEVICE_OBJECT, *PDEVICE_OBJECT;

typedef struct _DRIVER_EXTENSION {
    struct _DRIVER_OBJECT* DriverObject;
    PDRIVER_ADD_DEVICE AddDevice;
    ULONG Count;
    UNICODE_STRING ServiceKeyName;
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;

// Major function codes.
constexpr UCHAR IRP_MJ_CREATE = 0x00;
constexpr UCHAR IRP_MJ_CREATE_NAMED_PIPE = 0x01;
constexpr UCHAR IRP_MJ_CLOSE = 0x02;
constexpr UCHAR IRP_MJ_READ = 0x03;
constexpr UCHAR IRP_MJ_WRITE = 0x04;
constexpr UCHAR IRP_MJ_QUERY_INFORMATION = 0x05;
constexpr UCHAR IRP_MJ_SET_INFORMATION = 0x06;
constexpr UCHAR IRP_MJ_FLUSH_BUFFERS = 0x09;
constexpr UCHAR IRP_MJ_DEVICE_CONTROL = 0x0E;
constexpr UCHAR IRP_MJ_INTERNAL_DEVICE_CONTROL = 0x0F;
constexpr UCHAR IRP_MJ_SHUTDOWN = 0x10;
constexpr UCHAR IRP_MJ_CLEANUP = 0x12;
constexpr UCHAR IRP_MJ_POWER = 0x16;
constexpr UCHAR IRP_MJ_SYSTEM_CONTROL = 0x17;
constexpr UCHAR IRP_MJ_PNP = 0x1B;
constexpr UCHAR IRP_MJ_PNP_POWER = IRP_MJ_PNP;
constexpr UCHAR IRP_MJ_MAXIMUM_FUNCTION = 0x1B;

// Plug and Play minor codes.
constexpr UCHAR IRP_MN_START_DEVICE = 0x00;
constexpr UCHAR IRP_MN_QUERY_REMOVE_DEVICE = 0x01;
constexpr UCHAR IRP_MN_REMOVE_DEVICE = 0x02;
constexpr UCHAR IRP_MN_CANCEL_REMOVE_DEVICE = 0x03;
constexpr UCHAR IRP_MN_STOP_DEVICE = 0x04;
constexpr UCHAR IRP_MN_QUERY_STOP_DEVICE = 0x05;
constexpr UCHAR IRP_MN_CANCEL_STOP_DEVICE = 0x06;
constexpr UCHAR IRP_MN_QUERY_DEVICE_RELATIONS = 0x07;
constexpr UCHAR IRP_MN_QUERY_INTERFACE = 0x08;
constexpr UCHAR IRP_MN_QUERY_CAPABILITIES = 0x09;
constexpr UCHAR IRP_MN_QUERY_RESOURCES = 0x0A;
constexpr UCHAR IRP_MN_QUERY_RESOURCE_REQUIREMENTS = 0x0B;
constexpr UCHAR IRP_MN_QUERY_DEVICE_TEXT = 0x0C;
constexpr UCHAR IRP_MN_FILTER_RESOURCE_REQUIREMENTS = 0x0D;
constexpr UCHAR IRP_MN_READ_CONFIG = 0x0F;
constexpr UCHAR IRP_MN_WRITE_CONFIG = 0x10;
constexpr UCHAR IRP_MN_EJECT = 0x11;
constexpr UCHAR IRP_MN_SET_LOCK = 0x12;
constexpr UCHAR IRP_MN_QUERY_ID = 0x13;
constexpr UCHAR IRP_MN_QUERY_PNP_DEVICE_STATE = 0x14;
constexpr UCHAR IRP_MN_QUERY_BUS_INFORMATION = 0x15;
constexpr UCHAR IRP_MN_DEVICE_USAGE_NOTIFICATION = 0x16;
constexpr UCHAR IRP_MN_SURPRISE_REMOVAL = 0x17;

// Power minor codes.
constexpr UCHAR IRP_MN_WAIT_WAKE = 0x00;
constexpr UCHAR IRP_MN_POWER_SEQUENCE = 0x01;
constexpr UCHAR IRP_MN_SET_POWER = 0x02;
constexpr UCHAR IRP_MN_QUERY_POWER = 0x03;

// Stack location control bits.
constexpr UCHAR SL_PENDING_RETURNED = 0x01;
constexpr UCHAR SL_ERROR_RETURNED = 0x02;
constexpr UCHAR SL_INVOKE_ON_CANCEL = 0x20;
constexpr UCHAR SL_INVOKE_ON_SUCCESS = 0x40;
constexpr UCHAR SL_INVOKE_ON_ERROR = 0x80;

// Device object flags.
constexpr ULONG DO_VERIFY_VOLUME = 0x00000002;
constexpr ULONG DO_BUFFERED_IO = 0x00000004;
constexpr ULONG DO_EXCLUSIVE = 0x00000008;
constexpr ULONG DO_DIRECT_IO = 0x00000010;
constexpr ULONG DO_MAP_IO_BUFFER = 0x00000020;
constexpr ULONG DO_DEVICE_HAS_NAME = 0x00000040;
constexpr ULONG DO_DEVICE_INITIALIZING = 0x00000080;
constexpr ULONG DO_POWER_PAGABLE = 0x00002000;
constexpr ULONG DO_POWER_INRUSH = 0x00004000;

// Device types, characteristics and I/O control code layout.
constexpr DEVICE_TYPE FILE_DEVICE_UNKNOWN = 0x00000022;
constexpr DEVICE_TYPE FILE_DEVICE_BUS_EXTENDER = 0x0000002A;
constexpr ULONG FILE_REMOVABLE_MEDIA = 0x00000001;
constexpr ULONG FILE_AUTOGENERATED_DEVICE_NAME = 0x00000080;
constexpr ULONG FILE_DEVICE_SECURE_OPEN = 0x00000100;

constexpr ULONG METHOD_BUFFERED = 0;
constexpr ULONG METHOD_IN_DIRECT = 1;
constexpr ULONG METHOD_OUT_DIRECT = 2;
constexpr ULONG METHOD_NEITHER = 3;
constexpr ULONG FILE_ANY_ACCESS = 0;
constexpr ULONG FILE_READ_ACCESS = 1;
constexpr ULONG FILE_WRITE_ACCESS = 2;

constexpr ULONG CTL_CODE(ULONG deviceType, ULONG function, ULONG method, ULONG access) {
    return (deviceType << 16) | (access << 14) | (function << 2) | method;
}
constexpr ULONG METHOD_FROM_CTL_CODE(ULONG code) {
    return code & 3;
}
constexpr ULONG DEVICE_TYPE_FROM_CTL_CODE(ULONG code) {
    return (code & 0xFFFF0000) >> 16;
}

// Registry access from the kernel. RTL_REGISTRY_ABSOLUTE paths start with "\Registry\Machine"
// (the simulated HKEY_LOCAL_MACHINE) or "\Registry\User" (HKEY_CURRENT_USER).
// RtlWriteRegistryValue creates a missing key. RtlQueryRegistryValues fails with
// STATUS_OBJECT_NAME_NOT_FOUND for a missing key (RTL_REGISTRY_OPTIONAL or not), and for a missing
// value only when the entry is RTL_QUERY_REGISTRY_REQUIRED; a DIRECT string entry fills the
// caller's buffer (STATUS_BUFFER_TOO_SMALL when it cannot hold the text and its terminator) or,
// with no buffer, one allocated from paged pool that the caller frees with RtlFreeUnicodeString.
constexpr ULONG RTL_REGISTRY_ABSOLUTE = 0;
constexpr ULONG RTL_REGISTRY_SERVICES = 1;
constexpr ULONG RTL_REGISTRY_CONTROL = 2;
constexpr ULONG RTL_REGISTRY_WINDOWS_NT = 3;
constexpr ULONG RTL_REGISTRY_DEVICEMAP = 4;
constexpr ULONG RTL_REGISTRY_USER = 5;
constexpr ULONG RTL_REGISTRY_MAXIMUM = 6;
constexpr ULONG RTL_REGISTRY_HANDLE = 0x40000000;
constexpr ULONG RTL_REGISTRY_OPTIONAL = 0x80000000;

constexpr ULONG RTL_QUERY_REGISTRY_SUBKEY = 0x00000001;
constexpr ULONG RTL_QUERY_REGISTRY_TOPKEY = 0x00000002;
constexpr ULONG RTL_QUERY_REGISTRY_REQUIRED = 0x00000004;
constexpr ULONG RTL_QUERY_REGISTRY_NOVALUE = 0x00000008;
constexpr ULONG RTL_QUERY_REGISTRY_NOEXPAND = 0x00000010;
constexpr ULONG RTL_QUERY_REGISTRY_DIRECT = 0x00000020;
constexpr ULONG RTL_QUERY_REGISTRY_DELETE = 0x00000040;

constexpr ULONG REG_NONE = 0;
constexpr ULONG REG_SZ = 1;
constexpr ULONG REG_EXPAND_SZ = 2;
constexpr ULONG REG_BINARY = 3;
constexpr ULONG REG_DWORD = 4;
constexpr ULONG REG_MULTI_SZ = 7;
constexpr ULONG REG_QWORD = 11;

typedef NTSTATUS(NTAPI* PRTL_QUERY_REGISTRY_ROUTINE)(PWSTR ValueName, ULONG ValueType,
                                                     PVOID ValueData, ULONG ValueLength,
                                                     PVOID Context, PVOID EntryContext);

typedef struct _RTL_QUERY_REGISTRY_TABLE {
    PRTL_QUERY_REGISTRY_ROUTINE QueryRoutine;
    ULONG Flags;
    PCWSTR Name;
    PVOID EntryContext;
    ULONG DefaultType;
    PVOID DefaultData;
    ULONG DefaultLength;
} RTL_QUERY_REGISTRY_TABLE, *PRTL_QUERY_REGISTRY_TABLE;

typedef struct _DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PDRIVER_EXTENSION DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PDRIVER_INITIALIZE DriverInit;
    PVOID DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT, *PDRIVER_OBJECT;

// ---------------------------------------------------------------------------------------------
// Kernel routines. IRQL rules are those of the real kernel; the verifier reports breaches.
// ---------------------------------------------------------------------------------------------

// I/O manager.
NTSTATUS NTAPI IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID NTAPI IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota);
VOID NTAPI IoFreeIrp(PIRP Irp);
VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Status);
// The request belongs to the I/O manager: at completion it copies the status block and (for a
// buffered code) the output, sets the event and frees the request. METHOD_IN/OUT_DIRECT codes are
// treated as buffered (no memory-descriptor lists here).
PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                         PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock);
BOOLEAN NTAPI IoCancelIrp(PIRP Irp);
VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql);
VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql);
VOID NTAPI IoMarkIrpPending(PIRP Irp);

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject);
VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                 PDEVICE_OBJECT TargetDevice);
VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice);
PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject);
PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject);
VOID NTAPI ObReferenceObject(PVOID Object);
VOID NTAPI ObDereferenceObject(PVOID Object);

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                         const GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString,
                                         PUNICODE_STRING SymbolicLinkName);
NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable);
NTSTATUS NTAPI IoRegisterShutdownNotification(PDEVICE_OBJECT DeviceObject);
VOID NTAPI IoUnregisterShutdownNotification(PDEVICE_OBJECT DeviceObject);

// Power manager.
VOID NTAPI PoStartNextPowerIrp(PIRP Irp);
NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Builds the power request and sends it, from the calling thread, to the top of the device stack
// of DeviceObject; the completion function runs (in the requester's driver context) when it has
// completed. Returns STATUS_PENDING once issued.
NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                 POWER_STATE PowerState, PREQUEST_POWER_COMPLETE CompletionFunction,
                                 PVOID Context, PIRP* Irp);
POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                  POWER_STATE State);

// Dispatcher objects and IRQL.
VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
VOID NTAPI KeClearEvent(PRKEVENT Event);
LONG NTAPI KeResetEvent(PRKEVENT Event);
LONG NTAPI KeReadStateEvent(PRKEVENT Event);
// Waits on an event (the only dispatcher object here). Timeout: none waits for ever; negative is
// relative, in 100 ns units; positive is an absolute system time; zero only tests the state.
// Returns STATUS_SUCCESS or STATUS_TIMEOUT.
NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout);
NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                      PLARGE_INTEGER Interval);
VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds);

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
VOID NTAPI KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql);
VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);

KIRQL NTAPI KeGetCurrentIrql();
KIRQL NTAPI KfRaiseIrql(KIRQL NewIrql);
VOID NTAPI KfLowerIrql(KIRQL NewIrql);
inline VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    *OldIrql = KfRaiseIrql(NewIrql);
}
inline VOID KeLowerIrql(KIRQL NewIrql) {
    KfLowerIrql(NewIrql);
}

// Interlocked operations.
inline LONG InterlockedIncrement(LONG volatile* Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(LONG volatile* Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                               PVOID Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}

// Executive pool.
PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
VOID NTAPI ExFreePool(PVOID P);
VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);

// Run-time library.
VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                    BOOLEAN CaseInSensitive);
NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                     ULONG ValueType, PVOID ValueData, ULONG ValueLength);
NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                      PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                      PVOID Environment);
ULONG DbgPrint(PCSTR Format, ...);

inline VOID RtlZeroMemory(PVOID Destination, SIZE_T Length) {
    std::memset(Destination, 0, Length);
}
inline VOID RtlFillMemory(PVOID Destination, SIZE_T Length, UCHAR Fill) {
    std::memset(Destination, Fill, Length);
}
inline VOID RtlCopyMemory(PVOID Destination, const VOID* Source, SIZE_T Length) {
    std::memcpy(Destination, Source, Length);
}
inline VOID RtlMoveMemory(PVOID Destination, const VOID* Source, SIZE_T Length) {
    std::memmove(Destination, Source, Length);
}
inline SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    auto a = static_cast<const UCHAR*>(Source1);
    auto b = static_cast<const UCHAR*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i])
        ++i;
    return i;
}

// Wide-character string helpers over WCHAR.
inline SIZE_T wcslen(const WCHAR* s) {
    SIZE_T n = 0;
    while (s[n] != 0)
        ++n;
    return n;
}
inline WCHAR* wcscpy(WCHAR* destination, const WCHAR* source) {
    WCHAR* d = destination;
    while ((*d++ = *source++) != 0) {
    }
    return destination;
}
inline WCHAR* wcsncpy(WCHAR* destination, const WCHAR* source, SIZE_T count) {
    SIZE_T i = 0;
    for (; i < count && source[i] != 0; ++i)
        destination[i] = source[i];
    for (; i < count; ++i)
        destination[i] = 0;
    return destination;
}
inline WCHAR* wcscat(WCHAR* destination, const WCHAR* source) {
    wcscpy(destination + wcslen(destination), source);
    return destination;
}
// Appends at most count characters and always terminates, as the C library's wcsncat does.
inline WCHAR* wcsncat(WCHAR* destination, const WCHAR* source, SIZE_T count) {
    WCHAR* d = destination + wcslen(destination);
    SIZE_T i = 0;
    for (; i < count && source[i] != 0; ++i)
        d[i] = source[i];
    d[i] = 0;
    return destination;
}

// ---------------------------------------------------------------------------------------------
// Function-like macros of the real headers.
// ---------------------------------------------------------------------------------------------
inline NTSTATUS IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return IofCallDriver(DeviceObject, Irp);
}
inline VOID IoCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    IofCompleteRequest(Irp, PriorityBoost);
}
inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) {
    return Irp->Tail.Overlay.CurrentStackLocation;
}
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) {
    return Irp->Tail.Overlay.CurrentStackLocation - 1;
}
inline VOID IoSetNextIrpStackLocation(PIRP Irp) {
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
}
inline VOID IoSkipCurrentIrpStackLocation(PIRP Irp) {
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
}
inline VOID IoCopyCurrentIrpStackLocationToNext(PIRP Irp) {
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    std::memcpy(static_cast<void*>(next), current, offsetof(IO_STACK_LOCATION, CompletionRoutine));
    next->Control = 0;
}
inline VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                   PVOID Context, BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError,
                                   BOOLEAN InvokeOnCancel) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->CompletionRoutine = CompletionRoutine;
    next->Context = Context;
    next->Control = 0;
    if (InvokeOnSuccess)
        next->Control |= SL_INVOKE_ON_SUCCESS;
    if (InvokeOnError)
        next->Control |= SL_INVOKE_ON_ERROR;
    if (InvokeOnCancel)
        next->Control |= SL_INVOKE_ON_CANCEL;
}
inline PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
    return reinterpret_cast<PDRIVER_CANCEL>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&Irp->CancelRoutine),
                                   reinterpret_cast<PVOID>(CancelRoutine)));
}
} // namespace sim::wdm

// =============================================================================================
// Sim-only control surface: used by tests and by the simulated platform (bus driver, user-mode
// device I/O, Plug and Play and power managers). Driver code never calls these.
// =============================================================================================
namespace sim::kernel {

using sim::wdm::KIRQL;
using sim::wdm::NTSTATUS;
using sim::wdm::PDEVICE_OBJECT;
using sim::wdm::PDRIVER_OBJECT;
using sim::wdm::PFILE_OBJECT;
using sim::wdm::PIRP;
using sim::wdm::ULONG;
using sim::wdm::ULONG_PTR;

// ---- Drivers -------------------------------------------------------------------------------

struct DriverConfig {
    std::string name = "driver"; // used in verifier messages
    ULONG poolTag = 0;           // the tag every pool allocation of the driver must carry; 0: any
    std::u16string
        registryPath; // passed to DriverEntry, e.g. u"\\REGISTRY\\Machine\\...\\Services\\X"
};

using DriverEntryRoutine = std::function<NTSTATUS(PDRIVER_OBJECT, sim::wdm::PUNICODE_STRING)>;

// Creates a driver object and runs its entry routine in the driver's context at PASSIVE_LEVEL.
// The object exists until UnloadDriver or ResetAll, whatever the entry returned.
PDRIVER_OBJECT CreateDriver(const DriverConfig& config, const DriverEntryRoutine& entry,
                            NTSTATUS* entryStatus = nullptr);
// Calls DriverExtension->AddDevice for a physical device object, as the Plug and Play manager does.
NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDeviceObject);
// Calls the unload routine (if any) and forgets the driver object.
void UnloadDriver(PDRIVER_OBJECT driver);
// Runs code in a driver's context: pool and requests it allocates are charged to that driver.
void RunInDriverContext(PDRIVER_OBJECT driver, const std::function<void()>& code);

// ---- Device objects and interfaces ---------------------------------------------------------

// The Plug and Play instance id of a physical device object, e.g. u"USB\\VID_FFFE&PID_0001\\5&1".
void SetDeviceInstanceId(PDEVICE_OBJECT physicalDeviceObject, std::u16string instanceId);
std::u16string GetDeviceInstanceId(PDEVICE_OBJECT physicalDeviceObject);
// The device object that this one is attached to (the next lower in its stack), or none.
PDEVICE_OBJECT GetLowerDevice(PDEVICE_OBJECT device);
// Created and not deleted. A device that IoDeleteDevice marked delete-pending (open file objects
// still reference it) is not alive but still valid: the cleanup and close of those handles reach
// its driver. It is freed, and its driver's pool checked, when the last reference goes.
bool IsDeviceAlive(PDEVICE_OBJECT device);
bool IsDeviceObjectValid(PDEVICE_OBJECT device);
bool IsDeviceDeletePending(PDEVICE_OBJECT device);

struct DeviceInterface {
    std::u16string linkName; // "\??\<instance id, '\' as '#'>#{guid}[\reference]"
    sim::wdm::GUID classGuid;
    PDEVICE_OBJECT physicalDeviceObject; // null once that device has been deleted
    bool enabled;
};
std::vector<DeviceInterface> ListDeviceInterfaces();

struct ResolvedPath {
    PDEVICE_OBJECT device;    // top of the device stack of the interface's physical device object
    std::u16string remainder; // what followed the interface's name ("" or "\...")
};
// Resolves a user-mode path "\\.\<link name without \??\>[\remainder]" against the enabled
// interfaces, case-insensitively.
std::optional<ResolvedPath> ResolveUserPath(std::u16string_view path);
std::optional<ResolvedPath> ResolveUserPath(std::string_view path);

// Devices registered with IoRegisterShutdownNotification, in registration order.
std::vector<PDEVICE_OBJECT> ShutdownRegistrations();

// ---- The I/O manager's own requests ---------------------------------------------------------

struct IoResult {
    NTSTATUS dispatchStatus; // what the top driver's dispatch routine returned
    NTSTATUS status;         // IoStatus.Status at final completion
    ULONG_PTR information;   // IoStatus.Information at final completion
    bool completed;          // false if the request was not completed in time
};

struct IrpSpec {
    sim::wdm::UCHAR majorFunction = 0;
    sim::wdm::UCHAR minorFunction = 0;
    PFILE_OBJECT fileObject = nullptr;
    NTSTATUS initialStatus = sim::wdm::STATUS_SUCCESS; // Plug and Play requests start with
                                                       // STATUS_NOT_SUPPORTED
    // Fills the Parameters of the first stack location.
    std::function<void(sim::wdm::IO_STACK_LOCATION&)> setup;
    // Buffered data (METHOD_BUFFERED device control): a system buffer of
    // max(input, output) bytes is allocated, the input copied in, and on completion
    // min(Information, outputLength) bytes copied out.
    const void* input = nullptr;
    ULONG inputLength = 0;
    void* output = nullptr;
    ULONG outputLength = 0;
    bool buffered = false;
};

// Sends a request to the top of a stack and waits for its final completion (at most the wait
// limit). Sent from the calling thread with no driver context, as the I/O manager does for a
// user-mode caller.
IoResult SendIrp(PDEVICE_OBJECT target, const IrpSpec& spec);
// Sends a request and returns after the dispatch routine; `done` runs at final completion (in
// whatever thread completes it; its dispatchStatus is STATUS_PENDING when completion came before
// the dispatch routine returned). Returns the dispatch routine's status. The output buffer of a
// buffered request must stay valid until `done` has run.
NTSTATUS SendIrpAsync(PDEVICE_OBJECT target, const IrpSpec& spec,
                      std::function<void(IoResult)> done);

// Convenience forms of SendIrp for handles. A file object whose IRP_MJ_CREATE succeeds holds
// its device until DeleteFileObject; a create sent to a delete-pending device is refused with
// STATUS_DELETE_PENDING without reaching its driver.
PFILE_OBJECT CreateFileObject(PDEVICE_OBJECT device, std::u16string_view fileName);
void DeleteFileObject(PFILE_OBJECT fileObject);
IoResult SendCreate(PDEVICE_OBJECT target, PFILE_OBJECT fileObject);
IoResult SendCleanup(PDEVICE_OBJECT target, PFILE_OBJECT fileObject);
IoResult SendClose(PDEVICE_OBJECT target, PFILE_OBJECT fileObject);
IoResult SendDeviceControl(PDEVICE_OBJECT target, PFILE_OBJECT fileObject, ULONG ioControlCode,
                           const void* input, ULONG inputLength, void* output, ULONG outputLength);
// The request SendDeviceControl sends, for callers that send it with SendIrpAsync.
IrpSpec DeviceControlSpec(PFILE_OBJECT fileObject, ULONG ioControlCode, const void* input,
                          ULONG inputLength, void* output, ULONG outputLength);
// IRP_MJ_SHUTDOWN to every registered device, in registration order.
void SendShutdownNotifications();

// How long SendIrp waits for a pending request before it reports it as never completed.
void SetCompletionWaitLimit(unsigned milliseconds);

// ---- Deferred work at DISPATCH_LEVEL ---------------------------------------------------------

// Runs code on the simulator's worker thread at DISPATCH_LEVEL, after an optional delay, in the
// driver context of the caller. Items run one at a time in due order.
void QueueDispatchWork(std::function<void()> work, unsigned delayMicroseconds = 0);
// Waits until every queued item has run.
void DrainDispatchWork();
// Runs code in the calling thread at the given IRQL and restores the previous IRQL.
void RunAtIrql(KIRQL irql, const std::function<void()>& code);

// ---- Verifier --------------------------------------------------------------------------------
//
// Faults are recorded, never fatal: the simulation goes on as the real system would have if it
// survived, so that a test can list them (Violations) and fail (sim/kernel/testing.h).
//
//  CompletedTwice              IofCompleteRequest on a request already completed, also one that
//                              a completion routine completes again and then lets completion go on.
//  NeverCompleted              a request that a device still owes something when that device is
//                              deleted (its driver holds it, or its completion routine waits in the
//                              location below); or not completed within the wait limit of SendIrp.
//  PendingNotMarked            a dispatch routine returns STATUS_PENDING without IoMarkIrpPending
//                              on its location (passing on a lower driver's STATUS_PENDING is
//                              fine).
//  MarkedPendingReturnedOther  a dispatch routine marks its location pending but returns another
//                              status.
//  PendingNotPropagated        a completion routine that lets completion go on while
//                              PendingReturned is set and does not mark its own location pending.
//  ReturnedWithoutCompleting   a dispatch routine returns a status other than STATUS_PENDING for a
//                              request of SendIrp that it has not completed.
//  WaitAtDispatchLevel         KeWaitForSingleObject with no timeout or a nonzero one, or
//                              KeDelayExecutionThread, at DISPATCH_LEVEL or above.
//  PagedPoolAtDispatchLevel    paged pool allocated or freed above APC_LEVEL.
//  PowerIrpWithoutStartNext    a power request passed down with PoCallDriver, or completed, from a
//                              location where PoStartNextPowerIrp was not called (this holds for
//                              the bus driver that completes it, too).
//  FreedWhileInUse             IoFreeIrp (or IoReuseIrp) of a request that a lower driver holds;
//  the
//                              request is then left allocated.
//  UseAfterFree                a freed request completed, freed or sent again; a request sent to a
//                              deleted device.
//  PoolLeak                    pool still charged to a driver when its last device object is
//                              freed (deleted and no longer held by a file object) or it is
//                              unloaded, listed by tag (count and bytes). Pool is
//                              charged to the driver whose code made the allocation: its dispatch
//                              and completion routines, AddDevice, DriverEntry, the callbacks of
//                              PoRequestPowerIrp, RunInDriverContext, and deferred work it queued.
//  RequestLeak                 requests from IoAllocateIrp not freed by that time.
//  WrongPoolTag                a driver configured with a pool tag allocates with another tag.
//  BadPoolFree                 a free of pool not held (twice, or never allocated), or of a tag
//                              other than the one given to ExFreePoolWithTag.
//  InformationTooLarge         a buffered device control request completed with Information larger
//                              than the caller's output buffer (the copy is cut to the buffer).
//  DeleteWhileAttached         IoDeleteDevice of a device still attached to a lower one, or with
//  one
//                              attached above it.
//  DeleteWhileShutdownRegistered  IoDeleteDevice of a device still registered for shutdown.
//  NoMoreStackLocations        IofCallDriver with no stack location left.
//  IrqlMisuse                  KeRaiseIrql below, or KeLowerIrql above, the current IRQL; spin lock
//                              and registry routines at the wrong IRQL.
//  BadArgument                 other misuse (null arguments, freeing the I/O manager's requests).

enum class ViolationKind {
    CompletedTwice,
    NeverCompleted,
    PendingNotMarked,
    MarkedPendingReturnedOther,
    PendingNotPropagated,
    ReturnedWithoutCompleting,
    WaitAtDispatchLevel,
    PagedPoolAtDispatchLevel,
    PowerIrpWithoutStartNext,
    FreedWhileInUse,
    UseAfterFree,
    PoolLeak,
    RequestLeak,
    WrongPoolTag,
    BadPoolFree,
    InformationTooLarge,
    DeleteWhileAttached,
    DeleteWhileShutdownRegistered,
    NoMoreStackLocations,
    IrqlMisuse,
    BadArgument,
};
const char* ViolationKindName(ViolationKind kind);

struct Violation {
    ViolationKind kind;
    std::string message;
};
std::vector<Violation> Violations();
void ClearViolations();
std::string DescribeViolations(); // one line per violation, empty when there are none
// Records a violation on behalf of another part of the simulated platform.
void ReportViolation(ViolationKind kind, std::string message);

// ---- Pool accounting --------------------------------------------------------------------------

struct PoolAllocation {
    void* address;
    size_t size;
    ULONG tag;
    PDRIVER_OBJECT owner; // driver whose code made it, or null
};
std::vector<PoolAllocation> OutstandingPool(PDRIVER_OBJECT owner);
std::string TagText(ULONG tag); // "Wdm " for 0x206D6457

// ---- Fault injection --------------------------------------------------------------------------

// Fail the Nth pool allocation (1 = the next one) made from now on by driver code. Pool
// allocations are ExAllocatePool*, IoCreateDevice, and the buffers that IoRegisterDeviceInterface,
// RtlQueryRegistryValues and USBD_CreateConfigurationRequest* allocate for the caller.
void FailPoolAllocationNumber(unsigned n);
// Fail the Nth request allocation (IoAllocateIrp, IoBuildDeviceIoControlRequest,
// PoRequestPowerIrp).
void FailIrpAllocationNumber(unsigned n);
// Fail each such allocation with the given probability, from a seeded generator.
void SetPoolFailureProbability(double probability, uint32_t seed);
void SetIrpFailureProbability(double probability, uint32_t seed);
void ClearFaultInjection();
unsigned FailedAllocationCount(); // pool and request allocations failed on purpose so far

// ---- Reset ------------------------------------------------------------------------------------

// Forgets every driver, device, interface, request, pool record, violation and fault plan,
// waits for queued deferred work first. The registry is not touched.
void ResetAll();

} // namespace sim::kernel
