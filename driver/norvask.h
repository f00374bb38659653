// Norvask: WDM function driver for the USB I/O chip. The per-device record and the routines
// the dispatch files share.
#pragma once

#include "kernel.h"

#include "norvask_contract.h"

namespace norvask {

// "Wdm " as the kernel stores a pool tag: bytes 'W','d','m',' ' in memory.
constexpr ULONG kPoolTag = 0x206D6457;

constexpr ULONG kLinkNameCapacity = 512; // characters, terminator included

// Open marks kept in PipeFlags of the interface copy's pipe entries.
constexpr ULONG kPipeFree = 0;
constexpr ULONG kPipeOpen = 1;

// The device's I/O control codes, as the console knows them.
using contract::IOCTL_GET_CONFIG_DESCRIPTOR;
using contract::IOCTL_RESET_PIPE;
using contract::IOCTL_RESET_PORT_IF_DISABLED;
using contract::IOCTL_VENDOR_REQUEST;

// The vendor transfer in flight, handed to its completion routine as context.
struct VendorTransferContext {
    PIRP Irp;                    // bus request
    PURB Urb;                    // its request block
    PDEVICE_OBJECT DeviceObject; // our own device object
};

struct DeviceExtension {
    PDEVICE_OBJECT LowerDeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    DEVICE_POWER_STATE DevicePowerState;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
    PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
    PUSBD_INTERFACE_INFORMATION InterfaceInfo;
    DEVICE_CAPABILITIES Capabilities;
    PIRP HeldSystemPowerIrp;
    PIRP PendingVendorIrp;
    VendorTransferContext VendorTransfer;
    KEVENT VendorGate;
    KEVENT RemoveEvent;
    KEVENT NoRequestsEvent;
    KEVENT PowerUpEvent;
    LONG PendingIoCount;
    LONG OpenPipeCount;
    WCHAR InterfaceLinkName[kLinkNameCapacity];
    BOOLEAN DeviceRemoved;
    BOOLEAN RemovePending;
    BOOLEAN StopPending;
    BOOLEAN DeviceStarted;
    BOOLEAN DeviceOpen;
    BOOLEAN WaitWakeArmed;
    BOOLEAN IdlePowerBusy;
    DEVICE_POWER_STATE IdleDeviceState;
    ULONG MaximumTransferSize;
    LARGE_INTEGER GateTimeout;

    // Serialises the vendor slot (PendingVendorIrp, VendorTransfer) between vendor requests
    // and against the transfer's completion routine.
    KSPIN_LOCK VendorLock;
    // Data length the vendor transfer in flight asked for; the reply never reports more.
    ULONG VendorRequestedLength;
    // Makes create's test-and-set of DeviceOpen one step.
    LONG OpenClaim;
    // The teardown has run: later removal requests only go down.
    BOOLEAN TeardownDone;
    BOOLEAN ShutdownRegistered;
};

inline DeviceExtension* Extension(PDEVICE_OBJECT deviceObject) {
    return static_cast<DeviceExtension*>(deviceObject->DeviceExtension);
}

// Entry and setup.
NORVASK_ENTRY_LINKAGE NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject,
                                                 PUNICODE_STRING registryPath);
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject);
BOOLEAN PublishDeviceName(const WCHAR* linkName, ULONG linkLength);
bool ProductTypeReadable();
LONG IncrementIoCount(PDEVICE_OBJECT deviceObject);
LONG DecrementIoCount(PDEVICE_OBJECT deviceObject);
BOOLEAN CanAcceptRequests(PDEVICE_OBJECT deviceObject);
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT deviceObject, PURB urb);
NTSTATUS SubmitPipeRequest(PDEVICE_OBJECT deviceObject, USHORT function, USBD_PIPE_HANDLE pipe);
NTSTATUS CallLowerSync(PDEVICE_OBJECT deviceObject, ULONG ioctl, PVOID argument1);
NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information);
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT deviceObject, PIRP irp);

// Device control.
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS NTAPI VendorRequestComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);

// Create, close, read and write.
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS NTAPI DispatchReadWrite(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS AbortOpenPipes(PDEVICE_OBJECT deviceObject);
PUSBD_PIPE_INFORMATION PipeOfHandle(DeviceExtension* ext, PVOID fsContext);

// Plug and Play.
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS NTAPI DispatchShutdown(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS ReleaseDeviceResources(PDEVICE_OBJECT deviceObject);

// Power.
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS ApplyIdlePolicy(PDEVICE_OBJECT deviceObject, BOOLEAN suspend);
NTSTATUS RequestDevicePower(PDEVICE_OBJECT deviceObject, DEVICE_POWER_STATE target);

} // namespace norvask
