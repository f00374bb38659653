#include "layout.h"

#include <array>

namespace morlix {

namespace {

constexpr Color ButtonPink = Rgb(255, 192, 192);
constexpr Color ButtonYellow = Rgb(255, 255, 192);
constexpr Color PanelGreen = Rgb(192, 255, 192);
constexpr Color PanelCyan = Rgb(192, 255, 255);

constexpr FontSpec DefaultFont{};
constexpr FontSpec NarrowFont{"Arial Narrow", 8.25, false};
constexpr FontSpec FrameTitleFont{"MS Sans Serif", 9.75, true};

constexpr const char* AmpTip = "0 to 4095 (20Ap)";
constexpr const char* PhaseTip = "0 (-90\xC2\xB0) to 255 (+90\xC2\xB0)";

using enum ControlId;
using enum ControlKind;

constexpr ControlLayout Button(ControlId id, const char* name, const char* caption, int left,
                               int top, int width, int height, int tab, Color back,
                               FontSpec font = DefaultFont) {
    return {id,
            name,
            CommandButton,
            FormWindow,
            caption,
            left,
            top,
            width,
            height,
            tab,
            true,
            back,
            false,
            0,
            true,
            font,
            nullptr,
            0,
            TextAlign::Center,
            0,
            0};
}

constexpr ControlLayout Entry(ControlId id, const char* name, ControlId parent, const char* text,
                              int left, int top, int width, int height, int tab, const char* tip,
                              int maxLength) {
    return {id,
            name,
            TextBox,
            parent,
            text,
            left,
            top,
            width,
            height,
            tab,
            false,
            0,
            false,
            0,
            false,
            DefaultFont,
            tip,
            maxLength,
            TextAlign::Center,
            0,
            0};
}

constexpr ControlLayout Caption(ControlId id, const char* name, ControlId parent, const char* text,
                                int left, int top, int width, int height, int tab, Color back) {
    return {id,
            name,
            Label,
            parent,
            text,
            left,
            top,
            width,
            height,
            tab,
            true,
            back,
            false,
            0,
            false,
            DefaultFont,
            nullptr,
            0,
            TextAlign::Center,
            0,
            0};
}

constexpr ControlLayout Group(ControlId id, const char* name, ControlId parent, const char* text,
                              int left, int top, int width, int height, int tab, Color back,
                              FontSpec font = DefaultFont) {
    return {id,   name,  Frame, parent, text, left,    top, width,           height, tab, true,
            back, false, 0,     false,  font, nullptr, 0,   TextAlign::Left, 0,      0};
}

constexpr std::array<ControlLayout, ControlCount> Controls{{
    Button(cmdReset, "cmdReset", "Reset (Esc)", 4620, 105, 750, 540, 0, ButtonPink),
    Button(cmdStandby, "cmdStandby", "Standby (F1)", 5565, 105, 750, 750, 1, ButtonYellow),
    Button(cmdMin, "cmdMin", "Both Min (F2)", 6405, 105, 750, 750, 2, ButtonYellow),
    Button(cmdMedium, "cmdMedium", "Both Medium (F3)", 6405, 945, 750, 750, 3, ButtonYellow,
           NarrowFont),
    Button(cmdMax, "cmdMax", "Both Max (F4)", 5565, 945, 750, 750, 4, ButtonYellow, NarrowFont),
    Entry(txtAmpX, "txtAmpX", Frame3, "0", 105, 210, 750, 285, 5, AmpTip, 4),
    {lblSerNum,
     "lblSerNum",
     Label,
     FormWindow,
     "Looking for USB...",
     105,
     1575,
     1305,
     195,
     6,
     false,
     0,
     true,
     ColorRed,
     false,
     DefaultFont,
     nullptr,
     0,
     TextAlign::Left,
     0,
     0},
    Group(Frame1, "Frame1", FormWindow, "X-Axis", 105, 105, 1485, 1380, 7, PanelGreen,
          FrameTitleFont),
    Group(Frame3, "Frame3", Frame1, "Amplitude", 210, 315, 1065, 960, 8, PanelGreen),
    Caption(lblAmpX, "lblAmpX", Frame3, "??", 105, 550, 750, 225, 9, PanelGreen),
    Group(Frame4, "Frame4", FormWindow, "Y-Axis", 1785, 105, 2745, 1380, 10, PanelCyan,
          FrameTitleFont),
    Group(Frame5, "Frame5", Frame4, "Amplitude", 210, 315, 1065, 960, 11, PanelCyan),
    Entry(txtAmpY, "txtAmpY", Frame5, "0", 105, 210, 750, 285, 12, AmpTip, 4),
    Caption(lblAmpY, "lblAmpY", Frame5, "??", 105, 550, 750, 225, 13, PanelCyan),
    Group(Frame6, "Frame6", Frame4, "Phase", 1575, 315, 960, 960, 14, PanelCyan),
    Entry(TxtPhase, "TxtPhase", Frame6, "128", 105, 210, 645, 330, 15, PhaseTip, 3),
    Caption(lblPhase, "lblPhase", Frame6, "???", 210, 550, 435, 225, 16, PanelCyan),
    {chkOnTop,
     "chkOnTop",
     CheckBox,
     FormWindow,
     "Always on top",
     1890,
     1575,
     2640,
     225,
     17,
     false,
     0,
     false,
     0,
     false,
     DefaultFont,
     nullptr,
     0,
     TextAlign::Left,
     0,
     0},
    Button(cmdTriple, "cmdTriple", "Triple Record (F5)", 4725, 945, 750, 750, 18, ButtonYellow,
           NarrowFont),
    {tmrSN, "tmrSN",     Timer,   FormWindow, nullptr,         0, 0,   0, 0, -1, false, 0, false, 0,
     false, DefaultFont, nullptr, 0,          TextAlign::Left, 0, 1000},
}};

// The table is indexed by ControlId; a misplaced row would break LayoutOf.
consteval bool RowsInIdOrder() {
    for (int i = 0; i < ControlCount; ++i) {
        if (static_cast<int>(Controls[i].id) != i) {
            return false;
        }
    }
    return true;
}
static_assert(RowsInIdOrder());

constexpr WindowLayout Main{"Morlix Quadrature Driver", 7320, 1800, cmdReset, Controls};

} // namespace

const WindowLayout& MainWindowLayout() {
    return Main;
}

const ControlLayout& LayoutOf(ControlId id) {
    int index = static_cast<int>(id);
    if (index < 0 || index >= ControlCount) {
        index = 0;
    }
    return Controls[index];
}

const char* ControlName(ControlId id) {
    return id == FormWindow ? "formMain" : LayoutOf(id).name;
}

TwipsRect WindowBounds(ControlId id) {
    const ControlLayout& control = LayoutOf(id);
    TwipsRect bounds{control.left, control.top, control.width, control.height};
    // The chain is at most a few frames deep; the bound guards a bad table.
    ControlId parent = control.parent;
    for (int depth = 0; parent != FormWindow && depth < ControlCount; ++depth) {
        const ControlLayout& frame = LayoutOf(parent);
        bounds.left += frame.left;
        bounds.top += frame.top;
        parent = frame.parent;
    }
    return bounds;
}

bool TakesFocus(ControlKind kind) {
    return kind == CommandButton || kind == TextBox || kind == CheckBox;
}

} // namespace morlix
