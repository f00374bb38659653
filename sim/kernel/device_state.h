// What the device files of the kernel stand-in share (device.cpp and device_interfaces.cpp).
// Not for use outside sim/kernel.
#pragma once

#include "sim/kernel/internal.h"

#include <string>

struct sim::wdm::_DEVOBJ_EXTENSION {
    PDEVICE_OBJECT attachedTo = nullptr; // the device below this one in its stack
    std::u16string instanceId;
    POWER_STATE devicePowerState{};
    size_t bytes = 0; // size of the device extension
    LONG fileReferences = 0;
    LONG objectReferences = 0; // ObReferenceObject's, not yet given back
    bool deletePending = false;
    bool heldByUpper = false; // deleted in its remove; the device above still has to detach
    bool reportedAtEnd = false;
};

namespace sim::kernel::detail {

// Guards the device objects' state, the interfaces and the shutdown registrations. Taken again by
// the calls it makes to the device object routines.
extern RecursiveShortLock g_deviceLock;

// The interfaces of a device being deleted: no longer reached through it. Call with
// g_deviceLock held.
void ForgetInterfacesOfLocked(PDEVICE_OBJECT device);
// Takes a device off the shutdown notifications; whether it was registered. Call with
// g_deviceLock held.
bool UnregisterShutdownLocked(PDEVICE_OBJECT device);
// Forgets every interface and shutdown registration. Call with g_deviceLock held.
void ResetInterfacesLocked();

} // namespace sim::kernel::detail
