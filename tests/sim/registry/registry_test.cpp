// The simulated registry: keys, typed values, enumeration, deletion, persistence, threads.
#include "sim/registry/registry.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace {

using sim::registry::kRegBinary;
using sim::registry::kRegDword;
using sim::registry::kRegSz;
using sim::registry::Registry;
using sim::registry::RegRoot;

class RegistryTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (const std::string& file : files_) {
            std::remove(file.c_str());
            std::remove((file + ".tmp").c_str());
        }
    }
    std::string TempFile(const std::string& name) {
        std::string file = ::testing::TempDir() + "simreg_" + std::to_string(getpid()) + "_" + name;
        files_.push_back(file);
        return file;
    }
    Registry registry;
    std::vector<std::string> files_;
};

TEST_F(RegistryTest, PathsAndNamesIgnoreCaseAndStraySeparators) {
    ASSERT_TRUE(
        registry.SetString(RegRoot::CurrentUser, "SOFTWARE\\Veltrane\\Morlix", "Top", "120"));
    EXPECT_EQ(registry.GetString(RegRoot::CurrentUser, "\\software\\VELTRANE\\morlix\\", "TOP"),
              "120");
    EXPECT_TRUE(registry.KeyExists(RegRoot::CurrentUser, "Software\\\\Veltrane"));
    EXPECT_FALSE(registry.KeyExists(RegRoot::LocalMachine, "Software\\Veltrane"));
    EXPECT_EQ(registry.EnumerateSubKeys(RegRoot::CurrentUser, "software"),
              std::vector<std::string>{"Veltrane"}); // the spelling it was created with
}

TEST_F(RegistryTest, ValuesKeepTypeAndExactBytes) {
    const uint8_t raw[] = {0, 1, 2, 0xFF};
    ASSERT_TRUE(registry.SetValue(RegRoot::LocalMachine, "A", "Raw", kRegBinary, raw, 4));
    auto value = registry.GetValue(RegRoot::LocalMachine, "a", "raw");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->type, kRegBinary);
    EXPECT_EQ(value->data, std::vector<uint8_t>(raw, raw + 4));
    ASSERT_TRUE(registry.SetDword(RegRoot::LocalMachine, "A", "Count", 0x01020304));
    EXPECT_EQ(registry.GetDword(RegRoot::LocalMachine, "A", "Count"), 0x01020304u);
    EXPECT_FALSE(registry.GetDword(RegRoot::LocalMachine, "A", "Raw")); // wrong type
    EXPECT_FALSE(registry.GetString(RegRoot::LocalMachine, "A", "Count"));
    // Overwriting replaces type and data.
    ASSERT_TRUE(registry.SetString(RegRoot::LocalMachine, "A", "Count", "x"));
    EXPECT_EQ(registry.GetValue(RegRoot::LocalMachine, "A", "Count")->type, kRegSz);
    // String data is UTF-16LE with its terminator.
    EXPECT_EQ(registry.GetValue(RegRoot::LocalMachine, "A", "Count")->data,
              (std::vector<uint8_t>{'x', 0, 0, 0}));
}

TEST_F(RegistryTest, EnumerateAndDelete) {
    registry.SetDword(RegRoot::LocalMachine, "K\\Sub1\\Deep", "V", 1);
    registry.CreateKey(RegRoot::LocalMachine, "K\\Sub2");
    registry.SetDword(RegRoot::LocalMachine, "K", "b", 1);
    registry.SetDword(RegRoot::LocalMachine, "K", "A", 2);
    EXPECT_EQ(registry.EnumerateSubKeys(RegRoot::LocalMachine, "K"),
              (std::vector<std::string>{"Sub1", "Sub2"}));
    EXPECT_EQ(registry.EnumerateValues(RegRoot::LocalMachine, "K"),
              (std::vector<std::string>{"A", "b"}));
    EXPECT_TRUE(registry.DeleteValue(RegRoot::LocalMachine, "K", "B"));
    EXPECT_FALSE(registry.DeleteValue(RegRoot::LocalMachine, "K", "B"));
    EXPECT_TRUE(registry.DeleteKey(RegRoot::LocalMachine, "k\\sub1"));
    EXPECT_FALSE(registry.KeyExists(RegRoot::LocalMachine, "K\\Sub1\\Deep"));
    EXPECT_FALSE(registry.DeleteKey(RegRoot::LocalMachine, "K\\Sub1"));
    EXPECT_FALSE(registry.DeleteKey(RegRoot::LocalMachine, "")); // a root stays
    EXPECT_TRUE(registry.EnumerateSubKeys(RegRoot::LocalMachine, "Missing").empty());
}

