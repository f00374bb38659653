#include "coil_word.h"

namespace morlix {

namespace {

constexpr std::uint8_t AxisMaskX = 0x10;
constexpr std::uint8_t AxisMaskY = 0x20;
constexpr std::uint8_t AxisMaskBoth = 0x30;
constexpr std::uint8_t MidPhase = 0x7F;

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
    return CoilFrame{{AmpLowByte(amplitude), AmpHighByte(amplitude, 0), 0x00, 0x2D,
                      axis == Axis::X ? AxisMaskX : AxisMaskY,
                      static_cast<std::uint8_t>(ClampTo(phase, 0, MaxPhase))}};
}

CoilFrame BothFrame(int amplitude, std::uint8_t control2) {
    return CoilFrame{
        {AmpLowByte(amplitude), AmpHighByte(amplitude, 1), control2, 0x11, AxisMaskBoth, MidPhase}};
}

CoilFrame StandbyFrame() {
    return CoilFrame{{0x00, 0x00, 0x01, 0x13, AxisMaskBoth, MidPhase}};
}

CoilFrame RecordFrame(int n, int amplitude) {
    static constexpr std::uint8_t Phases[3] = {0x20, 0x80, 0xD0};
    return CoilFrame{{AmpLowByte(amplitude), AmpHighByte(amplitude, 15), 0x05, 0xFD,
                      AxisMaskBoth | 0x0F, Phases[ClampTo(n, 1, 3) - 1]}};
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
