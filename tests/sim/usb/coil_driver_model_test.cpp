#include "sim/usb/coil_driver_model.h"

#include <gtest/gtest.h>

#include <initializer_list>

namespace sim::usb {
namespace {

// One word as the console puts it on the lines: strobe high, low, high.
void WriteWord(CoilDriverModel& coil, int word) {
    const auto a = static_cast<std::uint8_t>(word & 0xFF);
    const auto b = static_cast<std::uint8_t>(word / 256 + 4);
    coil.SetPorts(a, b);
    coil.SetPorts(a, static_cast<std::uint8_t>(b - 4));
    coil.SetPorts(a, b);
}

void WriteFrame(CoilDriverModel& coil, std::initializer_list<int> bytes) {
    for (int b : bytes) {
        WriteWord(coil, 256 + b);
    }
}

TEST(CoilDriverLatch, OneStrobePulseLatchesOneWord) {
    CoilDriverModel coil;
    WriteWord(coil, 853);
    WriteWord(coil, 511);
    WriteWord(coil, 0);
    const std::vector<LatchedWord> expected{{3, 0x55}, {1, 0xFF}, {0, 0x00}};
    EXPECT_EQ(coil.LatchedWords(), expected);
    EXPECT_EQ(coil.PortB(), 0x04); // the strobe rests high after a word
}

TEST(CoilDriverLatch, OnlyTheFallingEdgeLatches) {
    CoilDriverModel coil;
    coil.SetPorts(0x12, 0x05); // rising edge from the power-on low
    coil.SetPorts(0x34, 0x05); // data changes while the strobe is high
    coil.SetPorts(0x34, 0x06); // still high
    EXPECT_TRUE(coil.LatchedWords().empty());
    coil.SetPorts(0x56, 0x02); // falls: samples the lines as they now are
    coil.SetPorts(0x78, 0x01); // stays low: nothing more
    const std::vector<LatchedWord> expected{{2, 0x56}};
    EXPECT_EQ(coil.LatchedWords(), expected);
    EXPECT_EQ(expected[0].Word(), 0x256);
}

TEST(CoilDriverTransaction, AxisFramesSetBothAmplitudesAndThePhase) {
    CoilDriverModel coil;
    WriteWord(coil, 0);
    WriteFrame(coil, {1000 % 256, 1000 / 256, 0x00, 0x2D, 0x10, 200});
    WriteFrame(coil, {4095 % 256, 4095 / 256, 0x00, 0x2D, 0x20, 200});
    EXPECT_EQ(coil.PendingFrameBytes(), 12u);
    EXPECT_TRUE(coil.Transactions().empty()); // nothing applies before the execute
    WriteWord(coil, 853);

    const auto transactions = coil.Transactions();
    ASSERT_EQ(transactions.size(), 1u);
    ASSERT_EQ(transactions[0].frames.size(), 2u);
    EXPECT_EQ(transactions[0].frames[0].kind, FrameKind::AxisX);
    EXPECT_EQ(transactions[0].frames[0].amplitude, 1000);
    EXPECT_EQ(transactions[0].frames[1].kind, FrameKind::AxisY);
    EXPECT_EQ(transactions[0].frames[1].amplitude, 4095);
    const CoilSetting s = coil.Setting();
    EXPECT_EQ(s.amplitudeX, 1000);
    EXPECT_EQ(s.amplitudeY, 4095);
    EXPECT_EQ(s.phase, 200);
    EXPECT_FALSE(s.standby);
    EXPECT_EQ(transactions[0].after, s);
    EXPECT_EQ(coil.PendingFrameBytes(), 0u);
    EXPECT_TRUE(coil.Anomalies().empty());
    EXPECT_EQ(coil.LatchedWords().size(), 14u);
}

TEST(CoilDriverFollow, CountsAndTheLastTransactionFollowEveryWordAndAClear) {
    CoilDriverModel coil;
    EXPECT_FALSE(coil.LastTransaction().has_value());
    const std::uint64_t start = coil.ChangeCount();
    WriteWord(coil, 0);
    WriteFrame(coil, {0xE8, 0x13, 0x00, 0x11, 0x30, 0x7F});
    EXPECT_EQ(coil.ChangeCount(), start + 7);
    EXPECT_FALSE(coil.LastTransaction().has_value()); // staged, not applied
    WriteWord(coil, 853);
    EXPECT_EQ(coil.WordCount(), 8u);
    ASSERT_TRUE(coil.LastTransaction().has_value());
    EXPECT_EQ(coil.LastTransaction()->frames.size(), 1u);
    EXPECT_EQ(coil.LastTransaction()->after.amplitudeX, 1000);

    WriteWord(coil, 0x2AA); // an anomaly moves the count too
    const std::uint64_t beforeClear = coil.ChangeCount();
    EXPECT_EQ(beforeClear, start + 10); // its word and its anomaly
    coil.ClearLogs();
    EXPECT_GT(coil.ChangeCount(), beforeClear);
    EXPECT_EQ(coil.WordCount(), 0u);
    EXPECT_FALSE(coil.LastTransaction().has_value());
}

TEST(CoilDriverTransaction, PresetFramesDecodeToTheirKinds) {
    CoilDriverModel coil;
    WriteWord(coil, 0);
    WriteFrame(coil, {0xE8, 0x13, 0x00, 0x11, 0x30, 0x7F}); // both, 1000
    WriteWord(coil, 853);
    EXPECT_EQ(coil.Setting().amplitudeX, 1000);
    EXPECT_EQ(coil.Setting().amplitudeY, 1000);

    WriteWord(coil, 0);
    WriteFrame(coil, {0x00, 0x00, 0x01, 0x13, 0x30, 0x7F}); // standby
    WriteWord(coil, 853);
    EXPECT_TRUE(coil.Setting().standby);
    EXPECT_EQ(coil.Setting().amplitudeX, 0);

    WriteWord(coil, 0);
    WriteFrame(coil, {0xFF, 0xFF, 0x05, 0xFD, 0x3F, 0x20});
    WriteFrame(coil, {0xFF, 0xFF, 0x05, 0xFD, 0x3F, 0x80});
    WriteFrame(coil, {0xFF, 0xFF, 0x05, 0xFD, 0x3F, 0xD0});
    WriteWord(coil, 853);
    const std::vector<RecordPoint> record{{4095, 0x20}, {4095, 0x80}, {4095, 0xD0}};
    EXPECT_EQ(coil.Setting().record, record);

    const auto t = coil.Transactions();
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].frames[0].kind, FrameKind::Both);
    EXPECT_EQ(t[0].frames[0].ampFlags, 1);
    EXPECT_EQ(t[1].frames[0].kind, FrameKind::Standby);
    EXPECT_EQ(t[2].frames[2].kind, FrameKind::Record);
    EXPECT_TRUE(coil.Anomalies().empty());
}

