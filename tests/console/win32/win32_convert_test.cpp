// Text and unit conversions at the Win32 boundary.
#include "win32_convert.h"

#include <gtest/gtest.h>

#include <climits>
#include <limits>

namespace morlix {
namespace {

TEST(Win32Text, DegreeSignSurvivesTheTripThroughUtf16) {
    const std::string utf8 = "0 (-90\xC2\xB0) to 255 (+90\xC2\xB0)";
    const std::wstring wide = Utf8ToWide(utf8);
    EXPECT_EQ(wide, L"0 (-90\u00B0) to 255 (+90\u00B0)");
    EXPECT_EQ(WideToUtf8(wide), utf8);
}

TEST(Win32Text, CharactersOutsideTheBasicPlaneBecomeSurrogatePairsAndBack) {
    const std::string utf8 = "A\xF0\x9F\x98\x80Z"; // U+1F600
    const std::wstring wide = Utf8ToWide(utf8);
    ASSERT_EQ(wide.size(), 4u);
    EXPECT_EQ(wide[1], 0xD83D);
    EXPECT_EQ(wide[2], 0xDE00);
    EXPECT_EQ(WideToUtf8(wide), utf8);
}

TEST(Win32Text, BrokenInputIsReplacedNotDropped) {
    // A stray continuation byte and a truncated sequence: the characters
    // around them are kept.
    const std::wstring wide = Utf8ToWide("1\x80"
                                         "2\xC2");
    ASSERT_GE(wide.size(), 4u);
    EXPECT_EQ(wide.front(), L'1');
    EXPECT_NE(wide.find(L'2'), std::wstring::npos);
    EXPECT_NE(wide.find(L'\uFFFD'), std::wstring::npos);

    const std::wstring lone{L'7', static_cast<wchar_t>(0xD800), L'8'};
    EXPECT_EQ(WideToUtf8(lone), "7\xEF\xBF\xBD"
                                "8");
}

TEST(Twips, FifteenTwipsPerPixelAtNinetySixDpi) {
    EXPECT_EQ(TwipsToPixels(7320, 96), 488);
    EXPECT_EQ(TwipsToPixels(1800, 96), 120);
    EXPECT_EQ(TwipsToPixels(15, 96), 1);
    EXPECT_EQ(PixelsToTwips(488, 96), 7320.0f);
    EXPECT_EQ(PixelsToTwips(-1, 96), -15.0f);
}

TEST(Twips, OtherDpiValuesScaleAndRoundToTheNearestPixel) {
    EXPECT_EQ(TwipsToPixels(7320, 144), 732);
    EXPECT_EQ(TwipsToPixels(1800, 120), 150);
    // 105 twips at 120 dpi is 8.75 pixels; at 96 dpi 7 exactly.
    EXPECT_EQ(TwipsToPixels(105, 120), 9);
    EXPECT_EQ(TwipsToPixels(105, 96), 7);
    // Halves round away from zero on both sides.
    EXPECT_EQ(TwipsToPixels(7.5, 96), 1);
    EXPECT_EQ(TwipsToPixels(-7.5, 96), -1);
    EXPECT_EQ(PixelsToTwips(150, 120), 1800.0f);
}

TEST(Twips, NonsenseInputsStayDefined) {
    EXPECT_EQ(TwipsToPixels(1440, 0), 96); // no DPI known: 96
    EXPECT_EQ(TwipsToPixels(1440, -5), 96);
    EXPECT_EQ(TwipsToPixels(1e30, 96), INT_MAX);
    EXPECT_EQ(TwipsToPixels(-1e30, 96), INT_MIN);
    EXPECT_EQ(TwipsToPixels(std::numeric_limits<double>::quiet_NaN(), 96), 0);
    EXPECT_EQ(PixelsToTwips(96, 0), 1440.0f);
}

TEST(Twips, FontHeightIsNegativeCharacterHeight) {
    EXPECT_EQ(FontHeightPixels(8.25, 96), -11);
    EXPECT_EQ(FontHeightPixels(9.75, 96), -13);
    EXPECT_EQ(FontHeightPixels(9.75, 144), -20); // 19.5 rounds up
}

} // namespace
} // namespace morlix
