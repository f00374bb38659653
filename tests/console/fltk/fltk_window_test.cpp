// The FLTK window on a real display (Xvfb will do), driven with the events
// FLTK itself delivers. Without a display every case skips (or fails, where
// a display is required).
#include "display_required.h"
#include "fltk_keys.h"
#include "fltk_window.h"
#include "x11_stacking.h"

#include <FL/Fl.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Window.H>
#include <FL/fl_draw.H>
#include <gtest/gtest.h>
// After GoogleTest: Xlib's macros (None, Bool) would clash with its names.
#include <FL/x.H>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace morlix {
namespace {

using enum ControlId;

class RecordingForm : public FormEvents {
public:
    explicit RecordingForm(Window& window) : window_(window) {}

    void Load() override {
        events.push_back("Load");
        if (onLoad) {
            onLoad();
        }
        if (window_.PrevInstance()) {
            window_.End();
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
    void KeyDown(ControlId box, std::int16_t keyCode, std::int16_t shift) override {
        events.push_back(std::string("KeyDown ") + ControlName(box) + " " +
                         std::to_string(keyCode) + " " + std::to_string(shift));
    }
    void Timer(ControlId timer) override {
        events.push_back(std::string("Timer ") + ControlName(timer));
    }

    std::vector<std::string> events;
    std::function<void(ControlId)> onChange;
    std::function<void()> onLoad;

private:
    Window& window_;
};

using Events = std::vector<std::string>;

class FltkWindowTest : public ::testing::Test {
protected:
    void SetUp() override { MORLIX_NEED_DISPLAY(OpenDisplay(), "no display"); }
    void TearDown() override {
        window.reset();
        form.reset();
    }

    void Build(bool prevInstance = false) {
        window = std::make_unique<FltkWindow>(prevInstance);
        form = std::make_unique<RecordingForm>(*window);
        window->Attach(form.get());
        ASSERT_TRUE(window->Create());
    }
    void Open() {
        Build();
        window->Load();
        Settle();
        form->events.clear();
    }
    static void Settle() {
        for (int i = 0; i < 10; ++i) {
            Fl::check();
        }
    }
    // Runs the event loop for a while, as the program's Fl::run would.
    static void RunFor(double seconds) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) {
            Fl::wait(0.05);
        }
    }

    // A key goes down as the window system reports it.
    int Key(int key, int state = 0, const char* text = "") {
        keyText = text;
        Fl::e_keysym = key;
        Fl::e_state = state;
        Fl::e_text = keyText.data();
        Fl::e_length = static_cast<int>(std::strlen(text));
        return Fl::handle(FL_KEYBOARD, window->Handle());
    }
    void Type(const char* characters) {
        for (const char* c = characters; *c; ++c) {
            const char text[2] = {*c, 0};
            Key(static_cast<unsigned char>(*c), 0, text);
        }
    }
    void Paste(ControlId box, const char* text) {
        keyText = text;
        Fl::e_text = keyText.data();
        Fl::e_length = static_cast<int>(std::strlen(text));
        window->ControlWidget(box)->handle(FL_PASTE);
    }
    // A mouse click at the middle of a control (press and release).
    void ClickOn(ControlId id, int dx = 0) {
        Fl_Widget* widget = window->ControlWidget(id);
        Fl::e_x = widget->x() + widget->w() / 2 + dx;
        Fl::e_y = widget->y() + widget->h() / 2;
        Fl::e_x_root = Fl::e_x + window->Handle()->x();
        Fl::e_y_root = Fl::e_y + window->Handle()->y();
        Fl::e_keysym = FL_Button + 1;
        Fl::e_state = FL_BUTTON1;
        Fl::e_clicks = 0;
        Fl::e_is_click = 1;
        Fl::handle(FL_PUSH, window->Handle());
        Fl::e_state = 0;
        Fl::handle(FL_RELEASE, window->Handle());
    }
    Fl_Input* Input(ControlId box) { return static_cast<Fl_Input*>(window->ControlWidget(box)); }
    int Px(int twips) const { return TwipsToPixels(twips, window->Dpi()); }

