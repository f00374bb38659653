// morlixctl: the console on the simulated bench, driven by commands from its
// arguments or, without any, from standard input (one per line).
#include "commands.h"
#include "session.h"
#include "sim_machine.h"

#include "misc_functions.h"

#include "sim/bench/instance_lock.h"
#include "sim/bench/settings_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <iostream>
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
    return "usage: morlixctl [--registry FILE] [--no-device] [--serial N] [--trace] [COMMAND...]\n"
           "  --registry FILE  keep the console's settings in FILE, as the Linux window does\n"
           "  --no-device      start with no chip plugged (plug it later with: plug)\n"
           "  --serial N       the chip's serial number, 0 to 4294967295 (default 74565)\n"
           "  --trace          print every change of the window as it happens\n"
           "Without commands they are read from standard input, one per line.\n"
           "Commands (morlixctl help for more): type X 1000, paste Y 12.7, key Phase PageUp,\n"
           "key F4, click Max, tick, show, coil, unplug, plug, quit.\n"
           "Exit status:\n"
           "  0  every command ran\n"
           "  1  a bad line on standard input (not a terminal) was skipped, the registry file\n"
           "     could not be written, or the driver's checks found a fault\n"
           "  2  nothing ran: a bad option, command, box, key, control or operand, or a\n"
           "     registry file that cannot be read\n"
           "  3  another console runs on the same registry file; nothing ran\n";
}

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

// A second console on the same settings file is the previous instance's twin: the lock is
// FILE.lock beside it.
using sim::bench::InstanceLock;

// The console's settings key is all that travels between runs, as for the Linux window, so that
// nothing else of an earlier run (a stale device path, say) shadows what the driver writes.
const sim::bench::KeptKey KeptKeys[] = {
    {sim::registry::RegRoot::CurrentUser, morlix::SettingsKey.path}};

} // namespace

int main(int argc, char** argv) {
    std::string registryFile;
    MachineOptions machineOptions;
    bool trace = false;
    std::vector<std::string> commandArgs;

    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (!commandArgs.empty()) {
            commandArgs.emplace_back(arg);
        } else if (arg == "--registry" || arg == "--serial") {
            if (i + 1 >= argc) {
                std::cerr << "morlixctl: " << arg << " needs a value (try --help)\n";
                return ExitUsage;
            }
            const std::string_view value = argv[++i];
            if (arg == "--registry") {
                if (value.empty()) {
                    std::cerr << "morlixctl: --registry needs a file name\n";
                    return ExitUsage;
                }
                registryFile = value;
            } else if (!ParseSerial(value, machineOptions.serialNumber)) {
                std::cerr << "morlixctl: --serial takes a number from 0 to 4294967295\n";
                return ExitUsage;
            }
        } else if (arg == "--no-device") {
            machineOptions.plugged = false;
        } else if (arg == "--trace") {
            trace = true;
        } else if (arg == "--help" || arg == "-h") {
            std::cout << Usage();
            return ExitRan;
        } else if (arg == "--") {
            for (++i; i < argc; ++i) {
                commandArgs.emplace_back(argv[i]);
            }
        } else if (arg.size() > 1 && arg[0] == '-' && !(arg[1] >= '0' && arg[1] <= '9')) {
            std::cerr << "morlixctl: unknown option " << arg << " (try --help)\n";
            return ExitUsage;
        } else {
            commandArgs.emplace_back(arg);
        }
    }

    // Every command is checked before anything starts: a script's typo must
    // not leave half of its commands sent.
    ArgumentsResult parsedArgs = ParseArguments(commandArgs);
    if (!parsedArgs.errors.empty()) {
        std::cerr << "morlixctl: " << parsedArgs.errors.front() << "\n";
        return ExitUsage;
    }

    morlix::HeadlessOptions windowOptions;
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

    SimMachine machine(machineOptions);
    Session session(machine, windowOptions, std::cout, std::cerr, trace ? &std::cout : nullptr);
    if (!session.Start()) {
        std::cerr << "morlixctl: another console runs on " << registryFile << "; ending\n";
        return ExitOtherConsole;
    }

    bool trouble = false;
    if (!commandArgs.empty()) {
        for (const Command& command : parsedArgs.commands) {
            if (!session.Run(command)) {
                break;
            }
        }
    } else {
        // At a terminal the operator sees a bad line at once and types it
        // again; from a script it is a fault the exit status must tell.
        const bool interactive = ::isatty(STDIN_FILENO) != 0;
        if (interactive) {
            std::cout << "Morlix Quadrature Driver on the simulated bench (help lists the "
                         "commands, quit ends)\n";
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
    }

    session.Finish();
    if (!registryFile.empty() &&
        !sim::bench::SaveSettings(sim::registry::Registry::Instance(), registryFile, KeptKeys)) {
        std::cerr << "morlixctl: cannot write the registry file " << registryFile << "\n";
        trouble = true;
    }
    // Whatever the verifier saw in the driver during the run.
    const std::string faults = machine.Shutdown();
    std::size_t start = 0;
    while (start < faults.size()) {
        std::size_t end = faults.find('\n', start);
        if (end == std::string::npos) {
            end = faults.size();
        }
        if (end > start) {
            std::cerr << "morlixctl: verifier: " << faults.substr(start, end - start) << "\n";
            trouble = true;
        }
        start = end + 1;
    }
    return trouble ? ExitTrouble : ExitRan;
}
