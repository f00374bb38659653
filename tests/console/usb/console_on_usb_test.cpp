// The console's own handlers (formMain over the headless window) on the
// libusb platform, the chip simulated under the real libusb, and on the
// bench with the real driver: for the same operator script the chip must
// receive the same requests, the coil driver latch the same words, and the
// window show the same.
#include "form_main.h"
#include "headless_window.h"
#include "mock_chip.h"
#include "sim_machine.h"
#include "usb_link.h"
#include "usb_platform.h"

#include "sim/kernel/testing.h"
#include "sim/registry/registry.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

namespace morlix {
namespace {

// One request as the chip saw it. The vendor-defined request-type bits are
// left out: the driver hands them to the Windows bus stack, while on libusb
// the request goes to the device recipient.
using Request = std::tuple<bool, std::uint8_t, std::uint16_t, std::uint16_t,
                           std::vector<std::uint8_t>, std::uint32_t>;

struct Seen {
    std::vector<Request> requests;
    std::vector<int> latched;
    std::vector<std::string> shown; // every visible change of the window
    sim::usb::CoilSetting setting;
    std::string serial; // the serial-number label at the end
    Color serialColor = ColorRed;
};

using Script = std::function<void(HeadlessWindow&)>;

Seen RunConsole(Platform& platform, sim::usb::IoChip& chip, sim::usb::CoilDriverModel& coil,
                const Script& script) {
    Seen seen;
    UsbLink link(platform);
    HeadlessWindow window;
    formMain form(window, link);
    window.Attach(&form);
    window.SetObserver([&](std::string_view line) { seen.shown.emplace_back(line); });
    script(window);
    seen.serial = window.Caption(ControlId::lblSerNum);
    seen.serialColor = window.ForeColor(ControlId::lblSerNum);
    seen.setting = coil.Setting();
    for (const sim::usb::VendorLogEntry& e : chip.VendorLog()) {
        seen.requests.emplace_back(e.setup.in, e.setup.request, e.setup.value, e.setup.index,
                                   e.dataOut, e.result.bytesMoved);
    }
    for (const sim::usb::LatchedWord& w : coil.LatchedWords()) {
        seen.latched.push_back(w.Word());
    }
    return seen;
}

Seen OnBench(const Script& script) {
    morlix::cli::SimMachine machine;
    Seen seen = RunConsole(machine.platform(), machine.bench().chip(), machine.coil(), script);
    sim::kernel::DrainDispatchWork();
    EXPECT_EQ(machine.Shutdown(), "") << "the driver's verifier";
    return seen;
}

void TypeInto(HeadlessWindow& window, ControlId box, std::string_view text) {
    window.SetFocus(box);
    window.SelectAll(box);
    window.Type(box, text);
}

class ConsoleOnUsb : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(chip.Plug());
        ASSERT_TRUE(platform.Ready());
    }

    Seen OnUsb(const Script& script) {
        return RunConsole(platform, chip.chip(), chip.coil(), script);
    }

    test::MockChip chip; // the bench's serial number
    sim::registry::Registry settings;
    usb::UsbPlatform platform{settings};
};

TEST_F(ConsoleOnUsb, StartUpTypingAPresetAndTheSerialNumberEqualTheBench) {
    const Script script = [](HeadlessWindow& window) {
        window.Load();
        window.Tick();
        TypeInto(window, ControlId::txtAmpX, "1000");
        TypeInto(window, ControlId::TxtPhase, "200");
        window.Click(ControlId::cmdTriple);
        window.PressKey(KeyF4); // Both Max
        window.Tick();
    };
    const Seen usb = OnUsb(script);
    const Seen bench = OnBench(script);

    // Start-up alone is 43 words of three packets each; all of it must match.
    ASSERT_GT(bench.latched.size(), 43u);
    EXPECT_EQ(usb.latched, bench.latched);
    EXPECT_EQ(usb.requests, bench.requests);
    EXPECT_EQ(usb.shown, bench.shown);
    EXPECT_EQ(usb.setting, bench.setting);
    EXPECT_EQ(usb.setting.amplitudeX, 4095);
    EXPECT_EQ(usb.serial, "SN: 74565");
    EXPECT_EQ(usb.serialColor, ColorBlack);
    EXPECT_TRUE(chip.coil().Anomalies().empty());

    // On the wire: vendor requests to the device, in or out as the packet says.
    for (const test::SetupPacket& setup : chip.Setups()) {
        EXPECT_EQ(setup.requestType & 0x7F, 0x40);
    }
    EXPECT_EQ(chip.Setups().back().requestType, 0xC0);
}

TEST_F(ConsoleOnUsb, UnplugTurnsTheSerialRedAndReplugBringsItBackWithoutARestart) {
    HeadlessWindow window;
    UsbLink link(platform);
    formMain form(window, link);
    window.Attach(&form);
    window.Load();
    window.Tick();
    EXPECT_EQ(window.Caption(ControlId::lblSerNum), "SN: 74565");
    EXPECT_EQ(window.ForeColor(ControlId::lblSerNum), ColorBlack);

    std::size_t before = chip.coil().LatchedWords().size();
    window.Click(ControlId::cmdMax);
    const std::vector<sim::usb::LatchedWord> all = chip.coil().LatchedWords();
    const std::vector<sim::usb::LatchedWord> maxWords(all.begin() + static_cast<long>(before),
                                                      all.end());
    ASSERT_FALSE(maxWords.empty());

    chip.Unplug();
    window.Tick();
    EXPECT_EQ(window.ForeColor(ControlId::lblSerNum), ColorRed);
    before = chip.coil().LatchedWords().size();
    window.Click(ControlId::cmdMax);
    EXPECT_EQ(chip.coil().LatchedWords().size(), before) << "nothing reaches a chip that is out";

    ASSERT_TRUE(chip.Plug());
    window.Tick();
    EXPECT_EQ(window.Caption(ControlId::lblSerNum), "SN: 74565");
    EXPECT_EQ(window.ForeColor(ControlId::lblSerNum), ColorBlack);
    window.Click(ControlId::cmdMax);
    const std::vector<sim::usb::LatchedWord> again = chip.coil().LatchedWords();
    EXPECT_EQ(
        std::vector<sim::usb::LatchedWord>(again.begin() + static_cast<long>(before), again.end()),
        maxWords);
}

} // namespace
} // namespace morlix
