// Command line and files of the Linux console program.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace sim::registry {
class Registry;
}

namespace morlix {

struct AppOptions {
    bool plugDevice = true;             // --no-device: the bench has no chip
    std::uint32_t serialNumber = 74565; // --serial N: the chip's serial number
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

// The console's settings key travels between the simulated registry and the
// file; nothing else of the registry does, so a stale device path from an
// earlier run never shadows the one the driver publishes. Loading a missing
// or damaged file changes nothing and returns false.
bool LoadSettings(sim::registry::Registry& registry, const std::string& fileName);
bool SaveSettings(const sim::registry::Registry& registry, const std::string& fileName);

} // namespace morlix