TEST(CoilDriverTransaction, ResetAloneClearsOutputsAndAStagedFrame) {
    CoilDriverModel coil;
    WriteWord(coil, 0);
    WriteFrame(coil, {0xE8, 0x13, 0x00, 0x11, 0x30, 0x7F});
    WriteWord(coil, 853);
    ASSERT_EQ(coil.Setting().amplitudeX, 1000);
    WriteFrame(coil, {1, 2, 3});
    WriteWord(coil, 0);
    EXPECT_EQ(coil.PendingFrameBytes(), 0u);
    EXPECT_EQ(coil.Setting(), CoilSetting{});
}

TEST(CoilDriverMalformed, BadSequencesAreLoggedAndApplyNothing) {
    CoilDriverModel coil;
    WriteWord(coil, 853); // execute with nothing staged
    WriteWord(coil, 0);
    WriteFrame(coil, {0xE8, 0x13, 0x00, 0x11, 0x30, 0x7F, 0x01}); // seven bytes
    WriteWord(coil, 853);
    WriteWord(coil, 0x2AA);    // unused register
    WriteWord(coil, 0x354);    // execute register with the wrong key
    WriteWord(coil, 0x001);    // reset register with data
    coil.SetPorts(0x00, 0x0C); // a line above the strobe
    EXPECT_TRUE(coil.Transactions().empty());
    EXPECT_EQ(coil.Setting(), CoilSetting{});
    EXPECT_EQ(coil.Anomalies().size(), 6u);
}

TEST(CoilDriverMalformed, UnknownFrameIsLoggedButItsNeighboursApply) {
    CoilDriverModel coil;
    WriteWord(coil, 0);
    WriteFrame(coil, {0x10, 0x00, 0x00, 0x2D, 0x00, 0x40}); // no axis
    WriteFrame(coil, {0x20, 0x00, 0x00, 0x2D, 0x10, 0x40});
    WriteWord(coil, 853);
    ASSERT_EQ(coil.Transactions().size(), 1u);
    EXPECT_EQ(coil.Transactions()[0].frames[0].kind, FrameKind::Unknown);
    EXPECT_EQ(coil.Setting().amplitudeX, 0x20);
    EXPECT_EQ(coil.Anomalies().size(), 1u);
}

TEST(CoilDriverMalformed, FrameBufferOverflowIsBoundedAndRejected) {
    CoilDriverModel coil;
    WriteWord(coil, 0);
    for (std::size_t i = 0; i < FrameBufferCapacity + 600; ++i) {
        WriteWord(coil, 256 + 0x11);
    }
    EXPECT_EQ(coil.PendingFrameBytes(), FrameBufferCapacity);
    WriteWord(coil, 853);
    EXPECT_TRUE(coil.Transactions().empty());
    EXPECT_EQ(coil.Anomalies().size(), 2u); // the overflow once, then the execute
}

// Every execute, applied or refused, leaves nothing staged: the next transaction holds only its
// own frames.
TEST(CoilDriverTransaction, EachExecuteStartsTheNextTransactionEmpty) {
    CoilDriverModel coil;
    WriteWord(coil, 0);
    WriteFrame(coil, {0x10, 0x00, 0x00, 0x2D, 0x10, 0x40});
    WriteFrame(coil, {0x20, 0x00, 0x00, 0x2D, 0x20, 0x41});
    WriteWord(coil, 853);
    EXPECT_EQ(coil.PendingFrameBytes(), 0u);
    WriteFrame(coil, {0x30, 0x00, 0x00, 0x2D, 0x10}); // five bytes: refused
    WriteWord(coil, 853);
    EXPECT_EQ(coil.PendingFrameBytes(), 0u);
    WriteFrame(coil, {0x40, 0x00, 0x00, 0x2D, 0x20, 0x42});
    WriteWord(coil, 853);
    WriteWord(coil, 853); // nothing staged any more
    const auto transactions = coil.Transactions();
    ASSERT_EQ(transactions.size(), 2u);
    EXPECT_EQ(transactions[0].frames.size(), 2u);
    ASSERT_EQ(transactions[1].frames.size(), 1u);
    EXPECT_EQ(transactions[1].frames[0].amplitude, 0x40);
    EXPECT_EQ(transactions[1].after.amplitudeX, 0x10);
    EXPECT_EQ(transactions[1].after.amplitudeY, 0x40);
    EXPECT_EQ(transactions[1].after.phase, 0x42);
    EXPECT_EQ(coil.Anomalies().size(), 2u); // the five bytes, then the empty execute
}

} // namespace
} // namespace sim::usb
