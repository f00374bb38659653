#include "fltk_window.h"

#include "fltk_keys.h"
#include "icon.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/Fl_Tooltip.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <climits>
#include <vector>

namespace morlix {

namespace {

// Point size of the default font; the frame and button fonts come from the table.
constexpr double DefaultPoints = 8.25;
// What FLTK allows when no limit is wanted: program writes are never cut.
constexpr int NoLimit = INT_MAX / 2;
// Pixels kept free after a centred text for the caret.
constexpr int CaretRoom = 3;

// The one window that routes the keyboard, and the dispatcher it replaced.
FltkWindow* activeWindow = nullptr;
Fl_Event_Dispatch previousDispatch = nullptr;

Fl_Color ToFlColor(Color color) {
    return fl_rgb_color(static_cast<uchar>(color & 0xFF), static_cast<uchar>((color >> 8) & 0xFF),
                        static_cast<uchar>((color >> 16) & 0xFF));
}

// FLTK font of a table font. The Windows faces are asked of fontconfig by
// name, which substitutes their metric twins (Arial for the dialog face);
// without those, fontconfig's default sans face stands in.
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

int Dispatch(int event, Fl_Window* window) {
    if (event == FL_KEYBOARD && activeWindow && window && activeWindow->Handle() &&
        (window == activeWindow->Handle() || window->top_window() == activeWindow->Handle())) {
        if (activeWindow->PreviewKey(Fl::event_key(), Fl::event_state())) {
            return 1;
        }
    }
    return previousDispatch ? previousDispatch(event, window) : Fl::handle_(event, window);
}

// ---- Widgets ---------------------------------------------------------------

// The top-level window: closing it is the operator's unload; Esc never
// closes it (FLTK's default would).
class MainWindow : public Fl_Double_Window {
public:
    MainWindow(int w, int h, const char* caption, FltkWindow& owner)
        : Fl_Double_Window(w, h, caption), owner_(owner) {}

    int handle(int event) override {
        if (event == FL_FOCUS && owner_.RestoreFocus()) {
            return 1;
        }
        return Fl_Double_Window::handle(event);
    }

    // Every move the window system reports, a window manager's new frame among them.
    void resize(int x, int y, int w, int h) override {
        Fl_Double_Window::resize(x, y, w, h);
        owner_.FrameChanged();
    }

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

