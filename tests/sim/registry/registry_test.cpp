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

// Only ASCII letters fold, and names order as their lower-case forms do: "[", "_" and "`" lie
// between the upper- and the lower-case letters.
TEST_F(RegistryTest, OnlyAsciiLettersFoldAndNamesOrderByTheirLowerCase) {
    for (const char* name : {"a_", "AB", "A[", "\xC3\x89", "\xC3\xA9"})
        ASSERT_TRUE(registry.CreateKey(RegRoot::LocalMachine, std::string("Order\\") + name));
    EXPECT_TRUE(registry.CreateKey(RegRoot::LocalMachine, "ORDER\\ab")); // already there as "AB"
    EXPECT_EQ(registry.EnumerateSubKeys(RegRoot::LocalMachine, "order"),
              (std::vector<std::string>{"A[", "a_", "AB", "\xC3\x89", "\xC3\xA9"}));
    EXPECT_TRUE(registry.KeyExists(RegRoot::LocalMachine, "order\\a["));
    EXPECT_TRUE(registry.KeyExists(RegRoot::LocalMachine, "order\\A_"));
    EXPECT_FALSE(registry.KeyExists(RegRoot::LocalMachine, "order\\a{")); // '[' + 32 is no fold
    EXPECT_FALSE(registry.KeyExists(RegRoot::LocalMachine, "order\\A"));  // a prefix only

    ASSERT_TRUE(registry.SetDword(RegRoot::LocalMachine, "Order", "Value", 1));
    ASSERT_TRUE(registry.SetDword(RegRoot::LocalMachine, "order", "VALUE", 2));
    EXPECT_EQ(registry.EnumerateValues(RegRoot::LocalMachine, "Order"),
              std::vector<std::string>{"VALUE"}); // one value, the last spelling written
    EXPECT_EQ(registry.GetDword(RegRoot::LocalMachine, "ORDER", "value"), 2u);
    EXPECT_TRUE(registry.DeleteValue(RegRoot::LocalMachine, "\\order\\", "vAlUe"));
    EXPECT_FALSE(registry.GetDword(RegRoot::LocalMachine, "Order", "Value"));
    EXPECT_TRUE(registry.DeleteKey(RegRoot::LocalMachine, "order\\ab"));
    EXPECT_FALSE(registry.KeyExists(RegRoot::LocalMachine, "Order\\AB"));
    EXPECT_FALSE(registry.DeleteKey(RegRoot::LocalMachine, "\\\\")); // no key named
}

// Keys found once are remembered by their exact path; every change to the tree must make the
// next read see the tree as it is, never a key found before the change.
TEST_F(RegistryTest, ReadsAfterEveryChangeOfTheTreeSeeTheTreeAsItIs) {
    const std::string path = "SYSTEM\\Services\\Norvask\\Parameters";
    auto read = [&](const std::string& at) {
        return registry.GetString(RegRoot::LocalMachine, at, "DeviceName");
    };
    ASSERT_TRUE(registry.SetString(RegRoot::LocalMachine, path, "DeviceName", "one"));
    EXPECT_EQ(read(path), "one");
    EXPECT_EQ(read(path), "one"); // the second read finds the key it remembered

    // A deleted key, or one under a deleted parent, is gone; a new one of the same name is new.
    ASSERT_TRUE(registry.DeleteKey(RegRoot::LocalMachine, "system\\services"));
    EXPECT_FALSE(read(path));
    EXPECT_FALSE(registry.KeyExists(RegRoot::LocalMachine, path));
    ASSERT_TRUE(registry.CreateKey(RegRoot::LocalMachine, path));
    EXPECT_TRUE(registry.KeyExists(RegRoot::LocalMachine, path));
    EXPECT_FALSE(read(path));
    ASSERT_TRUE(registry.SetString(RegRoot::LocalMachine, path, "DeviceName", "two"));
    EXPECT_EQ(read(path), "two");

    // A value set is read back at once; the other root is another tree.
    ASSERT_TRUE(registry.SetString(RegRoot::LocalMachine, path, "DeviceName", "three"));
    EXPECT_EQ(read(path), "three");
    EXPECT_FALSE(registry.GetString(RegRoot::CurrentUser, path, "DeviceName"));

    // A value deleted after it was read is gone; set again by another spelling, it reads back
    // by any spelling, as do its neighbours.
    ASSERT_TRUE(registry.SetString(RegRoot::LocalMachine, path, "Other", "neighbour"));
    ASSERT_TRUE(registry.DeleteValue(RegRoot::LocalMachine, path, "DeviceName"));
    EXPECT_FALSE(read(path));
    EXPECT_EQ(registry.GetString(RegRoot::LocalMachine, path, "other"), "neighbour");
    ASSERT_TRUE(registry.SetString(RegRoot::LocalMachine, path, "DEVICENAME", "four"));
    EXPECT_EQ(read(path), "four");
    EXPECT_EQ(registry.GetString(RegRoot::LocalMachine, path, "devicename"), "four");
    ASSERT_TRUE(registry.DeleteValue(RegRoot::LocalMachine, path, "Other"));
    ASSERT_TRUE(registry.SetString(RegRoot::LocalMachine, path, "DeviceName", "three"));
    EXPECT_EQ(read(path), "three");

    // More paths than are remembered, read in turn, each still reads its own key.
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 7; ++i) {
            const std::string other = "Many\\K" + std::to_string(i);
            if (round == 0) {
                ASSERT_TRUE(registry.SetDword(RegRoot::LocalMachine, other, "N", i));
            }
            EXPECT_EQ(registry.GetDword(RegRoot::LocalMachine, other, "N"),
                      static_cast<uint32_t>(i));
        }
    }

    // A tree loaded from a file replaces the one read before, and so does clearing it.
    const std::string file = TempFile("reread");
    ASSERT_TRUE(registry.SaveToFile(file));
    ASSERT_TRUE(registry.SetString(RegRoot::LocalMachine, path, "DeviceName", "after save"));
    EXPECT_EQ(read(path), "after save");
    ASSERT_TRUE(registry.LoadFromFile(file));
    EXPECT_EQ(read(path), "three");
    registry.Clear();
    EXPECT_FALSE(read(path));
    EXPECT_FALSE(registry.KeyExists(RegRoot::LocalMachine, path));
}

