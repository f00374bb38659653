#include "bench_fixture.h"
#include "sim_platform.h"

#include "norvask_contract.h"

#include <cstring>
#include <string>

namespace simtest {
namespace {

using namespace sim::win;
using namespace sim::registry;

using morlix::ErrorInvalidHandleCode;
using morlix::RegCreatedNewKey;
using morlix::RegOpenedExistingKey;
using morlix::SimPlatform;

constexpr const char* SettingsKey = "SOFTWARE\\Veltrane\\Morlix";

// The console's platform over the bench's registry and device I/O.
class SimPlatformTest : public BenchTest {
protected:
    void SetUp() override {
        BenchTest::SetUp();
        platform = std::make_unique<SimPlatform>(bench->registry(), bench->io());
    }
    void TearDown() override {
        platform.reset();
        BenchTest::TearDown();
    }
    // Opens the console's settings key for reading, as the console does.
    morlix::Long OpenSettings(morlix::RegKey* key) {
        return platform->RegOpenKeyExA(morlix::RootCurrentUser, SettingsKey, 0,
                                       morlix::KeyQueryValue, key);
    }
    std::unique_ptr<SimPlatform> platform;
};

TEST_F(SimPlatformTest, RegistryValuesRoundTripAsAnsiStrings) {
    SimPlatform& p = *platform;
    morlix::RegKey key = 0;
    morlix::Dword disposition = 0;
    ASSERT_EQ(p.RegCreateKeyExA(morlix::RootCurrentUser, SettingsKey, 0, nullptr, 0,
                                morlix::KeyAllAccess, nullptr, &key, &disposition),
              morlix::ErrorSuccess);
    EXPECT_EQ(disposition, RegCreatedNewKey);
    const char text[] = "120";
    EXPECT_EQ(p.RegSetValueExA(key, "Top", 0, morlix::RegSz,
                               reinterpret_cast<const std::uint8_t*>(text), 4),
              morlix::ErrorSuccess);
    EXPECT_EQ(p.RegCloseKey(key), morlix::ErrorSuccess);
    // Stored the system's way, as UTF-16.
    EXPECT_EQ(bench->registry().GetString(RegRoot::CurrentUser, SettingsKey, "Top"), "120");

    morlix::RegKey again = 0;
    ASSERT_EQ(p.RegCreateKeyExA(morlix::RootCurrentUser, SettingsKey, 0, nullptr, 0,
                                morlix::KeyAllAccess, nullptr, &again, &disposition),
              morlix::ErrorSuccess);
    EXPECT_EQ(disposition, RegOpenedExistingKey);
    p.RegCloseKey(again);

    morlix::RegKey read = 0;
    ASSERT_EQ(
        p.RegOpenKeyExA(morlix::RootCurrentUser, SettingsKey, 0, morlix::KeyQueryValue, &read),
        morlix::ErrorSuccess);
    std::uint8_t buffer[16];
    std::memset(buffer, ' ', sizeof buffer);
    morlix::Dword size = sizeof buffer;
    morlix::Dword type = 0;
    EXPECT_EQ(p.RegQueryValueExA(read, "Top", nullptr, &type, buffer, &size), morlix::ErrorSuccess);
    EXPECT_EQ(type, morlix::RegSz);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 5), std::string("120\0 ", 5));

    size = 2;
    EXPECT_EQ(p.RegQueryValueExA(read, "Top", nullptr, nullptr, buffer, &size),
              morlix::ErrorMoreData);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(p.RegQueryValueExA(read, "Left", nullptr, nullptr, buffer, &size),
              morlix::ErrorFileNotFound);
    EXPECT_EQ(p.RegCloseKey(read), morlix::ErrorSuccess);
    EXPECT_EQ(p.RegCloseKey(read), ErrorInvalidHandleCode);
    EXPECT_EQ(p.RegQueryValueExA(read, "Top", nullptr, nullptr, buffer, &size),
              ErrorInvalidHandleCode);
    EXPECT_EQ(p.OpenKeyCount(), 0u);
}

