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

namespace {

// Counts the elements alive and made, so that a vector can be seen to make
// each element once, when it is appended, and to destroy every one.
struct Tracked {
    static inline int alive = 0, made = 0;
    int v;
    explicit Tracked(int x = -1) : v(x) { ++alive, ++made; }
    Tracked(const Tracked& o) : v(o.v) { ++alive, ++made; }
    Tracked& operator=(const Tracked&) = default;
    ~Tracked() { --alive; }
};

}  // namespace

TEST(ChunkVector, MakesEachElementWhenAppendedAndDestroysEveryOne) {
    Tracked::alive = Tracked::made = 0;
    {
        ChunkVector<Tracked, 3> v;
        for (int k = 0; k < 20; ++k) EXPECT_EQ(v.emplace_back(k).v, k);  // three chunks of 8, the last part-filled
        EXPECT_EQ(v.emplace_back().v, -1);
        EXPECT_EQ(Tracked::made, 21);  // no chunk makes elements ahead of their appending
        EXPECT_EQ(Tracked::alive, 21);
        ChunkVector<Tracked, 3> copy = v;
        EXPECT_EQ(Tracked::alive, 42);
        EXPECT_EQ(copy[13].v, 13);
        v.clear();
        EXPECT_EQ(Tracked::alive, 21);
        v.emplace_back(5);
        EXPECT_EQ(v[0].v, 5);
        EXPECT_EQ(v.size(), 1u);
        ChunkVector<Tracked, 3> moved = std::move(copy);
        EXPECT_EQ(Tracked::alive, 22);
        EXPECT_TRUE(copy.empty());  // NOLINT: a moved-from vector is empty
        EXPECT_EQ(moved[20].v, -1);
        moved = v;  // the 21 held before go
        EXPECT_EQ(Tracked::alive, 2);
        EXPECT_EQ(moved.size(), 1u);
        EXPECT_EQ(moved.back().v, 5);
    }
    EXPECT_EQ(Tracked::alive, 0);
}

TEST(ChunkVector, AppendsLandWhereIndexingFindsThemThroughClearsAndMoves) {
    // Chunks of 4: every step below stops mid-chunk or on a chunk's end, so
    // that where an append lands must follow the vector it is made on.
    using V = ChunkVector<uint32_t, 2>;
    uint32_t next = 0;
    auto append = [&](V& v, size_t n) {
        for (size_t k = 0; k < n; ++k) {
            const size_t at = v.size();
            uint32_t& e = v.emplace_back(next++);
            EXPECT_EQ(&e, &v[at]);
        }
    };
    auto values = [](const V& v) {
        std::vector<uint32_t> out;
        for (size_t i = 0; i < v.size(); ++i) out.push_back(v[i]);
        return out;
    };
    V v;
    append(v, 6);
    v.clear();  // keeps its first chunk, and fills it again from its start
    append(v, 9);
    EXPECT_EQ(values(v), (std::vector<uint32_t>{6, 7, 8, 9, 10, 11, 12, 13, 14}));
    V w = std::move(v);  // w goes on in v's third chunk; v starts afresh
    append(w, 2);
    append(v, 5);
    EXPECT_EQ(values(w), (std::vector<uint32_t>{6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}));
    EXPECT_EQ(values(v), (std::vector<uint32_t>{17, 18, 19, 20, 21}));
    v = std::move(w);
    append(v, 1);
    append(w, 1);
    EXPECT_EQ(values(v), (std::vector<uint32_t>{6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 22}));
    EXPECT_EQ(values(w), (std::vector<uint32_t>{23}));
}

TEST(ChunkVector, RoomCountsTheAppendsLeftInTheChunkInUse) {
    using V = ChunkVector<uint32_t, 2>;
    V v;
    std::vector<size_t> rooms{v.room()};
    for (uint32_t k = 0; k < 9; ++k) {
        v.room() == 0 ? v.emplace_back(k) : v.emplace_back_in_room(k);
        rooms.push_back(v.room());
    }
    EXPECT_EQ(rooms, (std::vector<size_t>{0, 3, 2, 1, 0, 3, 2, 1, 0, 3}));
    for (uint32_t k = 0; k < 9; ++k) EXPECT_EQ(v[k], k);
    EXPECT_EQ(V(v).room(), 3u);
    v.clear();
    EXPECT_EQ(v.room(), 0u);
}
