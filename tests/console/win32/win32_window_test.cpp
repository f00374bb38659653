// The Win32 main window: what its form sees of writes, typing, keys, clicks,
// timer ticks, loading and closing, and where its controls end up.
#include "win32_convert.h"
#include "win32_window.h"
#include "window_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace morlix {
namespace {

// Records every event with the box's text at the moment it arrived.
class RecordingForm : public FormEvents {
public:
    explicit RecordingForm(Win32Window& window) : window_(window) {}

    std::vector<std::string> events;
    std::function<void()> onLoad;
    std::function<void(ControlId)> onChange;

    void Load() override {
        events.push_back("Load");
        if (onLoad) {
            onLoad();
        }
    }
    void Unload() override { events.push_back("Unload"); }
    void Change(ControlId box) override {
        events.push_back(std::string("Change ") + ControlName(box) + "=" + window_.Text(box));
        if (onChange) {
            onChange(box);
        }
    }
    void Click(ControlId control) override {
        events.push_back(std::string("Click ") + ControlName(control));
    }
    void FormKeyDown(std::int16_t keyCode, std::int16_t shift) override {
        events.push_back("FormKeyDown " + std::to_string(keyCode) + " " + std::to_string(shift));
    }
    void KeyDown(ControlId box, std::int16_t keyCode, std::int16_t) override {
        events.push_back(std::string("KeyDown ") + ControlName(box) + " " +
                         std::to_string(keyCode));
    }
    void Timer(ControlId timer) override {
        events.push_back(std::string("Timer ") + ControlName(timer));
    }

private:
    Win32Window& window_;
};

using test::KeyMessage;
using test::Pump;
using test::WindowSystemAvailable;

class Win32WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        MORLIX_NEED_DISPLAY(WindowSystemAvailable(), "no window system here; run under a display");
        window = std::make_unique<Win32Window>(GetModuleHandleW(nullptr), false);
        form = std::make_unique<RecordingForm>(*window);
        window->Attach(form.get());
        ASSERT_TRUE(window->Create());
    }
    void TearDown() override {
        window.reset();
        Pump();
    }

    HWND Box(ControlId id) const { return window->ControlHandle(id); }
    std::wstring WideText(ControlId id) const {
        wchar_t buffer[256] = {};
        GetWindowTextW(Box(id), buffer, 256);
        return buffer;
    }
    void TypeChar(ControlId box, wchar_t c) { SendMessageW(Box(box), WM_CHAR, c, 1); }
    void SelectAll(ControlId box) { SendMessageW(Box(box), EM_SETSEL, 0, -1); }
    DWORD CaretStart(ControlId box) {
        DWORD start = 0;
        DWORD end = 0;
        SendMessageW(Box(box), EM_GETSEL, reinterpret_cast<WPARAM>(&start),
                     reinterpret_cast<LPARAM>(&end));
        return start;
    }

    std::unique_ptr<Win32Window> window;
    std::unique_ptr<RecordingForm> form;
};

// ---- Program writes ------------------------------------------------------------

TEST_F(Win32WindowTest, AProgramWriteRunsTheChangeOnceAndNestedCorrectionsRunInsideIt) {
    form->onChange = [this](ControlId box) {
        if (window->Text(box) == "5000") {
            window->SetText(box, "4095");
            form->events.push_back("correction returned");
        }
    };
    window->SetText(ControlId::txtAmpX, "5000");
    form->events.push_back("write returned");

    EXPECT_EQ(form->events, (std::vector<std::string>{"Change txtAmpX=5000", "Change txtAmpX=4095",
                                                      "correction returned", "write returned"}));
    EXPECT_EQ(window->Text(ControlId::txtAmpX), "4095");
}

TEST_F(Win32WindowTest, WritingTheSameTextRunsNothing) {
    window->SetText(ControlId::TxtPhase, "128"); // its initial text
    window->SetText(ControlId::txtAmpY, "7");
    window->SetText(ControlId::txtAmpY, "7");
    EXPECT_EQ(form->events, (std::vector<std::string>{"Change txtAmpY=7"}));
}

TEST_F(Win32WindowTest, ProgramWritesAreNotHeldToTheTypingLimit) {
    window->SetText(ControlId::TxtPhase, "123456.5");
    EXPECT_EQ(window->Text(ControlId::TxtPhase), "123456.5");
    EXPECT_EQ(form->events, (std::vector<std::string>{"Change TxtPhase=123456.5"}));
}

