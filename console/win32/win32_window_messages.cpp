// The Win32 window's messages: the window procedures, the notifications the
// controls send, the timers, and the keys the message loop hands over before
// the controls see them.
#include "win32_window.h"

#include <commctrl.h>

namespace morlix {

std::int16_t CurrentShiftState() {
    std::int16_t shift = 0;
    if (GetKeyState(VK_SHIFT) < 0) {
        shift |= ShiftMask;
    }
    if (GetKeyState(VK_CONTROL) < 0) {
        shift |= CtrlMask;
    }
    if (GetKeyState(VK_MENU) < 0) {
        shift |= AltMask;
    }
    return shift;
}

LRESULT CALLBACK Win32Window::MainProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        auto* self = static_cast<Win32Window*>(create->lpCreateParams);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        self->hwnd_ = hwnd;
    }
    auto* self = reinterpret_cast<Win32Window*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!self) {
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    return self->OnMessage(hwnd, message, wParam, lParam);
}

LRESULT CALLBACK Win32Window::FrameProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<Win32Window*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!self) {
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    switch (message) {
    case WM_ERASEBKGND:
        return 1; // painted whole in WM_PAINT
    case WM_PAINT:
        self->PaintFrame(hwnd);
        return 0;
    case WM_NCDESTROY:
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        break;
    default: {
        LRESULT result = 0;
        if (self->OnControlMessage(message, wParam, lParam, result)) {
            return result;
        }
        break;
    }
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

LRESULT Win32Window::OnMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    if (OnControlMessage(message, wParam, lParam, result)) {
        return result;
    }
    switch (message) {
    case WM_TIMER:
        OnTimer(wParam);
        return 0;
    case WM_ACTIVATE:
        if (LOWORD(wParam) == WA_INACTIVE) {
            FocusTaken(Focus()); // given back when the window is active again
        }
        break;
    case WM_SETFOCUS:
        if (GiveFocusBack()) {
            return 0;
        }
        break;
    case WM_CLOSE:
        RunUnload();
        DestroyWindow(hwnd);
        return 0;
    case WM_ENDSESSION:
        // The session ends without destroying windows: save while we can.
        if (wParam) {
            RunUnload();
        }
        return 0;
    case WM_DESTROY:
        for (const ControlLayout& control : MainWindowLayout().controls) {
            if (control.kind == ControlKind::Timer) {
                KillTimer(hwnd, TimerIdBase + static_cast<UINT_PTR>(control.id));
            }
        }
        RunUnload();
        if (toolTips_) {
            DestroyWindow(toolTips_);
            toolTips_ = nullptr;
        }
        PostQuitMessage(0);
        return 0;
    case WM_NCDESTROY:
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        hwnd_ = nullptr;
        toolTips_ = nullptr;
        ready_ = false;
        SetShown(false);
        for (ControlState& state : controls_) {
            state.hwnd = nullptr;
        }
        break;
    default:
        break;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

bool Win32Window::OnControlMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    switch (message) {
    case WM_COMMAND: {
        const ControlId id = ControlOf(reinterpret_cast<HWND>(lParam));
        if (!Valid(id)) {
            return false;
        }
        OnCommand(id, HIWORD(wParam));
        result = 0;
        return true;
    }
    case WM_CTLCOLORSTATIC: {
        const ControlId id = ControlOf(reinterpret_cast<HWND>(lParam));
        if (!Valid(id) || LayoutOf(id).kind != ControlKind::Label) {
            return false;
        }
        HDC dc = reinterpret_cast<HDC>(wParam);
        const Color back = BackColorOf(id);
        SetTextColor(dc, ForeColor(id));
        SetBkColor(dc, back);
        result = reinterpret_cast<LRESULT>(BrushFor(back));
        return true;
    }
    case WM_DRAWITEM: {
        const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
        if (!item || item->CtlType != ODT_BUTTON || !Valid(ControlOf(item->hwndItem))) {
            return false;
        }
        DrawButton(*item);
        result = TRUE;
        return true;
    }
    default:
        return false;
    }
}

void Win32Window::OnCommand(ControlId id, int code) {
    if (!ready_) {
        return;
    }
    switch (LayoutOf(id).kind) {
    case ControlKind::TextBox:
        if (code == EN_CHANGE) {
            TextChanged(id);
        }
        break;
    case ControlKind::CommandButton:
        // A quick second click on a drawn button arrives as a double click;
        // it is a second click all the same.
        if (code == BN_CLICKED || code == BN_DOUBLECLICKED) {
            Clicked(id);
        }
        break;
    case ControlKind::CheckBox:
        // The box has already changed its own state.
        if (code == BN_CLICKED) {
            Clicked(id);
        }
        break;
    default:
        break;
    }
}

void Win32Window::OnTimer(UINT_PTR timerId) {
    if (timerId < TimerIdBase) {
        return;
    }
    TimerTicked(static_cast<ControlId>(timerId - TimerIdBase));
}

void Win32Window::TextChanged(ControlId box) {
    if (ready_) {
        TextEdited(box);
    }
}

bool Win32Window::PreTranslateMessage(MSG& msg) {
    if (!hwnd_ || (msg.message != WM_KEYDOWN && msg.message != WM_SYSKEYDOWN)) {
        return false;
    }
    if (msg.hwnd != hwnd_ && !IsChild(hwnd_, msg.hwnd)) {
        return false;
    }
    std::int16_t shift = CurrentShiftState();
    if (msg.message == WM_SYSKEYDOWN && (HIWORD(msg.lParam) & KF_ALTDOWN) != 0) {
        shift |= AltMask; // as the message itself says, whatever the key state shows
    }
    if (msg.wParam == VK_TAB && TabKey(shift)) {
        return true;
    }
    const auto keyCode = static_cast<std::int16_t>(msg.wParam);
    if (WindowRules::ClosesWindow(keyCode, shift)) {
        return false; // the default handling closes the window
    }
    // The key belongs to the control that had the focus when it went down,
    // even if the form's handler moves the focus.
    if (!rules_.KeyDown(ControlOf(msg.hwnd), keyCode, shift)) {
        return true;
    }
    if (msg.wParam == VK_ESCAPE) {
        // No character message for Esc: a single-line edit would only beep.
        DispatchMessageW(&msg);
        return true;
    }
    return false;
}

} // namespace morlix
