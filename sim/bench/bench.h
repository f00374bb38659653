// The whole simulated machine in one object, the one place that assembles it for every front
// end and test: registry, USB bus, I/O chip with the coil driver behind it, device I/O, Plug
// and Play and power managers. Given a driver's entry routine it loads the driver and plugs the
// chip, so that tests and the Linux console run the real driver on the simulated bench; the
// chip can be pulled out and plugged in again any number of times.
#pragma once

#include "sim/kernel/control.h"
#include "sim/registry/registry.h"
#include "sim/usb/coil_driver_model.h"
#include "sim/usb/io_chip.h"
#include "sim/usb/usb_bus.h"
#include "sim/win/device_io.h"
#include "sim/win/pnp_manager.h"
#include "sim/win/power_manager.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim::bench {

inline constexpr wdm::ULONG DriverPoolTag = 0x206D6457; // "Wdm " in memory

struct BenchOptions {
    std::uint32_t serialNumber = 0x00012345;
    usb::PdoOptions pdo; // of the first plug; later plugs get instance ids of their own
    std::string driverName = "Norvask";
    std::u16string registryPath =
        u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\Norvask";
    wdm::ULONG poolTag = DriverPoolTag;
    // Keep the registry as it is (settings loaded from a file) instead of emptying it.
    bool keepRegistry = false;
    // The product type that a driver may read at entry; none leaves it out.
    std::optional<std::string> productType = std::string("WinNT");
    bool plug = true; // plug the chip once the driver is loaded
    // Bus completion delay of every request block, in microseconds; 0 completes inside the call.
    unsigned completionDelayMicroseconds = 0;
};

class Bench {
public:
    // Starts from a kernel stand-in that has forgotten everything.
    explicit Bench(const kernel::DriverEntryRoutine& driverEntry, const BenchOptions& options = {});
    // Takes the machine apart as Shutdown does, if that has not been done. The kernel stand-in
    // then forgets everything too, unless the verifier found a fault: that record stays for
    // whoever reads it (a test fixture, say) until the kernel stand-in is reset.
    ~Bench();
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    registry::Registry& registry() { return registry_; }
    usb::UsbBus& bus() { return *bus_; }
    usb::CoilDriverModel& coil() { return *coil_; }
    usb::IoChip& chip() { return *chip_; }
    win::DeviceIo& io() { return *io_; }
    win::PnpManager& pnp() { return *pnp_; }
    win::PowerManager& power() { return *power_; }
    wdm::PDRIVER_OBJECT driver() const { return driver_; }
    wdm::NTSTATUS entryStatus() const { return entryStatus_; }

    // The bus record of the chip plugged last, also once it is pulled out; null before Plug.
    usb::UsbDevice* device() const { return current_; }
    wdm::PDEVICE_OBJECT pdo() const { return current_ == nullptr ? nullptr : current_->Pdo(); }
    bool Plugged() const { return current_ != nullptr && !current_->Unplugged(); }
    // Plugs the chip and starts the driver on it: the first time, or again after Unplug as a
    // new node on the bus, as when the chip goes into another port. STATUS_INVALID_DEVICE_STATE
    // while it is plugged or when no driver is loaded.
    wdm::NTSTATUS Plug();
    wdm::NTSTATUS plugStatus() const { return plugStatus_; }
    // The chip is pulled out: the bus fails its requests, the system surprise-removes the stack
    // and removes it when the last handle closes. False if it was not plugged.
    bool Unplug();
    // For the chip now on the bus and every later plug.
    void SetCompletionDelay(unsigned microseconds);

    // Closes every handle, removes every chip, unloads the driver and returns what the verifier
    // found meanwhile, with what the machine still held once taken apart (requests, pool, device
    // objects: kernel::CheckEndOfRun), one line per fault, empty when there is none; then the
    // kernel stand-in forgets everything. The registry keeps its content. Nothing but the destructor may follow.
    std::string Shutdown();
    bool IsShutDown() const { return shutDown_; }

private:
    void TakeApart();

    registry::Registry& registry_;
    BenchOptions options_;
    std::unique_ptr<usb::UsbBus> bus_;
    std::unique_ptr<usb::CoilDriverModel> coil_;
    std::unique_ptr<usb::IoChip> chip_;
    std::unique_ptr<win::DeviceIo> io_;
    std::unique_ptr<win::PnpManager> pnp_;
    std::unique_ptr<win::PowerManager> power_;
    wdm::PDRIVER_OBJECT driver_ = nullptr;
    wdm::NTSTATUS entryStatus_ = wdm::STATUS_UNSUCCESSFUL;
    std::vector<usb::UsbDevice*> plugged_; // every chip record, in plugging order
    usb::UsbDevice* current_ = nullptr;
    wdm::NTSTATUS plugStatus_ = wdm::STATUS_NO_SUCH_DEVICE;
    bool shutDown_ = false;
};

} // namespace sim::bench
