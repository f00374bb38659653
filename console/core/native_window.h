// What the windows of a real window system (the Win32 window and the FLTK
// window) do the same way over the window rules: the tags and colours the
// handlers keep, a check box set by the program, the focus, the timers'
// ticks, the load and the one unload. It is written here once; a window
// tells through a few calls what its window system holds, and keeps its
// widgets, messages and pixels to itself.
#pragma once

#include "window.h"
#include "window_rules.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace morlix {

class NativeWindow : public Window {
public:
    // The form that receives the events; null for none. A window's
    // destructor detaches it first: the form may already be gone, and taking
    // the window apart must not call it.
    void Attach(FormEvents* form) { rules_.Attach(form); }

    bool Ended() const { return ended_; }
    bool Shown() const { return shown_; }

    // ---- Window: what the rules keep ----
    std::string Tag(ControlId control) const override { return rules_.Tag(control); }
    void SetTag(ControlId control, std::string_view text) override { rules_.SetTag(control, text); }
    Color ForeColor(ControlId label) const override { return rules_.ForeColor(label); }
    void SetForeColor(ControlId label, Color color) override;
    // A different value runs the box's click handling, as a click would.
    void SetCheckValue(ControlId box, int value) override;
    // Hidden or inactive, the window answers with the control that gets the
    // focus back.
    ControlId Focus() const override { return rules_.FocusOr(FocusedControl()); }
    void SetFocus(ControlId control) override;
    bool PrevInstance() const override { return prevInstance_; }

protected:
    // prevInstance is the answer of the previous-instance test, taken before
    // the window exists.
    explicit NativeWindow(bool prevInstance);

    // ---- What the window system holds ----
    // Whether the window itself exists (made, and not gone yet).
    virtual bool Exists() const = 0;
    // Whether a valid control has a widget of its own.
    virtual bool HasControl(ControlId control) const = 0;
    // The control whose widget has the keyboard focus; FormWindow for none.
    virtual ControlId FocusedControl() const = 0;
    // Gives the keyboard focus to a control's widget.
    virtual void TakeFocus(ControlId control) = 0;
    // Shows a label's new text colour.
    virtual void ShowForeColor(ControlId label, Color color) = 0;
    // Sets a check box's widget to value (CheckChecked or CheckUnchecked).
    virtual void ShowCheckValue(ControlId box, int value) = 0;

    static bool Valid(ControlId id) { return WindowRules::Valid(id); }
    // Whether the window still takes events; once it ends, no handler runs.
    bool Live() const { return !ended_ && Exists(); }

    // ---- The window's life ----
    // Runs the form's load handling; true when the window is then to be
    // shown, false when the form ended the program (or the window is gone).
    bool RunLoad();
    // The form's unload handling: once, and only while the window exists
    // and has not ended.
    void RunUnload();
    void SetShown(bool shown) { shown_ = shown; }
    // No more events: the window is not shown and never will be again.
    void MarkEnded() {
        ended_ = true;
        shown_ = false;
    }

    // ---- Events from the window system ----
    // A box's widget may show a new text: the change handling runs if it is
    // new to the rules.
    void TextEdited(ControlId box);
    // A button was clicked or a check box changed.
    void Clicked(ControlId control) { rules_.Clicked(control); }
    // A timer ticked; only a shown window's ticks reach the form.
    void TimerTicked(ControlId timer) { rules_.Ticked(timer, shown_); }
    // A control's widget took the keyboard focus.
    void FocusTaken(ControlId control) { rules_.RememberFocus(control); }
    // Tab, or Shift+Tab: the focus moves in tab order. With Ctrl or Alt
    // held it is no such key: false, and nothing done.
    bool TabKey(std::int16_t shift);
    // The control that had the focus last takes it again; false when it has
    // no widget.
    bool GiveFocusBack();

    WindowRules rules_;

private:
    bool prevInstance_;
    bool shown_ = false;
    bool ended_ = false;
    bool unloaded_ = false;
};

} // namespace morlix
