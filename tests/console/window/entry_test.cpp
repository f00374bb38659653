// Amplitude and phase entry: what goes out to the coil driver, and what the
// boxes and labels show, when the operator types, pastes or steps a box.
#include "console_fixture.h"

#include "text_value.h"

#include <algorithm>
#include <cmath>

namespace morlix::test {
namespace {

using enum ControlId;

class EntryTest : public ::testing::Test {
protected:
    void SetUp() override { console.Start(); }

    Console console;
    HeadlessWindow& window = console.window;
};

TEST_F(EntryTest, ChangeInXSendsXFrameFirst) {
    console.PasteOver(txtAmpX, "1000");
    EXPECT_EQ(console.TakeWords(),
              (Words{0, 488, 259, 256, 301, 272, 384, 256, 256, 256, 301, 288, 384, 853}));
    EXPECT_EQ(window.Caption(lblAmpX), "1000");
    EXPECT_EQ(window.Caption(lblAmpY), "0");
}

TEST_F(EntryTest, ChangeInYSendsYFrameFirst) {
    console.PasteOver(txtAmpY, "300");
    EXPECT_EQ(console.TakeWords(), EntryTransaction(Axis::Y, 0, 300, 128));
    EXPECT_EQ(window.Caption(lblAmpY), "300");
}

TEST_F(EntryTest, PhaseZeroWithXAtFullScale) {
    console.PasteOver(txtAmpX, "4095");
    console.TakeWords();
    console.PasteOver(TxtPhase, "0");
    EXPECT_EQ(console.TakeWords(),
              (Words{0, 511, 271, 256, 301, 272, 256, 256, 256, 256, 301, 288, 256, 853}));
    EXPECT_EQ(window.Caption(lblPhase), "0.0\xC2\xB0");
}

TEST_F(EntryTest, AmplitudeLabelIsRedOnlyWhileItsFrameGoesOut) {
    console.PasteOver(txtAmpX, "7");
    // Entries carry the number of words out when they happened: the X label
    // turns red before the reset word and black after the X frame (7 words),
    // the Y label likewise around words 8-13.
    std::vector<std::string> colours;
    for (const std::string& line : console.journal) {
        if (line.find("ForeColor") != std::string::npos) {
            colours.push_back(line);
        }
    }
    EXPECT_EQ(colours,
              (std::vector<std::string>{"lblAmpX.ForeColor=255 @0", "lblAmpX.ForeColor=0 @7",
                                        "lblAmpY.ForeColor=255 @7", "lblAmpY.ForeColor=0 @13"}));
    EXPECT_EQ(console.TakeWords().size(), 14u);
}

TEST_F(EntryTest, BusyTagsAreIdleBetweenChanges) {
    Console fresh;
    EXPECT_EQ(fresh.window.Tag(txtAmpX), "");
    EXPECT_EQ(fresh.window.Tag(txtAmpY), "");
    console.PasteOver(txtAmpX, "5");
    console.PasteOver(txtAmpY, "6");
    EXPECT_EQ(window.Tag(txtAmpX), "0");
    EXPECT_EQ(window.Tag(txtAmpY), "0");
    EXPECT_EQ(console.TakeWords(),
              Concat({EntryTransaction(Axis::X, 5, 0, 128), EntryTransaction(Axis::Y, 5, 6, 128)}));
}

TEST_F(EntryTest, TypingPastFullScaleEndsAtFullScale) {
    window.SetFocus(txtAmpX);
    window.Clear(txtAmpX);
    EXPECT_EQ(console.TakeWords(), EntryTransaction(Axis::X, 0, 0, 128));
    // Each keystroke sends one transaction with the box's value so far.
    const std::string keys = "500";
    const int sent[] = {5, 50, 500};
    for (std::size_t i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(window.Type(txtAmpX, keys.substr(i, 1)), 1);
        EXPECT_EQ(console.TakeWords(), EntryTransaction(Axis::X, sent[i], 0, 128));
    }
    EXPECT_EQ(window.Type(txtAmpX, "0"), 1);
    const Words last = console.TakeWords();
    EXPECT_EQ(last, EntryTransaction(Axis::X, 4095, 0, 128));
    ASSERT_EQ(last.size(), 14u);
    EXPECT_EQ(last[1], 511);
    EXPECT_EQ(last[2], 271);
    EXPECT_EQ(window.Text(txtAmpX), "4095");
    EXPECT_EQ(window.Caption(lblAmpX), "4095");
}

TEST_F(EntryTest, TypingMinusThenDigitIntoY) {
    window.Clear(txtAmpY);
    console.TakeWords();
    window.Type(txtAmpY, "-");
    EXPECT_EQ(window.Text(txtAmpY), "-");
    EXPECT_EQ(window.Caption(lblAmpY), "0");
    EXPECT_EQ(console.TakeWords(), EntryTransaction(Axis::Y, 0, 0, 128));
    window.Type(txtAmpY, "3");
    EXPECT_EQ(window.Text(txtAmpY), "0");
    EXPECT_EQ(window.Caption(lblAmpY), "0");
    EXPECT_EQ(console.TakeWords(), EntryTransaction(Axis::Y, 0, 0, 128));
}

TEST_F(EntryTest, PastedFractionIsCutAndSentOnce) {
    console.PasteOver(txtAmpX, "12.7");
    EXPECT_EQ(window.Text(txtAmpX), "12");
    EXPECT_EQ(window.Caption(lblAmpX), "12");
    EXPECT_EQ(console.TakeWords(), EntryTransaction(Axis::X, 12, 0, 128));
}

TEST_F(EntryTest, TextsThatReadAsTheirLeadingNumberStayAsTyped) {
    struct Case {
        const char* text;
        const char* boxAfter;
        int amplitude;
    };
    const Case cases[] = {
        {"0012", "0012", 12},
        {"abc", "abc", 0},
        {"12ab", "12ab", 12},
        {"1e3", "1e3", 1000},
        {"1.5x", "1", 1},
        {"", "", 0},
        {" 5", " 5", 5},
        {"&hFF", "&hFF", 255},
        // No digit before the point: no number, so nothing to cut. A point
        // without a digit behind it ends the number.
        {".5", ".5", 0},
        {"7.", "7.", 7},
        {"2.e3", "2.e3", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        console.PasteOver(txtAmpY, c.text);
        console.TakeWords();
        // Write through X so that the transaction is sent even when the Y text
        // did not change, and the Y frame shows what Y reads as.
        console.PasteOver(txtAmpX, "1");
        console.PasteOver(txtAmpX, "2");
        EXPECT_EQ(window.Text(txtAmpY), c.boxAfter);
        EXPECT_EQ(window.Caption(lblAmpY), std::to_string(c.amplitude));
        EXPECT_EQ(console.TakeWords(), Concat({EntryTransaction(Axis::X, 1, c.amplitude, 128),
                                               EntryTransaction(Axis::X, 2, c.amplitude, 128)}));
    }
}

TEST_F(EntryTest, UpAtFullScaleBrieflyHoldsOneMoreThenFullScale) {
    console.PasteOver(txtAmpX, "4095");
    console.TakeWords();
    window.SetFocus(txtAmpX);
    console.journal.clear();
    window.PressKey(KeyArrowUp);
    EXPECT_EQ(console.journal.at(0), "txtAmpX.Text=4096 @0");
    EXPECT_EQ(window.Text(txtAmpX), "4095");
    EXPECT_EQ(console.TakeWords(), EntryTransaction(Axis::X, 4095, 0, 128));
}

TEST_F(EntryTest, StepKeysIgnoreShiftState) {
    struct Case {
        std::int16_t key;
        std::int16_t shift;
        int from;
        int to;
    };
    const Case cases[] = {
        {KeyArrowUp, 0, 100, 101},
        {KeyArrowUp, ShiftMask, 100, 101},
        {KeyArrowDown, AltMask, 100, 99},
        {KeyPageUp, CtrlMask, 100, 110},
        {KeyPageDown, 0, 100, 90},
        {KeyPageDown, 0, 5, 0},
        {KeyArrowDown, 0, 0, 0},
        {KeyHome, 0, 7, 4095},
        {KeyEnd, ShiftMask | CtrlMask, 7, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "key " << c.key << " shift " << c.shift << " from " << c.from);
        console.PasteOver(txtAmpY, std::to_string(c.from));
        console.TakeWords();
        window.SetFocus(txtAmpY);
        window.PressKey(c.key, c.shift);
        EXPECT_EQ(window.Text(txtAmpY), std::to_string(c.to));
        // A step that lands back on the same text (Down at 0 writes "-1", which
        // is corrected) still sends one transaction: the text changed twice.
        EXPECT_EQ(console.TakeWords(), EntryTransaction(Axis::Y, 0, c.to, 128));
    }
}

TEST_F(EntryTest, WritingTheSameTextSendsNothing) {
    // End on "0" and Home on "4095" write the text the box already holds.
    window.SetFocus(txtAmpX);
    window.PressKey(KeyEnd);
    EXPECT_TRUE(console.TakeWords().empty());
    console.PasteOver(txtAmpX, "4095");
    console.TakeWords();
    window.PressKey(KeyHome);
    EXPECT_TRUE(console.TakeWords().empty());
    window.SetFocus(TxtPhase);
    window.PressKey(KeyHome); // "128" already
    EXPECT_TRUE(console.TakeWords().empty());
    window.PressKey(KeyEnd);
    EXPECT_EQ(window.Text(TxtPhase), "255");
    EXPECT_EQ(console.TakeWords(), EntryTransaction(Axis::X, 4095, 0, 255));
    window.PressKey(KeyEnd);
    EXPECT_TRUE(console.TakeWords().empty());
}

TEST_F(EntryTest, OtherKeysDoNothingInABox) {
    window.SetFocus(txtAmpX);
    for (std::int16_t key : {std::int16_t{13}, std::int16_t{65}, KeyArrowLeft, KeyArrowRight,
                             std::int16_t{46}, KeyF6}) {
        window.PressKey(key);
    }
    EXPECT_EQ(window.Text(txtAmpX), "0");
    EXPECT_TRUE(console.TakeWords().empty());
}

TEST_F(EntryTest, TypingPhaseOverRangeSendsTheCorrectedPhaseTwice) {
    window.Clear(TxtPhase);
    EXPECT_EQ(window.Caption(lblPhase), "0.0\xC2\xB0");
    EXPECT_EQ(console.TakeWords(), EntryTransaction(Axis::X, 0, 0, 0));
    window.Type(TxtPhase, "3");
    EXPECT_EQ(console.TakeWords(), EntryTransaction(Axis::X, 0, 0, 3));
    window.Type(TxtPhase, "0");
    EXPECT_EQ(console.TakeWords(), EntryTransaction(Axis::X, 0, 0, 30));
    window.Type(TxtPhase, "0");
    EXPECT_EQ(window.Text(TxtPhase), "255");
    EXPECT_EQ(window.Caption(lblPhase), "180.0\xC2\xB0");
    const Words words = console.TakeWords();
    EXPECT_EQ(words, Repeat(EntryTransaction(Axis::X, 0, 0, 255), 2));
    EXPECT_EQ(std::count(words.begin(), words.end(), 511), 4);
}

TEST_F(EntryTest, PageUpInPhaseNearTopSendsTwoIdenticalTransactions) {
    console.PasteOver(TxtPhase, "250");
    console.TakeWords();
    window.SetFocus(TxtPhase);
    window.PressKey(KeyPageUp);
    EXPECT_EQ(window.Text(TxtPhase), "255");
    EXPECT_EQ(console.TakeWords(), Repeat(EntryTransaction(Axis::X, 0, 0, 255), 2));
}

TEST_F(EntryTest, PhaseStepsAndCorrections) {
    struct Case {
        const char* from;
        std::int16_t key;
        const char* boxAfter;
        int transactions;
        int phase;
    };
    const Case cases[] = {
        {"5", KeyPageDown, "0", 2, 0},      {"0", KeyArrowDown, "0", 2, 0},
        {"7", KeyHome, "128", 1, 128},      {"7", KeyArrowUp, "8", 1, 8},
        {"254", KeyArrowUp, "255", 1, 255},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.from);
        console.PasteOver(TxtPhase, c.from);
        console.TakeWords();
        window.SetFocus(TxtPhase);
        window.PressKey(c.key);
        EXPECT_EQ(window.Text(TxtPhase), c.boxAfter);
        EXPECT_EQ(console.TakeWords(),
                  Repeat(EntryTransaction(Axis::X, 0, 0, c.phase), c.transactions));
    }
}

TEST_F(EntryTest, PhaseCaptionInDegrees) {
    const std::pair<int, const char*> cases[] = {
        {0, "0.0"},    {1, "0.7"},     {64, "45.2"},   {127, "89.6"},
        {128, "90.4"}, {254, "179.3"}, {255, "180.0"},
    };
    for (const auto& [phase, caption] : cases) {
        console.PasteOver(TxtPhase, std::to_string(phase));
        EXPECT_EQ(window.Caption(lblPhase), std::string(caption) + "\xC2\xB0") << phase;
        EXPECT_EQ(PhaseDegreesText(phase), std::string(caption) + "\xC2\xB0");
    }
    // Negative zero and an empty box read as zero: no minus sign.
    console.PasteOver(TxtPhase, "-0");
    EXPECT_EQ(window.Caption(lblPhase), "0.0\xC2\xB0");
    console.PasteOver(TxtPhase, "");
    EXPECT_EQ(window.Caption(lblPhase), "0.0\xC2\xB0");
    EXPECT_EQ(PhaseDegreesText(-0.0), "0.0\xC2\xB0");
    EXPECT_EQ(PhaseDegreesText(-0.01), "0.0\xC2\xB0");
}

// Program writes are not limited, so every kind of text can reach a box.
// Whatever it is, the handling must end with a valid box or a text that
// reads 0, and every word sent must be a coil word.
TEST_F(EntryTest, AnyTextInAnyBoxIsCorrectedOrReadAsZero) {
    const char* texts[] = {
        "",         "+",        "-",
        ".",        "-.",       "e5",
        "abc",      "&h",       "&H",
        "&hFFFF",   "&h7",      "&h-1",
        "1e308",    "1e999",    "-1e999",
        "1e-999",   "-0",       "nan",
        "inf",      "-inf",     "4095.9999999",
        "255.5",    "-0.5",     "99999999999999999999999999999999999999999",
        "1,5",      "\t\n 12 ", "\xC2\xB0",
        "\xFF\xFE", "0x10",     "+-3",
        "1e",
    };
    struct Box {
        ControlId id;
        double limit;
    };
    const Box boxes[] = {{txtAmpX, 4095}, {txtAmpY, 4095}, {TxtPhase, 255}};
    for (const Box& box : boxes) {
        for (const char* text : texts) {
            SCOPED_TRACE(testing::Message() << ControlName(box.id) << " '" << text << "'");
            window.SetText(box.id, text);
            const double value = TextValue(window.Text(box.id));
            EXPECT_GE(value, 0);
            EXPECT_LE(value, box.limit);
            EXPECT_EQ(std::floor(value), value);
            const Words words = console.TakeWords();
            EXPECT_TRUE(AllWordsInRange(words));
            EXPECT_EQ(words.size() % 14, 0u);
            // Keys on whatever the box now holds stay in range too.
            window.SetFocus(box.id);
            for (std::int16_t key : {KeyArrowUp, KeyPageDown, KeyArrowDown, KeyPageUp}) {
                window.PressKey(key);
            }
            EXPECT_TRUE(AllWordsInRange(console.TakeWords()));
            EXPECT_EQ(window.Tag(txtAmpX), "0");
            EXPECT_EQ(window.Tag(txtAmpY), "0");
        }
    }
}

} // namespace
} // namespace morlix::test
