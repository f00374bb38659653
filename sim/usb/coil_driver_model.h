// The coil current driver behind the I/O chip's ports. It watches the data
// lines (port A) and port B (bits 0-1 register address, bit 2 strobe),
// latches one (address, data) word on every falling strobe edge, collects
// frame bytes and applies whole six-byte frames when told to execute.
// Everything it saw is logged so that tests can check what really reached
// the hardware. Thread-safe: the ports are driven from bus threads while
// tests read the logs.
#pragma once

#include "sim/short_lock.h"

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sim::usb {

inline constexpr std::uint8_t PortBAddressMask = 0x03;
inline constexpr std::uint8_t PortBStrobe = 0x04;

inline constexpr int CoilRegisterReset = 0;
inline constexpr int CoilRegisterFrame = 1;
inline constexpr int CoilRegisterUnused = 2;
inline constexpr int CoilRegisterExecute = 3;
inline constexpr std::uint8_t ExecuteKey = 0x55;
inline constexpr std::size_t FrameSize = 6;
// Frame bytes beyond this are dropped (and logged) rather than stored.
inline constexpr std::size_t FrameBufferCapacity = 4096;

struct LatchedWord {
    int address = 0;
    std::uint8_t data = 0;
    int Word() const { return address * 256 + data; }
    bool operator==(const LatchedWord&) const = default;
};

enum class FrameKind { AxisX, AxisY, Both, Standby, Record, Unknown };

struct DecodedFrame {
    std::array<std::uint8_t, FrameSize> bytes{};
    int amplitude = 0;         // 12 bits: byte 0 and the low nibble of byte 1
    std::uint8_t ampFlags = 0; // high nibble of byte 1
    std::uint8_t control2 = 0;
    std::uint8_t control3 = 0;
    std::uint8_t axisMask = 0; // bits 4-5 of byte 4: 0x10 X, 0x20 Y, 0x30 both
    std::uint8_t axisLow = 0;  // bits 0-3 of byte 4
    std::uint8_t phase = 0;
    FrameKind kind = FrameKind::Unknown;
};

DecodedFrame DecodeFrame(const std::array<std::uint8_t, FrameSize>& bytes);
const char* FrameKindName(FrameKind kind);

struct RecordPoint {
    int amplitude = 0;
    std::uint8_t phase = 0;
    bool operator==(const RecordPoint&) const = default;
};

// What the coil driver currently puts out.
struct CoilSetting {
    int amplitudeX = 0;
    int amplitudeY = 0;
    std::uint8_t phase = 0;
    bool standby = false;
    std::vector<RecordPoint> record; // the last record sequence, in frame order
    bool operator==(const CoilSetting&) const = default;
};

struct ExecutedTransaction {
    std::vector<DecodedFrame> frames;
    CoilSetting after;
};

class CoilDriverModel {
public:
    // The chip's ports changed: both values are what the lines now carry.
    void SetPorts(std::uint8_t portA, std::uint8_t portB);

    std::vector<LatchedWord> LatchedWords() const;
    std::vector<ExecutedTransaction> Transactions() const;
    std::vector<std::string> Anomalies() const;
    CoilSetting Setting() const;
    std::size_t PendingFrameBytes() const;
    std::uint8_t PortA() const;
    std::uint8_t PortB() const;
    // Cheap reads for a display that follows the model: the number of words
    // logged, the last transaction applied (none yet, or since ClearLogs), and
    // a count that moves on every latched word, anomaly and ClearLogs, so a
    // reader on another thread can tell that something changed.
    std::size_t WordCount() const;
    std::optional<ExecutedTransaction> LastTransaction() const;
    std::uint64_t ChangeCount() const;
    // Forget the logs; the applied setting and the lines stay as they are.
    void ClearLogs();

private:
    void LatchLocked(const LatchedWord& word);
    void ExecuteLocked();
    void AnomalyLocked(std::string text);

    mutable sim::ShortLock mutex_;
    std::uint8_t portA_ = 0;
    std::uint8_t portB_ = 0; // strobe low until the chip first raises it
    std::vector<std::uint8_t> frameBuffer_;
    bool overflowed_ = false;
    CoilSetting setting_;
    std::vector<LatchedWord> words_;
    std::vector<ExecutedTransaction> transactions_;
    std::vector<std::string> anomalies_;
    std::uint64_t changes_ = 0;
};

} // namespace sim::usb
