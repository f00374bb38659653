// The settings store: strings written without their NUL in the ANSI code
// page, read back as text, numbers read back in their hexadecimal form.
#include "ansi_text.h"
#include "fake_platform.h"
#include "misc_functions.h"
#include "text_value.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace morlix {
namespace {

using test::Call;
using test::CallKind;
using test::FakePlatform;
using Bytes = std::vector<std::uint8_t>;

const std::string Key = SettingsKey.path;

class SettingsStoreTest : public ::testing::Test {
protected:
    bool Read(const std::string& name, std::string& text) {
        return ReadRegValue(fake, SettingsKey.root, SettingsKey.path, name, text);
    }
    bool Write(const std::string& name, const std::string& text) {
        return WriteRegString(fake, SettingsKey.root, SettingsKey.path, name, text);
    }
    void Store(const std::string& name, Dword type, Bytes bytes) {
        fake.SetValue(RootCurrentUser, Key, name, type, std::move(bytes));
    }

    FakePlatform fake;
};

TEST_F(SettingsStoreTest, SettingsLiveUnderTheCurrentUser) {
    EXPECT_EQ(SettingsKey.root, static_cast<RegKey>(static_cast<std::int32_t>(0x80000001u)));
    EXPECT_EQ(Key, "SOFTWARE\\Veltrane\\Morlix");
}

TEST_F(SettingsStoreTest, WriteStoresTheTextWithoutItsNulWithExactArguments) {
    EXPECT_TRUE(Write("Top", "2880"));

    const auto& calls = fake.Calls();
    ASSERT_EQ(calls.size(), 3u);
    const Call& create = calls[0];
    EXPECT_EQ(create.kind, CallKind::RegCreateKeyExA);
    EXPECT_EQ(create.key, RootCurrentUser);
    EXPECT_EQ(create.name, Key);
    EXPECT_EQ(create.reserved, 0u);
    EXPECT_TRUE(create.classNull);
    EXPECT_EQ(create.options, 0u);
    EXPECT_EQ(create.access, 0xF003Fu);
    EXPECT_TRUE(create.securityNull);
    EXPECT_FALSE(create.resultOutNull);
    EXPECT_FALSE(create.dispositionOutNull);

    const Call& set = calls[1];
    EXPECT_EQ(set.kind, CallKind::RegSetValueExA);
    EXPECT_NE(set.key, 0);
    EXPECT_EQ(set.name, "Top");
    EXPECT_EQ(set.reserved, 0u);
    EXPECT_EQ(set.type, 1u);
    EXPECT_EQ(set.sizeIn, 4u);
    EXPECT_EQ(set.data, (Bytes{'2', '8', '8', '0'}));

    EXPECT_EQ(calls[2].kind, CallKind::RegCloseKey);
    EXPECT_EQ(calls[2].key, set.key);
    EXPECT_EQ(fake.OpenRegKeys(), 0);

    const auto stored = fake.FindValue(RootCurrentUser, Key, "Top");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->type, RegSz);
    EXPECT_EQ(stored->bytes, (Bytes{'2', '8', '8', '0'}));
}

TEST_F(SettingsStoreTest, ReadUsesExactArgumentsAndReturnsTheText) {
    ASSERT_TRUE(Write("Left", "2880"));
    fake.ClearCalls();
    std::string text = "previous";
    EXPECT_TRUE(Read("Left", text));
    EXPECT_EQ(text, "2880");

    const auto& calls = fake.Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].kind, CallKind::RegOpenKeyExA);
    EXPECT_EQ(calls[0].key, RootCurrentUser);
    EXPECT_EQ(calls[0].name, Key);
    EXPECT_EQ(calls[0].options, 0u);
    EXPECT_EQ(calls[0].access, 0x2003Fu);
    const Call& query = calls[1];
    EXPECT_EQ(query.kind, CallKind::RegQueryValueExA);
    EXPECT_EQ(query.name, "Left");
    EXPECT_TRUE(query.reservedNull);
    EXPECT_FALSE(query.typeOutNull);
    EXPECT_FALSE(query.dataNull);
    EXPECT_EQ(query.sizeIn, 1024u);
    EXPECT_EQ(calls[2].kind, CallKind::RegCloseKey);
    EXPECT_EQ(calls[2].key, query.key);
    EXPECT_EQ(fake.OpenRegKeys(), 0);
}

TEST_F(SettingsStoreTest, StringsStoredWithOrWithoutTheirNulReadTheSame) {
    Store("A", RegSz, {'2', '8', '8', '0', 0});
    Store("B", RegSz, {'2', '8', '8', '0'});
    std::string a, b;
    EXPECT_TRUE(Read("A", a));
    EXPECT_TRUE(Read("B", b));
    EXPECT_EQ(a, "2880");
    EXPECT_EQ(b, "2880");
    // Only one trailing NUL goes; what comes before it stays.
    Store("C", RegSz, {'x', 0, 0});
    std::string c;
    EXPECT_TRUE(Read("C", c));
    EXPECT_EQ(c, std::string("x\0", 2));
}

