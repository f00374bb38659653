#include "text_value.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <system_error>

namespace morlix {

namespace {

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

} // namespace morlix
