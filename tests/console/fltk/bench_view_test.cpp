// The bench view beside the console's window, over the real driver on the
// simulated bench: it follows every transaction the operator starts, its
// buttons pull the chip out and plug it in again, and it goes with the
// console. One test keeps a screenshot of both windows in the build tree.
#include "bench_view.h"
#include "device_label.h"
#include "display_required.h"
#include "fltk_window.h"
#include "form_main.h"
#include "screenshot.h"
#include "sim_platform.h"
#include "usb_link.h"
#include "x11_stacking.h"

#include "norvask.h"
#include "sim/bench/bench.h"
#include "sim/kernel/testing.h"

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Tooltip.H>
#include <FL/Fl_Window.H>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>

namespace morlix {
namespace {

using enum ControlId;

class BenchViewTest : public sim::kernel::KernelTest {
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
        view = std::make_unique<BenchView>(*bench);
        ASSERT_TRUE(view->Create());
        view->ShowBeside(window->Handle());
        Settle();
    }
    void TearDown() override {
        if (window) {
            window->Close();
        }
        view.reset();
        window.reset();
        form.reset();
        link.reset();
        platform.reset();
        bench.reset();
        KernelTest::TearDown();
    }

    // The event loop's turn: what FLTK does after every event it handles.
    static void Settle() {
        for (int i = 0; i < 10; ++i) {
            Fl::check();
        }
    }
    void Key(int key) {
        Fl::e_keysym = key;
        Fl::e_state = 0;
        Fl::e_text = const_cast<char*>("");
        Fl::e_length = 0;
        Fl::handle(FL_KEYBOARD, window->Handle());
    }
    std::string Words() const {
        return "words latched: " + std::to_string(bench->coil().WordCount());
    }
    Fl_Color SerialColour() const { return window->ControlWidget(lblSerNum)->labelcolor(); }

