#include "app_options.h"

#include "misc_functions.h"

#include "sim/bench/settings_file.h"

#include <charconv>
#include <cstdlib>
#include <system_error>
#include <unistd.h>

namespace morlix {

namespace {

bool ParseSerial(std::string_view text, std::uint32_t& value) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty()) {
        return false;
    }
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return error == std::errc{} && end == text.data() + text.size();
}

// The console's settings key is all that travels.
const sim::bench::KeptKey KeptKeys[] = {{sim::registry::RegRoot::CurrentUser, SettingsKey.path}};

} // namespace

AppOptions ParseOptions(std::span<const std::string_view> args) {
    AppOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "--no-device") {
            options.plugDevice = false;
        } else if (arg == "--serial") {
            if (i + 1 >= args.size() || !ParseSerial(args[i + 1], options.serialNumber)) {
                options.error = "--serial needs a number from 0 to 4294967295";
                return options;
            }
            ++i;
        } else if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else {
            options.error = "unknown option: " + std::string(arg);
            return options;
        }
    }
    return options;
}

const char* UsageText() {
    return "usage: morlix [--no-device] [--serial N]\n"
           "  --no-device  run without the USB I/O chip plugged in\n"
           "  --serial N   serial number of the simulated chip (default 74565)\n";
}

std::string SettingsFilePath(const char* xdgConfigHome, const char* home) {
    std::string base;
    if (xdgConfigHome && xdgConfigHome[0] == '/') {
        base = xdgConfigHome;
    } else if (home && home[0] == '/') {
        base = std::string(home) + "/.config";
    } else {
        return {};
    }
    return base + "/morlix/settings";
}

std::string DefaultLockPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/') {
        return std::string(runtime) + "/morlix.lock";
    }
    return "/tmp/morlix-" + std::to_string(static_cast<unsigned long>(getuid())) + ".lock";
}

bool LoadSettings(sim::registry::Registry& registry, const std::string& fileName) {
    return sim::bench::LoadSettings(registry, fileName, KeptKeys);
}

bool SaveSettings(const sim::registry::Registry& registry, const std::string& fileName) {
    return sim::bench::SaveSettings(registry, fileName, KeptKeys);
}

} // namespace morlix
