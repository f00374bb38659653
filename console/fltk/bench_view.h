// The bench view: a second window beside the console's when it runs on the
// simulated bench. It shows what the coil driver model latched and applied
// (the two coil currents over one period and the X-Y figure they trace, the
// last transaction's frames, the word count) and has buttons to pull the
// chip out and plug it in again.
//
// It follows the model by polling its change count on the window's thread:
// after every event FLTK handles (a console transaction runs to completion
// inside one) and on a short timer for anything finished on a bus thread.
// Nothing of it runs on another thread, so the widgets need no lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class Fl_Button;
class Fl_Window;

namespace sim::bench {
class Bench;
}

namespace morlix {

class BenchView {
public:
    explicit BenchView(sim::bench::Bench& bench);
    ~BenchView();
    BenchView(const BenchView&) = delete;
    BenchView& operator=(const BenchView&) = delete;

    // Builds the window, hidden. The display must be open.
    bool Create();
    // Shows the view to the right of the console's window (to its left when
    // there is no room), and from then on goes when that window goes.
    void ShowBeside(Fl_Window* console);
    // Reads the model and the chip's state and redraws what changed.
    void Refresh();

    // The chip as the buttons handle it: out of its port, or into one again.
    void UnplugClicked();
    void ReplugClicked();

    Fl_Window* Handle() const;
    Fl_Button* UnplugButton() const { return unplug_; }
    Fl_Button* ReplugButton() const { return replug_; }
    // What the texts show now.
    std::string WordCountShown() const;
    std::string FramesShown() const;
    std::string SettingShown() const;
    std::string ChipShown() const;

private:
    struct Widgets;
    static void CheckThunk(void* view);
    static void PollThunk(void* view);
    void Follow();

    sim::bench::Bench& bench_;
    std::unique_ptr<Widgets> widgets_;
    Fl_Button* unplug_ = nullptr;
    Fl_Button* replug_ = nullptr;
    Fl_Window* console_ = nullptr;
    std::uint64_t shownChanges_ = 0;
    bool shownPlugged_ = false;
    bool refreshed_ = false;
};

} // namespace morlix