    std::unique_ptr<FltkWindow> window;
    std::unique_ptr<RecordingForm> form;
    std::string keyText;
};

TEST_F(FltkWindowTest, BuiltFromTheLayoutTableInWindowCoordinates) {
    Build();
    Fl_Window* main = window->Handle();
    EXPECT_STREQ(main->label(), "Morlix Quadrature Driver");
    EXPECT_EQ(main->w(), Px(7320));
    EXPECT_EQ(main->h(), Px(1800));
    // Nested two frames deep: offsets of Frame4, Frame5 and the box add up.
    Fl_Widget* ampY = window->ControlWidget(txtAmpY);
    EXPECT_EQ(ampY->x(), Px(1785 + 210 + 105));
    EXPECT_EQ(ampY->y(), Px(105 + 315 + 210));
    EXPECT_EQ(ampY->parent(), window->ControlWidget(Frame5));
    EXPECT_EQ(window->ControlWidget(Frame5)->parent(), window->ControlWidget(Frame4));
    EXPECT_STREQ(window->ControlWidget(TxtPhase)->tooltip(),
                 "0 (-90\xC2\xB0) to 255 (+90\xC2\xB0)");
    EXPECT_EQ(window->Text(TxtPhase), "128");
    EXPECT_EQ(window->Caption(lblSerNum), "Looking for USB...");
    EXPECT_EQ(window->ForeColor(lblSerNum), ColorRed);
    EXPECT_EQ(window->ControlOf(ampY), txtAmpY);
    EXPECT_EQ(window->ControlWidget(tmrSN), nullptr);
}

TEST_F(FltkWindowTest, LoadRunsBeforeShowAndFocusStartsOnReset) {
    Build();
    bool shownDuringLoad = true;
    form->onLoad = [this, &shownDuringLoad] { shownDuringLoad = window->Handle()->shown(); };
    window->Load();
    EXPECT_EQ(form->events, Events({"Load"}));
    EXPECT_FALSE(shownDuringLoad);
    Settle();
    EXPECT_TRUE(window->Shown());
    EXPECT_TRUE(window->Handle()->shown());
    EXPECT_EQ(window->Focus(), cmdReset);
    EXPECT_EQ(Fl::focus(), window->ControlWidget(cmdReset));
}

TEST_F(FltkWindowTest, AnotherInstanceEndsInLoadAndNothingIsShown) {
    Build(true);
    window->Load();
    RunFor(1.2);
    EXPECT_TRUE(window->Ended());
    EXPECT_FALSE(window->Handle()->shown());
    EXPECT_EQ(form->events, Events({"Load"})); // and no timer tick
}

TEST_F(FltkWindowTest, ProgramWritesRunTheChangeInsideTheWriteOnceAndUnlimited) {
    Open();
    window->SetText(txtAmpX, "77");
    EXPECT_EQ(form->events, Events({"Change txtAmpX=77"}));
    window->SetText(txtAmpX, "77"); // identical: nothing
    EXPECT_EQ(form->events.size(), 1u);
    window->SetText(txtAmpX, "123456789"); // past the operator's 4
    EXPECT_EQ(window->Text(txtAmpX), "123456789");
    EXPECT_EQ(form->events.back(), "Change txtAmpX=123456789");
    EXPECT_EQ(Input(txtAmpX)->position(), 0); // caret to the start
}

TEST_F(FltkWindowTest, AWriteFromInsideTheChangeRunsNested) {
    Open();
    form->onChange = [this](ControlId box) {
        if (window->Text(box) == "5000") {
            window->SetText(box, "4095");
        }
    };
    window->SetText(txtAmpY, "5000");
    EXPECT_EQ(form->events, Events({"Change txtAmpY=5000", "Change txtAmpY=4095"}));
    EXPECT_EQ(window->Text(txtAmpY), "4095");
}

TEST_F(FltkWindowTest, TypingAndPastingAreHeldToTheBoxLimit) {
    Open();
    window->SetText(txtAmpX, "");
    window->SetFocus(txtAmpX);
    form->events.clear();
    Type("12345");
    EXPECT_EQ(window->Text(txtAmpX), "1234");
    int changes = 0;
    for (const std::string& event : form->events) {
        changes += event.rfind("Change txtAmpX=", 0) == 0;
    }
    EXPECT_EQ(changes, 4); // one per accepted character, none for the refused one

    window->SetText(TxtPhase, "");
    form->events.clear();
    Paste(TxtPhase, "98765");
    EXPECT_EQ(window->Text(TxtPhase), "987");
    EXPECT_EQ(form->events, Events({"Change TxtPhase=987"}));
}

TEST_F(FltkWindowTest, APasteKeepsOnlyTheTextBeforeTheFirstLineBreak) {
    Open();
    Input(txtAmpX)->position(0, Input(txtAmpX)->size());
    Paste(txtAmpX, "12\n34");
    EXPECT_EQ(window->Text(txtAmpX), "12");
    Input(TxtPhase)->position(0, Input(TxtPhase)->size());
    Paste(TxtPhase, "7\r\n8");
    EXPECT_EQ(window->Text(TxtPhase), "7");
    // Nothing before the break: the selection goes all the same.
    Input(txtAmpY)->position(0, Input(txtAmpY)->size());
    Paste(txtAmpY, "\n5");
    EXPECT_EQ(window->Text(txtAmpY), "");
    EXPECT_EQ(form->events, Events({"Change txtAmpX=12", "Change TxtPhase=7", "Change txtAmpY="}));
}

TEST_F(FltkWindowTest, AWriteDuringAKeystrokeIsNotHeldToTheLimit) {
    Open();
    window->SetText(txtAmpX, "");
    window->SetFocus(txtAmpX);
    form->onChange = [this](ControlId box) {
        if (window->Text(box) == "9") {
            window->SetText(box, "123456");
        }
    };
    Type("9");
    EXPECT_EQ(window->Text(txtAmpX), "123456");
    // The box is past its limit now: the operator cannot add to it.
    form->onChange = nullptr;
    Input(txtAmpX)->position(6);
    Type("7");
    EXPECT_EQ(window->Text(txtAmpX), "123456");
}

TEST_F(FltkWindowTest, TheWindowSeesFunctionKeysFirstWhereverTheFocusIs) {
    Open();
    window->SetFocus(txtAmpX);
    form->events.clear();
    EXPECT_EQ(Key(FL_F + 3, FL_SHIFT), 1);
    EXPECT_EQ(form->events, Events({"FormKeyDown 114 1", "KeyDown txtAmpX 114 1"}));

    window->SetFocus(cmdMin);
    form->events.clear();
    Key(FL_F + 12);
    EXPECT_EQ(form->events, Events({"FormKeyDown 123 0"})); // a button has no key handler
}

TEST_F(FltkWindowTest, EscapeNeverClosesTheWindow) {
    Open();
    window->SetFocus(txtAmpY);
    form->events.clear();
    Key(FL_Escape, 0, "\x1b");
    Settle();
    EXPECT_EQ(form->events, Events({"FormKeyDown 27 0", "KeyDown txtAmpY 27 0"}));
    EXPECT_TRUE(window->Handle()->shown());
    // Should Esc reach the window as a shortcut, it still stays.
    Fl::e_number = FL_SHORTCUT;
    Fl::e_keysym = FL_Escape;
    window->Handle()->do_callback();
    EXPECT_TRUE(window->Handle()->shown());
    EXPECT_FALSE(window->Ended());
}

TEST_F(FltkWindowTest, AltF4ClosesTheWindowWithoutReachingAHandlerAndCtrlF4IsF4) {
    Open();
    window->SetFocus(txtAmpX);
    form->events.clear();
    Key(FL_F + 4, FL_CTRL);
    Key(FL_F + 4, FL_CTRL | FL_ALT); // Ctrl with it: a plain F4, as on Windows
    EXPECT_EQ(form->events, Events({"FormKeyDown 115 2", "KeyDown txtAmpX 115 2",
                                    "FormKeyDown 115 6", "KeyDown txtAmpX 115 6"}));
    form->events.clear();
    EXPECT_EQ(Key(FL_F + 4, FL_ALT), 1);
    EXPECT_EQ(form->events, Events({"Unload"}));
    EXPECT_TRUE(window->Ended());
    EXPECT_FALSE(window->Handle()->shown());
}

TEST_F(FltkWindowTest, EntryKeysReachTheBoxHandlerAndHomeEndStillMoveTheCaret) {
    Open();
    window->SetText(TxtPhase, "200");
    window->SetFocus(TxtPhase);
    Input(TxtPhase)->position(1);
    form->events.clear();
    Key(FL_End);
    EXPECT_EQ(form->events, Events({"FormKeyDown 35 0", "KeyDown TxtPhase 35 0"}));
    EXPECT_EQ(Input(TxtPhase)->position(), 3);
    Key(FL_Home);
    EXPECT_EQ(Input(TxtPhase)->position(), 0);
    // Up and Page Down go to the handler, and the focus stays in the box.
    form->events.clear();
    Key(FL_Up);
    Key(FL_Page_Down);
    EXPECT_EQ(form->events, Events({"FormKeyDown 38 0", "KeyDown TxtPhase 38 0", "FormKeyDown 34 0",
                                    "KeyDown TxtPhase 34 0"}));
    EXPECT_EQ(window->Focus(), TxtPhase);
}

TEST_F(FltkWindowTest, TabFollowsTheTableOrder) {
    Open();
    std::vector<ControlId> visited;
    for (int i = 0; i < 10; ++i) {
        Key(FL_Tab);
        visited.push_back(window->Focus());
    }
    EXPECT_EQ(visited, (std::vector<ControlId>{cmdStandby, cmdMin, cmdMedium, cmdMax, txtAmpX,
                                               txtAmpY, TxtPhase, chkOnTop, cmdTriple, cmdReset}));
    Key(FL_Tab, FL_SHIFT);
    EXPECT_EQ(window->Focus(), cmdTriple);
    EXPECT_EQ(Fl::focus(), window->ControlWidget(cmdTriple));
}

TEST_F(FltkWindowTest, ButtonsClickByMouseAndSpace) {
    Open();
    ClickOn(cmdMedium);
    EXPECT_EQ(form->events, Events({"Click cmdMedium"}));
    EXPECT_EQ(window->Focus(), cmdMedium);
    form->events.clear();
    window->SetFocus(cmdTriple);
    Key(' ', 0, " ");
    EXPECT_EQ(form->events, Events({"FormKeyDown 32 0", "Click cmdTriple"}));
}

TEST_F(FltkWindowTest, ACentredBoxTakesClicksWhereItsTextIsDrawn) {
    Open();
    window->SetText(txtAmpX, "12");
    // The text sits in the middle: a click just right of its middle lands
    // inside it, not past its end as a left-aligned box would have it.
    ClickOn(txtAmpX, 1);
    EXPECT_EQ(window->Focus(), txtAmpX);
    EXPECT_EQ(Input(txtAmpX)->position(), 1);
    ClickOn(txtAmpX, -1);
    EXPECT_EQ(Input(txtAmpX)->position(), 1);
}

TEST_F(FltkWindowTest, TheCheckBoxRunsItsClickOnAChangeOnly) {
    Open();
    window->SetCheckValue(chkOnTop, CheckChecked);
    EXPECT_EQ(window->CheckValue(chkOnTop), CheckChecked);
    window->SetCheckValue(chkOnTop, CheckChecked);
    EXPECT_EQ(form->events, Events({"Click chkOnTop"}));
    ClickOn(chkOnTop);
    EXPECT_EQ(window->CheckValue(chkOnTop), CheckUnchecked);
    EXPECT_EQ(form->events, Events({"Click chkOnTop", "Click chkOnTop"}));
}

TEST_F(FltkWindowTest, TheTimerTicksEverySecondOnlyWhileTheWindowIsUp) {
    Build();
    RunFor(1.3); // not loaded yet
    EXPECT_TRUE(form->events.empty());
    window->Load();
    form->events.clear();
    RunFor(2.4);
    EXPECT_EQ(form->events, Events({"Timer tmrSN", "Timer tmrSN"}));
    window->Close();
    form->events.clear();
    RunFor(1.3);
    EXPECT_TRUE(form->events.empty());
}

TEST_F(FltkWindowTest, ClosingUnloadsOnceAndStopsEverything) {
    Open();
    Fl::e_number = FL_CLOSE;
    window->Handle()->do_callback(); // the window manager's close button
    EXPECT_EQ(form->events, Events({"Unload"}));
    EXPECT_TRUE(window->Ended());
    EXPECT_FALSE(window->Handle()->shown());
    window->Close();
    window->SetText(txtAmpX, "5");
    EXPECT_EQ(form->events, Events({"Unload"}));
}

TEST_F(FltkWindowTest, TheSerialNumberLabelShowsItsTextsWholeInTheFontsPresent) {
    Build();
    Fl_Widget* label = window->ControlWidget(lblSerNum);
    // The widest serial number the label can be given, and the text it starts with.
    for (const char* text : {"Looking for USB...", "SN: 4294967295"}) {
        window->SetCaption(lblSerNum, text);
        fl_font(label->labelfont(), label->labelsize());
        EXPECT_LE(fl_width(text), label->w() - 2) << text; // drawn one pixel in from each side
        EXPECT_LE(fl_height() - fl_descent() / 2, label->h()) << text;
    }
}

// Stands in for a window manager as the common ones treat a client that asks
// for static gravity (FLTK does): the client stays where it is and the frame
// is built around it; the client's move requests come to the manager, which
// here only notes them.
class FakeWindowManager {
public:
    static constexpr int Left = 4, Top = 24, Right = 3, Bottom = 5;

