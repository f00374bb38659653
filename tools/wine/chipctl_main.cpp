// chipctl's command line, and what needs no more than the bus: its state and log, the chip
// pulled out or plugged in, and a timing through the console's own handlers.
#include "chipctl.h"

#include "form_main.h"
#include "headless_window.h"
#include "usb_link.h"
#include "win32_platform.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace chipctl {

namespace {

const char kSettingsKey[] = "SOFTWARE\\Veltrane\\Morlix";

// Every timing starts without stored console settings and leaves none.
void ForgetSettings() {
    RegDeleteKeyA(HKEY_CURRENT_USER, kSettingsKey);
}

} // namespace

int Time(const vbus::BusClient& bus, int presets) {
    ForgetSettings();
    morlix::Win32Platform platform;
    morlix::HeadlessWindow window;
    morlix::UsbLink link(platform);
    morlix::formMain form(window, link);
    window.Attach(&form);
    window.Load();
    if (!window.Shown()) {
        return 1;
    }
    vbus::BusState before{};
    bus.State(before);
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (int i = 0; i < presets; ++i) {
        window.Click(morlix::ControlId::cmdMax);
    }
    QueryPerformanceCounter(&end);
    vbus::BusState after{};
    bus.State(after);
    window.Unload();
    ForgetSettings();
    const double ms = 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
                      static_cast<double>(frequency.QuadPart);
    const unsigned words = after.words - before.words;
    if (words == 0) {
        std::fprintf(stderr, "chipctl: no word latched\n");
        return 1;
    }
    std::printf("%u coil words in %.1f ms: %.3f ms per word (open, 3 requests, close)\n", words, ms,
                ms / words);
    return 0;
}

} // namespace chipctl

namespace {

void PrintState(const vbus::BusState& s) {
    std::printf("bus started %u; chip plugged %u, device %u, started %u, configured %u; serial "
                "number %u; words %u; transfers %u; descriptor reads %u; pipe resets %u, aborts "
                "%u; port status queries %u, resets %u; devices created %u, removed %u\n",
                s.busStarted, s.plugged, s.childPresent, s.childStarted, s.configured,
                s.serialNumber, s.words, s.transfers, s.descriptorReads, s.pipeResets, s.pipeAborts,
                s.portStatusQueries, s.portResets, s.childrenCreated, s.childrenRemoved);
}

int Usage() {
    std::fprintf(stderr, "usage: chipctl probe | hold-unplug | hold-remove | unplug | plug | "
                         "words FIRST | state | time N\n"
                         "(the console's commands run in morlixctl)\n");
    return 2;
}

bool ParseCount(const char* text, unsigned long long limit, unsigned long long& value) {
    char* end = nullptr;
    value = std::strtoull(text, &end, 10);
    return *text && !*end && text[0] != '-' && value <= limit;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return Usage();
    }
    const std::string command = argv[1];
    unsigned long long number = 0;
    const bool known =
        (argc == 2 && (command == "probe" || command == "hold-unplug" || command == "hold-remove" ||
                       command == "unplug" || command == "plug" || command == "state")) ||
        (argc == 3 && command == "words" && ParseCount(argv[2], 0xFFFFFFFF, number)) ||
        (argc == 3 && command == "time" && ParseCount(argv[2], 10000, number) && number > 0);
    if (!known) {
        return Usage();
    }
    vbus::BusClient bus;
    if (!bus.Open()) {
        std::fprintf(stderr, "chipctl: the virtual bus is not loaded (%s)\n", VBUS_CONTROL_PATH);
        return 1;
    }
    std::string error;
    if (command == "probe") {
        return chipctl::Probe(bus);
    }
    if (command == "hold-unplug") {
        return chipctl::HoldUnplug(bus);
    }
    if (command == "hold-remove") {
        return chipctl::HoldRemove(bus);
    }
    if (command == "unplug" || command == "plug") {
        const bool ok = command == "unplug" ? bus.Unplug(error) : bus.Plug(error);
        if (!ok) {
            std::fprintf(stderr, "chipctl: %s: %s\n", command.c_str(), error.c_str());
            return 1;
        }
        return 0;
    }
    if (command == "words") {
        std::fputs(vbus::WordsLine(bus.Words(static_cast<unsigned>(number))).c_str(), stdout);
        return 0;
    }
    if (command == "time") {
        return chipctl::Time(bus, static_cast<int>(number));
    }
    vbus::BusState state{};
    if (!bus.State(state)) {
        std::fprintf(stderr, "chipctl: the bus does not answer\n");
        return 1;
    }
    PrintState(state);
    return 0;
}
