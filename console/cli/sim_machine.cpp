#include "sim_machine.h"

#include "norvask.h"

#include <algorithm>
#include <sstream>
#include <vector>

namespace morlix::cli {

namespace {

std::string SettingText(const sim::usb::CoilSetting& setting) {
    std::ostringstream text;
    text << "setting: X=" << setting.amplitudeX << " Y=" << setting.amplitudeY
         << " phase=" << static_cast<int>(setting.phase)
         << " standby=" << (setting.standby ? "yes" : "no") << " record=[";
    for (std::size_t i = 0; i < setting.record.size(); ++i) {
        text << (i ? " " : "") << setting.record[i].amplitude << "@"
             << static_cast<int>(setting.record[i].phase);
    }
    text << "]";
    return text.str();
}

} // namespace

SimMachine::SimMachine(const MachineOptions& options) {
    sim::bench::BenchOptions benchOptions;
    benchOptions.serialNumber = options.serialNumber;
    benchOptions.poolTag = norvask::kPoolTag;
    benchOptions.keepRegistry = options.keepRegistry;
    benchOptions.plug = options.plugged;
    benchOptions.completionDelayMicroseconds = options.completionDelayMicroseconds;
    bench_ = std::make_unique<sim::bench::Bench>(
        [](sim::wdm::PDRIVER_OBJECT driver, sim::wdm::PUNICODE_STRING path) {
            return norvask::DriverEntry(driver, path);
        },
        benchOptions);
    platform_ = std::make_unique<SimPlatform>(bench_->registry(), bench_->io());
}

SimMachine::~SimMachine() {
    Shutdown();
}

bool SimMachine::Plug() {
    return sim::wdm::NT_SUCCESS(bench_->Plug());
}

bool SimMachine::UnplugChip(std::string& reason) {
    if (!Unplug()) {
        reason = "the chip is not plugged";
        return false;
    }
    return true;
}

bool SimMachine::PlugChip(std::string& reason) {
    if (Plugged()) {
        reason = "the chip is already plugged";
        return false;
    }
    if (!Plug()) {
        reason = "the driver did not start on the chip";
        return false;
    }
    return true;
}

bool SimMachine::DescribeCoil(std::string& out, std::string&) {
    sim::usb::CoilDriverModel& model = coil();
    const std::vector<sim::usb::LatchedWord> words = model.LatchedWords();
    const std::vector<sim::usb::ExecutedTransaction> transactions = model.Transactions();
    const std::vector<std::string> anomalies = model.Anomalies();
    std::ostringstream text;
    const std::size_t newWords = words.size() - std::min(wordsShown_, words.size());
    text << "latched " << newWords << (newWords == 1 ? " word" : " words") << ":";
    for (std::size_t i = words.size() - newWords; i < words.size(); ++i) {
        text << " " << words[i].Word();
    }
    text << "\n";
    for (std::size_t i = std::min(transactionsShown_, transactions.size()); i < transactions.size();
         ++i) {
        text << "executed:";
        for (const sim::usb::DecodedFrame& frame : transactions[i].frames) {
            text << " " << sim::usb::FrameKindName(frame.kind) << "(A=" << frame.amplitude
                 << " phase=" << static_cast<int>(frame.phase) << ")";
        }
        text << "\n";
    }
    for (std::size_t i = std::min(anomaliesShown_, anomalies.size()); i < anomalies.size(); ++i) {
        text << "anomaly: " << anomalies[i] << "\n";
    }
    text << SettingText(model.Setting()) << "\n";
    text << "chip: " << (Plugged() ? "plugged" : "not plugged") << "\n";
    wordsShown_ = words.size();
    transactionsShown_ = transactions.size();
    anomaliesShown_ = anomalies.size();
    out = text.str();
    return true;
}

std::string SimMachine::Shutdown() {
    if (bench_->IsShutDown()) {
        return {};
    }
    platform_.reset();
    return bench_->Shutdown();
}

} // namespace morlix::cli
