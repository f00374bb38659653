// The console's own decimal conversions against the C++ library's to_chars and from_chars, bit
// for bit: random numbers and the cases where conversions go wrong (halfway between two
// neighbours, subnormals, the edges of the range, very long digit strings, huge exponents).
#include "decimal_number.h"
#include "text_value.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <system_error>
#include <vector>

namespace morlix {
namespace {

constexpr double Inf = std::numeric_limits<double>::infinity();

// Where the first significant digit of a decimal text stands against the point, exponent
// included: how the library's "out of range" is told apart as too large or too small.
std::int64_t Magnitude(const std::string& text) {
    std::int64_t magnitude = 0;
    bool seen = false;
    std::size_t i = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        seen = seen || text[i] != '0';
        magnitude += seen ? 1 : 0;
    }
    if (i < text.size() && text[i] == '.') {
        for (++i; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
            seen = seen || text[i] != '0';
            magnitude -= seen ? 0 : 1;
        }
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        const std::string exponent = text.substr(i + 1);
        // Only the sign matters beyond the range of any double.
        magnitude += exponent.size() > 15 ? (exponent[0] == '-' ? -1 : 1) * 1000000000000000LL
                                          : std::stoll(exponent);
    }
    return magnitude;
}

// What the library reads: the nearest value, out of range as infinity or 0.
template <class T>
T LibraryValue(const std::string& text) {
    T value = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    EXPECT_EQ(ptr, text.data() + text.size()) << text;
    if (ec == std::errc::result_out_of_range) {
        return Magnitude(text) > 0 ? std::numeric_limits<T>::infinity() : T(0);
    }
    EXPECT_EQ(ec, std::errc{}) << text;
    return value;
}

template <class T>
std::string Scientific(T value, int precision = -1) {
    std::vector<char> buffer(2000);
    const auto result = precision < 0
                            ? std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                            std::chars_format::scientific)
                            : std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                            std::chars_format::scientific, precision);
    EXPECT_EQ(result.ec, std::errc{});
    return std::string(buffer.data(), result.ptr);
}

// The digits of a scientific text ("d.ddde+x") with the last one stepped by `step`.
std::string StepLastDigit(std::string text, int step) {
    std::size_t i = text.find('e');
    while (i-- > 0) {
        if (text[i] == '.') {
            continue;
        }
        const int d = text[i] - '0' + step;
        if (d >= 0 && d <= 9) {
            text[i] = static_cast<char>('0' + d);
            return text;
        }
        text[i] = step > 0 ? '0' : '9';
    }
    return text; // all nines up or zeros down: leave it
}

void ExpectReadsAsLibrary(const std::string& text) {
    const double expected = LibraryValue<double>(text);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(TextValue(text)), std::bit_cast<std::uint64_t>(expected))
        << text;
}

// The texts near a value: itself and one unit of its last digit either side, truncated to 17,
// 18, 20 and 25 digits, and with digits after it.
void ExpectNeighboursReadAsLibrary(const std::string& exact) {
    const std::size_t e = exact.find('e');
    std::vector<std::string> texts = {exact, StepLastDigit(exact, 1), StepLastDigit(exact, -1),
                                      exact.substr(0, e) + "000000000001" + exact.substr(e),
                                      exact.substr(0, e) + std::string(900, '0') + "1" +
                                          exact.substr(e)};
    for (std::size_t digits : {17u, 18u, 20u, 25u}) {
        if (digits + 1 < e) {
            const std::string cut = exact.substr(0, digits + 1) + exact.substr(e);
            texts.insert(texts.end(), {cut, StepLastDigit(cut, 1), StepLastDigit(cut, -1)});
        }
    }
    for (const std::string& text : texts) {
        ExpectReadsAsLibrary(text);
    }
}

