// The address table that finds the records of requests, pool blocks, device objects and file
// objects: erases in any order keep every other entry findable.
#include "sim/address_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

TEST(AddressTable, ErasesInAnyOrderLeaveEveryOtherEntryFindable) {
    std::vector<char> memory(4000);
    sim::AddressTable<int> table(4);
    for (int i = 0; i < 4000; ++i)
        table.Insert(&memory[i], i);
    table.Insert(&memory[7], -7); // a second insert replaces the value
    EXPECT_EQ(table.Size(), 4000u);
    ASSERT_NE(table.Find(&memory[7]), nullptr);
    EXPECT_EQ(*table.Find(&memory[7]), -7);

    std::vector<int> order(4000);
    for (int i = 0; i < 4000; ++i)
        order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(12345));
    for (int i : order) {
        if (i % 3 == 0) {
            EXPECT_TRUE(table.Erase(&memory[i]));
        }
    }
    EXPECT_FALSE(table.Erase(&memory[0])); // gone already
    EXPECT_EQ(table.Find(nullptr), nullptr);
    for (int i = 0; i < 4000; ++i) {
        const int* found = table.Find(&memory[i]);
        if (i % 3 == 0) {
            EXPECT_EQ(found, nullptr) << i;
        } else {
            ASSERT_NE(found, nullptr) << i;
            EXPECT_EQ(*found, i == 7 ? -7 : i);
        }
    }
    size_t visited = 0;
    table.ForEach([&](const void*, int) { ++visited; });
    EXPECT_EQ(visited, table.Size());
    EXPECT_EQ(table.Size(), 4000u - 1334u);
    table.Clear();
    EXPECT_EQ(table.Find(&memory[1]), nullptr);
}

} // namespace
