#include "icon.h"

#include <gtest/gtest.h>

namespace morlix {
namespace {

TEST(Icon, ADiscOnATransparentSquareInEachSize) {
    for (int size : {48, 32, 16}) {
        const std::vector<std::uint8_t> pixels = IconPixels(size);
        ASSERT_EQ(pixels.size(), static_cast<std::size_t>(size * size * 4)) << size;
        EXPECT_EQ(pixels[3], 0) << "corner is see-through at " << size;
        const std::size_t centre = (static_cast<std::size_t>(size / 2) * size + size / 2) * 4;
        EXPECT_EQ(pixels[centre + 3], 255) << "middle is opaque at " << size;
    }
    EXPECT_TRUE(IconPixels(0).empty());
    EXPECT_TRUE(IconPixels(-48).empty());
    EXPECT_TRUE(IconPixels(100000).empty());
}

} // namespace
} // namespace morlix
