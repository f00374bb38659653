// The USB I/O chip: two 8-bit output ports set by one vendor request, a
// serial number read back by another, and the descriptors it reports on
// the bus. Requests it does not know are stalled, as a real device answers
// an unsupported control request. Thread-safe.
#pragma once

#include "sim/short_lock.h"

#include <cstdint>
#include <mutex>
#include <vector>

namespace sim::usb {

class CoilDriverModel;

inline constexpr std::uint8_t ChipRequest = 18;
inline constexpr std::uint16_t ChipValueWritePorts = 0x0A0A;
inline constexpr std::uint16_t ChipValueReadSerial = 0x0A0B;

// The setup fields of one vendor control transfer, as the bus hands them on.
struct VendorSetup {
    std::uint8_t requestTypeBits = 0; // the vendor-defined bits the host passed
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    bool in = false; // device to host
};

struct VendorResult {
    bool stalled = false;
    std::uint32_t bytesMoved = 0;
};

struct VendorLogEntry {
    VendorSetup setup;
    std::vector<std::uint8_t> dataOut; // data stage sent to the chip
    VendorResult result;
};

// A device descriptor and a one-interface configuration (one bulk IN and one
// bulk OUT endpoint) of 32 bytes, as the chip reports them by default.
std::vector<std::uint8_t> DefaultDeviceDescriptor();
std::vector<std::uint8_t> DefaultConfigurationDescriptor();

class IoChip {
public:
    explicit IoChip(std::uint32_t serialNumber = 0, CoilDriverModel* coil = nullptr);

    // One vendor control transfer. For an IN transfer `data` receives at most
    // `length` bytes; for an OUT transfer it holds `length` bytes to send.
    VendorResult VendorRequest(const VendorSetup& setup, std::uint8_t* data, std::uint32_t length);

    void SetSerialNumber(std::uint32_t serial);
    std::uint32_t SerialNumber() const;
    void AttachCoil(CoilDriverModel* coil);

    std::uint8_t PortA() const;
    std::uint8_t PortB() const;

    // Descriptors of any content, malformed ones included: the chip reports
    // whatever bytes it is given.
    void SetDeviceDescriptor(std::vector<std::uint8_t> bytes);
    void SetConfigurationDescriptor(std::vector<std::uint8_t> bytes);
    std::vector<std::uint8_t> DeviceDescriptor() const;
    std::vector<std::uint8_t> ConfigurationDescriptor() const;

    std::vector<VendorLogEntry> VendorLog() const;
    void ClearLog();

private:
    mutable sim::ShortLock mutex_;
    std::uint32_t serial_;
    CoilDriverModel* coil_;
    std::uint8_t portA_ = 0;
    std::uint8_t portB_ = 0;
    std::vector<std::uint8_t> deviceDescriptor_;
    std::vector<std::uint8_t> configurationDescriptor_;
    std::vector<VendorLogEntry> log_;
};

} // namespace sim::usb
