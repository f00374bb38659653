#include "text_value.h"

#include "decimal_number.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

namespace morlix {

namespace {

constexpr const char* DegreeSign = "\xC2\xB0";

// Significant digits of a decimal number read exactly; NearestDouble takes any beyond as a
// sticky "more nonzero digits".
constexpr std::size_t KeptDigits = 800;

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
    const DecimalDigits shortest = ShortestDigits(value);
    const std::string& digits = shortest.digits;
    const std::int64_t point = shortest.point; // digits before the decimal point
    const auto count = static_cast<std::int64_t>(digits.size());
    std::string out = std::signbit(value) ? "-" : "";
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

    // The significant digits, the first KeptDigits of them exactly and the rest only as
    // "more" (see NearestDouble), and where the point stands: 0.<digits> x 10^point.
    std::string digits;
    bool more = false;
    std::int64_t point = 0;
    const auto take = [&](char c) {
        if (digits.size() < KeptDigits) {
            digits += c;
        } else {
            more = more || c != '0';
        }
    };
    std::size_t wholeDigits = 0;
    while (i < s.size() && IsDigit(s[i])) {
        if (!digits.empty() || s[i] != '0') {
            take(s[i]);
            ++point;
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
        ++i;
        for (; i < s.size() && IsDigit(s[i]); ++i) {
            if (digits.empty() && s[i] == '0') {
                --point;
            } else {
                take(s[i]);
            }
        }
    }
    std::int64_t exponent = 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        std::size_t j = i + 1;
        bool expNegative = false;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) {
            expNegative = s[j] == '-';
            ++j;
        }
        // Saturated far beyond any text's length, so point + exponent cannot overflow.
        for (; j < s.size() && IsDigit(s[j]); ++j) {
            if (exponent < 100000000000000000) {
                exponent = exponent * 10 + (s[j] - '0');
            }
        }
        // An "e" without digits is not part of the number.
        if (expNegative) {
            exponent = -exponent;
        }
    }

    const double value = NearestDouble(digits, point + exponent, more);
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
        text = std::signbit(degrees) ? "-" : "";
        text += FixedDigits(degrees, 1);
    }
    // A value that rounds to zero shows no sign.
    if (!text.empty() && text.front() == '-' && IsAllZeroNumber(text)) {
        text.erase(0, 1);
    }
    return text + DegreeSign;
}

} // namespace morlix
