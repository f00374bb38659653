#include "bench_view.h"

#include "bench_picture.h"
#include "x11_stacking.h"

#include "sim/bench/bench.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <vector>

namespace morlix {

namespace {

constexpr int ViewWidth = 600;
constexpr int ViewHeight = 420;
constexpr int Gap = 8;       // between the console's frame and the view's
constexpr int Samples = 200; // points of one period
constexpr double PollSeconds = 0.25;
constexpr const char* Title = "Morlix bench view: coil driver model";

const Fl_Color XColor = fl_rgb_color(0, 140, 0);
const Fl_Color YColor = fl_rgb_color(0, 90, 200);
const Fl_Color RecordColor = fl_rgb_color(230, 120, 0);
const Fl_Color GridColor = fl_rgb_color(200, 200, 200);

// A plot of the currents on a white ground, full scale at the edges.
class Plot : public Fl_Widget {
public:
    Plot(int x, int y, int w, int h) : Fl_Widget(x, y, w, h) {}
    void SetPoints(std::vector<CurrentSample> points) {
        points_ = std::move(points);
        redraw();
    }

protected:
    static constexpr int Margin = 6;
    // Amperes to pixels: full scale reaches the margin.
    double Scale(int extent) const { return (extent / 2.0 - Margin) / FullScaleAmperes; }
    void Ground() {
        fl_push_clip(x(), y(), w(), h());
        fl_color(FL_WHITE);
        fl_rectf(x(), y(), w(), h());
        fl_color(FL_DARK3);
        fl_rect(x(), y(), w(), h());
    }
    void Caption(const char* text, int row, Fl_Color color) {
        fl_font(FL_HELVETICA, 11);
        fl_color(color);
        fl_draw(text, x() + Margin, y() + Margin + 11 * (row + 1));
    }
    std::vector<CurrentSample> points_;
};

// The two currents against time over one period.
class Waveform : public Plot {
public:
    using Plot::Plot;
    void draw() override {
        Ground();
        const int mid = y() + h() / 2;
        fl_color(GridColor);
        fl_line(x() + 1, mid, x() + w() - 2, mid);
        const double scale = Scale(h());
        const double step = points_.size() > 1 ? (w() - 2.0 * Margin) / (points_.size() - 1) : 0;
        for (int axis = 0; axis < 2; ++axis) {
            fl_color(axis == 0 ? XColor : YColor);
            fl_begin_line();
            for (std::size_t i = 0; i < points_.size(); ++i) {
                const double value = axis == 0 ? points_[i].x : points_[i].y;
                fl_vertex(x() + Margin + i * step, mid - value * scale);
            }
            fl_end_line();
        }
        Caption("X current", 0, XColor);
        Caption("Y current", 1, YColor);
        Caption("one period, full scale 20 A", 2, FL_DARK3);
        fl_pop_clip();
    }
};

// The figure the two currents trace: X across, Y up; behind it those of the
// record sequence.
class Figure : public Plot {
public:
    using Plot::Plot;
    void SetRecord(std::vector<std::vector<CurrentSample>> figures) {
        record_ = std::move(figures);
        redraw();
    }
    void draw() override {
        Ground();
        const int cx = x() + w() / 2;
        const int cy = y() + h() / 2;
        fl_color(GridColor);
        fl_line(x() + 1, cy, x() + w() - 2, cy);
        fl_line(cx, y() + 1, cx, y() + h() - 2);
        const double scale = Scale(std::min(w(), h()));
        auto trace = [&](const std::vector<CurrentSample>& points) {
            fl_begin_line();
            for (const CurrentSample& point : points) {
                fl_vertex(cx + point.x * scale, cy - point.y * scale);
            }
            fl_end_line();
        };
        fl_color(RecordColor);
        for (const std::vector<CurrentSample>& figure : record_) {
            trace(figure);
        }
        fl_color(FL_BLACK);
        trace(points_);
        Caption("X-Y", 0, FL_DARK3);
        if (!record_.empty()) {
            Caption("record", 1, RecordColor);
        }
        fl_pop_clip();
    }

private:
    std::vector<std::vector<CurrentSample>> record_;
};

Fl_Box* TextLine(int x, int y, int w, int h, Fl_Font font = FL_HELVETICA) {
    auto* box = new Fl_Box(x, y, w, h);
    box->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_TOP | FL_ALIGN_CLIP);
    box->labelfont(font);
    box->labelsize(12);
    return box;
}

// A label's text as shown; FLTK keeps an empty label as null.
std::string LabelOf(const Fl_Widget* widget) {
    return widget && widget->label() ? widget->label() : "";
}

void SetLabel(Fl_Widget* widget, const std::string& text) {
    if (LabelOf(widget) != text) {
        widget->copy_label(text.c_str());
        widget->redraw();
    }
}

} // namespace

struct BenchView::Widgets {
    std::unique_ptr<Fl_Double_Window> window;
    Fl_Box* setting = nullptr;
    Waveform* waveform = nullptr;
    Figure* figure = nullptr;
    Fl_Box* record = nullptr;
    Fl_Box* words = nullptr;
    Fl_Box* frames = nullptr;
    Fl_Box* chip = nullptr;
};

BenchView::BenchView(sim::bench::Bench& bench) : bench_(bench) {}

BenchView::~BenchView() {
    Fl::remove_check(CheckThunk, this);
    Fl::remove_timeout(PollThunk, this);
}

