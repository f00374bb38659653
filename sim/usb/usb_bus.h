// The USB bus driver as a function driver above it sees it: one physical
// device object (PDO) per plugged chip, answering request blocks, port
// requests, Plug and Play and power requests the way the system's USB hub
// driver does. Behaviour that a driver must cope with can be injected:
// late completions on another thread at DISPATCH_LEVEL, failed or short
// transfers, odd descriptors and the device vanishing mid-transfer.
#pragma once

#include "sim/kernel/usb.h"
#include "sim/kernel/control.h"
#include "sim/short_lock.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim::usb {

class IoChip;

struct PdoOptions {
    std::u16string instanceId = u"USB\\VID_1234&PID_000A\\5&1";
    wdm::ULONG portStatus = wdm::USBD_PORT_ENABLED | wdm::USBD_PORT_CONNECTED;
    // Capabilities reported to IRP_MN_QUERY_CAPABILITIES.
    wdm::DEVICE_POWER_STATE deviceState[wdm::PowerSystemMaximum] = {
        wdm::PowerDeviceUnspecified, wdm::PowerDeviceD0, wdm::PowerDeviceD2, wdm::PowerDeviceD2,
        wdm::PowerDeviceD2,          wdm::PowerDeviceD3, wdm::PowerDeviceD3};
    wdm::DEVICE_POWER_STATE deviceWake = wdm::PowerDeviceD2;
    wdm::SYSTEM_POWER_STATE systemWake = wdm::PowerSystemSleeping3;
    bool removable = false;
    bool surpriseRemovalOk = false;
};

// A failure to give the next matching request block instead of carrying it out.
struct UrbFault {
    int function = -1; // URB_FUNCTION_* to match, -1 for any
    wdm::NTSTATUS status = wdm::STATUS_UNSUCCESSFUL;
    wdm::USBD_STATUS usbdStatus = wdm::USBD_STATUS_DEV_NOT_RESPONDING;
};

// One request block as the bus finished it.
struct UrbRecord {
    wdm::USHORT function = 0;
    wdm::USHORT length = 0; // the header's Length as the driver set it
    wdm::NTSTATUS status = 0;
    wdm::USBD_STATUS usbdStatus = 0;
    wdm::ULONG bytes = 0; // TransferBufferLength as returned
    wdm::ULONG transferFlags = 0;
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    bool late = false; // completed outside the dispatch call
};

// A Plug and Play or power request that reached the PDO.
struct PdoRequestRecord {
    wdm::UCHAR major = 0;
    wdm::UCHAR minor = 0;
    int powerType = -1; // POWER_STATE_TYPE of a set or query power request
    int powerState = 0;
    wdm::NTSTATUS status = 0; // as completed; STATUS_PENDING while a wait-wake waits
};

class UsbBus;

// The bus's record of one plugged device and its PDO.
class UsbDevice {
public:
    UsbDevice(UsbBus& bus, IoChip& chip, const PdoOptions& options);
    UsbDevice(const UsbDevice&) = delete;
    UsbDevice& operator=(const UsbDevice&) = delete;

    wdm::PDEVICE_OBJECT Pdo() const { return pdo_; }
    IoChip& Chip() const { return chip_; }

    // 0: every bus request completes inside the dispatch call. Otherwise
    // request blocks and port requests complete on the worker thread at
    // DISPATCH_LEVEL this many microseconds later.
    void SetCompletionDelay(unsigned microseconds);
    // While held, bus requests stay pending until ReleaseHeldRequests.
    void HoldRequests(bool hold);
    void ReleaseHeldRequests();
    std::size_t HeldRequestCount() const;

    void InjectUrbFault(const UrbFault& fault, unsigned count = 1);
    // The next `count` IN vendor transfers move at most `maxBytes` bytes.
    void ShortenInTransfers(wdm::ULONG maxBytes, unsigned count = 1);
    void SetPortStatus(wdm::ULONG bits);
    void SetOptions(const PdoOptions& options); // capabilities and port status

