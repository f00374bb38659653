// Start-up, shut-down, "Always on top" and the serial-number poll.
#include "console_fixture.h"

#include <limits>

namespace morlix::test {
namespace {

using enum ControlId;

// Screen 19200 x 15360, window 7440 x 2265: the top edge must stay below
// 15360 - 2265 = 13095 and the left edge below 2 * 19200 - 7440 = 30960.
HeadlessOptions Screen() {
    HeadlessOptions options;
    options.screenWidth = 19200;
    options.screenHeight = 15360;
    options.width = 7440;
    options.height = 2265;
    options.top = 600;
    options.left = 900;
    return options;
}

std::vector<std::string> QueriedValueNames(const FakePlatform& platform) {
    std::vector<std::string> names;
    for (const Call& call : platform.CallsOf(CallKind::RegQueryValueExA)) {
        if (names.empty() || names.back() != call.name) {
            names.push_back(call.name);
        }
    }
    return names;
}

TEST(FormLoad, SecondInstanceEndsWithoutTouchingAnything) {
    HeadlessOptions options = Screen();
    options.prevInstance = true;
    Console console(options);
    console.StoreSetting("Top", "100");
    console.StoreSetting("On Top", "1");
    console.window.Load();
    EXPECT_TRUE(console.window.Ended());
    EXPECT_FALSE(console.window.Shown());
    EXPECT_TRUE(console.platform.Calls().empty());
    EXPECT_TRUE(console.journal.empty());
    EXPECT_EQ(console.window.Caption(lblAmpX), "??");
    EXPECT_EQ(console.window.Top(), 600);
    // An ended program gets no more events.
    console.window.Tick();
    console.window.PressKey(KeyEscape);
    console.window.Type(txtAmpX, "5");
    EXPECT_TRUE(console.platform.Calls().empty());
}

TEST(FormLoad, FirstRunSendsTheBoxesThenReset) {
    Console console(Screen());
    console.window.Load();
    EXPECT_TRUE(console.window.Shown());
    EXPECT_EQ(console.TakeWords(),
              Concat({Words{0, 256, 256, 256, 301, 272, 384, 256, 256, 256, 301, 288, 384, 853},
                      EntryTransaction(Axis::Y, 0, 0, 128), EntryTransaction(Axis::X, 0, 0, 128),
                      Words{0}}));
    EXPECT_EQ(console.window.Caption(lblPhase), "90.4\xC2\xB0");
    EXPECT_EQ(console.window.Caption(lblAmpX), "0");
    EXPECT_EQ(console.window.ForeColor(lblAmpY), ColorBlack);
    EXPECT_EQ(console.window.Caption(lblSerNum), "Looking for USB...");
    EXPECT_EQ(console.window.ForeColor(lblSerNum), ColorRed);
    EXPECT_EQ(console.window.Focus(), cmdReset);
    EXPECT_EQ(console.window.Top(), 600);
    EXPECT_EQ(console.window.Left(), 900);
    EXPECT_EQ(console.window.CheckValue(chkOnTop), 0);
    EXPECT_TRUE(console.window.WindowPosCalls().empty());
}

TEST(FormLoad, ReadsSettingsInOrderBeforeAnyWordGoesOut) {
    Console console(Screen());
    console.StoreSetting("Top", "100");
    console.StoreSetting("Left", "200");
    console.StoreSetting("On Top", "1");
    console.window.Load();
    const std::vector<std::string> names = QueriedValueNames(console.platform);
    ASSERT_GE(names.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 4),
              (std::vector<std::string>{"Top", "Left", "On Top", DeviceNameValue}));
    // The "On Top" write happens before the first device open.
    const auto& calls = console.platform.Calls();
    auto firstOpen = std::find_if(calls.begin(), calls.end(),
                                  [](const Call& c) { return c.kind == CallKind::CreateFileA; });
    auto write = std::find_if(calls.begin(), calls.end(),
                              [](const Call& c) { return c.kind == CallKind::RegSetValueExA; });
    ASSERT_NE(write, calls.end());
    EXPECT_LT(write - calls.begin(), firstOpen - calls.begin());
    EXPECT_EQ(console.window.Top(), 100);
    EXPECT_EQ(console.window.Left(), 200);
}

struct Placement {
    const char* top;
    bool topApplied;
    const char* left;
    bool leftApplied;
};

std::ostream& operator<<(std::ostream& out, const Placement& p) {
    return out << "Top '" << p.top << "' Left '" << p.left << "'";
}

class PlacementTest : public ::testing::TestWithParam<Placement> {};

TEST_P(PlacementTest, StoredEdgeIsAppliedOnlyInsideItsRange) {
    const Placement& p = GetParam();
    Console console(Screen());
    console.StoreSetting("Top", p.top);
    console.StoreSetting("Left", p.left);
    console.window.Load();
    if (p.topApplied) {
        EXPECT_NE(console.window.Top(), 600);
    } else {
        EXPECT_EQ(console.window.Top(), 600);
    }
    if (p.leftApplied) {
        EXPECT_NE(console.window.Left(), 900);
    } else {
        EXPECT_EQ(console.window.Left(), 900);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Edges, PlacementTest,
    ::testing::Values(Placement{"13095", false, "30960", false},
                      Placement{"13094", true, "30959", true}, Placement{"-15", false, "-1", false},
                      // Left on a second screen to the right of the main one.
                      Placement{"0.5", true, "25000", true},
                      // Rounded to single precision these equal the limits.
                      Placement{"13094.9999999", false, "30959.9999999", false},
                      Placement{"13094.99", true, "30959.99", true},
                      Placement{"1e999", false, "-1e999", false},
                      Placement{"1e308", false, "99999999999999999999999999999999999999999", false},
                      Placement{"&h3000", true, "&h000B40", true},
                      Placement{" 1 2 3 ", true, "7e2x", true}));

TEST(FormLoad, AppliedEdgesTakeTheStoredValue) {
    Console console(Screen());
    console.StoreSetting("Top", "13094");
    console.platform.SetDword(SettingsKey.root, SettingsKey.path, "Left", 2880);
    console.window.Load();
    EXPECT_EQ(console.window.Top(), 13094.0f);
    EXPECT_EQ(console.window.Left(), 2880.0f);
}

TEST(FormLoad, StoredEdgeStartingWithLettersRestoresZero) {
    Console console(Screen());
    console.StoreSetting("Top", "x100");
    console.window.Load();
    EXPECT_EQ(console.window.Top(), 0.0f);
    EXPECT_EQ(console.window.Left(), 900.0f);
}

TEST(FormLoad, OnTopIsRestoredOnlyForExactlyOne) {
    struct Case {
        const char* text;
        bool dword;
        bool applied;
    };
    const Case cases[] = {
        {"1", false, true},   {"1.0", false, true}, {" 1", false, true},
        {"1", true, true},    {"0", false, false},  {"2", false, false},
        {"x1", false, false}, {"", false, false},   {"0.999999999", false, false},
        {"-1", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "'" << c.text << "'" << (c.dword ? " dword" : ""));
        Console console(Screen());
        if (c.dword) {
            console.platform.SetDword(SettingsKey.root, SettingsKey.path, "On Top", 1);
        } else {
            console.StoreSetting("On Top", c.text);
        }
        console.window.Load();
        EXPECT_EQ(console.window.CheckValue(chkOnTop), c.applied ? 1 : 0);
        if (c.applied) {
            EXPECT_EQ(console.window.WindowPosCalls(),
                      (std::vector<WindowPosCall>{{HwndTopmost, 0, 0, 0, 0, 3}}));
            EXPECT_EQ(console.window.Stacking(), ZOrder::Topmost);
            EXPECT_EQ(console.Setting("On Top"), "1");
        } else {
            EXPECT_TRUE(console.window.WindowPosCalls().empty());
            EXPECT_EQ(console.window.Stacking(), ZOrder::Normal);
            EXPECT_TRUE(console.platform.CallsOf(CallKind::RegSetValueExA).empty());
        }
    }
}

TEST(FormLoad, MissingSettingsKeepTheSystemPlacement) {
    Console console(Screen(), false);
    console.window.Load();
    EXPECT_EQ(console.window.Top(), 600);
    EXPECT_EQ(console.window.Left(), 900);
    // No device: everything runs, nothing reaches a chip.
    EXPECT_TRUE(console.platform.PortWrites().empty());
    EXPECT_EQ(console.window.Caption(lblAmpX), "0");
}

TEST(AlwaysOnTop, CheckingAndUncheckingMoveTheWindowAndStoreTheState) {
    Console console(Screen());
    console.Start();
    console.window.Click(chkOnTop);
    EXPECT_EQ(console.window.CheckValue(chkOnTop), 1);
    EXPECT_EQ(console.window.Stacking(), ZOrder::Topmost);
    EXPECT_EQ(console.Setting("On Top"), "1");
    console.window.Click(chkOnTop);
    EXPECT_EQ(console.window.CheckValue(chkOnTop), 0);
    // HWND_BOTTOM, not HWND_NOTOPMOST: the window goes behind all others.
    EXPECT_EQ(console.window.Stacking(), ZOrder::Bottom);
    EXPECT_EQ(console.Setting("On Top"), "0");
    EXPECT_EQ(console.window.WindowPosCalls(),
              (std::vector<WindowPosCall>{{-1, 0, 0, 0, 0, 3}, {1, 0, 0, 0, 0, 3}}));
    // Position and size stay where they were.
    EXPECT_EQ(console.window.Top(), 600);
    EXPECT_EQ(console.window.Left(), 900);
    const auto writes = console.platform.CallsOf(CallKind::RegSetValueExA);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].type, RegSz);
    EXPECT_EQ(writes[0].sizeIn, 1u);
    EXPECT_TRUE(console.TakeWords().empty());
}

