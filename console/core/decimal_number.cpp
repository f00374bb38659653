#include "decimal_number.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace morlix {

namespace {

// Digits beyond these only say "more": every value at which rounding to a double changes (a
// midpoint between two neighbours, subnormal ones included) has at most 767 significant digits,
// so no such value lies strictly between the kept digits and the next step of the last one.
constexpr std::size_t KeptDigits = 800;

// Outside these places of the point every value is out of range: 10^309 is above the largest
// double (and float), 10^-330 below half the smallest subnormal.
constexpr std::int64_t HighestPoint = 310;
constexpr std::int64_t LowestPoint = -330;

// Nonnegative integer, little-endian 32-bit limbs, no leading zero limb.
class BigNumber {
public:
    explicit BigNumber(std::uint64_t value = 0) {
        while (value != 0) {
            limbs_.push_back(static_cast<std::uint32_t>(value));
            value >>= 32;
        }
    }

    bool IsZero() const { return limbs_.empty(); }

    void MultiplyAdd(std::uint32_t factor, std::uint32_t addend = 0) {
        std::uint64_t carry = addend;
        for (std::uint32_t& limb : limbs_) {
            const std::uint64_t product = static_cast<std::uint64_t>(limb) * factor + carry;
            limb = static_cast<std::uint32_t>(product);
            carry = product >> 32;
        }
        if (carry != 0) {
            limbs_.push_back(static_cast<std::uint32_t>(carry));
        }
        Trim();
    }

    // Times base^count, base^chunk being the largest power that fits a limb.
    void MultiplyPower(std::uint32_t base, std::uint32_t chunkPower, int chunk,
                       std::int64_t count) {
        for (; count >= chunk; count -= chunk) {
            MultiplyAdd(chunkPower);
        }
        for (; count > 0; --count) {
            MultiplyAdd(base);
        }
    }
    void MultiplyPow10(std::int64_t count) { MultiplyPower(10, 1000000000u, 9, count); }
    void MultiplyPow5(std::int64_t count) { MultiplyPower(5, 1220703125u, 13, count); }

    void ShiftLeft(std::int64_t bits) {
        if (IsZero() || bits <= 0) {
            return;
        }
        const std::size_t whole = static_cast<std::size_t>(bits / 32);
        const int part = static_cast<int>(bits % 32);
        if (part != 0) {
            std::uint32_t carry = 0;
            for (std::uint32_t& limb : limbs_) {
                const std::uint32_t next = limb >> (32 - part);
                limb = limb << part | carry;
                carry = next;
            }
            if (carry != 0) {
                limbs_.push_back(carry);
            }
        }
        limbs_.insert(limbs_.begin(), whole, 0u);
    }

    std::int64_t BitLength() const {
        if (IsZero()) {
            return 0;
        }
        return static_cast<std::int64_t>(limbs_.size() - 1) * 32 + std::bit_width(limbs_.back());
    }

    friend int Compare(const BigNumber& a, const BigNumber& b) {
        if (a.limbs_.size() != b.limbs_.size()) {
            return a.limbs_.size() < b.limbs_.size() ? -1 : 1;
        }
        for (std::size_t i = a.limbs_.size(); i-- > 0;) {
            if (a.limbs_[i] != b.limbs_[i]) {
                return a.limbs_[i] < b.limbs_[i] ? -1 : 1;
            }
        }
        return 0;
    }

    // this -= other, other <= this.
    void Subtract(const BigNumber& other) {
        std::int64_t borrow = 0;
        for (std::size_t i = 0; i < limbs_.size(); ++i) {
            std::int64_t d = static_cast<std::int64_t>(limbs_[i]) - borrow -
                             (i < other.limbs_.size() ? other.limbs_[i] : 0);
            borrow = d < 0 ? 1 : 0;
            limbs_[i] = static_cast<std::uint32_t>(d + (borrow << 32));
        }
        Trim();
    }

    // this /= divisor; the remainder.
    std::uint32_t DivideSmall(std::uint32_t divisor) {
        std::uint64_t rest = 0;
        for (std::size_t i = limbs_.size(); i-- > 0;) {
            const std::uint64_t current = rest << 32 | limbs_[i];
            limbs_[i] = static_cast<std::uint32_t>(current / divisor);
            rest = current % divisor;
        }
        Trim();
        return static_cast<std::uint32_t>(rest);
    }

private:
    void Trim() {
        while (!limbs_.empty() && limbs_.back() == 0) {
            limbs_.pop_back();
        }
    }

