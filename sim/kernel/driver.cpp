// Driver objects, the driver context of each thread, the deferred-work thread, the I/O manager's
// own requests, and reset.
#include "sim/kernel/internal.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

namespace sim::kernel {

using namespace sim::wdm;
using namespace detail;

namespace detail {
PDRIVER_DISPATCH DefaultDispatch();
}

namespace {

struct DriverRecord {
    DriverConfig config;
    std::u16string registryPath;
    std::u16string name;
    UNICODE_STRING registryPathString{};
    DRIVER_EXTENSION extension{};
    // Held by AddDevice calls and by the check made when the driver's last device object goes,
    // so that the check never counts what an AddDevice allocated before its device existed. A
    // check on the thread of an AddDevice (one that deletes its own device) is made when that
    // returns. Both fields below are guarded by it.
    std::recursive_mutex lifecycle;
    unsigned addingDevices = 0;
    bool lastDeviceCheckDue = false;
};

detail::ShortLock g_driverMutex;
std::map<PDRIVER_OBJECT, std::unique_ptr<DriverRecord>> g_drivers;

thread_local std::vector<PDRIVER_OBJECT> t_context;

std::atomic<unsigned> g_waitLimitMs{10000};

// ---- Deferred work ----

// While the dispatch worker runs an item: the requester wake-ups it defers.
thread_local std::vector<std::function<void()>>* t_afterDispatchItem = nullptr;

class Worker {
public:
    ~Worker() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }

    void Queue(std::function<void()> work, unsigned delayMicroseconds, PDRIVER_OBJECT driver) {
        std::lock_guard lock(mutex_);
        if (!thread_.joinable())
            thread_ = std::thread([this] { Run(); });
        const auto delay = std::chrono::microseconds(delayMicroseconds);
        Item item{std::move(work), driver, std::this_thread::get_id(), false};
        TimePoint due;
        if (ordered_) {
            // Virtual time: the item is due after those queued before it with a shorter delay.
            // Queued from outside the worker, it waits for its requester to wait or to leave
            // its driver call, so that it never runs inside the dispatch that queued it.
            due = TimePoint{} + virtualNow_ + delay;
            item.held = delayMicroseconds > 0 && item.owner != thread_.get_id();
        } else {
            due = std::chrono::steady_clock::now() + delay;
        }
        items_.emplace(std::make_pair(due, sequence_++), std::move(item));
        changed_.notify_all();
    }

    void Drain() {
        std::unique_lock lock(mutex_);
        ReleaseLocked([](const Item&) { return true; });
        idle_.wait(lock, [this] { return items_.empty() && !running_; });
    }

    void SetOrdered(bool on) {
        std::lock_guard lock(mutex_);
        ordered_ = on;
        virtualNow_ = {};
        if (!on)
            ReleaseLocked([](const Item&) { return true; });
        g_orderedWork.store(on);
    }

    // The items that this thread queued may run now.
    void ReleaseOwnedBy(std::thread::id owner) {
        std::lock_guard lock(mutex_);
        ReleaseLocked([owner](const Item& item) { return item.owner == owner; });
    }

    // Whether any worker is in ordered mode: a lock-free test for the hooks that release items.
    static inline std::atomic<bool> g_orderedWork{false};

private:
    using TimePoint = std::chrono::steady_clock::time_point;
    struct Item {
        std::function<void()> work;
        PDRIVER_OBJECT driver;
        std::thread::id owner; // the thread that queued it
        bool held;             // ordered mode: not yet released by its owner
    };

    template <typename Match>
    void ReleaseLocked(Match match) {
        bool any = false;
        for (auto& [key, item] : items_) {
            if (item.held && match(item)) {
                item.held = false;
                any = true;
            }
        }
        if (any)
            changed_.notify_all();
    }

