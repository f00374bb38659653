// The console as the program runs it: the form's handlers in the FLTK
// window, over the real driver on the simulated bench. Keys and typing go
// in as FLTK delivers them; what comes out is what the coil driver latched.
#include "fltk_window.h"
#include "form_main.h"
#include "sim_platform.h"
#include "usb_link.h"
#include "display_required.h"
#include "x11_stacking.h"

#include "norvask.h"
#include "sim/bench/bench.h"
#include "sim/kernel/testing.h"

#include <FL/Fl.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Window.H>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>

namespace morlix {
namespace {

using enum ControlId;

class ConsoleOnFltk : public sim::kernel::KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        MORLIX_NEED_DISPLAY(OpenDisplay(), "no display");
        bench = std::make_unique<sim::bench::Bench>(norvask::DriverEntry);
        platform = std::make_unique<SimPlatform>(bench->registry(), bench->io());
        link = std::make_unique<UsbLink>(*platform);
        window = std::make_unique<FltkWindow>(false);
        form = std::make_unique<formMain>(*window, *link);
        window->Attach(form.get());
        ASSERT_TRUE(window->Create());
        window->Load();
        for (int i = 0; i < 10; ++i) {
            Fl::check();
        }
    }
    void TearDown() override {
        if (window) {
            window->Close();
        }
        window.reset();
        form.reset();
        link.reset();
        platform.reset();
        bench.reset();
        KernelTest::TearDown();
    }

    void Key(int key, int state = 0, const char* text = "") {
        keyText = text;
        Fl::e_keysym = key;
        Fl::e_state = state;
        Fl::e_text = keyText.data();
        Fl::e_length = static_cast<int>(std::strlen(text));
        Fl::handle(FL_KEYBOARD, window->Handle());
    }
    void Type(const char* characters) {
        for (const char* c = characters; *c; ++c) {
            const char text[2] = {*c, 0};
            Key(static_cast<unsigned char>(*c), 0, text);
        }
    }

    std::unique_ptr<sim::bench::Bench> bench;
    std::unique_ptr<SimPlatform> platform;
    std::unique_ptr<UsbLink> link;
    std::unique_ptr<FltkWindow> window;
    std::unique_ptr<formMain> form;
    std::string keyText;
};

TEST_F(ConsoleOnFltk, F4InAnEntryBoxSetsBothAxesToMaximum) {
    window->SetFocus(txtAmpX);
    Key(FL_F + 4);
    const auto setting = bench->coil().Setting();
    EXPECT_EQ(setting.amplitudeX, 4095);
    EXPECT_EQ(setting.amplitudeY, 4095);
    EXPECT_EQ(window->Caption(lblAmpX), "4095");
    EXPECT_EQ(window->ForeColor(lblAmpX), ColorBlack);
    EXPECT_EQ(window->Focus(), cmdMax);
    EXPECT_TRUE(window->Handle()->shown());
}

TEST_F(ConsoleOnFltk, AltF4ClosesTheConsoleAndTheCoilDriverKeepsItsSetting) {
    window->SetFocus(txtAmpX);
    Key(FL_F + 4, FL_SHIFT); // Both Max, as F4
    EXPECT_EQ(bench->coil().Setting().amplitudeX, 4095);
    Key(FL_Escape, 0, "\x1b"); // Reset: back to 0
    const std::size_t latched = bench->coil().LatchedWords().size();
    Key(FL_F + 4, FL_ALT);
    EXPECT_TRUE(window->Ended());
    EXPECT_FALSE(window->Handle()->shown());
    EXPECT_EQ(bench->coil().LatchedWords().size(), latched);
    EXPECT_EQ(bench->coil().Setting().amplitudeX, 0);
    EXPECT_EQ(bench->coil().Setting().amplitudeY, 0);
}

TEST_F(ConsoleOnFltk, TypedDigitsReachTheCoilDriverUpToTheBoxLimit) {
    window->SetFocus(txtAmpY);
    auto* box = static_cast<Fl_Input*>(window->ControlWidget(txtAmpY));
    box->position(0, box->size()); // the operator selects the text
    Type("12345");
    EXPECT_EQ(window->Text(txtAmpY), "1234");
    EXPECT_EQ(bench->coil().Setting().amplitudeY, 1234);
    EXPECT_EQ(window->Caption(lblAmpY), "1234");
}

TEST_F(ConsoleOnFltk, TheSerialNumberShowsAfterTheFirstTick) {
    EXPECT_EQ(window->Caption(lblSerNum), "Looking for USB...");
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1300);
    while (std::chrono::steady_clock::now() < end) {
        Fl::wait(0.05);
    }
    EXPECT_EQ(window->Caption(lblSerNum), "SN: " + std::to_string(bench->chip().SerialNumber()));
    EXPECT_EQ(window->ForeColor(lblSerNum), ColorBlack);
}

} // namespace
} // namespace morlix
