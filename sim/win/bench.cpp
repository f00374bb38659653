#include "sim/win/bench.h"

namespace sim::win {

using namespace sim::wdm;

Bench::Bench(const kernel::DriverEntryRoutine& driverEntry, const BenchOptions& options)
    : registry_(registry::Registry::Instance()), options_(options) {
    if (options_.fresh) {
        kernel::ResetAll();
        registry_.Clear();
    }
    if (options_.productType) {
        registry_.SetString(registry::RegRoot::LocalMachine,
                            "System\\CurrentControlSet\\Control\\ProductOptions", "ProductType",
                            *options_.productType);
    }
    bus_ = std::make_unique<usb::UsbBus>();
    coil_ = std::make_unique<usb::CoilDriverModel>();
    chip_ = std::make_unique<usb::IoChip>(options_.serialNumber, coil_.get());
    io_ = std::make_unique<DeviceIo>();
    pnp_ = std::make_unique<PnpManager>(*io_);
    power_ = std::make_unique<PowerManager>();

    kernel::DriverConfig config;
    config.name = options_.driverName;
    config.poolTag = options_.poolTag;
    config.registryPath = options_.registryPath;
    if (driverEntry) {
        driver_ = kernel::CreateDriver(config, driverEntry, &entryStatus_);
    }
    if (options_.plug && driver_ != nullptr && NT_SUCCESS(entryStatus_)) {
        Plug();
    }
}

NTSTATUS Bench::Plug() {
    if (device_ != nullptr || driver_ == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    device_ = &bus_->Plug(*chip_, options_.pdo);
    plugStatus_ = pnp_->Plug(device_->Pdo(), driver_);
    return plugStatus_;
}

void Bench::Unplug() {
    if (device_ == nullptr || device_->Unplugged()) {
        return;
    }
    device_->Unplug();
    pnp_->SurpriseRemove(device_->Pdo());
}

Bench::~Bench() {
    // Handles first: a surprise-removed stack goes away as its last one closes.
    io_->CloseAll();
    if (device_ != nullptr && !device_->PdoDeleted() && pnp_->Known(device_->Pdo()) &&
        pnp_->State(device_->Pdo()) != DeviceNodeState::Removed) {
        // A refused query-remove does not keep the machine from being taken apart.
        if (device_->Unplugged() || !NT_SUCCESS(pnp_->RemoveDevice(device_->Pdo()))) {
            pnp_->Remove(device_->Pdo());
        }
    }
    power_.reset();
    pnp_.reset();
    io_.reset();
    if (driver_ != nullptr) {
        kernel::UnloadDriver(driver_);
    }
    bus_.reset();
    chip_.reset();
    coil_.reset();
    if (options_.fresh) {
        kernel::ResetAll();
    }
}

} // namespace sim::win
