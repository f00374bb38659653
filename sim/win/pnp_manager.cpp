#include "sim/win/pnp_manager.h"

namespace sim::win {

using namespace sim::wdm;

const char* DeviceNodeStateName(DeviceNodeState state) {
    switch (state) {
    case DeviceNodeState::Added:
        return "added";
    case DeviceNodeState::StartFailed:
        return "start failed";
    case DeviceNodeState::Started:
        return "started";
    case DeviceNodeState::StopPending:
        return "stop pending";
    case DeviceNodeState::Stopped:
        return "stopped";
    case DeviceNodeState::RemovePending:
        return "remove pending";
    case DeviceNodeState::SurpriseRemoved:
        return "surprise removed";
    case DeviceNodeState::Removed:
        return "removed";
    }
    return "?";
}

PnpManager::PnpManager(DeviceIo& io) : io_(io) {
    callbackId_ = io_.OnLastHandleClosed([this](PDEVICE_OBJECT pdo) { LastHandleClosed(pdo); });
}

PnpManager::~PnpManager() {
    io_.RemoveLastHandleClosed(callbackId_);
}

NTSTATUS PnpManager::Send(PDEVICE_OBJECT pdo, UCHAR minor,
                          const std::function<void(IO_STACK_LOCATION&)>& setup) {
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    if (pdo != nullptr && kernel::IsDeviceAlive(pdo)) {
        kernel::IrpSpec spec;
        spec.majorFunction = IRP_MJ_PNP;
        spec.minorFunction = minor;
        spec.initialStatus = STATUS_NOT_SUPPORTED; // what no driver answered stays unsupported
        spec.setup = setup;
        const kernel::IoResult result = kernel::SendIrp(IoGetAttachedDevice(pdo), spec);
        status = result.completed ? result.status : STATUS_IO_TIMEOUT;
    }
    std::lock_guard lock(mutex_);
    log_.push_back({pdo, minor, status});
    return status;
}

void PnpManager::SetState(PDEVICE_OBJECT pdo, DeviceNodeState state) {
    std::lock_guard lock(mutex_);
    nodes_[pdo].state = state;
}

NTSTATUS PnpManager::Plug(PDEVICE_OBJECT pdo, PDRIVER_OBJECT driver) {
    if (pdo == nullptr || driver == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    {
        std::lock_guard lock(mutex_);
        Node node;
        node.driver = driver;
        nodes_[pdo] = node;
    }
    const NTSTATUS added = kernel::CallAddDevice(driver, pdo);
    if (!NT_SUCCESS(added)) {
        SetState(pdo, DeviceNodeState::StartFailed);
        return added;
    }
    return Start(pdo);
}

NTSTATUS PnpManager::Start(PDEVICE_OBJECT pdo) {
    const NTSTATUS status = Send(pdo, IRP_MN_START_DEVICE);
    SetState(pdo, NT_SUCCESS(status) ? DeviceNodeState::Started : DeviceNodeState::StartFailed);
    return status;
}

NTSTATUS PnpManager::QueryStop(PDEVICE_OBJECT pdo) {
    const NTSTATUS status = Send(pdo, IRP_MN_QUERY_STOP_DEVICE);
    if (NT_SUCCESS(status)) {
        SetState(pdo, DeviceNodeState::StopPending);
    }
    return status;
}

NTSTATUS PnpManager::CancelStop(PDEVICE_OBJECT pdo) {
    const NTSTATUS status = Send(pdo, IRP_MN_CANCEL_STOP_DEVICE);
    SetState(pdo, DeviceNodeState::Started);
    return status;
}

NTSTATUS PnpManager::Stop(PDEVICE_OBJECT pdo) {
    const NTSTATUS status = Send(pdo, IRP_MN_STOP_DEVICE);
    SetState(pdo, NT_SUCCESS(status) ? DeviceNodeState::Stopped : DeviceNodeState::Started);
    return status;
}

NTSTATUS PnpManager::QueryRemove(PDEVICE_OBJECT pdo) {
    const NTSTATUS status = Send(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
    if (NT_SUCCESS(status)) {
        SetState(pdo, DeviceNodeState::RemovePending);
    }
    return status;
}

NTSTATUS PnpManager::CancelRemove(PDEVICE_OBJECT pdo) {
    const NTSTATUS status = Send(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
    SetState(pdo, DeviceNodeState::Started);
    return status;
}

NTSTATUS PnpManager::Remove(PDEVICE_OBJECT pdo) {
    const NTSTATUS status = Send(pdo, IRP_MN_REMOVE_DEVICE);
    std::lock_guard lock(mutex_);
    nodes_[pdo].state = DeviceNodeState::Removed;
    nodes_[pdo].removeWhenClosed = false;
    return status;
}

NTSTATUS PnpManager::QueryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES& caps) {
    caps = DEVICE_CAPABILITIES{};
    caps.Size = sizeof(DEVICE_CAPABILITIES);
    caps.Version = 1;
    caps.Address = 0xFFFFFFFF;
    caps.UINumber = 0xFFFFFFFF;
    return Send(pdo, IRP_MN_QUERY_CAPABILITIES, [&](IO_STACK_LOCATION& stack) {
        stack.Parameters.DeviceCapabilities.Capabilities = &caps;
    });
}

NTSTATUS PnpManager::Rebalance(PDEVICE_OBJECT pdo) {
    const NTSTATUS query = QueryStop(pdo);
    if (!NT_SUCCESS(query)) {
        CancelStop(pdo);
        return query;
    }
    const NTSTATUS stop = Stop(pdo);
    if (!NT_SUCCESS(stop)) {
        return stop;
    }
    return Start(pdo);
}

NTSTATUS PnpManager::RemoveDevice(PDEVICE_OBJECT pdo) {
    const NTSTATUS query = QueryRemove(pdo);
    if (!NT_SUCCESS(query)) {
        CancelRemove(pdo);
        return query;
    }
    return Remove(pdo);
}

NTSTATUS PnpManager::SurpriseRemove(PDEVICE_OBJECT pdo) {
    const NTSTATUS status = Send(pdo, IRP_MN_SURPRISE_REMOVAL);
    {
        std::lock_guard lock(mutex_);
        Node& node = nodes_[pdo];
        node.state = DeviceNodeState::SurpriseRemoved;
        node.removeWhenClosed = true;
    }
    if (io_.OpenHandleCount(pdo) == 0) {
        LastHandleClosed(pdo);
    }
    return status;
}

void PnpManager::LastHandleClosed(PDEVICE_OBJECT pdo) {
    {
        std::lock_guard lock(mutex_);
        auto it = nodes_.find(pdo);
        if (it == nodes_.end() || !it->second.removeWhenClosed) {
            return;
        }
        it->second.removeWhenClosed = false; // the remove goes once
    }
    Remove(pdo);
}

DeviceNodeState PnpManager::State(PDEVICE_OBJECT pdo) const {
    std::lock_guard lock(mutex_);
    auto it = nodes_.find(pdo);
    return it == nodes_.end() ? DeviceNodeState::Removed : it->second.state;
}

bool PnpManager::Known(PDEVICE_OBJECT pdo) const {
    std::lock_guard lock(mutex_);
    return nodes_.count(pdo) != 0;
}

std::vector<PnpRequestLog> PnpManager::Log() const {
    std::lock_guard lock(mutex_);
    return log_;
}

} // namespace sim::win
