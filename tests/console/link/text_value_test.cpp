// Reading numbers from entry boxes, busy tags and stored settings.
#include "text_value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

namespace morlix {
namespace {

struct Case {
    const char* text;
    double value;
};

void ExpectReads(std::initializer_list<Case> cases) {
    for (const Case& c : cases) {
        EXPECT_EQ(TextValue(c.text), c.value) << "text \"" << c.text << "\"";
    }
}

TEST(TextValue, ReadsTheLongestLeadingNumber) {
    ExpectReads({{"12ab", 12},
                 {"0012", 12},
                 {"1e3", 1000},
                 {"4095", 4095},
                 {"12.7", 12.7},
                 {"1.5x", 1.5},
                 {"-1", -1},
                 {"+7", 7},
                 {"2E+2", 200},
                 {"25e-1", 2.5},
                 {"1e", 1},
                 {"1e+", 1},
                 {"3e-x", 3},
                 {"1e2e3", 100},
                 {"1.2.3", 1.2}});
}

// The whole part is required, and a point is part of the number only with
// a digit behind it; what does not fit ends the number.
TEST(TextValue, APointNeedsDigitsOnBothSides) {
    ExpectReads({{".5", 0},
                 {"-.5", 0},
                 {"+.5e3", 0},
                 {"5.", 5},
                 {"5.x", 5},
                 {"1.e2", 1},
                 {"12.E3", 12},
                 {"-7.", -7},
                 {"0.5", 0.5},
                 {"1.5e1", 15}});
}

TEST(TextValue, TextWithoutANumberReadsZero) {
    ExpectReads({{"", 0},
                 {"-", 0},
                 {"+", 0},
                 {".", 0},
                 {"-.", 0},
                 {"e5", 0},
                 {"abc", 0},
                 {"--1", 0},
                 {"+-1", 0},
                 {"\xC2\xB0", 0}});
}

TEST(TextValue, BlanksTabsAndLineFeedsAreDroppedAnywhere) {
    ExpectReads({{" 5", 5},
                 {"5 ", 5},
                 {"1 2 3", 123},
                 {"\t4\t2", 42},
                 {"1\n0", 10},
                 {"- 3", -3},
                 {"1 e 2", 100},
                 {"& h 1 0", 16},
                 {"   ", 0}});
    // Carriage returns are not among them: they end the number.
    EXPECT_EQ(TextValue("1\r2"), 1);
}

TEST(TextValue, DecimalPointIsAlwaysAPointAndACommaEndsTheNumber) {
    ExpectReads({{"1,5", 1}, {"1.5", 1.5}, {"1,000", 1}, {",5", 0}});
}

TEST(TextValue, HexadecimalFormOfStoredNumbers) {
    ExpectReads({{"&h000B40", 2880},
                 {"&H000B40", 2880},
                 {"&h050040", 0x50040},
                 {"&h000001", 1},
                 {"&hfF", 255},
                 {"&hFFFFFFFF", 4294967295.0},
                 {"&h", 0},
                 {"&hg", 0},
                 {"&h10g", 16},
                 {"&h-5", 0},
                 {"-&h5", 0},
                 {"&x5", 0}});
}

TEST(TextValue, LongHexadecimalNumbersRoundOnceToNearest) {
    EXPECT_EQ(TextValue("&h1FFFFFFFFFFFFF"), 9007199254740991.0); // 2^53 - 1, exact
    EXPECT_EQ(TextValue("&h20000000000001"), 9007199254740992.0); // tie rounds to even
    // The tail below the 16th digit still pushes a tie upwards.
    EXPECT_EQ(TextValue("&h20000000000001000001"), std::ldexp(9007199254740994.0, 24));
    EXPECT_EQ(TextValue("&hFFFFFFFFFFFFFFFFFFFF"), std::ldexp(1.0, 80)); // 20 digits
    EXPECT_EQ(TextValue("&h" + std::string(200, '0') + "1"), 1.0);
    EXPECT_EQ(TextValue("&h" + std::string(300, 'F')), std::numeric_limits<double>::infinity());
}

TEST(TextValue, OutOfRangeNumbersSaturate) {
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(TextValue("1e308"), 1e308);
    EXPECT_EQ(TextValue("1.7976931348623157e308"), std::numeric_limits<double>::max());
    EXPECT_EQ(TextValue("1e999"), inf);
    EXPECT_EQ(TextValue("-1e999"), -inf);
    EXPECT_EQ(TextValue("1e99999999999999999999999"), inf);
    EXPECT_EQ(TextValue("1e-999"), 0.0);
    EXPECT_EQ(TextValue("-1e-999"), 0.0);
    EXPECT_EQ(TextValue("0e99999999999999999999999"), 0.0);
    // Leading zeros after the point count when telling overflow from underflow.
    EXPECT_EQ(TextValue("0." + std::string(700, '0') + "1e300"), 0.0);
    EXPECT_EQ(TextValue("0." + std::string(400, '0') + "1e300"), 1e-101);
    EXPECT_EQ(TextValue("0." + std::string(50, '0') + "1e400"), inf);
    // Below the normal range but above zero the value stands.
    EXPECT_EQ(TextValue("4.9406564584124654e-324"), std::numeric_limits<double>::denorm_min());
}

// The shortest digits that read back, also at powers of two, where the nearest digits that read
// back lie above the value rather than where plain rounding puts them.
TEST(DecimalText, ShortestDigitsThatReadBack) {
    EXPECT_EQ(DecimalText(0.1), "0.1");
    EXPECT_EQ(DecimalText(0.1f), "0.1");
    EXPECT_EQ(DecimalText(-1000.5f), "-1000.5");
    EXPECT_EQ(DecimalText(4095.0), "4095");
    EXPECT_EQ(DecimalText(1e22), "10000000000000000000000");
    EXPECT_EQ(DecimalText(std::ldexp(1.0f, 87)), "154742510000000000000000000");
    EXPECT_EQ(DecimalText(std::ldexp(1.0f, -96)), "0.000000000000000000000000000012621775");
    EXPECT_EQ(DecimalText(std::ldexp(1.0, 182)), "6129982163463556" + std::string(39, '0'));
    for (float f : {0.3f, 123.456f, 3.4028235e38f, 1.17549435e-38f, 1e-45f}) {
        EXPECT_EQ(static_cast<float>(TextValue(DecimalText(f))), f) << DecimalText(f);
    }
}

TEST(TextValue, VeryLongDigitStrings) {
    EXPECT_EQ(TextValue(std::string(400, '9')), std::numeric_limits<double>::infinity());
    EXPECT_EQ(TextValue(std::string(100000, '0') + "42"), 42);
    EXPECT_EQ(TextValue("0." + std::string(100000, '0') + "1e100005"), 10000);
    EXPECT_EQ(TextValue("3." + std::string(100000, '0') + "x"), 3);
}

TEST(TextValue, ZeroIsNeverNegative) {
    EXPECT_FALSE(std::signbit(TextValue("-0")));
    EXPECT_FALSE(std::signbit(TextValue("-0.0e5")));
    EXPECT_FALSE(std::signbit(TextValue("-1e-999")));
}

TEST(TextValue, ArbitraryBytesNeverGiveNaN) {
    std::mt19937 rng(20261208);
    const std::string alphabet = "0123456789+-.eE&hH ,\t\nxF\r\x80\xff";
    for (int i = 0; i < 20000; ++i) {
        std::string text;
        const int len = static_cast<int>(rng() % 24);
        for (int k = 0; k < len; ++k) {
            text +=
                rng() % 4 == 0 ? static_cast<char>(rng() % 256) : alphabet[rng() % alphabet.size()];
        }
        EXPECT_FALSE(std::isnan(TextValue(text))) << text;
    }
}

} // namespace
} // namespace morlix
