// The Win32 window's painting: the frames, the drawn buttons, the labels'
// colours and fonts, and the GDI objects they need.
#include "win32_window.h"

#include "win32_convert.h"

#include <algorithm>
#include <cwchar>

namespace morlix {

namespace {

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

} // namespace

std::wstring Win32Window::SystemMessageFace() {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0) &&
        metrics.lfMessageFont.lfFaceName[0] != L'\0') {
        return metrics.lfMessageFont.lfFaceName;
    }
    return L"MS Shell Dlg";
}

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

} // namespace morlix
