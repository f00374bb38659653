#include "commands.h"

#include "layout.h"
#include "window.h"

#include <array>
#include <charconv>
#include <cstdio>

namespace morlix::cli {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) {
            return false;
        }
    }
    return true;
}

// A word as it may appear in a one-line message: control bytes escaped,
// long words cut.
std::string Quote(std::string_view word) {
    constexpr std::size_t Longest = 40;
    std::string out = "\"";
    for (std::size_t i = 0; i < word.size() && i < Longest; ++i) {
        const auto c = static_cast<unsigned char>(word[i]);
        if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    if (word.size() > Longest) {
        out += "...";
    }
    out += '"';
    return out;
}

struct Name {
    const char* name;
    ControlId id;
};

// Short names; each control also answers to its own name in the layout.
constexpr std::array BoxNames{
    Name{"X", ControlId::txtAmpX},      Name{"AmpX", ControlId::txtAmpX},
    Name{"Y", ControlId::txtAmpY},      Name{"AmpY", ControlId::txtAmpY},
    Name{"Phase", ControlId::TxtPhase},
};

constexpr std::array ClickNames{
    Name{"Reset", ControlId::cmdReset}, Name{"Standby", ControlId::cmdStandby},
    Name{"Min", ControlId::cmdMin},     Name{"Medium", ControlId::cmdMedium},
    Name{"Max", ControlId::cmdMax},     Name{"Triple", ControlId::cmdTriple},
    Name{"OnTop", ControlId::chkOnTop},
};

struct KeyName {
    const char* name;
    std::int16_t code;
};

constexpr std::array KeyNames{
    KeyName{"Esc", KeyEscape},
    KeyName{"Escape", KeyEscape},
    KeyName{"PageUp", KeyPageUp},
    KeyName{"PgUp", KeyPageUp},
    KeyName{"PageDown", KeyPageDown},
    KeyName{"PgDn", KeyPageDown},
    KeyName{"End", KeyEnd},
    KeyName{"Home", KeyHome},
    KeyName{"Left", KeyArrowLeft},
    KeyName{"Up", KeyArrowUp},
    KeyName{"Right", KeyArrowRight},
    KeyName{"Down", KeyArrowDown},
    KeyName{"F1", KeyF1},
    KeyName{"F2", KeyF2},
    KeyName{"F3", KeyF3},
    KeyName{"F4", KeyF4},
    KeyName{"F5", KeyF5},
    KeyName{"F6", KeyF6},
    KeyName{"F7", KeyF6 + 1},
    KeyName{"F8", KeyF6 + 2},
    KeyName{"F9", KeyF6 + 3},
    KeyName{"F10", KeyF6 + 4},
    KeyName{"F11", KeyF6 + 5},
    KeyName{"F12", KeyF12},
};

template <std::size_t N>
std::optional<ControlId> Lookup(const std::array<Name, N>& names, std::string_view name) {
    for (const Name& entry : names) {
        if (SameName(entry.name, name) || SameName(ControlName(entry.id), name)) {
            return entry.id;
        }
    }
    return std::nullopt;
}

struct VerbName {
    const char* name;
    Verb verb;
};

constexpr std::array VerbNames{
    VerbName{"type", Verb::Type},           VerbName{"append", Verb::Append},
    VerbName{"paste", Verb::Paste},         VerbName{"clear", Verb::Clear},
    VerbName{"backspace", Verb::Backspace}, VerbName{"key", Verb::Key},
    VerbName{"click", Verb::Click},         VerbName{"focus", Verb::Focus},
    VerbName{"tick", Verb::Tick},           VerbName{"show", Verb::Show},
    VerbName{"coil", Verb::Coil},           VerbName{"unplug", Verb::Unplug},
    VerbName{"plug", Verb::Plug},           VerbName{"help", Verb::Help},
    VerbName{"quit", Verb::Quit},           VerbName{"exit", Verb::Quit},
};

std::optional<Verb> VerbByName(std::string_view name) {
    for (const VerbName& entry : VerbNames) {
        if (SameName(entry.name, name)) {
            return entry.verb;
        }
    }
    return std::nullopt;
}

bool TakesText(Verb verb) {
    return verb == Verb::Type || verb == Verb::Append || verb == Verb::Paste;
}

// Well-formed UTF-8 without control characters: what an operator can type.
bool TypableText(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            return false;
        }
        std::size_t length = 1;
        if (c >= 0x80) {
            if (c >= 0xC2 && c <= 0xDF) {
                length = 2;
            } else if (c >= 0xE0 && c <= 0xEF) {
                length = 3;
            } else if (c >= 0xF0 && c <= 0xF4) {
                length = 4;
            } else {
                return false;
            }
            if (i + length > text.size()) {
                return false;
            }
            for (std::size_t k = 1; k < length; ++k) {
                if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
                    return false;
                }
            }
        }
        i += length;
    }
    return true;
}