TEST(SerialNumber, LabelShowsTheSerialWhileTheChipAnswers) {
    Console console(Screen());
    console.Start();
    console.platform.SetSerialNumber(1);
    console.window.Tick();
    EXPECT_EQ(console.window.Caption(lblSerNum), "SN: 1");
    EXPECT_EQ(console.window.ForeColor(lblSerNum), ColorBlack);

    console.platform.SetSerialReply({0, 0, 0, 0, 0, 0, 0, 0});
    console.window.Tick();
    EXPECT_EQ(console.window.Caption(lblSerNum), "SN: 1");
    EXPECT_EQ(console.window.ForeColor(lblSerNum), ColorRed);

    console.platform.SetSerialNumber(0x12345678);
    console.window.Tick();
    EXPECT_EQ(console.window.Caption(lblSerNum), "SN: 305419896");
    EXPECT_EQ(console.window.ForeColor(lblSerNum), ColorBlack);

    // The top bit set is still an answering chip, shown as a positive number.
    console.platform.SetSerialNumber(0x80000000u);
    console.window.Tick();
    EXPECT_EQ(console.window.Caption(lblSerNum), "SN: 2147483648");
    console.platform.SetSerialNumber(0xFFFFFFFFu);
    console.window.Tick();
    EXPECT_EQ(console.window.Caption(lblSerNum), "SN: 4294967295");
    EXPECT_EQ(console.window.ForeColor(lblSerNum), ColorBlack);
    // A poll sends no coil word.
    EXPECT_TRUE(console.TakeWords().empty());
}