// The key generation moves with every change to the tree of keys, and only with those.
TEST_F(RegistryTest, KeyGenerationMovesWithEveryChangeOfTheTreeOfKeys) {
    const std::string path = "SOFTWARE\\Veltrane\\Morlix";
    std::uint64_t last = registry.KeyTreeGeneration();
    auto moved = [&] {
        const std::uint64_t now = registry.KeyTreeGeneration();
        const bool changed = now != last;
        last = now;
        return changed;
    };
    ASSERT_TRUE(registry.CreateKey(RegRoot::CurrentUser, path));
    EXPECT_TRUE(moved());
    ASSERT_TRUE(registry.CreateKey(RegRoot::CurrentUser, path)); // there already
    ASSERT_TRUE(registry.SetDword(RegRoot::CurrentUser, path, "Top", 1));
    EXPECT_TRUE(registry.KeyExists(RegRoot::CurrentUser, path));
    EXPECT_FALSE(moved());
    ASSERT_TRUE(registry.SetDword(RegRoot::CurrentUser, path + "\\Window", "Left", 1));
    EXPECT_TRUE(moved()); // the value's key was made on the way
    ASSERT_TRUE(registry.DeleteKey(RegRoot::CurrentUser, path));
    EXPECT_TRUE(moved());
    const std::string file = TempFile("generation");
    ASSERT_TRUE(registry.SaveToFile(file));
    EXPECT_FALSE(moved());
    ASSERT_TRUE(registry.LoadFromFile(file));
    EXPECT_TRUE(moved());
    registry.Clear();
    EXPECT_TRUE(moved());
}

// ReadValue hands over the stored value itself, and calls nothing for a missing key or value.
TEST_F(RegistryTest, ReadValueSeesTheStoredBytesOrIsNotCalled) {
    const uint8_t raw[] = {0x80, 0, 0xFF};
    ASSERT_TRUE(registry.SetValue(RegRoot::CurrentUser, "R", "Raw", kRegBinary, raw, 3));
    int calls = 0;
    auto count = [&](const sim::registry::RegValue& value) {
        ++calls;
        EXPECT_EQ(value.type, kRegBinary);
        EXPECT_EQ(value.data, std::vector<uint8_t>(raw, raw + 3));
    };
    EXPECT_TRUE(registry.ReadValue(RegRoot::CurrentUser, "r", "RAW", count));
    EXPECT_FALSE(registry.ReadValue(RegRoot::CurrentUser, "R", "Other", count));
    EXPECT_FALSE(registry.ReadValue(RegRoot::CurrentUser, "R\\Sub", "Raw", count));
    EXPECT_FALSE(registry.ReadValue(RegRoot::LocalMachine, "R", "Raw", count));
    EXPECT_EQ(calls, 1);
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
