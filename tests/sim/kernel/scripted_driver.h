// Small test drivers whose dispatch and completion routines are lambdas, so that each test can
// write exactly the driver behaviour (sound or faulty) that it needs.
#pragma once

#include "sim/kernel/testing.h"
#include "sim/kernel/usb.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace simtest {

using namespace sim::wdm;

using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;
using Completion = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

// Device extension of every scripted device: the handler that serves it and the device below.
struct ScriptedExtension {
    Handler* handler;
    PDEVICE_OBJECT lower;
};

inline NTSTATUS NTAPI ScriptedDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto ext = static_cast<ScriptedExtension*>(device->DeviceExtension);
    return (*ext->handler)(device, irp);
}

inline NTSTATUS NTAPI ScriptedCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    return (*static_cast<Completion*>(context))(device, irp);
}

// Creates a driver whose every major function goes to the device's handler.
inline PDRIVER_OBJECT MakeDriver(const std::string& name, ULONG poolTag = 0) {
    sim::kernel::DriverConfig config;
    config.name = name;
    config.poolTag = poolTag;
    return sim::kernel::CreateDriver(config, [](PDRIVER_OBJECT driver, PUNICODE_STRING) {
        for (auto& slot : driver->MajorFunction)
            slot = ScriptedDispatch;
        return STATUS_SUCCESS;
    });
}

// A device of a scripted driver; attached on top of `below` when given.
class ScriptedDevice {
public:
    ScriptedDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT below = nullptr)
        : handler_(std::make_unique<Handler>()) {
        EXPECT_EQ(IoCreateDevice(driver, sizeof(ScriptedExtension), nullptr, FILE_DEVICE_UNKNOWN, 0,
                                 FALSE, &device_),
                  STATUS_SUCCESS);
        auto ext = Extension();
        ext->handler = handler_.get();
        if (below != nullptr)
            ext->lower = IoAttachDeviceToDeviceStack(device_, below);
        device_->Flags &= ~DO_DEVICE_INITIALIZING;
        *handler_ = [](PDEVICE_OBJECT, PIRP irp) {
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        };
    }

    PDEVICE_OBJECT Device() const { return device_; }
    PDEVICE_OBJECT Lower() const { return Extension()->lower; }
    ScriptedExtension* Extension() const {
        return static_cast<ScriptedExtension*>(device_->DeviceExtension);
    }
    void Serve(Handler handler) { *handler_ = std::move(handler); }

    // Detaches and deletes the device, as a driver's removal does.
    void Remove() {
        if (Lower() != nullptr)
            IoDetachDevice(Lower());
        IoDeleteDevice(device_);
    }
    // The same, unless the test has deleted it already.
    void RemoveIfAlive() {
        if (!sim::kernel::IsDeviceAlive(device_))
            return;
        if (PDEVICE_OBJECT lower = sim::kernel::GetLowerDevice(device_))
            IoDetachDevice(lower);
        IoDeleteDevice(device_);
    }

private:
    std::unique_ptr<Handler> handler_;
    PDEVICE_OBJECT device_ = nullptr;
};

// Completes a request with a status and Information, returning the status.
inline NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Passes a request down unchanged, without a completion routine.
inline NTSTATUS PassDown(PDEVICE_OBJECT lower, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

// Passes a request down with `routine` as its completion routine for every outcome.
inline NTSTATUS PassDownWatched(PDEVICE_OBJECT lower, PIRP irp, Completion* routine) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, ScriptedCompletion, routine, TRUE, TRUE, TRUE);
    return IoCallDriver(lower, irp);
}

} // namespace simtest
