#include "sim/usb/io_chip.h"

#include "sim/usb/coil_driver_model.h"

#include <algorithm>

namespace sim::usb {

std::vector<std::uint8_t> DefaultDeviceDescriptor() {
    return {
        18,   0x01,       // bLength, DEVICE
        0x10, 0x01,       // bcdUSB 1.10
        0xFF, 0x00, 0x00, // vendor-specific class
        8,                // bMaxPacketSize0
        0x34, 0x12,       // idVendor (a placeholder id)
        0x0A, 0x00,       // idProduct
        0x00, 0x01,       // bcdDevice
        0,    0,    0,    // no strings
        1,                // one configuration
    };
}

std::vector<std::uint8_t> DefaultConfigurationDescriptor() {
    return {
        9, 0x02, 32,   0,    1, 1,    0, 0x80, 50, // configuration: 32 bytes, bus powered 100 mA
        9, 0x04, 0,    0,    2, 0xFF, 0, 0,    0,  // interface 0, two endpoints
        7, 0x05, 0x81, 0x02, 8, 0,    0,           // bulk IN 1, 8 bytes
        7, 0x05, 0x02, 0x02, 8, 0,    0,           // bulk OUT 2, 8 bytes
    };
}

IoChip::IoChip(std::uint32_t serialNumber, CoilDriverModel* coil)
    : serial_(serialNumber), coil_(coil), deviceDescriptor_(DefaultDeviceDescriptor()),
      configurationDescriptor_(DefaultConfigurationDescriptor()) {}

VendorResult IoChip::VendorRequest(const VendorSetup& setup, std::uint8_t* data,
                                   std::uint32_t length) {
    if (data == nullptr) {
        length = 0;
    }
    VendorLogEntry entry;
    entry.setup = setup;
    if (!setup.in && length > 0) {
        entry.dataOut.assign(data, data + length);
    }
    VendorResult result;
    CoilDriverModel* coil = nullptr;
    std::uint8_t a = 0;
    std::uint8_t b = 0;
    {
        std::lock_guard lock(mutex_);
        if (setup.request != ChipRequest) {
            result.stalled = true;
        } else if (setup.value == ChipValueWritePorts) {
            portA_ = static_cast<std::uint8_t>(setup.index & 0xFF);
            portB_ = static_cast<std::uint8_t>(setup.index >> 8);
            a = portA_;
            b = portB_;
            coil = coil_;
            // A data stage is accepted and ignored; nothing is sent back.
            result.bytesMoved = setup.in ? 0 : length;
        } else if (setup.value == ChipValueReadSerial) {
            if (setup.in) {
                const std::uint32_t n = std::min<std::uint32_t>(length, 4);
                for (std::uint32_t i = 0; i < n; ++i) {
                    data[i] = static_cast<std::uint8_t>(serial_ >> (8 * i));
                }
                result.bytesMoved = n;
            } else {
                result.bytesMoved = length;
            }
        } else {
            result.stalled = true;
        }
        entry.result = result;
        log_.push_back(std::move(entry));
        // The lines change while the chip still holds its own lock, so that
        // two transfers racing on the bus reach the coil driver in bus order.
        if (coil != nullptr) {
            coil->SetPorts(a, b);
        }
    }
    return result;
}

void IoChip::SetSerialNumber(std::uint32_t serial) {
    std::lock_guard lock(mutex_);
    serial_ = serial;
}

std::uint32_t IoChip::SerialNumber() const {
    std::lock_guard lock(mutex_);
    return serial_;
}

void IoChip::AttachCoil(CoilDriverModel* coil) {
    std::lock_guard lock(mutex_);
    coil_ = coil;
}

std::uint8_t IoChip::PortA() const {
    std::lock_guard lock(mutex_);
    return portA_;
}

std::uint8_t IoChip::PortB() const {
    std::lock_guard lock(mutex_);
    return portB_;
}

void IoChip::SetDeviceDescriptor(std::vector<std::uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    deviceDescriptor_ = std::move(bytes);
}

void IoChip::SetConfigurationDescriptor(std::vector<std::uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    configurationDescriptor_ = std::move(bytes);
}

std::vector<std::uint8_t> IoChip::DeviceDescriptor() const {
    std::lock_guard lock(mutex_);
    return deviceDescriptor_;
}

std::vector<std::uint8_t> IoChip::ConfigurationDescriptor() const {
    std::lock_guard lock(mutex_);
    return configurationDescriptor_;
}

std::vector<VendorLogEntry> IoChip::VendorLog() const {
    std::lock_guard lock(mutex_);
    return log_;
}

void IoChip::ClearLog() {
    std::lock_guard lock(mutex_);
    log_.clear();
}

} // namespace sim::usb
