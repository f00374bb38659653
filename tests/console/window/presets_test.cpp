// Preset commands: the fixed word sequences, the labels they leave, and
// that they leave the entry boxes alone.
#include "console_fixture.h"

namespace morlix::test {
namespace {

using enum ControlId;

struct Preset {
    const char* name;
    ControlId button;
    std::int16_t key;
    Words words;
    const char* label;
    Color color;
};

const Preset& PresetAt(int i) {
    static const Preset presets[] = {
        {"Standby", cmdStandby, KeyF1, {0, 256, 256, 257, 275, 304, 383, 853}, "0", ColorBlack},
        {"BothMin", cmdMin, KeyF2, {0, 256, 272, 257, 273, 304, 383, 853}, "0", ColorBlack},
        {"BothMedium",
         cmdMedium,
         KeyF3,
         {0, 488, 275, 256, 273, 304, 383, 853},
         "1000",
         ColorBlack},
        {"BothMax", cmdMax, KeyF4, {0, 511, 287, 256, 273, 304, 383, 853}, "4095", ColorBlack},
        {"TripleRecord",
         cmdTriple,
         KeyF5,
         {0,   488, 499, 261, 509, 319, 288, 440, 507, 261,
          509, 319, 384, 511, 511, 261, 509, 319, 464, 853},
         "4095",
         ColorRed},
        {"Reset", cmdReset, KeyEscape, {0}, "0", ColorBlack},
    };
    return presets[i];
}

class PresetTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        console.Start();
        // Something typed beforehand, to see that the presets leave it alone.
        console.PasteOver(txtAmpX, "1234");
        console.PasteOver(txtAmpY, "77");
        console.PasteOver(TxtPhase, "9");
        console.window.SetFocus(txtAmpX);
        console.TakeWords();
        console.journal.clear();
    }

    const Preset& preset = PresetAt(GetParam());
    Console console;
};

TEST_P(PresetTest, ClickSendsItsWordsAndSetsBothLabelsAfterwards) {
    console.window.Click(preset.button);
    EXPECT_EQ(console.TakeWords(), preset.words);
    const std::string at = " @" + std::to_string(preset.words.size());
    const std::string color = std::to_string(preset.color);
    EXPECT_EQ(
        console.journal,
        (std::vector<std::string>{
            "formMain.Focus=" + std::string(ControlName(preset.button)) + " @0",
            "lblAmpX.Caption=" + std::string(preset.label) + at, "lblAmpX.ForeColor=" + color + at,
            "lblAmpY.Caption=" + std::string(preset.label) + at,
            "lblAmpY.ForeColor=" + color + at}));
}

TEST_P(PresetTest, LeavesEntryBoxesAndTagsAlone) {
    console.window.Click(preset.button);
    EXPECT_EQ(console.window.Text(txtAmpX), "1234");
    EXPECT_EQ(console.window.Text(txtAmpY), "77");
    EXPECT_EQ(console.window.Text(TxtPhase), "9");
    EXPECT_EQ(console.window.Tag(txtAmpX), "0");
    EXPECT_EQ(console.window.Tag(txtAmpY), "0");
    console.TakeWords();
    // The next edit sends the boxes' values again.
    console.PasteOver(txtAmpY, "78");
    EXPECT_EQ(console.TakeWords(), EntryTransaction(Axis::Y, 1234, 78, 9));
    EXPECT_EQ(console.window.Caption(lblAmpX), "1234");
}

TEST_P(PresetTest, RepeatedPressesAreNotSuppressed) {
    console.window.Click(preset.button);
    console.window.Click(preset.button);
    EXPECT_EQ(console.TakeWords(), Repeat(preset.words, 2));
}

TEST_P(PresetTest, FunctionKeyRunsTheSameCommandFromAnyFocusAndShiftState) {
    const ControlId focusBefore[] = {cmdReset, txtAmpX, TxtPhase, chkOnTop, cmdTriple};
    const std::int16_t shifts[] = {0, ShiftMask, CtrlMask, AltMask, ShiftMask | CtrlMask | AltMask};
    for (ControlId focus : focusBefore) {
        for (std::int16_t shift : shifts) {
            if (WindowRules::ClosesWindow(preset.key, shift)) {
                continue; // Alt+F4 closes the window instead (FormUnload tests)
            }
            SCOPED_TRACE(testing::Message() << ControlName(focus) << " shift " << shift);
            console.window.SetFocus(focus);
            console.window.PressKey(preset.key, shift);
            EXPECT_EQ(console.TakeWords(), preset.words);
            EXPECT_EQ(console.window.Focus(), preset.button);
            EXPECT_EQ(console.window.Caption(lblAmpY), preset.label);
            EXPECT_EQ(console.window.ForeColor(lblAmpY), preset.color);
        }
    }
    // A key that reached a box through the preview does not step the box.
    EXPECT_EQ(console.window.Text(txtAmpX), "1234");
    EXPECT_EQ(console.window.Text(TxtPhase), "9");
}

INSTANTIATE_TEST_SUITE_P(AllPresets, PresetTest, ::testing::Range(0, 6),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(PresetAt(info.param).name);
                         });

TEST(PresetCommands, OtherKeysDoNothingInTheWindow) {
    Console console;
    console.Start();
    std::vector<std::int16_t> keys;
    for (std::int16_t key = KeyF6; key <= KeyF12; ++key) {
        keys.push_back(key);
    }
    for (std::int16_t key : {0, 8, 9, 13, 32, 65, 111, 124, 255, -1, 32767}) {
        keys.push_back(key);
    }
    for (ControlId focus : {cmdMin, chkOnTop}) {
        console.window.SetFocus(focus);
        for (std::int16_t key : keys) {
            for (std::int16_t shift : {0, 7}) {
                console.window.PressKey(key, shift);
                EXPECT_EQ(console.window.Focus(), focus) << key;
            }
        }
    }
    EXPECT_TRUE(console.TakeWords().empty());
    EXPECT_EQ(console.window.Caption(lblAmpX), "0");
}

} // namespace
} // namespace morlix::test
