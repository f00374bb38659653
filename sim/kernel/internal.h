// Shared internals of the kernel stand-in. Not for use outside sim/kernel.
#pragma once

#include "sim/kernel/usb.h"
#include "sim/kernel/control.h"
#include "sim/short_lock.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

// Memory that must not be touched any more is poisoned under AddressSanitizer.
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define SIM_ASAN 1
#define SIM_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define SIM_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define SIM_ASAN 0
#define SIM_POISON(p, n) ((void)(p), (void)(n))
#define SIM_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace sim::kernel::detail {

using namespace sim::wdm;

// The kernel's short bookkeeping sections take the platform's short lock.
using sim::ShortLock;

// A ShortLock that the thread holding it may take again (given back as often as taken).
class RecursiveShortLock {
public:
    void lock() noexcept {
        const void* self = Self();
        if (owner_.load(std::memory_order_relaxed) == self) {
            ++depth_;
            return;
        }
        lock_.lock();
        owner_.store(self, std::memory_order_relaxed);
        depth_ = 1;
    }
    void unlock() noexcept {
        if (--depth_ != 0)
            return;
        owner_.store(nullptr, std::memory_order_relaxed);
        lock_.unlock();
    }

private:
    // Tells threads apart: only the holder ever stores its own mark in owner_.
    static const void* Self() noexcept {
        static thread_local const char mark = 0;
        return &mark;
    }

    ShortLock lock_;
    std::atomic<const void*> owner_{nullptr};
    unsigned depth_ = 0; // only the holder touches it
};

// ---- Device objects found valid ----
// Bumped before any device object leaves the live set, so that a thread's memory of the devices
// it found valid lapses before the device goes.
inline std::atomic<uint64_t> g_liveGeneration{0};
struct ValidDevices {
    static constexpr unsigned kHeld = 4;
    uint64_t generation = 0;
    PDEVICE_OBJECT device[kHeld] = {};
    unsigned next = 0;
};
inline thread_local ValidDevices t_valid;
// Looks the device up in the live set, and notes it in t_valid when it is there.
bool LookUpDeviceObject(PDEVICE_OBJECT device);
// IsDeviceObjectValid, for the kernel's own many calls: a device this thread found valid since the
// last free is valid still, as none has left the live set since. Requests go to the same few
// devices over and over: the stack of the chip, the bus under it, and the devices their opens and
// closes pass.
inline bool KnownValidDevice(PDEVICE_OBJECT device) {
    const ValidDevices& known = t_valid;
    if (device != nullptr && known.generation == g_liveGeneration.load()) {
        for (PDEVICE_OBJECT held : known.device) {
            if (held == device)
                return true;
        }
    }
    return LookUpDeviceObject(device);
}

// ---- Driver context: whose code runs on this thread ----
// Whose code runs from its construction to its destruction: scopes live on the stack, one inside
// another, and the innermost names the driver.
class DriverScope {
public:
    explicit DriverScope(PDRIVER_OBJECT driver) : driver_(driver), outer_(t_innermost) {
        t_innermost = this;
    }
    ~DriverScope() { t_innermost = outer_; }
    DriverScope(const DriverScope&) = delete;
    DriverScope& operator=(const DriverScope&) = delete;

    // The driver whose code runs on this thread, or null for the system's.
    static PDRIVER_OBJECT Current() {
        return t_innermost != nullptr ? t_innermost->driver_ : nullptr;
    }

private:
    static inline thread_local const DriverScope* t_innermost = nullptr;
    PDRIVER_OBJECT driver_;
    const DriverScope* outer_;
};
inline PDRIVER_OBJECT CurrentDriver() {
    return DriverScope::Current();
}
std::string DriverName(PDRIVER_OBJECT driver); // "driver 'x'" or "the system"
ULONG DriverPoolTag(PDRIVER_OBJECT driver);
// Called when a driver's last device object has been deleted.
void OnLastDeviceDeleted(PDRIVER_OBJECT driver);

// ---- Verifier and fault injection ----
void Report(ViolationKind kind, std::string message);
// Runs `report` out of line, as a cold call: a check's failure path, with the strings it builds,
// stays out of its caller, whose common path then needs no stack frame of its own. For the
// checks of the calls that drivers make many times a request.
template <class Report>
[[gnu::cold, gnu::noinline]] void OutOfLine(Report&& report) {
    report();
}
bool ShouldFailPool();
bool ShouldFailIrp();
void ResetVerifier();

// ---- Pool ----
// Tracked allocation on behalf of `owner`. `injectable`: subject to fault injection when
// driver code is running.
void* AllocatePool(POOL_TYPE type, size_t size, ULONG tag, PDRIVER_OBJECT owner, bool injectable,
                   bool zeroed);
