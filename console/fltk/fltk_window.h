// The main window on FLTK, built from the layout table. Widget callbacks
// stay thin: each turns into one of the form's events, and the console
// core does the work.
//
// Geometry: Top, Left, Width and Height are the outer frame, as on Windows,
// so the placement test and the stored values mean the same. FLTK places a
// top-level window by its client area and the window manager builds its
// frame around it; the frame is measured while the window is shown, and
// before the first show there is none.
//
// The making and the form's interface are in fltk_window.cpp, the events in
// fltk_window_events.cpp, the widgets and their painting in
// fltk_window_widgets.cpp.
#pragma once

#include "native_window.h"
#include "x11_stacking.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

class Fl_Widget;
class Fl_Window;

namespace morlix {

class FltkWindow : public NativeWindow {
public:
    // prevInstance is the answer of the previous-instance test, taken before
    // the window exists.
    explicit FltkWindow(bool prevInstance);
    ~FltkWindow() override;
    FltkWindow(const FltkWindow&) = delete;
    FltkWindow& operator=(const FltkWindow&) = delete;

    // Opens the display and builds the window with all its controls, hidden.
    // Only one FltkWindow may exist at a time (it routes the keyboard).
    bool Create();
    // Runs the form's load handling; unless the form ended the program, the
    // window is then shown with the initial focus and the timers start.
    void Load();
    // As the operator closing the window: the form's unload, then the window goes.
    void Close();
    Stacking CurrentStacking() const { return stacking_; }
    float Dpi() const { return dpi_; }

    // A timer's tick as its expiry delivers it, for a caller that drives the
    // window without waiting for the timer.
    void TimerTick(ControlId timer) { TimerTicked(timer); }

    Fl_Window* Handle() const;
    Fl_Widget* ControlWidget(ControlId id) const;
    ControlId ControlOf(const Fl_Widget* widget) const;

    // ---- Window (the rest is NativeWindow's) ----
    std::string Text(ControlId box) const override;
    void SetText(ControlId box, std::string_view text) override;
    std::string Caption(ControlId label) const override;
    void SetCaption(ControlId label, std::string_view text) override;
    int CheckValue(ControlId box) const override;
    float Top() const override;
    float Left() const override;
    float Width() const override;
    float Height() const override;
    void SetTop(float twips) override;
    void SetLeft(float twips) override;
    float ScreenWidth() const override;
    float ScreenHeight() const override;
    std::int32_t SetWindowPos(std::intptr_t insertAfter, int x, int y, int cx, int cy,
                              std::uint32_t flags) override;
    void End() override;

    // ---- Called by the widgets ----
    using NativeWindow::FocusTaken;
    void CloseRequested();
    // Every key of this window comes here before the focused widget sees
    // it; true when the key has been dealt with entirely.
    bool PreviewKey(int fltkKey, int fltkState);
    // The window system moved the window or framed it anew.
    void FrameChanged();
    // The window itself got the keyboard back: hand it to the control that had it.
    bool RestoreFocus();

private:
    struct ControlState {
        Fl_Widget* widget = nullptr;
    };

    struct TimerSlot {
        FltkWindow* owner = nullptr;
        ControlId id = ControlId::FormWindow;
        double seconds = 0;
        bool running = false;
    };
    static void TimerThunk(void* slot);

    // The widgets' callbacks; owner is the window.
    static void WidgetClicked(Fl_Widget* widget, void* owner);
    static void BoxEdited(Fl_Widget* widget, void* owner);
    static void CloseClicked(Fl_Widget* widget, void* owner);

    // ---- NativeWindow ----
    bool Exists() const override;
    bool HasControl(ControlId control) const override;
    ControlId FocusedControl() const override;
    void TakeFocus(ControlId control) override;
    void ShowForeColor(ControlId label, Color color) override;
    void ShowCheckValue(ControlId box, int value) override;

    // Every key of the process passes PreviewKey while this window routes
    // them; false when another window already does.
    bool RouteKeyboard();
    void StopRoutingKeyboard();
    static bool KeyboardRouted();

    // A box whose widget exists.
    bool IsTextBox(ControlId id) const;
    ControlState& StateOf(ControlId id) { return controls_[static_cast<std::size_t>(id)]; }
    const ControlState& StateOf(ControlId id) const {
        return controls_[static_cast<std::size_t>(id)];
    }
    Fl_Widget* MakeControl(const ControlLayout& control);
    unsigned BackColorOf(ControlId id) const;
    void MoveClientTo(int xPixels, int yPixels);
    FrameInsets Frame() const;
    void StartTimers();
    void StopTimers();

    std::unique_ptr<Fl_Window> window_;
    std::array<ControlState, ControlCount> controls_{};
    std::array<TimerSlot, ControlCount> timers_{};
    float dpi_ = 96.0f;
    FrameInsets frame_; // as last seen by FrameChanged
    Stacking stacking_ = Stacking::Normal;
    bool placed_ = false;
};

} // namespace morlix