// The ANSI query converts stored UTF-16 units; only units that are plain ASCII copy byte for
// byte, and a size query gives the size a read then fills.
TEST_F(SimPlatformTest, QueriedStringsConvertEachStoredUnitAndSizesMatchTheRead) {
    Registry& reg = bench->registry();
    const uint8_t ascii[] = {'a', 0, 'b', 0, 0, 0};
    const uint8_t upper[] = {'A', 0x01, 'b', 0, 'c', 0, 'd', 0, 'e', 0x80}; // U+0141, low byte 'A'
    const uint8_t odd[] = {'a', 0, 'b'};         // a last half unit is dropped
    const uint8_t binary[] = {0x41, 0x01, 0xFF}; // not a string: its bytes as they are
    reg.SetValue(RegRoot::CurrentUser, SettingsKey, "Ascii", kRegSz, ascii, sizeof ascii);
    reg.SetValue(RegRoot::CurrentUser, SettingsKey, "Upper", kRegExpandSz, upper, sizeof upper);
    reg.SetValue(RegRoot::CurrentUser, SettingsKey, "Odd", kRegSz, odd, sizeof odd);
    reg.SetValue(RegRoot::CurrentUser, SettingsKey, "Binary", kRegBinary, binary, sizeof binary);
    reg.SetValue(RegRoot::CurrentUser, SettingsKey, "Empty", kRegSz, nullptr, 0);
    // Pairs, and surrogates without their pair: alone, at the end, before another high one.
    const std::u16string units = {0xD83D, 0xDE00, 0xDC00, u'x',   0xD800, 0xD801,
                                  0xDC01, 0x7FF,  0x800,  0xFFFF, 0xD800};
    const std::vector<std::uint8_t> surrogates = Utf16Bytes(units);
    reg.SetValue(RegRoot::CurrentUser, SettingsKey, "Pairs", kRegMultiSz, surrogates.data(),
                 surrogates.size());

    morlix::RegKey key = 0;
    ASSERT_EQ(OpenSettings(&key), morlix::ErrorSuccess);
    auto query = [&](const char* name) {
        morlix::Dword sized = 0;
        EXPECT_EQ(platform->RegQueryValueExA(key, name, nullptr, nullptr, nullptr, &sized),
                  morlix::ErrorSuccess);
        std::uint8_t buffer[64];
        std::memset(buffer, '#', sizeof buffer);
        morlix::Dword size = sizeof buffer;
        EXPECT_EQ(platform->RegQueryValueExA(key, name, nullptr, nullptr, buffer, &size),
                  morlix::ErrorSuccess);
        EXPECT_EQ(size, sized) << name;
        EXPECT_EQ(buffer[size], '#') << name; // nothing written past the value
        return std::string(reinterpret_cast<char*>(buffer), size);
    };
    EXPECT_EQ(query("Ascii"), std::string("ab\0", 3));
    EXPECT_EQ(query("Upper"), "\xC5\x81"
                              "bcd\xE8\x81\xA5");
    EXPECT_EQ(query("Odd"), "a");
    EXPECT_EQ(query("Binary"), "\x41\x01\xFF");
    EXPECT_EQ(query("Empty"), "");
    EXPECT_EQ(query("Pairs"), Utf16ToUtf8(units) + std::string(1, '\0'));

    std::uint8_t small[2];
    morlix::Dword size = sizeof small;
    morlix::Dword type = 0;
    EXPECT_EQ(platform->RegQueryValueExA(key, "Upper", nullptr, &type, small, &size),
              morlix::ErrorMoreData);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(type, kRegExpandSz);
    EXPECT_EQ(platform->RegQueryValueExA(key, "Upper", nullptr, &type, nullptr, nullptr),
              morlix::ErrorSuccess); // the type alone
    EXPECT_EQ(platform->RegCloseKey(key), morlix::ErrorSuccess);
}

// Plain ASCII values of every length read back byte for byte, and nothing past them is written.
TEST_F(SimPlatformTest, AsciiValuesOfEveryLengthReadBackExactly) {
    Registry& reg = bench->registry();
    const std::string all = "\\\\.\\Path-0123456789~ abcdefghijklmnopqrstuvwxyz\x7F\x01";
    morlix::RegKey key = 0;
    for (std::size_t length = 0; length <= all.size(); ++length) {
        SCOPED_TRACE(length);
        const std::string text = all.substr(0, length);
        reg.SetString(RegRoot::CurrentUser, SettingsKey, "Text", text);
        ASSERT_EQ(OpenSettings(&key), morlix::ErrorSuccess);
        std::uint8_t buffer[80];
        std::memset(buffer, '#', sizeof buffer);
        morlix::Dword size = sizeof buffer;
        EXPECT_EQ(platform->RegQueryValueExA(key, "Text", nullptr, nullptr, buffer, &size),
                  morlix::ErrorSuccess);
        ASSERT_EQ(size, length + 1);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), size), text + '\0');
        EXPECT_EQ(buffer[size], '#');
        EXPECT_EQ(platform->RegCloseKey(key), morlix::ErrorSuccess);
    }
}

