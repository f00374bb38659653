#include "core/command_packet.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

namespace norvask::core {
namespace {

using Packet = std::vector<u8>;

Packet Header(u8 type, u8 code, u8 major, u8 minor, u8 low, u8 high, u16 extra) {
    return {type,
            code,
            major,
            minor,
            low,
            high,
            static_cast<u8>(extra & 0xFF),
            static_cast<u8>(extra >> 8)};
}

TEST(CommandPacketConsole, WritePacketIsAnOutTransferWithoutData) {
    Packet p = Header(8, 18, 10, 10, 0x5A, 0x03, 0);
    VendorTransferPlan plan{};
    ASSERT_TRUE(PlanVendorTransfer(p.data(), 8, 8, true, &plan));
    EXPECT_FALSE(plan.directionIn);
    EXPECT_EQ(plan.transferFlags, 0u);
    EXPECT_EQ(plan.requestTypeReservedBits, 8);
    EXPECT_EQ(plan.request, 18);
    EXPECT_EQ(plan.value, 0x0A0A);
    EXPECT_EQ(plan.index, 0x03 * 256 + 0x5A);
    EXPECT_EQ(plan.dataLength, 0u);
    EXPECT_FALSE(plan.hasData);
}

TEST(CommandPacketConsole, SerialNumberReadIsAnEightByteInTransferOverThePacket) {
    Packet p = Header(8, 18, 11, 10, 0, 0, 0);
    VendorTransferPlan plan{};
    ASSERT_TRUE(PlanVendorTransfer(p.data(), 8, 8, true, &plan));
    EXPECT_TRUE(plan.directionIn);
    EXPECT_EQ(plan.transferFlags, 3u);
    EXPECT_EQ(plan.value, 0x0A0B);
    EXPECT_EQ(plan.index, 0);
    EXPECT_EQ(plan.dataLength, 8u);
    EXPECT_TRUE(plan.hasData);
    EXPECT_EQ(plan.dataOffset, 0u);
}

TEST(CommandPacketDirection, OddMajorGoesInOnlyForRequestTypesUpToEleven) {
    for (int type = 0; type < 256; ++type) {
        Packet p = Header(static_cast<u8>(type), 1, 0x33, 0, 0, 0, 2);
        p.push_back(0xAA);
        p.push_back(0xBB);
        VendorTransferPlan plan{};
        ASSERT_TRUE(PlanVendorTransfer(p.data(), 10, 8, true, &plan)) << type;
        EXPECT_EQ(plan.directionIn, type <= 11) << type;
        EXPECT_EQ(plan.requestTypeReservedBits, type);
        if (!plan.directionIn) {
            // Out with ExtraLength bytes of data after the header.
            EXPECT_EQ(plan.transferFlags, 0u);
            EXPECT_EQ(plan.dataLength, 2u);
            EXPECT_TRUE(plan.hasData);
            EXPECT_EQ(plan.dataOffset, 8u);
        }
    }
}

TEST(CommandPacketDirection, EvenMajorAlwaysGoesOut) {
    for (int type = 0; type < 256; ++type) {
        for (int major = 0; major < 256; major += 2) {
            Packet p = Header(static_cast<u8>(type), 1, static_cast<u8>(major), 0, 0, 0, 0);
            VendorTransferPlan plan{};
            ASSERT_TRUE(PlanVendorTransfer(p.data(), 8, 8, true, &plan));
            EXPECT_FALSE(plan.directionIn);
        }
    }
}

TEST(CommandPacketDirection, NoSystemBufferMeansNoPacketToRead) {
    Packet p = Header(8, 18, 11, 10, 0, 0, 0);
    VendorTransferPlan plan{};
    EXPECT_FALSE(PlanVendorTransfer(p.data(), 8, 8, false, &plan));
    EXPECT_FALSE(PlanVendorTransfer(nullptr, 8, 8, true, &plan));
}

TEST(CommandPacketExtraLength, LargeValuesSendEightBytesAndAreWrittenBackAsEight) {
    for (u32 extra = 9; extra <= 65535; ++extra) {
        Packet p = Header(8, 18, 10, 10, 0, 0, static_cast<u16>(extra));
        p.resize(16, 0x11);
        VendorTransferPlan plan{};
        ASSERT_TRUE(PlanVendorTransfer(p.data(), 16, 8, true, &plan)) << extra;
        ASSERT_EQ(plan.dataLength, 8u);
        ASSERT_EQ(plan.dataOffset, 8u);
        ASSERT_EQ(plan.extraLength, 8);
        ASSERT_EQ(p[6], 8);
        ASSERT_EQ(p[7], 0);
    }
}

TEST(CommandPacketExtraLength, ZeroMeansNoDataBuffer) {
    Packet p = Header(0x40, 5, 4, 0, 0, 0, 0);
    p.resize(16, 0x22); // bytes after the header are not data when ExtraLength is 0
    VendorTransferPlan plan{};
    ASSERT_TRUE(PlanVendorTransfer(p.data(), 16, 8, true, &plan));
    EXPECT_EQ(plan.dataLength, 0u);
    EXPECT_FALSE(plan.hasData);
}

TEST(CommandPacketExtraLength, InTransferIgnoresAndKeepsIt) {
    Packet p = Header(8, 18, 11, 10, 0, 0, 65535);
    VendorTransferPlan plan{};
    ASSERT_TRUE(PlanVendorTransfer(p.data(), 8, 8, true, &plan));
    EXPECT_TRUE(plan.directionIn);
    EXPECT_EQ(plan.dataLength, 8u);
    EXPECT_EQ(p[6], 0xFF);
    EXPECT_EQ(p[7], 0xFF);
}

TEST(CommandPacketShortInput, HeaderShorterThanEightBytesFails) {
    for (u32 input = 0; input < 8; ++input) {
        Packet p = Header(8, 18, 11, 10, 0, 0, 0);
        VendorTransferPlan plan{};
        EXPECT_FALSE(PlanVendorTransfer(p.data(), input, 8, true, &plan)) << input;
    }
}

TEST(CommandPacketShortInput, OutDataBeyondTheInputFailsAndLeavesThePacketAlone) {
    Packet p = Header(8, 18, 10, 10, 0, 0, 5);
    VendorTransferPlan plan{};
    EXPECT_FALSE(PlanVendorTransfer(p.data(), 12, 8, true, &plan));
    EXPECT_TRUE(PlanVendorTransfer(p.data(), 13, 8, true, &plan));

    // Clamped to 8, the data still needs 16 input bytes; the clamp is not written on failure.
    Packet q = Header(8, 18, 10, 10, 0, 0, 300);
    const Packet before = q;
    EXPECT_FALSE(PlanVendorTransfer(q.data(), 15, 8, true, &plan));
    EXPECT_EQ(q, before);
}

TEST(CommandPacketInLength, IsTheSmallestOfEightInputAndOutput) {
    for (u32 input = 8; input <= 64; ++input) {
        for (u32 output = 0; output <= 24; ++output) {
            Packet p = Header(0, 0, 1, 0, 0, 0, 0);
            p.resize(input > output ? input : output);
            VendorTransferPlan plan{};
            ASSERT_TRUE(PlanVendorTransfer(p.data(), input, output, true, &plan));
            EXPECT_EQ(plan.dataLength, output < 8 ? output : 8u);
        }
    }
}

TEST(CommandPacketReply, CountIsWhatMovedCappedByRequestAndOutput) {
    EXPECT_EQ(VendorReplyLength(3, 8, 8), 3u);
    EXPECT_EQ(VendorReplyLength(8, 8, 8), 8u);
    EXPECT_EQ(VendorReplyLength(0, 8, 8), 0u);
    EXPECT_EQ(VendorReplyLength(8, 8, 4), 4u);       // OUT data longer than the output buffer
    EXPECT_EQ(VendorReplyLength(0xFFFF, 8, 64), 8u); // a bus reporting more than was asked
}

// Every header byte value at every length: the plan never points outside what the caller gave.
// The buffer is exactly the input long, so a read past it trips the address sanitizer.
TEST(CommandPacketSafety, NoByteOrLengthReachesOutsideTheBuffers) {
    const std::array<u16, 12> extras{0, 1, 2, 7, 8, 9, 15, 16, 255, 256, 4096, 65535};
    for (int type : {0, 1, 11, 12, 128, 255}) {
        for (int major = 0; major < 4; ++major) {
            for (u16 extra : extras) {
                for (u32 input = 0; input <= 20; ++input) {
                    for (u32 output = 0; output <= 12; ++output) {
                        auto buf = std::make_unique<u8[]>(input ? input : 1);
                        Packet h = Header(static_cast<u8>(type), 0xFF, static_cast<u8>(major), 0xFF,
                                          0xFF, 0xFF, extra);
                        for (u32 i = 0; i < input && i < 8; ++i) {
                            buf[i] = h[i];
                        }
                        VendorTransferPlan plan{};
                        const bool ok = PlanVendorTransfer(input ? buf.get() : nullptr, input,
                                                           output, true, &plan);
                        if (!ok) {
                            continue;
                        }
                        ASSERT_GE(input, 8u);
                        if (plan.directionIn) {
                            ASSERT_LE(plan.dataLength, output);
                            ASSERT_LE(plan.dataLength, 8u);
                        } else if (plan.hasData) {
                            ASSERT_LE(plan.dataOffset + plan.dataLength, input);
                        } else {
                            ASSERT_EQ(plan.dataLength, 0u);
                        }
                    }
                }
            }
        }
    }
}

TEST(CommandPacketSafety, RandomPacketsStayInsideTheBuffers) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 200000; ++round) {
        const u32 input = rng() % 24;
        const u32 output = rng() % 24;
        const u32 size = input > output ? input : output;
        auto buf = std::make_unique<u8[]>(size ? size : 1);
        for (u32 i = 0; i < size; ++i) {
            buf[i] = static_cast<u8>(rng());
        }
        VendorTransferPlan plan{};
        if (!PlanVendorTransfer(size ? buf.get() : nullptr, input, output, size != 0, &plan)) {
            continue;
        }
        ASSERT_GE(input, 8u);
        if (plan.directionIn) {
            ASSERT_LE(plan.dataLength, output);
        } else {
            ASSERT_LE(plan.extraLength, 8u);
            ASSERT_LE(plan.dataOffset + plan.dataLength, input);
            ASSERT_EQ(buf[6] | (buf[7] << 8), plan.extraLength);
        }
    }
}

} // namespace
} // namespace norvask::core