TEST_F(Win32WindowTest, TextsWithTheDegreeSignReachTheControlsAsUtf16) {
    window->SetCaption(ControlId::lblPhase, "90.4\xC2\xB0");
    EXPECT_EQ(WideText(ControlId::lblPhase), L"90.4\u00B0");
    EXPECT_EQ(window->Caption(ControlId::lblPhase), "90.4\xC2\xB0");
    window->SetText(ControlId::txtAmpX, "\xC2\xB0");
    EXPECT_EQ(WideText(ControlId::txtAmpX), L"\u00B0");
    EXPECT_EQ(window->Text(ControlId::txtAmpX), "\xC2\xB0");
}

// ---- Typing --------------------------------------------------------------------

TEST_F(Win32WindowTest, TypingRunsTheChangePerCharacterAndStopsAtTheLimit) {
    SelectAll(ControlId::txtAmpX);
    for (wchar_t c : std::wstring(L"12345")) {
        TypeChar(ControlId::txtAmpX, c);
    }
    EXPECT_EQ(window->Text(ControlId::txtAmpX), "1234");
    EXPECT_EQ(form->events,
              (std::vector<std::string>{"Change txtAmpX=1", "Change txtAmpX=12",
                                        "Change txtAmpX=123", "Change txtAmpX=1234"}));
}

TEST_F(Win32WindowTest, TypingOverASelectionWithTheSameCharacterRunsNothing) {
    SelectAll(ControlId::txtAmpY); // "0"
    TypeChar(ControlId::txtAmpY, L'0');
    EXPECT_EQ(window->Text(ControlId::txtAmpY), "0");
    EXPECT_TRUE(form->events.empty());
}

// ---- Keys ----------------------------------------------------------------------

TEST_F(Win32WindowTest, TheFormSeesAKeyBeforeTheFocusedBoxAndTheBoxStillMovesItsCaret) {
    SendMessageW(Box(ControlId::txtAmpY), EM_SETSEL, 1, 1);
    MSG home = KeyMessage(Box(ControlId::txtAmpY), VK_HOME);
    const bool consumed = window->PreTranslateMessage(home);
    EXPECT_FALSE(consumed);
    EXPECT_EQ(form->events, (std::vector<std::string>{"FormKeyDown 36 0", "KeyDown txtAmpY 36"}));
    DispatchMessageW(&home);
    EXPECT_EQ(CaretStart(ControlId::txtAmpY), 0u);
}

TEST_F(Win32WindowTest, EscapeReachesTheFormFromAnEditBoxAndIsNotEaten) {
    MSG escape = KeyMessage(Box(ControlId::TxtPhase), VK_ESCAPE);
    window->PreTranslateMessage(escape);
    EXPECT_EQ(form->events, (std::vector<std::string>{"FormKeyDown 27 0", "KeyDown TxtPhase 27"}));
}

TEST_F(Win32WindowTest, KeysOnButtonsAndSystemKeysGoToTheFormOnly) {
    MSG f5 = KeyMessage(Box(ControlId::cmdMin), VK_F5);
    MSG f10 = KeyMessage(Box(ControlId::chkOnTop), VK_F10, WM_SYSKEYDOWN);
    EXPECT_FALSE(window->PreTranslateMessage(f5));
    EXPECT_FALSE(window->PreTranslateMessage(f10));
    EXPECT_EQ(form->events, (std::vector<std::string>{"FormKeyDown 116 0", "FormKeyDown 121 0"}));
}

TEST_F(Win32WindowTest, APasteKeepsOnlyTheTextBeforeTheFirstLineBreak) {
    auto paste = [this](ControlId box, const wchar_t* text) {
        ASSERT_TRUE(OpenClipboard(window->Handle()));
        EmptyClipboard();
        const std::size_t bytes = (std::wcslen(text) + 1) * sizeof(wchar_t);
        HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes);
        ASSERT_NE(memory, nullptr);
        std::memcpy(GlobalLock(memory), text, bytes);
        GlobalUnlock(memory);
        SetClipboardData(CF_UNICODETEXT, memory);
        CloseClipboard();
        SelectAll(box);
        SendMessageW(Box(box), WM_PASTE, 0, 0);
    };
    paste(ControlId::txtAmpX, L"12\n34");
    paste(ControlId::TxtPhase, L"7\r\n8");
    paste(ControlId::txtAmpY, L"\n5");
    EXPECT_EQ(window->Text(ControlId::txtAmpX), "12");
    EXPECT_EQ(window->Text(ControlId::TxtPhase), "7");
    EXPECT_EQ(window->Text(ControlId::txtAmpY), "");
    EXPECT_EQ(form->events, (std::vector<std::string>{"Change txtAmpX=12", "Change TxtPhase=7",
                                                      "Change txtAmpY="}));
}

