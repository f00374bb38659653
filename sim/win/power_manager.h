// The power manager of the simulated machine: system sleep and wake as
// system set-power requests down each device stack, device power requests
// issued through PoRequestPowerIrp with a completion function, and
// wait-wake requests, which are issued on a thread of their own because a
// driver may hold its sender until the device wakes.
#pragma once

#include "sim/kernel/control.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace sim::win {

struct DevicePowerRequest {
    wdm::NTSTATUS issueStatus = 0; // what PoRequestPowerIrp returned
    bool completed = false;        // the completion function ran
    wdm::NTSTATUS status = 0;      // the status it was given
    wdm::POWER_STATE reached{};    // the state it was given
};

// A wait-wake request in flight.
class WakeRequest {
public:
    bool Done() const;
    wdm::NTSTATUS Status() const;
    // True when the completion function ran within the time.
    bool WaitDone(unsigned milliseconds) const;

private:
    friend class PowerManager;
    static void NTAPI Complete(wdm::PDEVICE_OBJECT device, wdm::UCHAR minor, wdm::POWER_STATE state,
                               wdm::PVOID context, wdm::PIO_STATUS_BLOCK status);
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool done_ = false;
    bool issued_ = false; // PoRequestPowerIrp has returned
    wdm::NTSTATUS issueStatus_ = 0;
    wdm::NTSTATUS status_ = 0;
    std::thread sender_;
};

class PowerManager {
public:
    PowerManager() = default;
    ~PowerManager(); // waits a while for wait-wake senders; a stuck one is left behind
    PowerManager(const PowerManager&) = delete;
    PowerManager& operator=(const PowerManager&) = delete;

    // One system request to the top of a device's stack, waited for.
    wdm::NTSTATUS SetSystemPower(wdm::PDEVICE_OBJECT pdo, wdm::SYSTEM_POWER_STATE state);
    wdm::NTSTATUS QuerySystemPower(wdm::PDEVICE_OBJECT pdo, wdm::SYSTEM_POWER_STATE state);

    // The machine goes to sleep: every device is asked, then told. A refusal
    // leaves the machine working and the state unchanged.
    wdm::NTSTATUS Sleep(const std::vector<wdm::PDEVICE_OBJECT>& devices,
                        wdm::SYSTEM_POWER_STATE state);
    wdm::NTSTATUS Wake(const std::vector<wdm::PDEVICE_OBJECT>& devices);
    wdm::SYSTEM_POWER_STATE SystemState() const;

    // A device set-power request through PoRequestPowerIrp; waits at most
    // `milliseconds` for its completion function.
    DevicePowerRequest RequestDevicePower(wdm::PDEVICE_OBJECT pdo, wdm::DEVICE_POWER_STATE state,
                                          unsigned milliseconds = 5000);

    // A wait-wake request for the device; it completes when the device
    // signals wake, or fails when cancelled or the device goes.
    std::shared_ptr<WakeRequest> ArmWake(wdm::PDEVICE_OBJECT pdo,
                                         wdm::SYSTEM_POWER_STATE deepestWakeState);

private:
    mutable std::mutex mutex_;
    wdm::SYSTEM_POWER_STATE system_ = wdm::PowerSystemWorking;
    std::vector<std::shared_ptr<WakeRequest>> wakes_;
};

} // namespace sim::win
