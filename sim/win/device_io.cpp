#include "sim/win/device_io.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace sim::win {

using namespace sim::wdm;

namespace {

// A handle as the key of the handle table: handles are never 0, so no key is null.
const void* HandleKey(Handle handle) {
    return reinterpret_cast<const void*>(static_cast<std::uintptr_t>(handle));
}

thread_local std::uint32_t lastError = 0;

// The length of `path` without its trailing blanks and dots. A path padded out to a fixed
// length with blanks goes eight of them at a time.
std::size_t TrimmedLength(std::string_view path) {
    constexpr std::uint64_t kBlanks = 0x2020202020202020ull;
    std::size_t n = path.size();
    while (n >= sizeof kBlanks) {
        std::uint64_t tail;
        std::memcpy(&tail, path.data() + n - sizeof tail, sizeof tail);
        if (tail != kBlanks)
            break;
        n -= sizeof tail;
    }
    while (n > 0 && (path[n - 1] == ' ' || path[n - 1] == '.'))
        --n;
    return n;
}

PDEVICE_OBJECT BottomOf(PDEVICE_OBJECT device) {
    PDEVICE_OBJECT bottom = device;
    while (PDEVICE_OBJECT lower = kernel::GetLowerDevice(bottom)) {
        bottom = lower;
    }
    return bottom;
}

} // namespace

std::uint32_t GetLastError() {
    return lastError;
}
void SetLastError(std::uint32_t error) {
    lastError = error;
}

std::uint32_t Win32ErrorFromStatus(NTSTATUS status) {
    switch (status) {
    case STATUS_SUCCESS:
        return 0;
    case STATUS_BUFFER_OVERFLOW:
        return ErrorMoreData;
    case STATUS_DEVICE_BUSY:
        return ErrorBusy;
    case STATUS_UNSUCCESSFUL:
        return ErrorGenFailure;
    case STATUS_NOT_IMPLEMENTED:
    case STATUS_INVALID_DEVICE_REQUEST:
    case STATUS_ILLEGAL_FUNCTION:
        return ErrorInvalidFunction;
    case STATUS_INVALID_HANDLE:
        return ErrorInvalidHandle;
    case STATUS_INVALID_PARAMETER:
        return ErrorInvalidParameter;
    case STATUS_NO_SUCH_DEVICE:
    case STATUS_DEVICE_REMOVED:
        return ErrorDevNotExist;
    case STATUS_NO_SUCH_FILE:
    case STATUS_OBJECT_NAME_NOT_FOUND:
        return ErrorFileNotFound;
    case STATUS_OBJECT_PATH_NOT_FOUND:
        return ErrorPathNotFound;
    case STATUS_NO_MEMORY:
        return ErrorNotEnoughMemory;
    case STATUS_ACCESS_DENIED:
    case STATUS_DELETE_PENDING:
        return ErrorAccessDenied;
    case STATUS_BUFFER_TOO_SMALL:
        return ErrorInsufficientBuffer;
    case STATUS_INSUFFICIENT_RESOURCES:
        return ErrorNoSystemResources;
    case STATUS_DEVICE_NOT_CONNECTED:
        return ErrorDeviceNotConnected;
    case STATUS_DEVICE_NOT_READY:
        return ErrorNotReady;
    case STATUS_INSTANCE_NOT_AVAILABLE:
        return ErrorPipeBusy;
    case STATUS_NOT_SUPPORTED:
        return ErrorNotSupported;
    case STATUS_CANCELLED:
        return ErrorOperationAborted;
    case STATUS_IO_DEVICE_ERROR:
        return ErrorIoDevice;
    case STATUS_DEVICE_DATA_ERROR:
        return ErrorCrc;
    case STATUS_INVALID_DEVICE_STATE:
        return ErrorBadCommand;
    case STATUS_IO_TIMEOUT:
        return ErrorSemTimeout;
    default:
        return ErrorMrMidNotFound;
    }
}

DeviceIo::DeviceIo() = default;

DeviceIo::~DeviceIo() {
    CloseAll();
}

void DeviceIo::CloseAll() {
    std::vector<Handle> open;
    {
        std::lock_guard lock(mutex_);
        handles_.ForEach([&open](const void* key, const std::shared_ptr<OpenFile>&) {
            open.push_back(static_cast<Handle>(reinterpret_cast<std::uintptr_t>(key)));
        });
    }
    std::sort(open.begin(), open.end()); // oldest first, as they were opened
    for (Handle h : open) {
        CloseHandle(h);
    }
}