TEST_F(Win32WindowTest, KeysForOtherWindowsAndOtherMessagesAreLeftAlone) {
    HWND other = CreateWindowExW(0, L"EDIT", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(other, nullptr);
    MSG foreign = KeyMessage(other, VK_F4);
    MSG keyUp = KeyMessage(Box(ControlId::txtAmpX), VK_F4, WM_KEYUP);
    EXPECT_FALSE(window->PreTranslateMessage(foreign));
    EXPECT_FALSE(window->PreTranslateMessage(keyUp));
    EXPECT_TRUE(form->events.empty());
    DestroyWindow(other);
}

// ---- Clicks and the check box --------------------------------------------------

TEST_F(Win32WindowTest, ButtonClicksAndCheckBoxClicksReachTheForm) {
    SendMessageW(Box(ControlId::cmdStandby), BM_CLICK, 0, 0);
    SendMessageW(Box(ControlId::chkOnTop), BM_CLICK, 0, 0);
    EXPECT_EQ(form->events, (std::vector<std::string>{"Click cmdStandby", "Click chkOnTop"}));
    EXPECT_EQ(window->CheckValue(ControlId::chkOnTop), CheckChecked);
}

TEST_F(Win32WindowTest, SettingTheCheckBoxRunsItsClickOnlyWhenTheValueChanges) {
    window->SetCheckValue(ControlId::chkOnTop, CheckUnchecked);
    EXPECT_TRUE(form->events.empty());
    window->SetCheckValue(ControlId::chkOnTop, CheckChecked);
    window->SetCheckValue(ControlId::chkOnTop, CheckChecked);
    EXPECT_EQ(form->events, (std::vector<std::string>{"Click chkOnTop"}));
    EXPECT_EQ(SendMessageW(Box(ControlId::chkOnTop), BM_GETCHECK, 0, 0), BST_CHECKED);
}

// ---- Labels --------------------------------------------------------------------

TEST_F(Win32WindowTest, LabelsArePaintedInTheirForeColorOnTheirFramesColour) {
    HDC dc = CreateCompatibleDC(nullptr);
    ASSERT_NE(dc, nullptr);
    auto colours = [&](ControlId label) {
        HWND hwnd = Box(label);
        SendMessageW(GetParent(hwnd), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                     reinterpret_cast<LPARAM>(hwnd));
        return std::make_pair(static_cast<Color>(GetTextColor(dc)),
                              static_cast<Color>(GetBkColor(dc)));
    };
    EXPECT_EQ(colours(ControlId::lblSerNum).first, ColorRed);
    window->SetForeColor(ControlId::lblSerNum, ColorBlack);
    EXPECT_EQ(colours(ControlId::lblSerNum).first, ColorBlack);

    // lblAmpY sits two frames deep; its parent frame passes the message on.
    window->SetForeColor(ControlId::lblAmpY, ColorRed);
    EXPECT_EQ(colours(ControlId::lblAmpY), std::make_pair(ColorRed, Rgb(192, 255, 255)));
    EXPECT_EQ(colours(ControlId::lblAmpX).second, Rgb(192, 255, 192));
    DeleteDC(dc);
}

// ---- Layout and geometry -------------------------------------------------------

TEST_F(Win32WindowTest, EveryControlSitsAtItsLayoutBoundsInTheClientArea) {
    const int dpiX = window->DpiX();
    const int dpiY = window->DpiY();
    RECT client;
    GetClientRect(window->Handle(), &client);
    EXPECT_EQ(client.right, TwipsToPixels(MainWindowLayout().clientWidth, dpiX));
    EXPECT_EQ(client.bottom, TwipsToPixels(MainWindowLayout().clientHeight, dpiY));

    for (const ControlLayout& control : MainWindowLayout().controls) {
        if (control.kind == ControlKind::Timer) {
            continue;
        }
        HWND hwnd = Box(control.id);
        ASSERT_NE(hwnd, nullptr) << control.name;
        RECT rect;
        GetWindowRect(hwnd, &rect);
        MapWindowPoints(nullptr, window->Handle(), reinterpret_cast<POINT*>(&rect), 2);
        const TwipsRect bounds = WindowBounds(control.id);
        // Nested frames round each offset on its own: a pixel either way.
        EXPECT_NEAR(rect.left, TwipsToPixels(bounds.left, dpiX), 1) << control.name;
        EXPECT_NEAR(rect.top, TwipsToPixels(bounds.top, dpiY), 1) << control.name;
        EXPECT_EQ(rect.right - rect.left, TwipsToPixels(bounds.width, dpiX)) << control.name;
        EXPECT_EQ(rect.bottom - rect.top, TwipsToPixels(bounds.height, dpiY)) << control.name;
    }
    EXPECT_EQ(window->Caption(ControlId::lblSerNum), "Looking for USB...");
    wchar_t caption[64] = {};
    GetWindowTextW(window->Handle(), caption, 64);
    EXPECT_STREQ(caption, L"Morlix Quadrature Driver");
    // This program links the console's resources: the window carries its icon.
    EXPECT_NE(GetClassLongPtrW(window->Handle(), GCLP_HICON), 0);
    EXPECT_NE(GetClassLongPtrW(window->Handle(), GCLP_HICONSM), 0);
}

TEST_F(Win32WindowTest, TheSerialNumberLabelShowsItsTextsWholeInTheFontsPresent) {
    HWND label = Box(ControlId::lblSerNum);
    RECT client;
    GetClientRect(label, &client);
    HDC dc = GetDC(label);
    ASSERT_NE(dc, nullptr);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0)));
    wchar_t face[LF_FACESIZE] = {};
    GetTextFaceW(dc, LF_FACESIZE, face);
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    // The widest serial number the label can be given, and the text it starts with.
    for (const std::string& text :
         {std::string("Looking for USB..."), std::string("SN: 4294967295")}) {
        window->SetCaption(ControlId::lblSerNum, text);
        const std::wstring wide = WideText(ControlId::lblSerNum);
        SIZE extent{};
        ASSERT_TRUE(
            GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &extent));
        EXPECT_LE(extent.cx, client.right) << text << " in " << WideToUtf8(face);
        EXPECT_LE(metrics.tmHeight, client.bottom + metrics.tmInternalLeading) << WideToUtf8(face);
    }
    SelectObject(dc, old);
    ReleaseDC(label, dc);
}

