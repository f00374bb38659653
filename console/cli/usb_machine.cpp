#include "usb_machine.h"

#include <cstdio>

namespace morlix::cli {

UsbMachine::UsbMachine(sim::registry::Registry& settings, const usb::UsbOptions& options)
    : options_(options), platform_(settings, options) {}

std::string UsbMachine::Name() const {
    char ids[64];
    std::snprintf(ids, sizeof ids, "the chip through libusb (vendor %04X, product %04X)",
                  options_.vendorId, options_.productId);
    return ids;
}

bool UsbMachine::DescribeCoil(std::string&, std::string& reason) {
    reason = "a real chip does not report the words its coil driver latched (the bench does: "
             "--device bench)";
    return false;
}

bool UsbMachine::UnplugChip(std::string& reason) {
    reason = "a real chip is pulled out by hand";
    return false;
}

bool UsbMachine::PlugChip(std::string& reason) {
    reason = "a real chip is plugged in by hand";
    return false;
}

} // namespace morlix::cli