    int handle(int event) override {
        int used = 0;
        switch (event) {
        case FL_KEYBOARD:
        case FL_PASTE: {
            const int saved = maximum_size();
            const int limit = owner_.OperatorLimit(id_);
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

    void draw() override {
        if (input_type() == FL_HIDDEN_INPUT) {
            return;
        }
        draw_box(box(), color());
        int x, y, w, h;
        TextArea(x, y, w, h);
        drawtext(x, y, w, h);
    }

private:
    void TextArea(int& x, int& y, int& w, int& h) {
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

    void draw() override {
        draw_box();
        fl_font(labelfont(), labelsize());
        fl_color(labelcolor());
        fl_draw(text_.c_str(), x() + 1, y(), w() - 2, h(),
                static_cast<Fl_Align>(align() | FL_ALIGN_INSIDE | FL_ALIGN_CLIP), nullptr, 0);
    }

private:
    static constexpr int SmallestFit = 6;

    void Fit() {
        int size = fontSize_;
        fl_font(labelfont(), size);
        while (size > SmallestFit && fl_width(text_.c_str()) > w() - 2) {
            fl_font(labelfont(), --size);
        }
        labelsize(size);
    }

    std::string text_;
    int fontSize_ = FL_NORMAL_SIZE;
};

// A frame: an engraved edge with its caption set into the top line, over
// its background colour.
class FrameGroup : public Fl_Group {
public:
    FrameGroup(int x, int y, int w, int h, const char* caption)
        : Fl_Group(x, y, w, h), caption_(caption ? caption : "") {}

    void draw() override {
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
                fl_rectf(x() + inset - pad, y(), std::min(textWidth + 2 * pad, w() - inset),
                         textHeight, color());
                fl_color(labelcolor());
                fl_draw(caption_.c_str(), x() + inset, y(), w() - 2 * inset, textHeight,
                        static_cast<Fl_Align>(FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_CLIP),
                        nullptr, 0);
            }
        }
        draw_children();
    }

private:
    std::string caption_;
};

void WidgetClicked(Fl_Widget* widget, void* owner) {
    auto* window = static_cast<FltkWindow*>(owner);
    window->Clicked(window->ControlOf(widget));
}

void BoxEdited(Fl_Widget* widget, void* owner) {
    auto* window = static_cast<FltkWindow*>(owner);
    window->TextEdited(window->ControlOf(widget));
}

// The icon in the three sizes a window manager asks for. The pixels live as
// long as the program: FLTK may hold on to them.
void SetIcons(Fl_Window& window) {
    static const std::vector<std::uint8_t> pixels[] = {IconPixels(48), IconPixels(32),
                                                       IconPixels(16)};
    static Fl_RGB_Image big(pixels[0].data(), 48, 48, 4);
    static Fl_RGB_Image medium(pixels[1].data(), 32, 32, 4);
    static Fl_RGB_Image small(pixels[2].data(), 16, 16, 4);
    const Fl_RGB_Image* images[] = {&big, &medium, &small};
    window.icons(images, 3);
}

void CloseClicked(Fl_Widget*, void* owner) {
    static_cast<FltkWindow*>(owner)->CloseRequested();
}

} // namespace

// ---- Creation ----------------------------------------------------------------

FltkWindow::FltkWindow(bool prevInstance)
    : prevInstance_(prevInstance), rules_(MainWindowLayout(), [this] { return Live(); }) {}

FltkWindow::~FltkWindow() {
    // The form may already be gone; taking the window apart must not call it.
    rules_.Attach(nullptr);
    StopTimers();
    if (activeWindow == this) {
        Fl::event_dispatch(previousDispatch);
        previousDispatch = nullptr;
        activeWindow = nullptr;
    }
    if (window_) {
        window_->hide();
    }
    window_.reset();
}

bool FltkWindow::Create() {
    if (window_ || ended_) {
        return window_ != nullptr;
    }
    if (activeWindow) {
        return false; // one console window per process
    }
    fl_open_display();
    float h = 0, v = 0;
    Fl::screen_dpi(h, v, 0);
    dpi_ = UsableDpi(v > 0 ? v : h);

    const WindowLayout& layout = MainWindowLayout();
    window_ = std::make_unique<MainWindow>(TwipsToPixels(layout.clientWidth, dpi_),
                                           TwipsToPixels(layout.clientHeight, dpi_), layout.caption,
                                           *this);
    window_->callback(CloseClicked, this);
    window_->xclass("morlix");
    Fl_Tooltip::font(FontOf(FontSpec{}));
    Fl_Tooltip::size(FontSizeOf(FontSpec{}, dpi_));
    SetIcons(*window_);
    window_->labelfont(FL_HELVETICA);
    // A fixed-size window: the layout does not stretch.
    window_->size_range(window_->w(), window_->h(), window_->w(), window_->h());

    // Frames hold their children, so a control is made once its parent
    // exists; the table lists some children before their frames. Within a
    // group FLTK draws in the order of adding, which is the table's order.
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
            Fl_Group* parent = control.parent == ControlId::FormWindow
                                   ? static_cast<Fl_Group*>(window_.get())
                                   : static_cast<Fl_Group*>(StateOf(control.parent).widget);
            Fl_Group::current(nullptr);
            Fl_Widget* widget = MakeControl(control);
            if (widget) {
                parent->add(widget);
            }
            made[index] = true;
            progress = true;
        }
    }
    Fl_Group::current(nullptr);

