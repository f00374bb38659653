// The command-line console on the chip itself, through libusb: the same console and commands
// as on the bench, but a real chip keeps no record of what its coil driver latched and cannot
// be pulled out from here, so `coil`, `unplug` and `plug` say so instead.
#pragma once

#include "machine.h"
#include "usb_platform.h"

namespace morlix::cli {

class UsbMachine : public Machine {
public:
    // The console's settings live in `settings`; the chip is the one `options` names.
    UsbMachine(sim::registry::Registry& settings, const usb::UsbOptions& options);

    Platform& platform() override { return platform_; }
    usb::UsbPlatform& usb() { return platform_; }
    std::string Name() const override;
    bool DescribeCoil(std::string& text, std::string& reason) override;
    bool UnplugChip(std::string& reason) override;
    bool PlugChip(std::string& reason) override;

private:
    const usb::UsbOptions options_;
    usb::UsbPlatform platform_;
};

} // namespace morlix::cli