TEST_F(Win32WindowTest, GeometryIsTheOuterWindowRectangleInTwips) {
    window->SetTop(1500);
    window->SetLeft(3000);
    RECT rect;
    GetWindowRect(window->Handle(), &rect);
    EXPECT_EQ(rect.top, TwipsToPixels(1500, window->DpiY()));
    EXPECT_EQ(rect.left, TwipsToPixels(3000, window->DpiX()));
    EXPECT_EQ(window->Top(), PixelsToTwips(rect.top, window->DpiY()));
    EXPECT_EQ(window->Left(), PixelsToTwips(rect.left, window->DpiX()));

    // The outer size includes the caption: taller than the client area.
    EXPECT_EQ(window->Width(), PixelsToTwips(rect.right - rect.left, window->DpiX()));
    EXPECT_GT(window->Height(), static_cast<float>(MainWindowLayout().clientHeight));
    EXPECT_EQ(window->ScreenWidth(), PixelsToTwips(GetSystemMetrics(SM_CXSCREEN), window->DpiX()));
    EXPECT_EQ(window->ScreenHeight(), PixelsToTwips(GetSystemMetrics(SM_CYSCREEN), window->DpiY()));
}

TEST_F(Win32WindowTest, AMinimisedWindowReportsThePlaceItWillBeRestoredTo) {
    window->Load(SW_SHOWNORMAL);
    window->SetTop(900);
    window->SetLeft(1200);
    const float top = window->Top();
    const float left = window->Left();
    ShowWindow(window->Handle(), SW_MINIMIZE);
    ASSERT_TRUE(IsIconic(window->Handle()));
    EXPECT_EQ(window->Top(), top);
    EXPECT_EQ(window->Left(), left);
}

