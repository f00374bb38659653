#include "upper_filter.h"

namespace norvask::test {

UpperFilter::UpperFilter(PDEVICE_OBJECT below) {
    sim::kernel::DriverConfig cfg;
    cfg.name = "upperfilter";
    driver_ = sim::kernel::CreateDriver(cfg, [](PDRIVER_OBJECT d, PUNICODE_STRING) {
        for (auto& slot : d->MajorFunction) {
            slot = &UpperFilter::Dispatch;
        }
        return STATUS_SUCCESS;
    });
    sim::kernel::RunInDriverContext(driver_, [this, below] {
        IoCreateDevice(driver_, sizeof(UpperFilter*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                       &device_);
        *static_cast<UpperFilter**>(device_->DeviceExtension) = this;
        lower_ = IoAttachDeviceToDeviceStack(device_, below);
        device_->Flags &= ~DO_DEVICE_INITIALIZING;
    });
}

UpperFilter::~UpperFilter() {
    if (!sim::kernel::IsDeviceAlive(device_)) {
        return;
    }
    sim::kernel::RunInDriverContext(driver_, [this] {
        IoDetachDevice(lower_);
        IoDeleteDevice(device_);
    });
}

NTSTATUS NTAPI UpperFilter::DeviceControlComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    UpperFilter* self = static_cast<UpperFilter*>(context);
    if (self->onDeviceControlComplete) {
        self->onDeviceControlComplete();
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI UpperFilter::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    UpperFilter* self = *static_cast<UpperFilter**>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PDEVICE_OBJECT lower = self->lower_;
    switch (stack->MajorFunction) {
    case IRP_MJ_DEVICE_CONTROL:
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, DeviceControlComplete, self, TRUE, TRUE, TRUE);
        return IoCallDriver(lower, irp);
    case IRP_MJ_POWER:
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lower, irp);
    case IRP_MJ_PNP:
        if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
            IoSkipCurrentIrpStackLocation(irp);
            const NTSTATUS status = IoCallDriver(lower, irp);
            IoDetachDevice(lower);
            IoDeleteDevice(device);
            return status;
        }
        break;
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

} // namespace norvask::test