    activeWindow = this;
    previousDispatch = Fl::event_dispatch();
    Fl::event_dispatch(Dispatch);
    return true;
}

Fl_Widget* FltkWindow::MakeControl(const ControlLayout& control) {
    ControlState& state = StateOf(control.id);
    if (control.kind == ControlKind::Timer) {
        timers_[static_cast<std::size_t>(control.id)] = {this, control.id,
                                                         control.intervalMs / 1000.0, false};
        return nullptr;
    }
    const TwipsRect bounds = WindowBounds(control.id);
    const int x = TwipsToPixels(bounds.left, dpi_);
    const int y = TwipsToPixels(bounds.top, dpi_);
    const int w = TwipsToPixels(bounds.width, dpi_);
    const int h = TwipsToPixels(bounds.height, dpi_);
    const Fl_Color back = static_cast<Fl_Color>(BackColorOf(control.id));
    const Fl_Font font = FontOf(control.font);
    const int size = FontSizeOf(control.font, dpi_);
    const Fl_Align centred = control.align == TextAlign::Center ? FL_ALIGN_CENTER : FL_ALIGN_LEFT;

    Fl_Widget* widget = nullptr;
    switch (control.kind) {
    case ControlKind::CommandButton: {
        auto* button = new Tracked<Fl_Button>(x, y, w, h, control.text, *this, control.id);
        button->box(FL_UP_BOX);
        button->down_box(FL_DOWN_BOX);
        button->color(back, back);
        button->align(FL_ALIGN_CENTER | FL_ALIGN_INSIDE | FL_ALIGN_WRAP | FL_ALIGN_CLIP);
        button->labelfont(font);
        button->labelsize(size);
        button->callback(WidgetClicked, this);
        widget = button;
        break;
    }
    case ControlKind::TextBox: {
        auto* box = new EntryBox(x, y, w, h, nullptr, *this, control.id);
        box->box(FL_DOWN_BOX);
        box->textfont(font);
        box->textsize(size);
        box->maximum_size(NoLimit);
        box->value(rules_.Text(control.id).c_str());
        box->position(0);
        box->when(FL_WHEN_CHANGED);
        box->callback(BoxEdited, this);
        widget = box;
        break;
    }
    case ControlKind::Label: {
        auto* label = new LabelBox(x, y, w, h);
        label->box(FL_FLAT_BOX);
        label->color(back);
        label->align(centred);
        label->labelfont(font);
        label->SetFontSize(size);
        label->labelcolor(ToFlColor(rules_.ForeColor(control.id)));
        label->SetText(rules_.Caption(control.id));
        widget = label;
        break;
    }
    case ControlKind::Frame: {
        auto* frame = new FrameGroup(x, y, w, h, control.text);
        frame->color(back);
        frame->labelfont(font);
        frame->labelsize(size);
        frame->end();
        widget = frame;
        break;
    }
    case ControlKind::CheckBox: {
        auto* check = new Tracked<Fl_Check_Button>(x, y, w, h, control.text, *this, control.id);
        check->color(back);
        check->labelfont(font);
        check->labelsize(size);
        check->value(control.checkValue == CheckChecked ? 1 : 0);
        check->callback(WidgetClicked, this);
        widget = check;
        break;
    }
    case ControlKind::Timer:
        break;
    }
    if (widget && control.toolTip) {
        widget->tooltip(control.toolTip); // the table's texts live as long as the program
    }
    state.widget = widget;
    return widget;
}

unsigned FltkWindow::BackColorOf(ControlId id) const {
    // The nearest control with a colour of its own; the window's own
    // background is FLTK's.
    for (int depth = 0; Valid(id) && depth < ControlCount; ++depth) {
        const ControlLayout& layout = LayoutOf(id);
        if (layout.hasBackColor) {
            return ToFlColor(layout.backColor);
        }
        id = layout.parent;
    }
    return FL_BACKGROUND_COLOR;
}

// ---- Life ------------------------------------------------------------------

void FltkWindow::Load() {
    if (!Live()) {
        return;
    }
    if (FormEvents* form = rules_.Form()) {
        form->Load();
    }
    if (!Live()) {
        return; // the form ended the program: nothing is shown
    }
    window_->show();
    shown_ = true;
    // Let the window system map it before the stacking request.
    Fl::flush();
    if (stacking_ != Stacking::Normal) {
        ApplyStacking(*window_, stacking_);
    }
    if (Fl_Widget* focus = ControlWidget(rules_.LastFocus())) {
        focus->take_focus();
    }
    StartTimers();
}

void FltkWindow::Close() {
    if (!Live()) {
        return;
    }
    RunUnload();
    End();
}

void FltkWindow::CloseRequested() {
    if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape) {
        return; // Esc is the Reset key here, never "close"
    }
    Close();
}