TEST_F(SettingsStoreTest, EmptyTextIsAZeroLengthValueThatReadsAsFailure) {
    EXPECT_TRUE(Write("On Top", ""));
    EXPECT_EQ(fake.CallsOf(CallKind::RegSetValueExA).at(0).sizeIn, 0u);
    EXPECT_EQ(fake.FindValue(RootCurrentUser, Key, "On Top")->bytes, Bytes{});
    std::string text = "stale";
    EXPECT_FALSE(Read("On Top", text));
    EXPECT_EQ(text, "");
    EXPECT_EQ(fake.OpenRegKeys(), 0);
}

TEST_F(SettingsStoreTest, NumbersReadInHexadecimalMostSignificantFirst) {
    struct Case {
        Bytes bytes;
        const char* text;
    };
    const Case cases[] = {
        {{0x40, 0x0B, 0x00, 0x00}, "&h000B40"}, // the trailing 00 is taken for a NUL
        {{0x01, 0x00, 0x00, 0x00}, "&h000001"},   {{0x40, 0x00, 0x05, 0x00}, "&h050040"},
        {{0x00, 0x00, 0x00, 0x01}, "&h01000000"}, {{0xFF, 0xFF, 0xFF, 0xFF}, "&hFFFFFFFF"},
        {{0x00, 0x00, 0x00, 0x00}, "&h000000"},   {{0xAB}, "&hAB"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Store("Top", RegDword, c.bytes);
        std::string text = "something longer than the result";
        EXPECT_TRUE(Read("Top", text));
        EXPECT_EQ(text, c.text);
    }
    Store("Top", RegDword, {0x40, 0x0B, 0x00, 0x00});
    std::string text;
    ASSERT_TRUE(Read("Top", text));
    EXPECT_EQ(TextValue(text), 2880);
    fake.SetDword(RootCurrentUser, Key, "Left", 0x00050040);
    ASSERT_TRUE(Read("Left", text));
    EXPECT_EQ(TextValue(text), 0x50040);
}

TEST_F(SettingsStoreTest, ReadBufferHoldsExactly1024Bytes) {
    Store("Top", RegSz, Bytes(1024, '7'));
    std::string text;
    EXPECT_TRUE(Read("Top", text));
    EXPECT_EQ(text, std::string(1024, '7'));

    Bytes withNul(1023, '7');
    withNul.push_back(0);
    Store("Top", RegSz, withNul);
    EXPECT_TRUE(Read("Top", text));
    EXPECT_EQ(text, std::string(1023, '7'));

    for (const bool windowsWritesAnyway : {false, true}) {
        fake.faults.queryOverflowWrites = windowsWritesAnyway;
        for (const std::size_t size : {1025u, 5000u}) {
            Store("Top", RegSz, Bytes(size, '7'));
            text = "stale";
            EXPECT_FALSE(Read("Top", text)) << size;
            EXPECT_EQ(text, "");
        }
    }
    EXPECT_EQ(fake.OpenRegKeys(), 0);
}

TEST_F(SettingsStoreTest, ImpossibleSizeReportedWithSuccessIsAFailedRead) {
    Store("Top", RegSz, {'1'});
    fake.faults.queryReportedSize = 2048;
    std::string text = "stale";
    EXPECT_FALSE(Read("Top", text));
    EXPECT_EQ(text, "");
}

TEST_F(SettingsStoreTest, OtherValueTypesFailWithAnEmptyText) {
    for (const Dword type : {RegNone, RegExpandSz, RegBinary, RegMultiSz, Dword{11}}) {
        SCOPED_TRACE(type);
        Store("Top", type, {'1', '2', 0});
        std::string text = "1440"; // what a previous read left behind
        EXPECT_FALSE(Read("Top", text));
        EXPECT_EQ(text, "");
    }
    EXPECT_EQ(fake.OpenRegKeys(), 0);
}

TEST_F(SettingsStoreTest, MissingKeyOrValueFailsWithAnEmptyText) {
    std::string text = "stale";
    EXPECT_FALSE(Read("Top", text));
    EXPECT_EQ(text, "");
    // The failed open leaves the handle 0, which is closed all the same.
    ASSERT_EQ(fake.CountOf(CallKind::RegQueryValueExA), 0u);
    const auto closes = fake.CallsOf(CallKind::RegCloseKey);
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].key, 0);

    fake.AddKey(RootCurrentUser, Key);
    text = "stale";
    EXPECT_FALSE(Read("Top", text));
    EXPECT_EQ(text, "");
    EXPECT_EQ(fake.OpenRegKeys(), 0);
}

