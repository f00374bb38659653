// What the bench view shows, worked out from the coil driver model's state
// with no window system: the two coil currents over one period, and the
// texts of the last transaction's frames, the applied setting and the counts.
#pragma once

#include "sim/usb/coil_driver_model.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace morlix {

// The amplitude scale: 4095 is 20 A peak.
inline constexpr int FullScaleAmplitude = 4095;
inline constexpr double FullScaleAmperes = 20.0;

double PeakAmperes(int amplitude);
// The phase byte spans -90° (0) to +90° (255): how far the Y current leads the X current.
double PhaseDegrees(std::uint8_t phase);

struct CurrentSample {
    double x = 0; // amperes
    double y = 0;
};

// The currents of one period, x = Ix sin(wt) and y = Iy sin(wt + phase), at
// samples + 1 equal steps of wt from 0 to 2 pi inclusive, so the last point
// closes the figure. Standby puts out nothing. Fewer than one sample gives one.
std::vector<CurrentSample> SampleCurrents(const sim::usb::CoilSetting& setting, int samples);

// The figures of the stored record sequence, one per point: a record frame
// addresses both axes, so each is both currents at the point's amplitude
// with the point's phase between them.
std::vector<std::vector<CurrentSample>> SampleRecord(const sim::usb::CoilSetting& setting,
                                                     int samples);

// One frame on one line: its kind, the fields that kind carries, its six bytes.
std::string FrameText(const sim::usb::DecodedFrame& frame);
// One line per frame of the transaction, or a line saying there is none yet.
std::vector<std::string> TransactionLines(const std::optional<sim::usb::ExecutedTransaction>& last);
// The outputs: both amplitudes with their currents and the phase, or standby.
std::string SettingText(const sim::usb::CoilSetting& setting);
// The stored record sequence, empty when there is none.
std::string RecordText(const sim::usb::CoilSetting& setting);
std::string WordCountText(std::size_t words);

} // namespace morlix
