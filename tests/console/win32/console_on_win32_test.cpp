// The console's form on the real Win32 window, with a recording platform
// behind it: operator actions in the window reach the coil driver, and the
// previous-instance test ends the program without a trace.
#include "fake_platform.h"
#include "form_main.h"
#include "instance_guard.h"
#include "misc_functions.h"
#include "usb_link.h"
#include "win32_window.h"
#include "window_test_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace morlix {
namespace {

using test::FakePlatform;

using test::KeyMessage;
using test::Pump;
using test::WindowSystemAvailable;

struct Win32Console {
    explicit Win32Console(bool prevInstance) : window(GetModuleHandleW(nullptr), prevInstance) {
        platform.InstallDevice();
        window.Attach(&form);
    }
    ~Win32Console() {
        window.Attach(nullptr);
        Pump();
    }

    FakePlatform platform;
    UsbLink link{platform};
    Win32Window window;
    formMain form{window, link};
};

class ConsoleOnWin32 : public ::testing::Test {
protected:
    void SetUp() override {
        MORLIX_NEED_DISPLAY(WindowSystemAvailable(), "no window system here; run under a display");
    }
};

TEST_F(ConsoleOnWin32, ASecondInstanceEndsWithoutAWindowAndWithoutTouchingAnything) {
    Win32Console console(true);
    ASSERT_TRUE(console.window.Create());
    console.window.Load(SW_SHOWNORMAL);
    EXPECT_TRUE(console.window.Ended());
    EXPECT_EQ(console.window.Handle(), nullptr);
    Pump();
    EXPECT_TRUE(console.platform.Kinds().empty());
}

TEST_F(ConsoleOnWin32, ATypedDigitSendsOneEntryTransaction) {
    Win32Console console(false);
    ASSERT_TRUE(console.window.Create());
    console.window.Load(SW_SHOWNORMAL);
    console.platform.ClearCalls();

    HWND box = console.window.ControlHandle(ControlId::txtAmpX);
    SendMessageW(box, EM_SETSEL, 0, -1);
    SendMessageW(box, WM_CHAR, L'5', 1);

    // Reset, the X frame, the Y frame, execute: 14 words.
    const auto words = console.platform.LatchedWords();
    ASSERT_EQ(words.size(), 14u);
    EXPECT_EQ(words.front(), 0);
    EXPECT_EQ(words[1], 5 + 256); // X amplitude, low byte
    EXPECT_EQ(words.back(), 853); // execute
    EXPECT_EQ(console.window.Caption(ControlId::lblAmpX), "5");
    EXPECT_EQ(console.window.ForeColor(ControlId::lblAmpX), ColorBlack);
}

TEST_F(ConsoleOnWin32, F4InAnEntryBoxRunsBothMaxAndMovesTheFocusThere) {
    Win32Console console(false);
    ASSERT_TRUE(console.window.Create());
    console.window.Load(SW_SHOWNORMAL);
    HWND box = console.window.ControlHandle(ControlId::TxtPhase);
    SetFocus(box);
    console.platform.ClearCalls();

    MSG msg = KeyMessage(box, VK_F4);
    console.window.PreTranslateMessage(msg);

    EXPECT_EQ(console.window.Caption(ControlId::lblAmpX), "4095");
    EXPECT_EQ(console.window.Caption(ControlId::lblAmpY), "4095");
    EXPECT_FALSE(console.platform.LatchedWords().empty());
    EXPECT_EQ(console.window.Focus(), ControlId::cmdMax);
    EXPECT_EQ(GetFocus(), console.window.ControlHandle(ControlId::cmdMax));
    EXPECT_EQ(console.window.Text(ControlId::TxtPhase), "128"); // boxes keep their texts
}

TEST_F(ConsoleOnWin32, AltF4ClosesTheWindowAndSendsNothing) {
    Win32Console console(false);
    ASSERT_TRUE(console.window.Create());
    console.window.Load(SW_SHOWNORMAL);
    HWND box = console.window.ControlHandle(ControlId::txtAmpX);
    SetFocus(box);
    console.platform.ClearCalls();

    // As the system reports Alt+F4: a system key with the Alt flag set.
    MSG msg = KeyMessage(box, VK_F4, WM_SYSKEYDOWN, 1 | (KF_ALTDOWN << 16));
    if (!console.window.PreTranslateMessage(msg)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    Pump();

    EXPECT_EQ(console.window.Handle(), nullptr);
    EXPECT_EQ(console.platform.CountOf(test::CallKind::CreateFileA), 0u);
    EXPECT_TRUE(console.platform.LatchedWords().empty());
    // Unloaded as any close: the place is saved.
    EXPECT_TRUE(console.platform.FindValue(SettingsKey.root, SettingsKey.path, "Top"));
}

TEST_F(ConsoleOnWin32, ClosingStoresTheWindowsPlaceAsDecimalTwips) {
    Win32Console console(false);
    ASSERT_TRUE(console.window.Create());
    console.window.Load(SW_SHOWNORMAL);
    console.window.SetTop(1500);
    console.window.SetLeft(3000);
    const std::string top = DecimalText(console.window.Top());
    const std::string left = DecimalText(console.window.Left());
    SendMessageW(console.window.Handle(), WM_CLOSE, 0, 0);

    auto stored = [&](const char* name) {
        auto value = console.platform.FindValue(SettingsKey.root, SettingsKey.path, name);
        return value ? std::string(value->bytes.begin(), value->bytes.end()) : "<none>";
    };
    // The stored bytes may carry the string's terminating NUL.
    EXPECT_EQ(stored("Top").c_str(), top);
    EXPECT_EQ(stored("Left").c_str(), left);
    EXPECT_EQ(console.window.Handle(), nullptr);
}

TEST(InstanceGuardTest, OnlyTheFirstHolderOfTheNameIsAlone) {
    const wchar_t* name = L"Local\\Morlix.InstanceGuardTest";
    {
        InstanceGuard first(name);
        EXPECT_FALSE(first.OtherInstanceRunning());
        InstanceGuard second(name);
        EXPECT_TRUE(second.OtherInstanceRunning());
    }
    InstanceGuard afterwards(name);
    EXPECT_FALSE(afterwards.OtherInstanceRunning());
}

} // namespace
} // namespace morlix
