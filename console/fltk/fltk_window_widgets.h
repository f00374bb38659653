// The FLTK window's widgets and their painting: the top-level window, the
// entry boxes with their centred text, the labels that draw their captions
// as plain text, the frames, the icon, and the colours and fonts of the
// layout table in FLTK's terms. Only the window's own files use them.
#pragma once

#include "fltk_window.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Input.H>

#include <climits>
#include <string>
#include <string_view>

namespace morlix::widgets {

// What FLTK allows when no limit is wanted: program writes are never cut.
inline constexpr int NoLimit = INT_MAX / 2;

Fl_Color ToFlColor(Color color);
// FLTK font of a table font, and its size in pixels.
Fl_Font FontOf(const FontSpec& font);
int FontSizeOf(const FontSpec& font, float dpi);

// The icon in the three sizes a window manager asks for.
void SetIcons(Fl_Window& window);

// The top-level window: closing it is the operator's unload; Esc never
// closes it (FLTK's default would).
class MainWindow : public Fl_Double_Window {
public:
    MainWindow(int w, int h, const char* caption, FltkWindow& owner)
        : Fl_Double_Window(w, h, caption), owner_(owner) {}

    int handle(int event) override;
    // Every move the window system reports, a window manager's new frame among them.
    void resize(int x, int y, int w, int h) override;

private:
    FltkWindow& owner_;
};

// Any focusable widget that tells the window when it takes the focus.
template <class Base>
class Tracked : public Base {
public:
    Tracked(int x, int y, int w, int h, const char* label, FltkWindow& owner, ControlId id)
        : Base(x, y, w, h, label), owner_(owner), id_(id) {}

    int handle(int event) override {
        const int used = Base::handle(event);
        if (event == FL_FOCUS && used) {
            owner_.FocusTaken(id_);
        }
        return used;
    }

protected:
    FltkWindow& owner_;
    ControlId id_;
};

// A one-line entry box with its text centred, whose operator limit is
// applied only to typing and pasting.
class EntryBox : public Tracked<Fl_Input> {
public:
    using Tracked::Tracked;

    int handle(int event) override;
    void draw() override;

private:
    void TextArea(int& x, int& y, int& w, int& h);
};

// A label draws its caption as plain text: FLTK's '@' symbols and '&'
// marks are not for texts the program writes. It keeps the size the layout
// gives it: a caption wider than that in the label's font, as a wide
// stand-in for the default face may make it, is drawn smaller until it
// shows whole.
class LabelBox : public Fl_Box {
public:
    LabelBox(int x, int y, int w, int h) : Fl_Box(x, y, w, h) {}

    void SetFontSize(int size) {
        fontSize_ = size;
        Fit();
    }
    void SetText(std::string_view text) {
        text_ = text;
        Fit();
        redraw();
    }
    const std::string& Text() const { return text_; }

    void draw() override;

private:
    static constexpr int SmallestFit = 6;

    void Fit();

    std::string text_;
    int fontSize_ = FL_NORMAL_SIZE;
};

// A frame: an engraved edge with its caption set into the top line, over
// its background colour.
class FrameGroup : public Fl_Group {
public:
    FrameGroup(int x, int y, int w, int h, const char* caption)
        : Fl_Group(x, y, w, h), caption_(caption ? caption : "") {}

    void draw() override;

private:
    std::string caption_;
};

} // namespace morlix::widgets