TEST_F(RegistryTest, SavedTreeLoadsBackIntoAnotherRegistry) {
    registry.SetString(RegRoot::CurrentUser, "Software\\Veltrane\\Morlix", "On Top", "1");
    registry.SetString(RegRoot::LocalMachine, "S\\P", "", "default value");
    const uint8_t spaces[] = {' ', '\n', 0};
    registry.SetValue(RegRoot::LocalMachine, "S\\P", "odd name\twith tab", kRegBinary, spaces, 3);
    registry.SetValue(RegRoot::LocalMachine, "S\\P", "Empty", kRegBinary, nullptr, 0);
    registry.CreateKey(RegRoot::LocalMachine, "S\\Empty Key");
    std::string file = TempFile("roundtrip");
    ASSERT_TRUE(registry.SaveToFile(file));

    Registry other;
    ASSERT_TRUE(other.LoadFromFile(file));
    EXPECT_EQ(other.GetString(RegRoot::CurrentUser, "Software\\Veltrane\\Morlix", "On Top"), "1");
    EXPECT_EQ(other.GetString(RegRoot::LocalMachine, "S\\P", ""), "default value");
    EXPECT_EQ(other.GetValue(RegRoot::LocalMachine, "S\\P", "odd name\twith tab")->data,
              std::vector<uint8_t>(spaces, spaces + 3));
    EXPECT_TRUE(other.GetValue(RegRoot::LocalMachine, "S\\P", "Empty")->data.empty());
    EXPECT_TRUE(other.KeyExists(RegRoot::LocalMachine, "S\\Empty Key"));
}

TEST_F(RegistryTest, CorruptOrMissingFileLeavesTheRegistryAsItWas) {
    registry.SetString(RegRoot::LocalMachine, "Keep", "Me", "yes");
    std::string good = TempFile("good");
    Registry source;
    source.SetString(RegRoot::LocalMachine, "Other", "V", "w");
    source.SetString(RegRoot::LocalMachine, "Other", "V2", "z");
    ASSERT_TRUE(source.SaveToFile(good));
    std::ifstream in(good, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    const std::vector<std::string> corrupt = {
        "",                                           // empty
        "not a registry\n",                           // wrong magic
        text.substr(0, text.size() / 2),              // truncated
        text.substr(0, text.rfind("end")),            // closing line missing
        text + "V 0 x41 x41 1 x41\n",                 // a record after the end
        "simreg 1\nV 0 xZZ x41 1 x41\nend 1\n",       // bad hex
        "simreg 1\nV 7 x41 x41 1 x41\nend 1\n",       // unknown root
        "simreg 1\nV 0 x41 x41 1 x41\nend 2\n",       // record count mismatch
        "simreg 1\nQ 0 x41\nend 1\n",                 // unknown record
        "simreg 1\nV 0 x41 x41 1 x41 extra\nend 1\n", // trailing field
    };
    for (size_t i = 0; i < corrupt.size(); ++i) {
        std::string file = TempFile("corrupt" + std::to_string(i));
        std::ofstream(file, std::ios::binary) << corrupt[i];
        EXPECT_FALSE(registry.LoadFromFile(file)) << "case " << i;
        EXPECT_EQ(registry.GetString(RegRoot::LocalMachine, "Keep", "Me"), "yes") << "case " << i;
        EXPECT_FALSE(registry.KeyExists(RegRoot::LocalMachine, "Other")) << "case " << i;
    }
    EXPECT_FALSE(registry.LoadFromFile(TempFile("never written")));
    EXPECT_TRUE(registry.LoadFromFile(good));
    EXPECT_FALSE(registry.KeyExists(RegRoot::LocalMachine, "Keep")); // replaced entirely
}

TEST_F(RegistryTest, ConcurrentWritersAndReadersSeeWholeValues) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < 300; ++i) {
                std::string key = "Load\\T" + std::to_string(t);
                registry.SetDword(RegRoot::LocalMachine, key, "N", static_cast<uint32_t>(i));
                auto value = registry.GetDword(RegRoot::LocalMachine, key, "N");
                ASSERT_TRUE(value);
                EXPECT_EQ(*value, static_cast<uint32_t>(i));
                registry.EnumerateSubKeys(RegRoot::LocalMachine, "Load");
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(registry.EnumerateSubKeys(RegRoot::LocalMachine, "Load").size(), 4u);
}

TEST(RegistryText, Utf8AndUtf16ConvertBothWaysAndReplaceInvalidInput) {
    EXPECT_EQ(sim::registry::Utf8ToUtf16("A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"),
              u"A\u00E9\u20AC\U0001F600");
    EXPECT_EQ(sim::registry::Utf16ToUtf8(u"A\u00E9\u20AC\U0001F600"),
              "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(sim::registry::Utf8ToUtf16("\xFF"
                                         "a"),
              u"\uFFFDa");
    EXPECT_EQ(sim::registry::Utf8ToUtf16("a\xE2\x82"), u"a\uFFFD"); // cut short
    EXPECT_EQ(sim::registry::Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

TEST(RegistryText, AsciiEdgesAndEmbeddedNulsConvertByteForByte) {
    EXPECT_EQ(sim::registry::Utf16ToUtf8(u""), "");
    EXPECT_EQ(sim::registry::Utf16ToUtf8(std::u16string(u"a\0\x7F", 3)), std::string("a\0\x7F", 3));
    // One character past ASCII takes the whole text through the full conversion.
    EXPECT_EQ(sim::registry::Utf16ToUtf8(u"\\Device\x80"), "\\Device\xC2\x80");
}

} // namespace
