// Device objects and device stacks (device interfaces and shutdown registration are in
// device_interfaces.cpp).
//
// IoDeleteDevice of a device that open file objects still reference only marks it delete-pending:
// the object and its extension stay valid, the cleanup and close of those handles still reach its
// driver, and new opens and IoGetAttachedDevice no longer reach it. The object is freed when the
// last reference goes. ObReferenceObject holds a device object the same way (as the object
// manager does for an open between the lookup of its name and the create). A bus driver that
// deletes its physical device object in that device's own IRP_MN_REMOVE_DEVICE, as bus drivers do
// for a device that has left, while the function device above has passed the request down and has
// yet to detach: the object likewise stays valid until that IoDetachDevice. Freed device objects
// are not given back to the heap until ResetAll: their memory is poisoned under AddressSanitizer,
// so a driver that touches its extension after that is caught, and a pointer never names two
// devices.
#include "sim/kernel/device_state.h"

#include "sim/address_table.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <type_traits>

namespace sim::kernel {

using namespace sim::wdm;
using namespace detail;

namespace detail {
RecursiveShortLock g_deviceLock;
} // namespace detail

namespace {

// Device objects not yet freed, delete-pending ones included.
class LiveDevices {
public:
    bool Contains(PDEVICE_OBJECT device) const { return table_.Find(device) != nullptr; }
    void Insert(PDEVICE_OBJECT device) { table_.Insert(device, true); }
    void Erase(PDEVICE_OBJECT device) { table_.Erase(device); }
    void Clear() { table_.Clear(); }
    template <class F>
    void ForEach(F&& visit) const {
        table_.ForEach([&visit](const void* device, bool) {
            visit(static_cast<PDEVICE_OBJECT>(const_cast<void*>(device)));
        });
    }

private:
    AddressTable<bool> table_;
};
LiveDevices g_live;
AddressTable<PDEVICE_OBJECT> g_fileReferences; // by file object
std::vector<PDEVICE_OBJECT> g_deleted;
// Extensions of the freed device objects, with the device's description, for the event check.
struct FreedExtension {
    const char* begin;
    const char* end;
    std::string device;
};
std::vector<FreedExtension> g_freedExtensions;
using detail::g_freedDeviceCount;
// Bumped as an extension is freed and at reset: an address found in no freed extension stays in
// none while it stands, as freed objects are not given back to the heap before the reset.
std::atomic<uint64_t> g_freedGeneration{0};
struct ClearAddresses {
    uint64_t generation = ~uint64_t{0};
    const void* address[4] = {};
    unsigned next = 0;
};
thread_local ClearAddresses t_clear;
using detail::g_liveGeneration;
using detail::t_valid;
using detail::ValidDevices;

// Frees a device object whose deletion is due. Call with g_deviceLock held.
void FreeDeviceLocked(PDEVICE_OBJECT device) {
    g_liveGeneration.fetch_add(1);
    g_live.Erase(device);
    g_deleted.push_back(device);
    if (device->DeviceExtension != nullptr) {
        const char* begin = static_cast<const char*>(device->DeviceExtension);
        g_freedExtensions.push_back(
            {begin, begin + device->DeviceObjectExtension->bytes, Describe(device)});
        g_freedDeviceCount.store(g_freedExtensions.size());
        g_freedGeneration.fetch_add(1);
        SIM_POISON(device->DeviceExtension, device->DeviceObjectExtension->bytes);
    }
    SIM_POISON(device, sizeof(DEVICE_OBJECT));
}

// Whether a delete-pending device has nothing left that holds it. Call with g_deviceLock held.
bool DueForFreeLocked(PDEVICE_OBJECT device) {
    const _DEVOBJ_EXTENSION* ext = device->DeviceObjectExtension;
    return ext->deletePending && ext->fileReferences == 0 && ext->objectReferences == 0 &&
           !ext->heldByUpper;
}

void CountReferencesLocked(PDEVICE_OBJECT device) {
    const _DEVOBJ_EXTENSION* ext = device->DeviceObjectExtension;
    device->ReferenceCount = ext->fileReferences + ext->objectReferences;
}

// True once a driver has no device object left, delete-pending ones included. Call with
// g_deviceLock held.
bool NoDeviceLeftLocked(PDRIVER_OBJECT driver) {
    if (driver->DeviceObject != nullptr)
        return false;
    bool none = true;
    g_live.ForEach([&](PDEVICE_OBJECT d) { none = none && d->DriverObject != driver; });
    return none;
}

} // namespace

namespace detail {

bool InFreedDeviceExtension(const void* address, std::string* device) {
    if (g_freedDeviceCount.load() == 0)
        return false;
    // The events a driver uses are the same few, over and over.
    ClearAddresses& clear = t_clear;
    const uint64_t generation = g_freedGeneration.load();
    if (clear.generation == generation &&
        std::find(std::begin(clear.address), std::end(clear.address), address) !=
            std::end(clear.address))
        return false;
    {
        std::lock_guard lock(g_deviceLock);
        const char* at = static_cast<const char*>(address);
        for (const FreedExtension& e : g_freedExtensions) {
            if (at >= e.begin && at < e.end) {
                *device = e.device;
                return true;
            }
        }
    }
    if (clear.generation != generation)
        clear = ClearAddresses{generation, {}, 0};
    clear.address[clear.next] = address;
    clear.next = (clear.next + 1) % std::size(clear.address);
    return false;
}

bool NoDeviceLeft(PDRIVER_OBJECT driver) {
    std::lock_guard lock(g_deviceLock);
    return NoDeviceLeftLocked(driver);
}

bool IsAliveLocked(PDEVICE_OBJECT device) {
    return g_live.Contains(device) && !device->DeviceObjectExtension->deletePending;
}

PDEVICE_OBJECT ReferenceDeviceAndTop(PDEVICE_OBJECT device) {
    std::lock_guard lock(g_deviceLock);
    if (!IsAliveLocked(device))
        return nullptr;
    PDEVICE_OBJECT top = IoGetAttachedDevice(device);
    ObReferenceObject(device);
    ObReferenceObject(top);
    return top;
}

void ReferenceDeviceForFile(PFILE_OBJECT file, PDEVICE_OBJECT device) {
    std::lock_guard lock(g_deviceLock);
    if (file == nullptr || !g_live.Contains(device) || g_fileReferences.Find(file) != nullptr)
        return;
    g_fileReferences.Insert(file, device);
    ++device->DeviceObjectExtension->fileReferences;
    CountReferencesLocked(device);
}

// Frees a device whose last reference just went, once due: what it still owes is reported now,
// the requests of the files that held it included. Call with g_deviceLock held; call
// FinishDeferredFree with the result once it is released.
struct DeferredFree {
    PDEVICE_OBJECT freed = nullptr;
    PDRIVER_OBJECT lastOf = nullptr;
};

DeferredFree FreeIfDueLocked(PDEVICE_OBJECT device) {
    DeferredFree result;
    if (!DueForFreeLocked(device))
        return result;
    PDRIVER_OBJECT driver = device->DriverObject;
    FreeDeviceLocked(device);
    result.freed = device;
    if (NoDeviceLeftLocked(driver))
        result.lastOf = driver;
    return result;
}

void FinishDeferredFree(const DeferredFree& done) {
    if (done.freed != nullptr)
        ReportOutstandingIrps(done.freed);
    if (done.lastOf != nullptr)
        OnLastDeviceDeleted(done.lastOf);
}

void ReleaseFileReference(PFILE_OBJECT file) {
    DeferredFree done;
    {
        std::lock_guard lock(g_deviceLock);
        const PDEVICE_OBJECT* found = g_fileReferences.Find(file);
        if (found == nullptr)
            return;
        PDEVICE_OBJECT device = *found;
        g_fileReferences.Erase(file);
        if (!g_live.Contains(device))
            return;
        --device->DeviceObjectExtension->fileReferences;
        CountReferencesLocked(device);
        done = FreeIfDueLocked(device);
    }
    FinishDeferredFree(done);
}

} // namespace detail

bool IsDeviceAlive(PDEVICE_OBJECT device) {
    std::lock_guard lock(g_deviceLock);
    return IsAliveLocked(device);
}

namespace {} // namespace

namespace detail {

// The look-up behind IsDeviceObjectValid, and the thread's note of a device found valid.
bool LookUpDeviceObject(PDEVICE_OBJECT device) {
    ValidDevices& known = t_valid;
    std::lock_guard lock(g_deviceLock);
    if (!g_live.Contains(device))
        return false;
    if (known.generation != g_liveGeneration.load()) {
        known = ValidDevices{};
        known.generation = g_liveGeneration.load();
    }
    known.device[known.next] = device;
    known.next = (known.next + 1) % ValidDevices::kHeld;
    return true;
}

} // namespace detail

bool IsDeviceObjectValid(PDEVICE_OBJECT device) {
    return detail::KnownValidDevice(device);
}

bool IsDeviceDeletePending(PDEVICE_OBJECT device) {
    std::lock_guard lock(g_deviceLock);
    return g_live.Contains(device) && device->DeviceObjectExtension->deletePending;
}

void SetDeviceInstanceId(PDEVICE_OBJECT physicalDeviceObject, std::u16string instanceId) {
    std::lock_guard lock(g_deviceLock);
    if (!g_live.Contains(physicalDeviceObject))
        return;
    physicalDeviceObject->DeviceObjectExtension->instanceId = std::move(instanceId);
}

std::u16string GetDeviceInstanceId(PDEVICE_OBJECT physicalDeviceObject) {
    std::lock_guard lock(g_deviceLock);
    if (!g_live.Contains(physicalDeviceObject))
        return {};
    return physicalDeviceObject->DeviceObjectExtension->instanceId;
}

PDEVICE_OBJECT GetLowerDevice(PDEVICE_OBJECT device) {
    std::lock_guard lock(g_deviceLock);
    if (!g_live.Contains(device))
        return nullptr;
    return device->DeviceObjectExtension->attachedTo;
}

namespace detail {

std::string Describe(PDEVICE_OBJECT device) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", static_cast<void*>(device));
    std::string driver;
    if (device != nullptr && IsDeviceObjectValid(device))
        driver = " of " + DriverName(device->DriverObject);
    return "device object " + std::string(text) + driver;
}

void ReportDevicesLeftAtEnd(const std::string& when) {
    std::vector<std::string> messages;
    {
        std::lock_guard lock(g_deviceLock);
        g_live.ForEach([&](PDEVICE_OBJECT device) {
            _DEVOBJ_EXTENSION* ext = device->DeviceObjectExtension;
            if (ext->reportedAtEnd)
                return;
            ext->reportedAtEnd = true;
            if (!ext->deletePending) {
                messages.push_back(Describe(device) + " was not deleted by " + when);
            } else if (ext->fileReferences != 0) {
                messages.push_back(Describe(device) + " was deleted but " +
                                   std::to_string(ext->fileReferences) +
                                   " open file object(s) still held it at " + when);
            } else if (ext->objectReferences != 0) {
                messages.push_back(Describe(device) + " was deleted but " +
                                   std::to_string(ext->objectReferences) +
                                   " reference(s) still held it at " + when);
            } else {
                messages.push_back(Describe(device) +
                                   " was deleted but the device above had not detached by " + when);
            }
        });
    }
    for (std::string& text : messages)
        Report(ViolationKind::LeftAtEnd, std::move(text));
}

void ResetDevices() {
    std::lock_guard lock(g_deviceLock);
    g_liveGeneration.fetch_add(1);
    g_freedExtensions.clear();
    g_freedDeviceCount.store(0);
    g_freedGeneration.fetch_add(1);
    for (PDEVICE_OBJECT device : g_deleted) {
        SIM_UNPOISON(device, sizeof(DEVICE_OBJECT));
        if (device->DeviceExtension != nullptr) {
            SIM_UNPOISON(device->DeviceExtension, device->DeviceObjectExtension->bytes);
        }
        std::free(device->DeviceExtension);
        delete device->DeviceObjectExtension;
        std::free(device);
    }
    g_live.ForEach([](PDEVICE_OBJECT device) {
        std::free(device->DeviceExtension);
        delete device->DeviceObjectExtension;
        std::free(device);
    });
    g_deleted.clear();
    g_live.Clear();
    g_fileReferences.Clear();
    ResetInterfacesLocked();
}

} // namespace detail

} // namespace sim::kernel

