#include "fltk_window_widgets.h"

#include "fltk_keys.h"
#include "icon.h"

#include <FL/Fl_RGB_Image.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace morlix::widgets {

namespace {

// Point size of the default font; the frame and button fonts come from the table.
constexpr double DefaultPoints = 8.25;
// Pixels kept free after a centred text for the caret.
constexpr int CaretRoom = 3;

} // namespace

Fl_Color ToFlColor(Color color) {
    return fl_rgb_color(static_cast<uchar>(color & 0xFF), static_cast<uchar>((color >> 8) & 0xFF),
                        static_cast<uchar>((color >> 16) & 0xFF));
}

// The Windows faces are asked of fontconfig by name, which substitutes their
// metric twins (Arial for the dialog face); without those, fontconfig's
// default sans face stands in.
Fl_Font FontOf(const FontSpec& font) {
    static bool facesSet = false;
    if (!facesSet) {
        Fl::set_font(FL_FREE_FONT, " Arial Narrow");
        Fl::set_font(FL_FREE_FONT + 1, " Arial");
        Fl::set_font(FL_FREE_FONT + 2, "BArial");
        facesSet = true;
    }
    if (font.face && std::string_view(font.face) == "Arial Narrow") {
        return FL_FREE_FONT;
    }
    return font.bold ? FL_FREE_FONT + 2 : FL_FREE_FONT + 1;
}

int FontSizeOf(const FontSpec& font, float dpi) {
    return FontPixels(font.face && font.points > 0 ? font.points : DefaultPoints, dpi);
}

// The pixels live as long as the program: FLTK may hold on to them.
void SetIcons(Fl_Window& window) {
    static const std::vector<std::uint8_t> pixels[] = {IconPixels(48), IconPixels(32),
                                                       IconPixels(16)};
    static Fl_RGB_Image big(pixels[0].data(), 48, 48, 4);
    static Fl_RGB_Image medium(pixels[1].data(), 32, 32, 4);
    static Fl_RGB_Image small(pixels[2].data(), 16, 16, 4);
    const Fl_RGB_Image* images[] = {&big, &medium, &small};
    window.icons(images, 3);
}

// ---- MainWindow ------------------------------------------------------------

int MainWindow::handle(int event) {
    if (event == FL_FOCUS && owner_.RestoreFocus()) {
        return 1;
    }
    return Fl_Double_Window::handle(event);
}

void MainWindow::resize(int x, int y, int w, int h) {
    Fl_Double_Window::resize(x, y, w, h);
    owner_.FrameChanged();
}

// ---- EntryBox --------------------------------------------------------------

int EntryBox::handle(int event) {
    int used = 0;
    switch (event) {
    case FL_KEYBOARD:
    case FL_PASTE: {
        const int saved = maximum_size();
        const int limit = WindowRules::OperatorLimit(id_);
        maximum_size(limit > 0 ? limit : NoLimit);
        // A one-line box takes a paste up to its first line break; with
        // nothing before it, the paste still replaces the selection.
        const int length = Fl::e_length;
        if (event == FL_PASTE && Fl::e_text) {
            Fl::e_length = static_cast<int>(
                WindowRules::PastedLine(std::string_view(Fl::e_text, length)).size());
        }
        if (event == FL_PASTE && Fl::e_text && Fl::e_length == 0 && length > 0) {
            cut();
            used = 1;
        } else {
            used = Tracked::handle(event);
        }
        Fl::e_length = length;
        maximum_size(saved);
        break;
    }
    case FL_PUSH:
    case FL_DRAG:
    case FL_RELEASE: {
        // The text sits in the middle: mouse positions are taken
        // against where it is drawn.
        if (event == FL_PUSH && Fl::focus() != this) {
            Fl::focus(this);
            handle(FL_FOCUS);
        }
        int x, y, w, h;
        TextArea(x, y, w, h);
        used = handletext(event, x, y, w, h);
        break;
    }
    default:
        used = Tracked::handle(event);
        break;
    }
    // The text's place moves with its length: draw it whole.
    redraw();
    return used;
}

void EntryBox::draw() {
    if (input_type() == FL_HIDDEN_INPUT) {
        return;
    }
    draw_box(box(), color());
    int x, y, w, h;
    TextArea(x, y, w, h);
    drawtext(x, y, w, h);
}

void EntryBox::TextArea(int& x, int& y, int& w, int& h) {
    const Fl_Boxtype frame = box();
    x = this->x() + Fl::box_dx(frame);
    y = this->y() + Fl::box_dy(frame);
    w = this->w() - Fl::box_dw(frame);
    h = this->h() - Fl::box_dh(frame);
    fl_font(textfont(), textsize());
    // The text is drawn from the area's left edge; the caret needs a
    // little room past its end.
    const int textWidth = static_cast<int>(fl_width(value(), size()));
    if (textWidth + CaretRoom < w) {
        x += (w - textWidth) / 2;
        w = textWidth + CaretRoom;
    }
}

// ---- LabelBox --------------------------------------------------------------

void LabelBox::draw() {
    draw_box();
    fl_font(labelfont(), labelsize());
    fl_color(labelcolor());
    fl_draw(text_.c_str(), x() + 1, y(), w() - 2, h(),
            static_cast<Fl_Align>(align() | FL_ALIGN_INSIDE | FL_ALIGN_CLIP), nullptr, 0);
}

void LabelBox::Fit() {
    int size = fontSize_;
    fl_font(labelfont(), size);
    while (size > SmallestFit && fl_width(text_.c_str()) > w() - 2) {
        fl_font(labelfont(), --size);
    }
    labelsize(size);
}

// ---- FrameGroup ------------------------------------------------------------

void FrameGroup::draw() {
    if (damage() & ~FL_DAMAGE_CHILD) {
        fl_rectf(x(), y(), w(), h(), color());
        fl_font(labelfont(), labelsize());
        const int textHeight = fl_height();
        fl_draw_box(FL_ENGRAVED_FRAME, x(), y() + textHeight / 2, w(), h() - textHeight / 2,
                    color());
        if (!caption_.empty()) {
            const int inset = 6;
            const int pad = 2;
            const int textWidth = static_cast<int>(fl_width(caption_.c_str()));
            fl_rectf(x() + inset - pad, y(), std::min(textWidth + 2 * pad, w() - inset), textHeight,
                     color());
            fl_color(labelcolor());
            fl_draw(caption_.c_str(), x() + inset, y(), w() - 2 * inset, textHeight,
                    static_cast<Fl_Align>(FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_CLIP), nullptr,
                    0);
        }
    }
    draw_children();
}

} // namespace morlix::widgets
