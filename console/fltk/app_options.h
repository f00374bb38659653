// Command line and files of the Linux console program.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace sim::registry {
class Registry;
}

namespace morlix {

// What the window talks to: the simulated bench (the driver over the
// simulated kernel, bus and chip) or the chip itself through libusb.
enum class DeviceKind { Bench, Usb };

// The INF's placeholder identifiers, until the chip's own are known.
inline constexpr std::uint16_t PlaceholderUsbId = 0xFFFF;

struct AppOptions {
    DeviceKind device = DeviceKind::Bench; // --device bench|usb
    bool plugDevice = true;                // --no-device: the bench has no chip
    std::uint32_t serialNumber = 74565;    // --serial N: the chip's serial number
    // --vendor and --product (hexadecimal) of the chip on USB; unset
    // ones come from the settings file, else the placeholders.
    std::optional<std::uint16_t> vendorId;
    std::optional<std::uint16_t> productId;
    bool help = false;
    std::string error; // non-empty: the command line was refused
};

// Arguments without the program name.
AppOptions ParseOptions(std::span<const std::string_view> args);

const char* UsageText();

// Where the console keeps its settings between runs:
// $XDG_CONFIG_HOME/morlix/settings, else $HOME/.config/morlix/settings;
// empty when neither gives an absolute directory.
std::string SettingsFilePath(const char* xdgConfigHome, const char* home);

// $XDG_RUNTIME_DIR/morlix.lock, or /tmp/morlix-<uid>.lock without it: the lock file of the
// previous-instance test.
std::string DefaultLockPath();

struct UsbIds {
    std::uint16_t vendorId = PlaceholderUsbId;
    std::uint16_t productId = PlaceholderUsbId;
    bool operator==(const UsbIds&) const = default;
};

// The chip's identifiers for --device usb: each one given on the command
// line wins and is stored in the settings ("USB Vendor ID", "USB Product ID",
// as morlixctl reads them) (so the settings file keeps it for
// the next run); one not given is read from there; one stored in a form that
// does not read as four hexadecimal digits at most falls back to the placeholder.
UsbIds ResolveUsbIds(const AppOptions& options, sim::registry::Registry& registry);

// The device the window runs on, in a few words for the operator.
std::string DeviceDescription(DeviceKind device, const UsbIds& ids);

// The console's settings key (with the chip's identifiers) travels
// between the simulated registry and the file; nothing else of the registry
// does, so a stale device path from an earlier run never shadows the one the
// driver publishes. Loading a missing
// or damaged file changes nothing and returns false.
bool LoadSettings(sim::registry::Registry& registry, const std::string& fileName);
bool SaveSettings(const sim::registry::Registry& registry, const std::string& fileName);

} // namespace morlix
