// The libusb platform against the real libusb, with the chip simulated
// underneath by umockdev: what "DeviceName" says, how the chip is opened,
// and which control transfer each packet becomes.
#include "form_main.h"
#include "misc_functions.h"
#include "mock_chip.h"
#include "usb_link.h"
#include "usb_platform.h"

#include "sim/registry/registry.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace morlix {
namespace {

using test::SetupPacket;
using usb::UsbPlatform;

constexpr std::uint32_t Serial = 0x00012345;
constexpr Dword IOCTL_GET_CONFIG_DESCRIPTOR = 0x220000;

class UsbPlatformTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(platform.Ready()); }

    Handle Open(const std::string& path) {
        return platform.CreateFileA(path.c_str(), GenericRead | GenericWrite,
                                    FileShareRead | FileShareWrite, nullptr, OpenExisting, 0, 0);
    }

    struct Result {
        Bool ok;
        Dword returned;
    };
    Result Send(Handle h, std::vector<std::uint8_t> in, std::vector<std::uint8_t>& out,
                Dword code = IOCTL_VENDOR_REQUEST) {
        Dword returned = 99;
        const Bool ok =
            platform.DeviceIoControl(h, code, in.data(), static_cast<Dword>(in.size()), out.data(),
                                     static_cast<Dword>(out.size()), &returned, nullptr);
        return {ok, returned};
    }

    test::MockChip chip{Serial}; // the testbed first: libusb starts inside it
    sim::registry::Registry settings;
    UsbPlatform platform{settings};
};

TEST_F(UsbPlatformTest, DeviceNameNamesTheChipOnlyWhileItIsAttached) {
    UsbLink link(platform);
    EXPECT_FALSE(link.OpenDevice());
    EXPECT_EQ(link.DevicePath, DeviceNotFound);
    EXPECT_EQ(link.hDevice, 0);
    link.CloseDevice();

    ASSERT_TRUE(chip.Plug());
    const std::string first = chip.Path();
    ASSERT_TRUE(link.OpenDevice());
    EXPECT_EQ(link.DevicePath.substr(0, first.size() + 1), first + '\0');
    link.CloseDevice();
    EXPECT_EQ(link.QuerySerialNumber(), Serial);

    chip.Unplug();
    EXPECT_EQ(platform.AttachedPath(), "");
    EXPECT_EQ(link.QuerySerialNumber(), 0u);

    // Plugged in again it has a new address; the old path names nothing.
    ASSERT_TRUE(chip.Plug());
    EXPECT_NE(chip.Path(), first);
    EXPECT_EQ(platform.AttachedPath(), chip.Path());
    EXPECT_EQ(Open(first), InvalidHandleValue);
    EXPECT_EQ(link.QuerySerialNumber(), Serial);

    // A chip with other identifiers is not ours.
    UsbPlatform other(settings, {0x1234, 0x000A});
    EXPECT_EQ(other.AttachedPath(), "");
}

TEST_F(UsbPlatformTest, OneHandleAtATime) {
    ASSERT_TRUE(chip.Plug());
    const Handle first = Open(chip.Path());
    ASSERT_GT(first, 0);
    EXPECT_EQ(Open(chip.Path()), InvalidHandleValue);
    EXPECT_EQ(platform.LastError(), usb::ErrorPipeBusy);

    // Nor does another program: the chip's interface stays claimed.
    sim::registry::Registry otherSettings;
    UsbPlatform otherProgram(otherSettings);
    EXPECT_EQ(otherProgram.CreateFileA(chip.Path().c_str(), GenericRead | GenericWrite, 3, nullptr,
                                       OpenExisting, 0, 0),
              InvalidHandleValue);
    EXPECT_EQ(otherProgram.LastError(), usb::ErrorPipeBusy);
    std::vector<std::uint8_t> out(8);
    EXPECT_TRUE(Send(first, {8, 18, 11, 10, 0, 0, 0, 0}, out).ok);

    EXPECT_TRUE(platform.CloseHandle(first));
    EXPECT_FALSE(platform.CloseHandle(first));
    EXPECT_FALSE(Send(first, {8, 18, 11, 10, 0, 0, 0, 0}, out).ok) << "a closed handle";
    const Handle second = Open(chip.Path());
    EXPECT_GT(second, 0);
    EXPECT_NE(second, first);
    EXPECT_TRUE(platform.CloseHandle(second));
}

