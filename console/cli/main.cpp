// morlixctl: the console driven by commands from its arguments or, without any, from
// standard input (one per line). On Linux it runs on the simulated bench or, with --device usb,
// on the chip itself through libusb; on Windows over the real Win32 calls, to the chip that
// Norvask drives.
#include "commands.h"
#include "session.h"

#ifdef _WIN32
#include "instance_guard.h"
#include "win32_machine.h"

#include <io.h>
#else
#include "sim_machine.h"
#include "usb_ids.h"
#include "usb_machine.h"

#include "misc_functions.h"

#include "sim/bench/instance_lock.h"
#include "sim/bench/settings_file.h"

#include <unistd.h>
#endif

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace morlix::cli;

constexpr std::size_t MaxLineBytes = 4096;

// Exit statuses, as the usage text lists them.
constexpr int ExitRan = 0;
constexpr int ExitTrouble = 1;
constexpr int ExitUsage = 2;
constexpr int ExitOtherConsole = 3;

const char* Usage() {
#ifdef _WIN32
    return "usage: morlixctl [--trace] [COMMAND...]\n"
           "  --trace          print every change of the window as it happens\n"
           "The console's settings are Morlix.exe's, in the registry. Where the virtual USB bus\n"
           "of the test rig runs, coil reads the latched words from its log, and unplug and\n"
           "plug pull the chip out and plug it in; a real chip allows neither.\n"
#else
    return "usage: morlixctl [--device bench|usb] [--registry FILE] [--no-device] [--serial N]\n"
           "                 [--vendor ID] [--product ID] [--trace] [COMMAND...]\n"
           "  --device bench   the simulated bench with the real driver (the default)\n"
           "  --device usb     the chip itself, through libusb; coil, unplug and plug cannot\n"
           "                   be done on it and say so\n"
           "  --registry FILE  keep the console's settings in FILE, as the Linux window does\n"
           "  --no-device      bench: start with no chip plugged (plug it later with: plug)\n"
           "  --serial N       bench: the chip's serial number, 0 to 4294967295 (default 74565)\n"
           "  --vendor ID      usb: the chip's vendor identifier, hexadecimal (default FFFF, the\n"
           "                   INF's placeholder; or the setting \"USB Vendor ID\" in FILE)\n"
           "  --product ID     usb: the chip's product identifier, likewise (\"USB Product ID\")\n"
           "  --trace          print every change of the window as it happens\n"
#endif
           "Without commands they are read from standard input, one per line.\n"
           "Commands (morlixctl help for more): type X 1000, paste Y 12.7, key Phase PageUp,\n"
           "key F4, click Max, tick, show, coil, unplug, plug, quit.\n"
           "Exit status:\n"
           "  0  every command ran\n"
#ifdef _WIN32
           "  1  a bad line on standard input (not a terminal) was skipped\n"
           "  2  nothing ran: a bad option, command, box, key, control or operand\n"
           "  3  another console (morlixctl or Morlix.exe) runs; nothing ran\n";
#else
           "  1  a bad line on standard input (not a terminal) was skipped, the registry file\n"
           "     could not be written, the driver's checks found a fault, or libusb could\n"
           "     not start\n"
           "  2  nothing ran: a bad option, command, box, key, control or operand, or a\n"
           "     registry file that cannot be read\n"
           "  3  another console runs on the same registry file; nothing ran\n";
#endif
}

#ifndef _WIN32
bool ParseSerial(std::string_view text, std::uint32_t& serial) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    const char* end = text.data() + text.size();
    auto [ptr, error] = std::from_chars(text.data(), end, serial, base);
    return !text.empty() && error == std::errc{} && ptr == end;
}
#endif

// Reads one line of at most MaxLineBytes; longer lines are read to their end
// and reported. False at the end of input.
bool ReadLine(std::FILE* in, std::string& line, bool& tooLong) {
    line.clear();
    tooLong = false;
    int c;
    bool any = false;
    while ((c = std::getc(in)) != EOF) {
        any = true;
        if (c == '\n') {
            return true;
        }
        if (line.size() < MaxLineBytes) {
            line += static_cast<char>(c);
        } else {
            tooLong = true;
        }
    }
    return any;
}

bool IsTerminal(std::FILE* file) {
#ifdef _WIN32
    return _isatty(_fileno(file)) != 0;
#else
    return ::isatty(fileno(file)) != 0;
#endif
}

