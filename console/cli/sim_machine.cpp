#include "sim_machine.h"

#include "norvask.h"

namespace morlix::cli {

SimMachine::SimMachine(const MachineOptions& options) {
    sim::bench::BenchOptions benchOptions;
    benchOptions.serialNumber = options.serialNumber;
    benchOptions.poolTag = norvask::kPoolTag;
    benchOptions.keepRegistry = options.keepRegistry;
    benchOptions.plug = options.plugged;
    benchOptions.completionDelayMicroseconds = options.completionDelayMicroseconds;
    bench_ = std::make_unique<sim::bench::Bench>(
        [](sim::wdm::PDRIVER_OBJECT driver, sim::wdm::PUNICODE_STRING path) {
            return norvask::DriverEntry(driver, path);
        },
        benchOptions);
    platform_ = std::make_unique<SimPlatform>(bench_->registry(), bench_->io());
}

SimMachine::~SimMachine() {
    Shutdown();
}

bool SimMachine::Plug() {
    return sim::wdm::NT_SUCCESS(bench_->Plug());
}

std::string SimMachine::Shutdown() {
    if (bench_->IsShutDown()) {
        return {};
    }
    platform_.reset();
    return bench_->Shutdown();
}

} // namespace morlix::cli
