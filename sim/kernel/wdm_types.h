// The WDM kernel's basic types, status codes, IRQLs, power states and dispatcher objects, as
// the user-mode stand-in defines them: real names, real sizes. Part of sim/kernel/wdm.h, which is
// what driver code includes.
#pragma once

#include <cstddef>
#include <cstdint>

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

} // namespace sim::wdm
