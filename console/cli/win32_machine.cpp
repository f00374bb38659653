#include "win32_machine.h"

namespace morlix::cli {

namespace {

constexpr const char* NoBus = "no virtual bus runs here: ";

} // namespace

Win32Machine::Win32Machine() {
    vbus::BusState state{};
    if (bus_.State(state)) {
        wordsShown_ = state.words;
    }
}

std::string Win32Machine::Name() const {
    return bus_.Open() ? "Windows, the chip on the virtual bus" : "Windows";
}

bool Win32Machine::DescribeCoil(std::string& text, std::string& reason) {
    vbus::BusState state{};
    if (!bus_.State(state)) {
        reason =
            std::string(NoBus) + "a real chip does not report the words its coil driver latched";
        return false;
    }
    const std::vector<unsigned short> words = bus_.Words(wordsShown_);
    wordsShown_ += static_cast<unsigned int>(words.size());
    text = vbus::WordsLine(words);
    text += state.plugged ? "chip: plugged\n" : "chip: not plugged\n";
    return true;
}

bool Win32Machine::UnplugChip(std::string& reason) {
    if (!bus_.Open()) {
        reason = std::string(NoBus) + "pull the chip out by hand";
        return false;
    }
    return bus_.Unplug(reason);
}

bool Win32Machine::PlugChip(std::string& reason) {
    if (!bus_.Open()) {
        reason = std::string(NoBus) + "plug the chip in by hand";
        return false;
    }
    return bus_.Plug(reason);
}

} // namespace morlix::cli
