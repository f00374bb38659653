#include "win32_window.h"

#include "win32_convert.h"
#include "res/resource_ids.h"

#include <commctrl.h>

#include <algorithm>
#include <cwchar>

namespace morlix {

namespace {

constexpr wchar_t MainClassName[] = L"MorlixFormMain";
constexpr wchar_t FrameClassName[] = L"MorlixFrame";
// Child-window ids are this base plus the control's index in the layout.
constexpr int ControlIdBase = 1000;
constexpr UINT_PTR TimerIdBase = 1;
constexpr DWORD MainStyle =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr DWORD MainExStyle = WS_EX_CONTROLPARENT;
// Point size of the default font, the face coming from the system's message font.
constexpr double DefaultPoints = 8.25;

int ScaleToDpi(int pixelsAt96, int dpi) {
    return MulDiv(pixelsAt96, dpi, 96);
}

int CALLBACK FontFound(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
    *reinterpret_cast<bool*>(found) = true;
    return 0;
}

bool FontInstalled(const std::wstring& face) {
    if (face.empty() || face.size() >= LF_FACESIZE) {
        return false;
    }
    LOGFONTW query{};
    query.lfCharSet = DEFAULT_CHARSET;
    std::wcsncpy(query.lfFaceName, face.c_str(), LF_FACESIZE - 1);
    bool found = false;
    HDC screen = GetDC(nullptr);
    if (screen) {
        EnumFontFamiliesExW(screen, &query, FontFound, reinterpret_cast<LPARAM>(&found), 0);
        ReleaseDC(nullptr, screen);
    }
    return found;
}

std::wstring SystemMessageFace() {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0) &&
        metrics.lfMessageFont.lfFaceName[0] != L'\0') {
        return metrics.lfMessageFont.lfFaceName;
    }
    return L"MS Shell Dlg";
}

} // namespace

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

Win32Window::Win32Window(HINSTANCE instance, bool prevInstance)
    : instance_(instance), prevInstance_(prevInstance),
      rules_(MainWindowLayout(), [this] { return Live(); }) {}

Win32Window::~Win32Window() {
    // The form may already be gone; destroying the window must not call it.
    rules_.Attach(nullptr);
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
    if (hwnd_ || ended_) {
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
    if (!Live()) {
        return;
    }
    if (FormEvents* form = rules_.Form()) {
        form->Load();
    }
    if (!Live()) {
        return; // the form ended the program: nothing is shown
    }
    ShowWindow(hwnd_, showCommand);
    UpdateWindow(hwnd_);
    shown_ = true;
    if (HWND focus = ControlHandle(rules_.LastFocus())) {
        ::SetFocus(focus);
    }
    for (const ControlLayout& control : MainWindowLayout().controls) {
        if (control.kind == ControlKind::Timer && control.intervalMs > 0) {
            ::SetTimer(hwnd_, TimerIdBase + static_cast<UINT_PTR>(control.id),
                       static_cast<UINT>(control.intervalMs), nullptr);
        }
    }
}

void Win32Window::End() {
    ended_ = true;
    shown_ = false;
    if (hwnd_) {
        DestroyWindow(hwnd_);
    }
}

void Win32Window::RunUnload() {
    if (unloaded_ || ended_ || !hwnd_) {
        return;
    }
    unloaded_ = true;
    if (FormEvents* form = rules_.Form()) {
        form->Unload();
    }
}

// ---- Messages --------------------------------------------------------------

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
            rules_.RememberFocus(Focus()); // given back when the window is active again
        }
        break;
    case WM_SETFOCUS:
        if (HWND focus = ControlHandle(rules_.LastFocus())) {
            ::SetFocus(focus);
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
        shown_ = false;
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
        SetTextColor(dc, rules_.ForeColor(id));
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
            rules_.Clicked(id);
        }
        break;
    case ControlKind::CheckBox:
        // The box has already changed its own state.
        if (code == BN_CLICKED) {
            rules_.Clicked(id);
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
    rules_.Ticked(static_cast<ControlId>(timerId - TimerIdBase), shown_);
}