// One unit that is not plain ASCII, wherever it sits in a long value, makes the whole value
// convert: a high byte, or a low byte of 0x80 or more.
TEST_F(SimPlatformTest, OneNonAsciiUnitAnywhereConvertsTheWholeValue) {
    Registry& reg = bench->registry();
    for (const char16_t odd : {char16_t{0x00E9}, char16_t{0x0141}, char16_t{0x2713}}) {
        for (std::size_t at = 0; at < 40; ++at) {
            SCOPED_TRACE(at);
            std::u16string units(40, u'p');
            units[at] = odd;
            const std::vector<std::uint8_t> bytes = Utf16Bytes(units);
            reg.SetValue(RegRoot::CurrentUser, SettingsKey, "Text", kRegSz, bytes.data(),
                         bytes.size());
            morlix::RegKey read = 0;
            ASSERT_EQ(OpenSettings(&read), morlix::ErrorSuccess);
            std::uint8_t buffer[64];
            morlix::Dword size = sizeof buffer;
            EXPECT_EQ(platform->RegQueryValueExA(read, "Text", nullptr, nullptr, buffer, &size),
                      morlix::ErrorSuccess);
            EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), size),
                      Utf16ToUtf8(units) + std::string(1, '\0'));
            EXPECT_EQ(platform->RegCloseKey(read), morlix::ErrorSuccess);
        }
    }
}

// A closed key's handle stays closed when a later open reuses its place, and each open key
// reads its own path.
TEST_F(SimPlatformTest, ReopenedKeysGetNewHandlesAndReadTheirOwnPath) {
    Registry& reg = bench->registry();
    reg.SetString(RegRoot::CurrentUser, "A\\One", "V", "1");
    reg.SetString(RegRoot::CurrentUser, "A\\Two", "V", "2");
    auto read = [&](morlix::RegKey key) {
        char buffer[8] = {};
        morlix::Dword size = sizeof buffer;
        const morlix::Long rc = platform->RegQueryValueExA(
            key, "V", nullptr, nullptr, reinterpret_cast<std::uint8_t*>(buffer), &size);
        return rc == morlix::ErrorSuccess ? std::string(buffer) : "error " + std::to_string(rc);
    };
    morlix::RegKey a = 0, one = 0, two = 0, missing = 7;
    ASSERT_EQ(platform->RegOpenKeyExA(morlix::RootCurrentUser, "a", 0, morlix::KeyQueryValue, &a),
              morlix::ErrorSuccess);
    ASSERT_EQ(platform->RegOpenKeyExA(a, "one", 0, morlix::KeyQueryValue, &one),
              morlix::ErrorSuccess);
    EXPECT_EQ(read(one), "1");
    EXPECT_EQ(platform->RegCloseKey(one), morlix::ErrorSuccess);
    EXPECT_EQ(platform->RegOpenKeyExA(a, "Three", 0, morlix::KeyQueryValue, &missing),
              morlix::ErrorFileNotFound);
    EXPECT_EQ(missing, 0);
    ASSERT_EQ(platform->RegOpenKeyExA(a, "TWO", 0, morlix::KeyQueryValue, &two),
              morlix::ErrorSuccess);
    EXPECT_NE(two, one);
    EXPECT_EQ(read(two), "2");
    EXPECT_EQ(read(one), "error " + std::to_string(ErrorInvalidHandleCode));
    EXPECT_EQ(platform->RegCloseKey(one), ErrorInvalidHandleCode);
    EXPECT_EQ(platform->OpenKeyCount(), 2u);
    EXPECT_EQ(platform->RegCloseKey(two), morlix::ErrorSuccess);
    EXPECT_EQ(platform->RegCloseKey(a), morlix::ErrorSuccess);
    EXPECT_EQ(platform->OpenKeyCount(), 0u);
}

TEST_F(SimPlatformTest, FailedOpenLeavesTheKeyZero) {
    morlix::RegKey key = 1234;
    EXPECT_EQ(platform->RegOpenKeyExA(morlix::RootLocalMachine, "No\\Such\\Key", 0,
                                      morlix::KeyQueryValue, &key),
              morlix::ErrorFileNotFound);
    EXPECT_EQ(key, 0);
    std::uint8_t buffer[8];
    morlix::Dword size = sizeof buffer;
    EXPECT_NE(platform->RegQueryValueExA(key, "DeviceName", nullptr, nullptr, buffer, &size),
              morlix::ErrorSuccess);
}

