#include "sim/usb/coil_driver_model.h"
#include "sim/usb/io_chip.h"

#include <gtest/gtest.h>

#include <array>
#include <thread>
#include <vector>

namespace sim::usb {
namespace {

VendorSetup WritePorts(std::uint8_t a, std::uint8_t b) {
    return {8, ChipRequest, ChipValueWritePorts, static_cast<std::uint16_t>(b * 256 + a), false};
}

TEST(IoChipPorts, WritePortsRequestsDriveTheCoilLines) {
    CoilDriverModel coil;
    IoChip chip(0, &coil);
    for (std::uint8_t b : {0x07, 0x03, 0x07}) {
        const VendorResult r = chip.VendorRequest(WritePorts(0x55, b), nullptr, 0);
        EXPECT_FALSE(r.stalled);
        EXPECT_EQ(r.bytesMoved, 0u);
    }
    EXPECT_EQ(chip.PortA(), 0x55);
    EXPECT_EQ(chip.PortB(), 0x07);
    const std::vector<LatchedWord> expected{{3, 0x55}};
    EXPECT_EQ(coil.LatchedWords(), expected);
    EXPECT_EQ(chip.VendorLog().size(), 3u);
}

TEST(IoChipPorts, DataStageOfAWriteIsAcceptedAndCounted) {
    IoChip chip;
    std::array<std::uint8_t, 3> data{1, 2, 3};
    const VendorResult r = chip.VendorRequest(WritePorts(0xAA, 0x01), data.data(), 3);
    EXPECT_EQ(r.bytesMoved, 3u);
    ASSERT_EQ(chip.VendorLog().size(), 1u);
    EXPECT_EQ(chip.VendorLog()[0].dataOut, std::vector<std::uint8_t>({1, 2, 3}));
}

TEST(IoChipSerial, SerialNumberComesBackLittleEndian) {
    IoChip chip(0x12345678);
    std::array<std::uint8_t, 8> reply{};
    const VendorSetup read{8, ChipRequest, ChipValueReadSerial, 0, true};
    VendorResult r = chip.VendorRequest(read, reply.data(), 8);
    EXPECT_FALSE(r.stalled);
    EXPECT_EQ(r.bytesMoved, 4u);
    EXPECT_EQ(reply, (std::array<std::uint8_t, 8>{0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0}));

    // A shorter buffer gets only what fits.
    std::array<std::uint8_t, 4> small{0xEE, 0xEE, 0xEE, 0xEE};
    r = chip.VendorRequest(read, small.data(), 2);
    EXPECT_EQ(r.bytesMoved, 2u);
    EXPECT_EQ(small, (std::array<std::uint8_t, 4>{0x78, 0x56, 0xEE, 0xEE}));

    chip.SetSerialNumber(0);
    reply.fill(0xEE);
    r = chip.VendorRequest(read, reply.data(), 8);
    EXPECT_EQ(r.bytesMoved, 4u);
    EXPECT_EQ(reply[0] | reply[1] | reply[2] | reply[3], 0);
}

TEST(IoChipUnknown, UnknownRequestsStallAndLeaveThePortsAlone) {
    CoilDriverModel coil;
    IoChip chip(7, &coil);
    std::array<std::uint8_t, 8> reply{};
    EXPECT_TRUE(
        chip.VendorRequest({8, 17, ChipValueWritePorts, 0x0455, false}, nullptr, 0).stalled);
    EXPECT_TRUE(
        chip.VendorRequest({8, ChipRequest, 0x0B0B, 0x0455, true}, reply.data(), 8).stalled);
    EXPECT_EQ(chip.PortB(), 0);
    EXPECT_TRUE(coil.LatchedWords().empty());
    const auto log = chip.VendorLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_TRUE(log[1].result.stalled);
    EXPECT_EQ(reply, (std::array<std::uint8_t, 8>{}));
}

TEST(IoChipThreads, ConcurrentWordsEachLatchWhole) {
    CoilDriverModel coil;
    IoChip chip(0, &coil);
    // Each thread strobes one register with its own data, under a lock the
    // threads share, as one device handle at a time would.
    std::mutex link;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                std::lock_guard lock(link);
                const auto a = static_cast<std::uint8_t>(t * 50 + i);
                chip.VendorRequest(WritePorts(a, 0x05), nullptr, 0);
                chip.VendorRequest(WritePorts(a, 0x01), nullptr, 0);
                chip.VendorRequest(WritePorts(a, 0x05), nullptr, 0);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    const auto words = coil.LatchedWords();
    ASSERT_EQ(words.size(), 200u);
    std::array<int, 256> seen{};
    for (const auto& w : words) {
        EXPECT_EQ(w.address, 1);
        ++seen[w.data];
    }
    for (int d = 0; d < 200; ++d) {
        EXPECT_EQ(seen[d], 1) << d;
    }
    EXPECT_EQ(chip.VendorLog().size(), 600u);
}

} // namespace
} // namespace sim::usb
