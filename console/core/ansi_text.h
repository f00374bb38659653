// Conversion between the console's UTF-8 texts and the ANSI code page
// (Windows-1252) of the registry and file calls.
#pragma once

#include <string>
#include <string_view>

namespace morlix {

// Plain ASCII reads the same in UTF-8 and in the ANSI code page: it needs no conversion.
bool IsAscii(std::string_view text);

// Characters that Windows-1252 cannot hold, and bytes that are not valid
// UTF-8, become '?', one per character or bad byte.
std::string Utf8ToAnsi(std::string_view utf8);

// Every byte has a character: the five unassigned bytes stand for the C1
// controls of the same number, so ANSI -> UTF-8 -> ANSI gives the bytes back.
std::string AnsiToUtf8(std::string_view ansi);

} // namespace morlix
