// The console's one rule for reading a number out of text: entry boxes,
// busy tags and stored settings all go through TextValue; and the rules
// for writing the numbers it shows and stores.
#pragma once

#include <string>
#include <string_view>

namespace morlix {

// Blanks, tabs and line feeds are dropped wherever they stand; then the
// longest leading number is read: [+-]digits[.digits][(E|e)[+-]digits], or
// &h/&H followed by hexadecimal digits. A number starts with a digit and a
// point counts only with a digit after it. Text without a number reads 0.
// The decimal point is always '.'. A number too large for a double reads
// as +/-infinity, one too small as 0; the result is never NaN or -0.
double TextValue(std::string_view text);

// Plain decimal text of a number, shortest form that reads back exactly,
// never with an exponent and never "-0".
std::string DecimalText(double value);
std::string DecimalText(float value);

// Phase 0..255 as degrees, "#0.0°" with '.' whatever the locale.
std::string PhaseDegreesText(double phase);

} // namespace morlix