    std::vector<std::uint32_t> limbs_;
};

std::string DecimalOf(BigNumber number) {
    std::string reversed;
    while (!number.IsZero()) {
        std::uint32_t chunk = number.DivideSmall(1000000000u);
        for (int k = 0; k < 9; ++k) {
            reversed += static_cast<char>('0' + chunk % 10);
            chunk /= 10;
        }
    }
    while (!reversed.empty() && reversed.back() == '0') {
        reversed.pop_back(); // the leading chunk's padding
    }
    return std::string(reversed.rbegin(), reversed.rend());
}

std::string DecimalOf(std::uint64_t number) {
    std::string reversed;
    for (; number != 0; number /= 10) {
        reversed += static_cast<char>('0' + number % 10);
    }
    return std::string(reversed.rbegin(), reversed.rend());
}

template <class T>
struct Format;
template <>
struct Format<double> {
    using Bits = std::uint64_t;
    static constexpr int Precision = 53; // significand bits, the leading one included
    static constexpr int MinExponent = -1022;
    static constexpr int MaxExponent = 1023;
};
template <>
struct Format<float> {
    using Bits = std::uint32_t;
    static constexpr int Precision = 24;
    static constexpr int MinExponent = -126;
    static constexpr int MaxExponent = 127;
};

// The T nearest to (top + a little if sticky) x 2^scale, top nonzero: rounded once, to even.
template <class T>
T Rounded(std::uint64_t top, std::int64_t scale, bool sticky) {
    using F = Format<T>;
    const int lead = std::countl_zero(top);
    top <<= lead;
    const std::int64_t exponent = scale - lead + 63; // of the leading one
    if (exponent > F::MaxExponent) {
        return std::numeric_limits<T>::infinity();
    }
    const std::int64_t kept =
        exponent >= F::MinExponent ? F::Precision : F::Precision - (F::MinExponent - exponent);
    if (kept < 0) {
        return T(0); // below half the smallest subnormal
    }
    const int dropped = static_cast<int>(64 - kept);
    std::uint64_t significand = dropped == 64 ? 0 : top >> dropped;
    const std::uint64_t rest = dropped == 64 ? top : top & ((std::uint64_t{1} << dropped) - 1);
    const std::uint64_t half = std::uint64_t{1} << (dropped - 1);
    if (rest > half || (rest == half && (sticky || (significand & 1) != 0))) {
        ++significand; // a carry out of the significand moves into the exponent field
    }
    std::uint64_t bits = significand; // a subnormal; its carry makes the smallest normal
    if (exponent >= F::MinExponent) {
        const auto biased = static_cast<std::uint64_t>(exponent - F::MinExponent); // one below
        bits = (biased << (F::Precision - 1)) + significand;
    }
    return std::bit_cast<T>(static_cast<typename F::Bits>(bits));
}

template <class T>
T Nearest(std::string_view digits, std::int64_t point, bool more) {
    if (digits.size() > KeptDigits) {
        for (char c : digits.substr(KeptDigits)) {
            more = more || c != '0';
        }
        digits = digits.substr(0, KeptDigits);
    }
    while (!digits.empty() && digits.back() == '0') {
        digits.remove_suffix(1);
    }
    if (digits.empty()) {
        return T(0);
    }
    if (point > HighestPoint) {
        return std::numeric_limits<T>::infinity();
    }
    if (point < LowestPoint) {
        return T(0);
    }
    // The value is D x 10^exponent, D the digits as an integer.
    const std::int64_t exponent = point - static_cast<std::int64_t>(digits.size());

    if (digits.size() <= 19 && exponent >= 0) {
        std::uint64_t whole = 0;
        for (char c : digits) {
            whole = whole * 10 + static_cast<std::uint64_t>(c - '0');
        }
        bool fits = true;
        for (std::int64_t k = 0; k < exponent && fits; ++k) {
            fits = whole <= std::numeric_limits<std::uint64_t>::max() / 10;
            whole *= 10;
        }
        if (fits) {
            return Rounded<T>(whole, 0, more);
        }
    }

    BigNumber numerator;
    for (std::size_t i = 0; i < digits.size(); i += 9) {
        std::uint32_t chunk = 0;
        std::uint32_t scale = 1;
        for (std::size_t k = i; k < digits.size() && k < i + 9; ++k) {
            chunk = chunk * 10 + static_cast<std::uint32_t>(digits[k] - '0');
            scale *= 10;
        }
        numerator.MultiplyAdd(scale, chunk);
    }
    BigNumber denominator(1);
    if (exponent >= 0) {
        numerator.MultiplyPow10(exponent);
    } else {
        denominator.MultiplyPow10(-exponent);
    }
    // Scale the two to a quotient in [1, 2), then take 64 bits of it; the remainder is sticky.
    std::int64_t shift = denominator.BitLength() - numerator.BitLength();
    numerator.ShiftLeft(shift);
    denominator.ShiftLeft(-shift);
    if (Compare(numerator, denominator) < 0) {
        numerator.ShiftLeft(1);
        ++shift;
    }
    std::uint64_t quotient = 0;
    for (int bit = 0; bit < 64; ++bit) {
        quotient <<= 1;
        if (Compare(numerator, denominator) >= 0) {
            numerator.Subtract(denominator);
            quotient |= 1;
        }
        numerator.ShiftLeft(1);
    }
    return Rounded<T>(quotient, -63 - shift, more || !numerator.IsZero());
}

// |value| as significand x 2^exponent, the significand with its leading one where there is one.
struct Parts {
    std::uint64_t significand = 0;
    std::int64_t exponent = 0;
    bool lowerGapNarrower = false; // a power of two above the least normal: half the gap below
};

template <class T>
Parts PartsOf(T value) {
    using F = Format<T>;
    const auto bits = static_cast<std::uint64_t>(std::bit_cast<typename F::Bits>(value));
    constexpr int FractionBits = F::Precision - 1;
    const auto field = static_cast<std::int64_t>(bits >> FractionBits & (F::MaxExponent * 2 + 1));
    Parts parts;
    parts.significand = bits & ((std::uint64_t{1} << FractionBits) - 1);
    parts.exponent = F::MinExponent - FractionBits; // a subnormal's
    if (field == F::MaxExponent * 2 + 1) {
        parts.significand = 0; // not finite
    } else if (field != 0) {
        parts.lowerGapNarrower = parts.significand == 0 && field > 1;
        parts.significand |= std::uint64_t{1} << FractionBits;
        parts.exponent = field - 1 + F::MinExponent - FractionBits;
    }
    return parts;
}

// The exact decimal value of significand x 2^exponent.
DecimalDigits ExactOf(std::uint64_t significand, std::int64_t exponent) {
    if (significand == 0) {
        return {};
    }
    const int zeros = std::countr_zero(significand);
    significand >>= zeros;
    exponent += zeros;

    DecimalDigits out;
    if (exponent >= 0 && std::bit_width(significand) + exponent <= 64) {
        out.digits = DecimalOf(significand << exponent);
        out.point = static_cast<std::int64_t>(out.digits.size());
    } else {
        BigNumber number(significand);
        if (exponent >= 0) {
            number.ShiftLeft(exponent);
        } else {
            number.MultiplyPow5(-exponent); // m x 2^-k = m x 5^k x 10^-k
        }
        out.digits = DecimalOf(number);
        const auto length = static_cast<std::int64_t>(out.digits.size());
        out.point = exponent >= 0 ? length : length + exponent;
    }
    while (out.digits.back() == '0') {
        out.digits.pop_back();
    }
    return out;
}

// Order of two positive decimal numbers.
int Compare(const DecimalDigits& a, const DecimalDigits& b) {
    if (a.point != b.point) {
        return a.point < b.point ? -1 : 1;
    }
    const int order = a.digits.compare(b.digits);
    return order < 0 ? -1 : order > 0 ? 1 : 0;
}

bool LastDigitEven(const std::string& digits) {
    return (digits.back() - '0') % 2 == 0;
}

// digits + one unit in the last place; the point moves when 9s carry into a new digit.
DecimalDigits StepUp(std::string digits, std::int64_t point) {
    std::size_t i = digits.size();
    while (i > 0 && digits[i - 1] == '9') {
        digits.pop_back();
        --i;
    }
    if (i == 0) {
        return {"1", point + 1};
    }
    ++digits[i - 1];
    return {digits, point};
}

template <class T>
DecimalDigits Shortest(T value) {
    const Parts parts = PartsOf(value);
    DecimalDigits exact = ExactOf(parts.significand, parts.exponent);
    const std::int64_t count = static_cast<std::int64_t>(exact.digits.size());
    // Below 2^Precision an integer's neighbours are at most 1 away: only its own digits read
    // back as it.
    if (count <= 1 || (exact.point >= count && parts.exponent <= 0)) {
        return exact;
    }
    // What reads back as the value: halfway to each neighbour, the halfway points themselves
    // when the value's significand is even (reading rounds ties to even).
    const std::uint64_t m = parts.significand;
    const DecimalDigits low = parts.lowerGapNarrower ? ExactOf(4 * m - 1, parts.exponent - 2)
                                                     : ExactOf(2 * m - 1, parts.exponent - 1);
    const DecimalDigits high = ExactOf(2 * m + 1, parts.exponent - 1);
    const bool ends = m % 2 == 0;
    const auto readsBack = [&](const DecimalDigits& d) {
        const int fromLow = Compare(d, low);
        const int toHigh = Compare(d, high);
        return (fromLow > 0 || (ends && fromLow == 0)) && (toHigh < 0 || (ends && toHigh == 0));
    };
    for (std::int64_t n = 1; n < count; ++n) {
        DecimalDigits down{exact.digits.substr(0, static_cast<std::size_t>(n)), exact.point};
        DecimalDigits up = StepUp(down.digits, exact.point);
        const bool downEven = LastDigitEven(down.digits);
        while (down.digits.back() == '0') {
            down.digits.pop_back();
        }
        const bool downReads = readsBack(down);
        const bool upReads = readsBack(up);
        if (downReads && upReads) {
            // The nearer one; the value is never exactly between two that both read back.
            const char next = exact.digits[static_cast<std::size_t>(n)];
            const bool upNearer = next > '5' || (next == '5' && (n + 1 < count || !downEven));
            return upNearer ? up : down;
        }
        if (downReads) {
            return down;
        }
        if (upReads) {
            return up;
        }
    }
    return exact;
}

} // namespace

