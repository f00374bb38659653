#include "usb_ids.h"

#include "misc_functions.h"

#include "sim/registry/registry.h"

#include <charconv>
#include <optional>

namespace morlix::usb {

bool ParseUsbId(std::string_view text, std::uint16_t& id) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() > 4) {
        return false;
    }
    std::uint16_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, error] = std::from_chars(text.data(), end, value, 16);
    if (error != std::errc{} || ptr != end) {
        return false;
    }
    id = value;
    return true;
}

bool ReadUsbIds(const sim::registry::Registry& settings, UsbOptions& options, std::string& error) {
    const struct {
        const char* name;
        std::uint16_t& id;
    } values[] = {{SettingVendorId, options.vendorId}, {SettingProductId, options.productId}};
    for (const auto& value : values) {
        const std::optional<std::string> text =
            settings.GetString(sim::registry::RegRoot::CurrentUser, SettingsKey.path, value.name);
        if (text && !ParseUsbId(*text, value.id)) {
            error = std::string("the setting \"") + value.name +
                    "\" is not a USB identifier (one to four hexadecimal digits)";
            return false;
        }
    }
    return true;
}

} // namespace morlix::usb
