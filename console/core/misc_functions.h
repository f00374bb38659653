// MiscFunctions, the console's registry helpers: its settings store.
#pragma once

#include "platform.h"

#include <string>

namespace morlix {

// The module's own name, as the console's two modules are known (UsbLink is the other); inline,
// so that the console calls these by their names alone.
inline namespace MiscFunctions {

struct RegLocation {
    RegKey root;
    const char* path;
};

inline constexpr RegLocation SettingsKey{RootCurrentUser, "SOFTWARE\\Veltrane\\Morlix"};

// Reads one value as text (UTF-8). REG_SZ as it is, REG_DWORD as "&h" and
// hex digits; false with an empty text on any failure or any other type.
bool ReadRegValue(Platform& platform, RegKey root, const std::string& keyPath,
                  const std::string& valueName, std::string& text);

// Writes text as a REG_SZ value in the ANSI code page, without its NUL,
// creating the key if needed.
bool WriteRegString(Platform& platform, RegKey root, const std::string& keyPath,
                    const std::string& valueName, const std::string& text);

} // namespace MiscFunctions
} // namespace morlix