    std::unique_ptr<sim::bench::Bench> bench;
    std::unique_ptr<SimPlatform> platform;
    std::unique_ptr<UsbLink> link;
    std::unique_ptr<FltkWindow> window;
    std::unique_ptr<formMain> form;
    std::unique_ptr<BenchView> view;
};

TEST_F(BenchViewTest, OpensBesideTheConsoleShowingTheStartUp) {
    Fl_Window* console = window->Handle();
    ASSERT_TRUE(view->Handle()->shown());
    EXPECT_GE(view->Handle()->x(), console->x() + console->w()); // to the right, not over it
    // Three entry transactions and the Reset word.
    EXPECT_EQ(bench->coil().WordCount(), 3 * 14 + 1u);
    EXPECT_EQ(view->WordCountShown(), "words latched: 43");
    // The Reset left no transaction of its own; the last one is the phase box's.
    EXPECT_EQ(view->FramesShown(),
              "axis X   amp    0 ( 0.00 A)  phase 128 ( +0.4\u00B0)  [00 00 00 2D 10 80]\n"
              "axis Y   amp    0 ( 0.00 A)  phase 128 ( +0.4\u00B0)  [00 00 00 2D 20 80]");
    EXPECT_EQ(view->ChipShown(), "chip plugged in");
}

TEST_F(BenchViewTest, FollowsEveryTransactionWithoutBeingAsked) {
    Key(FL_F + 4); // Both Max
    Settle();
    EXPECT_EQ(view->WordCountShown(), Words());
    EXPECT_EQ(view->WordCountShown(), "words latched: 51");
    EXPECT_EQ(view->FramesShown(),
              "both     amp 4095 (20.00 A)  phase 127 ( -0.4\u00B0)  [FF 1F 00 11 30 7F]");
    // The preset's Reset word put the phase back to its power-on 0; a both frame leaves it.
    EXPECT_EQ(view->SettingShown(),
              "X amp 4095 (20.00 A)   Y amp 4095 (20.00 A)   phase   0 (-90.0\u00B0)");

    Key(FL_F + 1); // Standby
    Settle();
    EXPECT_EQ(view->WordCountShown(), "words latched: 59");
    EXPECT_EQ(view->FramesShown(), "standby  outputs off  [00 00 01 13 30 7F]");
    EXPECT_EQ(view->SettingShown(), "standby: both outputs off");

    Key(FL_Escape); // Reset: a word, no transaction
    Settle();
    EXPECT_EQ(view->WordCountShown(), "words latched: 60");
    EXPECT_EQ(view->SettingShown(),
              "X amp    0 ( 0.00 A)   Y amp    0 ( 0.00 A)   phase   0 (-90.0\u00B0)");
}

TEST_F(BenchViewTest, UnplugAndReplugTurnTheSerialLabelRedAndBack) {
    window->TimerTick(tmrSN);
    const std::string serial = "SN: " + std::to_string(bench->chip().SerialNumber());
    ASSERT_EQ(window->Caption(lblSerNum), serial);
    EXPECT_EQ(SerialColour(), FL_BLACK);
    EXPECT_FALSE(view->ReplugButton()->active());

    view->UnplugButton()->do_callback();
    Settle();
    EXPECT_FALSE(bench->Plugged());
    EXPECT_EQ(view->ChipShown(), "chip pulled out");
    EXPECT_FALSE(view->UnplugButton()->active());
    EXPECT_TRUE(view->ReplugButton()->active());
    window->TimerTick(tmrSN);
    EXPECT_EQ(window->ForeColor(lblSerNum), ColorRed);
    EXPECT_EQ(SerialColour(), fl_rgb_color(255, 0, 0));
    EXPECT_EQ(window->Caption(lblSerNum), serial); // the last number stays
    // Nothing reaches the coil driver while the chip is out.
    const std::string before = view->WordCountShown();
    Key(FL_F + 4);
    Settle();
    EXPECT_EQ(view->WordCountShown(), before);

    view->ReplugButton()->do_callback();
    Settle();
    EXPECT_TRUE(bench->Plugged());
    EXPECT_EQ(view->ChipShown(), "chip plugged in");
    window->TimerTick(tmrSN);
    EXPECT_EQ(window->ForeColor(lblSerNum), ColorBlack);
    EXPECT_EQ(SerialColour(), FL_BLACK);
    Key(FL_F + 4); // the console goes on with the chip in its new port
    Settle();
    EXPECT_EQ(bench->coil().Setting().amplitudeX, 4095);
    EXPECT_EQ(view->WordCountShown(), Words());
}

TEST_F(BenchViewTest, AScreenshotAfterTripleRecordIsKeptInTheBuildTree) {
    window->TimerTick(tmrSN); // the serial number, as a second after the start
    Key(FL_F + 5);
    Settle();
    const std::string frames = view->FramesShown();
    EXPECT_EQ(frames.substr(0, frames.find('\n')),
              "record   amp 1000 ( 4.88 A)  phase  32 (-67.4\u00B0)  [E8 F3 05 FD 3F 20]");
    EXPECT_EQ(std::count(frames.begin(), frames.end(), '\n'), 2);
    EXPECT_EQ(view->WordCountShown(), "words latched: 63");

    const test::Picture picture = test::Capture({window->Handle(), view->Handle()});
    ASSERT_GT(picture.width, 0);
    // The record sequence's figures (their own orange) lie in the view, and the
    // console's X frame (its green background) in the console.
    Fl_Window* shown = view->Handle();
    EXPECT_GT(picture.CountColour(shown->x(), shown->y(), shown->w(), shown->h(), 230, 120, 0),
              200);
    Fl_Window* console = window->Handle();
    EXPECT_GT(
        picture.CountColour(console->x(), console->y(), console->w(), console->h(), 192, 255, 192),
        1000);
    const std::string file = std::string(MORLIX_SCREENSHOT_DIR) + "/bench-view-triple-record.png";
    std::filesystem::remove(file);
    ASSERT_TRUE(test::SavePng(picture, file));
    EXPECT_GT(std::filesystem::file_size(file), 1000u);
}

TEST_F(BenchViewTest, TheSerialLabelTellsTheDeviceWhenThePointerRestsOnIt) {
    ShowDevice(*window, "Device: simulated bench");
    Fl_Widget* serial = window->ControlWidget(lblSerNum);
    EXPECT_STREQ(serial->tooltip(), "Device: simulated bench");
    EXPECT_STREQ(window->Handle()->label(), "Morlix Quadrature Driver"); // the caption stays
    // The pointer comes to rest on the label.
    Fl::e_x = serial->x() + 2;
    Fl::e_y = serial->y() + 2;
    Fl::e_x_root = window->Handle()->x() + Fl::e_x;
    Fl::e_y_root = window->Handle()->y() + Fl::e_y;
    Fl::handle(FL_MOVE, window->Handle());
    EXPECT_EQ(Fl_Tooltip::current(), serial);
}

TEST_F(BenchViewTest, GoesWhenTheConsoleCloses) {
    window->Close();
    Settle();
    EXPECT_FALSE(view->Handle()->shown());
}

} // namespace
} // namespace morlix
