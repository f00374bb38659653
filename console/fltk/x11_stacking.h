// The window system calls that FLTK does not wrap, kept in one file because
// the X11 headers clash with the console's own names (Window, Bool).
#pragma once

class Fl_Window;

namespace morlix {

enum class Stacking { Normal, Topmost, Bottom };

// Asks the window manager to keep the window above others (Topmost), to
// end that and lower the window behind all others (Bottom), or to end that
// only (Normal). Best effort: a window manager without the extended hints
// ignores the request. False if the window is not shown.
bool ApplyStacking(Fl_Window& window, Stacking stacking);

// How far the frame a window manager put around a shown window reaches past
// its client area on each side, in pixels; all 0 without a frame (no window
// manager, or not shown).
struct FrameInsets {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
    bool operator==(const FrameInsets&) const = default;
};
FrameInsets FrameOf(Fl_Window& window);

// Opens the display for FLTK; false when there is none. FLTK itself ends
// the program when it cannot open one, so callers that may run without a
// display ask here first. The connection is handed to FLTK rather than
// closed: an X server with no clients left resets, and would refuse the
// next connection for a moment.
bool OpenDisplay();

} // namespace morlix
