#include "sim/win/power_manager.h"

#include <chrono>
#include <cstdio>

namespace sim::win {

using namespace sim::wdm;

namespace {

NTSTATUS SendSystemPower(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state) {
    if (pdo == nullptr || !kernel::IsDeviceAlive(pdo)) {
        return STATUS_NO_SUCH_DEVICE;
    }
    kernel::IrpSpec spec;
    spec.majorFunction = IRP_MJ_POWER;
    spec.minorFunction = minor;
    spec.initialStatus = STATUS_NOT_SUPPORTED;
    spec.setup = [state](IO_STACK_LOCATION& stack) {
        stack.Parameters.Power.SystemContext = 0;
        stack.Parameters.Power.Type = SystemPowerState;
        stack.Parameters.Power.State.SystemState = state;
        stack.Parameters.Power.ShutdownType = state == PowerSystemWorking     ? PowerActionNone
                                              : state == PowerSystemShutdown  ? PowerActionShutdown
                                              : state == PowerSystemHibernate ? PowerActionHibernate
                                                                              : PowerActionSleep;
    };
    const kernel::IoResult result = kernel::SendIrp(IoGetAttachedDevice(pdo), spec);
    return result.completed ? result.status : STATUS_IO_TIMEOUT;
}

struct DeviceRequestWait {
    std::mutex mutex;
    std::condition_variable done;
    DevicePowerRequest result;
};

void NTAPI DeviceRequestComplete(PDEVICE_OBJECT, UCHAR, POWER_STATE state, PVOID context,
                                 PIO_STATUS_BLOCK status) {
    auto* wait = static_cast<DeviceRequestWait*>(context);
    // Notified under the lock: the waiter may drop the record as soon as it sees it done.
    std::lock_guard lock(wait->mutex);
    wait->result.completed = true;
    wait->result.status = status != nullptr ? status->Status : STATUS_UNSUCCESSFUL;
    wait->result.reached = state;
    wait->done.notify_all();
}

} // namespace

NTSTATUS PowerManager::SetSystemPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
    return SendSystemPower(pdo, IRP_MN_SET_POWER, state);
}

NTSTATUS PowerManager::QuerySystemPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
    return SendSystemPower(pdo, IRP_MN_QUERY_POWER, state);
}

NTSTATUS PowerManager::Sleep(const std::vector<PDEVICE_OBJECT>& devices, SYSTEM_POWER_STATE state) {
    for (PDEVICE_OBJECT pdo : devices) {
        const NTSTATUS status = QuerySystemPower(pdo, state);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    NTSTATUS last = STATUS_SUCCESS;
    for (PDEVICE_OBJECT pdo : devices) {
        const NTSTATUS status = SetSystemPower(pdo, state);
        if (!NT_SUCCESS(status)) {
            last = status; // a set request cannot be refused; the failure is only reported
        }
    }
    std::lock_guard lock(mutex_);
    system_ = state;
    return last;
}

NTSTATUS PowerManager::Wake(const std::vector<PDEVICE_OBJECT>& devices) {
    NTSTATUS last = STATUS_SUCCESS;
    for (PDEVICE_OBJECT pdo : devices) {
        const NTSTATUS status = SetSystemPower(pdo, PowerSystemWorking);
        if (!NT_SUCCESS(status)) {
            last = status;
        }
    }
    std::lock_guard lock(mutex_);
    system_ = PowerSystemWorking;
    return last;
}

SYSTEM_POWER_STATE PowerManager::SystemState() const {
    std::lock_guard lock(mutex_);
    return system_;
}

DevicePowerRequest PowerManager::RequestDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state,
                                                    unsigned milliseconds) {
    // Shared with the completion function, which may run after we stop waiting.
    static std::mutex keepMutex;
    static std::vector<std::shared_ptr<DeviceRequestWait>> keep;
    auto wait = std::make_shared<DeviceRequestWait>();
    POWER_STATE power{};
    power.DeviceState = state;
    const NTSTATUS issued =
        PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, power, DeviceRequestComplete, wait.get(), nullptr);
    std::unique_lock lock(wait->mutex);
    wait->result.issueStatus = issued;
    if (issued == STATUS_PENDING || NT_SUCCESS(issued)) {
        wait->done.wait_for(lock, std::chrono::milliseconds(milliseconds),
                            [&] { return wait->result.completed; });
    }
    DevicePowerRequest result = wait->result;
    if (!result.completed && (issued == STATUS_PENDING || NT_SUCCESS(issued))) {
        std::lock_guard keepLock(keepMutex);
        keep.push_back(wait);
    }
    return result;
}

// ---- Wait-wake ----------------------------------------------------------------------------------

void NTAPI WakeRequest::Complete(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context,
                                 PIO_STATUS_BLOCK status) {
    auto* request = static_cast<WakeRequest*>(context);
    std::lock_guard lock(request->mutex_);
    request->done_ = true;
    request->status_ = status != nullptr ? status->Status : STATUS_UNSUCCESSFUL;
    request->changed_.notify_all();
}

bool WakeRequest::Done() const {
    std::lock_guard lock(mutex_);
    return done_;
}

NTSTATUS WakeRequest::Status() const {
    std::lock_guard lock(mutex_);
    return done_                                       ? status_
           : issued_ && issueStatus_ != STATUS_PENDING ? issueStatus_
                                                       : STATUS_PENDING;
}

bool WakeRequest::WaitDone(unsigned milliseconds) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] { return done_; });
}

std::shared_ptr<WakeRequest> PowerManager::ArmWake(PDEVICE_OBJECT pdo,
                                                   SYSTEM_POWER_STATE deepestWakeState) {
    auto request = std::make_shared<WakeRequest>();
    WakeRequest* raw = request.get();
    {
        std::lock_guard lock(mutex_);
        wakes_.push_back(request);
    }
    raw->sender_ = std::thread([raw, pdo, deepestWakeState] {
        POWER_STATE power{};
        power.SystemState = deepestWakeState;
        const NTSTATUS issued =
            PoRequestPowerIrp(pdo, IRP_MN_WAIT_WAKE, power, WakeRequest::Complete, raw, nullptr);
        std::lock_guard lock(raw->mutex_);
        raw->issued_ = true;
        raw->issueStatus_ = issued;
        raw->changed_.notify_all();
    });
    return request;
}

PowerManager::~PowerManager() {
    std::vector<std::shared_ptr<WakeRequest>> wakes;
    {
        std::lock_guard lock(mutex_);
        wakes.swap(wakes_);
    }
    for (auto& w : wakes) {
        bool returned = false;
        {
            std::unique_lock lock(w->mutex_);
            returned =
                w->changed_.wait_for(lock, std::chrono::seconds(2), [&] { return w->issued_; });
        }
        if (returned) {
            w->sender_.join();
        } else {
            // A driver still holds the sender; the thread keeps its request alive.
            std::fprintf(stderr, "power manager: a wait-wake sender never returned\n");
            new std::shared_ptr<WakeRequest>(w); // deliberately kept for the detached thread
            w->sender_.detach();
        }
    }
}

} // namespace sim::win
