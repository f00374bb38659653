// The bus driver's Plug and Play and power requests, and the wait-wake request it holds until
// the device signals wake, leaves or the request is cancelled.
#include "sim/usb/usb_bus.h"

#include <utility>

namespace sim::usb {

using namespace sim::wdm;

bool UsbDevice::SignalWake() {
    PIRP irp = nullptr;
    {
        std::lock_guard lock(mutex_);
        irp = std::exchange(waitWake_, nullptr);
    }
    if (irp == nullptr) {
        return false;
    }
    // The cancel routine owns the request if it got there first.
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
        return false;
    }
    kernel::QueueDispatchWork([this, irp] {
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        RecordPdoRequest({IRP_MJ_POWER, IRP_MN_WAIT_WAKE, -1, 0, STATUS_SUCCESS});
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    });
    return true;
}

bool UsbDevice::WaitWakePending() const {
    std::lock_guard lock(mutex_);
    return waitWake_ != nullptr;
}

void UsbDevice::FailWaitWake(NTSTATUS status) {
    PIRP irp = nullptr;
    {
        std::lock_guard lock(mutex_);
        irp = std::exchange(waitWake_, nullptr);
    }
    if (irp == nullptr || IoSetCancelRoutine(irp, nullptr) == nullptr) {
        return;
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    RecordPdoRequest({IRP_MJ_POWER, IRP_MN_WAIT_WAKE, -1, 0, status});
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

void NTAPI UsbDevice::CancelWaitWake(PDEVICE_OBJECT device, PIRP irp) {
    // Called with the cancel spin lock held; nothing here needs it.
    IoReleaseCancelSpinLock(irp->CancelIrql);
    UsbBus::FromPdo(device)->FinishCancelledWaitWake(irp);
}

void UsbDevice::FinishCancelledWaitWake(PIRP irp) {
    UsbDevice* self = this;
    {
        std::lock_guard lock(self->mutex_);
        if (self->waitWake_ == irp) {
            self->waitWake_ = nullptr;
        }
    }
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    self->RecordPdoRequest({IRP_MJ_POWER, IRP_MN_WAIT_WAKE, -1, 0, STATUS_CANCELLED});
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// ---- Plug and Play ---------------------------------------------------------------------------

NTSTATUS UsbDevice::DispatchPnp(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    bool deletePdo = false;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        std::lock_guard lock(mutex_);
        started_ = true;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_STOP_DEVICE: {
        std::lock_guard lock(mutex_);
        started_ = false;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_SURPRISE_REMOVAL: {
        std::lock_guard lock(mutex_);
        started_ = false;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_REMOVE_DEVICE: {
        FailWaitWake(STATUS_NO_SUCH_DEVICE);
        std::lock_guard lock(mutex_);
        started_ = false;
        configured_ = false;
        pipes_.clear();
        // A device still on the bus keeps its PDO; one that left loses it.
        deletePdo = unplugged_ && !pdoDeleted_;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        if (caps == nullptr) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        std::lock_guard lock(mutex_);
        for (int s = 0; s < PowerSystemMaximum; ++s) {
            caps->DeviceState[s] = options_.deviceState[s];
        }
        caps->DeviceWake = options_.deviceWake;
        caps->SystemWake = options_.systemWake;
        caps->DeviceD1 = 0;
        caps->DeviceD2 = 1;
        caps->WakeFromD0 = 1;
        caps->WakeFromD1 = 0;
        caps->WakeFromD2 = options_.deviceWake >= PowerDeviceD2 ? 1 : 0;
        caps->Removable = options_.removable ? 1 : 0;
        caps->SurpriseRemovalOK = options_.surpriseRemovalOk ? 1 : 0;
        caps->UniqueID = 0;
        caps->Address = 1;
        status = STATUS_SUCCESS;
        break;
    }
    default:
        break; // not ours to answer: keep the status the request came with
    }
    RecordPdoRequest({IRP_MJ_PNP, stack->MinorFunction, -1, 0, status});
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    if (deletePdo) {
        {
            std::lock_guard lock(mutex_);
            pdoDeleted_ = true;
        }
        IoDeleteDevice(pdo_);
    }
    return status;
}

// ---- Power -----------------------------------------------------------------------------------

NTSTATUS UsbDevice::DispatchPower(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    PdoRequestRecord record{IRP_MJ_POWER, stack->MinorFunction, -1, 0, STATUS_SUCCESS};
    if (stack->MinorFunction == IRP_MN_WAIT_WAKE) {
        NTSTATUS refusal = STATUS_SUCCESS;
        {
            std::lock_guard lock(mutex_);
            if (unplugged_) {
                refusal = STATUS_NO_SUCH_DEVICE;
            } else if (waitWake_ != nullptr) {
                refusal = STATUS_DEVICE_BUSY;
            } else if (options_.deviceWake == PowerDeviceUnspecified) {
                refusal = STATUS_INVALID_DEVICE_STATE;
            } else {
                waitWake_ = irp;
                IoMarkIrpPending(irp);
                IoSetCancelRoutine(irp, CancelWaitWake);
            }
        }
        if (refusal != STATUS_SUCCESS) {
            record.status = refusal;
            RecordPdoRequest(record);
            irp->IoStatus.Status = refusal;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return refusal;
        }
        record.status = STATUS_PENDING;
        RecordPdoRequest(record);
        // Cancelled before the cancel routine was in place: finish it here.
        if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) &&
            IoSetCancelRoutine(irp, nullptr) != nullptr) {
            FinishCancelledWaitWake(irp);
        }
        return STATUS_PENDING;
    }
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
        record.powerType = stack->Parameters.Power.Type;
        record.powerState = stack->Parameters.Power.Type == DevicePowerState
                                ? static_cast<int>(stack->Parameters.Power.State.DeviceState)
                                : static_cast<int>(stack->Parameters.Power.State.SystemState);
        if (stack->MinorFunction == IRP_MN_SET_POWER &&
            stack->Parameters.Power.Type == DevicePowerState) {
            std::lock_guard lock(mutex_);
            devicePower_ = stack->Parameters.Power.State.DeviceState;
        }
    }
    RecordPdoRequest(record);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

} // namespace sim::usb
