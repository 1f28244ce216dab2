#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "common/chunk_vector.h"

using namespace quarn;

TEST(ChunkVector, ElementsStayPutAsItGrowsAndCopiesAreDeep) {
    ChunkVector<uint64_t, 4> v;
    v.push_back(7);
    const uint64_t* first = &v[0];
    for (uint64_t k = 1; k < 1000; ++k) v.push_back(k * 3);
    EXPECT_EQ(first, &v[0]);
    EXPECT_EQ(v.size(), 1000u);
    EXPECT_EQ(v[999], 2997u);
    ChunkVector<uint64_t, 4> copy = v;
    v[5] = 1;
    EXPECT_EQ(copy[5], 15u);
    v.clear();
    EXPECT_TRUE(v.empty());
    EXPECT_EQ(v.emplace_back(), 0u);  // a reused chunk hands out fresh elements
    EXPECT_EQ(copy.size(), 1000u);
}

// Popping hands chunks back half a chunk late, keeps the first one, and never
// disturbs the elements that stay; pushing again refills in order.
TEST(ChunkVector, PoppingGivesChunksBackBehindTheElementsAndKeepsTheFirst) {
    ChunkVector<uint64_t, 4> v;  // chunks of 16
    for (uint64_t k = 0; k < 100; ++k) v.push_back(k);
    EXPECT_EQ(v.capacity(), 112u);
    const uint64_t* tenth = &v[10];
    std::vector<size_t> capacities;
    while (v.size() > 0) {
        v.pop_back();
        capacities.push_back(v.capacity());
        for (size_t i = 0; i < v.size(); i += 7) ASSERT_EQ(v[i], i) << v.size();
        if (v.size() > 10) {
            ASSERT_EQ(tenth, &v[10]);
        }
        if (!v.empty()) {
            ASSERT_EQ(v.back(), v.size() - 1);
        }
    }
    // The chunk starting at 96 goes at 88, the one at 80 at 72, ..., the one at 16 at 8.
    for (size_t size = 0; size < 100; ++size) {
        const size_t chunks = std::max<size_t>(1, std::min<size_t>(7, (size + 8 + 15) / 16));
        ASSERT_EQ(capacities[99 - size], 16 * chunks) << size;
    }
    for (uint64_t k = 0; k < 40; ++k) v.push_back(k + 1000);
    EXPECT_EQ(v.size(), 40u);
    EXPECT_EQ(v[0], 1000u);
    EXPECT_EQ(v[39], 1039u);
    EXPECT_EQ(v.capacity(), 48u);
}
