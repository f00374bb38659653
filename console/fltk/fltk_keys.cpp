#include "fltk_keys.h"

#include "window.h"

#include <FL/Enumerations.H>

#include <cmath>
#include <limits>

namespace morlix {

namespace {

constexpr float DefaultDpi = 96.0f;

int RoundToInt(double value) {
    if (!(value == value)) {
        return 0;
    }
    if (value >= static_cast<double>(std::numeric_limits<int>::max())) {
        return std::numeric_limits<int>::max();
    }
    if (value <= static_cast<double>(std::numeric_limits<int>::min())) {
        return std::numeric_limits<int>::min();
    }
    return static_cast<int>(std::lround(value));
}

} // namespace

std::int16_t VirtualKeyOf(int fltkKey) {
    if (fltkKey >= FL_F + 1 && fltkKey <= FL_F + 24) {
        return static_cast<std::int16_t>(KeyF1 + (fltkKey - FL_F - 1));
    }
    if (fltkKey >= 'a' && fltkKey <= 'z') {
        return static_cast<std::int16_t>(fltkKey - 'a' + 'A');
    }
    if (fltkKey >= '0' && fltkKey <= '9') {
        return static_cast<std::int16_t>(fltkKey);
    }
    if (fltkKey >= FL_KP + '0' && fltkKey <= FL_KP + '9') {
        return static_cast<std::int16_t>(96 + (fltkKey - FL_KP - '0')); // VK_NUMPAD0..9
    }
    switch (fltkKey) {
    case FL_Escape:
        return KeyEscape;
    case FL_Page_Up:
        return KeyPageUp;
    case FL_Page_Down:
        return KeyPageDown;
    case FL_End:
        return KeyEnd;
    case FL_Home:
        return KeyHome;
    case FL_Left:
        return KeyArrowLeft;
    case FL_Up:
        return KeyArrowUp;
    case FL_Right:
        return KeyArrowRight;
    case FL_Down:
        return KeyArrowDown;
    case FL_BackSpace:
        return 8;
    case FL_Tab:
        return 9;
    case FL_Enter:
    case FL_KP_Enter:
        return 13;
    case ' ':
        return 32;
    case FL_Insert:
        return 45;
    case FL_Delete:
        return 46;
    case FL_Shift_L:
    case FL_Shift_R:
        return 16;
    case FL_Control_L:
    case FL_Control_R:
        return 17;
    case FL_Alt_L:
    case FL_Alt_R:
        return 18;
    default:
        return 0;
    }
}

std::int16_t ShiftStateOf(int fltkState) {
    std::int16_t shift = 0;
    if (fltkState & FL_SHIFT) {
        shift |= ShiftMask;
    }
    if (fltkState & FL_CTRL) {
        shift |= CtrlMask;
    }
    if (fltkState & FL_ALT) {
        shift |= AltMask;
    }
    return shift;
}

float UsableDpi(float reported) {
    // Below 48 or above 480 no real screen is meant.
    if (!(reported >= 48.0f && reported <= 480.0f)) {
        return DefaultDpi;
    }
    // Whole dots per inch, as the window system's logical dpi is.
    return std::round(reported);
}

int TwipsToPixels(double twips, float dpi) {
    return RoundToInt(twips * static_cast<double>(UsableDpi(dpi)) / TwipsPerInch);
}

float PixelsToTwips(int pixels, float dpi) {
    return static_cast<float>(static_cast<double>(pixels) * TwipsPerInch /
                              static_cast<double>(UsableDpi(dpi)));
}

int FontPixels(double points, float dpi) {
    return RoundToInt(points * static_cast<double>(UsableDpi(dpi)) / 72.0);
}

} // namespace morlix
