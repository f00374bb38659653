#include "win32_window.h"

#include "win32_convert.h"
#include "res/resource_ids.h"

#include <commctrl.h>

#include <algorithm>

namespace morlix {

namespace {

constexpr wchar_t MainClassName[] = L"MorlixFormMain";
constexpr wchar_t FrameClassName[] = L"MorlixFrame";
// Child-window ids are this base plus the control's index in the layout.
constexpr int ControlIdBase = 1000;
constexpr DWORD MainStyle =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr DWORD MainExStyle = WS_EX_CONTROLPARENT;

} // namespace

Win32Window::Win32Window(HINSTANCE instance, bool prevInstance)
    : NativeWindow(prevInstance), instance_(instance) {}

Win32Window::~Win32Window() {
    // The form may already be gone; destroying the window must not call it.
    Attach(nullptr);
    if (hwnd_) {
        DestroyWindow(hwnd_);
    }
}

// ---- Creation --------------------------------------------------------------

bool Win32Window::RegisterClasses(HINSTANCE instance) {
    WNDCLASSEXW existing{};
    existing.cbSize = sizeof existing;
    if (!GetClassInfoExW(instance, MainClassName, &existing)) {
        WNDCLASSEXW main{};
        main.cbSize = sizeof main;
        main.lpfnWndProc = MainProc;
        main.hInstance = instance;
        main.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)); // IDC_ARROW
        main.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        main.lpszClassName = MainClassName;
        // The program's icon; a program without it keeps the default.
        main.hIcon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_MORLIX),
                                                   IMAGE_ICON, GetSystemMetrics(SM_CXICON),
                                                   GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR));
        main.hIconSm = static_cast<HICON>(LoadImageW(
            instance, MAKEINTRESOURCEW(IDI_MORLIX), IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
            GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
        if (!RegisterClassExW(&main)) {
            return false;
        }
    }
    if (!GetClassInfoExW(instance, FrameClassName, &existing)) {
        WNDCLASSEXW frame{};
        frame.cbSize = sizeof frame;
        frame.lpfnWndProc = FrameProc;
        frame.hInstance = instance;
        frame.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
        frame.lpszClassName = FrameClassName;
        if (!RegisterClassExW(&frame)) {
            return false;
        }
    }
    return true;
}

bool Win32Window::Create() {
    if (hwnd_ || Ended()) {
        return hwnd_ != nullptr;
    }
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES;
    InitCommonControlsEx(&controls);

    if (HDC screen = GetDC(nullptr)) {
        dpiX_ = GetDeviceCaps(screen, LOGPIXELSX);
        dpiY_ = GetDeviceCaps(screen, LOGPIXELSY);
        ReleaseDC(nullptr, screen);
    }
    defaultFace_ = SystemMessageFace();

    if (!RegisterClasses(instance_)) {
        return false;
    }
    const WindowLayout& layout = MainWindowLayout();
    RECT outer{0, 0, TwipsToPixels(layout.clientWidth, dpiX_),
               TwipsToPixels(layout.clientHeight, dpiY_)};
    AdjustWindowRectEx(&outer, MainStyle, FALSE, MainExStyle);
    const std::wstring caption = Utf8ToWide(layout.caption);
    HWND created = CreateWindowExW(MainExStyle, MainClassName, caption.c_str(), MainStyle,
                                   CW_USEDEFAULT, CW_USEDEFAULT, outer.right - outer.left,
                                   outer.bottom - outer.top, nullptr, nullptr, instance_, this);
    if (!created) {
        return false;
    }
    // hwnd_ was set while the window was being created.

    // Not owned by the window: some window managers place an owner below
    // its topmost owned popups instead of making the owner topmost itself.
    // Destroyed with the window.
    toolTips_ =
        CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                        WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance_, nullptr);

    // Frames hold their children, so a control is made once its parent
    // exists; the table lists some children before their frames.
    std::array<bool, ControlCount> made{};
    for (bool progress = true; progress;) {
        progress = false;
        for (const ControlLayout& control : layout.controls) {
            const auto index = static_cast<std::size_t>(control.id);
            const bool parentReady =
                control.parent == ControlId::FormWindow ||
                (Valid(control.parent) && made[static_cast<std::size_t>(control.parent)]);
            if (made[index] || !parentReady) {
                continue;
            }
            if (!CreateControl(control)) {
                DestroyWindow(hwnd_);
                return false;
            }
            made[index] = true;
            progress = true;
        }
    }
    ready_ = true;
    return true;
}

