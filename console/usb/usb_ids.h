// Which chip the libusb platform looks for: the vendor and product identifiers, from the
// command line or from the console's settings (the values below, under the settings key).
// Until the chip's real identifiers are known both are the INF's placeholder, 0xFFFF.
#pragma once

#include "usb_platform.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace sim::registry {
class Registry;
}

namespace morlix::usb {

inline constexpr const char* SettingVendorId = "USB Vendor ID";
inline constexpr const char* SettingProductId = "USB Product ID";

// "1A2B", "0x1a2b": one to four hexadecimal digits, with or without 0x.
bool ParseUsbId(std::string_view text, std::uint16_t& id);

// Takes each identifier the settings hold, as REG_SZ text in ParseUsbId's form. False, naming
// the value, when one is there but is not such a text; `options` keeps what it had for it.
bool ReadUsbIds(const sim::registry::Registry& settings, UsbOptions& options, std::string& error);

} // namespace morlix::usb
