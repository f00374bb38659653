// What the Win32 window tests share: whether a window system is there at all,
// key messages, and a pump for the messages a test's actions left queued.
#pragma once

#include "display_required.h"

#include <windows.h>

namespace morlix::test {

inline bool WindowSystemAvailable() {
    HWND probe = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
    if (!probe) {
        return false;
    }
    DestroyWindow(probe);
    return true;
}

// A key message as the loop takes it from the queue.
inline MSG KeyMessage(HWND target, WPARAM key, UINT message = WM_KEYDOWN, LPARAM lParam = 1) {
    MSG msg{};
    msg.hwnd = target;
    msg.message = message;
    msg.wParam = key;
    msg.lParam = lParam;
    return msg;
}

// Dispatches what is queued; a quit request left by a destroyed window is
// dropped so it cannot end a later test's loop.
inline void Pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

} // namespace morlix::test
