// The FLTK window's making and its interface to the form; its events are in
// fltk_window_events.cpp, its widgets and their painting in
// fltk_window_widgets.cpp.
#include "fltk_window.h"

#include "fltk_keys.h"
#include "fltk_window_widgets.h"

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Tooltip.H>
#include <FL/x.H>

#include <algorithm>

namespace morlix {

using namespace widgets;

// ---- Creation ----------------------------------------------------------------

FltkWindow::FltkWindow(bool prevInstance) : NativeWindow(prevInstance) {}

FltkWindow::~FltkWindow() {
    // The form may already be gone; taking the window apart must not call it.
    Attach(nullptr);
    StopTimers();
    StopRoutingKeyboard();
    if (window_) {
        window_->hide();
    }
    window_.reset();
}

bool FltkWindow::Create() {
    if (window_ || Ended()) {
        return window_ != nullptr;
    }
    if (KeyboardRouted()) {
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
    return RouteKeyboard();
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
    if (!RunLoad()) {
        return; // the form ended the program: nothing is shown
    }
    window_->show();
    SetShown(true);
    // Let the window system map it before the stacking request.
    Fl::flush();
    if (stacking_ != Stacking::Normal) {
        ApplyStacking(*window_, stacking_);
    }
    GiveFocusBack();
    StartTimers();
}

void FltkWindow::End() {
    MarkEnded();
    StopTimers();
    if (window_) {
        window_->hide();
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

int FltkWindow::CheckValue(ControlId box) const {
    if (!Valid(box) || !StateOf(box).widget || LayoutOf(box).kind != ControlKind::CheckBox) {
        return CheckUnchecked;
    }
    return static_cast<const Fl_Check_Button*>(StateOf(box).widget)->value() ? CheckChecked
                                                                             : CheckUnchecked;
}

// ---- What the window system holds -------------------------------------------

bool FltkWindow::Exists() const {
    return window_ != nullptr;
}

bool FltkWindow::HasControl(ControlId control) const {
    return StateOf(control).widget != nullptr;
}

ControlId FltkWindow::FocusedControl() const {
    return ControlOf(Fl::focus());
}

void FltkWindow::TakeFocus(ControlId control) {
    StateOf(control).widget->take_focus();
}

void FltkWindow::ShowForeColor(ControlId label, Color color) {
    Fl_Widget* widget = StateOf(label).widget;
    widget->labelcolor(ToFlColor(color));
    widget->redraw();
}

void FltkWindow::ShowCheckValue(ControlId box, int value) {
    static_cast<Fl_Check_Button*>(StateOf(box).widget)->value(value == CheckChecked ? 1 : 0);
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