    FakeWindowManager() : display_(XOpenDisplay(nullptr)) {}
    // Leaves as a window manager does: the client goes back to the root
    // window, and its frame goes.
    ~FakeWindowManager() {
        if (!display_) {
            return;
        }
        if (frame_) {
            XReparentWindow(display_, client_, DefaultRootWindow(display_), 0, 0);
            XDestroyWindow(display_, frame_);
        }
        XCloseDisplay(display_);
    }

    // Frames the shown window where it stands.
    bool Frame(Fl_Window& window) {
        if (!display_) {
            return false;
        }
        frame_ = XCreateSimpleWindow(display_, DefaultRootWindow(display_), window.x() - Left,
                                     window.y() - Top, window.w() + Left + Right,
                                     window.h() + Top + Bottom, 0, 0, 0);
        client_ = fl_xid(&window);
        XSelectInput(display_, frame_, SubstructureRedirectMask);
        XMapWindow(display_, frame_);
        XReparentWindow(display_, client_, frame_, Left, Top);
        XMapWindow(display_, client_);
        XSync(display_, False);
        return true;
    }

    // Where the client last asked to be moved, within about a second. The
    // move is then made as a window manager makes it: the frame goes where
    // the client is to be, and the client is told.
    std::optional<std::pair<int, int>> MoveAsked() {
        std::optional<std::pair<int, int>> asked;
        for (int i = 0; i < 20 && !asked; ++i) {
            Fl::check();
            XSync(fl_display, False);
            XSync(display_, False);
            XEvent event;
            while (XCheckTypedEvent(display_, ConfigureRequest, &event)) {
                const XConfigureRequestEvent& request = event.xconfigurerequest;
                if (request.value_mask & (CWX | CWY)) {
                    asked = std::make_pair(request.x, request.y);
                }
            }
            if (!asked) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
        if (asked) {
            XMoveWindow(display_, frame_, asked->first - Left, asked->second - Top);
            XEvent notify{};
            notify.xconfigure.type = ConfigureNotify;
            notify.xconfigure.event = client_;
            notify.xconfigure.window = client_;
            notify.xconfigure.x = asked->first;
            notify.xconfigure.y = asked->second;
            XWindowAttributes attributes{};
            XGetWindowAttributes(display_, client_, &attributes);
            notify.xconfigure.width = attributes.width;
            notify.xconfigure.height = attributes.height;
            XSendEvent(display_, client_, False, StructureNotifyMask, &notify);
            XSync(display_, False);
            for (int i = 0; i < 10; ++i) {
                Fl::check();
            }
        }
        return asked;
    }

private:
    Display* display_;
    ::Window frame_ = 0;
    ::Window client_ = 0;
};

TEST_F(FltkWindowTest, GeometryIsTheOuterFrameAndAMovePlacesTheFramesCorner) {
    Open();
    Fl_Window* main = window->Handle();
    const int x = main->x();
    const int y = main->y();
    FakeWindowManager manager;
    ASSERT_TRUE(manager.Frame(*main));
    EXPECT_FALSE(manager.MoveAsked()); // placed by the system: left where it is
    const float dpi = window->Dpi();
    EXPECT_FLOAT_EQ(window->Left(), PixelsToTwips(x - FakeWindowManager::Left, dpi));
    EXPECT_FLOAT_EQ(window->Top(), PixelsToTwips(y - FakeWindowManager::Top, dpi));
    EXPECT_FLOAT_EQ(window->Width(), PixelsToTwips(main->w() + 7, dpi));
    EXPECT_FLOAT_EQ(window->Height(), PixelsToTwips(main->h() + 29, dpi));

    window->SetLeft(PixelsToTwips(200, dpi));
    window->SetTop(PixelsToTwips(300, dpi));
    EXPECT_EQ(manager.MoveAsked(), std::make_pair(204, 324));
    EXPECT_FLOAT_EQ(window->Top(), PixelsToTwips(300, dpi));
    EXPECT_FLOAT_EQ(window->Left(), PixelsToTwips(200, dpi));
}

TEST_F(FltkWindowTest, APlacementMadeBeforeTheFrameExistsKeepsTheFramesCornerThere) {
    Build();
    const float dpi = window->Dpi();
    window->SetLeft(PixelsToTwips(200, dpi));
    window->SetTop(PixelsToTwips(300, dpi));
    window->Load();
    Settle();
    FakeWindowManager manager;
    ASSERT_TRUE(manager.Frame(*window->Handle()));
    // Framed around the client at 200, 300: the client moves in by the frame.
    EXPECT_EQ(manager.MoveAsked(), std::make_pair(204, 324));
    EXPECT_FLOAT_EQ(window->Top(), PixelsToTwips(300, dpi));
    EXPECT_FLOAT_EQ(window->Left(), PixelsToTwips(200, dpi));
}

TEST_F(FltkWindowTest, StackingIsRecordedAndGeometryIsInTwips) {
    Open();
    const float left = window->Left();
    const float top = window->Top();
    EXPECT_EQ(window->SetWindowPos(HwndTopmost, 0, 0, 0, 0, SwpNoSize | SwpNoMove), 1);
    EXPECT_EQ(window->CurrentStacking(), Stacking::Topmost);
    EXPECT_EQ(window->SetWindowPos(HwndBottom, 0, 0, 0, 0, SwpNoSize | SwpNoMove), 1);
    EXPECT_EQ(window->CurrentStacking(), Stacking::Bottom);
    EXPECT_EQ(window->Left(), left);
    EXPECT_EQ(window->Top(), top);

    const float dpi = window->Dpi();
    window->SetLeft(PixelsToTwips(200, dpi));
    window->SetTop(PixelsToTwips(150, dpi));
    Settle();
    EXPECT_EQ(window->Handle()->x(), 200);
    EXPECT_EQ(window->Handle()->y(), 150);
    EXPECT_FLOAT_EQ(window->Left(), PixelsToTwips(200, dpi));
    EXPECT_FLOAT_EQ(window->Top(), PixelsToTwips(150, dpi));
    EXPECT_GE(window->Width(), PixelsToTwips(Px(7320), dpi));
    EXPECT_GT(window->ScreenWidth(), window->Width());
}

} // namespace
} // namespace morlix

// Fontconfig keeps the patterns that FLTK's font cache matched for the life
// of the process; the leak checker of the sanitizer build is told so.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
