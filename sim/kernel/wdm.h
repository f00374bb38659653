// User-mode stand-in for the WDM kernel interface that the driver is written against.
//
// Everything a driver may call lives in namespace sim::wdm under its real name, with the real
// structure and field names, so that the same driver source builds against this header and against
// the real kernel headers. Constants that are macros in the real headers are constexpr values or
// enumerators here; function-like macros are inline functions. The types and structures are in
// wdm_types.h and wdm_io.h; this header adds the kernel's routines.
//
// The simulation's own control surface (creating drivers, sending the I/O manager's own requests,
// the verifier, fault injection, reset) is in sim/kernel/control.h, which driver code never
// includes.
#pragma once

#include "sim/kernel/wdm_io.h"
#include "sim/kernel/wdm_types.h"

#include <atomic>
#include <cstring>

namespace sim::wdm {

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

// Interlocked operations. Each one that changes a LONG passes through the simulation's
// interleaving point (sim/kernel/control.h, SetInterlockedHook) with the value it left. Nearly
// every one finds no hook on its address: one atomic load, inline, and no call.
inline std::atomic<const volatile LONG*> g_simInterlockedHookTarget{nullptr};
void SimRunInterlockedHook(LONG volatile* Target, LONG Value);
inline void SimInterlockedChanged(LONG volatile* Target, LONG Value) {
    if (Target != nullptr && g_simInterlockedHookTarget.load() == Target)
        SimRunInterlockedHook(Target, Value);
}
inline LONG InterlockedIncrement(LONG volatile* Addend) {
    const LONG value = __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
    SimInterlockedChanged(Addend, value);
    return value;
}
inline LONG InterlockedDecrement(LONG volatile* Addend) {
    const LONG value = __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
    SimInterlockedChanged(Addend, value);
    return value;
}
inline LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
    const LONG previous = __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
    if (previous != Value)
        SimInterlockedChanged(Target, Value);
    return previous;
}
inline LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
    const LONG previous = __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
    if (Value != 0)
        SimInterlockedChanged(
            Addend, static_cast<LONG>(static_cast<ULONG>(previous) + static_cast<ULONG>(Value)));
    return previous;
}
inline LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
    const LONG expected = Comparand;
    if (__atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                    __ATOMIC_SEQ_CST) &&
        Exchange != expected)
        SimInterlockedChanged(Destination, Exchange);
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
// Tells the verifier that the caller set up (or is about to fill) the next stack location.
void SimNextLocationPrepared(PIRP Irp);
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) {
    SimNextLocationPrepared(Irp);
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
    // A completion routine alone does not set up the location it lands in.
    PIO_STACK_LOCATION next = Irp->Tail.Overlay.CurrentStackLocation - 1;
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
