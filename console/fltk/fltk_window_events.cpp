// The FLTK window's events: the keyboard routed through the window before
// the focused widget sees a key, the widgets' callbacks, the timers, closing,
// and the moves the window system reports.
#include "fltk_window.h"

#include "fltk_keys.h"

#include <FL/Fl.H>
#include <FL/Fl_Window.H>

namespace morlix {

namespace {

// The one window that routes the keyboard, and the dispatcher it replaced.
FltkWindow* activeWindow = nullptr;
Fl_Event_Dispatch previousDispatch = nullptr;

int Dispatch(int event, Fl_Window* window) {
    if (event == FL_KEYBOARD && activeWindow && window && activeWindow->Handle() &&
        (window == activeWindow->Handle() || window->top_window() == activeWindow->Handle())) {
        if (activeWindow->PreviewKey(Fl::event_key(), Fl::event_state())) {
            return 1;
        }
    }
    return previousDispatch ? previousDispatch(event, window) : Fl::handle_(event, window);
}

} // namespace

// ---- Keyboard --------------------------------------------------------------

bool FltkWindow::RouteKeyboard() {
    if (activeWindow) {
        return false; // one console window per process
    }
    activeWindow = this;
    previousDispatch = Fl::event_dispatch();
    Fl::event_dispatch(Dispatch);
    return true;
}

void FltkWindow::StopRoutingKeyboard() {
    if (activeWindow == this) {
        Fl::event_dispatch(previousDispatch);
        previousDispatch = nullptr;
        activeWindow = nullptr;
    }
}

bool FltkWindow::KeyboardRouted() {
    return activeWindow != nullptr;
}

bool FltkWindow::PreviewKey(int fltkKey, int fltkState) {
    if (!Live()) {
        return false;
    }
    const std::int16_t shift = ShiftStateOf(fltkState);
    if (fltkKey == FL_Tab && TabKey(shift)) {
        return true;
    }
    const std::int16_t keyCode = VirtualKeyOf(fltkKey);
    if (keyCode == 0) {
        return false;
    }
    if (WindowRules::ClosesWindow(keyCode, shift)) {
        Close(); // where the window manager leaves the key to the window
        return true;
    }
    // The key belongs to the control that had the focus when it went down,
    // even if the form's handler moves the focus.
    const ControlId target = Focus();
    if (!rules_.KeyDown(target, keyCode, shift)) {
        return true;
    }
    switch (keyCode) {
    case KeyF1:
    case KeyF2:
    case KeyF3:
    case KeyF4:
    case KeyF5:
    case KeyEscape:
        return true; // done with; Esc in particular must not reach FLTK's "close"
    case KeyArrowUp:
    case KeyArrowDown:
    case KeyPageUp:
    case KeyPageDown:
        // A one-line box has no lines to move between; FLTK would pass the
        // key on and move the focus to a neighbour.
        return IsTextBox(target);
    default:
        return false; // the control still gets it: Home and End move the caret
    }
}

// ---- Widgets ---------------------------------------------------------------

void FltkWindow::WidgetClicked(Fl_Widget* widget, void* owner) {
    auto* window = static_cast<FltkWindow*>(owner);
    window->Clicked(window->ControlOf(widget));
}

void FltkWindow::BoxEdited(Fl_Widget* widget, void* owner) {
    auto* window = static_cast<FltkWindow*>(owner);
    window->TextEdited(window->ControlOf(widget));
}

void FltkWindow::CloseClicked(Fl_Widget*, void* owner) {
    static_cast<FltkWindow*>(owner)->CloseRequested();
}

bool FltkWindow::RestoreFocus() {
    Fl_Widget* widget = ControlWidget(rules_.LastFocus());
    return widget && widget->visible() && widget->take_focus();
}

// ---- Closing and timers ----------------------------------------------------

void FltkWindow::Close() {
    if (!Live()) {
        return;
    }
    RunUnload();
    End();
}

void FltkWindow::CloseRequested() {
    if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape) {
        return; // Esc is the Reset key here, never "close"
    }
    Close();
}

void FltkWindow::StartTimers() {
    for (TimerSlot& slot : timers_) {
        if (slot.owner && slot.seconds > 0 && !slot.running) {
            slot.running = true;
            Fl::add_timeout(slot.seconds, TimerThunk, &slot);
        }
    }
}

void FltkWindow::StopTimers() {
    for (TimerSlot& slot : timers_) {
        if (slot.running) {
            Fl::remove_timeout(TimerThunk, &slot);
            slot.running = false;
        }
    }
}

void FltkWindow::TimerThunk(void* data) {
    auto* slot = static_cast<TimerSlot*>(data);
    // Re-armed first, so the interval does not stretch by the handler's time;
    // a handler that ends the program removes it again.
    Fl::repeat_timeout(slot->seconds, TimerThunk, slot);
    slot->owner->TimerTicked(slot->id);
}

// ---- Moves ------------------------------------------------------------------

void FltkWindow::FrameChanged() {
    if (!window_ || !window_->shown()) {
        return;
    }
    const FrameInsets before = frame_;
    const FrameInsets now = FrameOf(*window_);
    if (now == before) {
        return;
    }
    frame_ = now;
    // The window manager places the client where it was asked and builds its
    // frame around it. Where the program put the frame's corner before the
    // frame was known, the client moves by the frame's edges to keep it there.
    if (placed_) {
        window_->position(window_->x() + now.left - before.left,
                          window_->y() + now.top - before.top);
    }
}

} // namespace morlix