TEST_F(Win32WindowTest, SetWindowPosChangesTheZOrderButNotThePlace) {
    window->Load(SW_SHOWNORMAL);
    window->SetTop(600);
    RECT before;
    GetWindowRect(window->Handle(), &before);
    auto topmost = [this] {
        return (GetWindowLongPtrW(window->Handle(), GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
    };
    EXPECT_NE(window->SetWindowPos(HwndTopmost, 0, 0, 0, 0, SwpNoSize | SwpNoMove), 0);
    EXPECT_TRUE(topmost());
    // The form passes its flags unchanged (no SWP_NOACTIVATE), so where the
    // window ends up in the plain band is the window system's affair; the
    // topmost state must end.
    EXPECT_NE(window->SetWindowPos(HwndBottom, 0, 0, 0, 0, SwpNoSize | SwpNoMove), 0);
    EXPECT_FALSE(topmost());
    RECT after;
    GetWindowRect(window->Handle(), &after);
    EXPECT_TRUE(EqualRect(&before, &after));
}

// ---- Life ----------------------------------------------------------------------

TEST_F(Win32WindowTest, LoadRunsBeforeTheWindowIsShownThenCmdResetHasTheFocus) {
    bool visibleDuringLoad = true;
    form->onLoad = [&] { visibleDuringLoad = IsWindowVisible(window->Handle()) != FALSE; };
    window->Load(SW_SHOWNORMAL);
    EXPECT_FALSE(visibleDuringLoad);
    EXPECT_TRUE(IsWindowVisible(window->Handle()));
    EXPECT_EQ(GetFocus(), Box(ControlId::cmdReset));
    EXPECT_EQ(window->Focus(), ControlId::cmdReset);
}

TEST_F(Win32WindowTest, EndingDuringLoadShowsNothingAndSavesNothing) {
    form->onLoad = [&] { window->End(); };
    window->Load(SW_SHOWNORMAL);
    EXPECT_TRUE(window->Ended());
    EXPECT_EQ(window->Handle(), nullptr);
    Pump();
    EXPECT_EQ(form->events, (std::vector<std::string>{"Load"}));
}

TEST_F(Win32WindowTest, ClosingRunsUnloadOnceWhileTheWindowStillHasItsPlace) {
    window->Load(SW_SHOWNORMAL);
    window->SetTop(900);
    float topAtUnload = -1;
    struct UnloadProbe : RecordingForm {
        using RecordingForm::RecordingForm;
        std::function<void()> onUnload;
        void Unload() override {
            RecordingForm::Unload();
            onUnload();
        }
    };
    UnloadProbe probe(*window);
    probe.onUnload = [&] { topAtUnload = window->Top(); };
    window->Attach(&probe);
    SendMessageW(window->Handle(), WM_CLOSE, 0, 0);
    EXPECT_EQ(window->Handle(), nullptr);
    EXPECT_EQ(probe.events, (std::vector<std::string>{"Unload"}));
    EXPECT_EQ(topAtUnload, PixelsToTwips(TwipsToPixels(900, window->DpiY()), window->DpiY()));
    window->Attach(form.get());
}

TEST_F(Win32WindowTest, TabMovesTheFocusInTabOrderAndIsNotPassedOn) {
    window->Load(SW_SHOWNORMAL);
    std::vector<std::string> order;
    for (int i = 0; i < 10; ++i) {
        MSG tab = KeyMessage(GetFocus(), VK_TAB);
        EXPECT_TRUE(window->PreTranslateMessage(tab));
        order.push_back(ControlName(window->Focus()));
    }
    EXPECT_EQ(order, (std::vector<std::string>{"cmdStandby", "cmdMin", "cmdMedium", "cmdMax",
                                               "txtAmpX", "txtAmpY", "TxtPhase", "chkOnTop",
                                               "cmdTriple", "cmdReset"}));
    EXPECT_TRUE(form->events.size() == 1 && form->events[0] == "Load"); // no key events
}

TEST_F(Win32WindowTest, TheTimerTicksOnThisThreadOnlyOnceTheWindowIsShown) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < 1300) {
        Pump();
        Sleep(20);
    }
    EXPECT_EQ(form->events.size(), 0u) << "ticked before load";

    window->Load(SW_SHOWNORMAL);
    const DWORD loaded = GetTickCount();
    int ticks = 0;
    while (GetTickCount() - loaded < 2600 && ticks < 2) {
        Pump();
        Sleep(20);
        ticks = static_cast<int>(
            std::count(form->events.begin(), form->events.end(), std::string("Timer tmrSN")));
    }
    const DWORD elapsed = GetTickCount() - loaded;
    EXPECT_EQ(ticks, 2);
    EXPECT_GE(elapsed, 1900u); // about 1000 ms apart
}

} // namespace
} // namespace morlix
