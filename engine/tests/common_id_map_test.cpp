#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "common/chunk_vector.h"
#include "common/id_map.h"

using namespace quarn;

namespace {

enum class Tag : uint32_t {};

}  // namespace

TEST(IdMap, AgreesWithAnOrderedMapOverRandomRunsAndGaps) {
    // Ids arrive in runs (as new facts and tuples do) and far apart; values
    // are set, read and erased at random; every check compares with std::map,
    // whose order for_each must give.
    std::mt19937 rng(11);
    IdMap<Tag, uint64_t> m;
    std::map<uint32_t, uint64_t> want;
    uint32_t next = 0;
    for (int step = 0; step < 20000; ++step) {
        uint32_t id;
        switch (rng() % 4) {
            case 0: id = next++; break;                                     // a run of new ids
            case 1: id = next == 0 ? 0 : static_cast<uint32_t>(rng() % next); break;  // an old one
            case 2: id = static_cast<uint32_t>(rng() % 4000000000u); break;  // far away
            default: id = want.empty() ? 0 : std::next(want.begin(), rng() % want.size())->first;
        }
        if (rng() % 3 == 0) {
            ASSERT_EQ(m.erase(Tag{id}), want.erase(id) == 1);
        } else {
            uint64_t v = rng();
            m[Tag{id}] = v;
            want[id] = v;
        }
        ASSERT_EQ(m.size(), want.size());
        const uint64_t* got = m.find(Tag{id});
        ASSERT_EQ(got != nullptr, want.count(id) == 1);
        if (got) {
            ASSERT_EQ(*got, want[id]);
        }
    }
    std::vector<std::pair<uint32_t, uint64_t>> seen;
    m.for_each([&](Tag id, uint64_t v) { seen.emplace_back(static_cast<uint32_t>(id), v); });
    using Pairs = std::vector<std::pair<uint32_t, uint64_t>>;
    EXPECT_EQ(seen, Pairs(want.begin(), want.end()));
    IdMap<Tag, uint64_t> copy = m;
    for (const auto& [id, v] : want) ASSERT_EQ(*copy.find(Tag{id}), v);
    // Emptied pages come back for new ids; erased ids read as absent.
    for (const auto& [id, v] : want) m.erase(Tag{id});
    EXPECT_TRUE(m.empty());
    EXPECT_EQ(m.find(Tag{want.begin()->first}), nullptr);
    m[Tag{5}] = 1;
    EXPECT_EQ(m[Tag{5}], 1u);
    EXPECT_EQ(m[Tag{6}], 0u);
    EXPECT_EQ(m.size(), 2u);
    EXPECT_EQ(copy.size(), want.size());
}

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