namespace sim::wdm {

using namespace sim::kernel;
using namespace sim::kernel::detail;

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject) {
    *DeviceObject = nullptr;
    if (DriverObject == nullptr) {
        Report(ViolationKind::BadArgument, "IoCreateDevice without a driver object");
        return STATUS_INVALID_PARAMETER;
    }
    if (CurrentDriver() != nullptr && ShouldFailPool())
        return STATUS_INSUFFICIENT_RESOURCES;
    auto device = static_cast<PDEVICE_OBJECT>(std::calloc(1, sizeof(DEVICE_OBJECT)));
    if (device == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    // The extension is a separate block so that AddressSanitizer sees overruns past its end.
    if (DeviceExtensionSize != 0)
        device->DeviceExtension = std::calloc(1, DeviceExtensionSize);
    device->Type = 3; // IO_TYPE_DEVICE
    device->Size = sizeof(DEVICE_OBJECT);
    device->ReferenceCount = 0;
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) |
                    (DeviceName != nullptr ? DO_DEVICE_HAS_NAME : 0);
    device->Characteristics = DeviceCharacteristics;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    device->DeviceObjectExtension = new _DEVOBJ_EXTENSION();
    device->DeviceObjectExtension->bytes = DeviceExtensionSize;
    {
        std::lock_guard lock(g_deviceLock);
        device->NextDevice = DriverObject->DeviceObject;
        DriverObject->DeviceObject = device;
        g_live.Insert(device);
    }
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    PDRIVER_OBJECT driver = nullptr;
    bool lastDevice = false;
    PDRIVER_OBJECT lastOfLower = nullptr;
    std::vector<PFILE_OBJECT> heldBy; // open file objects: their requests may still come
    bool referenced = false;
    {
        std::lock_guard lock(g_deviceLock);
        if (!IsAliveLocked(DeviceObject)) {
            Report(ViolationKind::UseAfterFree, "IoDeleteDevice on a deleted or unknown device");
            return;
        }
        _DEVOBJ_EXTENSION* ext = DeviceObject->DeviceObjectExtension;
        ext->deletePending = true;
        PDEVICE_OBJECT releasedLower = nullptr;
        if (ext->attachedTo != nullptr) {
            Report(ViolationKind::DeleteWhileAttached,
                   Describe(DeviceObject) +
                       " deleted while still attached to a lower device (IoDetachDevice missing)");
            ext->attachedTo->AttachedDevice = nullptr;
            if (ext->attachedTo->DeviceObjectExtension->heldByUpper) {
                ext->attachedTo->DeviceObjectExtension->heldByUpper = false;
                releasedLower = ext->attachedTo;
            }
            ext->attachedTo = nullptr;
        }
        if (releasedLower != nullptr && DueForFreeLocked(releasedLower)) {
            PDRIVER_OBJECT lowerDriver = releasedLower->DriverObject;
            FreeDeviceLocked(releasedLower);
            if (NoDeviceLeftLocked(lowerDriver))
                lastOfLower = lowerDriver;
        }
        if (DeviceObject->AttachedDevice != nullptr && InRemoveDispatchOf(DeviceObject)) {
            // The device above detaches once the remove has come back to it.
            ext->heldByUpper = true;
        } else if (DeviceObject->AttachedDevice != nullptr) {
            Report(ViolationKind::DeleteWhileAttached,
                   Describe(DeviceObject) + " deleted while another device is attached above it");
            DeviceObject->AttachedDevice->DeviceObjectExtension->attachedTo = nullptr;
            DeviceObject->AttachedDevice = nullptr;
        }
        if (UnregisterShutdownLocked(DeviceObject)) {
            Report(ViolationKind::DeleteWhileShutdownRegistered,
                   Describe(DeviceObject) +
                       " deleted while still registered for shutdown notification");
        }
        ForgetInterfacesOfLocked(DeviceObject);
        g_fileReferences.ForEach([&](const void* file, PDEVICE_OBJECT device) {
            if (device == DeviceObject)
                heldBy.push_back(static_cast<PFILE_OBJECT>(const_cast<void*>(file)));
        });
        referenced = ext->objectReferences != 0;
        driver = DeviceObject->DriverObject;
        PDEVICE_OBJECT* link = &driver->DeviceObject;
        while (*link != nullptr && *link != DeviceObject)
            link = &(*link)->NextDevice;
        if (*link == DeviceObject)
            *link = DeviceObject->NextDevice;
    }
    // A reference is taken for a request on its way to the device (an open's create, a power
    // request): its requests are checked when the last reference goes and frees the device.
    if (!referenced)
        ReportOutstandingIrps(DeviceObject, heldBy);
    {
        std::lock_guard lock(g_deviceLock);
        // Open file objects, references and a device above that has yet to detach keep it; the
        // last of them to go frees it, and may have done so since the lock was let go.
        if (g_live.Contains(DeviceObject) && DueForFreeLocked(DeviceObject)) {
            FreeDeviceLocked(DeviceObject);
            lastDevice = NoDeviceLeftLocked(driver);
        }
    }
    if (lastOfLower != nullptr)
        OnLastDeviceDeleted(lastOfLower);
    if (lastDevice)
        OnLastDeviceDeleted(driver);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                 PDEVICE_OBJECT TargetDevice) {
    std::lock_guard lock(g_deviceLock);
    if (!IsAliveLocked(SourceDevice) || !IsAliveLocked(TargetDevice)) {
        Report(ViolationKind::BadArgument, "IoAttachDeviceToDeviceStack with a deleted device");
        return nullptr;
    }
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice != nullptr)
        top = top->AttachedDevice;
    top->AttachedDevice = SourceDevice;
    SourceDevice->DeviceObjectExtension->attachedTo = top;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    PDRIVER_OBJECT lastOf = nullptr;
    {
        std::lock_guard lock(g_deviceLock);
        if (!g_live.Contains(TargetDevice)) {
            Report(ViolationKind::UseAfterFree, "IoDetachDevice from a deleted device");
            return;
        }
        PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
        if (upper == nullptr) {
            Report(ViolationKind::BadArgument,
                   "IoDetachDevice from a device with nothing attached");
            return;
        }
        upper->DeviceObjectExtension->attachedTo = nullptr;
        TargetDevice->AttachedDevice = nullptr;
        _DEVOBJ_EXTENSION* ext = TargetDevice->DeviceObjectExtension;
        if (ext->heldByUpper) {
            ext->heldByUpper = false;
            if (DueForFreeLocked(TargetDevice)) {
                PDRIVER_OBJECT driver = TargetDevice->DriverObject;
                FreeDeviceLocked(TargetDevice);
                if (NoDeviceLeftLocked(driver))
                    lastOf = driver;
            }
        }
    }
    if (lastOf != nullptr)
        OnLastDeviceDeleted(lastOf);
}

PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
    std::lock_guard lock(g_deviceLock);
    PDEVICE_OBJECT top = DeviceObject;
    // A device whose deletion is pending takes no new requests from above.
    while (top != nullptr && top->AttachedDevice != nullptr && IsAliveLocked(top->AttachedDevice))
        top = top->AttachedDevice;
    return top;
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    std::lock_guard lock(g_deviceLock);
    PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
    ObReferenceObject(top);
    return top;
}

// Counted on device objects, which a reference keeps from being freed; other objects are not
// tracked.
VOID NTAPI ObReferenceObject(PVOID Object) {
    std::lock_guard lock(g_deviceLock);
    auto device = static_cast<PDEVICE_OBJECT>(Object);
    if (!g_live.Contains(device))
        return;
    ++device->DeviceObjectExtension->objectReferences;
    CountReferencesLocked(device);
}

VOID NTAPI ObDereferenceObject(PVOID Object) {
    DeferredFree done;
    {
        std::lock_guard lock(g_deviceLock);
        auto device = static_cast<PDEVICE_OBJECT>(Object);
        if (!g_live.Contains(device))
            return;
        _DEVOBJ_EXTENSION* ext = device->DeviceObjectExtension;
        if (ext->objectReferences == 0) {
            Report(ViolationKind::BadArgument,
                   "ObDereferenceObject of " + Describe(device) + " without a reference");
            return;
        }
        --ext->objectReferences;
        CountReferencesLocked(device);
        done = FreeIfDueLocked(device);
    }
    FinishDeferredFree(done);
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE,
                                  POWER_STATE State) {
    std::lock_guard lock(g_deviceLock);
    POWER_STATE old{};
    if (g_live.Contains(DeviceObject)) {
        old = DeviceObject->DeviceObjectExtension->devicePowerState;
        DeviceObject->DeviceObjectExtension->devicePowerState = State;
    }
    return old;
}

} // namespace sim::wdm
