// morlix: the console's one window on FLTK, driving the simulated bench
// (the real driver over the simulated kernel, USB bus and chip, with the
// bench view beside the window) or, with --device usb, the chip itself
// through libusb.
#include "app_options.h"
#include "bench_view.h"
#include "device_label.h"
#include "fltk_window.h"
#include "form_main.h"
#include "platform.h"
#include "sim_platform.h"
#include "usb_link.h"
#include "usb_platform.h"

#include "norvask.h"
#include "sim/bench/bench.h"
#include "sim/bench/instance_lock.h"
#include "sim/registry/registry.h"

#include <FL/Fl.H>
#include <FL/Fl_Window.H>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
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

// MORLIX_EXIT_AFTER_START set (to anything): the window closes itself, as the operator would,
// as soon as the event loop has shown it, and the bench's count of latched words goes to
// stderr. For measuring start-up as a whole process (bench/window-figures).
bool ExitAfterStart() {
    return std::getenv("MORLIX_EXIT_AFTER_START") != nullptr;
}

void CloseAfterStart(void* window) {
    static_cast<morlix::FltkWindow*>(window)->Close();
}

std::string SettingsFile() {
    return morlix::SettingsFilePath(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
}

// The console's window over a platform, until the operator closes it; then
// what the window stored goes to the settings file. The bench view, if any,
// opens beside it. The exit status of the program.
int RunConsole(bool otherInstance, morlix::Platform& platform, sim::registry::Registry& settings,
               const std::string& settingsFile, const std::string& device, morlix::BenchView* view,
               bool catching) {
    morlix::UsbLink link(platform);
    morlix::FltkWindow window(otherInstance);
    morlix::formMain form(window, link);
    window.Attach(&form);

    if (!window.Create()) {
        return 1;
    }
    morlix::ShowDevice(window, device);
    window.Load();
    if (window.Ended()) {
        return 0; // another instance runs: nothing shown, nothing saved
    }
    if (view && view->Create()) {
        view->ShowBeside(window.Handle());
    }
    if (catching) {
        Fl::add_fd(signalPipe[0], FL_READ, OnTerminateReadable, &window);
    }
    if (ExitAfterStart()) {
        Fl::add_timeout(0.0, CloseAfterStart, &window);
    }
    Fl::run();
    if (catching) {
        Fl::remove_fd(signalPipe[0]);
    }
    // The window has unloaded: what it stored goes to the file.
    morlix::SaveSettings(settings, settingsFile);
    return 0;
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
    if (!options.error.empty()) {
        std::fprintf(stderr, "morlix: %s (morlix --help lists the options)\n",
                     options.error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(morlix::UsageText(), stdout);
        return 0;
    }

    const bool catching = CatchTermination();

    // Taken before the window exists; the form decides what to do with it.
    sim::bench::InstanceLock lock(morlix::DefaultLockPath());
    if (!morlix::OpenDisplay()) {
        std::fputs("morlix: no display\n", stderr);
        return 1;
    }
    const std::string settingsFile = SettingsFile();

    if (options.device == morlix::DeviceKind::Usb) {
        // The settings of the last run, in a store of their own: no simulated machine here.
        sim::registry::Registry settings;
        morlix::LoadSettings(settings, settingsFile);
        const morlix::UsbIds ids = morlix::ResolveUsbIds(options, settings);
        morlix::usb::UsbOptions usbOptions;
        usbOptions.vendorId = ids.vendorId;
        usbOptions.productId = ids.productId;
        morlix::usb::UsbPlatform platform(settings, usbOptions);
        if (!platform.Ready()) {
            std::fputs("morlix: libusb did not start; the chip cannot be found\n", stderr);
        }
        return RunConsole(lock.OtherInstanceRunning(), platform, settings, settingsFile,
                          morlix::DeviceDescription(options.device, ids), nullptr, catching);
    }

    sim::bench::BenchOptions benchOptions;
    benchOptions.serialNumber = options.serialNumber;
    benchOptions.plug = options.plugDevice;
    sim::bench::Bench bench(norvask::DriverEntry, benchOptions);
    // The settings of the last run; the bench has just emptied the registry.
    morlix::LoadSettings(bench.registry(), settingsFile);
    morlix::SimPlatform platform(bench.registry(), bench.io());
    morlix::BenchView view(bench);
    const int status =
        RunConsole(lock.OtherInstanceRunning(), platform, bench.registry(), settingsFile,
                   morlix::DeviceDescription(options.device, {}), &view, catching);
    if (ExitAfterStart()) {
        std::fprintf(stderr, "morlix: %zu words latched at start-up\n",
                     bench.coil().LatchedWords().size());
    }
    // Whatever the verifier saw in the driver during the run, and what the driver left.
    const std::string faults = bench.Shutdown();
    if (!faults.empty()) {
        std::fprintf(stderr, "morlix: %s", faults.c_str());
    }
    return status;
}
