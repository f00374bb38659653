// morlix: the console's one window on FLTK, driving the simulated bench
// (the real driver over the simulated kernel, USB bus and chip).
#include "app_options.h"
#include "fltk_window.h"
#include "form_main.h"
#include "sim_platform.h"
#include "usb_link.h"

#include "norvask.h"
#include "sim/bench/bench.h"
#include "sim/bench/instance_lock.h"

#include <FL/Fl.H>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

// A termination signal closes the window as the operator would, so the
// position is saved: the handler only wakes the event loop through a pipe.
int signalPipe[2] = {-1, -1};

void OnTerminate(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(signalPipe[1], &byte, 1);
}

void OnTerminateReadable(int fd, void* window) {
    char bytes[16];
    while (read(fd, bytes, sizeof bytes) > 0) {
    }
    static_cast<morlix::FltkWindow*>(window)->Close();
}

// Installed first thing: a signal during start-up waits in the pipe until
// the event loop runs, and then closes the window it has by then.
bool CatchTermination() {
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    struct sigaction action {};
    action.sa_handler = OnTerminate;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    return true;
}

} // namespace

// Fontconfig keeps the patterns that FLTK's font cache matched for the life
// of the process; the leak checker of the sanitizer build is told so.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

int main(int argc, char** argv) {
    std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const morlix::AppOptions options = morlix::ParseOptions(args);
    if (options.help) {
        std::fputs(morlix::UsageText(), stdout);
        return 0;
    }
    if (!options.error.empty()) {
        std::fprintf(stderr, "morlix: %s\n%s", options.error.c_str(), morlix::UsageText());
        return 2;
    }

    const bool catching = CatchTermination();

    // Taken before the window exists; the form decides what to do with it.
    sim::bench::InstanceLock lock(morlix::DefaultLockPath());
    if (!morlix::OpenDisplay()) {
        std::fputs("morlix: no display\n", stderr);
        return 1;
    }

    sim::bench::BenchOptions benchOptions;
    benchOptions.serialNumber = options.serialNumber;
    benchOptions.plug = options.plugDevice;
    sim::bench::Bench bench(norvask::DriverEntry, benchOptions);

    // The settings of the last run; the bench has just emptied the registry.
    const std::string settingsFile =
        morlix::SettingsFilePath(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
    morlix::LoadSettings(bench.registry(), settingsFile);

    morlix::SimPlatform platform(bench.registry(), bench.io());
    morlix::UsbLink link(platform);
    morlix::FltkWindow window(lock.OtherInstanceRunning());
    morlix::formMain form(window, link);
    window.Attach(&form);

    if (!window.Create()) {
        return 1;
    }
    window.Load();
    if (window.Ended()) {
        return 0; // another instance runs: nothing shown, nothing saved
    }
    if (catching) {
        Fl::add_fd(signalPipe[0], FL_READ, OnTerminateReadable, &window);
    }
    Fl::run();
    // The window has unloaded: what it stored goes to the file.
    morlix::SaveSettings(bench.registry(), settingsFile);
    // Whatever the verifier saw in the driver during the run, and what the driver left.
    const std::string faults = bench.Shutdown();
    if (!faults.empty()) {
        std::fprintf(stderr, "morlix: %s", faults.c_str());
    }
    return 0;
}