// An open that found a key once still finds out when it has gone since: deleted (also with the
// key above it, or the whole tree cleared), then back, and the same path under the other root.
TEST_F(SimPlatformTest, AnOpenSeesAKeyThatWentSinceTheLastOpen) {
    Registry& reg = bench->registry();
    const std::string path = std::string(SettingsKey) + "\\Window";
    auto open = [&](morlix::RegKey root) {
        morlix::RegKey key = 0;
        const morlix::Long rc =
            platform->RegOpenKeyExA(root, path.c_str(), 0, morlix::KeyQueryValue, &key);
        if (rc == morlix::ErrorSuccess) {
            EXPECT_NE(key, 0);
            EXPECT_EQ(platform->RegCloseKey(key), morlix::ErrorSuccess);
        } else {
            EXPECT_EQ(key, 0);
        }
        return rc;
    };
    ASSERT_TRUE(reg.CreateKey(RegRoot::CurrentUser, path));
    EXPECT_EQ(open(morlix::RootCurrentUser), morlix::ErrorSuccess);
    EXPECT_EQ(open(morlix::RootCurrentUser), morlix::ErrorSuccess);
    EXPECT_EQ(open(morlix::RootLocalMachine), morlix::ErrorFileNotFound);
    ASSERT_TRUE(reg.DeleteKey(RegRoot::CurrentUser, path));
    EXPECT_EQ(open(morlix::RootCurrentUser), morlix::ErrorFileNotFound);
    ASSERT_TRUE(reg.CreateKey(RegRoot::CurrentUser, path));
    EXPECT_EQ(open(morlix::RootCurrentUser), morlix::ErrorSuccess);
    ASSERT_TRUE(reg.DeleteKey(RegRoot::CurrentUser, SettingsKey));
    EXPECT_EQ(open(morlix::RootCurrentUser), morlix::ErrorFileNotFound);
    ASSERT_TRUE(reg.CreateKey(RegRoot::CurrentUser, path));
    EXPECT_EQ(open(morlix::RootCurrentUser), morlix::ErrorSuccess);
    reg.Clear();
    EXPECT_EQ(open(morlix::RootCurrentUser), morlix::ErrorFileNotFound);
    EXPECT_EQ(platform->OpenKeyCount(), 0u);
}

// The driver publishes its path without a terminator; the console reads it
// into a buffer of blanks and opens what it got.
TEST_F(SimPlatformTest, PublishedPathWithoutTerminatorStillOpens) {
    const std::string published = path;
    const std::u16string wide = Utf8ToUtf16(published);
    std::vector<std::uint8_t> bytes;
    for (char16_t c : wide) {
        bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    const char* params = contract::ParametersKey;
    bench->registry().SetValue(RegRoot::LocalMachine, params, "DeviceName", kRegSz, bytes.data(),
                               bytes.size());

    SimPlatform& p = *platform;
    morlix::RegKey key = 0;
    p.RegOpenKeyExA(morlix::RootLocalMachine, (std::string(params) + "\\").c_str(), 0,
                    morlix::KeyQueryValue, &key);
    std::string buffer(255, ' ');
    morlix::Dword size = 255;
    ASSERT_EQ(p.RegQueryValueExA(key, "DeviceName", nullptr, nullptr,
                                 reinterpret_cast<std::uint8_t*>(buffer.data()), &size),
              morlix::ErrorSuccess);
    p.RegCloseKey(key);
    EXPECT_EQ(size, published.size());
    EXPECT_EQ(buffer.substr(0, published.size()), published);
    EXPECT_EQ(buffer[published.size()], ' '); // no terminator was stored, none comes back

    const morlix::Handle h = p.CreateFileA(
        buffer.c_str(), morlix::GenericRead | morlix::GenericWrite,
        morlix::FileShareRead | morlix::FileShareWrite, nullptr, morlix::OpenExisting, 0, 0);
    ASSERT_GT(h, 0);
    std::array<std::uint8_t, 8> packet = Ports(0x34, 0x06);
    std::array<std::uint8_t, 8> reply{};
    morlix::Dword returned = 0;
    EXPECT_EQ(
        p.DeviceIoControl(h, IoctlVendor, packet.data(), 8, reply.data(), 8, &returned, nullptr),
        1);
    EXPECT_EQ(
        p.DeviceIoControl(h, IoctlVendor, packet.data(), 8, reply.data(), 8, &returned, &returned),
        0); // no overlapped I/O on these handles
    EXPECT_EQ(p.CloseHandle(h), 1);
    EXPECT_EQ(p.CloseHandle(h), 0);
    EXPECT_EQ(bench->chip().PortA(), 0x34);
    EXPECT_EQ(bench->chip().PortB(), 0x06);
}

} // namespace
} // namespace simtest
