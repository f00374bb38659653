// The virtual bus's freestanding chip against the bench's chip and coil driver model: the same
// requests give the same answers, the same reply bytes and the same latched words.
#include "chip_model.h"

#include "sim/usb/coil_driver_model.h"
#include "sim/usb/io_chip.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

namespace {

struct Pair {
    explicit Pair(std::uint32_t serial) : bench(serial, &coil) { vbus.Reset(serial); }

    // One request to both; their answers and what they wrote into the buffers must agree.
    void Request(const sim::usb::VendorSetup& setup, bool withBuffer, std::uint32_t length) {
        std::array<std::uint8_t, 16> benchData{};
        std::array<std::uint8_t, 16> vbusData{};
        for (std::size_t i = 0; i < benchData.size(); ++i) {
            benchData[i] = vbusData[i] = static_cast<std::uint8_t>(0xA0 + i);
        }
        const sim::usb::VendorResult b =
            bench.VendorRequest(setup, withBuffer ? benchData.data() : nullptr, length);
        const vbus::ChipSetup s{setup.requestTypeBits, setup.request, setup.value, setup.index,
                                setup.in};
        const vbus::ChipResult v =
            vbus.VendorRequest(s, withBuffer ? vbusData.data() : nullptr, length);
        ASSERT_EQ(v.stalled, b.stalled) << Describe(setup, withBuffer, length);
        ASSERT_EQ(v.bytesMoved, b.bytesMoved) << Describe(setup, withBuffer, length);
        ASSERT_EQ(vbusData, benchData) << Describe(setup, withBuffer, length);
        ASSERT_EQ(vbus.PortA(), bench.PortA());
        ASSERT_EQ(vbus.PortB(), bench.PortB());
    }

    std::vector<int> VbusWords() const {
        std::vector<int> words;
        std::uint16_t word = 0;
        for (std::uint32_t i = 0; vbus.WordAt(i, &word); ++i) {
            words.push_back(word);
        }
        return words;
    }

    std::vector<int> BenchWords() const {
        std::vector<int> words;
        for (const sim::usb::LatchedWord& w : coil.LatchedWords()) {
            words.push_back(w.Word());
        }
        return words;
    }

    static std::string Describe(const sim::usb::VendorSetup& s, bool withBuffer,
                                std::uint32_t length) {
        return "request " + std::to_string(s.request) + " value " + std::to_string(s.value) +
               " index " + std::to_string(s.index) + (s.in ? " in" : " out") + " length " +
               std::to_string(length) + (withBuffer ? " with buffer" : " without buffer");
    }

    sim::usb::CoilDriverModel coil;
    sim::usb::IoChip bench;
    vbus::ChipModel vbus;
};

sim::usb::VendorSetup WritePorts(std::uint8_t a, std::uint8_t b) {
    return {8, sim::usb::ChipRequest, sim::usb::ChipValueWritePorts,
            static_cast<std::uint16_t>(b * 256 + a), false};
}

TEST(VbusChip, CarriesTheConsolesWordsAndSerialReadsAsTheBenchDoes) {
    Pair pair(0x12345678);
    const sim::usb::VendorSetup readSerial{8, sim::usb::ChipRequest, sim::usb::ChipValueReadSerial,
                                           0, true};
    // Reset, a frame byte, word 511 and Execute, each as three packets: strobe high, low, high.
    for (int word : {0, 0x100 + 0xE8, 511, 853, 0x2FF}) {
        const auto a = static_cast<std::uint8_t>(word & 0xFF);
        const auto b = static_cast<std::uint8_t>(word / 256 + 4);
        for (std::uint8_t portB : {b, static_cast<std::uint8_t>(b - 4), b}) {
            pair.Request(WritePorts(a, portB), false, 0);
        }
        pair.Request(readSerial, true, 8);
    }
    EXPECT_EQ(pair.VbusWords(), pair.BenchWords());
    EXPECT_EQ(pair.VbusWords(), (std::vector<int>{0, 0x1E8, 511, 853, 0x2FF}));
}

TEST(VbusChip, AgreesWithTheBenchOnEveryKindOfRequest) {
    Pair pair(0x80000001);
    const std::uint8_t requests[] = {17, 18, 19};
    const std::uint16_t values[] = {sim::usb::ChipValueWritePorts, sim::usb::ChipValueReadSerial,
                                    0x0A0C, 0x0B0A};
    std::uint32_t state = 12345;
    auto next = [&state](std::uint32_t range) {
        state = state * 1103515245u + 12345u;
        return (state >> 8) % range;
    };
    for (int i = 0; i < 5000; ++i) {
        sim::usb::VendorSetup setup;
        setup.requestTypeBits = static_cast<std::uint8_t>(next(16));
        setup.request = requests[next(3)];
        setup.value = values[next(4)];
        setup.index = static_cast<std::uint16_t>(next(65536));
        setup.in = next(2) == 1;
        pair.Request(setup, next(4) != 0, next(10));
    }
    EXPECT_FALSE(pair.BenchWords().empty());
    EXPECT_EQ(pair.VbusWords(), pair.BenchWords());
}

TEST(VbusChip, ReportsTheBenchsDescriptors) {
    std::uint32_t length = 0;
    const std::uint8_t* device = vbus::ChipDeviceDescriptor(&length);
    EXPECT_EQ(std::vector<std::uint8_t>(device, device + length),
              sim::usb::DefaultDeviceDescriptor());
    const std::uint8_t* config = vbus::ChipConfigurationDescriptor(&length);
    EXPECT_EQ(std::vector<std::uint8_t>(config, config + length),
              sim::usb::DefaultConfigurationDescriptor());
}

TEST(VbusChip, WordLogDropsTheOldestWordsAndKeepsCounting) {
    vbus::ChipModel chip;
    chip.Reset(0);
    const std::uint32_t total = vbus::kWordLogCapacity + 3;
    for (std::uint32_t i = 0; i < total; ++i) {
        const auto word = static_cast<std::uint16_t>(i % 1024);
        const vbus::ChipSetup high{
            8, vbus::kChipRequest, vbus::kChipValueWritePorts,
            static_cast<std::uint16_t>((word / 256 + 4) << 8 | (word & 0xFF)), false};
        vbus::ChipSetup low = high;
        low.index = static_cast<std::uint16_t>(high.index - 0x400);
        chip.VendorRequest(high, nullptr, 0);
        chip.VendorRequest(low, nullptr, 0);
    }
    ASSERT_EQ(chip.WordCount(), total);
    std::uint16_t word = 0xFFFF;
    EXPECT_FALSE(chip.WordAt(2, &word)); // dropped
    ASSERT_TRUE(chip.WordAt(3, &word));  // the oldest one kept
    EXPECT_EQ(word, 3);
    ASSERT_TRUE(chip.WordAt(total - 1, &word));
    EXPECT_EQ(word, (total - 1) % 1024);
    EXPECT_FALSE(chip.WordAt(total, &word)); // not latched yet
}

} // namespace