    // The device leaves the bus: requests in flight and later ones fail as
    // a vanished device's do. The PDO is deleted at its IRP_MN_REMOVE_DEVICE.
    void Unplug();
    bool Unplugged() const;
    // The device signals wake: a waiting wait-wake request completes.
    bool SignalWake();
    bool WaitWakePending() const;

    bool Configured() const;
    bool Started() const;
    wdm::DEVICE_POWER_STATE PowerState() const;
    unsigned PortResets() const;
    unsigned PipeResets() const;
    unsigned PipeAborts() const;
    std::vector<UrbRecord> Urbs() const;
    std::vector<PdoRequestRecord> PdoRequests() const;
    bool PdoDeleted() const;

    // Dispatch entry points of the bus driver.
    wdm::NTSTATUS DispatchInternalControl(wdm::PIRP irp);
    wdm::NTSTATUS DispatchPnp(wdm::PIRP irp);
    wdm::NTSTATUS DispatchPower(wdm::PIRP irp);
    static void NTAPI CancelWaitWake(wdm::PDEVICE_OBJECT device, wdm::PIRP irp);

private:
    friend class UsbBus;
    struct PipeState {
        wdm::USBD_PIPE_HANDLE handle;
    };

    // Carry out one bus request and complete it. Called with `lock` holding mutex_, which it
    // lets go of before the completion; the request block is carried out under it, in bus order.
    wdm::NTSTATUS Carry(wdm::PIRP irp, bool late, std::unique_lock<ShortLock>& lock);
    void CarryLate(wdm::PIRP irp);
    // These four are called with mutex_ held.
    wdm::NTSTATUS ProcessUrb(wdm::PURB urb, UrbRecord& record);
    wdm::NTSTATUS GetDescriptor(wdm::PURB urb, UrbRecord& record);
    wdm::NTSTATUS SelectConfiguration(wdm::PURB urb, UrbRecord& record);
    wdm::NTSTATUS VendorTransfer(wdm::PURB urb, UrbRecord& record);
    wdm::NTSTATUS PipeRequest(wdm::PURB urb, UrbRecord& record);
    void FailWaitWake(wdm::NTSTATUS status);
    void FinishCancelledWaitWake(wdm::PIRP irp);
    void RecordPdoRequest(const PdoRequestRecord& r);

    UsbBus& bus_;
    IoChip& chip_;
    wdm::PDEVICE_OBJECT pdo_ = nullptr;

    mutable ShortLock mutex_; // short sections only: nothing waits while holding it
    PdoOptions options_;
    unsigned delayMicroseconds_ = 0;
    bool hold_ = false;
    std::vector<wdm::PIRP> held_;
    std::deque<UrbFault> faults_;
    std::deque<wdm::ULONG> shortIn_;
    bool unplugged_ = false;
    bool started_ = false;
    bool configured_ = false;
    bool pdoDeleted_ = false;
    std::uintptr_t configurationGeneration_ = 0;
    std::vector<wdm::USBD_PIPE_HANDLE> pipes_;
    wdm::PIRP waitWake_ = nullptr;
    wdm::DEVICE_POWER_STATE devicePower_ = wdm::PowerDeviceD0;
    unsigned portResets_ = 0;
    unsigned pipeResets_ = 0;
    unsigned pipeAborts_ = 0;
    std::vector<UrbRecord> urbs_;
    std::vector<PdoRequestRecord> pdoRequests_;
};

// The bus driver: its driver object and the devices plugged into it.
class UsbBus {
public:
    UsbBus();
    ~UsbBus();
    UsbBus(const UsbBus&) = delete;
    UsbBus& operator=(const UsbBus&) = delete;

    // Creates the PDO of a chip, with its instance id, ready for AddDevice.
    UsbDevice& Plug(IoChip& chip, const PdoOptions& options = {});
    wdm::PDRIVER_OBJECT Driver() const { return driver_; }
    static UsbDevice* FromPdo(wdm::PDEVICE_OBJECT pdo);

private:
    friend class UsbDevice;
    wdm::PDRIVER_OBJECT driver_ = nullptr;
    std::mutex mutex_;
    std::vector<std::unique_ptr<UsbDevice>> devices_;
};

} // namespace sim::usb
