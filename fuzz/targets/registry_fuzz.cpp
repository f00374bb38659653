// Registry values of any type, bytes and length, read by the console through its platform on the
// simulated machine: the settings formMain restores at load, read with ReadRegValue and TextValue,
// and the device path UsbLink reads before it opens the device. None of them may crash, and
// what the console takes from a value stays within the rules it reads them by.
#include "form_main.h"
#include "headless_window.h"
#include "misc_functions.h"
#include "sim_platform.h"
#include "text_value.h"
#include "usb_link.h"

#include "sim/registry/registry.h"
#include "sim/win/device_io.h"

#include "fuzz_check.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

using sim::registry::RegRoot;

struct Input {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos = 0;
    std::uint8_t Byte() { return pos < size ? data[pos++] : 0; }
    std::uint32_t Dword() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            v |= static_cast<std::uint32_t>(Byte()) << (8 * i);
        }
        return v;
    }
    // The next value's bytes: a 16-bit length, then that many bytes (fewer at the end).
    std::string Bytes() {
        std::size_t n = Byte();
        n |= static_cast<std::size_t>(Byte()) << 8;
        n = std::min(n, size - pos);
        std::string out(reinterpret_cast<const char*>(data + pos), n);
        pos += n;
        return out;
    }
};

std::uint32_t ValueType(std::uint8_t b) {
    // Mostly the types the console knows, sometimes any number at all.
    static constexpr std::uint32_t Types[] = {0, 1, 2, 3, 4, 7, 11, 5};
    return b < 0xF0 ? Types[b % 8] : 0xFFFFFF00u | b;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in{data, size};
    sim::registry::Registry& registry = sim::registry::Registry::Instance();
    registry.Clear();
    const char* names[] = {morlix::SettingTop, morlix::SettingLeft, morlix::SettingOnTop};
    for (const char* name : names) {
        const std::uint8_t kind = in.Byte();
        if (kind & 0x80) {
            continue; // the value is absent
        }
        const std::string bytes = in.Bytes();
        registry.SetValue(RegRoot::CurrentUser, morlix::SettingsKey.path, name, ValueType(kind),
                          bytes.data(), bytes.size());
    }
    {
        const std::uint8_t kind = in.Byte();
        const std::string bytes = in.Bytes();
        registry.SetValue(RegRoot::LocalMachine, morlix::DeviceNameKey, morlix::DeviceNameValue,
                          ValueType(kind), bytes.data(), bytes.size());
    }

    sim::win::DeviceIo io;
    morlix::SimPlatform platform(registry, io);
    for (const char* name : names) {
        std::string text = "before";
        const bool ok = morlix::ReadRegValue(platform, morlix::SettingsKey.root,
                                             morlix::SettingsKey.path, name, text);
        if (!ok) {
            FUZZ_CHECK(text.empty());
        }
        const double value = morlix::TextValue(text);
        FUZZ_CHECK(!std::isnan(value));
    }

    morlix::UsbLink link(platform);
    const std::string path = link.QueryRegString(morlix::RootLocalMachine, morlix::DeviceNameKey,
                                                 morlix::DeviceNameValue, "default");
    FUZZ_CHECK(path == "default" || !path.empty());
    FUZZ_CHECK(!link.OpenDevice()); // nothing is there to open
    FUZZ_CHECK(link.DevicePath == morlix::DeviceNotFound);

    // The whole load of the main window over those settings.
    morlix::HeadlessWindow window;
    morlix::formMain form(window, link);
    window.Attach(&form);
    form.Form_Load();
    FUZZ_CHECK(window.Top() >= 0 && window.Left() >= 0);
    FUZZ_CHECK(std::isfinite(window.Top()) && std::isfinite(window.Left()));
    FUZZ_CHECK(platform.OpenKeyCount() == 0);
    // Nothing of this input stays on the heap: libFuzzer runs an input again, and looks for a
    // leak, whenever one leaves more allocations than it freed.
    registry.Clear();
    return 0;
}
