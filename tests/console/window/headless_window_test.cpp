// The headless window: the operator's edits as an edit control applies
// them, change events on program writes, focus order, and the layout the
// front ends share.
#include "console_fixture.h"

#include <map>

namespace morlix::test {
namespace {

using enum ControlId;

// Counts change events per box, with no handler logic behind them.
class ChangeCounter : public FormEvents {
public:
    void Load() override {}
    void Unload() override {}
    void Change(ControlId box) override { ++changes[box]; }
    void Click(ControlId control) override { ++clicks[control]; }
    void FormKeyDown(std::int16_t keyCode, std::int16_t) override {
        keys.push_back("form " + std::to_string(keyCode));
    }
    void KeyDown(ControlId box, std::int16_t keyCode, std::int16_t) override {
        keys.push_back(std::string(ControlName(box)) + " " + std::to_string(keyCode));
    }
    void Timer(ControlId) override { ++ticks; }

    std::map<ControlId, int> changes;
    std::map<ControlId, int> clicks;
    std::vector<std::string> keys;
    int ticks = 0;
};

class HeadlessWindowTest : public ::testing::Test {
protected:
    void SetUp() override { window.Attach(&events); }

    HeadlessWindow window;
    ChangeCounter events;
};

TEST_F(HeadlessWindowTest, TypingStopsAtTheLengthLimit) {
    window.Clear(txtAmpX);
    EXPECT_EQ(window.Type(txtAmpX, "123456"), 4);
    EXPECT_EQ(window.Text(txtAmpX), "1234");
    // One change for the clearing, one per accepted character.
    EXPECT_EQ(events.changes[txtAmpX], 5);

    window.Clear(TxtPhase);
    EXPECT_EQ(window.Type(TxtPhase, "2555"), 3);
    EXPECT_EQ(window.Text(TxtPhase), "255");

    // A character replacing a selection fits even in a full box.
    window.Select(txtAmpX, 1, 2);
    EXPECT_EQ(window.Type(txtAmpX, "9"), 1);
    EXPECT_EQ(window.Text(txtAmpX), "194");
    EXPECT_EQ(window.CaretOf(txtAmpX), 2);
    // Characters count, not bytes.
    window.Clear(txtAmpY);
    EXPECT_EQ(window.Type(txtAmpY, "\xC2\xB0\xC2\xB0\xC2\xB0\xC2\xB0\xC2\xB0"), 4);
    EXPECT_EQ(CharCount(window.Text(txtAmpY)), 4);
}

TEST_F(HeadlessWindowTest, PasteIsCutToTheRoomLeft) {
    window.Clear(txtAmpX);
    window.Paste(txtAmpX, "123456");
    EXPECT_EQ(window.Text(txtAmpX), "1234");
    EXPECT_EQ(events.changes[txtAmpX], 2); // clearing, then one for the paste

    window.Select(txtAmpX, 0, 1);
    window.Paste(txtAmpX, "98");
    EXPECT_EQ(window.Text(txtAmpX), "9234");

    // No room and no selection: nothing changes, no event.
    window.Paste(txtAmpX, "7");
    EXPECT_EQ(window.Text(txtAmpX), "9234");
    EXPECT_EQ(events.changes[txtAmpX], 3);

    // A multi-byte character is never split by the cut.
    window.SelectAll(TxtPhase);
    window.Paste(TxtPhase, "1\xC2\xB0\xC2\xB0\xC2\xB0");
    EXPECT_EQ(window.Text(TxtPhase), "1\xC2\xB0\xC2\xB0");
}

TEST_F(HeadlessWindowTest, PasteKeepsOnlyTheTextBeforeTheFirstLineBreak) {
    window.SelectAll(txtAmpX);
    window.Paste(txtAmpX, "12\n34");
    EXPECT_EQ(window.Text(txtAmpX), "12");
    window.SelectAll(TxtPhase);
    window.Paste(TxtPhase, "7\r\n8\n9");
    EXPECT_EQ(window.Text(TxtPhase), "7");
    // Nothing before the break: the selection goes all the same.
    window.SelectAll(txtAmpY);
    window.Paste(txtAmpY, "\r\n5");
    EXPECT_EQ(window.Text(txtAmpY), "");
    EXPECT_EQ(events.changes[txtAmpX], 1);
}

TEST_F(HeadlessWindowTest, ProgramWritesAreNotLimitedAndIdenticalWritesRaiseNothing) {
    window.SetText(txtAmpX, "123456789");
    EXPECT_EQ(window.Text(txtAmpX), "123456789");
    EXPECT_EQ(events.changes[txtAmpX], 1);
    window.SetText(txtAmpX, "123456789");
    EXPECT_EQ(events.changes[txtAmpX], 1);
    // Captions and tags raise no change event.
    window.SetCaption(lblAmpX, "x");
    window.SetTag(txtAmpX, "1");
    EXPECT_EQ(events.changes.size(), 1u);
    EXPECT_EQ(window.Tag(txtAmpX), "1");
}

TEST_F(HeadlessWindowTest, BackspaceDeletesSelectionOrOneCharacter) {
    window.SetText(TxtPhase, "1\xC2\xB0"
                             "2");
    window.Select(TxtPhase, 2, 0);
    window.Backspace(TxtPhase);
    EXPECT_EQ(window.Text(TxtPhase), "12");
    window.Select(TxtPhase, 0, 0);
    window.Backspace(TxtPhase); // nothing before the caret
    EXPECT_EQ(window.Text(TxtPhase), "12");
    EXPECT_EQ(events.changes[TxtPhase], 2);
}

TEST_F(HeadlessWindowTest, KeysGoToTheFormFirstThenToTheFocusedBox) {
    window.SetFocus(TxtPhase);
    window.PressKey(KeyHome);
    window.SetFocus(cmdMin);
    window.PressKey(KeyF2);
    EXPECT_EQ(events.keys, (std::vector<std::string>{"form 36", "TxtPhase 36", "form 113"}));
}

TEST_F(HeadlessWindowTest, HomeAndEndStillMoveTheCaretAfterTheHandler) {
    window.SetFocus(txtAmpY);
    window.Clear(txtAmpY);
    window.Type(txtAmpY, "123");
    window.PressKey(KeyHome);
    EXPECT_EQ(window.CaretOf(txtAmpY), 0);
    window.PressKey(KeyEnd, ShiftMask);
    EXPECT_EQ(window.CaretOf(txtAmpY), 3);
    EXPECT_EQ(window.SelectionLengthOf(txtAmpY), 3);
}

TEST_F(HeadlessWindowTest, TabVisitsFocusableControlsInTabOrder) {
    EXPECT_EQ(window.Focus(), cmdReset);
    std::vector<ControlId> visited;
    for (int i = 0; i < 10; ++i) {
        window.Tab();
        visited.push_back(window.Focus());
    }
    EXPECT_EQ(visited, (std::vector<ControlId>{cmdStandby, cmdMin, cmdMedium, cmdMax, txtAmpX,
                                               txtAmpY, TxtPhase, chkOnTop, cmdTriple, cmdReset}));
    window.Tab(true);
    EXPECT_EQ(window.Focus(), cmdTriple);
    // Labels, frames and the timer never take the focus.
    for (ControlId id : {lblAmpX, Frame1, tmrSN, FormWindow}) {
        window.SetFocus(id);
        EXPECT_EQ(window.Focus(), cmdTriple);
    }
}

TEST_F(HeadlessWindowTest, ClicksAndCheckBox) {
    window.Click(cmdMax);
    EXPECT_EQ(window.Focus(), cmdMax);
    EXPECT_EQ(events.clicks[cmdMax], 1);
    window.Click(chkOnTop);
    EXPECT_EQ(window.CheckValue(chkOnTop), 1);
    window.SetCheckValue(chkOnTop, 1); // unchanged: no click
    window.Click(chkOnTop);
    EXPECT_EQ(window.CheckValue(chkOnTop), 0);
    EXPECT_EQ(events.clicks[chkOnTop], 2);
    // Labels are not clickable actions.
    window.Click(lblSerNum);
    EXPECT_EQ(events.clicks.count(lblSerNum), 0u);
}

TEST_F(HeadlessWindowTest, TimerTicksOnlyWhileTheWindowIsShown) {
    window.Tick();
    EXPECT_EQ(events.ticks, 0);
    window.Load();
    window.Tick();
    window.Tick();
    EXPECT_EQ(events.ticks, 2);
    window.Unload();
    window.Tick();
    EXPECT_EQ(events.ticks, 2);
}

TEST(MainWindowLayout, ControlsSitInsideTheirParents) {
    const WindowLayout& layout = MainWindowLayout();
    EXPECT_STREQ(layout.caption, "Morlix Quadrature Driver");
    for (const ControlLayout& control : layout.controls) {
        if (control.kind == ControlKind::Timer) {
            EXPECT_EQ(control.intervalMs, 1000);
            continue;
        }
        SCOPED_TRACE(control.name);
        int parentWidth = layout.clientWidth;
        int parentHeight = layout.clientHeight;
        if (control.parent != ControlId::FormWindow) {
            parentWidth = LayoutOf(control.parent).width;
            parentHeight = LayoutOf(control.parent).height;
            EXPECT_EQ(LayoutOf(control.parent).kind, ControlKind::Frame);
        }
        EXPECT_GE(control.left, 0);
        EXPECT_GE(control.top, 0);
        EXPECT_LE(control.left + control.width, parentWidth);
        EXPECT_LE(control.top + control.height, parentHeight);
    }
}

TEST(MainWindowLayout, NestedControlsAddUpTheirFramesOffsets) {
    EXPECT_EQ(WindowBounds(txtAmpX), (TwipsRect{420, 630, 750, 285}));
    EXPECT_EQ(WindowBounds(TxtPhase), (TwipsRect{3465, 630, 645, 330}));
    EXPECT_EQ(WindowBounds(cmdReset), (TwipsRect{4620, 105, 750, 540}));
}

} // namespace
} // namespace morlix::test
