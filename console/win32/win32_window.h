// The main window on the real Win32 window system, built from the layout
// table. Message handlers stay thin: they translate a message into one of
// the form's events and let the console core do the work. The window's
// interface and its making are in win32_window.cpp, the messages in
// win32_window_messages.cpp, the painting in win32_window_paint.cpp.
#pragma once

#include "native_window.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace morlix {

struct GdiObjectDeleter {
    void operator()(HGDIOBJ object) const {
        if (object) {
            DeleteObject(object);
        }
    }
};

// Owns one GDI object (brush, font) and deletes it once.
template <class H>
using GdiHandle = std::unique_ptr<std::remove_pointer_t<H>, GdiObjectDeleter>;

class Win32Window : public NativeWindow {
public:
    // prevInstance is the answer of the previous-instance test, taken before
    // the window exists.
    Win32Window(HINSTANCE instance, bool prevInstance);
    ~Win32Window() override;
    Win32Window(const Win32Window&) = delete;
    Win32Window& operator=(const Win32Window&) = delete;

    // Creates the window and all its controls, hidden. False if the window
    // system refused.
    bool Create();
    // Runs the form's load handling; unless the form ended the program, the
    // window is then shown with cmdReset focused and the timers start.
    void Load(int showCommand);
    HWND Handle() const { return hwnd_; }
    HWND ControlHandle(ControlId id) const;
    ControlId ControlOf(HWND control) const;
    int DpiX() const { return dpiX_; }
    int DpiY() const { return dpiY_; }

    // Call for every message the loop takes from the queue, before
    // TranslateMessage and DispatchMessage; true when the message has been
    // dealt with entirely. The form's key handler sees every key first,
    // wherever the focus is, then the focused box's key handler; the key
    // then goes on to the control so the caret still moves.
    bool PreTranslateMessage(MSG& msg);

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

private:
    // Timer ids are this base plus the timer's index in the layout.
    static constexpr UINT_PTR TimerIdBase = 1;

    struct ControlState {
        HWND hwnd = nullptr;
        std::wstring toolTip; // kept alive for the tooltip control
    };

    static LRESULT CALLBACK MainProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK FrameProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    static bool RegisterClasses(HINSTANCE instance);
    static std::wstring SystemMessageFace();

    // ---- NativeWindow ----
    bool Exists() const override;
    bool HasControl(ControlId control) const override;
    ControlId FocusedControl() const override;
    void TakeFocus(ControlId control) override;
    void ShowForeColor(ControlId label, Color color) override;
    void ShowCheckValue(ControlId box, int value) override;

    LRESULT OnMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    // Messages that controls send to their parent; frames pass them here.
    bool OnControlMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);
    void OnCommand(ControlId id, int code);
    void OnTimer(UINT_PTR timerId);
    void PaintFrame(HWND frame);
    void DrawButton(const DRAWITEMSTRUCT& item);

    bool CreateControl(const ControlLayout& control);
    void AddToolTip(ControlState& state, const char* text);
    void TextChanged(ControlId box);
    void MoveWindowTo(int xPixels, int yPixels);
    RECT WindowRect() const;

    ControlState& StateOf(ControlId id) { return controls_[static_cast<std::size_t>(id)]; }
    const ControlState& StateOf(ControlId id) const {
        return controls_[static_cast<std::size_t>(id)];
    }
    std::string WindowTextOf(HWND hwnd) const;

    HBRUSH BrushFor(Color color);
    // The font of a table entry; width is its average character width in
    // pixels, 0 for the face's own.
    HFONT FontFor(const FontSpec& font, int width = 0);
    // Gives a label the font its caption fits in (see the definition).
    void FitCaption(ControlId label);
    Color BackColorOf(ControlId id) const;

    HINSTANCE instance_;
    HWND hwnd_ = nullptr;
    HWND toolTips_ = nullptr;
    std::array<ControlState, ControlCount> controls_{};
    int dpiX_ = 96;
    int dpiY_ = 96;
    bool ready_ = false;
    std::wstring defaultFace_;
    std::map<Color, GdiHandle<HBRUSH>> brushes_;
    struct FontEntry {
        std::string face;
        double points;
        bool bold;
        int width;
        GdiHandle<HFONT> font;
    };
    std::vector<FontEntry> fonts_;
};

// Virtual-key modifiers as the form's key handlers expect them.
std::int16_t CurrentShiftState();

} // namespace morlix