TEST_F(UsbPlatformTest, PacketsBecomeTheVendorTransfersTheDriverMakes) {
    ASSERT_TRUE(chip.Plug());
    const Handle h = Open(chip.Path());
    ASSERT_GT(h, 0);

    // Write ports: out, no data stage, nothing comes back.
    std::vector<std::uint8_t> out(8, 0xEE);
    Result r = Send(h, {8, 18, 10, 10, 0x2D, 0x05, 0, 0}, out);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.returned, 0u);
    EXPECT_EQ(out, std::vector<std::uint8_t>(8, 0xEE));

    // Read the serial number: in, 8 asked, the 4 the chip sends come back.
    r = Send(h, {8, 18, 11, 10, 0, 0, 0, 0}, out);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.returned, 4u);
    EXPECT_EQ(out, (std::vector<std::uint8_t>{0x45, 0x23, 0x01, 0x00, 0xEE, 0xEE, 0xEE, 0xEE}));

    // Data for the device: ExtraLength 12 is cut to 8, and what the caller
    // gets back is the start of the request's buffer, the clamp written in.
    std::vector<std::uint8_t> in = {0x40, 18, 10, 10, 1, 2, 12, 0};
    for (std::uint8_t i = 0; i < 8; ++i) {
        in.push_back(static_cast<std::uint8_t>(0xA0 + i));
    }
    r = Send(h, in, out);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.returned, 8u);
    EXPECT_EQ(out, (std::vector<std::uint8_t>{0x40, 18, 10, 10, 1, 2, 8, 0}));

    // An odd command with a request type above 11 goes out too.
    r = Send(h, {12, 18, 11, 10, 0, 0, 0, 0}, out);
    EXPECT_TRUE(r.ok);

    const std::vector<SetupPacket> expected = {
        {0x40, 18, 0x0A0A, 0x052D, 0, {}},
        {0xC0, 18, 0x0A0B, 0x0000, 8, {}},
        {0x40, 18, 0x0A0A, 0x0201, 8, {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7}},
        {0x40, 18, 0x0A0B, 0x0000, 0, {}},
    };
    EXPECT_EQ(chip.Setups(), expected);
    EXPECT_EQ(chip.chip().PortA(), 1);
    EXPECT_EQ(chip.chip().PortB(), 2);
    EXPECT_TRUE(platform.CloseHandle(h));
}

TEST_F(UsbPlatformTest, BuffersTooShortAreRefusedAsTheDriverRefusesThem) {
    ASSERT_TRUE(chip.Plug());
    const Handle h = Open(chip.Path());
    ASSERT_GT(h, 0);
    std::vector<std::uint8_t> out(8);

    // Less than a header, or a header announcing more data than follows.
    EXPECT_FALSE(Send(h, {8, 18, 10, 10, 0, 0, 0}, out).ok);
    EXPECT_EQ(platform.LastError(), usb::ErrorInvalidParameter);
    EXPECT_FALSE(Send(h, {8, 18, 10, 10, 0, 0, 4, 0, 1, 2}, out).ok);
    // Codes other than the vendor request are not carried.
    EXPECT_FALSE(Send(h, {8, 18, 11, 10, 0, 0, 0, 0}, out, IOCTL_GET_CONFIG_DESCRIPTOR).ok);
    Dword returned = 0;
    EXPECT_FALSE(platform.DeviceIoControl(h, IOCTL_VENDOR_REQUEST, nullptr, 8, out.data(), 8,
                                          &returned, nullptr));
    EXPECT_EQ(platform.LastError(), usb::ErrorNoAccess);
    EXPECT_TRUE(chip.Setups().empty()) << "nothing may reach the chip";

    // A short output buffer only shortens what an in transfer asks for.
    std::vector<std::uint8_t> two(2);
    const Result r = Send(h, {8, 18, 11, 10, 0, 0, 0, 0}, two);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.returned, 2u);
    EXPECT_EQ(two, (std::vector<std::uint8_t>{0x45, 0x23}));
    ASSERT_EQ(chip.Setups().size(), 1u);
    EXPECT_EQ(chip.Setups()[0].length, 2u);
    EXPECT_TRUE(platform.CloseHandle(h));
}

TEST_F(UsbPlatformTest, ABusErrorStillSucceedsWithTheBytesMoved) {
    ASSERT_TRUE(chip.Plug());
    const Handle h = Open(chip.Path());
    ASSERT_GT(h, 0);
    std::vector<std::uint8_t> out(8, 0xEE);

    chip.SetStall(true);
    Result r = Send(h, {8, 18, 11, 10, 0, 0, 0, 0}, out);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.returned, 0u);
    EXPECT_EQ(out, std::vector<std::uint8_t>(8, 0xEE));
    // The chip's own stall of a request it does not know, likewise.
    chip.SetStall(false);
    r = Send(h, {8, 19, 11, 10, 0, 0, 0, 0}, out);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.returned, 0u);

    // Pulled out under the open handle: the request fails, as it does on
    // Windows once the device is removed.
    chip.Unplug();
    EXPECT_FALSE(Send(h, {8, 18, 10, 10, 0, 0, 0, 0}, out).ok);
    EXPECT_TRUE(platform.CloseHandle(h));
}

TEST_F(UsbPlatformTest, SettingsGoToTheStoreAndTheMachineKeysStayUnwritten) {
    ASSERT_TRUE(WriteRegString(platform, SettingsKey.root, SettingsKey.path, SettingTop, "1200"));
    EXPECT_EQ(settings.GetString(sim::registry::RegRoot::CurrentUser, SettingsKey.path, SettingTop),
              "1200");
    std::string text;
    EXPECT_TRUE(ReadRegValue(platform, SettingsKey.root, SettingsKey.path, SettingTop, text));
    EXPECT_EQ(text, "1200");
    EXPECT_FALSE(ReadRegValue(platform, SettingsKey.root, SettingsKey.path, SettingLeft, text));

    EXPECT_FALSE(WriteRegString(platform, RootLocalMachine, DeviceNameKey, DeviceNameValue, "x"));
    ASSERT_TRUE(chip.Plug());
    UsbLink link(platform);
    const std::string path = chip.Path();
    EXPECT_EQ(link.QueryRegString(RootLocalMachine, DeviceNameKey, DeviceNameValue, "")
                  .substr(0, path.size() + 1),
              path + '\0');
}

} // namespace
} // namespace morlix