TEST(DecimalReading, MatchesTheLibraryOnRandomDigitsAndExponents) {
    std::mt19937_64 rng(20261209);
    for (int i = 0; i < 10000; ++i) {
        std::string text(1, static_cast<char>('1' + rng() % 9));
        const int length = static_cast<int>(rng() % (i % 4 == 0 ? 60 : 20));
        for (int k = 0; k < length; ++k) {
            text += static_cast<char>('0' + rng() % 10);
        }
        if (rng() % 2 == 0 && text.size() > 1) {
            text.insert(1 + rng() % (text.size() - 1), 1, '.');
        }
        const int exponent = static_cast<int>(rng() % 720) - 360;
        text += 'e';
        text += std::to_string(exponent);
        ExpectReadsAsLibrary(text);
    }
}

TEST(DecimalReading, MatchesTheLibraryAroundRandomDoubles) {
    std::mt19937_64 rng(7);
    for (int i = 0; i < 1500; ++i) {
        const double value = std::bit_cast<double>(rng() & ~(std::uint64_t{1} << 63));
        if (!std::isfinite(value)) {
            continue;
        }
        ExpectReadsAsLibrary(Scientific(value));
        ExpectNeighboursReadAsLibrary(Scientific(value, 16));
    }
}

// Exactly halfway between two neighbours, and the least step off it either way: where reading
// must round to even, and where keeping too few digits goes wrong.
TEST(DecimalReading, HalfwayCasesMatchTheLibrary) {
    if constexpr (std::numeric_limits<long double>::digits >= 64) {
        std::mt19937_64 rng(11);
        std::vector<double> values = {std::numeric_limits<double>::denorm_min(),
                                      std::numeric_limits<double>::min(),
                                      std::nextafter(std::numeric_limits<double>::min(), 0.0),
                                      std::numeric_limits<double>::max(),
                                      1.0,
                                      9007199254740992.0,
                                      1e23,
                                      0.1};
        for (int i = 0; i < 400; ++i) {
            values.push_back(std::bit_cast<double>(rng() % 0x7FF0000000000000));
        }
        for (const double low : values) {
            const long double high = low == std::numeric_limits<double>::max()
                                         ? std::ldexp(1.0L, 1024)
                                         : static_cast<long double>(std::nextafter(low, Inf));
            const long double middle = (static_cast<long double>(low) + high) / 2; // exact
            ExpectNeighboursReadAsLibrary(Scientific(middle, 800));
        }
        ExpectReadsAsLibrary(Scientific(std::ldexp(1.0L, -1075), 800)); // half the least: 0
    }
}

TEST(DecimalReading, LongDigitStringsAndHugeExponentsMatchTheLibrary) {
    for (const std::string& text : std::vector<std::string>{
             "0." + std::string(100000, '0') + "1e100005", "0." + std::string(5000, '0') + "1e5000",
             std::string(5000, '0') + "17976931348623158e292",
             "1" + std::string(400, '0') + "e-400", "2" + std::string(1000, '4') + "e-1000",
             "1e-324", "2.4703282292062328e-324", "2.4703282292062327e-324",
             "1.7976931348623158e308", "1.7976931348623159e308",
             "9" + std::string(30, '9') + "e277", "1e99999999999999999999",
             "1e-99999999999999999999", "0e999999999", "4.9406564584124654e-324",
             "2.2250738585072011e-308"}) {
        ExpectReadsAsLibrary(text);
    }
}

TEST(DecimalReading, FloatsMatchTheLibrary) {
    std::mt19937_64 rng(13);
    for (int i = 0; i < 3000; ++i) {
        const float low = std::bit_cast<float>(static_cast<std::uint32_t>(rng() % 0x7F800000));
        const double middle =
            (static_cast<double>(low) + static_cast<double>(std::nextafter(low, INFINITY))) /
            2; // exact
        for (const std::string& text :
             {Scientific(low), Scientific(middle, 120), StepLastDigit(Scientific(middle, 120), 1),
              StepLastDigit(Scientific(middle, 120), -1), Scientific(middle, 10)}) {
            const std::size_t e = text.find('e');
            std::string digits;
            for (char c : text.substr(0, e)) {
                if (c != '.') {
                    digits += c;
                }
            }
            const float expected = LibraryValue<float>(text);
            EXPECT_EQ(NearestFloat(digits, std::stoll(text.substr(e + 1)) + 1), expected) << text;
        }
    }
}

