// The program's icon as it is linked from the resource script: nine images,
// 48, 32 and 16 pixels square at 4, 8 and 32 bits per pixel.
#include "resource_ids.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <utility>

namespace {

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width;
    BYTE height;
    BYTE colourCount;
    BYTE reserved;
    WORD planes;
    WORD bitCount;
    DWORD bytesInRes;
    WORD id;
};
struct GroupIconHeader {
    WORD reserved;
    WORD type;
    WORD count;
};
#pragma pack(pop)

TEST(IconResource, NineImagesAtThreeSizesAndThreeDepths) {
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC group = FindResourceW(module, MAKEINTRESOURCEW(IDI_MORLIX), MAKEINTRESOURCEW(14));
    ASSERT_NE(group, nullptr);
    const auto* bytes = static_cast<const std::uint8_t*>(LockResource(LoadResource(module, group)));
    ASSERT_NE(bytes, nullptr);
    ASSERT_GE(SizeofResource(module, group), sizeof(GroupIconHeader));
    GroupIconHeader header;
    memcpy(&header, bytes, sizeof header);
    EXPECT_EQ(header.type, 1);
    ASSERT_EQ(header.count, 9);
    ASSERT_GE(SizeofResource(module, group),
              sizeof(GroupIconHeader) + header.count * sizeof(GroupIconEntry));

    std::set<std::pair<int, int>> seen;
    for (int i = 0; i < header.count; ++i) {
        GroupIconEntry entry;
        memcpy(&entry, bytes + sizeof header + i * sizeof entry, sizeof entry);
        EXPECT_EQ(entry.width, entry.height);
        seen.insert({entry.width, entry.bitCount});
        // Each image is there and is a bitmap the system can make an icon of.
        HRSRC image = FindResourceW(module, MAKEINTRESOURCEW(entry.id), MAKEINTRESOURCEW(3));
        ASSERT_NE(image, nullptr);
        auto* data = static_cast<BYTE*>(LockResource(LoadResource(module, image)));
        HICON icon = CreateIconFromResourceEx(data, SizeofResource(module, image), TRUE, 0x00030000,
                                              entry.width, entry.height, 0);
        EXPECT_NE(icon, nullptr) << int(entry.width) << "px " << entry.bitCount << " bits";
        if (icon) {
            DestroyIcon(icon);
        }
    }
    const std::set<std::pair<int, int>> expected{{48, 4},  {48, 8}, {48, 32}, {32, 4}, {32, 8},
                                                 {32, 32}, {16, 4}, {16, 8},  {16, 32}};
    EXPECT_EQ(seen, expected);
}

TEST(IconResource, TheManifestAsksForCommonControlsSixAndNoElevation) {
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC manifest = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(manifest, nullptr);
    const auto* text = static_cast<const char*>(LockResource(LoadResource(module, manifest)));
    const std::string body(text, SizeofResource(module, manifest));
    EXPECT_NE(body.find("Microsoft.Windows.Common-Controls"), std::string::npos);
    EXPECT_NE(body.find("version=\"6.0.0.0\""), std::string::npos);
    EXPECT_NE(body.find("level=\"asInvoker\""), std::string::npos);
    EXPECT_NE(body.find("<dpiAware>true</dpiAware>"), std::string::npos);
}

} // namespace