// Runs the commands on the machine: those given as arguments or, without any, the lines of
// standard input. False when the exit status must tell of trouble.
bool RunCommands(Session& session, Machine& machine, const std::vector<std::string>& commandArgs,
                 const std::vector<Command>& commands) {
    bool trouble = false;
    if (!commandArgs.empty()) {
        for (const Command& command : commands) {
            if (!session.Run(command)) {
                break;
            }
        }
        return !trouble;
    }
    // At a terminal the operator sees a bad line at once and types it again; from a script it
    // is a fault the exit status must tell.
    const bool interactive = IsTerminal(stdin);
    if (interactive) {
        std::cout << "Morlix Quadrature Driver on " << machine.Name()
                  << " (help lists the commands, quit ends)\n";
    }
    std::string line;
    bool tooLong = false;
    for (long number = 1;; ++number) {
        if (interactive) {
            std::cout << "> " << std::flush;
        }
        if (!ReadLine(stdin, line, tooLong)) {
            break;
        }
        if (tooLong) {
            std::cerr << "morlixctl: line " << number << ": longer than " << MaxLineBytes
                      << " bytes, ignored\n";
            trouble = trouble || !interactive;
            continue;
        }
        const LineResult parsed = ParseLine(line);
        if (!parsed.error.empty()) {
            std::cerr << "morlixctl: line " << number << ": " << parsed.error << "\n";
            trouble = trouble || !interactive;
            continue;
        }
        if (parsed.command && !session.Run(*parsed.command)) {
            break;
        }
    }
    return !trouble;
}

#ifndef _WIN32
// A second console on the same settings file is the previous instance's twin: the lock is
// FILE.lock beside it.
using sim::bench::InstanceLock;

// The console's settings key is all that travels between runs, as for the Linux window, so that
// nothing else of an earlier run (a stale device path, say) shadows what the driver writes.
const sim::bench::KeptKey KeptKeys[] = {
    {sim::registry::RegRoot::CurrentUser, morlix::SettingsKey.path}};
#endif

} // namespace

int main(int argc, char** argv) {
#ifndef _WIN32
    std::string registryFile;
    MachineOptions machineOptions;
    bool onUsb = false;
    morlix::usb::UsbOptions usbOptions;
    // The options that name one device only, with the device they belong to.
    std::string benchOption;
    std::string usbOption;
    bool vendorGiven = false;
    bool productGiven = false;
#endif
    bool trace = false;
    std::vector<std::string> commandArgs;

    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (!commandArgs.empty()) {
            commandArgs.emplace_back(arg);
        } else if (arg == "--trace") {
            trace = true;
        } else if (arg == "--help" || arg == "-h") {
            std::cout << Usage();
            return ExitRan;
        } else if (arg == "--") {
            for (++i; i < argc; ++i) {
                commandArgs.emplace_back(argv[i]);
            }
#ifdef _WIN32
        } else if (arg == "--registry" || arg == "--serial" || arg == "--no-device") {
            std::cerr << "morlixctl: " << arg
                      << " is for the simulated bench; on Windows the chip and the registry "
                         "are the real ones\n";
            return ExitUsage;
#else
        } else if (arg == "--registry" || arg == "--serial" || arg == "--device" ||
                   arg == "--vendor" || arg == "--product") {
            if (i + 1 >= argc) {
                std::cerr << "morlixctl: " << arg << " needs a value (try --help)\n";
                return ExitUsage;
            }
            const std::string_view value = argv[++i];
            if (arg == "--device") {
                if (value != "bench" && value != "usb") {
                    std::cerr << "morlixctl: unknown device " << QuoteWord(value)
                              << " (--device takes bench or usb)\n";
                    return ExitUsage;
                }
                onUsb = value == "usb";
            } else if (arg == "--vendor" || arg == "--product") {
                const bool vendor = arg == "--vendor";
                if (!morlix::usb::ParseUsbId(value,
                                             vendor ? usbOptions.vendorId : usbOptions.productId)) {
                    std::cerr << "morlixctl: " << arg
                              << " takes one to four hexadecimal digits, as 1A2B or 0x1a2b\n";
                    return ExitUsage;
                }
                (vendor ? vendorGiven : productGiven) = true;
                usbOption = arg;
            } else if (arg == "--registry") {
                if (value.empty()) {
                    std::cerr << "morlixctl: --registry needs a file name\n";
                    return ExitUsage;
                }
                registryFile = value;
            } else if (!ParseSerial(value, machineOptions.serialNumber)) {
                std::cerr << "morlixctl: --serial takes a number from 0 to 4294967295\n";
                return ExitUsage;
            } else {
                benchOption = arg;
            }
        } else if (arg == "--no-device") {
            machineOptions.plugged = false;
            benchOption = arg;
#endif
        } else if (arg.size() > 1 && arg[0] == '-' && !(arg[1] >= '0' && arg[1] <= '9')) {
            std::cerr << "morlixctl: unknown option " << arg << " (try --help)\n";
            return ExitUsage;
        } else {
            commandArgs.emplace_back(arg);
        }
    }

