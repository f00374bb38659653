#include "sim/bench/bench.h"

namespace sim::bench {

using namespace sim::wdm;

namespace {

// The instance id of the n-th plug (n from 2): the first one's, with its last component
// replaced by n, so that every node on the bus has an id of its own.
std::u16string NthInstanceId(const std::u16string& first, std::size_t n) {
    const std::size_t cut = first.find_last_of(u"&\\");
    const std::u16string base =
        cut == std::u16string::npos ? first + u"&" : first.substr(0, cut + 1);
    return base + registry::Utf8ToUtf16(std::to_string(n));
}

} // namespace

Bench::Bench(const kernel::DriverEntryRoutine& driverEntry, const BenchOptions& options)
    : registry_(registry::Registry::Instance()), options_(options) {
    kernel::ResetAll();
    if (!options_.keepRegistry) {
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
    io_ = std::make_unique<win::DeviceIo>();
    pnp_ = std::make_unique<win::PnpManager>(*io_);
    power_ = std::make_unique<win::PowerManager>();

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
    if (shutDown_ || Plugged() || driver_ == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    usb::PdoOptions pdo = options_.pdo;
    if (!plugged_.empty()) {
        pdo.instanceId = NthInstanceId(options_.pdo.instanceId, plugged_.size() + 1);
    }
    current_ = &bus_->Plug(*chip_, pdo);
    plugged_.push_back(current_);
    if (options_.completionDelayMicroseconds > 0) {
        current_->SetCompletionDelay(options_.completionDelayMicroseconds);
    }
    plugStatus_ = pnp_->Plug(current_->Pdo(), driver_);
    return plugStatus_;
}

bool Bench::Unplug() {
    if (shutDown_ || !Plugged()) {
        return false;
    }
    current_->Unplug();
    pnp_->SurpriseRemove(current_->Pdo());
    return true;
}

void Bench::SetCompletionDelay(unsigned microseconds) {
    options_.completionDelayMicroseconds = microseconds;
    if (Plugged()) {
        current_->SetCompletionDelay(microseconds);
    }
}

std::string Bench::Shutdown() {
    if (shutDown_) {
        return {};
    }
    TakeApart();
    std::string found = kernel::DescribeViolations();
    kernel::ResetAll();
    return found;
}

void Bench::TakeApart() {
    shutDown_ = true;
    // Handles first: a surprise-removed stack goes away as its last one closes.
    io_->CloseAll();
    for (usb::UsbDevice* device : plugged_) {
        PDEVICE_OBJECT pdo = device->Pdo();
        if (device->PdoDeleted() || !pnp_->Known(pdo) ||
            pnp_->State(pdo) == win::DeviceNodeState::Removed) {
            continue;
        }
        // A refused query-remove does not keep the machine from being taken apart.
        if (device->Unplugged() || !NT_SUCCESS(pnp_->RemoveDevice(pdo))) {
            pnp_->Remove(pdo);
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
    plugged_.clear();
    current_ = nullptr;
    // Whatever the machine still holds once taken apart was left behind by a driver.
    kernel::CheckEndOfRun("the end of the bench's run");
}

Bench::~Bench() {
    if (shutDown_) {
        return;
    }
    TakeApart();
    if (kernel::Violations().empty()) {
        kernel::ResetAll();
    }
}

} // namespace sim::bench