double NearestDouble(std::string_view digits, std::int64_t point, bool more) {
    return Nearest<double>(digits, point, more);
}

float NearestFloat(std::string_view digits, std::int64_t point, bool more) {
    return Nearest<float>(digits, point, more);
}

DecimalDigits ExactDigits(double value) {
    const Parts parts = PartsOf(value);
    return ExactOf(parts.significand, parts.exponent);
}

DecimalDigits ShortestDigits(double value) {
    return Shortest(value);
}

DecimalDigits ShortestDigits(float value) {
    return Shortest(value);
}

std::string FixedDigits(double value, int decimals) {
    const DecimalDigits exact = ExactDigits(value);
    // The places kept: the whole digits and `decimals` after the point.
    const std::int64_t kept = exact.point + decimals;
    const auto count = static_cast<std::int64_t>(exact.digits.size());
    std::string rounded; // the kept digits of the rounded value, as an integer
    if (!exact.digits.empty() && kept >= 0) {
        const std::size_t take = static_cast<std::size_t>(kept < count ? kept : count);
        rounded = exact.digits.substr(0, take);
        rounded.append(static_cast<std::size_t>(kept) - take, '0');
        if (kept < count) {
            const char next = exact.digits[static_cast<std::size_t>(kept)];
            const bool lastOdd = !rounded.empty() && !LastDigitEven(rounded);
            if (next > '5' || (next == '5' && (kept + 1 < count || lastOdd))) {
                const DecimalDigits up = StepUp(rounded, 0);
                rounded = up.digits;
                rounded.append(static_cast<std::size_t>(kept) + static_cast<std::size_t>(up.point) -
                                   rounded.size(),
                               '0');
            }
        }
    }
    const auto places = static_cast<std::size_t>(decimals);
    if (rounded.size() <= places) {
        rounded.insert(0, places + 1 - rounded.size(), '0');
    }
    if (places > 0) {
        rounded.insert(rounded.size() - places, 1, '.');
    }
    return rounded;
}

} // namespace morlix