[[gnu::always_inline]] inline std::shared_ptr<DeviceIo::OpenFile>
DeviceIo::Find(Handle handle) const {
    std::lock_guard lock(mutex_);
    const std::shared_ptr<OpenFile>* found = handles_.Find(HandleKey(handle));
    return found == nullptr ? nullptr : *found;
}

Handle DeviceIo::CreateFileA(const char* fileName, std::uint32_t, std::uint32_t, std::uint32_t) {
    if (fileName == nullptr) {
        SetLastError(ErrorInvalidParameter);
        return InvalidHandleValue;
    }
    if (*fileName == '\0') {
        SetLastError(ErrorPathNotFound);
        return InvalidHandleValue;
    }
    // Win32 normalises a "\\.\" path before the I/O manager sees it: trailing
    // blanks and dots of its last component go.
    std::string_view path(fileName);
    if (path.starts_with("\\\\.\\")) {
        path = path.substr(0, TrimmedLength(path));
    }
    // The object manager holds the device from the lookup of its name until the create has
    // returned: a removal in between only marks it deleted, and the create then fails.
    const auto resolved = kernel::ReferenceUserPath(path);
    if (!resolved || resolved->device == nullptr) {
        SetLastError(ErrorFileNotFound);
        return InvalidHandleValue;
    }
    if (betweenLookupAndCreate_) {
        betweenLookupAndCreate_();
    }
    std::shared_ptr<OpenFile> file;
    {
        std::lock_guard lock(mutex_);
        file = std::move(spareFile_);
    }
    if (file == nullptr)
        file = std::make_shared<OpenFile>();
    file->device = resolved->device;
    file->physicalDeviceObject = BottomOf(resolved->device);
    file->fileObject = kernel::CreateFileObject(file->device, resolved->remainder);
    if (file->fileObject == nullptr) {
        ObDereferenceObject(resolved->device);
        SetLastError(ErrorNotEnoughMemory);
        return InvalidHandleValue;
    }
    const kernel::IoResult result = kernel::SendCreate(file->device, file->fileObject);
    // A create that succeeded holds the device through its file object from here on.
    ObDereferenceObject(resolved->device);
    if (!result.completed) {
        // The driver still owns the request, and with it the file object.
        SetLastError(ErrorSemTimeout);
        return InvalidHandleValue;
    }
    if (!NT_SUCCESS(result.status)) {
        kernel::DeleteFileObject(file->fileObject);
        SetLastError(Win32ErrorFromStatus(result.status));
        return InvalidHandleValue;
    }
    std::lock_guard lock(mutex_);
    const Handle handle = nextHandle_;
    // Handles stay positive 32-bit values: callers keep them in an int32.
    nextHandle_ = nextHandle_ >= 0x7FFFFF00 ? 0x40 : nextHandle_ + 4;
    handles_.Insert(HandleKey(handle), std::move(file));
    SetLastError(0);
    return handle;
}

bool DeviceIo::DeviceIoControl(Handle device, std::uint32_t ioControlCode, const void* inBuffer,
                               std::uint32_t inBufferSize, void* outBuffer,
                               std::uint32_t outBufferSize, std::uint32_t* bytesReturned) {
    std::shared_ptr<OpenFile> file = Find(device);
    if (file == nullptr) {
        SetLastError(ErrorInvalidHandle);
        return false;
    }
    if ((inBuffer == nullptr && inBufferSize != 0) ||
        (outBuffer == nullptr && outBufferSize != 0)) {
        SetLastError(ErrorInvalidParameter); // the I/O manager probes both buffers first
        return false;
    }
    // A handle to a device deleted meanwhile still reaches its driver, which
    // must refuse the request itself; only a freed object is out of reach.
    if (!kernel::IsDeviceObjectValid(file->device)) {
        SetLastError(ErrorDevNotExist);
        return false;
    }
    file->inFlight.fetch_add(1);
    const kernel::IoResult result =
        kernel::SendDeviceControl(file->device, file->fileObject, ioControlCode, inBuffer,
                                  inBufferSize, outBuffer, outBufferSize);
    // The last request out wakes a close that waits for it. The close marks itself before it
    // looks at the count, and this looks at the mark after the count drops, so one of the two
    // always sees the other.
    if (file->inFlight.fetch_sub(1) == 1 && file->closing.load()) {
        file->inFlight.notify_all(); // a wait that saw the count above 0 has not slept through
    }
    if (!result.completed) {
        SetLastError(ErrorSemTimeout);
        return false;
    }
    const auto returned = static_cast<std::uint32_t>(
        std::min<ULONG_PTR>(result.information, static_cast<ULONG_PTR>(outBufferSize)));
    if (bytesReturned != nullptr) {
        *bytesReturned = NT_ERROR(result.status) ? 0 : returned;
    }
    if (!NT_SUCCESS(result.status)) {
        SetLastError(Win32ErrorFromStatus(result.status));
        return false;
    }
    SetLastError(0);
    return true;
}

