// The simulated machine the command-line console runs on: the bench with the real driver
// loaded, and the console's platform over it.
#pragma once

#include "machine.h"
#include "sim_platform.h"

#include "sim/bench/bench.h"

#include <cstddef>
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

class SimMachine : public Machine {
public:
    explicit SimMachine(const MachineOptions& options = {});
    ~SimMachine() override; // Shutdown, if not done yet
    SimMachine(const SimMachine&) = delete;
    SimMachine& operator=(const SimMachine&) = delete;

    sim::bench::Bench& bench() { return *bench_; }
    morlix::Platform& platform() override { return *platform_; }
    std::string Name() const override { return "the simulated bench"; }
    // The coil driver model's words since the last call, the transactions it decoded, its
    // anomalies and setting, and whether the chip is plugged. Always readable.
    bool DescribeCoil(std::string& text, std::string& reason) override;
    bool UnplugChip(std::string& reason) override;
    bool PlugChip(std::string& reason) override;
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
    std::size_t wordsShown_ = 0;
    std::size_t transactionsShown_ = 0;
    std::size_t anomaliesShown_ = 0;
};

} // namespace morlix::cli