void FltkWindow::End() {
    ended_ = true;
    shown_ = false;
    StopTimers();
    if (window_) {
        window_->hide();
    }
}

void FltkWindow::RunUnload() {
    if (unloaded_ || ended_ || !window_) {
        return;
    }
    unloaded_ = true;
    if (FormEvents* form = rules_.Form()) {
        form->Unload();
    }
}

void FltkWindow::StartTimers() {
    for (TimerSlot& slot : timers_) {
        if (slot.owner && slot.seconds > 0 && !slot.running) {
            slot.running = true;
            Fl::add_timeout(slot.seconds, TimerThunk, &slot);
        }
    }
}

void FltkWindow::StopTimers() {
    for (TimerSlot& slot : timers_) {
        if (slot.running) {
            Fl::remove_timeout(TimerThunk, &slot);
            slot.running = false;
        }
    }
}

void FltkWindow::TimerThunk(void* data) {
    auto* slot = static_cast<TimerSlot*>(data);
    // Re-armed first, so the interval does not stretch by the handler's time;
    // a handler that ends the program removes it again.
    Fl::repeat_timeout(slot->seconds, TimerThunk, slot);
    slot->owner->TimerTick(slot->id);
}

void FltkWindow::TimerTick(ControlId timer) {
    rules_.Ticked(timer, shown_);
}

// ---- Events from the widgets -------------------------------------------------

void FltkWindow::TextEdited(ControlId box) {
    if (IsTextBox(box)) {
        rules_.TextShown(box, static_cast<Fl_Input*>(StateOf(box).widget)->value());
    }
}

void FltkWindow::Clicked(ControlId control) {
    rules_.Clicked(control);
}

void FltkWindow::FocusTaken(ControlId control) {
    rules_.RememberFocus(control);
}

bool FltkWindow::RestoreFocus() {
    Fl_Widget* widget = ControlWidget(rules_.LastFocus());
    return widget && widget->visible() && widget->take_focus();
}

int FltkWindow::OperatorLimit(ControlId box) const {
    return WindowRules::OperatorLimit(box);
}

bool FltkWindow::PreviewKey(int fltkKey, int fltkState) {
    if (!Live()) {
        return false;
    }
    const std::int16_t shift = ShiftStateOf(fltkState);
    if (fltkKey == FL_Tab && (shift & (CtrlMask | AltMask)) == 0) {
        SetFocus(rules_.NextInTabOrder(Focus(), (shift & ShiftMask) != 0));
        return true;
    }
    const std::int16_t keyCode = VirtualKeyOf(fltkKey);
    if (keyCode == 0) {
        return false;
    }
    if (WindowRules::ClosesWindow(keyCode, shift)) {
        Close(); // where the window manager leaves the key to the window
        return true;
    }
    // The key belongs to the control that had the focus when it went down,
    // even if the form's handler moves the focus.
    const ControlId target = Focus();
    if (!rules_.KeyDown(target, keyCode, shift)) {
        return true;
    }
    switch (keyCode) {
    case KeyF1:
    case KeyF2:
    case KeyF3:
    case KeyF4:
    case KeyF5:
    case KeyEscape:
        return true; // done with; Esc in particular must not reach FLTK's "close"
    case KeyArrowUp:
    case KeyArrowDown:
    case KeyPageUp:
    case KeyPageDown:
        // A one-line box has no lines to move between; FLTK would pass the
        // key on and move the focus to a neighbour.
        return IsTextBox(target);
    default:
        return false; // the control still gets it: Home and End move the caret
    }
}

// ---- Lookup ----------------------------------------------------------------

bool FltkWindow::IsTextBox(ControlId id) const {
    return WindowRules::IsTextBox(id) && StateOf(id).widget;
}

