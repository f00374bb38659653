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

TEST_F(UsbSendDataTest, WordsOutsideTenBitsNeverReachTheDevice) {
    for (const CoilWord word :
         {CoilWord{-1}, CoilWord{1024}, CoilWord{1024 + 853}, CoilWord{32767}, CoilWord{-32768}}) {
        SCOPED_TRACE(word);
        UsbSendData(link, word);
        EXPECT_TRUE(fake.Calls().empty());
    }
}

TEST_F(UsbSendDataTest, FailingCallsStillSendAllThreePackets) {
    fake.faults.ioctlFails = true;
    UsbSendData(link, 511);
    EXPECT_EQ(fake.CountOf(CallKind::DeviceIoControl), 3u);
    EXPECT_EQ(fake.CountOf(CallKind::CloseHandle), 1u);
    EXPECT_EQ(link.hDevice, 0);
}

TEST(UsbSendData, WithoutADeviceATransactionCompletesSilently) {
    FakePlatform fake; // nothing published
    UsbLink link(fake);
    const auto words = Transaction({AxisFrame(Axis::X, 1000, 128), AxisFrame(Axis::Y, 0, 128)});
    for (const CoilWord w : words) {
        UsbSendData(link, w);
    }
    EXPECT_EQ(fake.CountOf(CallKind::DeviceIoControl), 0u);
    EXPECT_EQ(fake.CountOf(CallKind::CloseHandle), words.size());
    EXPECT_EQ(link.DevicePath, "Device Not Found!");
    EXPECT_EQ(link.hDevice, 0);
}

TEST(WordPackets, PortBHasOnlyAddressAndStrobeForEveryWord) {
    for (int w = -40000; w <= 40000; ++w) {
        const auto packets = WordPackets(static_cast<CoilWord>(w));
        for (const PortBytes& p : packets) {
            ASSERT_EQ(p.b & 0xF8, 0) << w;
        }
        ASSERT_EQ(packets[0], packets[2]);
        ASSERT_EQ(packets[0].a, packets[1].a);
        ASSERT_EQ(packets[0].b, packets[1].b | StrobeBit) << w;
        ASSERT_EQ(packets[1].b & StrobeBit, 0) << w;
        if (IsCoilWord(w)) {
            ASSERT_EQ(packets[0].a, w & 255);
            ASSERT_EQ(packets[1].b, w >> 8);
        }
    }
}

TEST(Encoders, KnownValues) {
    EXPECT_EQ(EncodeAmpLow(1000), 488);
    EXPECT_EQ(EncodeAmpHigh(1000, 1), 275);
    EXPECT_EQ(EncodeAmpHigh(1000, 0), 259);
    EXPECT_EQ(EncodeAmpLow(4095), 511);
    EXPECT_EQ(EncodeAmpHigh(4095, 15), 511);
    EXPECT_EQ(EncodeAmpHigh(0, 1), 272);
    EXPECT_EQ(EncodeAmpHigh(0, 15), 496);
    EXPECT_EQ(EncodeAmpLow(0), 256);
    EXPECT_EQ(EncodePhase(0), 256);
    EXPECT_EQ(EncodePhase(255), 511);
    EXPECT_EQ(FrameByteWord(0x2D), 301);
    EXPECT_EQ(ResetWord, 0);
    EXPECT_EQ(ExecuteWord, 853);
}

TEST(Encoders, EveryInputGivesAFrameRegisterWord) {
    // Out-of-range inputs clamp: a negative amplitude must not turn into a
    // write to the reset register, nor a large one into the flags nibble.
    EXPECT_EQ(EncodeAmpLow(-1), 256);
    EXPECT_EQ(EncodeAmpHigh(-1, 0), 256);
    EXPECT_EQ(EncodeAmpLow(5000), 511);
    EXPECT_EQ(EncodeAmpHigh(5000, 0), 271);
    EXPECT_EQ(EncodePhase(-5), 256);
    EXPECT_EQ(EncodePhase(300), 511);
    for (const int v : {-2147483647 - 1, -70000, -1, 0, 4095, 4096, 65536, 2147483647}) {
        for (const int flags : {-1, 0, 1, 15, 16}) {
            const int high = EncodeAmpHigh(v, flags);
            EXPECT_TRUE(high >= 256 && high <= 511) << v << " " << flags;
        }
        EXPECT_TRUE(EncodeAmpLow(v) >= 256 && EncodeAmpLow(v) <= 511) << v;
        EXPECT_TRUE(EncodePhase(v) >= 256 && EncodePhase(v) <= 511) << v;
    }
}

using Words = std::vector<CoilWord>;