bool ParseCount(std::string_view word, int& count) {
    int value = 0;
    const char* end = word.data() + word.size();
    auto [ptr, error] = std::from_chars(word.data(), end, value);
    if (error != std::errc{} || ptr != end || value < 1 || value > MaxTickCount) {
        return false;
    }
    count = value;
    return true;
}

LineResult Fail(std::string_view verbName, std::string message) {
    LineResult result;
    result.error = std::string(verbName) + ": " + message;
    return result;
}

// Builds one command from its verb and operands; `text` is the typed text
// for the verbs that take one.
LineResult Build(Verb verb, std::string_view verbName, std::span<const std::string_view> operands,
                 std::string_view text) {
    Command command;
    command.verb = verb;
    const std::size_t given = operands.size();
    auto wrongCount = [&](const char* usage) {
        return Fail(verbName, std::string("expected ") + usage);
    };
    auto box = [&](std::string_view name) -> bool {
        if (auto id = BoxByName(name)) {
            command.control = *id;
            return true;
        }
        return false;
    };
    const char* boxes = " (X, Y or Phase)";

    switch (verb) {
    case Verb::Type:
    case Verb::Append:
    case Verb::Paste:
        if (given < 1) {
            return wrongCount("<box> <text>");
        }
        if (!box(operands[0])) {
            return Fail(verbName, "unknown box " + Quote(operands[0]) + boxes);
        }
        if (text.empty()) {
            return Fail(verbName, "missing text (to empty a box, use clear)");
        }
        if (text.size() > MaxTextBytes) {
            return Fail(verbName, "text longer than " + std::to_string(MaxTextBytes) + " bytes");
        }
        if (!TypableText(text)) {
            return Fail(verbName, "text with control characters or malformed UTF-8");
        }
        command.text = text;
        break;
    case Verb::Clear:
    case Verb::Backspace:
        if (given != 1) {
            return wrongCount("<box>");
        }
        if (!box(operands[0])) {
            return Fail(verbName, "unknown box " + Quote(operands[0]) + boxes);
        }
        break;
    case Verb::Key: {
        if (given != 1 && given != 2) {
            return wrongCount("[<box>] <key>");
        }
        if (given == 2 && !box(operands[0])) {
            return Fail(verbName, "unknown box " + Quote(operands[0]) + boxes);
        }
        const std::string_view key = operands[given - 1];
        if (!KeyByName(key, command.keyCode, command.shift)) {
            return Fail(verbName, "unknown key " + Quote(key) +
                                      " (Up, Down, PageUp, PageDown, Home, End, F1-F12, Esc, ...)");
        }
        break;
    }
    case Verb::Click:
    case Verb::Focus: {
        if (given != 1) {
            return wrongCount("<control>");
        }
        auto id = verb == Verb::Click ? ClickableByName(operands[0]) : FocusableByName(operands[0]);
        if (!id) {
            return Fail(
                verbName,
                "unknown control " + Quote(operands[0]) +
                    (verb == Verb::Click
                         ? " (Reset, Standby, Min, Medium, Max, Triple or OnTop)"
                         : " (X, Y, Phase, Reset, Standby, Min, Medium, Max, Triple, OnTop)"));
        }
        command.control = *id;
        break;
    }
    case Verb::Tick:
        if (given > 1) {
            return wrongCount("[<count>]");
        }
        if (given == 1 && !ParseCount(operands[0], command.count)) {
            return Fail(verbName, "count " + Quote(operands[0]) +
                                      " is not a whole number from 1 to " +
                                      std::to_string(MaxTickCount));
        }
        break;
    case Verb::Show:
    case Verb::Coil:
    case Verb::Unplug:
    case Verb::Plug:
    case Verb::Help:
    case Verb::Quit:
        if (given != 0) {
            return Fail(verbName, "takes no arguments");
        }
        break;
    }
    LineResult result;
    result.command = std::move(command);
    return result;
}