Fl_Window* FltkWindow::Handle() const {
    return window_.get();
}

Fl_Widget* FltkWindow::ControlWidget(ControlId id) const {
    return Valid(id) ? StateOf(id).widget : nullptr;
}

ControlId FltkWindow::ControlOf(const Fl_Widget* widget) const {
    if (!widget) {
        return ControlId::FormWindow;
    }
    for (std::size_t i = 0; i < controls_.size(); ++i) {
        if (controls_[i].widget == widget) {
            return static_cast<ControlId>(i);
        }
    }
    return ControlId::FormWindow;
}

// ---- Window: controls ------------------------------------------------------

std::string FltkWindow::Text(ControlId box) const {
    if (!IsTextBox(box)) {
        return {};
    }
    return static_cast<const Fl_Input*>(StateOf(box).widget)->value();
}

void FltkWindow::SetText(ControlId box, std::string_view text) {
    if (!IsTextBox(box)) {
        return;
    }
    auto* input = static_cast<Fl_Input*>(StateOf(box).widget);
    if (std::string_view(input->value(), static_cast<std::size_t>(input->size())) == text) {
        return; // an identical text runs nothing
    }
    // The program's own writes are not held to the operator's limit, even
    // when they happen inside the operator's keystroke.
    const int saved = input->maximum_size();
    input->maximum_size(NoLimit);
    input->value(text.data(), static_cast<int>(text.size()));
    input->maximum_size(saved);
    input->position(0); // the caret goes to the start, as after any program write
    input->redraw();
    // The change handling runs nested inside this write.
    TextEdited(box);
}

std::string FltkWindow::Tag(ControlId control) const {
    return rules_.Tag(control);
}

void FltkWindow::SetTag(ControlId control, std::string_view text) {
    rules_.SetTag(control, text);
}

std::string FltkWindow::Caption(ControlId label) const {
    return rules_.Caption(label);
}

void FltkWindow::SetCaption(ControlId label, std::string_view text) {
    // A box's text is the box's own: writing it is SetText.
    if (!Valid(label) || WindowRules::IsTextBox(label)) {
        return;
    }
    rules_.SetCaption(label, text);
    const ControlState& state = StateOf(label);
    if (state.widget && LayoutOf(label).kind == ControlKind::Label) {
        static_cast<LabelBox*>(state.widget)->SetText(text);
    }
}

Color FltkWindow::ForeColor(ControlId label) const {
    return rules_.ForeColor(label);
}

void FltkWindow::SetForeColor(ControlId label, Color color) {
    if (!Valid(label)) {
        return;
    }
    rules_.SetForeColor(label, color);
    const ControlState& state = StateOf(label);
    if (state.widget) {
        state.widget->labelcolor(ToFlColor(color));
        state.widget->redraw();
    }
}

int FltkWindow::CheckValue(ControlId box) const {
    if (!Valid(box) || !StateOf(box).widget || LayoutOf(box).kind != ControlKind::CheckBox) {
        return CheckUnchecked;
    }
    return static_cast<const Fl_Check_Button*>(StateOf(box).widget)->value() ? CheckChecked
                                                                             : CheckUnchecked;
}

void FltkWindow::SetCheckValue(ControlId box, int value) {
    if (!Valid(box) || !StateOf(box).widget || LayoutOf(box).kind != ControlKind::CheckBox) {
        return;
    }
    const int wanted = value == CheckChecked ? CheckChecked : CheckUnchecked;
    if (CheckValue(box) == wanted) {
        return;
    }
    static_cast<Fl_Check_Button*>(StateOf(box).widget)->value(wanted == CheckChecked ? 1 : 0);
    // As a click by the operator would.
    rules_.Clicked(box);
}

ControlId FltkWindow::Focus() const {
    // Hidden or inactive, the window answers with the control that gets the
    // focus back.
    return rules_.FocusOr(ControlOf(Fl::focus()));
}

