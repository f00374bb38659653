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
    std::unique_ptr<SimPlatform> platform;
};

constexpr const char* SettingsKey = "SOFTWARE\\Veltrane\\Morlix";

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