TEST_F(SettingsStoreTest, WriteFailuresReturnFalseAndKeepTheOldValue) {
    ASSERT_TRUE(Write("Top", "100"));
    fake.ClearCalls();

    fake.faults.createKey = 5; // access denied
    EXPECT_FALSE(Write("Top", "200"));
    EXPECT_EQ(fake.CountOf(CallKind::RegSetValueExA), 0u);
    fake.faults.createKey = ErrorSuccess;

    fake.faults.setValue = 5;
    EXPECT_FALSE(Write("Top", "300"));
    EXPECT_EQ(fake.CountOf(CallKind::RegCloseKey), 1u); // the created key is closed
    EXPECT_EQ(fake.OpenRegKeys(), 0);

    EXPECT_EQ(fake.FindValue(RootCurrentUser, Key, "Top")->bytes, (Bytes{'1', '0', '0'}));
}

TEST_F(SettingsStoreTest, TextsTravelInTheAnsiCodePage) {
    const std::string text = "\xE2\x82\xAC caf\xC3\xA9 \xE2\x9C\x93"; // "€ café ✓"
    EXPECT_TRUE(Write("Top", text));
    const auto set = fake.CallsOf(CallKind::RegSetValueExA).at(0);
    EXPECT_EQ(set.data, (Bytes{0x80, ' ', 'c', 'a', 'f', 0xE9, ' ', '?'}));
    EXPECT_EQ(set.sizeIn, 8u); // bytes of the conversion, not of the UTF-8 text
    std::string back;
    EXPECT_TRUE(Read("Top", back));
    EXPECT_EQ(back, "\xE2\x82\xAC caf\xC3\xA9 ?");
}

TEST(AnsiText, EveryByteSurvivesTheRoundTrip) {
    std::string all;
    for (int b = 0; b < 256; ++b) {
        all += static_cast<char>(b);
    }
    EXPECT_EQ(Utf8ToAnsi(AnsiToUtf8(all)), all);
    // One, two and three bytes of UTF-8 a character, the unassigned bytes as their C1 controls.
    EXPECT_EQ(AnsiToUtf8("a\x80\x81\xE9\xFF\x99"),
              "a\xE2\x82\xAC\xC2\x81\xC3\xA9\xC3\xBF\xE2\x84\xA2");
    EXPECT_EQ(Utf8ToAnsi("\xE2\x82\xAC"
                         "a\xC2\x81\xC3\xA9\xC3\xBF"),
              "\x80"
              "a\x81\xE9\xFF");
}

// A byte above 0x7F is found wherever it sits, in blocks and in the tail after them.
TEST(AnsiText, AHighByteAnywhereMakesTheTextNonAscii) {
    for (const std::size_t size : {1u, 7u, 31u, 32u, 33u, 64u, 255u}) {
        const std::string blanks(size, ' ');
        EXPECT_TRUE(IsAscii(blanks)) << size;
        for (std::size_t at = 0; at < size; ++at) {
            for (const char high : {'\x80', '\xFF'}) {
                std::string text = blanks;
                text[at] = high;
                EXPECT_FALSE(IsAscii(text)) << size << " at " << at;
                EXPECT_EQ(Utf8ToAnsi(AnsiToUtf8(text)), text);
            }
        }
    }
    EXPECT_TRUE(IsAscii(""));
    EXPECT_TRUE(IsAscii(std::string(255, '\x7F')));
}

TEST(AnsiText, UnmappableAndMalformedInputBecomesQuestionMarks) {
    EXPECT_EQ(Utf8ToAnsi("\xE2\x9C\x93"), "?");     // U+2713, not in the code page
    EXPECT_EQ(Utf8ToAnsi("\xF0\x9F\x98\x80"), "?"); // beyond the BMP
    EXPECT_EQ(Utf8ToAnsi("a\xFF"
                         "b"),
              "a?b");                                          // not UTF-8 at all
    EXPECT_EQ(Utf8ToAnsi("\xC3"), "?");                        // cut short
    EXPECT_EQ(Utf8ToAnsi("\xC0\xAF"), "??");                   // overlong '/'
    EXPECT_EQ(Utf8ToAnsi("\xED\xA0\x80"), "???");              // a lone surrogate
    EXPECT_EQ(Utf8ToAnsi("\xC5\xA0\xE2\x84\xA2"), "\x8A\x99"); // Š ™
    EXPECT_EQ(Utf8ToAnsi(std::string("a\0b", 3)), std::string("a\0b", 3));
}

} // namespace
} // namespace morlix
