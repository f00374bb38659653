#include "app_options.h"
#include "misc_functions.h"
#include "usb_ids.h"

#include "norvask_contract.h"
#include "sim/registry/registry.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace morlix {
namespace {

using sim::registry::RegRoot;

AppOptions Parse(std::initializer_list<std::string_view> args) {
    const std::vector<std::string_view> list(args);
    return ParseOptions(list);
}

TEST(AppOptions, DefaultsPlugTheChip) {
    const AppOptions options = Parse({});
    EXPECT_TRUE(options.plugDevice);
    EXPECT_EQ(options.serialNumber, 74565u);
    EXPECT_TRUE(options.error.empty());
}

TEST(AppOptions, NoDeviceAndSerialAreTaken) {
    const AppOptions options = Parse({"--serial", "4294967295", "--no-device"});
    EXPECT_FALSE(options.plugDevice);
    EXPECT_EQ(options.serialNumber, 4294967295u);
    EXPECT_TRUE(options.error.empty());
    EXPECT_EQ(Parse({"--serial", "0x10"}).serialNumber, 16u);
    EXPECT_EQ(Parse({"--serial", "0"}).serialNumber, 0u);
}

TEST(AppOptions, BadArgumentsAreRefusedWithAMessage) {
    EXPECT_FALSE(Parse({"--serial"}).error.empty());
    EXPECT_FALSE(Parse({"--serial", "4294967296"}).error.empty());
    EXPECT_FALSE(Parse({"--serial", "-1"}).error.empty());
    EXPECT_FALSE(Parse({"--serial", "12ab"}).error.empty());
    EXPECT_FALSE(Parse({"--serial", "0x"}).error.empty());
    EXPECT_FALSE(Parse({"--colour"}).error.empty());
    EXPECT_TRUE(Parse({"--help"}).help);
}

TEST(AppOptions, DeviceIsTheBenchUnlessUsbIsAskedFor) {
    EXPECT_EQ(Parse({}).device, DeviceKind::Bench);
    EXPECT_EQ(Parse({"--device", "bench", "--serial", "5"}).device, DeviceKind::Bench);
    const AppOptions usb = Parse({"--device", "usb", "--vendor", "0x1A2b", "--product", "7"});
    EXPECT_TRUE(usb.error.empty());
    EXPECT_EQ(usb.device, DeviceKind::Usb);
    EXPECT_EQ(usb.vendorId, std::optional<std::uint16_t>(0x1A2B));
    EXPECT_EQ(usb.productId, std::optional<std::uint16_t>(7));
}

TEST(AppOptions, ABadDeviceOrIdentifierIsRefusedInOneLine) {
    for (const auto& args : std::vector<std::vector<std::string_view>>{
             {"--device"},
             {"--device", "serial"},
             {"--device", "USB"},
             {"--device", "usb", "--vendor"},
             {"--device", "usb", "--vendor", "10000"},
             {"--device", "usb", "--product", "0x"},
             {"--device", "usb", "--product", "-1"},
             {"--device", "usb", "--serial", "5"}, // a bench option on the chip
             {"--device", "usb", "--no-device"},
             {"--vendor", "1234"}, // a chip option on the bench
         }) {
        const AppOptions options = ParseOptions(args);
        EXPECT_FALSE(options.error.empty()) << args.back();
        EXPECT_EQ(options.error.find('\n'), std::string::npos) << options.error;
    }
    EXPECT_EQ(Parse({"--device", "tty"}).error, "--device takes bench or usb");
}

TEST(AppOptions, ChipIdentifiersComeFromTheCommandLineThenTheSettings) {
    sim::registry::Registry registry;
    // Nothing given, nothing stored: the installation's placeholders.
    EXPECT_EQ(ResolveUsbIds(Parse({"--device", "usb"}), registry), (UsbIds{0xFFFF, 0xFFFF}));
    // Given ones win and are kept for the next run.
    EXPECT_EQ(ResolveUsbIds(Parse({"--device", "usb", "--vendor", "1234"}), registry),
              (UsbIds{0x1234, 0xFFFF}));
    EXPECT_EQ(registry.GetString(RegRoot::CurrentUser, morlix::SettingsKey.path, "USB Vendor ID"), "1234");
    EXPECT_EQ(ResolveUsbIds(Parse({"--device", "usb", "--product", "abcd"}), registry),
              (UsbIds{0x1234, 0xABCD}));
    // A damaged stored value is not used.
    registry.SetString(RegRoot::CurrentUser, morlix::SettingsKey.path, "USB Vendor ID", "12345");
    EXPECT_EQ(ResolveUsbIds(Parse({"--device", "usb"}), registry), (UsbIds{0xFFFF, 0xABCD}));
    EXPECT_EQ(DeviceDescription(DeviceKind::Usb, {0x1234, 0x00AB}),
              "Device: USB I/O chip 1234:00ab (libusb)");
    EXPECT_EQ(DeviceDescription(DeviceKind::Bench, {}), "Device: simulated bench");
}

TEST(InstanceLock, DefaultPathIsInTheRuntimeDirectoryWhenThereIsOne) {
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    const std::string keep = saved ? saved : "";
    setenv("XDG_RUNTIME_DIR", "/run/user/1234", 1);
    EXPECT_EQ(DefaultLockPath(), "/run/user/1234/morlix.lock");
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(DefaultLockPath(), "/tmp/morlix-" + std::to_string(getuid()) + ".lock");
    if (saved) {
        setenv("XDG_RUNTIME_DIR", keep.c_str(), 1);
    }
}

TEST(SettingsFile, PathFollowsXdgConfigHomeThenHome) {
    EXPECT_EQ(SettingsFilePath("/cfg", "/home/op"), "/cfg/morlix/settings");
    EXPECT_EQ(SettingsFilePath(nullptr, "/home/op"), "/home/op/.config/morlix/settings");
    // A relative XDG_CONFIG_HOME is to be ignored.
    EXPECT_EQ(SettingsFilePath("cfg", "/home/op"), "/home/op/.config/morlix/settings");
    EXPECT_EQ(SettingsFilePath("", ""), "");
    EXPECT_EQ(SettingsFilePath(nullptr, nullptr), "");
}

class SettingsFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("morlix_settings_" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir);
        file = (dir / "sub" / "settings").string();
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::filesystem::path dir;
    std::string file;
};

