// The USB I/O chip and the coil driver on its ports, as the virtual bus for Wine's kernel
// carries them. It behaves as the simulated bench's chip and coil driver model do (a host test
// holds the two side by side), but uses no library at all, so that it builds into a kernel
// driver. Not thread-safe: the bus serialises every call.
#pragma once

namespace vbus {

using u8 = unsigned char;
using u16 = unsigned short;
using u32 = unsigned int;

static_assert(sizeof(u8) == 1 && sizeof(u16) == 2 && sizeof(u32) == 4);

inline constexpr u8 kChipRequest = 18;
inline constexpr u16 kChipValueWritePorts = 0x0A0A;
inline constexpr u16 kChipValueReadSerial = 0x0A0B;

inline constexpr u8 kPortBAddressMask = 0x03;
inline constexpr u8 kPortBStrobe = 0x04;

// Words kept for reading back; older ones are dropped, the count goes on.
inline constexpr u32 kWordLogCapacity = 65536;

// The setup fields of one vendor control transfer, as the bus hands them on.
struct ChipSetup {
    u8 requestTypeBits;
    u8 request;
    u16 value;
    u16 index;
    bool in; // device to host
};

struct ChipResult {
    bool stalled;
    u32 bytesMoved;
};

// Plain data: lives in zeroed kernel memory, so it has no constructor; Reset brings it up.
class ChipModel {
public:
    // Power-on: both ports low (the coil driver sees its strobe low), nothing latched.
    void Reset(u32 serialNumber);

    // One vendor control transfer. For an IN transfer `data` receives at most `length` bytes;
    // for an OUT transfer it holds `length` bytes that are accepted and ignored.
    ChipResult VendorRequest(const ChipSetup& setup, u8* data, u32 length);

    void SetSerialNumber(u32 serialNumber) { serial_ = serialNumber; }
    u32 SerialNumber() const { return serial_; }
    u8 PortA() const { return portA_; }
    u8 PortB() const { return portB_; }

    // Words the coil driver latched since Reset (address * 256 + data), oldest first.
    u32 WordCount() const { return wordCount_; }
    // False when `index` is not latched yet or has dropped out of the log.
    bool WordAt(u32 index, u16* word) const;

private:
    void SetCoilLines(u8 portA, u8 portB);

    u32 serial_;
    u8 portA_;
    u8 portB_;
    u32 wordCount_;
    u16 words_[kWordLogCapacity];
};

// The descriptors the chip reports: a vendor-specific device with one configuration of 32
// bytes (one interface, a bulk IN and a bulk OUT endpoint).
const u8* ChipDeviceDescriptor(u32* length);
const u8* ChipConfigurationDescriptor(u32* length);

} // namespace vbus