void FltkWindow::SetFocus(ControlId control) {
    if (rules_.RememberFocus(control) && shown_ && StateOf(control).widget) {
        StateOf(control).widget->take_focus();
    }
}

// ---- Window: geometry ------------------------------------------------------

FrameInsets FltkWindow::Frame() const {
    // Measured while shown; before that, the frame it had last time (none
    // before the first show).
    return window_ && window_->shown() ? FrameOf(*window_) : frame_;
}

float FltkWindow::Top() const {
    return window_ ? PixelsToTwips(window_->y() - Frame().top, dpi_) : 0.0f;
}

float FltkWindow::Left() const {
    return window_ ? PixelsToTwips(window_->x() - Frame().left, dpi_) : 0.0f;
}

float FltkWindow::Width() const {
    if (!window_) {
        return 0.0f;
    }
    const FrameInsets frame = Frame();
    return PixelsToTwips(window_->w() + frame.left + frame.right, dpi_);
}

float FltkWindow::Height() const {
    if (!window_) {
        return 0.0f;
    }
    const FrameInsets frame = Frame();
    return PixelsToTwips(window_->h() + frame.top + frame.bottom, dpi_);
}

void FltkWindow::MoveClientTo(int xPixels, int yPixels) {
    if (window_) {
        window_->position(xPixels, yPixels);
        placed_ = true;
    }
}

void FltkWindow::FrameChanged() {
    if (!window_ || !window_->shown()) {
        return;
    }
    const FrameInsets before = frame_;
    const FrameInsets now = FrameOf(*window_);
    if (now == before) {
        return;
    }
    frame_ = now;
    // The window manager places the client where it was asked and builds its
    // frame around it. Where the program put the frame's corner before the
    // frame was known, the client moves by the frame's edges to keep it there.
    if (placed_) {
        window_->position(window_->x() + now.left - before.left,
                          window_->y() + now.top - before.top);
    }
}

void FltkWindow::SetTop(float twips) {
    if (!window_) {
        return;
    }
    int x = window_->x();
    if (!placed_ && !window_->shown()) {
        // Left not chosen yet: centre on the primary screen rather than hug its edge.
        int sx, sy, sw, sh;
        Fl::screen_work_area(sx, sy, sw, sh, 0);
        x = sx + std::max(0, (sw - window_->w()) / 2);
    }
    MoveClientTo(x, TwipsToPixels(twips, dpi_) + Frame().top);
}

void FltkWindow::SetLeft(float twips) {
    if (!window_) {
        return;
    }
    int y = window_->y();
    if (!placed_ && !window_->shown()) {
        int sx, sy, sw, sh;
        Fl::screen_work_area(sx, sy, sw, sh, 0);
        y = sy + std::max(0, (sh - window_->h()) / 2);
    }
    MoveClientTo(TwipsToPixels(twips, dpi_) + Frame().left, y);
}

float FltkWindow::ScreenWidth() const {
    int x, y, w, h;
    Fl::screen_xywh(x, y, w, h, 0);
    return PixelsToTwips(w, dpi_);
}

float FltkWindow::ScreenHeight() const {
    int x, y, w, h;
    Fl::screen_xywh(x, y, w, h, 0);
    return PixelsToTwips(h, dpi_);
}

std::int32_t FltkWindow::SetWindowPos(std::intptr_t insertAfter, int x, int y, int /*cx*/,
                                      int /*cy*/, std::uint32_t flags) {
    if (!window_) {
        return 0;
    }
    // The window has a fixed size; a move places the frame's corner in
    // pixels, as the call's are.
    if ((flags & SwpNoMove) == 0) {
        const FrameInsets frame = Frame();
        MoveClientTo(x + frame.left, y + frame.top);
    }
    if (insertAfter == HwndTopmost) {
        stacking_ = Stacking::Topmost;
    } else if (insertAfter == HwndBottom) {
        stacking_ = Stacking::Bottom;
    } else {
        stacking_ = Stacking::Normal;
    }
    // Not shown yet: the state is applied when the window appears.
    if (window_->shown()) {
        ApplyStacking(*window_, stacking_);
    }
    return 1;
}

} // namespace morlix