TEST_F(SettingsFileTest, OnlyTheSettingsKeyTravelsBetweenRuns) {
    sim::registry::Registry first;
    first.SetString(RegRoot::CurrentUser, "SOFTWARE\\Veltrane\\Morlix", "Top", "1200");
    first.SetString(RegRoot::CurrentUser, "SOFTWARE\\Veltrane\\Morlix", "On Top", "1");
    first.SetString(RegRoot::CurrentUser, "SOFTWARE\\Other", "Kept", "no");
    first.SetString(RegRoot::LocalMachine, contract::ParametersKey, "DeviceName", "\\\\.\\stale");
    ASSERT_TRUE(SaveSettings(first, file)); // creates the missing directories

    sim::registry::Registry second;
    ASSERT_TRUE(LoadSettings(second, file));
    EXPECT_EQ(second.GetString(RegRoot::CurrentUser, "SOFTWARE\\Veltrane\\Morlix", "Top"), "1200");
    EXPECT_EQ(second.GetString(RegRoot::CurrentUser, "SOFTWARE\\Veltrane\\Morlix", "On Top"), "1");
    EXPECT_FALSE(second.GetValue(RegRoot::CurrentUser, "SOFTWARE\\Other", "Kept"));
    EXPECT_FALSE(second.GetValue(RegRoot::LocalMachine, contract::ParametersKey, "DeviceName"));
}

TEST_F(SettingsFileTest, TheChipIdentifiersTravelToMorlixctl) {
    sim::registry::Registry first;
    ResolveUsbIds(Parse({"--device", "usb", "--vendor", "1234", "--product", "abcd"}), first);
    ASSERT_TRUE(SaveSettings(first, file));
    sim::registry::Registry second;
    ASSERT_TRUE(LoadSettings(second, file));
    usb::UsbOptions read;
    std::string error;
    ASSERT_TRUE(usb::ReadUsbIds(second, read, error)) << error;
    EXPECT_EQ(read.vendorId, 0x1234);
    EXPECT_EQ(read.productId, 0xABCD);
}

TEST_F(SettingsFileTest, AMissingOrDamagedFileChangesNothing) {
    sim::registry::Registry registry;
    registry.SetString(RegRoot::CurrentUser, "SOFTWARE\\Veltrane\\Morlix", "Left", "300");
    EXPECT_FALSE(LoadSettings(registry, file));
    EXPECT_FALSE(LoadSettings(registry, ""));

    std::filesystem::create_directories(std::filesystem::path(file).parent_path());
    std::ofstream(file) << "simreg 1\nV 1 x41 garbage";
    EXPECT_FALSE(LoadSettings(registry, file));
    EXPECT_EQ(registry.GetString(RegRoot::CurrentUser, "SOFTWARE\\Veltrane\\Morlix", "Left"),
              "300");
}

TEST_F(SettingsFileTest, SavingWhereNoFileCanBeMadeFailsQuietly) {
    sim::registry::Registry registry;
    registry.SetString(RegRoot::CurrentUser, "SOFTWARE\\Veltrane\\Morlix", "Top", "1");
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "plain") << "x";
    // A plain file where the directory should be.
    EXPECT_FALSE(SaveSettings(registry, (dir / "plain" / "settings").string()));
    EXPECT_FALSE(SaveSettings(registry, ""));
}

} // namespace
} // namespace morlix
