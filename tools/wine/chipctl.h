// chipctl: what the test rig does to the chip on the virtual bus that morlixctl does not:
// requests straight to the driver, a handle held open across an unplug or the bus's removal,
// the chip pulled out or plugged in between programs, the bus's log, and a timing.
//
//   chipctl probe              bad and good requests straight to the driver, with its statuses
//   chipctl hold-unplug        the chip is pulled out while a handle is open, then comes back
//   chipctl hold-remove        holds a handle open until the bus is removed
//   chipctl unplug | plug      pull the chip out or plug it in, and wait until that is done
//   chipctl words FIRST        the latched words from index FIRST on
//   chipctl state              the bus's state
//   chipctl time N             N presets of 8 words each, timed
//
// The console's operator scripts run in morlixctl.exe.
#pragma once

#include "vbus_client.h"

#include "norvask_contract.h"

#include <string>

namespace chipctl {

// The console's one control code.
constexpr DWORD kVendorRequest = contract::IOCTL_VENDOR_REQUEST;

// The path the driver published as "DeviceName", read as the console reads it; empty when
// there is none.
std::string PublishedPath();
// The published device opened as the console opens it; INVALID_HANDLE_VALUE when it cannot be.
HANDLE OpenChip();
// One serial-number read on an open handle; false with the error when it fails.
bool ReadSerial(HANDLE chip, unsigned& serial, DWORD& error);

// Each returns the program's exit status.
int Probe(const vbus::BusClient& bus);
int HoldUnplug(const vbus::BusClient& bus);
int HoldRemove(const vbus::BusClient& bus);
int Time(const vbus::BusClient& bus, int presets);

} // namespace chipctl