std::vector<std::string_view> Words(std::string_view text) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && IsBlank(text[i])) {
            ++i;
        }
        const std::size_t start = i;
        while (i < text.size() && !IsBlank(text[i])) {
            ++i;
        }
        if (i > start) {
            words.push_back(text.substr(start, i - start));
        }
    }
    return words;
}

bool LooksLikeCount(std::string_view word) {
    return !word.empty() &&
           (word[0] == '-' || word[0] == '+' || (word[0] >= '0' && word[0] <= '9'));
}

} // namespace

std::optional<ControlId> BoxByName(std::string_view name) {
    return Lookup(BoxNames, name);
}

std::optional<ControlId> ClickableByName(std::string_view name) {
    return Lookup(ClickNames, name);
}

std::optional<ControlId> FocusableByName(std::string_view name) {
    if (auto id = BoxByName(name)) {
        return id;
    }
    return ClickableByName(name);
}

bool KeyByName(std::string_view name, std::int16_t& keyCode, std::int16_t& shift) {
    std::int16_t modifiers = 0;
    for (;;) {
        const std::size_t plus = name.find('+');
        if (plus == std::string_view::npos || plus + 1 >= name.size()) {
            break;
        }
        const std::string_view modifier = name.substr(0, plus);
        if (SameName(modifier, "Shift")) {
            modifiers |= ShiftMask;
        } else if (SameName(modifier, "Ctrl") || SameName(modifier, "Control")) {
            modifiers |= CtrlMask;
        } else if (SameName(modifier, "Alt")) {
            modifiers |= AltMask;
        } else {
            return false;
        }
        name.remove_prefix(plus + 1);
    }
    for (const KeyName& entry : KeyNames) {
        if (SameName(entry.name, name)) {
            keyCode = entry.code;
            shift = modifiers;
            return true;
        }
    }
    int code = 0;
    const char* end = name.data() + name.size();
    auto [ptr, error] = std::from_chars(name.data(), end, code);
    if (name.empty() || error != std::errc{} || ptr != end || code < 1 || code > 254) {
        return false;
    }
    keyCode = static_cast<std::int16_t>(code);
    shift = modifiers;
    return true;
}

