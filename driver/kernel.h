// The one place that chooses the kernel the driver is built against: the real Windows kernel
// headers for Norvask.sys, or the simulated kernel for the host build. Driver sources include
// only this header and call every kernel routine by its real, unqualified name.
#pragma once

#ifdef NORVASK_REAL_KERNEL

#ifndef POOL_TAGGING
#define POOL_TAGGING 1 // keep ExAllocatePoolWithTag from dropping the tag
#endif

extern "C" {
#include <ddk/wdm.h>
#include <usb.h>
#include <usbioctl.h>
#include <ddk/usbdlib.h>
}

// Wide string literal of the kernel's WCHAR; the argument may be a macro or several literals.
#define NORVASK_WIDE_(s) L##s
#define NORVASK_WIDE(s) NORVASK_WIDE_(s)
// The driver entry is the image's entry point and must carry C linkage.
#define NORVASK_ENTRY_LINKAGE extern "C"

#else

#include "sim/kernel/wdm.h"
#include "sim/kernel/usb.h"

namespace norvask {
using namespace sim::wdm;
} // namespace norvask

#define NORVASK_WIDE_(s) u##s
#define NORVASK_WIDE(s) NORVASK_WIDE_(s)
#define NORVASK_ENTRY_LINKAGE

#endif
