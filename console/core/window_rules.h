// What every front end's window keeps the same way, whatever draws it: the
// text a box last showed (so that only a real change runs the change
// handling, nested in the write that made it), the tags, captions and
// colours the handlers keep, the operator's length limit, the order in which
// a key reaches the handlers, and the tab order. The front ends keep only
// their widgets, messages and pixels.
#pragma once

#include "window.h"

#include <array>
#include <functional>
#include <string>
#include <string_view>

namespace morlix {

class WindowRules {
public:
    // live tells whether the window still takes events; once it ends, no
    // handler runs again.
    WindowRules(const WindowLayout& layout, std::function<bool()> live);

    // The form that receives the events; null for none.
    void Attach(FormEvents* form) { form_ = form; }
    FormEvents* Form() const { return form_; }

    static bool Valid(ControlId id);
    static bool IsTextBox(ControlId id);
    static bool Focusable(ControlId id);

    // A box's text as its change handling last saw it; a label's caption.
    const std::string& Text(ControlId control) const;
    // Records what the control shows now; true when that differs from what
    // was recorded before.
    bool Record(ControlId control, std::string_view text);
    // Runs a box's change handling (nothing for other controls).
    void Changed(ControlId box);
    // Record, then the change handling if the text differed.
    void TextShown(ControlId box, std::string_view text);

    // The operator's length limit of a box, in characters; 0 for none.
    // Program writes are never held to it.
    static int OperatorLimit(ControlId box);
    // How many characters the operator may still add to a box that keeps
    // kept characters of its text.
    static int OperatorRoom(ControlId box, int kept);

    const std::string& Tag(ControlId control) const;
    void SetTag(ControlId control, std::string_view text);
    const std::string& Caption(ControlId label) const { return Text(label); }
    void SetCaption(ControlId label, std::string_view text) { Record(label, text); }
    Color ForeColor(ControlId label) const;
    void SetForeColor(ControlId label, Color color);

    // A button was clicked or a check box changed: its click handling.
    void Clicked(ControlId control);
    // A timer ticked; only a shown window's timers reach the form.
    void Ticked(ControlId timer, bool shown);
    // A key went down while target had the focus: the window's handler
    // first, then the box's own if target is a box. The key stays the
    // target's even if the window's handler moves the focus. False when the
    // window ended on the way. The close key reaches no handler.
    bool KeyDown(ControlId target, std::int16_t keyCode, std::int16_t shift);
    // Alt+F4: the desktop's command to close the window, which the front end
    // carries out (unload, then the window goes). With Ctrl held as well it
    // is a plain F4, as Windows reports it.
    static bool ClosesWindow(std::int16_t keyCode, std::int16_t shift);
    // What a paste leaves for a one-line box: the text before its first line
    // break (LF, or CR LF), as a single-line edit control takes it.
    static std::string_view PastedLine(std::string_view text);

    // The control that holds the focus, or gets it back when the window is
    // shown or active again.
    ControlId LastFocus() const { return lastFocus_; }
    // Remembers control as the focus; false (and nothing remembered) for a
    // control that cannot hold it.
    bool RememberFocus(ControlId control);
    // focused if it can hold the focus; otherwise the one remembered.
    ControlId FocusOr(ControlId focused) const;

    // The control Tab (or Shift+Tab) moves the focus to from current.
    ControlId NextInTabOrder(ControlId current, bool backward) const;

private:
    struct ControlState {
        std::string text;
        std::string tag;
        Color foreColor = ColorBlack;
    };

    bool Live() const { return live_(); }

    const WindowLayout& layout_;
    std::function<bool()> live_;
    FormEvents* form_ = nullptr;
    ControlId lastFocus_;
    std::array<ControlState, ControlCount> controls_{};
};

} // namespace morlix
