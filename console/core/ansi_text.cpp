#include "ansi_text.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace morlix {

namespace {

// Bytes 0x80..0x9F of Windows-1252; the unassigned ones map to themselves.
constexpr char16_t HighTable[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char32_t AnsiToCodePoint(unsigned char b) {
    if (b >= 0x80 && b < 0xA0) {
        return HighTable[b - 0x80];
    }
    return b;
}

int CodePointToAnsi(char32_t cp) {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
        return static_cast<int>(cp);
    }
    for (int i = 0; i < 32; ++i) {
        if (HighTable[i] == cp) {
            return 0x80 + i;
        }
    }
    return -1;
}

// Decodes one UTF-8 sequence at text[i]; returns its length, 0 if invalid.
std::size_t DecodeUtf8(std::string_view text, std::size_t i, char32_t& cp) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t len = 0;
    char32_t min = 0;
    if (lead < 0x80) {
        cp = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        len = 2;
        cp = lead & 0x1F;
        min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        len = 3;
        cp = lead & 0x0F;
        min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        len = 4;
        cp = lead & 0x07;
        min = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - i < len) {
        return 0;
    }
    for (std::size_t k = 1; k < len; ++k) {
        const auto c = static_cast<unsigned char>(text[i + k]);
        if ((c & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    return len;
}

// Where the run of ASCII bytes that starts at i ends: eight bytes at a time, as a device path read
// into its blank-filled buffer is 255 bytes, mostly blanks.
std::size_t AsciiRunEnd(std::string_view text, std::size_t i) {
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, text.data() + i, 8);
        if ((word & 0x8080808080808080ull) != 0) {
            break;
        }
    }
    while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x80) {
        ++i;
    }
    return i;
}

} // namespace

bool IsAscii(std::string_view text) {
    // The high bits of 32 bytes are gathered before one test: a blank-filled 255-byte buffer
    // goes in eight steps.
    constexpr std::uint64_t kHigh = 0x8080808080808080ull;
    const char* p = text.data();
    std::size_t n = text.size();
#if defined(__SSE2__)
    for (; n >= 32; p += 32, n -= 32) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
        if (_mm_movemask_epi8(_mm_or_si128(a, b)) != 0) {
            return false;
        }
    }
#endif
    for (; n >= 32; p += 32, n -= 32) {
        std::uint64_t w[4];
        std::memcpy(w, p, sizeof w);
        if (((w[0] | w[1] | w[2] | w[3]) & kHigh) != 0) {
            return false;
        }
    }
    return AsciiRunEnd(std::string_view(p, n), 0) == n;
}

// Both conversions write into a string sized for the longest result and cut it to length once:
// a device path is converted on every device cycle.
std::string Utf8ToAnsi(std::string_view utf8) {
    if (IsAscii(utf8)) {
        return std::string(utf8);
    }
    std::string out(utf8.size(), '\0'); // never longer than its UTF-8 form
    std::size_t n = 0;
    std::size_t i = 0;
    while (i < utf8.size()) {
        const std::size_t run = AsciiRunEnd(utf8, i);
        if (run > i) {
            std::memcpy(out.data() + n, utf8.data() + i, run - i);
            n += run - i;
            i = run;
            continue;
        }
        char32_t cp = 0;
        const std::size_t len = DecodeUtf8(utf8, i, cp);
        if (len == 0) {
            out[n++] = '?';
            ++i;
            continue;
        }
        const int b = CodePointToAnsi(cp);
        out[n++] = b < 0 ? '?' : static_cast<char>(b);
        i += len;
    }
    out.resize(n);
    return out;
}

std::string AnsiToUtf8(std::string_view ansi) {
    if (IsAscii(ansi)) {
        return std::string(ansi);
    }
    std::string out(ansi.size() * 3, '\0'); // every character takes three bytes at most
    std::size_t n = 0;
    std::size_t i = 0;
    while (i < ansi.size()) {
        const std::size_t run = AsciiRunEnd(ansi, i);
        if (run > i) {
            std::memcpy(out.data() + n, ansi.data() + i, run - i);
            n += run - i;
            i = run;
            continue;
        }
        const char32_t cp = AnsiToCodePoint(static_cast<unsigned char>(ansi[i++]));
        if (cp < 0x80) {
            out[n++] = static_cast<char>(cp);
        } else if (cp < 0x800) {
            out[n++] = static_cast<char>(0xC0 | (cp >> 6));
            out[n++] = static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out[n++] = static_cast<char>(0xE0 | (cp >> 12));
            out[n++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out[n++] = static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    out.resize(n);
    return out;
}

} // namespace morlix