// The library's shortest digits, written out in plain decimal as the console writes them.
template <class T>
std::string LibraryDecimalText(T value) {
    if (value == 0) {
        return "0";
    }
    const std::string text = Scientific(value);
    const bool negative = text.front() == '-';
    const std::size_t e = text.find('e');
    std::string digits;
    for (char c : text.substr(negative ? 1 : 0, e - (negative ? 1 : 0))) {
        if (c != '.') {
            digits += c;
        }
    }
    const long long point = std::stoll(text.substr(e + 1)) + 1;
    const auto count = static_cast<long long>(digits.size());
    std::string out = negative ? "-" : "";
    if (point <= 0) {
        out += "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
    } else if (point >= count) {
        out += digits + std::string(static_cast<std::size_t>(point - count), '0');
    } else {
        out += digits.substr(0, static_cast<std::size_t>(point)) + "." +
               digits.substr(static_cast<std::size_t>(point));
    }
    return out;
}

TEST(DecimalWriting, ShortestDigitsMatchTheLibrary) {
    std::mt19937_64 rng(17);
    std::vector<double> doubles = {std::numeric_limits<double>::denorm_min(),
                                   std::numeric_limits<double>::min(),
                                   std::numeric_limits<double>::max(),
                                   9007199254740991.0,
                                   9007199254740993.0,
                                   1e23,
                                   5e-324,
                                   -0.3};
    for (int k = -1074; k <= 1023; ++k) {
        doubles.push_back(std::ldexp(1.0, k)); // where the neighbour below is nearer
    }
    for (int i = 0; i < 4000; ++i) {
        doubles.push_back(std::bit_cast<double>(rng()));
    }
    for (const double value : doubles) {
        if (std::isfinite(value)) {
            EXPECT_EQ(DecimalText(value), LibraryDecimalText(value)) << Scientific(value, 17);
        }
    }
    std::vector<float> floats = {std::numeric_limits<float>::denorm_min(),
                                 std::numeric_limits<float>::max(), 16777215.0f, 16777218.0f};
    for (int k = -149; k <= 127; ++k) {
        floats.push_back(std::ldexp(1.0f, k));
    }
    for (int i = 0; i < 4000; ++i) {
        floats.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(rng())));
    }
    for (const float value : floats) {
        if (std::isfinite(value)) {
            EXPECT_EQ(DecimalText(value), LibraryDecimalText(value)) << Scientific(value, 9);
        }
    }
}

std::string LibraryFixed(double value) {
    char buffer[400];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 1);
    EXPECT_EQ(result.ec, std::errc{});
    return std::string(buffer, result.ptr);
}

// One place after the point, ties to even: x.25 and x.75 lie exactly between two results.
TEST(DecimalWriting, FixedDigitsMatchTheLibrary) {
    std::mt19937_64 rng(19);
    std::vector<double> values = {0.0,
                                  0.04,
                                  0.05,
                                  0.06,
                                  0.25,
                                  0.75,
                                  9.95,
                                  99.95,
                                  1e300,
                                  std::numeric_limits<double>::max(),
                                  std::numeric_limits<double>::denorm_min()};
    for (int n = 0; n < 300; ++n) {
        values.insert(values.end(), {n + 0.25, n + 0.75, n + 0.05, n + 0.95, n * 0.1});
    }
    for (int i = 0; i < 3000; ++i) {
        values.push_back(
            std::ldexp(static_cast<double>(rng() >> 11), static_cast<int>(rng() % 120) - 80));
    }
    for (const double value : values) {
        EXPECT_EQ(FixedDigits(value, 1), LibraryFixed(value)) << Scientific(value, 17);
    }
    for (int phase = -300; phase <= 300; ++phase) {
        std::string expected = LibraryFixed(phase * 180.0 / 255.0);
        if (expected == "-0.0") {
            expected = "0.0";
        }
        EXPECT_EQ(PhaseDegreesText(phase), expected + "\xC2\xB0") << phase;
    }
}

} // namespace
} // namespace morlix