bool Win32Window::CreateControl(const ControlLayout& control) {
    ControlState& state = StateOf(control.id);
    if (control.kind == ControlKind::Timer) {
        return true; // a timer has no window; it starts with the shown window
    }
    HWND parent = control.parent == ControlId::FormWindow ? hwnd_ : StateOf(control.parent).hwnd;
    const bool centred = control.align == TextAlign::Center;
    const wchar_t* className = L"BUTTON";
    DWORD style = WS_CHILD | WS_VISIBLE;
    DWORD exStyle = 0;
    switch (control.kind) {
    case ControlKind::CommandButton:
        style |= WS_TABSTOP | (control.graphical ? BS_OWNERDRAW : BS_PUSHBUTTON | BS_MULTILINE);
        break;
    case ControlKind::TextBox:
        className = L"EDIT";
        exStyle = WS_EX_CLIENTEDGE;
        style |= WS_TABSTOP | ES_AUTOHSCROLL | (centred ? ES_CENTER : ES_LEFT);
        break;
    case ControlKind::Label:
        className = L"STATIC";
        // One line, clipped at the right edge rather than wrapped.
        style |= SS_NOPREFIX | (centred ? SS_CENTER : SS_LEFTNOWORDWRAP);
        break;
    case ControlKind::Frame:
        className = FrameClassName;
        style |= WS_CLIPCHILDREN;
        exStyle = WS_EX_CONTROLPARENT;
        break;
    case ControlKind::CheckBox:
        style |= WS_TABSTOP | BS_AUTOCHECKBOX;
        break;
    case ControlKind::Timer:
        return true;
    }
    const std::wstring text = Utf8ToWide(control.text ? control.text : "");
    const int id = ControlIdBase + static_cast<int>(control.id);
    HWND hwnd = CreateWindowExW(
        exStyle, className, text.c_str(), style, TwipsToPixels(control.left, dpiX_),
        TwipsToPixels(control.top, dpiY_), TwipsToPixels(control.width, dpiX_),
        TwipsToPixels(control.height, dpiY_), parent,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_,
        control.kind == ControlKind::Frame ? this : nullptr); // frames find us through it
    if (!hwnd) {
        return false;
    }
    state.hwnd = hwnd;
    SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(FontFor(control.font)), FALSE);
    FitCaption(control.id);
    if (control.kind == ControlKind::TextBox) {
        // Limits what the operator types or pastes; program writes pass.
        if (control.maxLength > 0) {
            SendMessageW(hwnd, EM_SETLIMITTEXT, static_cast<WPARAM>(control.maxLength), 0);
        }
        rules_.Record(control.id, WindowTextOf(hwnd));
    }
    if (control.kind == ControlKind::CheckBox) {
        SendMessageW(hwnd, BM_SETCHECK,
                     control.checkValue == CheckChecked ? BST_CHECKED : BST_UNCHECKED, 0);
    }
    if (control.toolTip) {
        AddToolTip(state, control.toolTip);
    }
    return true;
}

