#include "fltk_keys.h"
#include "window.h"

#include <FL/Enumerations.H>
#include <gtest/gtest.h>

namespace morlix {
namespace {

TEST(FltkKeys, FunctionKeysEscapeAndEntryKeysGetTheirWindowsCodes) {
    EXPECT_EQ(VirtualKeyOf(FL_F + 1), 112);
    EXPECT_EQ(VirtualKeyOf(FL_F + 5), 116);
    EXPECT_EQ(VirtualKeyOf(FL_F + 6), 117);
    EXPECT_EQ(VirtualKeyOf(FL_F + 12), 123);
    EXPECT_EQ(VirtualKeyOf(FL_Escape), 27);
    EXPECT_EQ(VirtualKeyOf(FL_Up), 38);
    EXPECT_EQ(VirtualKeyOf(FL_Down), 40);
    EXPECT_EQ(VirtualKeyOf(FL_Page_Up), 33);
    EXPECT_EQ(VirtualKeyOf(FL_Page_Down), 34);
    EXPECT_EQ(VirtualKeyOf(FL_Home), 36);
    EXPECT_EQ(VirtualKeyOf(FL_End), 35);
    EXPECT_EQ(VirtualKeyOf(FL_Left), 37);
    EXPECT_EQ(VirtualKeyOf(FL_Right), 39);
    EXPECT_EQ(VirtualKeyOf(FL_Print), 0); // no code: the handlers never see it
}

TEST(FltkKeys, ShiftStateKeepsShiftCtrlAndAltOnly) {
    EXPECT_EQ(ShiftStateOf(0), 0);
    EXPECT_EQ(ShiftStateOf(FL_SHIFT), ShiftMask);
    EXPECT_EQ(ShiftStateOf(FL_CTRL | FL_ALT), CtrlMask | AltMask);
    EXPECT_EQ(ShiftStateOf(FL_SHIFT | FL_CAPS_LOCK | FL_NUM_LOCK | FL_BUTTON1), ShiftMask);
}

TEST(FltkKeys, TwipsAreFifteenPerPixelAt96DpiAndFollowTheScreensDpi) {
    EXPECT_EQ(TwipsToPixels(7320, 96), 488);
    EXPECT_EQ(TwipsToPixels(1800, 96), 120);
    EXPECT_FLOAT_EQ(PixelsToTwips(488, 96), 7320.0f);
    EXPECT_EQ(TwipsToPixels(7320, 120), 610);
    EXPECT_FLOAT_EQ(PixelsToTwips(300, 100), 4320.0f);
    EXPECT_EQ(TwipsToPixels(-15, 96), -1);
    EXPECT_EQ(TwipsToPixels(1e30, 96), 2147483647);
    EXPECT_EQ(FontPixels(8.25, 96), 11);
    EXPECT_EQ(FontPixels(9.75, 96), 13);
}

TEST(FltkKeys, AMissingOrAbsurdDpiCountsAs96) {
    EXPECT_FLOAT_EQ(UsableDpi(0), 96.0f);
    EXPECT_FLOAT_EQ(UsableDpi(-5), 96.0f);
    EXPECT_FLOAT_EQ(UsableDpi(4000), 96.0f);
    EXPECT_FLOAT_EQ(UsableDpi(0.0f / 0.0f), 96.0f);
    EXPECT_FLOAT_EQ(UsableDpi(96.3f), 96.0f);
    EXPECT_FLOAT_EQ(UsableDpi(144), 144.0f);
    EXPECT_EQ(TwipsToPixels(1440, 0), 96);
}

} // namespace
} // namespace morlix
