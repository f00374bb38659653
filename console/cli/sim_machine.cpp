#include "sim_machine.h"

#include "norvask.h"

namespace morlix::cli {

using namespace sim::wdm;

SimMachine::SimMachine(const MachineOptions& options) : options_(options) {
    // The machine starts clean; the registry only when no settings were loaded.
    sim::kernel::ResetAll();
    if (!options_.keepRegistry) {
        sim::registry::Registry::Instance().Clear();
    }
    sim::win::BenchOptions benchOptions;
    benchOptions.serialNumber = options_.serialNumber;
    benchOptions.poolTag = norvask::kPoolTag;
    benchOptions.fresh = false; // reset here and in Shutdown, so faults can be read first
    benchOptions.plug = false;
    bench_ = std::make_unique<sim::win::Bench>(
        [](PDRIVER_OBJECT driver, PUNICODE_STRING path) {
            return norvask::DriverEntry(driver, path);
        },
        benchOptions);
    platform_ = std::make_unique<SimPlatform>(bench_->registry(), bench_->io());
    if (options_.plugged) {
        Plug();
    }
}

SimMachine::~SimMachine() {
    Shutdown();
}

sim::usb::UsbDevice* SimMachine::Device() const {
    return current_ != nullptr && !current_->Unplugged() ? current_ : nullptr;
}

bool SimMachine::Plug() {
    if (!bench_ || Plugged() || bench_->driver() == nullptr) {
        return false;
    }
    NTSTATUS status;
    if (bench_->device() == nullptr) {
        status = bench_->Plug();
        current_ = bench_->device();
    } else {
        // Plugged again: a new node on the bus with an instance id of its own,
        // as when the chip goes into another port.
        sim::usb::PdoOptions pdo;
        pdo.instanceId = u"USB\\VID_1234&PID_000A\\5&" +
                         sim::registry::Utf8ToUtf16(std::to_string(replugged_.size() + 2));
        current_ = &bench_->bus().Plug(bench_->chip(), pdo);
        replugged_.push_back(current_);
        status = bench_->pnp().Plug(current_->Pdo(), bench_->driver());
    }
    if (current_ != nullptr && options_.completionDelayMicroseconds > 0) {
        current_->SetCompletionDelay(options_.completionDelayMicroseconds);
    }
    return NT_SUCCESS(status);
}

bool SimMachine::Unplug() {
    sim::usb::UsbDevice* device = Device();
    if (device == nullptr) {
        return false;
    }
    if (device == bench_->device()) {
        bench_->Unplug();
    } else {
        device->Unplug();
        bench_->pnp().SurpriseRemove(device->Pdo());
    }
    return true;
}

void SimMachine::SetCompletionDelay(unsigned microseconds) {
    options_.completionDelayMicroseconds = microseconds;
    if (sim::usb::UsbDevice* device = Device()) {
        device->SetCompletionDelay(microseconds);
    }
}

std::string SimMachine::Shutdown() {
    if (!bench_) {
        return {};
    }
    sim::win::PnpManager& pnp = bench_->pnp();
    bench_->io().CloseAll();
    platform_.reset();
    for (sim::usb::UsbDevice* device : replugged_) {
        PDEVICE_OBJECT pdo = device->Pdo();
        if (device->PdoDeleted() || !pnp.Known(pdo) ||
            pnp.State(pdo) == sim::win::DeviceNodeState::Removed) {
            continue;
        }
        if (device->Unplugged() || !NT_SUCCESS(pnp.RemoveDevice(pdo))) {
            pnp.Remove(pdo);
        }
    }
    bench_.reset();
    current_ = nullptr;
    replugged_.clear();
    sim::kernel::DrainDispatchWork();
    std::string faults = sim::kernel::DescribeViolations();
    sim::kernel::ResetAll();
    return faults;
}

} // namespace morlix::cli
