// The device link: where the path comes from, how the device is opened,
// what each packet looks like on the way to the driver, and the serial poll.
#include "fake_platform.h"
#include "usb_link.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace morlix {
namespace {

using test::Call;
using test::CallKind;
using test::FakePlatform;

const std::string Path = FakePlatform::DefaultDevicePath;

std::string PathBuffer(const std::string& text) {
    std::string buffer = text;
    buffer += '\0';
    buffer.resize(255, ' ');
    return buffer;
}

class UsbLinkTest : public ::testing::Test {
protected:
    void PublishRaw(std::vector<std::uint8_t> bytes, Dword type = RegSz) {
        fake.SetValue(RootLocalMachine, DeviceNameKey, DeviceNameValue, type, std::move(bytes));
    }
    void Publish(const std::string& text) {
        fake.SetString(RootLocalMachine, DeviceNameKey, DeviceNameValue, text, true);
    }

    FakePlatform fake;
    UsbLink link{fake};
};

TEST_F(UsbLinkTest, OpenReadsThePublishedPathWithExactArguments) {
    fake.InstallDevice();
    ASSERT_TRUE(link.OpenDevice());

    const auto calls = fake.Calls();
    ASSERT_EQ(calls.size(), 4u);
    const Call& open = calls[0];
    EXPECT_EQ(open.kind, CallKind::RegOpenKeyExA);
    EXPECT_EQ(open.key, static_cast<RegKey>(static_cast<std::int32_t>(0x80000002u)));
    EXPECT_EQ(open.name, std::string(contract::ParametersKey) + "\\");
    EXPECT_EQ(open.options, 0u);
    EXPECT_EQ(open.access, 1u);
    EXPECT_FALSE(open.resultOutNull);

    const Call& query = calls[1];
    EXPECT_EQ(query.kind, CallKind::RegQueryValueExA);
    EXPECT_NE(query.key, 0);
    EXPECT_EQ(query.name, "DeviceName");
    EXPECT_TRUE(query.reservedNull);
    EXPECT_FALSE(query.dataNull);
    EXPECT_FALSE(query.sizeOutNull);
    EXPECT_EQ(query.sizeIn, 255u);

    EXPECT_EQ(calls[2].kind, CallKind::RegCloseKey);
    EXPECT_EQ(calls[2].key, query.key);
    EXPECT_EQ(fake.OpenRegKeys(), 0);

    const Call& create = calls[3];
    EXPECT_EQ(create.kind, CallKind::CreateFileA);
    EXPECT_EQ(create.name, Path);
    EXPECT_EQ(create.access, 0xC0000000u);
    EXPECT_EQ(create.shareMode, 3u);
    EXPECT_TRUE(create.securityNull);
    EXPECT_EQ(create.creationDisposition, 3u);
    EXPECT_EQ(create.flagsAndAttributes, 0u);
    EXPECT_EQ(create.templateFile, 0);

    EXPECT_EQ(link.hDevice, create.result);
    EXPECT_GT(link.hDevice, 0);
    // The path as read: text, its NUL, then the rest of the 255-space buffer.
    EXPECT_EQ(link.DevicePath, PathBuffer(Path));
}

TEST_F(UsbLinkTest, MissingValueMeansNoDeviceAndNothingIsSent) {
    fake.SetDevicePresent(Path); // the device exists but nobody published it
    fake.AddKey(RootLocalMachine, DeviceNameKey);

    EXPECT_FALSE(link.OpenDevice());
    EXPECT_EQ(link.DevicePath, "Device Not Found!");
    EXPECT_EQ(link.hDevice, 0);
    Packet packet{0, 0, 10, 10, 1, 2, 0, 0};
    EXPECT_EQ(link.SendPacket(packet), Reply{});
    EXPECT_EQ(packet[0], 0); // nothing stamped when nothing is sent
    link.CloseDevice();

    EXPECT_EQ(fake.CountOf(CallKind::CreateFileA), 0u);
    EXPECT_EQ(fake.CountOf(CallKind::DeviceIoControl), 0u);
    const auto closes = fake.CallsOf(CallKind::CloseHandle);
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].handle, 0);
    EXPECT_EQ(link.hDevice, 0);
}

TEST_F(UsbLinkTest, MissingKeyStillQueriesAndClosesTheNullKey) {
    EXPECT_FALSE(link.OpenDevice());
    const auto query = fake.CallsOf(CallKind::RegQueryValueExA);
    ASSERT_EQ(query.size(), 1u);
    EXPECT_EQ(query[0].key, 0);
    const auto close = fake.CallsOf(CallKind::RegCloseKey);
    ASSERT_EQ(close.size(), 1u);
    EXPECT_EQ(close[0].key, 0);
    EXPECT_EQ(link.DevicePath, "Device Not Found!");
}

