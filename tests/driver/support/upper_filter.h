// A filter driver attached above the driver's device, as a class filter sits above a USB
// device: it passes every request down, runs a test's function from the completion routine of
// each device control request, and at IRP_MN_REMOVE_DEVICE passes the remove on, then detaches
// and deletes its own device.
#pragma once

#include "sim/kernel/control.h"

#include <functional>

namespace norvask::test {

using namespace sim::wdm;

class UpperFilter {
public:
    explicit UpperFilter(PDEVICE_OBJECT below);
    // Its device goes with it (detached and deleted), unless a remove took it already: the
    // device's extension points here.
    ~UpperFilter();
    UpperFilter(const UpperFilter&) = delete;
    UpperFilter& operator=(const UpperFilter&) = delete;

    PDEVICE_OBJECT Device() const { return device_; }

    // Runs in the completion routine of every device control request, at the IRQL and in the
    // thread that completion came in.
    std::function<void()> onDeviceControlComplete;

private:
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS NTAPI DeviceControlComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    PDEVICE_OBJECT lower_ = nullptr;
};

} // namespace norvask::test
