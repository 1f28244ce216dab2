#include <gtest/gtest.h>

#include <cstdint>

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