TEST_F(UsbLinkTest, FailedOpenKeepsTheFailedHandleUntilTheClose) {
    fake.InstallDevice();
    for (const Handle failed : {InvalidHandleValue, Handle{0}}) {
        SCOPED_TRACE(failed);
        fake.ClearCalls();
        fake.faults.createFileResult = failed;

        EXPECT_FALSE(link.OpenDevice());
        EXPECT_EQ(link.hDevice, failed);
        EXPECT_EQ(link.DevicePath, "Device Not Found!");
        Packet packet{0, 0, 11, 10, 0, 0, 0, 0};
        EXPECT_EQ(link.SendPacket(packet), Reply{});
        EXPECT_EQ(fake.CountOf(CallKind::DeviceIoControl), 0u);

        link.CloseDevice();
        const auto closes = fake.CallsOf(CallKind::CloseHandle);
        ASSERT_EQ(closes.size(), 1u);
        EXPECT_EQ(closes[0].handle, failed);
        EXPECT_EQ(link.hDevice, 0);
    }
}

TEST_F(UsbLinkTest, DeviceHeldByAnotherProcessActsAsAbsent) {
    fake.InstallDevice();
    fake.SetSerialNumber(0x1234);
    fake.faults.deviceHeldElsewhere = true;
    EXPECT_EQ(link.QuerySerialNumber(), 0u);
    EXPECT_EQ(link.DevicePath, "Device Not Found!");
    EXPECT_EQ(fake.CountOf(CallKind::DeviceIoControl), 0u);
    EXPECT_EQ(fake.CountOf(CallKind::CloseHandle), 1u);
}

TEST_F(UsbLinkTest, PathLengthLimitOfTheReadBuffer) {
    const std::string path254 = "\\\\.\\" + std::string(250, 'p');
    ASSERT_EQ(path254.size(), 254u);
    fake.SetDevicePresent(path254);
    Publish(path254);
    EXPECT_TRUE(link.OpenDevice());
    ASSERT_EQ(fake.CountOf(CallKind::CreateFileA), 1u);
    EXPECT_EQ(fake.CallsOf(CallKind::CreateFileA)[0].name, path254);
    EXPECT_EQ(link.DevicePath, path254 + '\0');
    link.CloseDevice();

    // 255 characters do not fit with their NUL, with or without one stored.
    const std::string path255 = path254 + "p";
    fake.SetDevicePresent(path255);
    for (const bool withNul : {true, false}) {
        SCOPED_TRACE(withNul);
        fake.ClearCalls();
        fake.SetString(RootLocalMachine, DeviceNameKey, DeviceNameValue, path255, withNul);
        EXPECT_FALSE(link.OpenDevice());
        EXPECT_EQ(link.DevicePath, "Device Not Found!");
        EXPECT_EQ(fake.CountOf(CallKind::CreateFileA), 0u);
        link.CloseDevice();
    }
}

TEST_F(UsbLinkTest, OversizedValuesYieldTheDefaultWithoutOverrunningTheBuffer) {
    for (const bool windowsWritesAnyway : {false, true}) {
        SCOPED_TRACE(windowsWritesAnyway);
        fake.faults.queryOverflowWrites = windowsWritesAnyway;
        for (const std::size_t size : {256u, 1000u, 70000u}) {
            PublishRaw(std::vector<std::uint8_t>(size, 'x'));
            EXPECT_EQ(link.QueryRegString(RootLocalMachine, DeviceNameKey, DeviceNameValue, "dflt"),
                      "dflt");
        }
    }
}

TEST_F(UsbLinkTest, ImpossibleSizeReportedWithSuccessYieldsTheDefault) {
    Publish("\\\\.\\x");
    fake.faults.queryReportedSize = 4096;
    EXPECT_EQ(link.QueryRegString(RootLocalMachine, DeviceNameKey, DeviceNameValue, "dflt"),
              "dflt");
}

TEST_F(UsbLinkTest, ValueBytesAreTakenAsTheyAreWhateverTheType) {
    PublishRaw({}, RegBinary); // zero bytes: the untouched spaces
    EXPECT_EQ(link.QueryRegString(RootLocalMachine, DeviceNameKey, DeviceNameValue, "dflt"),
              std::string(255, ' '));
    PublishRaw({'a', 0, 'b'}, RegMultiSz);
    std::string expected = std::string("a") + '\0' + "b";
    expected.resize(255, ' ');
    EXPECT_EQ(link.QueryRegString(RootLocalMachine, DeviceNameKey, DeviceNameValue, "dflt"),
              expected);
}