void Win32Window::TextChanged(ControlId box) {
    if (ready_ && IsTextBox(box)) {
        rules_.TextShown(box, WindowTextOf(StateOf(box).hwnd));
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
    if (msg.wParam == VK_TAB && (shift & (CtrlMask | AltMask)) == 0) {
        SetFocus(rules_.NextInTabOrder(Focus(), (shift & ShiftMask) != 0));
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

// ---- Painting --------------------------------------------------------------

void Win32Window::PaintFrame(HWND frame) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(frame, &paint);
    if (!dc) {
        return;
    }
    const ControlId id = ControlOf(frame);
    if (Valid(id)) {
        const ControlLayout& layout = LayoutOf(id);
        const Color back = BackColorOf(id);
        RECT client;
        GetClientRect(frame, &client);
        FillRect(dc, &client, BrushFor(back));

        HGDIOBJ oldFont = SelectObject(dc, FontFor(layout.font));
        TEXTMETRICW metrics{};
        GetTextMetricsW(dc, &metrics);
        // A group box: an etched edge with the caption set into its top line.
        RECT edge = client;
        edge.top += metrics.tmHeight / 2;
        DrawEdge(dc, &edge, EDGE_ETCHED, BF_RECT);

        const std::wstring caption = Utf8ToWide(layout.text ? layout.text : "");
        if (!caption.empty()) {
            const int inset = ScaleToDpi(6, dpiX_);
            const int pad = ScaleToDpi(2, dpiX_);
            RECT text{client.left + inset, client.top, client.right - inset,
                      client.top + metrics.tmHeight};
            DrawTextW(dc, caption.c_str(), static_cast<int>(caption.size()), &text,
                      DT_LEFT | DT_SINGLELINE | DT_NOPREFIX | DT_CALCRECT);
            RECT backing{text.left - pad, text.top, std::min(text.right + pad, client.right),
                         text.bottom};
            FillRect(dc, &backing, BrushFor(back));
            SetBkMode(dc, TRANSPARENT);
            SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
            DrawTextW(dc, caption.c_str(), static_cast<int>(caption.size()), &text,
                      DT_LEFT | DT_SINGLELINE | DT_NOPREFIX);
        }
        SelectObject(dc, oldFont);
    }
    EndPaint(frame, &paint);
}

void Win32Window::DrawButton(const DRAWITEMSTRUCT& item) {
    const ControlId id = ControlOf(item.hwndItem);
    const ControlLayout& layout = LayoutOf(id);
    HDC dc = item.hDC;
    RECT bounds = item.rcItem;
    const bool pressed = (item.itemState & ODS_SELECTED) != 0;

    FillRect(dc, &bounds, BrushFor(BackColorOf(id)));
    DrawEdge(dc, &bounds, pressed ? EDGE_SUNKEN : EDGE_RAISED, BF_RECT);

    const std::wstring caption = Utf8ToWide(layout.text ? layout.text : "");
    HGDIOBJ oldFont = SelectObject(dc, FontFor(layout.font));
    const int inset = ScaleToDpi(3, dpiX_);
    RECT area{bounds.left + inset, bounds.top + inset, bounds.right - inset, bounds.bottom - inset};
    if (pressed) {
        OffsetRect(&area, 1, 1);
    }
    // Centre the wrapped caption vertically: measure it first.
    RECT measured = area;
    DrawTextW(dc, caption.c_str(), static_cast<int>(caption.size()), &measured,
              DT_CENTER | DT_WORDBREAK | DT_NOPREFIX | DT_CALCRECT);
    const int height = measured.bottom - measured.top;
    const int room = area.bottom - area.top;
    if (height < room) {
        area.top += (room - height) / 2;
        area.bottom = area.top + height;
    }
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor((item.itemState & ODS_DISABLED) ? COLOR_GRAYTEXT : COLOR_BTNTEXT));
    DrawTextW(dc, caption.c_str(), static_cast<int>(caption.size()), &area,
              DT_CENTER | DT_WORDBREAK | DT_NOPREFIX);
    SelectObject(dc, oldFont);

    if ((item.itemState & ODS_FOCUS) && !(item.itemState & ODS_NOFOCUSRECT)) {
        RECT focus = bounds;
        InflateRect(&focus, -inset, -inset);
        DrawFocusRect(dc, &focus);
    }
}

HBRUSH Win32Window::BrushFor(Color color) {
    auto found = brushes_.find(color);
    if (found != brushes_.end()) {
        return found->second.get();
    }
    HBRUSH brush = CreateSolidBrush(color);
    if (!brush) {
        return GetSysColorBrush(COLOR_BTNFACE);
    }
    brushes_.emplace(color, GdiHandle<HBRUSH>(brush));
    return brush;
}

HFONT Win32Window::FontFor(const FontSpec& font, int width) {
    const std::string face = font.face ? font.face : "";
    const double points = font.face ? font.points : DefaultPoints;
    for (const FontEntry& entry : fonts_) {
        if (entry.face == face && entry.points == points && entry.bold == font.bold &&
            entry.width == width) {
            return entry.font.get();
        }
    }
    // A face this machine lacks falls back to the default face, keeping
    // the size and weight asked for.
    std::wstring wideFace = Utf8ToWide(face);
    if (!FontInstalled(wideFace)) {
        wideFace = defaultFace_;
    }
    LOGFONTW logFont{};
    logFont.lfHeight = FontHeightPixels(points > 0 ? points : DefaultPoints, dpiY_);
    logFont.lfWidth = width;
    logFont.lfWeight = font.bold ? FW_BOLD : FW_NORMAL;
    logFont.lfCharSet = DEFAULT_CHARSET;
    logFont.lfOutPrecision = OUT_DEFAULT_PRECIS;
    logFont.lfClipPrecision = CLIP_DEFAULT_PRECIS;
    logFont.lfQuality = DEFAULT_QUALITY;
    logFont.lfPitchAndFamily = DEFAULT_PITCH | FF_DONTCARE;
    std::wcsncpy(logFont.lfFaceName, wideFace.c_str(), LF_FACESIZE - 1);
    HFONT created = CreateFontIndirectW(&logFont);
    if (!created) {
        return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    }
    fonts_.push_back({face, points, font.bold, width, GdiHandle<HFONT>(created)});
    return created;
}

// A label keeps the size the layout gives it. A caption wider than that in
// the label's font, as the faces a machine has may make it (a wide stand-in
// for the default face), is drawn in a narrower cut of the same font, which
// the font engine makes by scaling the glyphs' width: it shows whole.
void Win32Window::FitCaption(ControlId label) {
    HWND hwnd = ControlHandle(label);
    if (!hwnd || LayoutOf(label).kind != ControlKind::Label) {
        return;
    }
    const FontSpec& tableFont = LayoutOf(label).font;
    HFONT font = FontFor(tableFont);
    const std::wstring text = Utf8ToWide(WindowTextOf(hwnd));
    RECT client{};
    GetClientRect(hwnd, &client);
    HDC dc = text.empty() ? nullptr : GetDC(hwnd);
    if (dc) {
        HGDIOBJ old = SelectObject(dc, font);
        auto wider = [&](HFONT candidate) {
            SelectObject(dc, candidate);
            SIZE extent{};
            return GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()),
                                         &extent) &&
                   extent.cx > client.right;
        };
        SIZE extent{};
        TEXTMETRICW metrics{};
        if (wider(font) &&
            GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent) &&
            GetTextMetricsW(dc, &metrics) && extent.cx > 0) {
            // From the width in proportion to the room, a few steps narrower
            // at most: glyph widths round, so the first guess may miss by one.
            int width = std::max(1, MulDiv(metrics.tmAveCharWidth, client.right, extent.cx));
            for (int tries = 0; tries < 4 && width >= 1; ++tries, --width) {
                font = FontFor(tableFont, width);
                if (!wider(font)) {
                    break;
                }
            }
        }
        SelectObject(dc, old);
        ReleaseDC(hwnd, dc);
    }
    if (reinterpret_cast<HFONT>(SendMessageW(hwnd, WM_GETFONT, 0, 0)) != font) {
        SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    }
}

