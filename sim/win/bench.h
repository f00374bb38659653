// The whole simulated machine in one object: registry, USB bus, I/O chip
// with the coil driver behind it, device I/O, Plug and Play and power
// managers. Given a driver's entry
// routine it loads the driver and plugs a chip, so that tests and the Linux
// console run the real driver on the simulated bench.
#pragma once

#include "sim/kernel/control.h"
#include "sim/usb/coil_driver_model.h"
#include "sim/usb/io_chip.h"
#include "sim/usb/usb_bus.h"
#include "sim/win/device_io.h"
#include "sim/win/pnp_manager.h"
#include "sim/win/power_manager.h"
#include "sim/registry/registry.h"

#include <memory>
#include <optional>
#include <string>

namespace sim::win {

inline constexpr wdm::ULONG DriverPoolTag = 0x206D6457; // "Wdm " in memory

struct BenchOptions {
    std::uint32_t serialNumber = 0x00012345;
    usb::PdoOptions pdo;
    std::string driverName = "Norvask";
    std::u16string registryPath =
        u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\Norvask";
    wdm::ULONG poolTag = DriverPoolTag;
    // Forget every kernel object and empty the registry before building, and
    // reset the kernel stand-in again when the bench goes. A front end that
    // keeps its settings, or reads the verifier after the bench, turns it off
    // and does both itself.
    bool fresh = true;
    // The product type that a driver may read at entry; none leaves it out.
    std::optional<std::string> productType = std::string("WinNT");
    bool plug = true; // plug the chip once the driver is loaded
};

class Bench {
public:
    explicit Bench(const kernel::DriverEntryRoutine& driverEntry, const BenchOptions& options = {});
    ~Bench(); // removes plugged devices, unloads the drivers, resets the kernel stand-in
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    registry::Registry& registry() { return registry_; }
    usb::UsbBus& bus() { return *bus_; }
    usb::CoilDriverModel& coil() { return *coil_; }
    usb::IoChip& chip() { return *chip_; }
    DeviceIo& io() { return *io_; }
    PnpManager& pnp() { return *pnp_; }
    PowerManager& power() { return *power_; }
    wdm::PDRIVER_OBJECT driver() const { return driver_; }
    wdm::NTSTATUS entryStatus() const { return entryStatus_; }

    // The plugged chip's bus record; null before Plug.
    usb::UsbDevice* device() const { return device_; }
    wdm::PDEVICE_OBJECT pdo() const { return device_ == nullptr ? nullptr : device_->Pdo(); }
    // Plugs the bench's chip (once) and starts the driver on it.
    wdm::NTSTATUS Plug();
    wdm::NTSTATUS plugStatus() const { return plugStatus_; }
    // The chip is pulled out: the bus fails its requests, the system
    // surprise-removes the stack and removes it when the last handle closes.
    void Unplug();

private:
    registry::Registry& registry_;
    BenchOptions options_;
    std::unique_ptr<usb::UsbBus> bus_;
    std::unique_ptr<usb::CoilDriverModel> coil_;
    std::unique_ptr<usb::IoChip> chip_;
    std::unique_ptr<DeviceIo> io_;
    std::unique_ptr<PnpManager> pnp_;
    std::unique_ptr<PowerManager> power_;
    wdm::PDRIVER_OBJECT driver_ = nullptr;
    wdm::NTSTATUS entryStatus_ = wdm::STATUS_UNSUCCESSFUL;
    usb::UsbDevice* device_ = nullptr;
    wdm::NTSTATUS plugStatus_ = wdm::STATUS_NO_SUCH_DEVICE;
};

} // namespace sim::win