TEST_F(UsbLinkTest, EmptyPublishedPathIsTriedAndFails) {
    Publish("");
    EXPECT_FALSE(link.OpenDevice());
    const auto creates = fake.CallsOf(CallKind::CreateFileA);
    ASSERT_EQ(creates.size(), 1u);
    EXPECT_EQ(creates[0].name, "");
    EXPECT_FALSE(creates[0].nameNull);
    EXPECT_EQ(link.hDevice, -1);
    EXPECT_EQ(link.DevicePath, "Device Not Found!");
}

TEST_F(UsbLinkTest, AnsiPathReachesTheOpenByteForByte) {
    const std::string ansiPath = "\\\\.\\caf\xE9\x80";
    fake.SetDevicePresent(ansiPath);
    std::vector<std::uint8_t> bytes(ansiPath.begin(), ansiPath.end());
    bytes.push_back(0);
    PublishRaw(bytes);
    EXPECT_TRUE(link.OpenDevice());
    EXPECT_EQ(fake.CallsOf(CallKind::CreateFileA).at(0).name, ansiPath);
    // Inside the console the path is UTF-8.
    EXPECT_EQ(link.DevicePath.substr(0, 12), "\\\\.\\caf\xC3\xA9\xE2\x82\xAC");
}

TEST_F(UsbLinkTest, SendPacketStampsTheHeaderAndSendsEightBytes) {
    fake.InstallDevice();
    ASSERT_TRUE(link.OpenDevice());
    Packet packet{0xAA, 0xBB, 10, 10, 0x12, 0x05, 0, 0};
    link.SendPacket(packet);
    EXPECT_EQ(packet, (Packet{8, 18, 10, 10, 0x12, 0x05, 0, 0}));

    const auto ioctls = fake.CallsOf(CallKind::DeviceIoControl);
    ASSERT_EQ(ioctls.size(), 1u);
    const Call& c = ioctls[0];
    EXPECT_EQ(c.handle, link.hDevice);
    EXPECT_EQ(c.ioControlCode, contract::IOCTL_VENDOR_REQUEST);
    EXPECT_EQ(c.inSize, 8u);
    EXPECT_EQ(c.data, (std::vector<std::uint8_t>{8, 18, 10, 10, 0x12, 0x05, 0, 0}));
    EXPECT_FALSE(c.outNull);
    EXPECT_EQ(c.outSize, 8u);
    EXPECT_FALSE(c.bytesReturnedNull);
    EXPECT_TRUE(c.overlappedNull);
}

TEST_F(UsbLinkTest, AnnouncedDataBytesFollowAsZerosWithinBounds) {
    fake.InstallDevice();
    ASSERT_TRUE(link.OpenDevice());
    for (const std::uint16_t extra : {std::uint16_t{3}, std::uint16_t{0xFFFF}}) {
        fake.ClearCalls();
        Packet packet{0,
                      0,
                      10,
                      10,
                      1,
                      4,
                      static_cast<std::uint8_t>(extra),
                      static_cast<std::uint8_t>(extra >> 8)};
        link.SendPacket(packet);
        const auto ioctls = fake.CallsOf(CallKind::DeviceIoControl);
        ASSERT_EQ(ioctls.size(), 1u);
        EXPECT_EQ(ioctls[0].inSize, 8u + extra);
        ASSERT_EQ(ioctls[0].data.size(), 8u + extra);
        EXPECT_EQ(std::vector<std::uint8_t>(ioctls[0].data.begin(), ioctls[0].data.begin() + 8),
                  (std::vector<std::uint8_t>(packet.begin(), packet.end())));
        EXPECT_EQ(std::count(ioctls[0].data.begin() + 8, ioctls[0].data.end(), 0), extra);
    }
}

