// Coil words as they reach the chip: three write-ports packets per word,
// and the words a coil driver latches from them.
#include "coil_word.h"
#include "fake_platform.h"

#include <gtest/gtest.h>

#include <vector>

namespace morlix {
namespace {

using test::CallKind;
using test::FakePlatform;

std::vector<PortBytes> Triple(PortBytes first, PortBytes second, PortBytes third) {
    return {first, second, third};
}

class UsbSendDataTest : public ::testing::Test {
protected:
    void SetUp() override { fake.InstallDevice(); }
    FakePlatform fake;
    UsbLink link{fake};
};

TEST_F(UsbSendDataTest, KnownWordsGoOutAsStrobeHighLowHigh) {
    struct Case {
        CoilWord word;
        std::vector<PortBytes> packets;
    };
    const Case cases[] = {
        {ResetWord, Triple({0x00, 0x04}, {0x00, 0x00}, {0x00, 0x04})},
        {ExecuteWord, Triple({0x55, 0x07}, {0x55, 0x03}, {0x55, 0x07})},
        {511, Triple({0xFF, 0x05}, {0xFF, 0x01}, {0xFF, 0x05})},
        {1023, Triple({0xFF, 0x07}, {0xFF, 0x03}, {0xFF, 0x07})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word);
        fake.ClearCalls();
        UsbSendData(link, c.word);
        EXPECT_EQ(fake.PortWrites(), c.packets);
        EXPECT_EQ(fake.LatchedWords(), std::vector<CoilWord>{c.word});
    }
}

TEST_F(UsbSendDataTest, OneWordIsOneFullDeviceCycle) {
    UsbSendData(link, 853);
    using K = CallKind;
    const std::vector<K> expected = {K::RegOpenKeyExA,   K::RegQueryValueExA, K::RegCloseKey,
                                     K::CreateFileA,     K::DeviceIoControl,  K::DeviceIoControl,
                                     K::DeviceIoControl, K::CloseHandle};
    EXPECT_EQ(fake.Kinds(), expected);
    for (const auto& packet : fake.Packets()) {
        EXPECT_EQ(packet[0], 8);
        EXPECT_EQ(packet[1], 18);
        EXPECT_EQ(packet[2], 10);
        EXPECT_EQ(packet[3], 10);
        EXPECT_EQ(packet[6], 0);
        EXPECT_EQ(packet[7], 0);
    }
    EXPECT_EQ(fake.OpenDeviceHandles(), 0);
    EXPECT_EQ(fake.OpenRegKeys(), 0);
    EXPECT_EQ(link.hDevice, 0);
}

} // namespace
} // namespace morlix
