// What the virtual bus's files share: the bus's state, the extensions of its three kinds of
// device object, and the handlers each file gives the others.
#pragma once

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

constexpr ULONG kPoolTag = 0x73756256; // "Vbus"
constexpr ULONG kMaxPipes = 8;

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

inline Kind KindOf(PDEVICE_OBJECT device) {
    return *static_cast<Kind*>(device->DeviceExtension);
}

// The bus, found from any of the driver's device objects.
Bus* BusOf(PDEVICE_OBJECT device);

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
// Completes with the status the request already carries: a request nobody here answers.
NTSTATUS CompleteUnchanged(PIRP irp);
// A copy of `bytes` bytes of `text` in paged pool, or null.
PWCHAR CopyToPool(const WCHAR* text, ULONG bytes);

// vbus_urb.cpp: the chip's device, its function driver's internal I/O controls.
NTSTATUS PdoInternalControl(Bus* bus, PIRP irp);

// vbus_pnp.cpp: Plug and Play of the chip's device and of the bus's own.
NTSTATUS PdoPnp(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS FdoPnp(PDEVICE_OBJECT device, PIRP irp);
// Creates the chip's device object; the caller reports it. PASSIVE_LEVEL.
NTSTATUS CreateChild(Bus* bus);
// Hands the request on to the device below the bus's own.
NTSTATUS PassDown(FdoExtension* ext, PIRP irp);

// vbus_control_device.cpp: what programs ask the control device.
NTSTATUS ControlDeviceControl(Bus* bus, PIRP irp);

} // namespace vbus
