#include "text_value.h"

#include <charconv>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <system_error>
#include <type_traits>

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

// "d.ddde+xx" (or "-d.ddde+xx") with the digits one unit of the last place further from
// zero, in the same form; false if it does not fit.
bool NextDigitsUp(std::string_view text, char* out, std::size_t outSize) {
    const std::size_t e = text.find('e');
    if (e == std::string_view::npos || text.empty()) {
        return false;
    }
    const bool negative = text[0] == '-';
    std::string digits;
    for (char c : text.substr(negative ? 1 : 0, e - (negative ? 1 : 0))) {
        if (c != '.') {
            digits += c;
        }
    }
    std::string_view exponentText = text.substr(e + 1);
    if (!exponentText.empty() && exponentText.front() == '+') {
        exponentText.remove_prefix(1);
    }
    int exponent = 0;
    const auto parsed =
        std::from_chars(exponentText.data(), exponentText.data() + exponentText.size(), exponent);
    if (parsed.ec != std::errc{}) {
        return false;
    }
    std::size_t i = digits.size();
    while (i > 0 && digits[i - 1] == '9') {
        digits[--i] = '0';
    }
    if (i == 0) {
        digits.insert(digits.begin(), '1');
        digits.pop_back();
        ++exponent;
    } else {
        ++digits[i - 1];
    }
    const std::string mantissa =
        digits.size() == 1 ? digits : digits.substr(0, 1) + "." + digits.substr(1);
    const int length =
        std::snprintf(out, outSize, "%s%se%+03d", negative ? "-" : "", mantissa.c_str(), exponent);
    return length > 0 && static_cast<std::size_t>(length) < outSize;
}

// The shortest digits that read back as the same value, written out in
// plain decimal: readers of the stored text need not know exponents.
template <class T>
std::string FixedShortest(T value) {
    if (!std::isfinite(value) || value == 0) {
        return "0";
    }
    // The fewest significant digits that read back as the value, the nearest such digits where
    // there is a choice: printf's correctly rounded digits or, just below a power of two (where
    // the values that read back reach further up than down), the next digits up.
    // (printf and strtod rather than the floating-point to_chars: the latter's tables would
    // be most of the Windows program's size.)
    const auto readsBack = [value](const char* text) {
        return value == (std::is_same_v<T, float> ? static_cast<T>(std::strtof(text, nullptr))
                                                  : static_cast<T>(std::strtod(text, nullptr)));
    };
    char buffer[64];
    int length = 0;
    for (int precision = 0; precision <= std::numeric_limits<T>::max_digits10; ++precision) {
        length =
            std::snprintf(buffer, sizeof buffer, "%.*e", precision, static_cast<double>(value));
        if (length <= 0 || length >= static_cast<int>(sizeof buffer)) {
            return "0";
        }
        if (readsBack(buffer)) {
            break;
        }
        char up[64];
        if (NextDigitsUp(std::string_view(buffer, static_cast<std::size_t>(length)), up,
                         sizeof up) &&
            readsBack(up)) {
            std::memcpy(buffer, up, sizeof up);
            length = static_cast<int>(std::string_view(buffer).size());
            break;
        }
    }
    std::string_view text(buffer, static_cast<std::size_t>(length));
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
        // strtod on a copy that ends where the number does (the floating-point from_chars
        // would add its own tables to the Windows program). Too large reads as infinity,
        // too small as zero; a result below the normal range that is not zero stands.
        const std::string number(first, last);
        char* end = nullptr;
        errno = 0;
        value = std::strtod(number.c_str(), &end);
        if (end != number.c_str() + number.size()) {
            value = 0.0;
        } else if (errno == ERANGE && (std::isinf(value) || value == 0.0)) {
            value = magnitude + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
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
        const int length = std::snprintf(buffer, sizeof buffer, "%.1f", degrees);
        if (length > 0 && length < static_cast<int>(sizeof buffer)) {
            text.assign(buffer, static_cast<std::size_t>(length));
        }
    }
    // A value that rounds to zero shows no sign.
    if (!text.empty() && text.front() == '-' && IsAllZeroNumber(text)) {
        text.erase(0, 1);
    }
    return text + DegreeSign;
}

} // namespace morlix
