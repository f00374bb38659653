// Small conversions at the boundary between the console core (UTF-8 text,
// twips) and the Win32 window (UTF-16 text, pixels).
#pragma once

#include <string>
#include <string_view>

namespace morlix {

// Invalid UTF-8 becomes U+FFFD rather than being dropped.
std::wstring Utf8ToWide(std::string_view text);
// Unpaired surrogates become U+FFFD.
std::string WideToUtf8(std::wstring_view text);

// Twips are 1/1440 inch; dpi is the screen's pixels per inch on that axis
// (a value below 1 counts as 96). Results are rounded to the nearest pixel
// and held within the range of int.
int TwipsToPixels(double twips, int dpi);
float PixelsToTwips(int pixels, int dpi);

// LOGFONT height for a point size: negative, so it is the character height.
int FontHeightPixels(double points, int dpi);

} // namespace morlix
