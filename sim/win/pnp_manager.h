// The Plug and Play manager of the simulated machine: it adds a function
// driver to a physical device object and walks the device stack through the
// Plug and Play requests the system sends, each to the top of the stack and
// waited for. A device that vanished is surprise-removed at once and
// removed when its last handle closes.
#pragma once

#include "sim/kernel/control.h"
#include "sim/win/device_io.h"

#include <functional>
#include <map>
#include <mutex>
#include <vector>

namespace sim::win {

enum class DeviceNodeState {
    Added,       // AddDevice ran, not started
    StartFailed, // the start request failed
    Started,
    StopPending, // query-stop succeeded
    Stopped,
    RemovePending, // query-remove succeeded
    SurpriseRemoved,
    Removed,
};
const char* DeviceNodeStateName(DeviceNodeState state);

struct PnpRequestLog {
    wdm::PDEVICE_OBJECT physicalDeviceObject;
    wdm::UCHAR minor;
    wdm::NTSTATUS status;
};

class PnpManager {
public:
    explicit PnpManager(DeviceIo& io);
    ~PnpManager();
    PnpManager(const PnpManager&) = delete;
    PnpManager& operator=(const PnpManager&) = delete;

    // AddDevice of `driver` for the PDO, then IRP_MN_START_DEVICE. Returns the
    // failing status of either step, or the start's status.
    wdm::NTSTATUS Plug(wdm::PDEVICE_OBJECT physicalDeviceObject, wdm::PDRIVER_OBJECT driver);

    // Single requests, as the system sends them.
    wdm::NTSTATUS Start(wdm::PDEVICE_OBJECT pdo);
    wdm::NTSTATUS QueryStop(wdm::PDEVICE_OBJECT pdo);
    wdm::NTSTATUS CancelStop(wdm::PDEVICE_OBJECT pdo);
    wdm::NTSTATUS Stop(wdm::PDEVICE_OBJECT pdo);
    wdm::NTSTATUS QueryRemove(wdm::PDEVICE_OBJECT pdo);
    wdm::NTSTATUS CancelRemove(wdm::PDEVICE_OBJECT pdo);
    wdm::NTSTATUS Remove(wdm::PDEVICE_OBJECT pdo);
    wdm::NTSTATUS QueryCapabilities(wdm::PDEVICE_OBJECT pdo, wdm::DEVICE_CAPABILITIES& caps);

    // Rebalancing: query-stop, then stop and start again; a refused
    // query-stop is cancelled and the device left running.
    wdm::NTSTATUS Rebalance(wdm::PDEVICE_OBJECT pdo);
    // Orderly removal: query-remove, then remove; a refused query is cancelled.
    wdm::NTSTATUS RemoveDevice(wdm::PDEVICE_OBJECT pdo);
    // The hardware has gone (tell the bus first): IRP_MN_SURPRISE_REMOVAL now,
    // IRP_MN_REMOVE_DEVICE once no handle to the stack is open.
    wdm::NTSTATUS SurpriseRemove(wdm::PDEVICE_OBJECT pdo);

    DeviceNodeState State(wdm::PDEVICE_OBJECT pdo) const;
    bool Known(wdm::PDEVICE_OBJECT pdo) const;
    std::vector<PnpRequestLog> Log() const;

private:
    struct Node {
        wdm::PDRIVER_OBJECT driver = nullptr;
        DeviceNodeState state = DeviceNodeState::Added;
        bool removeWhenClosed = false;
    };
    wdm::NTSTATUS Send(wdm::PDEVICE_OBJECT pdo, wdm::UCHAR minor,
                       const std::function<void(wdm::IO_STACK_LOCATION&)>& setup = {});
    void SetState(wdm::PDEVICE_OBJECT pdo, DeviceNodeState state);
    void LastHandleClosed(wdm::PDEVICE_OBJECT pdo);

    DeviceIo& io_;
    int callbackId_ = 0;
    mutable std::mutex mutex_;
    std::map<wdm::PDEVICE_OBJECT, Node> nodes_;
    std::vector<PnpRequestLog> log_;
};

} // namespace sim::win
