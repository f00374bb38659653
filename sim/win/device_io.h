// User-mode device I/O of the simulated machine: CreateFileA, DeviceIoControl
// and CloseHandle over the kernel stand-in's I/O manager. A "\\.\..." path
// names an enabled device interface; the I/O manager's requests go to the
// top of that device's stack. Thread-safe; the last error is per thread, as
// on Windows.
#pragma once

#include "sim/kernel/control.h"
#include "sim/address_table.h"
#include "sim/short_lock.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace sim::win {

using Handle = std::intptr_t;
inline constexpr Handle InvalidHandleValue = -1;

// Win32 error codes the simulated calls leave behind.
inline constexpr std::uint32_t ErrorInvalidFunction = 1;
inline constexpr std::uint32_t ErrorFileNotFound = 2;
inline constexpr std::uint32_t ErrorPathNotFound = 3;
inline constexpr std::uint32_t ErrorAccessDenied = 5;
inline constexpr std::uint32_t ErrorInvalidHandle = 6;
inline constexpr std::uint32_t ErrorNotEnoughMemory = 8;
inline constexpr std::uint32_t ErrorNotReady = 21;
inline constexpr std::uint32_t ErrorBadCommand = 22;
inline constexpr std::uint32_t ErrorCrc = 23;
inline constexpr std::uint32_t ErrorGenFailure = 31;
inline constexpr std::uint32_t ErrorNotSupported = 50;
inline constexpr std::uint32_t ErrorDevNotExist = 55;
inline constexpr std::uint32_t ErrorInvalidParameter = 87;
inline constexpr std::uint32_t ErrorSemTimeout = 121;
inline constexpr std::uint32_t ErrorInsufficientBuffer = 122;
inline constexpr std::uint32_t ErrorBusy = 170;
inline constexpr std::uint32_t ErrorPipeBusy = 231;
inline constexpr std::uint32_t ErrorMoreData = 234;
inline constexpr std::uint32_t ErrorOperationAborted = 995;
inline constexpr std::uint32_t ErrorIoDevice = 1117;
inline constexpr std::uint32_t ErrorDeviceNotConnected = 1167;
inline constexpr std::uint32_t ErrorNoSystemResources = 1450;
inline constexpr std::uint32_t ErrorMrMidNotFound = 317; // no text for the status

// The Win32 error that a failed request's NT status turns into.
std::uint32_t Win32ErrorFromStatus(wdm::NTSTATUS status);

// The calling thread's last error.
std::uint32_t GetLastError();
void SetLastError(std::uint32_t error);

class DeviceIo {
public:
    DeviceIo();
    ~DeviceIo(); // closes every handle still open
    DeviceIo(const DeviceIo&) = delete;
    DeviceIo& operator=(const DeviceIo&) = delete;

    // Only the path matters to a device open: access, sharing and disposition
    // are accepted as given. Returns InvalidHandleValue with the last error set.
    Handle CreateFileA(const char* fileName, std::uint32_t desiredAccess = 0xC0000000u,
                       std::uint32_t shareMode = 3, std::uint32_t creationDisposition = 3);
    // A buffered request: the driver sees one system buffer as long as the
    // longer of the two buffers, with the input copied in; the caller gets
    // back at most outBufferSize bytes. Waits for a pending request.
    bool DeviceIoControl(Handle device, std::uint32_t ioControlCode, const void* inBuffer,
                         std::uint32_t inBufferSize, void* outBuffer, std::uint32_t outBufferSize,
                         std::uint32_t* bytesReturned);
    // Sends IRP_MJ_CLEANUP and, once the handle's requests are done, IRP_MJ_CLOSE.
    bool CloseHandle(Handle handle);
    // Closes every handle still open.
    void CloseAll();

    // Open handles whose device stack sits on this physical device object.
    std::size_t OpenHandleCount(wdm::PDEVICE_OBJECT physicalDeviceObject) const;
    std::size_t OpenHandleCount() const;
    // Called (outside any lock) each time the last handle of a stack closes.
    // Returns an id for RemoveLastHandleClosed.
    int OnLastHandleClosed(std::function<void(wdm::PDEVICE_OBJECT physicalDeviceObject)> cb);
    void RemoveLastHandleClosed(int id);
    // Runs in every open between the lookup of its name and the create, as if the opening
    // thread were pre-empted there, so that a test can put a removal into that gap. An empty
    // function removes it. Set it while no open is on its way.
    void SetBetweenLookupAndCreate(std::function<void()> action);

private:
    struct OpenFile {
        wdm::PDEVICE_OBJECT device = nullptr;               // top of the stack at open time
        wdm::PDEVICE_OBJECT physicalDeviceObject = nullptr; // bottom of that stack
        wdm::PFILE_OBJECT fileObject = nullptr;
        // Requests of the handle inside the driver; a close waits on the count itself until it
        // is 0, and the last request out wakes it.
        std::atomic<int> inFlight{0};
        std::atomic<bool> closing{false}; // a close waits for them
    };
    std::shared_ptr<OpenFile> Find(Handle handle) const;

    // By handle value (never 0), as an address: see HandleKey.
    using Handles = AddressTable<std::shared_ptr<OpenFile>>;
    using Callbacks = std::map<int, std::function<void(wdm::PDEVICE_OBJECT)>>;

    mutable sim::ShortLock mutex_;
    Handles handles_{4};
    // The state of the last handle closed that nothing else held, reused by the next open.
    std::shared_ptr<OpenFile> spareFile_;
    Handle nextHandle_ = 0x40;
    // Replaced whole on every change, never changed in place: a close takes the current set
    // under the lock and calls it outside, without copying the functions.
    std::shared_ptr<const Callbacks> lastClosed_ = std::make_shared<const Callbacks>();
    int nextCallback_ = 1;
    std::function<void()> betweenLookupAndCreate_;
};

} // namespace sim::win
