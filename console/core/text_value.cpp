#include "text_value.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <system_error>

namespace morlix {

namespace {

constexpr const char* DegreeSign = "\xC2\xB0";

bool IsAllZeroNumber(std::string_view text) {
    for (char c : text) {
        if (c != '0' && c != '.' && c != '-') {
            return false;
        }
    }
    return true;
}

// The shortest digits that read back as the same value, written out in
// plain decimal: readers of the stored text need not know exponents.
template <class T>
std::string FixedShortest(T value) {
    if (!std::isfinite(value) || value == 0) {
        return "0";
    }
    char buffer[64];
    auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    if (error != std::errc{}) {
        return "0";
    }
    std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
    const bool negative = text.front() == '-';
    if (negative) {
        text.remove_prefix(1);
    }
    const std::size_t e = text.find('e');
    std::string digits;
    for (char c : text.substr(0, e)) {
        if (c != '.') {
            digits += c;
        }
    }
    std::string_view exponentText = text.substr(e + 1);
    if (!exponentText.empty() && exponentText.front() == '+') {
        exponentText.remove_prefix(1);
    }
    int exponent = 0;
    std::from_chars(exponentText.data(), exponentText.data() + exponentText.size(), exponent);

    // Digits before the decimal point.
    const int point = exponent + 1;
    const int count = static_cast<int>(digits.size());
    std::string out = negative ? "-" : "";
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (point >= count) {
        out += digits;
        out.append(static_cast<std::size_t>(point - count), '0');
    } else {
        out += digits.substr(0, static_cast<std::size_t>(point));
        out += '.';
        out += digits.substr(static_cast<std::size_t>(point));
    }
    return out;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// "&h" digits, already past the prefix. The first 16 significant digits are
// kept exactly; any nonzero digit after them only sets a sticky bit so that
// the conversion to double rounds once, correctly. Far too many digits give
// infinity.
double ReadHex(std::string_view s) {
    std::uint64_t mantissa = 0;
    int kept = 0;
    std::int64_t dropped = 0;
    bool sticky = false;
    for (const char c : s) {
        const int d = HexDigit(c);
        if (d < 0) {
            break;
        }
        if (kept == 0 && d == 0) {
            continue; // leading zero
        }
        if (kept < 16) {
            mantissa = mantissa << 4 | static_cast<std::uint64_t>(d);
            ++kept;
        } else {
            sticky = sticky || d != 0;
            if (dropped < 100000) {
                ++dropped;
            }
        }
    }
    if (sticky) {
        mantissa |= 1; // below the double's rounding point once 16 digits are kept
    }
    return std::ldexp(static_cast<double>(mantissa), static_cast<int>(4 * dropped));
}

} // namespace

double TextValue(std::string_view text) {
    std::string s;
    s.reserve(text.size());
    for (const char c : text) {
        if (c != ' ' && c != '\t' && c != '\n') {
            s += c;
        }
    }

    if (s.size() >= 2 && s[0] == '&' && (s[1] == 'h' || s[1] == 'H')) {
        return ReadHex(std::string_view(s).substr(2));
    }

    std::size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        ++i;
    }
    const std::size_t start = i;

    // Where the first significant digit stands relative to the point, so an
    // out-of-range result can be told apart as overflow or underflow.
    std::int64_t magnitude = 0;
    bool seenNonZero = false;
    std::size_t wholeDigits = 0;
    while (i < s.size() && IsDigit(s[i])) {
        seenNonZero = seenNonZero || s[i] != '0';
        if (seenNonZero && magnitude < 1000000) {
            ++magnitude;
        }
        ++wholeDigits;
        ++i;
    }
    if (wholeDigits == 0) {
        return 0.0; // "", "-", ".", ".5", letters: a number starts with a digit
    }
    // The point belongs to the number only with a digit behind it: "5." and
    // "1.e2" end at the point.
    if (i + 1 < s.size() && s[i] == '.' && IsDigit(s[i + 1])) {
        std::size_t j = i + 1;
        while (j < s.size() && IsDigit(s[j])) {
            if (!seenNonZero) {
                if (s[j] != '0') {
                    seenNonZero = true;
                } else if (magnitude > -1000000) {
                    --magnitude;
                }
            }
            ++j;
        }
        i = j;
    }
    std::int64_t exponent = 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        std::size_t j = i + 1;
        bool expNegative = false;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) {
            expNegative = s[j] == '-';
            ++j;
        }
        if (j < s.size() && IsDigit(s[j])) {
            while (j < s.size() && IsDigit(s[j])) {
                if (exponent < 1000000000) {
                    exponent = exponent * 10 + (s[j] - '0');
                }
                ++j;
            }
            if (expNegative) {
                exponent = -exponent;
            }
            i = j;
        }
        // An "e" without digits is not part of the number.
    }

    double value = 0.0;
    if (seenNonZero) {
        const char* first = s.data() + start;
        const char* last = s.data() + i;
        const auto [ptr, ec] = std::from_chars(first, last, value, std::chars_format::general);
        if (ec == std::errc::result_out_of_range) {
            value = magnitude + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
        } else if (ec != std::errc() || ptr != last) {
            value = 0.0;
        }
    }
    if (value == 0.0) {
        return 0.0; // no negative zero
    }
    return negative ? -value : value;
}

std::string DecimalText(double value) {
    return FixedShortest(value);
}
std::string DecimalText(float value) {
    return FixedShortest(value);
}

std::string PhaseDegreesText(double phase) {
    double degrees = phase * 180.0 / 255.0;
    std::string text = "0.0";
    if (std::isfinite(degrees)) {
        char buffer[400];
        auto [end, error] =
            std::to_chars(buffer, buffer + sizeof buffer, degrees, std::chars_format::fixed, 1);
        if (error == std::errc{}) {
            text.assign(buffer, end);
        }
    }
    // A value that rounds to zero shows no sign.
    if (!text.empty() && text.front() == '-' && IsAllZeroNumber(text)) {
        text.erase(0, 1);
    }
    return text + DegreeSign;
}

} // namespace morlix