bool DeviceIo::CloseHandle(Handle handle) {
    std::shared_ptr<OpenFile> file;
    std::shared_ptr<const Callbacks> callbacks;
    {
        std::lock_guard lock(mutex_);
        std::shared_ptr<OpenFile>* found = handles_.Find(HandleKey(handle));
        if (found == nullptr) {
            SetLastError(ErrorInvalidHandle);
            return false;
        }
        file = std::move(*found);
        handles_.Erase(HandleKey(handle));
    }
    // Cleanup goes at once; close waits until no request of the handle is
    // still inside the driver, as the file object's last reference goes.
    // The file object holds its device: one deleted meanwhile is only
    // delete-pending, and its driver still sees both requests. Deleting the
    // file object drops that hold and may free the device.
    if (kernel::IsDeviceObjectValid(file->device)) {
        kernel::SendCleanup(file->device, file->fileObject);
    }
    file->closing.store(true);
    // Sleeps only while the count is still the one it read, so a drop to 0 in between is seen.
    for (int n = file->inFlight.load(); n != 0; n = file->inFlight.load()) {
        file->inFlight.wait(n);
    }
    if (kernel::IsDeviceObjectValid(file->device)) {
        kernel::SendClose(file->device, file->fileObject);
    }
    kernel::DeleteFileObject(file->fileObject);
    {
        std::lock_guard lock(mutex_);
        bool lastOfStack = true;
        handles_.ForEach([&](const void*, const std::shared_ptr<OpenFile>& other) {
            lastOfStack = lastOfStack && other->physicalDeviceObject != file->physicalDeviceObject;
        });
        if (lastOfStack)
            callbacks = lastClosed_;
    }
    if (callbacks) {
        for (const auto& [id, cb] : *callbacks) {
            cb(file->physicalDeviceObject);
        }
    }
    if (file.use_count() == 1) { // gone from the table: nothing can take another hold now
        file->device = nullptr;
        file->physicalDeviceObject = nullptr;
        file->fileObject = nullptr;
        file->inFlight.store(0);
        file->closing.store(false);
        std::lock_guard lock(mutex_);
        spareFile_ = std::move(file);
    }
    SetLastError(0);
    return true;
}

std::size_t DeviceIo::OpenHandleCount(PDEVICE_OBJECT physicalDeviceObject) const {
    std::lock_guard lock(mutex_);
    std::size_t count = 0;
    handles_.ForEach([&](const void*, const std::shared_ptr<OpenFile>& file) {
        count += file->physicalDeviceObject == physicalDeviceObject ? 1 : 0;
    });
    return count;
}

std::size_t DeviceIo::OpenHandleCount() const {
    std::lock_guard lock(mutex_);
    return handles_.Size();
}

int DeviceIo::OnLastHandleClosed(std::function<void(PDEVICE_OBJECT)> cb) {
    std::lock_guard lock(mutex_);
    const int id = nextCallback_++;
    auto changed = std::make_shared<Callbacks>(*lastClosed_);
    (*changed)[id] = std::move(cb);
    lastClosed_ = std::move(changed);
    return id;
}

void DeviceIo::SetBetweenLookupAndCreate(std::function<void()> action) {
    betweenLookupAndCreate_ = std::move(action);
}

void DeviceIo::RemoveLastHandleClosed(int id) {
    std::lock_guard lock(mutex_);
    auto changed = std::make_shared<Callbacks>(*lastClosed_);
    changed->erase(id);
    lastClosed_ = std::move(changed);
}

} // namespace sim::win
