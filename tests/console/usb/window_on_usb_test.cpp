// The Linux window as `morlix --device usb` runs it: the FLTK window and the
// form's handlers over the libusb platform, with a chip of its own
// identifiers simulated under the real libusb.
#include "app_options.h"
#include "device_label.h"
#include "display_required.h"
#include "fltk_window.h"
#include "form_main.h"
#include "mock_chip.h"
#include "usb_link.h"
#include "usb_platform.h"
#include "x11_stacking.h"

#include "sim/registry/registry.h"

#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <gtest/gtest.h>

#include <memory>

namespace morlix {
namespace {

using enum ControlId;

constexpr std::uint16_t VendorId = 0x1234;
constexpr std::uint16_t ProductId = 0xABCD;

class WindowOnUsb : public ::testing::Test {
protected:
    void SetUp() override {
        MORLIX_NEED_DISPLAY(OpenDisplay(), "no display");
        ASSERT_TRUE(chip.Plug());
        usb::UsbOptions options;
        options.vendorId = VendorId;
        options.productId = ProductId;
        platform = std::make_unique<usb::UsbPlatform>(settings, options);
        ASSERT_TRUE(platform->Ready());
        link = std::make_unique<UsbLink>(*platform);
        window = std::make_unique<FltkWindow>(false);
        form = std::make_unique<formMain>(*window, *link);
        window->Attach(form.get());
        ASSERT_TRUE(window->Create());
        ShowDevice(*window, DeviceDescription(DeviceKind::Usb, {VendorId, ProductId}));
        window->Load();
        Fl::check();
    }
    void TearDown() override {
        if (window) {
            window->Close();
        }
        window.reset();
        form.reset();
        link.reset();
        platform.reset();
    }
    Fl_Color SerialColour() const { return window->ControlWidget(lblSerNum)->labelcolor(); }

    test::MockChip chip{0x00012345, VendorId, ProductId};
    sim::registry::Registry settings;
    std::unique_ptr<usb::UsbPlatform> platform;
    std::unique_ptr<UsbLink> link;
    std::unique_ptr<FltkWindow> window;
    std::unique_ptr<formMain> form;
};

TEST_F(WindowOnUsb, StartsOnTheChipAndFollowsItOutAndBackIn) {
    EXPECT_STREQ(window->Handle()->label(), "Morlix Quadrature Driver");
    EXPECT_STREQ(window->ControlWidget(lblSerNum)->tooltip(),
                 "Device: USB I/O chip 1234:abcd (libusb)");
    // The three entry transactions and the Reset word reached the chip.
    EXPECT_EQ(chip.coil().WordCount(), 3 * 14 + 1u);
    window->TimerTick(tmrSN);
    EXPECT_EQ(window->Caption(lblSerNum), "SN: 74565");
    EXPECT_EQ(SerialColour(), FL_BLACK);

    chip.Unplug();
    window->TimerTick(tmrSN);
    EXPECT_EQ(SerialColour(), fl_rgb_color(255, 0, 0));
    EXPECT_EQ(window->Caption(lblSerNum), "SN: 74565");

    ASSERT_TRUE(chip.Plug());
    window->TimerTick(tmrSN);
    EXPECT_EQ(SerialColour(), FL_BLACK);
    window->ControlWidget(cmdMax)->do_callback();
    EXPECT_EQ(chip.coil().Setting().amplitudeX, 4095);
    EXPECT_TRUE(chip.coil().Anomalies().empty());
}

} // namespace
} // namespace morlix

// Fontconfig keeps the patterns that FLTK's font cache matched for the life
// of the process; the leak checker of the sanitizer build is told so.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
