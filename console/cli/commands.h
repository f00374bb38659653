// The command language of morlixctl: one command per line on standard
// input, or the same commands as program arguments. Parsing only; the
// session runs them.
#pragma once

#include "layout.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace morlix::cli {

enum class Verb {
    Type,      // type <box> <text>: select the box's text, then type character by character
    Append,    // append <box> <text>: type at the end of the box's text
    Paste,     // paste <box> <text>: select the box's text, then paste
    Clear,     // clear <box>: select all, delete
    Backspace, // backspace <box>
    Key,       // key [<box>] <key>: the key goes down (in the box, if one is named)
    Click,     // click <button|OnTop>
    Focus,     // focus <control>
    Tick,      // tick [<count>]: tmrSN ticks
    Show,      // show: the window's state
    Coil,      // coil: what the coil driver latched since the last coil, and its setting
    Unplug,
    Plug,
    Help,
    Quit,
};

struct Command {
    Verb verb = Verb::Help;
    ControlId control = ControlId::FormWindow; // FormWindow: none named
    std::string text;
    std::int16_t keyCode = 0;
    std::int16_t shift = 0;
    int count = 1;
    bool operator==(const Command&) const = default;
};

// Longest text accepted for type, append and paste, in bytes.
inline constexpr std::size_t MaxTextBytes = 1024;
inline constexpr int MaxTickCount = 1000;

struct LineResult {
    std::optional<Command> command; // none for a blank line, a comment or an error
    std::string error;              // one line, empty when the line was fine
};

// One input line. Blank lines and lines starting with '#' give nothing. The
// text of type, append and paste is the rest of the line after the box name,
// blanks inside it included.
LineResult ParseLine(std::string_view line);

struct ArgumentsResult {
    std::vector<Command> commands;
    std::vector<std::string> errors; // one line each; the good commands are kept
};

// Commands given as program arguments, one word each: `type X 1000 show`.
// The text of type, append and paste is one argument.
ArgumentsResult ParseArguments(std::span<const std::string> args);

// Name lookups, case-insensitive ("X", "txtAmpX"; "Max", "cmdMax"; ...).
std::optional<ControlId> BoxByName(std::string_view name);
std::optional<ControlId> ClickableByName(std::string_view name);
std::optional<ControlId> FocusableByName(std::string_view name);
// "Up", "PageDown", "F4", "Esc", "Shift+F3", "Ctrl+PageUp", or a decimal key code 1..254.
bool KeyByName(std::string_view name, std::int16_t& keyCode, std::int16_t& shift);

// A word as it may appear in a one-line message: quoted, control bytes escaped, long words cut.
std::string QuoteWord(std::string_view word);

// Short help text, one command per line.
const char* HelpText();

} // namespace morlix::cli
