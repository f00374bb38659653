// What the main window's handlers need of a window, whichever front end
// draws it (Win32, FLTK, headless). The handlers see controls only through
// these calls, so they run unchanged in tests.
#pragma once

#include "layout.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace morlix {

// Virtual-key codes the handlers look at.
inline constexpr std::int16_t KeyEscape = 27;
inline constexpr std::int16_t KeyPageUp = 33;
inline constexpr std::int16_t KeyPageDown = 34;
inline constexpr std::int16_t KeyEnd = 35;
inline constexpr std::int16_t KeyHome = 36;
inline constexpr std::int16_t KeyArrowLeft = 37;
inline constexpr std::int16_t KeyArrowUp = 38;
inline constexpr std::int16_t KeyArrowRight = 39;
inline constexpr std::int16_t KeyArrowDown = 40;
inline constexpr std::int16_t KeyF1 = 112;
inline constexpr std::int16_t KeyF2 = 113;
inline constexpr std::int16_t KeyF3 = 114;
inline constexpr std::int16_t KeyF4 = 115;
inline constexpr std::int16_t KeyF5 = 116;
inline constexpr std::int16_t KeyF6 = 117;
inline constexpr std::int16_t KeyF12 = 123;

// Shift state bits of a key event.
inline constexpr std::int16_t ShiftMask = 1;
inline constexpr std::int16_t CtrlMask = 2;
inline constexpr std::int16_t AltMask = 4;

// SetWindowPos values the window uses.
inline constexpr std::intptr_t HwndTopmost = -1;
inline constexpr std::intptr_t HwndBottom = 1;
inline constexpr std::uint32_t SwpNoSize = 1;
inline constexpr std::uint32_t SwpNoMove = 2;

inline constexpr int CheckUnchecked = 0;
inline constexpr int CheckChecked = 1;

// Events a window delivers to its form. Each runs to completion on the
// window's thread before the next one is delivered.
class FormEvents {
public:
    virtual ~FormEvents() = default;

    virtual void Load() = 0;
    virtual void Unload() = 0;
    // The text of a box changed (typing, pasting, or a program write).
    virtual void Change(ControlId box) = 0;
    // A button was clicked, or a check box's value changed.
    virtual void Click(ControlId control) = 0;
    // Form-level preview of every key, before the focused control sees it.
    virtual void FormKeyDown(std::int16_t keyCode, std::int16_t shift) = 0;
    virtual void KeyDown(ControlId box, std::int16_t keyCode, std::int16_t shift) = 0;
    virtual void Timer(ControlId timer) = 0;
};

class Window {
public:
    virtual ~Window() = default;

    // Text boxes. A write of a text that differs from the current one runs
    // the box's change handling before it returns; an identical text runs
    // nothing. Program writes are not held to the operator's length limit.
    virtual std::string Text(ControlId box) const = 0;
    virtual void SetText(ControlId box, std::string_view text) = 0;

    // Free-form tag text of a control; the handlers keep their busy flags here.
    virtual std::string Tag(ControlId control) const = 0;
    virtual void SetTag(ControlId control, std::string_view text) = 0;

    // Labels.
    virtual std::string Caption(ControlId label) const = 0;
    virtual void SetCaption(ControlId label, std::string_view text) = 0;
    virtual Color ForeColor(ControlId label) const = 0;
    virtual void SetForeColor(ControlId label, Color color) = 0;

    // Check box. Setting a different value runs its click handling, as a
    // click by the operator would.
    virtual int CheckValue(ControlId box) const = 0;
    virtual void SetCheckValue(ControlId box, int value) = 0;

    virtual ControlId Focus() const = 0;
    virtual void SetFocus(ControlId control) = 0;

    // Outer geometry of the window and the primary screen's size, in twips.
    virtual float Top() const = 0;
    virtual float Left() const = 0;
    virtual float Width() const = 0;
    virtual float Height() const = 0;
    virtual void SetTop(float twips) = 0;
    virtual void SetLeft(float twips) = 0;
    virtual float ScreenWidth() const = 0;
    virtual float ScreenHeight() const = 0;

    // SetWindowPos on this window; the result is nonzero on success.
    virtual std::int32_t SetWindowPos(std::intptr_t insertAfter, int x, int y, int cx, int cy,
                                      std::uint32_t flags) = 0;

    // Whether another instance of the console is already running.
    virtual bool PrevInstance() const = 0;

    // Ends the program: the window is not shown (or goes away) and no more
    // events are delivered.
    virtual void End() = 0;
};

} // namespace morlix
