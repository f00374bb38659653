// A small scripted USB bus driver for the driver's tests: one physical device object that
// answers the requests the driver sends below it, records them, and can hold a vendor transfer
// on the "bus" until the test lets it finish.
#pragma once

#include "sim/kernel/usb.h"
#include "sim/kernel/control.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace norvask::test {

using namespace sim::wdm;

struct VendorCall {
    ULONG transferFlags;
    ULONG transferBufferLength;
    bool hasBuffer;
    bool hasMdlOrLink;
    UCHAR requestTypeReservedBits;
    UCHAR request;
    USHORT value;
    USHORT index;
    std::vector<UCHAR> outData; // what an OUT transfer carried
};

struct PipeCall {
    USHORT function;
    USBD_PIPE_HANDLE pipeHandle;
};

class FakeBus {
public:
    FakeBus();
    ~FakeBus();
    FakeBus(const FakeBus&) = delete;
    FakeBus& operator=(const FakeBus&) = delete;

    PDEVICE_OBJECT Pdo() const { return pdo_; }
    PDRIVER_OBJECT Driver() const { return driver_; }

    // ---- What the device answers ----
    // Configuration descriptor returned by the n-th read (0-based); by default `config`.
    std::vector<UCHAR> config;
    std::function<std::vector<UCHAR>(int)> configForRead;
    std::array<UCHAR, 18> deviceDescriptor{18,   1,    0x10, 0x01, 0xFF, 0, 0, 64, 0xFF,
                                           0xFF, 0xFF, 0xFF, 0,    1,    1, 2, 3,  1};
    NTSTATUS descriptorStatus = STATUS_SUCCESS;
    NTSTATUS selectStatus = STATUS_SUCCESS;
    NTSTATUS pipeStatus = STATUS_SUCCESS;
    std::vector<UCHAR> inReply; // bytes a device-to-host vendor transfer returns
    long outMoved = -1;         // bytes an OUT transfer reports moved; -1: all of them
    bool holdVendor = false;    // keep vendor transfers pending until ReleaseVendor
    // Runs inside the driver's call to the bus, after a vendor transfer finished there.
    std::function<void()> afterInlineVendor;
    ULONG portStatus = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
    std::array<DEVICE_POWER_STATE, PowerSystemMaximum> deviceStates{
        PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD2, PowerDeviceD3,
        PowerDeviceD3,          PowerDeviceD3, PowerDeviceD3};
    DEVICE_POWER_STATE deviceWake = PowerDeviceD2;
    NTSTATUS capabilitiesStatus = STATUS_SUCCESS;
    NTSTATUS waitWakeStatus = STATUS_SUCCESS;
    // Runs once, when the next system set-power request reaches the bus, before the bus
    // completes it (the request is on its way back up once the function returns).
    std::function<void()> onSystemPower;
    bool holdDevicePower = false; // keep device set-power requests pending until released
    bool holdWaitWake = false;    // keep wait-wake requests pending among them, in their order

    // ---- What reached the bus ----
    std::vector<VendorCall> VendorCalls();
    std::vector<ULONG> ConfigReadLengths();
    std::vector<ULONG> SelectedMaximumTransferSizes();
    std::vector<PipeCall> PipeCalls();
    std::vector<DEVICE_POWER_STATE> DevicePowerRequests();
    std::vector<SYSTEM_POWER_STATE> SystemPowerRequests();
    std::vector<UCHAR> PnpMinors();
    int PortStatusQueries();
    int PortResets();
    int Deconfigures();
    int HeldVendorCount();

    // Finishes the oldest held vendor transfer from DISPATCH_LEVEL work on another thread.
    void ReleaseVendor(unsigned delayMicroseconds = 0);
    // Completes the oldest held device set-power (or wait-wake) request in the calling thread.
    void ReleaseDevicePower();
    // Finishes every request still held, vendor transfers first; returns how many there were.
    int ReleaseAll();

private:
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS Internal(PIRP irp, PIO_STACK_LOCATION stack);
    NTSTATUS SubmitUrb(PIRP irp, PURB urb);
    NTSTATUS Pnp(PIRP irp, PIO_STACK_LOCATION stack);
    NTSTATUS Power(PIRP irp, PIO_STACK_LOCATION stack);
    void FinishVendor(PIRP irp, PURB urb);

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    std::mutex mutex_;
    std::vector<VendorCall> vendorCalls_;
    std::vector<ULONG> configReadLengths_;
    std::vector<ULONG> selectedMaximumTransferSizes_;
    std::vector<PipeCall> pipeCalls_;
    std::vector<DEVICE_POWER_STATE> devicePower_;
    std::vector<SYSTEM_POWER_STATE> systemPower_;
    std::vector<UCHAR> pnpMinors_;
    std::vector<PIRP> heldVendor_;
    std::vector<PIRP> heldPower_;
    int portStatusQueries_ = 0;
    int portResets_ = 0;
    int deconfigures_ = 0;
    int configReads_ = 0;
};

} // namespace norvask::test
