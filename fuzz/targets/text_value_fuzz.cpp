// TextValue over any bytes: never NaN, never -0; and the decimal text the console writes of a
// number reads back as that very number.
#include "text_value.h"

#include "fuzz_check.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>

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
    return 0;
}
