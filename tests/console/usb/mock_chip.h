// The USB I/O chip as libusb meets it on Linux, inside a umockdev testbed: a
// usbfs node and its sysfs record, and an ioctl handler that answers the
// node's usbfs requests (claim, submit, reap) with the bench's chip model
// and the coil driver behind it. The real libusb code path runs on top.
//
// Construct it before anything starts libusb: the testbed must be in place
// when libusb first looks at /sys and /dev.
#pragma once

#include "sim/usb/coil_driver_model.h"
#include "sim/usb/io_chip.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace morlix::test {

// One control transfer's setup packet as it reached the device, with the
// data it carried out.
struct SetupPacket {
    std::uint8_t requestType = 0;
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint16_t length = 0;
    std::vector<std::uint8_t> dataOut;
    bool operator==(const SetupPacket&) const = default;
};

class MockChip {
public:
    explicit MockChip(std::uint32_t serialNumber = 0x00012345, std::uint16_t vendorId = 0xFFFF,
                      std::uint16_t productId = 0xFFFF);
    ~MockChip();
    MockChip(const MockChip&) = delete;
    MockChip& operator=(const MockChip&) = delete;

    // Plugs the chip in at the bus's next address; false if it is in already.
    bool Plug();
    // Pulls it out: its node and sysfs record go, libusb hears the removal,
    // and a handle still open on it gets ENODEV for every request.
    void Unplug();
    bool Plugged() const;
    // The usbfs node of the chip as last plugged in.
    std::string Path() const;

    // Every control transfer from now on stalls, moving nothing.
    void SetStall(bool stall);
    std::vector<SetupPacket> Setups() const;

    sim::usb::IoChip& chip() { return chip_; }
    sim::usb::CoilDriverModel& coil() { return coil_; }

private:
    static int HandleIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
    static void ClientVanished(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
    int Ioctl(UMockdevIoctlClient* client);
    void Complete(UMockdevIoctlClient* client, UMockdevIoctlData* urb);

    sim::usb::CoilDriverModel coil_;
    sim::usb::IoChip chip_;
    const std::uint16_t vendorId_;
    const std::uint16_t productId_;
    UMockdevTestbed* testbed_ = nullptr;
    UMockdevIoctlBase* handler_ = nullptr;

    mutable std::mutex mutex_;
    int address_ = 1; // the root hub's; the chip takes the next ones
    bool plugged_ = false;
    bool stall_ = false;
    UMockdevIoctlClient* claimant_ = nullptr; // the open file that claimed interface 0
    std::vector<SetupPacket> setups_;
    std::vector<UMockdevIoctlData*> reapable_; // finished URBs, in order
};

} // namespace morlix::test