TEST(SerialNumber, NoDeviceKeepsTheLabelRed) {
    Console console(Screen(), false);
    console.Start();
    console.window.Tick();
    console.window.Tick();
    EXPECT_EQ(console.window.Caption(lblSerNum), "Looking for USB...");
    EXPECT_EQ(console.window.ForeColor(lblSerNum), ColorRed);
}

TEST(FormUnload, SavesTopAndLeftAsShortestDecimalText) {
    struct Case {
        float top;
        float left;
        const char* topText;
        const char* leftText;
    };
    const Case cases[] = {
        {600, 900, "600", "900"},
        {1234.5f, -15, "1234.5", "-15"},
        {0.1f, 16777216, "0.1", "16777216"},
        {-0.0f, 3e10f, "0", "30000000000"},
    };
    for (const Case& c : cases) {
        HeadlessOptions options = Screen();
        options.top = c.top;
        options.left = c.left;
        Console console(options);
        console.Start();
        console.window.Unload();
        EXPECT_EQ(console.Setting("Top"), c.topText);
        EXPECT_EQ(console.Setting("Left"), c.leftText);
        // The device is not touched on the way out.
        EXPECT_EQ(console.platform.CountOf(CallKind::CreateFileA), 0u);
        EXPECT_TRUE(console.window.Ended());
    }
}

