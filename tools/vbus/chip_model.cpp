#include "chip_model.h"

namespace vbus {

namespace {

const u8 kDeviceDescriptor[18] = {
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

const u8 kConfigurationDescriptor[32] = {
    9, 0x02, 32,   0,    1, 1,    0, 0x80, 50, // configuration: 32 bytes, bus powered 100 mA
    9, 0x04, 0,    0,    2, 0xFF, 0, 0,    0,  // interface 0, two endpoints
    7, 0x05, 0x81, 0x02, 8, 0,    0,           // bulk IN 1, 8 bytes
    7, 0x05, 0x02, 0x02, 8, 0,    0,           // bulk OUT 2, 8 bytes
};

} // namespace

const u8* ChipDeviceDescriptor(u32* length) {
    *length = sizeof kDeviceDescriptor;
    return kDeviceDescriptor;
}

const u8* ChipConfigurationDescriptor(u32* length) {
    *length = sizeof kConfigurationDescriptor;
    return kConfigurationDescriptor;
}

void ChipModel::Reset(u32 serialNumber) {
    serial_ = serialNumber;
    portA_ = 0;
    portB_ = 0;
    wordCount_ = 0;
}

ChipResult ChipModel::VendorRequest(const ChipSetup& setup, u8* data, u32 length) {
    if (data == nullptr) {
        length = 0;
    }
    ChipResult result = {false, 0};
    if (setup.request != kChipRequest) {
        result.stalled = true;
    } else if (setup.value == kChipValueWritePorts) {
        // A data stage is accepted and ignored; nothing is sent back.
        result.bytesMoved = setup.in ? 0 : length;
        SetCoilLines(static_cast<u8>(setup.index & 0xFF), static_cast<u8>(setup.index >> 8));
    } else if (setup.value == kChipValueReadSerial) {
        if (setup.in) {
            const u32 n = length < 4 ? length : 4;
            for (u32 i = 0; i < n; ++i) {
                data[i] = static_cast<u8>(serial_ >> (8 * i));
            }
            result.bytesMoved = n;
        } else {
            result.bytesMoved = length;
        }
    } else {
        result.stalled = true;
    }
    return result;
}

void ChipModel::SetCoilLines(u8 portA, u8 portB) {
    const bool wasHigh = (portB_ & kPortBStrobe) != 0;
    const bool isHigh = (portB & kPortBStrobe) != 0;
    portA_ = portA;
    portB_ = portB;
    // The coil driver samples its lines as the strobe falls.
    if (wasHigh && !isHigh) {
        const u32 address = portB & kPortBAddressMask;
        words_[wordCount_ % kWordLogCapacity] = static_cast<u16>(address * 256 + portA);
        ++wordCount_;
    }
}

bool ChipModel::WordAt(u32 index, u16* word) const {
    if (index >= wordCount_ || wordCount_ - index > kWordLogCapacity) {
        return false;
    }
    *word = words_[index % kWordLogCapacity];
    return true;
}

} // namespace vbus
