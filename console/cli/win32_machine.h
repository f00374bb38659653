// The command-line console on Windows: the real Win32 calls to whatever driver published
// "DeviceName", and the virtual bus's control device where the test rig has one. On that bus
// `coil` reads the words the coil driver latched from the bus's log, and the chip can be
// pulled out and plugged in; on a real chip neither can be done from here.
#pragma once

#include "machine.h"
#include "vbus_client.h"
#include "win32_platform.h"

namespace morlix::cli {

class Win32Machine : public Machine {
public:
    Win32Machine();

    Platform& platform() override { return platform_; }
    std::string Name() const override;
    // The words the bus latched since the last call (the first call: since this machine was
    // made), and whether the chip is plugged.
    bool DescribeCoil(std::string& text, std::string& reason) override;
    bool UnplugChip(std::string& reason) override;
    bool PlugChip(std::string& reason) override;

private:
    Win32Platform platform_;
    vbus::BusClient bus_;
    unsigned int wordsShown_ = 0;
};

} // namespace morlix::cli