TEST(FormUnload, AltF4ClosesTheWindowAndSendsNothingWhileF4WithOtherModifiersIsBothMax) {
    Console console(Screen());
    console.Start();
    console.PasteOver(txtAmpX, "1234");
    const Words bothMax{0, 511, 287, 256, 273, 304, 383, 853};
    // Ctrl with Alt is a plain F4, as Windows reports it.
    for (int shift : {ShiftMask | 0, CtrlMask | 0, CtrlMask | AltMask}) {
        console.TakeWords();
        console.window.SetFocus(txtAmpX);
        console.window.PressKey(KeyF4, static_cast<std::int16_t>(shift));
        EXPECT_EQ(console.TakeWords(), bothMax) << shift;
    }
    for (int shift : {AltMask | 0, AltMask | ShiftMask}) {
        Console closing(Screen());
        closing.Start();
        closing.window.SetFocus(txtAmpX);
        closing.window.PressKey(KeyF4, static_cast<std::int16_t>(shift));
        EXPECT_TRUE(closing.window.Ended()) << shift;
        EXPECT_EQ(closing.platform.CountOf(CallKind::CreateFileA), 0u) << shift;
        // Closed as the operator closes it: the placement is saved.
        EXPECT_EQ(closing.Setting("Top"), "600");
    }
}

TEST(FormUnload, SavedPlacementIsRestoredNextTime) {
    HeadlessOptions options = Screen();
    Console first(options);
    first.Start();
    first.window.SetTop(4321.25f);
    first.window.SetLeft(22222);
    first.window.Unload();

    Console second(options);
    second.StoreSetting("Top", first.Setting("Top"));
    second.StoreSetting("Left", first.Setting("Left"));
    second.window.Load();
    EXPECT_EQ(second.window.Top(), 4321.25f);
    EXPECT_EQ(second.window.Left(), 22222.0f);
}

} // namespace
} // namespace morlix::test

namespace morlix::test {
namespace {

TEST(DecimalText, ShortestDigitsWrittenOutInPlainDecimal) {
    EXPECT_EQ(DecimalText(1.5), "1.5");
    EXPECT_EQ(DecimalText(-1.0), "-1");
    EXPECT_EQ(DecimalText(4096.0), "4096");
    EXPECT_EQ(DecimalText(1e20), "100000000000000000000");
    EXPECT_EQ(DecimalText(1e-10f), "0.0000000001");
    EXPECT_EQ(DecimalText(0.1f), "0.1");
    EXPECT_EQ(DecimalText(-0.0), "0");
    EXPECT_EQ(DecimalText(std::numeric_limits<double>::infinity()), "0");
    EXPECT_EQ(DecimalText(std::numeric_limits<double>::quiet_NaN()), "0");
    EXPECT_EQ(DecimalText(std::numeric_limits<double>::max()).size(), 309u);
}

} // namespace
} // namespace morlix::test
