#include "core/names.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

namespace norvask::core {
namespace {

PipeName Parse(const std::u16string& name) {
    return ParsePipeName(name.data(), static_cast<u32>(name.size()));
}

TEST(PipeNameParser, TakesTheLastDigitRun) {
    EXPECT_EQ(Parse(u"\\PIPE1").pipe, 1u);
    EXPECT_EQ(Parse(u"\\PIPE00").pipe, 0u);
    EXPECT_EQ(Parse(u"\\12x").pipe, 12u);
    EXPECT_EQ(Parse(u"\\A5B").pipe, 5u);
    EXPECT_EQ(Parse(u"\\3a45b").pipe, 45u);
    for (auto name : {u"\\PIPE1", u"\\PIPE00", u"\\12x", u"\\A5B"}) {
        EXPECT_EQ(Parse(name).kind, PipeNameKind::Pipe);
    }
}

TEST(PipeNameParser, NameWithoutDigitAfterTheFirstCharacterIsInvalid) {
    EXPECT_EQ(Parse(u"\\PIPE").kind, PipeNameKind::Invalid);
    EXPECT_EQ(Parse(u"7").kind, PipeNameKind::Invalid);
    EXPECT_EQ(Parse(u"\\").kind, PipeNameKind::Invalid);
    // The digit at position 0 never counts, also as the left end of a run.
    EXPECT_EQ(Parse(u"12").pipe, 2u);
}

TEST(PipeNameParser, EmptyNameIsNoName) {
    EXPECT_EQ(Parse(u"").kind, PipeNameKind::NoName);
}

TEST(PipeNameParser, LargeNumbersWrapInThirtyTwoBits) {
    EXPECT_EQ(Parse(u"\\4294967295").pipe, 4294967295u);
    EXPECT_EQ(Parse(u"\\4294967296").pipe, 0u);
    EXPECT_EQ(Parse(u"\\4294967301").pipe, 5u);
    const std::u16string many = u"\\" + std::u16string(40, u'9');
    uint64_t expected = 0;
    for (int i = 0; i < 40; ++i) {
        expected = expected * 10 + 9;
    }
    // 10^40 - 1 mod 2^32, computed independently through 64-bit wrap then truncation.
    EXPECT_EQ(Parse(many).pipe, static_cast<u32>(expected));
}

TEST(PipeNameParser, ReadsOnlyTheGivenLength) {
    const char16_t name[] = {u'\\', u'P', u'7', u'9'};
    EXPECT_EQ(ParsePipeName(name, 3).pipe, 7u);
}

// Output buffer of 256 characters followed by guard characters that must stay intact.
struct Published {
    std::array<char16_t, 256 + 8> buf;
    PublishedName result;
};

Published Publish(const std::u16string& link) {
    Published p;
    p.buf.fill(u'#');
    p.result = BuildPublishedName(link.data(), static_cast<u32>(link.size()), p.buf.data(), 256);
    return p;
}

bool GuardsIntact(const Published& p) {
    for (size_t i = 256; i < p.buf.size(); ++i) {
        if (p.buf[i] != u'#') {
            return false;
        }
    }
    return true;
}

TEST(PublishedName, ReplacesEverythingBeforeTheSecondBackslash) {
    const std::u16string link = u"\\??\\USB#VID_FFFF&PID_FFFF#5&1&0&1#{b5157d69}";
    Published p = Publish(link);
    ASSERT_TRUE(p.result.publish);
    ASSERT_FALSE(p.result.linkUnchanged);
    const std::u16string value(p.buf.data());
    EXPECT_EQ(value, u"\\\\.\\USB#VID_FFFF&PID_FFFF#5&1&0&1#{b5157d69}");
    EXPECT_EQ(p.result.length, value.size());
    EXPECT_EQ(p.result.length, link.size()); // three characters became three
    EXPECT_TRUE(GuardsIntact(p));
}

TEST(PublishedName, LinkWithoutBackslashAfterPositionZeroIsUnchanged) {
    Published a = Publish(u"\\NoSecondSlash");
    EXPECT_TRUE(a.result.publish);
    EXPECT_TRUE(a.result.linkUnchanged);
    EXPECT_EQ(a.result.length, 14u);

    // A backslash at position 256 is beyond the search.
    std::u16string far = u"\\" + std::u16string(255, u'a') + u"\\tail";
    Published b = Publish(far);
    EXPECT_TRUE(b.result.linkUnchanged);
    EXPECT_TRUE(GuardsIntact(b));
}

TEST(PublishedName, ValueThatDoesNotFitWholeIsSkipped) {
    // Backslash at 3: value length = link length. 255 characters plus terminator fit.
    std::u16string fits = u"\\??\\" + std::u16string(251, u'x');
    ASSERT_EQ(fits.size(), 255u);
    Published a = Publish(fits);
    EXPECT_TRUE(a.result.publish);
    EXPECT_EQ(a.result.length, 255u);
    EXPECT_EQ(a.buf[255], u'\0');
    EXPECT_TRUE(GuardsIntact(a));

    Published b = Publish(fits + u"y");
    EXPECT_FALSE(b.result.publish);
    EXPECT_TRUE(GuardsIntact(b));

    // A backslash late in the search with a long tail: 3 + the tail would pass 256.
    std::u16string late = u"\\" + std::u16string(250, u'a') + u"\\" + std::u16string(300, u'b');
    Published c = Publish(late);
    EXPECT_FALSE(c.result.publish);
    EXPECT_TRUE(GuardsIntact(c));
}

} // namespace
} // namespace norvask::core
