// What the bench view draws and prints, from the coil driver model fed with
// the console's own transactions.
#include "bench_picture.h"

#include "coil_word.h"

#include "sim/usb/coil_driver_model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace morlix {
namespace {

using sim::usb::CoilDriverModel;
using sim::usb::CoilSetting;

// Every word of a transaction on the chip's lines, strobe high, low, high.
void Send(CoilDriverModel& coil, const std::vector<CoilFrame>& frames) {
    for (const CoilWord word : Transaction(frames)) {
        const auto data = static_cast<std::uint8_t>(word & 0xFF);
        const auto address = static_cast<std::uint8_t>(word / 256);
        coil.SetPorts(data, address | sim::usb::PortBStrobe);
        coil.SetPorts(data, address);
        coil.SetPorts(data, address | sim::usb::PortBStrobe);
    }
}

TEST(BenchPictureCurrents, AmplitudeSetsThePeakAndPhaseShiftsTheYCurrent) {
    CoilSetting setting;
    setting.amplitudeX = 4095;
    setting.amplitudeY = 1000;
    setting.phase = 255; // Y leads by 90 degrees
    const std::vector<CurrentSample> points = SampleCurrents(setting, 8);
    ASSERT_EQ(points.size(), 9u);
    EXPECT_NEAR(points[0].x, 0.0, 1e-9);
    EXPECT_NEAR(points[2].x, 20.0, 1e-9); // a quarter period: full scale is 20 A
    EXPECT_NEAR(points[6].x, -20.0, 1e-9);
    EXPECT_NEAR(points[0].y, 1000 * 20.0 / 4095, 1e-9); // at its peak as X starts
    EXPECT_NEAR(points[2].y, 0.0, 1e-9);
    EXPECT_NEAR(points[8].x, points[0].x, 1e-9); // the figure closes
    EXPECT_NEAR(points[8].y, points[0].y, 1e-9);

    setting.phase = 0; // Y lags by 90 degrees
    EXPECT_NEAR(SampleCurrents(setting, 8)[0].y, -1000 * 20.0 / 4095, 1e-9);
}

TEST(BenchPictureCurrents, NearlyInPhaseTracesALineAndStandbyNothing) {
    CoilSetting setting;
    setting.amplitudeX = 2000;
    setting.amplitudeY = 1000;
    setting.phase = 128; // +0.35 degrees: close to in phase
    EXPECT_NEAR(PhaseDegrees(128), 0.353, 1e-3);
    for (const CurrentSample& p : SampleCurrents(setting, 64)) {
        EXPECT_NEAR(p.y, p.x / 2, 0.05);
    }
    setting.standby = true; // the model keeps no amplitudes then, but a stale one must not show
    for (const CurrentSample& p : SampleCurrents(setting, 4)) {
        EXPECT_EQ(p.x, 0.0);
        EXPECT_EQ(p.y, 0.0);
    }
    EXPECT_EQ(SampleCurrents(setting, 0).size(), 2u);
    EXPECT_EQ(SampleCurrents(setting, -5).size(), 2u);
}

TEST(BenchPictureCurrents, EachRecordPointTracesBothAxesAtItsAmplitudeAndPhase) {
    CoilSetting setting;
    EXPECT_TRUE(SampleRecord(setting, 8).empty());
    setting.record = {{4095, 255}, {1000, 0}};
    const auto figures = SampleRecord(setting, 8);
    ASSERT_EQ(figures.size(), 2u);
    EXPECT_NEAR(figures[0][2].x, 20.0, 1e-9);
    EXPECT_NEAR(figures[0][0].y, 20.0, 1e-9); // Y leads by 90 degrees
    EXPECT_NEAR(figures[1][2].x, 1000 * 20.0 / 4095, 1e-9);
    EXPECT_NEAR(figures[1][0].y, -1000 * 20.0 / 4095, 1e-9);
}

TEST(BenchPictureText, TheEntryTransactionReadsAsTwoAxisFrames) {
    CoilDriverModel coil;
    EXPECT_EQ(TransactionLines(coil.LastTransaction()),
              std::vector<std::string>{"no transaction applied yet"});
    Send(coil, {AxisFrame(Axis::X, 1000, 128), AxisFrame(Axis::Y, 4095, 128)});
    const std::vector<std::string> lines = TransactionLines(coil.LastTransaction());
    const std::vector<std::string> expected{
        "axis X   amp 1000 ( 4.88 A)  phase 128 ( +0.4\u00B0)  [E8 03 00 2D 10 80]",
        "axis Y   amp 4095 (20.00 A)  phase 128 ( +0.4\u00B0)  [FF 0F 00 2D 20 80]"};
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(SettingText(coil.Setting()),
              "X amp 1000 ( 4.88 A)   Y amp 4095 (20.00 A)   phase 128 ( +0.4\u00B0)");
    EXPECT_EQ(WordCountText(coil.WordCount()), "words latched: 14");
    EXPECT_EQ(RecordText(coil.Setting()), "");
}

TEST(BenchPictureText, TripleRecordAndStandbyReadAsTheirKinds) {
    CoilDriverModel coil;
    Send(coil, {RecordFrame(1, 1000), RecordFrame(2, 3000), RecordFrame(3, 4095)});
    const std::vector<std::string> lines = TransactionLines(coil.LastTransaction());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0],
              "record   amp 1000 ( 4.88 A)  phase  32 (-67.4\u00B0)  [E8 F3 05 FD 3F 20]");
    EXPECT_EQ(lines[2].substr(0, 28), "record   amp 4095 (20.00 A) ");
    EXPECT_EQ(RecordText(coil.Setting()), "record (amp/phase): 1000/32 3000/128 4095/208");
    EXPECT_EQ(WordCountText(coil.WordCount()), "words latched: 20");

    Send(coil, {StandbyFrame()});
    EXPECT_EQ(TransactionLines(coil.LastTransaction()),
              std::vector<std::string>{"standby  outputs off  [00 00 01 13 30 7F]"});
    EXPECT_EQ(SettingText(coil.Setting()), "standby: both outputs off");
}

TEST(BenchPictureText, AFrameOfNoKnownKindIsShownAsNotApplied) {
    sim::usb::DecodedFrame frame = sim::usb::DecodeFrame({0x10, 0x00, 0x00, 0x2D, 0x00, 0x40});
    EXPECT_EQ(FrameText(frame), "unknown  not applied  [10 00 00 2D 00 40]");
}

} // namespace
} // namespace morlix
