// window-probe: watches the console's real window from outside, as an operator would see it:
// the serial-number label's text (read from the control) and its colour (read from the pixels
// the label shows on the screen).
//
//   window-probe label TEXT COLOUR SECONDS   wait until the label reads TEXT in COLOUR
//                                            (black or red); exit 1 if it does not in time
//   window-probe close SECONDS               close the window as its close box does, and wait
//                                            until the program has ended
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const wchar_t kMainClass[] = L"MorlixFormMain";
const wchar_t kCaption[] = L"Morlix Quadrature Driver";

HWND MainWindow() {
    return FindWindowW(kMainClass, kCaption);
}

std::string TextOf(HWND hwnd) {
    wchar_t text[256] = {};
    GetWindowTextW(hwnd, text, 255);
    char narrow[512] = {};
    WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, sizeof narrow - 1, nullptr, nullptr);
    return narrow;
}

struct Search {
    HWND found;
};

// The serial-number label: the static control that reads "SN: ..." or its first text.
BOOL CALLBACK FindLabel(HWND hwnd, LPARAM context) {
    wchar_t cls[32] = {};
    GetClassNameW(hwnd, cls, 31);
    if (_wcsicmp(cls, L"Static") != 0) {
        return TRUE;
    }
    const std::string text = TextOf(hwnd);
    if (text.rfind("SN: ", 0) == 0 || text == "Looking for USB...") {
        reinterpret_cast<Search*>(context)->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

struct Pixels {
    int red = 0;  // pure red as the label draws it, give or take smoothing
    int dark = 0; // black
    int total = 0;
};

// Counts the label's red and black pixels as the screen shows them.
bool ReadPixels(HWND label, Pixels& out) {
    RECT r{};
    if (!GetWindowRect(label, &r) || r.right <= r.left || r.bottom <= r.top) {
        return false;
    }
    const int width = r.right - r.left;
    const int height = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool ok = false;
    if (bitmap && bits) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        ok = BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY) != 0;
        GdiFlush();
        SelectObject(memory, old);
        const auto* p = static_cast<const unsigned char*>(bits);
        for (int i = 0; ok && i < width * height; ++i) {
            const int b = p[4 * i], g = p[4 * i + 1], red = p[4 * i + 2];
            out.red += red >= 200 && g <= 90 && b <= 90;
            out.dark += red <= 70 && g <= 70 && b <= 70;
        }
        out.total = width * height;
    }
    if (bitmap) {
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return ok;
}

const char* ColourOf(const Pixels& p) {
    // Text pixels of one colour, and hardly any of the other.
    if (p.dark >= 5 && p.red * 10 <= p.dark) {
        return "black";
    }
    if (p.red >= 5 && p.dark * 10 <= p.red) {
        return "red";
    }
    return "unclear";
}

int WaitLabel(const std::string& text, const std::string& colour, DWORD seconds) {
    const DWORD start = GetTickCount();
    std::string seenText = "(no window)";
    const char* seenColour = "unclear";
    Pixels pixels;
    for (;;) {
        if (HWND main = MainWindow()) {
            Search search{nullptr};
            EnumChildWindows(main, FindLabel, reinterpret_cast<LPARAM>(&search));
            if (search.found) {
                seenText = TextOf(search.found);
                pixels = Pixels{};
                seenColour = ReadPixels(search.found, pixels) ? ColourOf(pixels) : "unreadable";
                if (seenText == text && colour == seenColour) {
                    break;
                }
            } else {
                seenText = "(no label)";
            }
        }
        if (GetTickCount() - start > seconds * 1000) {
            std::printf("FAIL label reads \"%s\" in %s after %lu ms (wanted \"%s\" in %s; red "
                        "pixels %d, black %d of %d)\n",
                        seenText.c_str(), seenColour, GetTickCount() - start, text.c_str(),
                        colour.c_str(), pixels.red, pixels.dark, pixels.total);
            return 1;
        }
        Sleep(100);
    }
    std::printf("ok   label reads \"%s\" in %s after %lu ms (red pixels %d, black %d of %d)\n",
                seenText.c_str(), seenColour, GetTickCount() - start, pixels.red, pixels.dark,
                pixels.total);
    return 0;
}

int Close(DWORD seconds) {
    HWND main = MainWindow();
    if (!main) {
        std::printf("FAIL no window to close\n");
        return 1;
    }
    DWORD process = 0;
    GetWindowThreadProcessId(main, &process);
    HANDLE handle = OpenProcess(SYNCHRONIZE, FALSE, process);
    PostMessageW(main, WM_CLOSE, 0, 0);
    const DWORD wait = handle ? WaitForSingleObject(handle, seconds * 1000) : WAIT_FAILED;
    if (handle) {
        CloseHandle(handle);
    }
    if (wait != WAIT_OBJECT_0) {
        std::printf("FAIL the console did not end within %lu s\n", seconds);
        return 1;
    }
    std::printf("ok   the console closed\n");
    return 0;
}

bool ParseSeconds(const char* text, DWORD& seconds) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (!*text || *end || value == 0 || value > 600) {
        return false;
    }
    seconds = value;
    return true;
}

int Usage() {
    std::fprintf(stderr, "usage: window-probe label TEXT black|red SECONDS\n"
                         "       window-probe close SECONDS\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    DWORD seconds = 0;
    if (argc == 5 && std::strcmp(argv[1], "label") == 0 &&
        (std::strcmp(argv[3], "black") == 0 || std::strcmp(argv[3], "red") == 0) &&
        ParseSeconds(argv[4], seconds)) {
        return WaitLabel(argv[2], argv[3], seconds);
    }
    if (argc == 3 && std::strcmp(argv[1], "close") == 0 && ParseSeconds(argv[2], seconds)) {
        return Close(seconds);
    }
    return Usage();
}
