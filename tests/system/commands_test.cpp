// morlixctl's command language: what a line or an argument list becomes,
// and that bad input gives one-line errors instead of commands.
#include "commands.h"

#include "window.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using morlix::ControlId;
using morlix::cli::Command;
using morlix::cli::ParseArguments;
using morlix::cli::ParseLine;
using morlix::cli::Verb;

Command Parsed(std::string_view line) {
    const morlix::cli::LineResult result = ParseLine(line);
    EXPECT_EQ(result.error, "") << line;
    EXPECT_TRUE(result.command.has_value()) << line;
    return result.command.value_or(Command{});
}

TEST(MorlixctlCommands, LinesBecomeCommands) {
    Command c = Parsed("type X 1000");
    EXPECT_EQ(c.verb, Verb::Type);
    EXPECT_EQ(c.control, ControlId::txtAmpX);
    EXPECT_EQ(c.text, "1000");

    c = Parsed("  PASTE\ty 12.7\r");
    EXPECT_EQ(c.verb, Verb::Paste);
    EXPECT_EQ(c.control, ControlId::txtAmpY);
    EXPECT_EQ(c.text, "12.7");

    // The text is the rest of the line, blanks inside it kept.
    c = Parsed("append phase 1 2");
    EXPECT_EQ(c.control, ControlId::TxtPhase);
    EXPECT_EQ(c.text, "1 2");

    c = Parsed("key X Up");
    EXPECT_EQ(c.verb, Verb::Key);
    EXPECT_EQ(c.control, ControlId::txtAmpX);
    EXPECT_EQ(c.keyCode, morlix::KeyArrowUp);
    EXPECT_EQ(c.shift, 0);

    c = Parsed("key Shift+F3");
    EXPECT_EQ(c.control, ControlId::FormWindow);
    EXPECT_EQ(c.keyCode, morlix::KeyF3);
    EXPECT_EQ(c.shift, morlix::ShiftMask);

    c = Parsed("key Phase ctrl+pgup");
    EXPECT_EQ(c.control, ControlId::TxtPhase);
    EXPECT_EQ(c.keyCode, morlix::KeyPageUp);
    EXPECT_EQ(c.shift, morlix::CtrlMask);

    EXPECT_EQ(Parsed("key Esc").keyCode, morlix::KeyEscape);
    EXPECT_EQ(Parsed("key 65").keyCode, 65);
    EXPECT_EQ(Parsed("click OnTop").control, ControlId::chkOnTop);
    EXPECT_EQ(Parsed("click cmdTriple").control, ControlId::cmdTriple);
    EXPECT_EQ(Parsed("focus Max").control, ControlId::cmdMax);
    EXPECT_EQ(Parsed("tick").count, 1);
    EXPECT_EQ(Parsed("tick 5").count, 5);
    EXPECT_EQ(Parsed("clear Y").verb, Verb::Clear);
    EXPECT_EQ(Parsed("quit").verb, Verb::Quit);

    for (const char* nothing : {"", "   ", "# a comment", "  # indented comment", "\r"}) {
        const morlix::cli::LineResult r = ParseLine(nothing);
        EXPECT_FALSE(r.command.has_value()) << nothing;
        EXPECT_EQ(r.error, "") << nothing;
    }
}

TEST(MorlixctlCommands, ArgumentsSplitAtEachCommandsOwnOperands) {
    const std::vector<std::string> args{"type", "X",     "1000",   "show", "key",  "F4",
                                        "key",  "Phase", "PageUp", "tick", "coil", "tick",
                                        "3",    "paste", "Y",      "a b"};
    const morlix::cli::ArgumentsResult r = ParseArguments(args);
    EXPECT_TRUE(r.errors.empty());
    ASSERT_EQ(r.commands.size(), 8u);
    EXPECT_EQ(r.commands[0].verb, Verb::Type);
    EXPECT_EQ(r.commands[0].text, "1000");
    EXPECT_EQ(r.commands[1].verb, Verb::Show);
    EXPECT_EQ(r.commands[2].keyCode, morlix::KeyF4);
    EXPECT_EQ(r.commands[2].control, ControlId::FormWindow);
    EXPECT_EQ(r.commands[3].control, ControlId::TxtPhase);
    EXPECT_EQ(r.commands[3].keyCode, morlix::KeyPageUp);
    EXPECT_EQ(r.commands[4].verb, Verb::Tick);
    EXPECT_EQ(r.commands[4].count, 1);
    EXPECT_EQ(r.commands[5].verb, Verb::Coil);
    EXPECT_EQ(r.commands[6].count, 3);
    EXPECT_EQ(r.commands[7].text, "a b");

    // A bad command is reported and skipped; the good ones around it stay.
    const std::vector<std::string> bad{"bogus", "show", "tick", "99999999999999999999",
                                       "type",  "X"};
    const morlix::cli::ArgumentsResult b = ParseArguments(bad);
    ASSERT_EQ(b.commands.size(), 1u);
    EXPECT_EQ(b.commands[0].verb, Verb::Show);
    ASSERT_EQ(b.errors.size(), 3u);
    EXPECT_NE(b.errors[0].find("argument 1"), std::string::npos);
    EXPECT_NE(b.errors[1].find("argument 3"), std::string::npos);
    EXPECT_NE(b.errors[2].find("argument 5"), std::string::npos);
}

TEST(MorlixctlCommands, BadInputGivesAOneLineErrorAndNoCommand) {
    const std::string longText(morlix::cli::MaxTextBytes + 1, '1');
    const std::vector<std::string> lines{
        "frobnicate",
        "type",
        "type X",
        "type Q 12",
        "type X 1\x01",
        "type X \xff\xfe",
        "type X " + longText,
        "paste Y \xe2\x82",
        "key",
        "key X",
        "key X Up Down",
        "key Hyper+F1",
        "key 0",
        "key 99999999999999999999",
        "click",
        "click txtAmpX",
        "focus lblAmpX",
        "tick 0",
        "tick -1",
        "tick 1001",
        "tick 99999999999999999999",
        "tick 1.5",
        "show now",
        "coil 1",
        std::string("\x80\x00zz\x1b[2J", 8),
    };
    for (const std::string& line : lines) {
        const morlix::cli::LineResult r = ParseLine(line);
        EXPECT_FALSE(r.command.has_value()) << line;
        EXPECT_FALSE(r.error.empty()) << line;
        EXPECT_EQ(r.error.find('\n'), std::string::npos) << line;
        for (char c : r.error) {
            EXPECT_GE(static_cast<unsigned char>(c), 0x20) << line; // printable on a terminal
        }
    }
}

} // namespace