LineResult ParseLine(std::string_view line) {
    while (!line.empty() && IsBlank(line.back()) && line.back() != ' ' && line.back() != '\t') {
        line.remove_suffix(1); // CR of a CRLF file, stray line ends
    }
    std::size_t i = 0;
    while (i < line.size() && IsBlank(line[i])) {
        ++i;
    }
    if (i == line.size() || line[i] == '#') {
        return {};
    }
    std::size_t verbEnd = i;
    while (verbEnd < line.size() && !IsBlank(line[verbEnd])) {
        ++verbEnd;
    }
    const std::string_view verbName = line.substr(i, verbEnd - i);
    const std::optional<Verb> verb = VerbByName(verbName);
    if (!verb) {
        LineResult result;
        result.error = "unknown command " + Quote(verbName) + " (try help)";
        return result;
    }
    const std::string_view rest = line.substr(verbEnd);
    if (!TakesText(*verb)) {
        const std::vector<std::string_view> operands = Words(rest);
        return Build(*verb, verbName, operands, {});
    }
    // <box> then the rest of the line, as typed.
    std::size_t boxStart = 0;
    while (boxStart < rest.size() && IsBlank(rest[boxStart])) {
        ++boxStart;
    }
    std::size_t boxEnd = boxStart;
    while (boxEnd < rest.size() && !IsBlank(rest[boxEnd])) {
        ++boxEnd;
    }
    std::size_t textStart = boxEnd;
    while (textStart < rest.size() && IsBlank(rest[textStart])) {
        ++textStart;
    }
    std::vector<std::string_view> operands;
    if (boxEnd > boxStart) {
        operands.push_back(rest.substr(boxStart, boxEnd - boxStart));
    }
    return Build(*verb, verbName, operands, rest.substr(textStart));
}

ArgumentsResult ParseArguments(std::span<const std::string> args) {
    ArgumentsResult result;
    std::size_t i = 0;
    while (i < args.size()) {
        const std::size_t at = i;
        const std::string_view verbName = args[i++];
        const std::optional<Verb> verb = VerbByName(verbName);
        if (!verb) {
            result.errors.push_back("argument " + std::to_string(at + 1) + ": unknown command " +
                                    Quote(verbName) + " (try help)");
            continue;
        }
        std::size_t take = 0;
        switch (*verb) {
        case Verb::Type:
        case Verb::Append:
        case Verb::Paste:
            take = 2;
            break;
        case Verb::Clear:
        case Verb::Backspace:
        case Verb::Click:
        case Verb::Focus:
            take = 1;
            break;
        case Verb::Key:
            take = i + 1 < args.size() && BoxByName(args[i]) ? 2 : 1;
            break;
        case Verb::Tick:
            take = i < args.size() && LooksLikeCount(args[i]) ? 1 : 0;
            break;
        default:
            break;
        }
        take = std::min(take, args.size() - i);
        std::vector<std::string_view> operands(args.begin() + static_cast<std::ptrdiff_t>(i),
                                               args.begin() +
                                                   static_cast<std::ptrdiff_t>(i + take));
        i += take;
        std::string_view text;
        if (TakesText(*verb) && operands.size() == 2) {
            text = operands[1];
            operands.pop_back();
        }
        LineResult one = Build(*verb, verbName, operands, text);
        if (one.command) {
            result.commands.push_back(std::move(*one.command));
        } else {
            result.errors.push_back("argument " + std::to_string(at + 1) + ": " + one.error);
        }
    }
    return result;
}

const char* HelpText() {
    return "type <box> <text>     select the box's text and type over it, one character at a time\n"
           "append <box> <text>   type at the end of the box's text\n"
           "paste <box> <text>    select the box's text and paste over it\n"
           "clear <box>           select all and delete\n"
           "backspace <box>       delete the character before the caret\n"
           "key [<box>] <key>     a key goes down (in <box>): Up Down PageUp PageDown Home End\n"
           "                      F1-F12 Esc, with Shift+ Ctrl+ Alt+, or a key code\n"
           "click <button>        Reset Standby Min Medium Max Triple OnTop\n"
           "focus <control>       X Y Phase or a button\n"
           "tick [<count>]        serial-number timer ticks (the 1000 ms timer ticks only when "
           "told)\n"
           "show                  the window: boxes, labels and colours, serial number, placement\n"
           "coil                  words the coil driver latched since the last coil, and its "
           "setting\n"
           "unplug, plug          pull the chip out, plug it in again\n"
           "                      (coil, unplug and plug: on the bench and the virtual bus; a "
           "real chip allows none)\n"
           "help, quit\n"
           "boxes: X Y Phase\n";
}

std::string QuoteWord(std::string_view word) {
    return Quote(word);
}

} // namespace morlix::cli
