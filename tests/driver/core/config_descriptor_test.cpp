#include "core/config_descriptor.h"

#include <gtest/gtest.h>

#include <vector>

namespace norvask::core {
namespace {

using Bytes = std::vector<u8>;

// Configuration with one interface of `endpoints` endpoints, padded with a vendor descriptor
// to `total` bytes when asked.
Bytes Config(u8 endpoints, u16 total = 0) {
    Bytes d{9, 2, 0, 0, 1, 1, 0, 0x80, 50};
    Bytes iface{9, 4, 0, 0, endpoints, 0xFF, 0, 0, 0};
    d.insert(d.end(), iface.begin(), iface.end());
    for (u8 e = 0; e < endpoints; ++e) {
        Bytes ep{7, 5, static_cast<u8>(0x81 + e), 3, 8, 0, 10};
        d.insert(d.end(), ep.begin(), ep.end());
    }
    while (total > d.size()) {
        const size_t left = total - d.size();
        const u8 len = static_cast<u8>(left > 255 ? 255 : left);
        if (left - len == 1) {
            // keep every descriptor at least 2 bytes
            d.push_back(2);
            d.push_back(0x24);
            continue;
        }
        d.push_back(len);
        d.push_back(0x24);
        d.resize(d.size() + len - 2, 0);
    }
    d[2] = static_cast<u8>(d.size() & 0xFF);
    d[3] = static_cast<u8>(d.size() >> 8);
    return d;
}

TEST(ConfigRead, SmallDescriptorIsReadOnceIntoTheFirstBuffer) {
    Bytes d = Config(2);
    ASSERT_EQ(d.size(), 32u);
    Bytes buffer(521, 0);
    std::copy(d.begin(), d.end(), buffer.begin());
    EXPECT_EQ(NextConfigReadStep(buffer.data(), 521, 32, 0), ConfigReadStep::Done);
    EXPECT_TRUE(ValidateConfigDescriptor(buffer.data(), 521));
}

TEST(ConfigRead, LargeDescriptorIsReadAgainAtItsFullLength) {
    Bytes d = Config(2, 600);
    ASSERT_EQ(d.size(), 600u);
    Bytes first(d.begin(), d.begin() + 521);
    EXPECT_EQ(NextConfigReadStep(first.data(), 521, 521, 0), ConfigReadStep::ReadAgain);
    EXPECT_EQ(ConfigTotalLength(first.data(), 521), 600u);
    EXPECT_EQ(NextConfigReadStep(d.data(), 600, 600, 600), ConfigReadStep::Done);
    EXPECT_TRUE(ValidateConfigDescriptor(d.data(), 600));
}

TEST(ConfigRead, DescriptorThatKeepsGrowingIsRefused) {
    Bytes d = Config(2, 700);
    EXPECT_EQ(NextConfigReadStep(d.data(), 600, 600, 600), ConfigReadStep::Invalid);
}

TEST(ConfigRead, TotalLengthBelowNineIsRefused) {
    for (u16 total : {0, 1, 4, 8}) {
        Bytes d = Config(0);
        d[2] = static_cast<u8>(total);
        d[3] = 0;
        EXPECT_EQ(NextConfigReadStep(d.data(), 521, 18, 0), ConfigReadStep::Invalid) << total;
        EXPECT_FALSE(ValidateConfigDescriptor(d.data(), static_cast<u32>(d.size())));
    }
    // Fewer than four bytes moved: no total length to read.
    Bytes d = Config(0);
    EXPECT_EQ(NextConfigReadStep(d.data(), 521, 3, 0), ConfigReadStep::Invalid);
}

TEST(ConfigValidation, EndpointsRunningPastTheTotalLengthAreRefused) {
    Bytes d = Config(2);
    d[2] = 30; // the second endpoint ends at 32
    EXPECT_FALSE(ValidateConfigDescriptor(d.data(), static_cast<u32>(d.size())));
    d[2] = 25; // the second endpoint is missing
    EXPECT_FALSE(ValidateConfigDescriptor(d.data(), static_cast<u32>(d.size())));
}

TEST(ConfigValidation, InterfaceClaimingMoreEndpointsThanItHasIsRefused) {
    Bytes d = Config(2);
    d[9 + 4] = 3;
    EXPECT_FALSE(ValidateConfigDescriptor(d.data(), static_cast<u32>(d.size())));
}

TEST(ConfigValidation, ZeroOrTruncatedDescriptorLengthsAreRefused) {
    Bytes d = Config(2);
    d[18] = 0; // first endpoint's bLength: a walker would never advance
    EXPECT_FALSE(ValidateConfigDescriptor(d.data(), static_cast<u32>(d.size())));
    d = Config(2);
    d[9] = 5; // interface descriptor too short for its fields
    EXPECT_FALSE(ValidateConfigDescriptor(d.data(), static_cast<u32>(d.size())));
    d = Config(1);
    EXPECT_TRUE(ValidateConfigDescriptor(d.data(), static_cast<u32>(d.size())));
    // Total length larger than the buffer that holds it.
    EXPECT_FALSE(ValidateConfigDescriptor(d.data(), static_cast<u32>(d.size()) - 1));
}

} // namespace
} // namespace norvask::core
