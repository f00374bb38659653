// Exact conversions between decimal digits and binary floating point, for the number text the
// console reads and writes: correctly rounded reading of any number of digits, the exact decimal
// value of a double, and the fewest digits that read back. Integer arithmetic only, so that the
// results are the same on every target and whatever the floating-point unit's precision.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace morlix {

// A nonnegative decimal number: 0.<digits> x 10^point. The first digit is not '0' and the last
// is not '0'; no digits at all is zero.
struct DecimalDigits {
    std::string digits;
    std::int64_t point = 0;
};

// The double (float) nearest to 0.<digits> x 10^point, ties to even; `more` says that nonzero
// digits follow the given ones. digits holds '0'..'9' only and does not start with '0' (empty
// reads 0). A value above the largest finite one after rounding reads as infinity, one that
// rounds below the smallest subnormal as 0.
double NearestDouble(std::string_view digits, std::int64_t point, bool more = false);
float NearestFloat(std::string_view digits, std::int64_t point, bool more = false);

// The exact decimal value of |value| (finite).
DecimalDigits ExactDigits(double value);

// The fewest significant digits that read back as |value| (finite), in the type given; of two
// such the one nearer to the value.
DecimalDigits ShortestDigits(double value);
DecimalDigits ShortestDigits(float value);

// |value| (finite) rounded to `decimals` places after the point, ties to even, written in plain
// decimal with exactly that many places ("0.0" for decimals 1 and a value below 0.05).
std::string FixedDigits(double value, int decimals);

} // namespace morlix
