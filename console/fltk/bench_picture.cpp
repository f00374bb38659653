#include "bench_picture.h"

#include <cmath>
#include <cstdio>
#include <numbers>

namespace morlix {

using sim::usb::CoilSetting;
using sim::usb::DecodedFrame;
using sim::usb::FrameKind;

double PeakAmperes(int amplitude) {
    return amplitude * FullScaleAmperes / FullScaleAmplitude;
}

double PhaseDegrees(std::uint8_t phase) {
    return -90.0 + phase * 180.0 / 255.0;
}

std::vector<CurrentSample> SampleCurrents(const CoilSetting& setting, int samples) {
    if (samples < 1) {
        samples = 1;
    }
    const double ix = setting.standby ? 0.0 : PeakAmperes(setting.amplitudeX);
    const double iy = setting.standby ? 0.0 : PeakAmperes(setting.amplitudeY);
    const double phase = PhaseDegrees(setting.phase) * std::numbers::pi / 180.0;
    std::vector<CurrentSample> points;
    points.reserve(static_cast<std::size_t>(samples) + 1);
    for (int i = 0; i <= samples; ++i) {
        const double wt = 2.0 * std::numbers::pi * i / samples;
        points.push_back({ix * std::sin(wt), iy * std::sin(wt + phase)});
    }
    return points;
}

std::vector<std::vector<CurrentSample>> SampleRecord(const CoilSetting& setting, int samples) {
    std::vector<std::vector<CurrentSample>> figures;
    for (const sim::usb::RecordPoint& point : setting.record) {
        CoilSetting both;
        both.amplitudeX = point.amplitude;
        both.amplitudeY = point.amplitude;
        both.phase = point.phase;
        figures.push_back(SampleCurrents(both, samples));
    }
    return figures;
}

namespace {

std::string Amplitude(int amplitude) {
    char text[48];
    std::snprintf(text, sizeof text, "amp %4d (%5.2f A)", amplitude, PeakAmperes(amplitude));
    return text;
}

std::string Phase(std::uint8_t phase) {
    char text[48];
    std::snprintf(text, sizeof text, "phase %3u (%+5.1f\u00B0)", static_cast<unsigned>(phase),
                  PhaseDegrees(phase));
    return text;
}

std::string Bytes(const DecodedFrame& frame) {
    std::string text;
    for (std::uint8_t b : frame.bytes) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned>(b));
        text += text.empty() ? "" : " ";
        text += hex;
    }
    return text;
}

} // namespace

std::string FrameText(const DecodedFrame& frame) {
    char kind[16];
    std::snprintf(kind, sizeof kind, "%-8s", sim::usb::FrameKindName(frame.kind));
    std::string fields;
    switch (frame.kind) {
    case FrameKind::AxisX:
    case FrameKind::AxisY:
    case FrameKind::Both:
    case FrameKind::Record:
        fields = Amplitude(frame.amplitude) + "  " + Phase(frame.phase);
        break;
    case FrameKind::Standby:
        fields = "outputs off";
        break;
    case FrameKind::Unknown:
        fields = "not applied";
        break;
    }
    return std::string(kind) + " " + fields + "  [" + Bytes(frame) + "]";
}

std::vector<std::string>
TransactionLines(const std::optional<sim::usb::ExecutedTransaction>& last) {
    if (!last) {
        return {"no transaction applied yet"};
    }
    std::vector<std::string> lines;
    lines.reserve(last->frames.size());
    for (const DecodedFrame& frame : last->frames) {
        lines.push_back(FrameText(frame));
    }
    return lines;
}

std::string SettingText(const CoilSetting& setting) {
    if (setting.standby) {
        return "standby: both outputs off";
    }
    return "X " + Amplitude(setting.amplitudeX) + "   Y " + Amplitude(setting.amplitudeY) + "   " +
           Phase(setting.phase);
}

std::string RecordText(const CoilSetting& setting) {
    if (setting.record.empty()) {
        return {};
    }
    std::string text = "record (amp/phase):";
    for (const sim::usb::RecordPoint& point : setting.record) {
        char item[48];
        std::snprintf(item, sizeof item, " %d/%u", point.amplitude,
                      static_cast<unsigned>(point.phase));
        text += item;
    }
    return text;
}

std::string WordCountText(std::size_t words) {
    return "words latched: " + std::to_string(words);
}

} // namespace morlix
