// What the command-line console runs on: the platform its device link calls, and the bench's
// own controls (the coil driver's record, pulling the chip out and plugging it in) where the
// machine has them. A machine that cannot do one of those says why in one line.
#pragma once

#include "platform.h"

#include <string>

namespace morlix::cli {

class Machine {
public:
    virtual ~Machine() = default;

    virtual Platform& platform() = 0;
    // What the machine is, for the greeting at a terminal: "the simulated bench".
    virtual std::string Name() const = 0;

    // What `coil` prints: the words the coil driver latched since the last call, and what
    // else the machine knows of it. False, with the reason, where nothing can be read.
    virtual bool DescribeCoil(std::string& text, std::string& reason) = 0;
    // Pulls the chip out, or plugs it in, and returns once that is done. False, with the
    // reason, when it was not done.
    virtual bool UnplugChip(std::string& reason) = 0;
    virtual bool PlugChip(std::string& reason) = 0;
};

} // namespace morlix::cli
