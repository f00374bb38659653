// The rules every front end's window shares: when a text runs the change
// handling, the operator's length limit, the order in which a key reaches
// the handlers, which events reach the form at all, and the tab order.
#include "window_rules.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>
#include <vector>

namespace morlix::test {
namespace {

using enum ControlId;

// Records every event as one line; optional reactions let a test write back
// into the rules from inside a handler, as the form does.
class EventLog : public FormEvents {
public:
    void Load() override { lines.push_back("load"); }
    void Unload() override { lines.push_back("unload"); }
    void Change(ControlId box) override {
        lines.push_back(std::string("change ") + ControlName(box));
        if (onChange) {
            onChange(box);
        }
    }
    void Click(ControlId control) override {
        lines.push_back(std::string("click ") + ControlName(control));
    }
    void FormKeyDown(std::int16_t keyCode, std::int16_t shift) override {
        lines.push_back("form " + std::to_string(keyCode) + "/" + std::to_string(shift));
        if (onFormKey) {
            onFormKey();
        }
    }
    void KeyDown(ControlId box, std::int16_t keyCode, std::int16_t shift) override {
        lines.push_back(std::string(ControlName(box)) + " " + std::to_string(keyCode) + "/" +
                        std::to_string(shift));
    }
    void Timer(ControlId timer) override {
        lines.push_back(std::string("timer ") + ControlName(timer));
    }

    std::vector<std::string> lines;
    std::function<void(ControlId)> onChange;
    std::function<void()> onFormKey;
};

class WindowRulesTest : public ::testing::Test {
protected:
    void SetUp() override { rules.Attach(&log); }

