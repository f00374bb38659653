#include "app_options.h"

#include "misc_functions.h"
#include "sim/registry/registry.h"

#include <charconv>
#include <filesystem>
#include <system_error>

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

void CopySettingsKey(const sim::registry::Registry& from, sim::registry::Registry& to) {
    using sim::registry::RegRoot;
    for (const std::string& name : from.EnumerateValues(RegRoot::CurrentUser, SettingsKey.path)) {
        if (auto value = from.GetValue(RegRoot::CurrentUser, SettingsKey.path, name)) {
            to.SetValue(RegRoot::CurrentUser, SettingsKey.path, name, value->type,
                        value->data.data(), value->data.size());
        }
    }
}

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

bool LoadSettings(sim::registry::Registry& registry, const std::string& fileName) {
    if (fileName.empty()) {
        return false;
    }
    sim::registry::Registry stored;
    if (!stored.LoadFromFile(fileName)) {
        return false;
    }
    CopySettingsKey(stored, registry);
    return true;
}

bool SaveSettings(const sim::registry::Registry& registry, const std::string& fileName) {
    if (fileName.empty()) {
        return false;
    }
    sim::registry::Registry stored;
    CopySettingsKey(registry, stored);
    std::error_code error;
    const std::filesystem::path parent = std::filesystem::path(fileName).parent_path();
    if (!parent.empty()) {
        std::filesystem::create_directories(parent, error);
    }
    return stored.SaveToFile(fileName);
}

} // namespace morlix
