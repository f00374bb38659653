// Morlix.exe: the console's one window on the Win32 window system.
#include "form_main.h"
#include "instance_guard.h"
#include "usb_link.h"
#include "win32_platform.h"
#include "win32_window.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*commandLine*/,
                   int showCommand) {
    // Taken before the window exists; the form decides what to do with it.
    morlix::InstanceGuard guard;

    morlix::Win32Platform platform;
    morlix::UsbLink link(platform);
    morlix::Win32Window window(instance, guard.OtherInstanceRunning());
    morlix::formMain form(window, link);
    window.Attach(&form);

    if (!window.Create()) {
        return 1;
    }
    window.Load(showCommand);
    if (window.Ended() || !window.Handle()) {
        return 0;
    }

    MSG msg{};
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (window.PreTranslateMessage(msg)) {
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}