    void Run() {
        std::unique_lock lock(mutex_);
        while (true) {
            if (stopping_)
                return;
            if (items_.empty()) {
                changed_.wait(lock);
                continue;
            }
            auto first = items_.begin();
            if (ordered_) {
                // Due order in virtual time, among the items released so far.
                while (first != items_.end() && first->second.held)
                    ++first;
                if (first == items_.end()) {
                    changed_.wait(lock);
                    continue;
                }
                virtualNow_ = std::max(virtualNow_, first->first.first - TimePoint{});
            } else if (first->first.first > std::chrono::steady_clock::now()) {
                changed_.wait_until(lock, first->first.first);
                continue;
            }
            Item item = std::move(first->second);
            items_.erase(first);
            running_ = true;
            lock.unlock();
            {
                // Requesters whose requests this item finishes wake only once it has
                // returned: on Windows the requester's final completion runs after the
                // completing DPC, which nothing preempts for long.
                std::vector<std::function<void()>> wakeups;
                t_afterDispatchItem = &wakeups;
                {
                    DriverScope scope(item.driver);
                    RunAtIrql(DISPATCH_LEVEL, item.work);
                }
                t_afterDispatchItem = nullptr;
                for (auto& wake : wakeups)
                    wake();
            }
            lock.lock();
            running_ = false;
            if (items_.empty())
                idle_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::condition_variable idle_;
    std::map<std::pair<std::chrono::steady_clock::time_point, uint64_t>, Item> items_;
    uint64_t sequence_ = 0;
    bool ordered_ = false;
    std::chrono::steady_clock::duration virtualNow_{};
    bool running_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

Worker& TheWorker() {
    static Worker worker;
    return worker;
}

DriverRecord* FindDriverLocked(PDRIVER_OBJECT driver) {
    auto it = g_drivers.find(driver);
    return it == g_drivers.end() ? nullptr : it->second.get();
}

std::string StatusText(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

} // namespace

// ---- Driver context ----

namespace detail {

PDRIVER_OBJECT CurrentDriver() {
    return t_context.empty() ? nullptr : t_context.back();
}

DriverScope::DriverScope(PDRIVER_OBJECT driver) {
    t_context.push_back(driver);
}
DriverScope::~DriverScope() {
    t_context.pop_back();
}

std::string DriverName(PDRIVER_OBJECT driver) {
    if (driver == nullptr)
        return "the system";
    std::lock_guard lock(g_driverMutex);
    DriverRecord* record = FindDriverLocked(driver);
    return record != nullptr ? "driver '" + record->config.name + "'" : "an unknown driver";
}

ULONG DriverPoolTag(PDRIVER_OBJECT driver) {
    if (driver == nullptr)
        return 0;
    std::lock_guard lock(g_driverMutex);
    DriverRecord* record = FindDriverLocked(driver);
    return record != nullptr ? record->config.poolTag : 0;
}

void OnLastDeviceDeleted(PDRIVER_OBJECT driver) {
    DriverRecord* record = nullptr;
    {
        std::lock_guard lock(g_driverMutex);
        record = FindDriverLocked(driver);
    }
    std::unique_lock<std::recursive_mutex> life;
    if (record != nullptr) {
        life = std::unique_lock(record->lifecycle);
        if (record->addingDevices != 0) {
            record->lastDeviceCheckDue = true; // made when the AddDevice returns
            return;
        }
        if (!NoDeviceLeft(driver))
            return; // a device was added since the last one went
    }
    ReportPoolLeaks(driver, "by the time its last device object was deleted");
    ReportLeakedIrps(driver);
}

void ResetDrivers() {
    std::lock_guard lock(g_driverMutex);
    for (auto& [object, record] : g_drivers)
        std::free(object);
    g_drivers.clear();
}

std::u16string ToU16(std::string_view text) {
    std::u16string out;
    for (char c : text)
        out.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    return out;
}

std::string ToU8(std::u16string_view text) {
    std::string out;
    for (char16_t c : text)
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

std::u16string LowerU16(std::u16string_view text) {
    std::u16string out(text);
    for (char16_t& c : out) {
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
    }
    return out;
}

std::string IrpName(UCHAR major, UCHAR minor) {
    static const char* const majors[] = {"CREATE",
                                         "CREATE_NAMED_PIPE",
                                         "CLOSE",
                                         "READ",
                                         "WRITE",
                                         "QUERY_INFORMATION",
                                         "SET_INFORMATION",
                                         "QUERY_EA",
                                         "SET_EA",
                                         "FLUSH_BUFFERS",
                                         "QUERY_VOLUME_INFORMATION",
                                         "SET_VOLUME_INFORMATION",
                                         "DIRECTORY_CONTROL",
                                         "FILE_SYSTEM_CONTROL",
                                         "DEVICE_CONTROL",
                                         "INTERNAL_DEVICE_CONTROL",
                                         "SHUTDOWN",
                                         "LOCK_CONTROL",
                                         "CLEANUP",
                                         "CREATE_MAILSLOT",
                                         "QUERY_SECURITY",
                                         "SET_SECURITY",
                                         "POWER",
                                         "SYSTEM_CONTROL",
                                         "DEVICE_CHANGE",
                                         "QUERY_QUOTA",
                                         "SET_QUOTA",
                                         "PNP"};
    std::string text = "IRP_MJ_";
    text += major <= IRP_MJ_MAXIMUM_FUNCTION ? majors[major] : "?";
    if (major == IRP_MJ_PNP || major == IRP_MJ_POWER) {
        text += " minor " + std::to_string(minor);
    }
    return text;
}

} // namespace detail

// ---- Drivers ----

PDRIVER_OBJECT CreateDriver(const DriverConfig& config, const DriverEntryRoutine& entry,
                            NTSTATUS* entryStatus) {
    auto object = static_cast<PDRIVER_OBJECT>(std::calloc(1, sizeof(DRIVER_OBJECT)));
    auto record = std::make_unique<DriverRecord>();
    record->config = config;
    record->registryPath = config.registryPath;
    record->name = u"\\Driver\\" + ToU16(config.name);
    record->registryPathString.Buffer = record->registryPath.data();
    record->registryPathString.Length =
        static_cast<USHORT>(record->registryPath.size() * sizeof(WCHAR));
    record->registryPathString.MaximumLength = record->registryPathString.Length;
    record->extension.DriverObject = object;
    object->Type = 4; // IO_TYPE_DRIVER
    object->Size = sizeof(DRIVER_OBJECT);
    object->DriverExtension = &record->extension;
    object->DriverName.Buffer = record->name.data();
    object->DriverName.Length = static_cast<USHORT>(record->name.size() * sizeof(WCHAR));
    object->DriverName.MaximumLength = object->DriverName.Length;
    for (auto& slot : object->MajorFunction)
        slot = DefaultDispatch();
    PUNICODE_STRING registryPath = &record->registryPathString;
    {
        std::lock_guard lock(g_driverMutex);
        g_drivers[object] = std::move(record);
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (entry) {
        DriverScope scope(object);
        RunAtIrql(PASSIVE_LEVEL, [&] { status = entry(object, registryPath); });
    }
    if (entryStatus != nullptr)
        *entryStatus = status;
    return object;
}

NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDeviceObject) {
    if (driver == nullptr || driver->DriverExtension == nullptr ||
        driver->DriverExtension->AddDevice == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    NTSTATUS status = STATUS_SUCCESS;
    DriverRecord* record = nullptr;
    {
        std::lock_guard lock(g_driverMutex);
        record = FindDriverLocked(driver);
    }
    std::unique_lock<std::recursive_mutex> life;
    if (record != nullptr) {
        life = std::unique_lock(record->lifecycle);
        ++record->addingDevices;
    }
    {
        DriverScope scope(driver);
        RunAtIrql(PASSIVE_LEVEL, [&] {
            status = driver->DriverExtension->AddDevice(driver, physicalDeviceObject);
        });
    }
    if (record != nullptr && --record->addingDevices == 0 &&
        std::exchange(record->lastDeviceCheckDue, false)) {
        OnLastDeviceDeleted(driver);
    }
    return status;
}

void UnloadDriver(PDRIVER_OBJECT driver) {
    {
        std::lock_guard lock(g_driverMutex);
        if (FindDriverLocked(driver) == nullptr)
            return;
    }
    if (driver->DeviceObject != nullptr) {
        Report(ViolationKind::BadArgument,
               DriverName(driver) + " unloaded while it still has device objects");
    }
    if (driver->DriverUnload != nullptr) {
        DriverScope scope(driver);
        RunAtIrql(PASSIVE_LEVEL, [&] { driver->DriverUnload(driver); });
    }
    ReportPoolLeaks(driver, "by the time it was unloaded");
    std::lock_guard lock(g_driverMutex);
    // The object stays allocated until reset: device objects may still point at it.
    g_drivers[driver]->config.name += " (unloaded)";
}

void RunInDriverContext(PDRIVER_OBJECT driver, const std::function<void()>& code) {
    DriverScope scope(driver);
    code();
}

// ---- Deferred work ----

void QueueDispatchWork(std::function<void()> work, unsigned delayMicroseconds) {
    TheWorker().Queue(std::move(work), delayMicroseconds, CurrentDriver());
}

void DrainDispatchWork() {
    TheWorker().Drain();
}

void SetOrderedDispatchWork(bool on) {
    TheWorker().SetOrdered(on);
}

namespace detail {

void ReleaseDispatchWorkOfThisThread() {
    if (Worker::g_orderedWork.load(std::memory_order_relaxed))
        TheWorker().ReleaseOwnedBy(std::this_thread::get_id());
}

} // namespace detail

// ---- The I/O manager's requests ----

void SetCompletionWaitLimit(unsigned milliseconds) {
    g_waitLimitMs = milliseconds;
}

namespace {

// Buffers up to this size live in the request's shared state itself: the system buffer of a
// buffered request (a separate buffer still, as the I/O manager allocates one) and the output
// that SendIrp's caller reads. Under AddressSanitizer the system buffer is always a heap block
// of its own, so that a driver that overruns it is stopped there.
constexpr size_t kInlineBuffer = 64;

// What a request sent by the I/O manager needs at its final completion, shared by the sender and
// the completion (which may come first, or later in another thread), and by SendIrp's wait. One
// allocation a request, freed by whichever of its holders lets go of it last.
struct PendingIo {
    std::atomic<unsigned> holders{2}; // the sender and the request
    std::atomic<NTSTATUS> dispatchStatus{STATUS_PENDING};
    std::atomic<bool> finished{false};
    UCHAR majorFunction = 0;
    UCHAR minorFunction = 0;
    bool buffered = false;
    bool create = false;
    bool systemOnHeap = false;
    PFILE_OBJECT fileObject = nullptr;
    void* output = nullptr;
    ULONG outputLength = 0;
    void* systemBuffer = nullptr;
    std::thread::id requester;
    std::function<void(IoResult)> done;

    // SendIrp's wait: the final result, and whether it has come.
    bool waited = false;
    bool sent = false; // reached IofCallDriver: a completion may come
    std::atomic<bool> woken{false};
    std::mutex mutex;
    std::condition_variable wake;
    IoResult result{};
    std::vector<uint8_t> largeOutput;
    alignas(std::max_align_t) unsigned char inlineOutput[kInlineBuffer];
    alignas(std::max_align_t) unsigned char inlineSystem[kInlineBuffer]; // as aligned as the heap

    PendingIo() = default;
    PendingIo(const PendingIo&) = delete;
    PendingIo& operator=(const PendingIo&) = delete;
    ~PendingIo() { FreeSystemBuffer(); } // a request never completed

    void FreeSystemBuffer() {
        if (systemOnHeap)
            std::free(systemBuffer);
        systemBuffer = nullptr;
        systemOnHeap = false;
    }
};

// States let go of, kept for new requests: renewed in place instead of allocated. A plain array,
// which outlives the static destructors, so that the states in it stay reachable to the end.
constexpr size_t kSparePendingIo = 16;
ShortLock g_spareIoLock;
PendingIo* g_spareIo[kSparePendingIo];
size_t g_spareIoCount = 0;

PendingIo* NewPendingIo() {
    {
        std::lock_guard lock(g_spareIoLock);
        if (g_spareIoCount != 0)
            return new (g_spareIo[--g_spareIoCount]) PendingIo;
    }
    return new PendingIo;
}

void ReleasePendingIo(PendingIo* io) {
    if (io->holders.fetch_sub(1, std::memory_order_acq_rel) != 1)
        return;
    if (!io->largeOutput.empty()) {
        delete io; // its large output goes with it
        return;
    }
    io->~PendingIo();
    {
        std::lock_guard lock(g_spareIoLock);
        if (g_spareIoCount < kSparePendingIo) {
            g_spareIo[g_spareIoCount++] = io;
            return;
        }
    }
    ::operator delete(io);
}

// Hands the final result to SendIrp's wait.
void WakeWaiter(PendingIo& io, const IoResult& result) {
    {
        std::lock_guard lock(io.mutex);
        io.result = result;
        io.woken.store(true, std::memory_order_release);
    }
    io.wake.notify_all();
}

void FinishPendingIo(PIRP irp, void* context) {
    PendingIo& io = *static_cast<PendingIo*>(context);
    IoResult result{io.dispatchStatus.load(), irp->IoStatus.Status, irp->IoStatus.Information,
                    true};
    if (io.create && !NT_SUCCESS(result.status))
        ReleaseFileReference(io.fileObject); // a failed open holds nothing
    if (io.buffered) {
        if (result.information > io.outputLength) {
            Report(ViolationKind::InformationTooLarge,
                   IrpName(io.majorFunction, io.minorFunction) + " completed with Information " +
                       std::to_string(result.information) + " for an output buffer of " +
                       std::to_string(io.outputLength) + " bytes");
        }
        ULONG_PTR count = std::min<ULONG_PTR>(result.information, io.outputLength);
        if (io.output != nullptr && count != 0 && !NT_ERROR(result.status)) {
            std::memcpy(io.output, io.systemBuffer, count);
        }
    }
    io.FreeSystemBuffer();
    ReleaseSystemIrp(irp);
    io.finished.store(true);
    const bool elsewhere = std::this_thread::get_id() != io.requester;
    if (io.waited) {
        if (!elsewhere) {
            // The requester runs this itself, so it is not waiting yet: no wake is needed.
            io.result = result;
            io.woken.store(true, std::memory_order_release);
        } else if (t_afterDispatchItem != nullptr) {
            io.holders.fetch_add(1, std::memory_order_relaxed);
            PendingIo* held = &io;
            t_afterDispatchItem->push_back([held, result] {
                WakeWaiter(*held, result);
                ReleasePendingIo(held);
            });
        } else {
            WakeWaiter(io, result);
        }
    } else if (io.done) {
        if (t_afterDispatchItem != nullptr && elsewhere)
            t_afterDispatchItem->push_back([done = io.done, result] { done(result); });
        else
            io.done(result);
    }
    ReleasePendingIo(&io);
}

// A request never completed lets go of its state when the kernel is reset.
void DiscardPendingIo(void* context) {
    ReleasePendingIo(static_cast<PendingIo*>(context));
}

// Sends the request that `io` (held twice: by the caller, and for the request) describes, with
// the output buffer that the request writes to. Lets go of the request's hold if it never starts.
NTSTATUS StartIo(PDEVICE_OBJECT target, const IrpSpec& spec, PendingIo* io) {
    if (!IsDeviceObjectValid(target)) {
        Report(ViolationKind::BadArgument, "request sent to a deleted or unknown device");
        ReleasePendingIo(io);
        return STATUS_NO_SUCH_DEVICE;
    }
    const bool create = spec.majorFunction == IRP_MJ_CREATE && spec.fileObject != nullptr;
    if (spec.majorFunction == IRP_MJ_CREATE && IsDeviceDeletePending(target)) {
        // The I/O manager refuses new opens of a device being deleted; its driver never sees them.
        const IoResult refused{STATUS_DELETE_PENDING, STATUS_DELETE_PENDING, 0, true};
        if (io->waited) {
            io->result = refused;
            io->woken.store(true, std::memory_order_release);
        } else if (io->done) {
            io->done(refused);
        }
        ReleasePendingIo(io);
        return STATUS_DELETE_PENDING;
    }
    if (create) {
        // The file object holds the device from its open until the file object goes.
        ReferenceDeviceForFile(spec.fileObject, target);
    }
    io->majorFunction = spec.majorFunction;
    io->minorFunction = spec.minorFunction;
    io->buffered = spec.buffered;
    io->create = create;
    io->fileObject = spec.fileObject;
    io->outputLength = spec.outputLength;
    io->requester = std::this_thread::get_id();
    const ULONG systemLength = std::max(spec.inputLength, spec.outputLength);
    if (spec.buffered && systemLength != 0) {
        if (!SIM_ASAN && systemLength <= kInlineBuffer) {
            io->systemBuffer = io->inlineSystem;
            std::memset(io->systemBuffer, 0, systemLength);
        } else {
            io->systemBuffer = std::calloc(1, systemLength);
            io->systemOnHeap = io->systemBuffer != nullptr;
        }
        if (io->systemBuffer != nullptr && spec.input != nullptr)
            std::memcpy(io->systemBuffer, spec.input, spec.inputLength);
    }
    PIRP irp = nullptr;
    if (!spec.buffered || systemLength == 0 || io->systemBuffer != nullptr)
        irp = AllocateIrp(target->StackSize, IrpOwner::System, nullptr, &FinishPendingIo, io,
                          &DiscardPendingIo);
    if (irp == nullptr) {
        io->FreeSystemBuffer();
        if (create)
            ReleaseFileReference(spec.fileObject);
        ReleasePendingIo(io);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = spec.initialStatus;
    irp->AssociatedIrp.SystemBuffer = io->systemBuffer;
    irp->UserBuffer = spec.buffered ? nullptr : io->output;
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = spec.fileObject;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = spec.majorFunction;
    next->MinorFunction = spec.minorFunction;
    next->FileObject = spec.fileObject;
    if (spec.deviceControl) {
        next->Parameters.DeviceIoControl.IoControlCode = spec.ioControlCode;
        next->Parameters.DeviceIoControl.InputBufferLength = spec.inputLength;
        next->Parameters.DeviceIoControl.OutputBufferLength = spec.outputLength;
        if (METHOD_FROM_CTL_CODE(spec.ioControlCode) == METHOD_NEITHER) {
            next->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(spec.input);
        }
    }
    if (spec.setup)
        spec.setup(*next);

    io->sent = true;
    NTSTATUS status = IofCallDriver(target, irp);
    io->dispatchStatus.store(status);
    if (status != STATUS_PENDING && !io->finished.load()) {
        Report(ViolationKind::ReturnedWithoutCompleting,
               DriverName(target->DriverObject) + " returned " + StatusText(status) + " for " +
                   IrpName(spec.majorFunction, spec.minorFunction) +
                   " without completing the request");
    }
    return status;
}

} // namespace

NTSTATUS SendIrpAsync(PDEVICE_OBJECT target, const IrpSpec& spec,
                      std::function<void(IoResult)> done) {
    PendingIo* io = NewPendingIo();
    io->output = spec.output;
    io->done = std::move(done);
    const NTSTATUS status = StartIo(target, spec, io);
    ReleasePendingIo(io);
    return status;
}

IoResult SendIrp(PDEVICE_OBJECT target, const IrpSpec& spec) {
    // Output goes to a buffer held in the shared state, so a late completion never writes to
    // the caller. Small outputs (a vendor request's) fit in the shared state itself.
    PendingIo* io = NewPendingIo();
    io->waited = true;
    unsigned char* jointOutput = io->inlineOutput;
    if (spec.outputLength > kInlineBuffer) {
        io->largeOutput.resize(spec.outputLength);
        jointOutput = io->largeOutput.data();
    } else if (spec.outputLength != 0) {
        std::memset(jointOutput, 0, spec.outputLength);
    }
    io->output = spec.output != nullptr ? jointOutput : nullptr;
    if (!spec.buffered && spec.output != nullptr)
        io->output = spec.output;
    const NTSTATUS dispatch = StartIo(target, spec, io);
    ReleaseDispatchWorkOfThisThread(); // the requester waits from here on
    bool finished = io->woken.load(std::memory_order_acquire);
    if (!finished && io->sent) { // one never sent is never completed
        std::unique_lock lock(io->mutex);
        finished = io->wake.wait_for(lock, std::chrono::milliseconds(g_waitLimitMs.load()), [io] {
            return io->woken.load(std::memory_order_acquire);
        });
    }
    if (!finished) {
        if (dispatch != STATUS_NO_SUCH_DEVICE && dispatch != STATUS_INSUFFICIENT_RESOURCES) {
            Report(ViolationKind::NeverCompleted, IrpName(spec.majorFunction, spec.minorFunction) +
                                                      " was not completed within " +
                                                      std::to_string(g_waitLimitMs.load()) + " ms");
        }
        ReleasePendingIo(io);
        return IoResult{dispatch, dispatch, 0, false};
    }
    IoResult result = io->result;
    result.dispatchStatus = dispatch;
    if (spec.buffered && spec.output != nullptr) {
        size_t count = std::min<size_t>(result.information, spec.outputLength);
        if (!NT_ERROR(result.status) && count != 0)
            std::memcpy(spec.output, jointOutput, count);
    }
    ReleasePendingIo(io);
    return result;
}

// ---- Reset ----

void CheckEndOfRun(std::string_view when) {
    DrainDispatchWork();
    const std::string text(when);
    ReportIrpsLeftAtEnd(text);
    ReportDevicesLeftAtEnd(text);
    ReportPoolLeftAtEnd(text);
}

void ResetAll() {
    SetOrderedDispatchWork(false);
    DrainDispatchWork();
    ClearInterlockedHook();
    ResetIrps();
    ResetDevices();
    ResetDrivers();
    ResetPool();
    ResetSync();
    ResetVerifier();
    g_waitLimitMs = 10000;
}

} // namespace sim::kernel
