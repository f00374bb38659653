// The small conversions between FLTK's events and what the form's handlers
// expect: Windows virtual-key codes, the shift state, and twips. Kept apart
// from the window so they are checked without a display.
#pragma once

#include <cstdint>

namespace morlix {

// The virtual-key code of an FLTK key (Fl::event_key()), or 0 for a key
// the console has no code for. Letters map to their capital, as on Windows.
std::int16_t VirtualKeyOf(int fltkKey);

// ShiftMask / CtrlMask / AltMask from FLTK's event state bits.
std::int16_t ShiftStateOf(int fltkState);

// A screen's dpi as reported, or 96 when the report is missing or absurd
// (virtual displays often report nonsense).
float UsableDpi(float reported);

// Twips are 1/1440 inch. Rounded to the nearest pixel, held within int.
int TwipsToPixels(double twips, float dpi);
float PixelsToTwips(int pixels, float dpi);

// Pixel size of a font given in points (8.25 pt is 11 pixels at 96 dpi).
int FontPixels(double points, float dpi);

} // namespace morlix