void FreePool(void* address, const ULONG* expectedTag);
// Reports and forgets every outstanding allocation of a driver; returns how many.
size_t ReportPoolLeaks(PDRIVER_OBJECT owner, const std::string& when);
void ResetPool();
// Gives back the file objects kept for new opens.
void ResetFileObjects();

// ---- Requests ----
enum class IrpOwner { Driver, IoManager, System };
// Allocates a request with `stackSize` locations. System requests call `onFinal` (which must
// release the request with ReleaseSystemIrp) when completion has passed the top location, and
// have their first location taken as set up (their sender fills it). A
// request that never gets there hands its context to `onDiscard` when the kernel is reset.
using IrpFinal = void (*)(PIRP irp, void* context);
using IrpDiscard = void (*)(void* context);
PIRP AllocateIrp(CCHAR stackSize, IrpOwner owner, PDRIVER_OBJECT allocator, IrpFinal onFinal,
                 void* context, IrpDiscard onDiscard = nullptr);
PIRP AllocateIrp(CCHAR stackSize, IrpOwner owner, PDRIVER_OBJECT allocator,
                 std::function<void(PIRP)> onFinal);
void ReleaseSystemIrp(PIRP irp);
bool IrpFinished(PIRP irp);
bool IrpFreed(PIRP irp); // freed and still in the quarantine
void NoteStartNextPowerIrp(PIRP irp);
// Reports a PoCallDriver from a driver that holds a location of the request and did not call
// PoStartNextPowerIrp there.
void CheckStartNextBeforePoCallDriver(PIRP irp, PDEVICE_OBJECT target);
// Reports the requests that `device` still owes something as it is deleted or freed. Requests
// of the file objects in `heldBy` are left out: those files keep the device, so their requests
// may still pass through it (a close after the remove), and are looked at again when it is
// freed.
void ReportOutstandingIrps(PDEVICE_OBJECT device, const std::vector<PFILE_OBJECT>& heldBy = {});
// True while the calling thread runs a dispatch routine of `device` for IRP_MN_REMOVE_DEVICE.
bool InRemoveDispatchOf(PDEVICE_OBJECT device);
size_t ReportLeakedIrps(PDRIVER_OBJECT allocator);
void ResetIrps();
// What CheckEndOfRun reports of requests, pool and devices (each once).
void ReportIrpsLeftAtEnd(const std::string& when);
void ReportPoolLeftAtEnd(const std::string& when);
void ReportDevicesLeftAtEnd(const std::string& when);

// ---- Devices ----
// Not yet deleted (a delete-pending device is not). Call with the device lock held (device.cpp).
bool IsAliveLocked(PDEVICE_OBJECT device);
// True once a driver has no device object left, delete-pending ones included.
bool NoDeviceLeft(PDRIVER_OBJECT driver);
// For a device that is not being deleted: a reference on it and on the top of its stack, in
// one step with that check; returns the top, or none (nothing referenced).
PDEVICE_OBJECT ReferenceDeviceAndTop(PDEVICE_OBJECT device);
// A file object that was opened on a device keeps it from being freed until released.
// Whether `address` lies in the extension of a device object already freed (deleted, and no
// longer held); names that device.
bool InFreedDeviceExtension(const void* address, std::string* device);
// The number of device objects freed since the last reset.
inline std::atomic<size_t> g_freedDeviceCount{0};
// Whether any device object has been freed since the last reset (a quick test before the above).
inline bool AnyDeviceExtensionFreed() {
    return g_freedDeviceCount.load() != 0;
}
void ReferenceDeviceForFile(PFILE_OBJECT file, PDEVICE_OBJECT device);
void ReleaseFileReference(PFILE_OBJECT file);
void ResetDevices();
void ResetDrivers();
void ResetWorker();
// Whether the dispatch worker is in ordered mode (SetOrderedDispatchWork): a lock-free test.
inline std::atomic<bool> g_orderedDispatchWork{false};
void ReleaseOwnDispatchWork();
// In ordered mode, lets the delayed work that this thread queued run: it is about to wait, or has
// left its outermost driver call.
inline void ReleaseDispatchWorkOfThisThread() {
    if (g_orderedDispatchWork.load(std::memory_order_relaxed))
        ReleaseOwnDispatchWork();
}
// While the dispatch worker runs an item: the requester wake-ups it defers to the item's end.
extern thread_local std::vector<std::function<void()>>* t_afterDispatchItem;
void ResetIo();
void ResetSync(); // forgets who holds which spin lock

// ---- Text ----
std::u16string ToU16(std::string_view text);
std::string ToU8(std::u16string_view text);
std::u16string LowerU16(std::u16string_view text);
std::string Describe(PDEVICE_OBJECT device);
std::string IrpName(UCHAR major, UCHAR minor);

} // namespace sim::kernel::detail
