// Name handling: the pipe number at the end of a name opened on the device, and the value
// published for applications from the device interface's link name. Written over any 16-bit
// character type, since the kernel's WCHAR differs between the real and simulated builds.
#pragma once

#include "core_types.h"

namespace norvask::core {

enum class PipeNameKind { NoName, Invalid, Pipe };

struct PipeName {
    PipeNameKind kind;
    u32 pipe; // meaningful for Pipe only
};

// Takes the last run of decimal digits after position 0 as the pipe number, wrapping in 32
// bits. The character at position 0 (the path separator) never counts.
template <typename Char>
PipeName ParsePipeName(const Char* name, u32 length) {
    if (length == 0) {
        return {PipeNameKind::NoName, 0};
    }
    auto isDigit = [](Char c) { return c >= Char('0') && c <= Char('9'); };
    u32 pos = length - 1;
    while (pos >= 1 && !isDigit(name[pos])) {
        --pos;
    }
    if (pos == 0) {
        return {PipeNameKind::Invalid, 0};
    }
    u32 number = 0;
    u32 scale = 1;
    while (pos >= 1 && isDigit(name[pos])) {
        number += static_cast<u32>(name[pos] - Char('0')) * scale;
        scale *= 10;
        --pos;
    }
    return {PipeNameKind::Pipe, number};
}

// Published value: the link with everything before its first backslash after position 0
// replaced by "\\.". Only the first 256 characters are searched.
constexpr u32 kPublishedNameCapacity = 256; // characters, terminator included
constexpr u32 kLinkSearchLimit = 256;       // positions 1..255

struct PublishedName {
    bool publish;       // false: the value does not fit whole and is not written
    bool linkUnchanged; // true: the value is the link itself; `out` is untouched
    u32 length;         // characters, terminator not counted
};

// Builds the published value into `out` (capacity characters, zero-filled and terminated)
// unless it is the link unchanged. A value that would not fit whole is not built at all.
template <typename Char>
PublishedName BuildPublishedName(const Char* link, u32 linkLength, Char* out, u32 capacity) {
    u32 end = linkLength < kLinkSearchLimit ? linkLength : kLinkSearchLimit;
    u32 slash = 0;
    for (u32 i = 1; i < end; ++i) {
        if (link[i] == Char('\\')) {
            slash = i;
            break;
        }
    }
    if (slash == 0) {
        return {true, true, linkLength};
    }
    const u32 length = 3 + (linkLength - slash);
    if (length >= capacity) {
        return {false, false, 0};
    }
    for (u32 i = 0; i < capacity; ++i) {
        out[i] = Char(0);
    }
    out[0] = Char('\\');
    out[1] = Char('\\');
    out[2] = Char('.');
    for (u32 i = slash; i < linkLength; ++i) {
        out[3 + i - slash] = link[i];
    }
    return {true, false, length};
}

} // namespace norvask::core