void Win32Window::AddToolTip(ControlState& state, const char* text) {
    if (!toolTips_) {
        return;
    }
    state.toolTip = Utf8ToWide(text);
    TOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = GetParent(state.hwnd);
    tool.uId = reinterpret_cast<UINT_PTR>(state.hwnd);
    tool.lpszText = state.toolTip.data();
    SendMessageW(toolTips_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
}

// ---- Life ------------------------------------------------------------------

void Win32Window::Load(int showCommand) {
    if (!RunLoad()) {
        return; // the form ended the program: nothing is shown
    }
    ShowWindow(hwnd_, showCommand);
    UpdateWindow(hwnd_);
    SetShown(true);
    GiveFocusBack();
    for (const ControlLayout& control : MainWindowLayout().controls) {
        if (control.kind == ControlKind::Timer && control.intervalMs > 0) {
            ::SetTimer(hwnd_, TimerIdBase + static_cast<UINT_PTR>(control.id),
                       static_cast<UINT>(control.intervalMs), nullptr);
        }
    }
}

void Win32Window::End() {
    MarkEnded();
    if (hwnd_) {
        DestroyWindow(hwnd_);
    }
}

// ---- Lookup ----------------------------------------------------------------

HWND Win32Window::ControlHandle(ControlId id) const {
    return Valid(id) ? StateOf(id).hwnd : nullptr;
}

ControlId Win32Window::ControlOf(HWND control) const {
    if (!control) {
        return ControlId::FormWindow;
    }
    const int index = GetDlgCtrlID(control) - ControlIdBase;
    if (index < 0 || index >= ControlCount ||
        controls_[static_cast<std::size_t>(index)].hwnd != control) {
        return ControlId::FormWindow;
    }
    return static_cast<ControlId>(index);
}

std::string Win32Window::WindowTextOf(HWND hwnd) const {
    if (!hwnd) {
        return {};
    }
    const int length = GetWindowTextLengthW(hwnd);
    if (length <= 0) {
        return {};
    }
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int copied = GetWindowTextW(hwnd, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(std::max(copied, 0)));
    return WideToUtf8(text);
}

// ---- Window: controls ------------------------------------------------------

std::string Win32Window::Text(ControlId box) const {
    return Valid(box) ? WindowTextOf(StateOf(box).hwnd) : std::string();
}

void Win32Window::SetText(ControlId box, std::string_view text) {
    if (!Valid(box) || !StateOf(box).hwnd) {
        return;
    }
    HWND hwnd = StateOf(box).hwnd;
    if (WindowTextOf(hwnd) == text) {
        return; // an identical text runs nothing
    }
    const std::wstring wide = Utf8ToWide(text);
    // The edit control reports the change while the write is under way, so
    // the change handling runs nested inside this call. Should a control not
    // report it, the check after the write still runs it once.
    SetWindowTextW(hwnd, wide.c_str());
    TextChanged(box);
}

std::string Win32Window::Caption(ControlId label) const {
    return Valid(label) ? WindowTextOf(StateOf(label).hwnd) : std::string();
}

void Win32Window::SetCaption(ControlId label, std::string_view text) {
    if (!Valid(label) || !StateOf(label).hwnd) {
        return;
    }
    const std::wstring wide = Utf8ToWide(text);
    SetWindowTextW(StateOf(label).hwnd, wide.c_str());
    FitCaption(label);
}

int Win32Window::CheckValue(ControlId box) const {
    if (!Valid(box) || !StateOf(box).hwnd) {
        return CheckUnchecked;
    }
    const LRESULT state = SendMessageW(StateOf(box).hwnd, BM_GETCHECK, 0, 0);
    return state == BST_CHECKED ? CheckChecked : CheckUnchecked;
}

// ---- What the window system holds -------------------------------------------

bool Win32Window::Exists() const {
    return hwnd_ != nullptr;
}

bool Win32Window::HasControl(ControlId control) const {
    return StateOf(control).hwnd != nullptr;
}

ControlId Win32Window::FocusedControl() const {
    return ControlOf(GetFocus());
}

void Win32Window::TakeFocus(ControlId control) {
    ::SetFocus(StateOf(control).hwnd);
}

void Win32Window::ShowForeColor(ControlId label, Color) {
    InvalidateRect(StateOf(label).hwnd, nullptr, TRUE);
}

void Win32Window::ShowCheckValue(ControlId box, int value) {
    SendMessageW(StateOf(box).hwnd, BM_SETCHECK,
                 value == CheckChecked ? BST_CHECKED : BST_UNCHECKED, 0);
}

// ---- Window: geometry ------------------------------------------------------

RECT Win32Window::WindowRect() const {
    RECT rect{};
    if (!hwnd_) {
        return rect;
    }
    GetWindowRect(hwnd_, &rect);
    if (!IsIconic(hwnd_)) {
        return rect;
    }
    // A minimised window sits far off the screen; its place is where it
    // will be restored. That is kept in work-area coordinates, which start
    // after a taskbar on the left or top.
    WINDOWPLACEMENT placement{};
    placement.length = sizeof placement;
    if (!GetWindowPlacement(hwnd_, &placement)) {
        return rect;
    }
    rect = placement.rcNormalPosition;
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (GetMonitorInfoW(MonitorFromRect(&rect, MONITOR_DEFAULTTOPRIMARY), &monitor)) {
        OffsetRect(&rect, monitor.rcWork.left - monitor.rcMonitor.left,
                   monitor.rcWork.top - monitor.rcMonitor.top);
    }
    return rect;
}

float Win32Window::Top() const {
    return PixelsToTwips(WindowRect().top, dpiY_);
}

float Win32Window::Left() const {
    return PixelsToTwips(WindowRect().left, dpiX_);
}

float Win32Window::Width() const {
    const RECT rect = WindowRect();
    return PixelsToTwips(rect.right - rect.left, dpiX_);
}

float Win32Window::Height() const {
    const RECT rect = WindowRect();
    return PixelsToTwips(rect.bottom - rect.top, dpiY_);
}

void Win32Window::MoveWindowTo(int xPixels, int yPixels) {
    if (hwnd_) {
        ::SetWindowPos(hwnd_, nullptr, xPixels, yPixels, 0, 0,
                       SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

void Win32Window::SetTop(float twips) {
    MoveWindowTo(WindowRect().left, TwipsToPixels(twips, dpiY_));
}

void Win32Window::SetLeft(float twips) {
    MoveWindowTo(TwipsToPixels(twips, dpiX_), WindowRect().top);
}

float Win32Window::ScreenWidth() const {
    return PixelsToTwips(GetSystemMetrics(SM_CXSCREEN), dpiX_);
}

float Win32Window::ScreenHeight() const {
    return PixelsToTwips(GetSystemMetrics(SM_CYSCREEN), dpiY_);
}

std::int32_t Win32Window::SetWindowPos(std::intptr_t insertAfter, int x, int y, int cx, int cy,
                                       std::uint32_t flags) {
    if (!hwnd_) {
        return 0;
    }
    const HWND after = reinterpret_cast<HWND>(insertAfter);
    // HWND_BOTTOM ends the topmost state on Windows; some implementations
    // of the API keep it, so the state is ended first where it is still set.
    // The call the form asked for is then made as it asked.
    if (after == HWND_BOTTOM && (GetWindowLongPtrW(hwnd_, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0) {
        ::SetWindowPos(hwnd_, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE);
    }
    return ::SetWindowPos(hwnd_, after, x, y, cx, cy, flags);
}

} // namespace morlix
