#include "app_options.h"

#include "misc_functions.h"
#include "usb_ids.h"

#include "sim/bench/settings_file.h"

#include <charconv>
#include <cstdio>
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

std::string HexId(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(value));
    return text;
}


std::uint16_t ResolveId(const std::optional<std::uint16_t>& given, const char* valueName,
                        sim::registry::Registry& registry) {
    using sim::registry::RegRoot;
    if (given) {
        registry.SetString(RegRoot::CurrentUser, SettingsKey.path, valueName, HexId(*given));
        return *given;
    }
    std::uint16_t stored = PlaceholderUsbId;
    if (const auto text = registry.GetString(RegRoot::CurrentUser, SettingsKey.path, valueName);
        text && usb::ParseUsbId(*text, stored)) {
        return stored;
    }
    return PlaceholderUsbId;
}

// What travels between runs: the console's settings key (the chip's identifiers among them).
const sim::bench::KeptKey KeptKeys[] = {{sim::registry::RegRoot::CurrentUser, SettingsKey.path}};

} // namespace

AppOptions ParseOptions(std::span<const std::string_view> args) {
    AppOptions options;
    bool serialGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "--device") {
            const std::string_view kind = i + 1 < args.size() ? args[i + 1] : "";
            if (kind == "bench") {
                options.device = DeviceKind::Bench;
            } else if (kind == "usb") {
                options.device = DeviceKind::Usb;
            } else {
                options.error = "--device takes bench or usb";
                return options;
            }
            ++i;
        } else if (arg == "--vendor" || arg == "--product") {
            std::uint16_t id = 0;
            if (i + 1 >= args.size() || !usb::ParseUsbId(args[i + 1], id)) {
                options.error = std::string(arg) + " needs a hexadecimal number from 0 to ffff";
                return options;
            }
            (arg == "--vendor" ? options.vendorId : options.productId) = id;
            ++i;
        } else if (arg == "--no-device") {
            options.plugDevice = false;
        } else if (arg == "--serial") {
            if (i + 1 >= args.size() || !ParseSerial(args[i + 1], options.serialNumber)) {
                options.error = "--serial needs a number from 0 to 4294967295";
                return options;
            }
            serialGiven = true;
            ++i;
        } else if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else {
            options.error = "unknown option: " + std::string(arg);
            return options;
        }
    }
    // Each option belongs to one device; one given for the other would be silently ignored.
    if (options.device == DeviceKind::Usb && (!options.plugDevice || serialGiven)) {
        options.error = "--no-device and --serial are for the bench";
    } else if (options.device == DeviceKind::Bench && (options.vendorId || options.productId)) {
        options.error = "--vendor and --product are for --device usb";
    }
    return options;
}

const char* UsageText() {
    return "usage: morlix [--device bench|usb] [--no-device] [--serial N]\n"
           "              [--vendor HEX] [--product HEX]\n"
           "  --device bench   the simulated bench: driver, bus, chip and coil driver (default)\n"
           "  --device usb     the USB I/O chip itself, through libusb\n"
           "  --no-device      bench: run without the chip plugged in\n"
           "  --serial N       bench: serial number of the simulated chip (default 74565)\n"
           "  --vendor HEX     usb: the chip's vendor id (kept in the settings as \"USB Vendor ID\";\n"
           "                   default ffff)\n"
           "  --product HEX    usb: the chip's product id (kept as \"USB Product ID\"; default ffff)\n";
}

UsbIds ResolveUsbIds(const AppOptions& options, sim::registry::Registry& registry) {
    return {ResolveId(options.vendorId, usb::SettingVendorId, registry),
            ResolveId(options.productId, usb::SettingProductId, registry)};
}

std::string DeviceDescription(DeviceKind device, const UsbIds& ids) {
    if (device == DeviceKind::Bench) {
        return "Device: simulated bench";
    }
    return "Device: USB I/O chip " + HexId(ids.vendorId) + ":" + HexId(ids.productId) + " (libusb)";
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
