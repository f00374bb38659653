// The simulated machine the command-line console runs on: the bench with
// the real driver loaded, and a chip that can be pulled out and plugged in
// again any number of times.
#pragma once

#include "sim_platform.h"

#include "sim/win/bench.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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

    sim::win::Bench& bench() { return *bench_; }
    morlix::Platform& platform() { return *platform_; }
    sim::usb::CoilDriverModel& coil() { return bench_->coil(); }
    sim::registry::Registry& registry() { return sim::registry::Registry::Instance(); }

    // The chip's bus record while it is plugged, else null.
    sim::usb::UsbDevice* Device() const;
    bool Plugged() const { return Device() != nullptr; }
    // Plugs the chip (the first time, or again after Unplug). False if it is
    // already plugged or the driver did not start on it.
    bool Plug();
    // Pulls the chip out; false if it was not plugged.
    bool Unplug();
    // For the chip now on the bus and every later plug.
    void SetCompletionDelay(unsigned microseconds);

    // Removes every chip, unloads the driver and returns what the verifier
    // found on the way (one line per fault, empty when there is none). The
    // kernel stand-in is reset afterwards; the registry keeps its content.
    std::string Shutdown();
    bool IsShutDown() const { return !bench_; }

private:
    MachineOptions options_;
    std::unique_ptr<sim::win::Bench> bench_;
    std::unique_ptr<SimPlatform> platform_;
    sim::usb::UsbDevice* current_ = nullptr;
    // Chips plugged after the bench's own first plug; the bench tears down
    // only that first one.
    std::vector<sim::usb::UsbDevice*> replugged_;
};

} // namespace morlix::cli
