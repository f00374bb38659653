// Driver objects, the driver context of each thread, the deferred-work thread, the I/O manager's
// own requests, and reset.
#include "sim/kernel/internal.h"

#include <algorithm>
#include <atomic>
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

thread_local std::vector<std::function<void()>>* t_afterDispatchItem = nullptr;
} // namespace detail

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
// Changes whenever g_drivers gains a driver or is cleared, so that what a thread looked up
// there can be kept until then.
std::atomic<uint64_t> g_driversGeneration{1};

// ---- Deferred work ----

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
        g_orderedDispatchWork.store(on);
    }

    // The items that this thread queued may run now.
    void ReleaseOwnedBy(std::thread::id owner) {
        std::lock_guard lock(mutex_);
        ReleaseLocked([owner](const Item& item) { return item.owner == owner; });
    }

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

} // namespace

// ---- Driver context ----

namespace detail {

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
    // A driver's tag is set once, when it is loaded: the last one this thread looked up is
    // kept, as drivers allocate pool many times in a row.
    struct KnownTag {
        PDRIVER_OBJECT driver = nullptr;
        ULONG tag = 0;
        uint64_t generation = 0;
    };
    thread_local KnownTag t_known;
    const uint64_t generation = g_driversGeneration.load(std::memory_order_acquire);
    if (t_known.driver == driver && t_known.generation == generation)
        return t_known.tag;
    std::lock_guard lock(g_driverMutex);
    DriverRecord* record = FindDriverLocked(driver);
    const ULONG tag = record != nullptr ? record->config.poolTag : 0;
    t_known = {driver, tag, generation};
    return tag;
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
    g_driversGeneration.fetch_add(1, std::memory_order_release);
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
        g_driversGeneration.fetch_add(1, std::memory_order_release);
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

void ReleaseOwnDispatchWork() {
    TheWorker().ReleaseOwnedBy(std::this_thread::get_id());
}

} // namespace detail

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
    ResetFileObjects();
    ResetSync();
    ResetVerifier();
    SetCompletionWaitLimit(10000);
}

} // namespace sim::kernel