Words FrameWords(const CoilFrame& frame) {
    const auto w = frame.Words();
    return Words(w.begin(), w.end());
}

TEST(Frames, WordsOfEveryKind) {
    EXPECT_EQ(FrameWords(AxisFrame(Axis::X, 1000, 128)), (Words{488, 259, 256, 301, 272, 384}));
    EXPECT_EQ(FrameWords(AxisFrame(Axis::Y, 4095, 0)), (Words{511, 271, 256, 301, 288, 256}));
    EXPECT_EQ(FrameWords(BothFrame(0, 0x01)), (Words{256, 272, 257, 273, 304, 383}));
    EXPECT_EQ(FrameWords(BothFrame(1000, 0x00)), (Words{488, 275, 256, 273, 304, 383}));
    EXPECT_EQ(FrameWords(StandbyFrame()), (Words{256, 256, 257, 275, 304, 383}));
    EXPECT_EQ(FrameWords(RecordFrame(1, 4095)), (Words{511, 511, 261, 509, 319, 288}));
    EXPECT_EQ(FrameWords(RecordFrame(2, 0)), (Words{256, 496, 261, 509, 319, 384}));
    EXPECT_EQ(FrameWords(RecordFrame(3, 1000)), (Words{488, 499, 261, 509, 319, 464}));
}

TEST(Frames, BytesMatchTheirEncoders) {
    for (const int a : {0, 1, 255, 256, 1000, 4095}) {
        const auto x = AxisFrame(Axis::X, a, 77).Words();
        EXPECT_EQ(x[0], EncodeAmpLow(a));
        EXPECT_EQ(x[1], EncodeAmpHigh(a, 0));
        EXPECT_EQ(x[5], EncodePhase(77));
        EXPECT_EQ(BothFrame(a, 0).Words()[1], EncodeAmpHigh(a, 1));
        EXPECT_EQ(RecordFrame(2, a).Words()[1], EncodeAmpHigh(a, 15));
    }
}

TEST(Frames, OutOfRangeArgumentsClamp) {
    EXPECT_EQ(AxisFrame(Axis::X, -5, -5).bytes, AxisFrame(Axis::X, 0, 0).bytes);
    EXPECT_EQ(AxisFrame(Axis::Y, 99999, 999).bytes, AxisFrame(Axis::Y, 4095, 255).bytes);
    EXPECT_EQ(BothFrame(-1, 0).bytes, BothFrame(0, 0).bytes);
    EXPECT_EQ(RecordFrame(0, 5).bytes, RecordFrame(1, 5).bytes);
    EXPECT_EQ(RecordFrame(9, 5).bytes, RecordFrame(3, 5).bytes);
}

TEST(Transaction, ShapeAndTheAmplitudeEntryExample) {
    EXPECT_EQ(Transaction({}), (Words{0, 853}));
    EXPECT_EQ(Transaction({StandbyFrame()}).size(), 8u);
    EXPECT_EQ(Transaction({RecordFrame(1, 9), RecordFrame(2, 9), RecordFrame(3, 9)}).size(), 20u);
    const Words expected = {0, 488, 259, 256, 301, 272, 384, 256, 256, 256, 301, 288, 384, 853};
    EXPECT_EQ(Transaction({AxisFrame(Axis::X, 1000, 128), AxisFrame(Axis::Y, 0, 128)}), expected);
}

TEST_F(UsbSendDataTest, ATransactionIsLatchedWordForWord) {
    const Words words =
        Transaction({RecordFrame(1, 4095), RecordFrame(2, 1000), RecordFrame(3, 0)});
    for (const CoilWord w : words) {
        UsbSendData(link, w);
    }
    EXPECT_EQ(fake.LatchedWords(), words);
    EXPECT_EQ(fake.PortWrites().size(), 3 * words.size());
    EXPECT_EQ(fake.CountOf(CallKind::CreateFileA), words.size());
    for (const auto& p : fake.PortWrites()) {
        EXPECT_EQ(p.b & 0xF8, 0);
    }
}

TEST(DecodeWords, LatchesOnTheFallingStrobeOnly) {
    using test::DecodeWords;
    using test::PortWrite;
    // Data changing while the strobe is low is not latched again; a word
    // needs the strobe to rise before it can fall once more.
    const std::vector<PortWrite> writes = {{0x11, 0x05}, {0x11, 0x01}, {0x22, 0x00},
                                           {0x22, 0x04}, {0x33, 0x07}, {0x33, 0x03}};
    EXPECT_EQ(DecodeWords(writes), (Words{0x111, 0x333}));
    EXPECT_TRUE(DecodeWords({{0x44, 0x05}, {0x44, 0x05}}).empty());
}

} // namespace
} // namespace morlix
