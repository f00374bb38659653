// TextValue over any bytes: never NaN, never -0; the decimal text the console writes of a
// number reads back as that very number; and the console's decimal reading gives what the C++
// library's from_chars gives, bit for bit.
#include "decimal_number.h"
#include "text_value.h"

#include "fuzz_check.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>

namespace {

// What the library reads of "0.<digits>e<exponent>": out of range is infinity above, 0 below.
template <class T>
T LibraryValue(const std::string& digits, int exponent) {
    const std::string text = "0." + digits + "e" + std::to_string(exponent);
    T value = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    FUZZ_CHECK(ptr == text.data() + text.size());
    if (ec == std::errc::result_out_of_range) {
        return exponent > 0 ? std::numeric_limits<T>::infinity() : T(0);
    }
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const double value = morlix::TextValue(text);
    FUZZ_CHECK(!std::isnan(value));
    FUZZ_CHECK(!(value == 0 && std::signbit(value)));
    if (std::isfinite(value)) {
        const std::string written = morlix::DecimalText(value);
        FUZZ_CHECK(morlix::TextValue(written) == value);
    }
    if (size >= 8) {
        double any = 0;
        std::memcpy(&any, data, 8);
        if (std::isfinite(any)) {
            const double expected = any == 0 ? 0.0 : any;
            FUZZ_CHECK(morlix::TextValue(morlix::DecimalText(any)) == expected);
        }
        float single = 0;
        std::memcpy(&single, data, 4);
        if (std::isfinite(single)) {
            const double back = morlix::TextValue(morlix::DecimalText(single));
            FUZZ_CHECK(static_cast<float>(back) == (single == 0 ? 0.0f : single));
        }
    }
    if (size >= 3) {
        // The bytes after the first two as digits, the first two as an exponent.
        std::string digits(1, static_cast<char>('1' + data[2] % 9));
        for (std::size_t i = 3; i < size; ++i) {
            digits += static_cast<char>('0' + data[i] % 10);
        }
        const int exponent = (data[0] | data[1] << 8) % 800 - 400;
        const double mine = morlix::NearestDouble(digits, exponent);
        const double library = LibraryValue<double>(digits, exponent);
        FUZZ_CHECK(std::memcmp(&mine, &library, sizeof mine) == 0);
        FUZZ_CHECK(morlix::NearestFloat(digits, exponent) == LibraryValue<float>(digits, exponent));
    }
    return 0;
}
