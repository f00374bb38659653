// The main window's layout as data: every front end builds its window from
// this one table, so captions, positions and tab order cannot drift apart.
#pragma once

#include <cstdint>
#include <span>

namespace morlix {

// Controls of formMain, named as the handlers name them. The enumerators
// follow the tab order; FormWindow stands for the window itself as a parent.
enum class ControlId {
    cmdReset,
    cmdStandby,
    cmdMin,
    cmdMedium,
    cmdMax,
    txtAmpX,
    lblSerNum,
    Frame1,
    Frame3,
    lblAmpX,
    Frame4,
    Frame5,
    txtAmpY,
    lblAmpY,
    Frame6,
    TxtPhase,
    lblPhase,
    chkOnTop,
    cmdTriple,
    tmrSN,
    FormWindow,
};

inline constexpr int ControlCount = static_cast<int>(ControlId::FormWindow);

enum class ControlKind { CommandButton, TextBox, Label, Frame, CheckBox, Timer };

enum class TextAlign { Left, Center };

// A colour as the window system stores it: red in the low byte, then green,
// then blue (COLORREF order).
using Color = std::uint32_t;

constexpr Color Rgb(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    return static_cast<Color>(r) | static_cast<Color>(g) << 8 | static_cast<Color>(b) << 16;
}

inline constexpr Color ColorBlack = Rgb(0, 0, 0);
inline constexpr Color ColorRed = Rgb(255, 0, 0);

struct FontSpec {
    const char* face = nullptr; // nullptr: the window's default font
    double points = 0;
    bool bold = false;
};

struct ControlLayout {
    ControlId id;
    const char* name;
    ControlKind kind;
    ControlId parent;
    const char* text;             // caption or initial text; nullptr for the timer
    int left, top, width, height; // twips, relative to the parent's client area
    int tabIndex;                 // -1: no tab stop of its own
    bool hasBackColor;
    Color backColor;
    bool hasForeColor;
    Color foreColor;
    bool graphical; // button shows its background colour
    FontSpec font;
    const char* toolTip; // nullptr: none
    int maxLength;       // 0: no limit
    TextAlign align;
    int checkValue; // check box only
    int intervalMs; // timer only
};

struct WindowLayout {
    const char* caption;
    int clientWidth;  // twips
    int clientHeight; // twips
    ControlId initialFocus;
    std::span<const ControlLayout> controls; // in tab-index order
};

const WindowLayout& MainWindowLayout();

// The entry of one control; every ControlId except FormWindow has one.
const ControlLayout& LayoutOf(ControlId id);

const char* ControlName(ControlId id);

// Whether the control can hold the focus (buttons, text boxes, check boxes).
bool TakesFocus(ControlKind kind);

inline constexpr int TwipsPerInch = 1440;

struct TwipsRect {
    int left, top, width, height;
    bool operator==(const TwipsRect&) const = default;
};

// A control's bounds relative to the window's client area. Frames place
// their children relative to their own top-left corner, so a nested
// control's offset is the sum along its chain of parents.
TwipsRect WindowBounds(ControlId id);

} // namespace morlix