bool BenchView::Create() {
    if (widgets_) {
        return true;
    }
    auto widgets = std::make_unique<Widgets>();
    widgets->window = std::make_unique<Fl_Double_Window>(ViewWidth, ViewHeight, Title);
    widgets->window->xclass("morlix");
    widgets->window->begin();
    widgets->setting = TextLine(10, 8, 580, 20);
    widgets->waveform = new Waveform(10, 32, 390, 190);
    widgets->figure = new Figure(410, 32, 180, 190);
    widgets->record = TextLine(10, 228, 580, 20);
    widgets->words = TextLine(10, 250, 580, 20);
    auto* heading = TextLine(10, 274, 580, 18);
    heading->label("last transaction, frames as the coil driver decoded them:");
    widgets->frames = TextLine(10, 292, 580, 82, FL_COURIER);
    widgets->chip = TextLine(10, 384, 320, 26);
    widgets->chip->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_CLIP);
    unplug_ = new Fl_Button(350, 382, 115, 30, "Unplug chip");
    unplug_->callback(
        [](Fl_Widget*, void* view) { static_cast<BenchView*>(view)->UnplugClicked(); }, this);
    replug_ = new Fl_Button(475, 382, 115, 30, "Plug chip in");
    replug_->callback(
        [](Fl_Widget*, void* view) { static_cast<BenchView*>(view)->ReplugClicked(); }, this);
    widgets->window->end();
    widgets->window->size_range(ViewWidth, ViewHeight, ViewWidth, ViewHeight);
    // Closing the view hides it; the console goes on.
    widgets->window->callback([](Fl_Widget* window, void*) { window->hide(); });
    widgets_ = std::move(widgets);
    Refresh();
    return true;
}

void BenchView::ShowBeside(Fl_Window* console) {
    if (!widgets_ && !Create()) {
        return;
    }
    Fl_Double_Window& window = *widgets_->window;
    int x = 0;
    int y = 0;
    if (console && console->shown()) {
        const FrameInsets frame = FrameOf(*console);
        const int right = console->x() + console->w() + frame.right + Gap + frame.left;
        const int left = console->x() - frame.left - Gap - frame.right - ViewWidth;
        int sx = 0, sy = 0, sw = 0, sh = 0;
        Fl::screen_xywh(sx, sy, sw, sh, console->x(), console->y());
        y = console->y();
        if (right + ViewWidth <= sx + sw) {
            x = right;
        } else if (left >= sx) {
            x = left;
        } else {
            x = console->x();
            y = console->y() + console->h() + frame.bottom + Gap + frame.top;
        }
        window.position(x, y);
    }
    console_ = console;
    window.show();
    Fl::remove_check(CheckThunk, this); // once, however often it is shown
    Fl::add_check(CheckThunk, this);
    Fl::remove_timeout(PollThunk, this);
    Fl::add_timeout(PollSeconds, PollThunk, this);
    Refresh();
}

void BenchView::Refresh() {
    if (!widgets_) {
        return;
    }
    sim::usb::CoilDriverModel& coil = bench_.coil();
    // The count first: a word that lands while this reads shows at the next look.
    shownChanges_ = coil.ChangeCount();
    shownPlugged_ = bench_.Plugged();
    refreshed_ = true;

    const sim::usb::CoilSetting setting = coil.Setting();
    const std::optional<sim::usb::ExecutedTransaction> last = coil.LastTransaction();
    SetLabel(widgets_->setting, SettingText(setting));
    const std::vector<CurrentSample> points = SampleCurrents(setting, Samples);
    widgets_->waveform->SetPoints(points);
    widgets_->figure->SetPoints(points);
    widgets_->figure->SetRecord(SampleRecord(setting, Samples));
    SetLabel(widgets_->record, RecordText(setting));
    SetLabel(widgets_->words, WordCountText(coil.WordCount()));
    std::string frames;
    for (const std::string& line : TransactionLines(last)) {
        frames += frames.empty() ? line : "\n" + line;
    }
    SetLabel(widgets_->frames, frames);
    SetLabel(widgets_->chip, shownPlugged_ ? "chip plugged in" : "chip pulled out");
    if (shownPlugged_) {
        unplug_->activate();
        replug_->deactivate();
    } else {
        unplug_->deactivate();
        replug_->activate();
    }
}

void BenchView::UnplugClicked() {
    bench_.Unplug();
    Refresh();
}

void BenchView::ReplugClicked() {
    bench_.Plug();
    Refresh();
}

Fl_Window* BenchView::Handle() const {
    return widgets_ ? widgets_->window.get() : nullptr;
}

std::string BenchView::WordCountShown() const {
    return widgets_ ? LabelOf(widgets_->words) : "";
}

std::string BenchView::FramesShown() const {
    return widgets_ ? LabelOf(widgets_->frames) : "";
}

std::string BenchView::SettingShown() const {
    return widgets_ ? LabelOf(widgets_->setting) : "";
}

std::string BenchView::ChipShown() const {
    return widgets_ ? LabelOf(widgets_->chip) : "";
}

void BenchView::CheckThunk(void* view) {
    static_cast<BenchView*>(view)->Follow();
}

void BenchView::PollThunk(void* view) {
    auto* self = static_cast<BenchView*>(view);
    self->Follow();
    if (self->console_) {
        Fl::repeat_timeout(PollSeconds, PollThunk, view);
    }
}

void BenchView::Follow() {
    if (!widgets_) {
        return;
    }
    if (console_ && !console_->shown()) {
        // The console has gone: so does its view, and the event loop can end.
        console_ = nullptr;
        widgets_->window->hide();
        Fl::remove_check(CheckThunk, this);
        return;
    }
    if (!refreshed_ || bench_.coil().ChangeCount() != shownChanges_ ||
        bench_.Plugged() != shownPlugged_) {
        Refresh();
    }
}

} // namespace morlix