#ifndef _WIN32
    if (onUsb && !benchOption.empty()) {
        std::cerr << "morlixctl: " << benchOption
                  << " is for the simulated bench, not --device usb\n";
        return ExitUsage;
    }
    if (!onUsb && !usbOption.empty()) {
        std::cerr << "morlixctl: " << usbOption << " is for --device usb, not the bench\n";
        return ExitUsage;
    }
#endif

    // Every command is checked before anything starts: a script's typo must
    // not leave half of its commands sent.
    ArgumentsResult parsedArgs = ParseArguments(commandArgs);
    if (!parsedArgs.errors.empty()) {
        std::cerr << "morlixctl: " << parsedArgs.errors.front() << "\n";
        return ExitUsage;
    }

    morlix::HeadlessOptions windowOptions;
#ifdef _WIN32
    // The settings are Morlix.exe's: one console at a time, whichever it is.
    const morlix::InstanceGuard guard;
    windowOptions.prevInstance = guard.OtherInstanceRunning();
    Win32Machine machine;
    Session session(machine, windowOptions, std::cout, std::cerr, trace ? &std::cout : nullptr);
    if (!session.Start()) {
        std::cerr << "morlixctl: another console runs; ending\n";
        return ExitOtherConsole;
    }
    const bool ran = RunCommands(session, machine, commandArgs, parsedArgs.commands);
    session.Finish();
    return ran ? ExitRan : ExitTrouble;
#else
    std::unique_ptr<InstanceLock> lock;
    if (!registryFile.empty()) {
        lock = std::make_unique<InstanceLock>(registryFile + ".lock");
        if (!lock->Opened()) {
            std::cerr << "morlixctl: cannot use the registry file " << registryFile << ": "
                      << std::strerror(errno) << "\n";
            return ExitUsage;
        }
        windowOptions.prevInstance = !lock->Held();
        sim::registry::Registry& registry = sim::registry::Registry::Instance();
        registry.Clear();
        std::error_code ec;
        if (!windowOptions.prevInstance && std::filesystem::exists(registryFile, ec) &&
            !sim::bench::LoadSettings(registry, registryFile, KeptKeys)) {
            // Never overwrite settings that could not be read.
            std::cerr << "morlixctl: cannot read the registry file " << registryFile << "\n";
            return ExitUsage;
        }
        machineOptions.keepRegistry = true;
    }

    bool trouble = false;
    std::unique_ptr<Machine> machine;
    SimMachine* bench = nullptr;
    if (onUsb) {
        // The command line's identifiers go before those in the settings.
        morlix::usb::UsbOptions fromSettings = usbOptions;
        std::string error;
        if (!morlix::usb::ReadUsbIds(sim::registry::Registry::Instance(), fromSettings, error)) {
            std::cerr << "morlixctl: " << registryFile << ": " << error << "\n";
            return ExitUsage;
        }
        usbOptions.vendorId = vendorGiven ? usbOptions.vendorId : fromSettings.vendorId;
        usbOptions.productId = productGiven ? usbOptions.productId : fromSettings.productId;
        auto usb = std::make_unique<UsbMachine>(sim::registry::Registry::Instance(), usbOptions);
        if (!usb->usb().Ready()) {
            std::cerr << "morlixctl: libusb did not start: no chip can be found\n";
            trouble = true;
        }
        machine = std::move(usb);
    } else {
        auto sim = std::make_unique<SimMachine>(machineOptions);
        bench = sim.get();
        machine = std::move(sim);
    }
    Session session(*machine, windowOptions, std::cout, std::cerr, trace ? &std::cout : nullptr);
    if (!session.Start()) {
        std::cerr << "morlixctl: another console runs on " << registryFile << "; ending\n";
        return ExitOtherConsole;
    }

    trouble = !RunCommands(session, *machine, commandArgs, parsedArgs.commands) || trouble;
    session.Finish();
    if (!registryFile.empty() &&
        !sim::bench::SaveSettings(sim::registry::Registry::Instance(), registryFile, KeptKeys)) {
        std::cerr << "morlixctl: cannot write the registry file " << registryFile << "\n";
        trouble = true;
    }
    // Whatever the verifier saw in the driver during the run, a "verifier: " line each.
    const std::string faults = bench != nullptr ? bench->Shutdown() : std::string();
    std::size_t start = 0;
    while (start < faults.size()) {
        std::size_t end = faults.find('\n', start);
        if (end == std::string::npos) {
            end = faults.size();
        }
        if (end > start) {
            std::cerr << "morlixctl: " << faults.substr(start, end - start) << "\n";
            trouble = true;
        }
        start = end + 1;
    }
    return trouble ? ExitTrouble : ExitRan;
#endif
}
