// morlixctl's script lines and command lines over any bytes: every line gives a command, nothing,
// or a one-line error; the operands it keeps are within the language's bounds.
#include "commands.h"

#include "fuzz_check.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

using namespace morlix::cli;

namespace {

void CheckCommand(const Command& c) {
    FUZZ_CHECK(c.text.size() <= MaxTextBytes);
    if (c.verb == Verb::Tick) {
        FUZZ_CHECK(c.count >= 1 && c.count <= MaxTickCount);
    }
    if (c.verb == Verb::Key) {
        FUZZ_CHECK(c.keyCode >= 1 && c.keyCode <= 254);
    }
}

void CheckMessage(const std::string& message) {
    FUZZ_CHECK(message.find('\n') == std::string::npos);
    FUZZ_CHECK(message.find('\r') == std::string::npos);
    FUZZ_CHECK(message.find('\0') == std::string::npos);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    // As a script: one command per line.
    std::size_t start = 0;
    while (start <= input.size()) {
        std::size_t end = input.find('\n', start);
        if (end == std::string_view::npos) {
            end = input.size();
        }
        const LineResult line = ParseLine(input.substr(start, end - start));
        FUZZ_CHECK(!(line.command && !line.error.empty()));
        if (line.command) {
            CheckCommand(*line.command);
        }
        CheckMessage(line.error);
        start = end + 1;
    }

    // As program arguments: NUL separates them, as in an argument vector.
    std::vector<std::string> args;
    start = 0;
    while (start < input.size()) {
        std::size_t end = input.find('\0', start);
        if (end == std::string_view::npos) {
            end = input.size();
        }
        args.emplace_back(input.substr(start, end - start));
        start = end + 1;
    }
    const ArgumentsResult parsed = ParseArguments(args);
    for (const Command& c : parsed.commands) {
        CheckCommand(c);
    }
    for (const std::string& e : parsed.errors) {
        CheckMessage(e);
    }
    CheckMessage(QuoteWord(input));
    return 0;
}