    bool live = true;
    WindowRules rules{MainWindowLayout(), [this] { return live; }};
    EventLog log;
};

using Lines = std::vector<std::string>;

TEST_F(WindowRulesTest, StartsFromTheLayout) {
    EXPECT_EQ(rules.Text(txtAmpX), "0");
    EXPECT_EQ(rules.Text(TxtPhase), "128");
    EXPECT_EQ(rules.Caption(lblSerNum), "Looking for USB...");
    EXPECT_EQ(rules.ForeColor(lblSerNum), LayoutOf(lblSerNum).foreColor);
    EXPECT_EQ(rules.ForeColor(lblAmpX), ColorBlack);
    EXPECT_EQ(rules.Tag(txtAmpX), ""); // empty before the first change
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(WindowRulesTest, OnlyADifferentTextRunsTheChangeHandling) {
    rules.TextShown(txtAmpX, "0"); // what it already showed
    EXPECT_TRUE(log.lines.empty());

    rules.TextShown(txtAmpX, "12");
    rules.TextShown(txtAmpX, "12");
    EXPECT_EQ(log.lines, Lines{"change txtAmpX"});
    EXPECT_EQ(rules.Text(txtAmpX), "12");

    // A label's caption is recorded but never runs a change handling.
    rules.SetCaption(lblAmpX, "1000");
    rules.TextShown(lblAmpY, "7");
    EXPECT_EQ(rules.Caption(lblAmpX), "1000");
    EXPECT_EQ(log.lines, Lines{"change txtAmpX"});
}

TEST_F(WindowRulesTest, AWriteFromInsideTheHandlingNestsAndSeesTheNewText) {
    // The handler corrects the box it was called for, as the entry rules
    // do with "5000"; the correction runs the handling once more, nested,
    // and the correction's identical re-write ends the nesting.
    std::vector<std::string> seen;
    log.onChange = [&](ControlId box) {
        seen.push_back(rules.Text(box));
        if (rules.Text(box) == "5000") {
            rules.TextShown(box, "4095");
            seen.push_back("after " + rules.Text(box));
        } else {
            rules.TextShown(box, rules.Text(box));
        }
    };
    rules.TextShown(txtAmpY, "5000");
    EXPECT_EQ(seen, (Lines{"5000", "4095", "after 4095"}));
    EXPECT_EQ(log.lines, (Lines{"change txtAmpY", "change txtAmpY"}));
}

TEST_F(WindowRulesTest, NothingReachesTheFormOnceTheWindowEnded) {
    live = false;
    rules.TextShown(txtAmpX, "3");
    rules.Clicked(cmdReset);
    rules.Ticked(tmrSN, true);
    EXPECT_FALSE(rules.KeyDown(txtAmpX, KeyF1, 0));
    EXPECT_TRUE(log.lines.empty());
    // The text is still recorded: a later identical text is no change.
    EXPECT_EQ(rules.Text(txtAmpX), "3");

    // No form attached: nothing to call, nothing breaks.
    live = true;
    rules.Attach(nullptr);
    rules.TextShown(txtAmpX, "4");
    rules.Clicked(cmdReset);
    EXPECT_TRUE(rules.KeyDown(txtAmpX, KeyF1, 0));
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(WindowRulesTest, OperatorLimitAndRoom) {
    EXPECT_EQ(WindowRules::OperatorLimit(txtAmpX), 4);
    EXPECT_EQ(WindowRules::OperatorLimit(txtAmpY), 4);
    EXPECT_EQ(WindowRules::OperatorLimit(TxtPhase), 3);
    // Only boxes have one; an unknown id has none and does not crash.
    EXPECT_EQ(WindowRules::OperatorLimit(lblAmpX), 0);
    EXPECT_EQ(WindowRules::OperatorLimit(FormWindow), 0);

    EXPECT_EQ(WindowRules::OperatorRoom(txtAmpX, 0), 4);
    EXPECT_EQ(WindowRules::OperatorRoom(txtAmpX, 3), 1);
    EXPECT_EQ(WindowRules::OperatorRoom(TxtPhase, 3), 0);
    // A program write left more than the limit: no room, never negative.
    EXPECT_EQ(WindowRules::OperatorRoom(TxtPhase, 6), 0);
    EXPECT_EQ(WindowRules::OperatorRoom(lblAmpX, 100), INT_MAX);

    // The rules themselves never cut a program's text.
    rules.TextShown(TxtPhase, "123456");
    EXPECT_EQ(rules.Text(TxtPhase), "123456");
}

TEST_F(WindowRulesTest, KeysReachTheWindowFirstThenTheFocusedBox) {
    EXPECT_TRUE(rules.KeyDown(txtAmpX, KeyArrowUp, ShiftMask));
    EXPECT_EQ(log.lines, (Lines{"form 38/1", "txtAmpX 38/1"}));

    // A button or the window itself has no key handler of its own.
    log.lines.clear();
    rules.KeyDown(cmdMin, KeyF3, 0);
    rules.KeyDown(FormWindow, KeyEscape, 0);
    EXPECT_EQ(log.lines, (Lines{"form 114/0", "form 27/0"}));

    // The window's handler ends the program: the box never sees the key.
    log.lines.clear();
    log.onFormKey = [this] { live = false; };
    EXPECT_FALSE(rules.KeyDown(TxtPhase, KeyHome, 0));
    EXPECT_EQ(log.lines, Lines{"form 36/0"});
}

TEST_F(WindowRulesTest, ClicksAndTicksReachTheFormOnlyForTheirControls) {
    rules.Clicked(cmdTriple);
    rules.Clicked(chkOnTop);
    rules.Clicked(lblSerNum);
    rules.Clicked(Frame1);
    rules.Clicked(txtAmpX);
    rules.Clicked(FormWindow);
    rules.Ticked(tmrSN, false); // not shown yet
    rules.Ticked(tmrSN, true);
    rules.Ticked(cmdReset, true);
    EXPECT_EQ(log.lines, (Lines{"click cmdTriple", "click chkOnTop", "timer tmrSN"}));
}

TEST_F(WindowRulesTest, TagsAndColoursAreKeptPerControl) {
    rules.SetTag(txtAmpX, "1");
    rules.SetTag(txtAmpY, "0");
    rules.SetForeColor(lblAmpX, ColorRed);
    EXPECT_EQ(rules.Tag(txtAmpX), "1");
    EXPECT_EQ(rules.Tag(txtAmpY), "0");
    EXPECT_EQ(rules.ForeColor(lblAmpX), ColorRed);
    EXPECT_EQ(rules.ForeColor(lblAmpY), ColorBlack);

    // Unknown ids are ignored rather than written anywhere.
    rules.SetTag(FormWindow, "x");
    rules.SetForeColor(FormWindow, ColorRed);
    rules.SetCaption(FormWindow, "x");
    EXPECT_EQ(rules.Tag(FormWindow), "");
    EXPECT_EQ(rules.Text(FormWindow), "");
    EXPECT_EQ(rules.ForeColor(FormWindow), ColorBlack);
    EXPECT_EQ(rules.Tag(cmdReset), "");
}

TEST_F(WindowRulesTest, FocusComesBackToTheControlThatLastHeldIt) {
    EXPECT_EQ(rules.LastFocus(), cmdReset); // the layout's first focus
    EXPECT_TRUE(rules.RememberFocus(TxtPhase));
    // Labels, frames, timers and unknown ids cannot hold it.
    for (ControlId id : {lblAmpX, Frame4, tmrSN, FormWindow}) {
        EXPECT_FALSE(rules.RememberFocus(id));
    }
    EXPECT_EQ(rules.LastFocus(), TxtPhase);
    // Whatever the window system reports that is not a control of ours
    // (another window, nothing) answers with the remembered one.
    EXPECT_EQ(rules.FocusOr(FormWindow), TxtPhase);
    EXPECT_EQ(rules.FocusOr(lblSerNum), TxtPhase);
    EXPECT_EQ(rules.FocusOr(chkOnTop), chkOnTop);
}

TEST_F(WindowRulesTest, TabOrderWrapsBothWays) {
    const Lines expected{"cmdStandby", "cmdMin",   "cmdMedium", "cmdMax",    "txtAmpX",
                         "txtAmpY",    "TxtPhase", "chkOnTop",  "cmdTriple", "cmdReset"};
    Lines forward;
    ControlId at = cmdReset;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        at = rules.NextInTabOrder(at, false);
        forward.push_back(ControlName(at));
    }
    EXPECT_EQ(forward, expected);
    EXPECT_EQ(rules.NextInTabOrder(cmdReset, true), cmdTriple);
    EXPECT_EQ(rules.NextInTabOrder(txtAmpY, true), txtAmpX);
    // From a control without a tab stop, Tab starts after the first stop.
    EXPECT_EQ(rules.NextInTabOrder(lblAmpX, false), cmdStandby);
}

} // namespace
} // namespace morlix::test