TEST_F(UsbLinkTest, SerialNumberPollAndItsReplies) {
    fake.InstallDevice();
    struct Case {
        std::vector<std::uint8_t> reply;
        std::uint32_t serial;
    };
    const Case cases[] = {
        {{0x78, 0x56, 0x34, 0x12}, 0x12345678u},
        {{0x00, 0x80, 0x00, 0x00}, 32768u},
        // A serial of 2^31 or more is the positive number it is.
        {{0x00, 0x00, 0x00, 0x80}, 0x80000000u},
        {{0xFF, 0xFF, 0xFF, 0xFF}, 0xFFFFFFFFu},
        // Bytes 4-7 play no part.
        {{0x01, 0x00, 0x00, 0x00, 0xAA, 0xBB, 0xCC, 0xDD}, 1u},
        // A short reply leaves the remaining bytes 0.
        {{0x34, 0x12}, 0x1234u},
        {{}, 0u},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.serial);
        fake.ClearCalls();
        fake.SetSerialReply(c.reply);
        EXPECT_EQ(link.QuerySerialNumber(), c.serial);
        ASSERT_EQ(fake.Packets().size(), 1u);
        EXPECT_EQ(fake.Packets()[0], (std::vector<std::uint8_t>{8, 18, 11, 10, 0, 0, 0, 0}));
        const auto ioctl = fake.CallsOf(CallKind::DeviceIoControl).at(0);
        EXPECT_EQ(ioctl.inSize, 8u);
        EXPECT_EQ(ioctl.outSize, 8u);
        EXPECT_EQ(fake.OpenDeviceHandles(), 0);
        EXPECT_EQ(link.hDevice, 0);
    }
}

TEST_F(UsbLinkTest, FailedCallGivesAZeroReplyEvenIfTheBufferWasWritten) {
    fake.InstallDevice();
    fake.SetSerialNumber(0x12345678);
    fake.faults.ioctlFails = true;
    fake.faults.ioctlWritesOnFailure = true;
    EXPECT_EQ(link.QuerySerialNumber(), 0u);

    ASSERT_TRUE(link.OpenDevice());
    const std::int32_t handle = link.hDevice;
    Packet packet{0, 0, 11, 10, 0, 0, 0, 0};
    EXPECT_EQ(link.SendPacket(packet), Reply{});
    EXPECT_EQ(link.hDevice, handle); // no change of the handle, no retry
    EXPECT_EQ(fake.CountOf(CallKind::DeviceIoControl), 2u);
    link.CloseDevice();
}

TEST_F(UsbLinkTest, NoDeviceSerialReadsZero) {
    EXPECT_EQ(link.QuerySerialNumber(), 0u);
    EXPECT_EQ(fake.CountOf(CallKind::DeviceIoControl), 0u);
    EXPECT_EQ(fake.CountOf(CallKind::CloseHandle), 1u);
}

TEST_F(UsbLinkTest, ADeviceThatArrivesLaterIsUsedFromTheNextCycle) {
    EXPECT_EQ(link.QuerySerialNumber(), 0u);
    fake.InstallDevice();
    fake.SetSerialNumber(77);
    EXPECT_EQ(link.QuerySerialNumber(), 77u);
    fake.RemoveValue(RootLocalMachine, DeviceNameKey, DeviceNameValue);
    EXPECT_EQ(link.QuerySerialNumber(), 0u);
}

// Each cycle reads into the path the last one left: a long path, then a short one, then an
// ANSI one, then none, and each open sees only what its own read brought.
TEST_F(UsbLinkTest, EveryCycleSeesOnlyItsOwnRead) {
    const std::string longPath = "\\\\.\\" + std::string(200, 'L');
    const std::string ansiPath = "\\\\.\\\xE9t\xE9";
    for (const std::string& path : {longPath, std::string("\\\\.\\s"), ansiPath}) {
        SCOPED_TRACE(path);
        fake.ClearCalls();
        fake.SetDevicePresent(path);
        std::vector<std::uint8_t> bytes(path.begin(), path.end());
        bytes.push_back(0);
        PublishRaw(bytes);
        ASSERT_TRUE(link.OpenDevice());
        EXPECT_EQ(fake.CallsOf(CallKind::CreateFileA).at(0).name, path);
        link.CloseDevice();
    }
    EXPECT_EQ(link.DevicePath.substr(0, 9), "\\\\.\\\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(link.DevicePath.size(), 257u); // two characters take two bytes each
    fake.RemoveValue(RootLocalMachine, DeviceNameKey, DeviceNameValue);
    fake.ClearCalls();
    EXPECT_FALSE(link.OpenDevice());
    EXPECT_EQ(link.DevicePath, "Device Not Found!");
    EXPECT_EQ(fake.CountOf(CallKind::CreateFileA), 0u);
    Publish(Path);
    fake.InstallDevice();
    ASSERT_TRUE(link.OpenDevice());
    EXPECT_EQ(link.DevicePath, PathBuffer(Path));
}

} // namespace
} // namespace morlix
