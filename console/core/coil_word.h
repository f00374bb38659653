// Coil words and the frames and transactions built from them. A coil word
// is 10 bits: data byte in bits 0-7, coil-driver register address in 8-9.
#pragma once

#include "usb_link.h"

#include <array>
#include <cstdint>
#include <vector>

namespace morlix {

using CoilWord = std::int16_t;

inline constexpr std::uint8_t StrobeBit = 4;

// The coil driver's registers, by address, and the data their words carry.
inline constexpr int CoilRegReset = 0;   // data 0 only
inline constexpr int CoilRegFrame = 1;   // one frame byte per word
inline constexpr int CoilRegExecute = 3; // ExecuteData only
inline constexpr std::uint8_t ExecuteData = 0x55;

// The word that writes `data` to register `reg`.
constexpr CoilWord RegisterWord(int reg, std::uint8_t data) {
    return static_cast<CoilWord>(reg * 256 + data);
}

inline constexpr CoilWord ResetWord = RegisterWord(CoilRegReset, 0);
inline constexpr CoilWord ExecuteWord = RegisterWord(CoilRegExecute, ExecuteData);

inline constexpr int MaxAmplitude = 4095;
inline constexpr int MaxPhase = 255;

// Amplitudes arrive clamped to 0..4095 and phases to 0..255. The encoders
// clamp once more so that a frame byte word always addresses the frame
// register, whatever they are given.
constexpr int ClampTo(int v, int lo, int hi) {
    return v < lo ? lo : (v > hi ? hi : v);
}

constexpr CoilWord FrameByteWord(std::uint8_t b) {
    return RegisterWord(CoilRegFrame, b);
}
constexpr CoilWord EncodeAmpLow(int a) {
    return static_cast<CoilWord>(ClampTo(a, 0, MaxAmplitude) % 256 + 256);
}
constexpr CoilWord EncodeAmpHigh(int a, int flags) {
    return static_cast<CoilWord>(ClampTo(a, 0, MaxAmplitude) / 256 + 256 +
                                 16 * ClampTo(flags, 0, 15));
}
constexpr CoilWord EncodePhase(int p) {
    return static_cast<CoilWord>(ClampTo(p, 0, MaxPhase) + 256);
}

enum class Axis { X, Y };

// Control2 of a BothFrame: each preset carries its own constant.
inline constexpr std::uint8_t BothMinControl2 = 0x01;
inline constexpr std::uint8_t BothControl2 = 0x00; // Both Medium and Both Max

// Six frame bytes, byte 0 first.
struct CoilFrame {
    std::array<std::uint8_t, 6> bytes{};
    std::array<CoilWord, 6> Words() const;
};

// Amplitudes outside 0..4095 and phases outside 0..255 are clamped.
CoilFrame AxisFrame(Axis axis, int amplitude, int phase);
CoilFrame BothFrame(int amplitude, std::uint8_t control2);
CoilFrame StandbyFrame();
CoilFrame RecordFrame(int n, int amplitude); // n = 1, 2, 3; others clamp to that range

// ResetWord, the words of each frame in order, ExecuteWord.
std::vector<CoilWord> Transaction(const std::vector<CoilFrame>& frames);

// The port bytes (A, B) of the three packets that carry one word:
// strobe high, low, high. Only the word's low 10 bits are used, so port B
// bits 3-7 are always 0.
struct PortBytes {
    std::uint8_t a;
    std::uint8_t b;
    bool operator==(const PortBytes&) const = default;
};
std::array<PortBytes, 3> WordPackets(CoilWord word);

inline constexpr bool IsCoilWord(int word) {
    return word >= 0 && word <= 1023;
}

// One device cycle that writes one word to the coil driver. A word outside
// 0..1023 is refused before the device is opened: it would carry into the
// strobe bit, and cutting it to 10 bits would write some other register.
void UsbSendData(UsbLink& link, CoilWord word);

} // namespace morlix
