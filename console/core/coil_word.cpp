#include "coil_word.h"

namespace morlix {

namespace {

// AxisByte: bits 4-5 the axes a frame sets; a record frame also sets bits 0-3.
constexpr std::uint8_t AxisMaskX = 0x10;
constexpr std::uint8_t AxisMaskY = 0x20;
constexpr std::uint8_t AxisMaskBoth = 0x30;
constexpr std::uint8_t RecordAxisBits = 0x0F;

// PhaseByte of the Standby and Both frames.
constexpr std::uint8_t MidPhase = 0x7F;

// AmpFlags, the high nibble of AmpHigh, by frame kind.
constexpr std::uint8_t AxisAmpFlags = 0;
constexpr std::uint8_t BothAmpFlags = 1;
constexpr std::uint8_t RecordAmpFlags = 15;

// Control2 and Control3 by frame kind (a BothFrame's Control2 comes from its preset).
constexpr std::uint8_t AxisControl2 = 0x00;
constexpr std::uint8_t AxisControl3 = 0x2D;
constexpr std::uint8_t BothControl3 = 0x11;
constexpr std::uint8_t StandbyControl2 = 0x01;
constexpr std::uint8_t StandbyControl3 = 0x13;
constexpr std::uint8_t RecordControl2 = 0x05;
constexpr std::uint8_t RecordControl3 = 0xFD;

// PhaseByte of record frames 1, 2 and 3.
constexpr std::uint8_t RecordPhases[3] = {0x20, 0x80, 0xD0};

std::uint8_t AmpLowByte(int a) {
    return static_cast<std::uint8_t>(ClampTo(a, 0, MaxAmplitude) % 256);
}
std::uint8_t AmpHighByte(int a, std::uint8_t flags) {
    return static_cast<std::uint8_t>(flags << 4 | ClampTo(a, 0, MaxAmplitude) / 256);
}

} // namespace

std::array<CoilWord, 6> CoilFrame::Words() const {
    std::array<CoilWord, 6> words{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        words[i] = FrameByteWord(bytes[i]);
    }
    return words;
}

CoilFrame AxisFrame(Axis axis, int amplitude, int phase) {
    return CoilFrame{{AmpLowByte(amplitude), AmpHighByte(amplitude, AxisAmpFlags), AxisControl2,
                      AxisControl3, axis == Axis::X ? AxisMaskX : AxisMaskY,
                      static_cast<std::uint8_t>(ClampTo(phase, 0, MaxPhase))}};
}

CoilFrame BothFrame(int amplitude, std::uint8_t control2) {
    return CoilFrame{{AmpLowByte(amplitude), AmpHighByte(amplitude, BothAmpFlags), control2,
                      BothControl3, AxisMaskBoth, MidPhase}};
}

CoilFrame StandbyFrame() {
    return CoilFrame{{AmpLowByte(0), AmpHighByte(0, 0), StandbyControl2, StandbyControl3,
                      AxisMaskBoth, MidPhase}};
}

CoilFrame RecordFrame(int n, int amplitude) {
    return CoilFrame{{AmpLowByte(amplitude), AmpHighByte(amplitude, RecordAmpFlags), RecordControl2,
                      RecordControl3, AxisMaskBoth | RecordAxisBits,
                      RecordPhases[ClampTo(n, 1, 3) - 1]}};
}

std::vector<CoilWord> Transaction(const std::vector<CoilFrame>& frames) {
    std::vector<CoilWord> words;
    words.reserve(2 + 6 * frames.size());
    words.push_back(ResetWord);
    for (const CoilFrame& frame : frames) {
        for (const CoilWord w : frame.Words()) {
            words.push_back(w);
        }
    }
    words.push_back(ExecuteWord);
    return words;
}

std::array<PortBytes, 3> WordPackets(CoilWord word) {
    const int w = word & 1023;
    const auto a = static_cast<std::uint8_t>(w & 255);
    const auto high = static_cast<std::uint8_t>(w / 256 + StrobeBit);
    const auto low = static_cast<std::uint8_t>(high - StrobeBit);
    return {PortBytes{a, high}, PortBytes{a, low}, PortBytes{a, high}};
}

void UsbSendData(UsbLink& link, CoilWord word) {
    if (!IsCoilWord(word)) {
        return;
    }
    link.OpenDevice();
    Packet packet{0, 0, MajorWritePorts, MinorPorts, 0, 0, 0, 0};
    for (const PortBytes& ports : WordPackets(word)) {
        packet[contract::OffDataLow] = ports.a;
        packet[contract::OffDataHigh] = ports.b;
        link.SendPacket(packet);
    }
    link.CloseDevice();
}

} // namespace morlix
