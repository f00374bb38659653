// The simulated machine the command-line console runs on: the bench with the real driver
// loaded, and the console's platform over it.
#pragma once

#include "sim_platform.h"

#include "sim/bench/bench.h"

#include <cstdint>
#include <memory>
#include <string>

namespace morlix::cli {

struct MachineOptions {
    std::uint32_t serialNumber = 0x00012345;
    bool plugged = true; // plug the chip at start
    // Keep the registry as it is (loaded from a settings file) instead of
    // starting from an empty one.
    bool keepRegistry = false;
    // Bus completion delay of every request block, in microseconds; 0
    // completes inside the call.
    unsigned completionDelayMicroseconds = 0;
};

class SimMachine {
public:
    explicit SimMachine(const MachineOptions& options = {});
    ~SimMachine(); // Shutdown, if not done yet
    SimMachine(const SimMachine&) = delete;
    SimMachine& operator=(const SimMachine&) = delete;

    sim::bench::Bench& bench() { return *bench_; }
    morlix::Platform& platform() { return *platform_; }
    sim::usb::CoilDriverModel& coil() { return bench_->coil(); }
    sim::registry::Registry& registry() { return sim::registry::Registry::Instance(); }

    // The chip's bus record while it is plugged, else null.
    sim::usb::UsbDevice* Device() const { return Plugged() ? bench_->device() : nullptr; }
    bool Plugged() const { return bench_->Plugged(); }
    // Plugs the chip (the first time, or again after Unplug). False if it is
    // already plugged or the driver did not start on it.
    bool Plug();
    // Pulls the chip out; false if it was not plugged.
    bool Unplug() { return bench_->Unplug(); }
    // For the chip now on the bus and every later plug.
    void SetCompletionDelay(unsigned microseconds) { bench_->SetCompletionDelay(microseconds); }

    // Removes every chip, unloads the driver and returns what the verifier
    // found on the way (one line per fault, empty when there is none). The
    // kernel stand-in is reset afterwards; the registry keeps its content.
    std::string Shutdown();
    bool IsShutDown() const { return bench_->IsShutDown(); }

private:
    std::unique_ptr<sim::bench::Bench> bench_;
    std::unique_ptr<SimPlatform> platform_;
};

} // namespace morlix::cli