Color Win32Window::BackColorOf(ControlId id) const {
    // Walk up to the nearest control with a colour of its own; the window's
    // own background is the system's button face.
    for (int depth = 0; Valid(id) && depth < ControlCount; ++depth) {
        const ControlLayout& layout = LayoutOf(id);
        if (layout.hasBackColor) {
            return layout.backColor;
        }
        id = layout.parent;
    }
    return GetSysColor(COLOR_BTNFACE);
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

std::string Win32Window::Tag(ControlId control) const {
    return rules_.Tag(control);
}

void Win32Window::SetTag(ControlId control, std::string_view text) {
    rules_.SetTag(control, text);
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

Color Win32Window::ForeColor(ControlId label) const {
    return rules_.ForeColor(label);
}

void Win32Window::SetForeColor(ControlId label, Color color) {
    if (!Valid(label)) {
        return;
    }
    rules_.SetForeColor(label, color);
    const ControlState& state = StateOf(label);
    if (state.hwnd) {
        InvalidateRect(state.hwnd, nullptr, TRUE);
    }
}

int Win32Window::CheckValue(ControlId box) const {
    if (!Valid(box) || !StateOf(box).hwnd) {
        return CheckUnchecked;
    }
    const LRESULT state = SendMessageW(StateOf(box).hwnd, BM_GETCHECK, 0, 0);
    return state == BST_CHECKED ? CheckChecked : CheckUnchecked;
}

void Win32Window::SetCheckValue(ControlId box, int value) {
    if (!Valid(box) || !StateOf(box).hwnd || LayoutOf(box).kind != ControlKind::CheckBox) {
        return;
    }
    const int wanted = value == CheckChecked ? CheckChecked : CheckUnchecked;
    if (CheckValue(box) == wanted) {
        return;
    }
    SendMessageW(StateOf(box).hwnd, BM_SETCHECK,
                 wanted == CheckChecked ? BST_CHECKED : BST_UNCHECKED, 0);
    // As a click by the operator would.
    rules_.Clicked(box);
}

ControlId Win32Window::Focus() const {
    // Hidden or inactive, the window answers with the control that gets the
    // focus back.
    return rules_.FocusOr(ControlOf(GetFocus()));
}

void Win32Window::SetFocus(ControlId control) {
    if (rules_.RememberFocus(control) && shown_ && StateOf(control).hwnd) {
        ::SetFocus(StateOf(control).hwnd);
    }
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
