// DenseIdMap and DenseIdSet against std::map and std::set: random inserts and
// erases over ids that share pages, leave them empty (so that pages are
// handed out again) and reach far apart; every answer, the size and the
// ascending walk compared after each step, and again through copies and moves.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/dense_ids.h"

using namespace quarn;

namespace {

struct Val {
    uint64_t a = 0;
    uint32_t b = 7;  // a default that is not zero: a reused slot must hold it again
    bool operator==(const Val&) const = default;
};

// Ids in a few clusters: the same page, neighbouring pages, other directory
// blocks and the top of the id range.
uint32_t draw_id(std::mt19937& rng) {
    switch (rng() % 4) {
        case 0: return rng() % 200;
        case 1: return 65'000 + rng() % 3'000;
        case 2: return 5'000'000 + rng() % 100;
        default: return UINT32_MAX - rng() % 130;
    }
}

std::string walk(const DenseIdMap<Val>& m) {
    std::string s;
    m.for_each([&](uint32_t id, const Val& v) { s += std::to_string(id) + "=" + std::to_string(v.a) + " "; });
    return s;
}

std::string walk(const std::map<uint32_t, Val>& m) {
    std::string s;
    for (const auto& [id, v] : m) s += std::to_string(id) + "=" + std::to_string(v.a) + " ";
    return s;
}

std::string walk(const DenseIdSet& m) {
    std::string s;
    m.for_each([&](uint32_t id) { s += std::to_string(id) + " "; });
    return s;
}

std::string walk(const std::set<uint32_t>& m) {
    std::string s;
    for (uint32_t id : m) s += std::to_string(id) + " ";
    return s;
}

}  // namespace

TEST(DenseIdMap, AgreesWithAnOrderedMapThroughEmptiedAndReusedPages) {
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        std::mt19937 rng(seed);
        DenseIdMap<Val> map;
        std::map<uint32_t, Val> model;
        for (int step = 0; step < 4000; ++step) {
            const uint32_t id = draw_id(rng);
            if (rng() % 3 != 0) {
                auto [v, fresh] = map.try_emplace(id);
                ASSERT_EQ(fresh, !model.count(id)) << "seed " << seed << " step " << step;
                // A fresh slot holds the default, also on a page handed out again.
                if (fresh) {
                    ASSERT_EQ(v, Val{}) << "seed " << seed << " step " << step;
                }
                v.a = static_cast<uint64_t>(step);
                model[id].a = static_cast<uint64_t>(step);
            } else {
                ASSERT_EQ(map.erase(id), model.erase(id) == 1) << "seed " << seed << " step " << step;
            }
            ASSERT_EQ(map.size(), model.size());
            const Val* found = map.find(id);
            ASSERT_EQ(found != nullptr, model.count(id) == 1);
            if (found) {
                ASSERT_EQ(found->a, model[id].a);
            }
        }
        EXPECT_EQ(walk(map), walk(model)) << "seed " << seed;
        DenseIdMap<Val> copy = map;
        EXPECT_EQ(walk(copy), walk(model));
        DenseIdMap<Val> moved = std::move(map);
        EXPECT_EQ(walk(moved), walk(model));
        EXPECT_TRUE(map.empty());  // NOLINT: a moved-from map is empty
        EXPECT_EQ(walk(map), "");
    }
}

TEST(DenseIdSet, AgreesWithAnOrderedSetThroughEmptiedAndReusedPages) {
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        std::mt19937 rng(seed);
        DenseIdSet set;
        std::set<uint32_t> model;
        for (int step = 0; step < 4000; ++step) {
            // The top of the range only rarely: the directory is flat.
            const uint32_t id = rng() % 50 == 0 ? UINT32_MAX - rng() % 5 : draw_id(rng) % 6'000'000;
            if (rng() % 3 != 0) ASSERT_EQ(set.insert(id), model.insert(id).second) << "seed " << seed;
            else ASSERT_EQ(set.erase(id), model.erase(id)) << "seed " << seed;
            ASSERT_EQ(set.size(), model.size());
            ASSERT_EQ(set.empty(), model.empty());
            ASSERT_EQ(set.count(id), model.count(id));
        }
        EXPECT_EQ(walk(set), walk(model)) << "seed " << seed;
        // Emptied pages are zero again: ids drawn afresh find nothing stale.
        for (uint32_t id : std::set<uint32_t>(model)) set.erase(id);
        EXPECT_TRUE(set.empty());
        for (int k = 0; k < 500; ++k) EXPECT_FALSE(set.contains(draw_id(rng) % 6'000'000));
        set.insert(3);
        DenseIdSet copy = set;
        DenseIdSet moved = std::move(set);
        EXPECT_EQ(walk(copy), "3 ");
        EXPECT_EQ(walk(moved), "3 ");
        EXPECT_TRUE(set.empty());  // NOLINT: a moved-from set is empty
    }
}

TEST(DenseIdMap, AgreesWithAnOrderedMapOverRandomRunsAndGaps) {
    // Ids arrive in runs (as new facts and tuples do) and far apart; values
    // are set, read and erased at random; every check compares with std::map,
    // whose order for_each must give.
    std::mt19937 rng(11);
    DenseIdMap<uint64_t> m;
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
            ASSERT_EQ(m.erase(id), want.erase(id) == 1);
        } else {
            uint64_t v = rng();
            m[id] = v;
            want[id] = v;
        }
        ASSERT_EQ(m.size(), want.size());
        const uint64_t* got = m.find(id);
        ASSERT_EQ(got != nullptr, want.count(id) == 1);
        if (got) {
            ASSERT_EQ(*got, want[id]);
        }
    }
    std::vector<std::pair<uint32_t, uint64_t>> seen;
    m.for_each([&](uint32_t id, uint64_t v) { seen.emplace_back(id, v); });
    using Pairs = std::vector<std::pair<uint32_t, uint64_t>>;
    EXPECT_EQ(seen, Pairs(want.begin(), want.end()));
    DenseIdMap<uint64_t> copy = m;
    for (const auto& [id, v] : want) ASSERT_EQ(*copy.find(id), v);
    // Emptied pages come back for new ids; erased ids read as absent.
    for (const auto& [id, v] : want) m.erase(id);
    EXPECT_TRUE(m.empty());
    EXPECT_EQ(m.find(want.begin()->first), nullptr);
    m[5] = 1;
    EXPECT_EQ(m[5], 1u);
    EXPECT_EQ(m[6], 0u);
    EXPECT_EQ(m.size(), 2u);
    EXPECT_EQ(copy.size(), want.size());
}

TEST(DenseIdMap, AnIdArrivingOnAKeptOrHandedOutPageStartsFromZeroAndIsListed) {
    // Plain values are left raw in a page until their id arrives; the page
    // last written stays at hand, also after it has been emptied.
    DenseIdMap<uint32_t> m;
    for (uint32_t id = 0; id < 128; ++id) m[id] = id + 100;
    EXPECT_TRUE(m.erase(5));
    auto [v5, fresh5] = m.try_emplace(5);
    EXPECT_TRUE(fresh5);
    EXPECT_EQ(v5, 0u);
    EXPECT_EQ(m[127], 227u);                              // its page is at hand again
    for (uint32_t id = 64; id < 128; ++id) m.erase(id);  // and empties, handed back
    EXPECT_EQ(m.find(70), nullptr);
    auto [v70, fresh70] = m.try_emplace(70);
    EXPECT_TRUE(fresh70);
    EXPECT_EQ(v70, 0u);
    v70 = 1;
    m.erase(70);
    auto [v1000, fresh1000] = m.try_emplace(1000);  // takes the emptied page again
    EXPECT_TRUE(fresh1000);
    EXPECT_EQ(v1000, 0u);
    v1000 = 2;
    std::vector<uint32_t> ids;
    m.for_each([&](uint32_t id, uint32_t) { ids.push_back(id); });
    ASSERT_EQ(ids.size(), 65u);
    EXPECT_EQ(ids[63], 63u);
    EXPECT_EQ(ids[64], 1000u);
    EXPECT_EQ(m.find(70), nullptr);
    EXPECT_EQ(*m.find(1000), 2u);
    EXPECT_EQ(*m.find(6), 106u);
}

// try_emplace_each of `ids`, each value set to `step`, checked call by call
// against the ordered map doing the same.
static void emplace_each_as_model(DenseIdMap<uint32_t>& map, std::map<uint32_t, uint32_t>& model,
                                  const std::vector<uint32_t>& ids, uint32_t step) {
    size_t calls = 0;
    map.try_emplace_each(ids.data(), ids.size(), [&](size_t k, uint32_t& v, bool fresh) {
        ASSERT_EQ(k, calls++);
        ASSERT_EQ(fresh, !model.count(ids[k])) << step;
        ASSERT_EQ(v, model[ids[k]]) << step;
        v = model[ids[k]] = step;
    });
    ASSERT_EQ(calls, ids.size());
    ASSERT_EQ(map.size(), model.size()) << step;
}

// Runs of ids made at once against std::map: a run starts on the page at
// hand or another, repeats ids, and meets pages emptied and handed out again,
// where a plain value (left raw until its id arrives) must start from zero.
TEST(DenseIdMap, RunsOfIdsAgreeWithAnOrderedMap) {
    std::mt19937 rng(5);
    DenseIdMap<uint32_t> map;
    std::map<uint32_t, uint32_t> model;
    for (uint32_t step = 1; step <= 20000; ++step) {
        std::vector<uint32_t> ids(rng() % 20);
        uint32_t at = draw_id(rng);
        for (uint32_t& id : ids) id = rng() % 4 == 0 ? draw_id(rng) : at++ - (rng() % 3 == 0 ? 2 : 0);
        ASSERT_NO_FATAL_FAILURE(emplace_each_as_model(map, model, ids, step));
        const uint32_t gone = draw_id(rng);
        ASSERT_EQ(map.erase(gone), model.erase(gone) == 1);
    }
    std::vector<std::pair<uint32_t, uint32_t>> seen;
    map.for_each([&](uint32_t id, uint32_t v) { seen.emplace_back(id, v); });
    EXPECT_EQ(seen, (std::vector<std::pair<uint32_t, uint32_t>>(model.begin(), model.end())));
}

// Runs of ids one apart, counting up and down, up to a page long, as walks
// of ids made in sequence bring them: within a page, across its edge, past
// either end of the ids, over ids present, or broken by one id out of step.
TEST(DenseIdMap, RunsCountingUpAndDownAgreeWithAnOrderedMap) {
    std::mt19937 rng(3);
    DenseIdMap<uint32_t> map;  // a plain value, left raw until its id arrives
    std::map<uint32_t, uint32_t> model;
    for (uint32_t step = 1; step <= 12000; ++step) {
        // Ids two apart are no run.
        const uint32_t by = rng() % 8 == 0 ? 2u : rng() % 2 == 0 ? 1u : UINT32_MAX;
        const uint32_t from = rng() % 8 == 0 ? static_cast<uint32_t>(rng() % 40) - 20u : draw_id(rng);
        std::vector<uint32_t> ids(2 + rng() % 63);
        for (size_t k = 0; k < ids.size(); ++k) ids[k] = from + by * static_cast<uint32_t>(k);
        if (ids.size() > 2 && rng() % 4 == 0) ids[2 + rng() % (ids.size() - 2)] += 2;
        ASSERT_NO_FATAL_FAILURE(emplace_each_as_model(map, model, ids, step));
        for (int gone = 0; gone < 20; ++gone) {
            const uint32_t id = rng() % 2 == 0 ? ids[rng() % ids.size()] : draw_id(rng);
            ASSERT_EQ(map.erase(id), model.erase(id) == 1);
        }
    }
    std::vector<std::pair<uint32_t, uint32_t>> seen;
    map.for_each([&](uint32_t id, uint32_t v) { seen.emplace_back(id, v); });
    EXPECT_EQ(seen, (std::vector<std::pair<uint32_t, uint32_t>>(model.begin(), model.end())));
}

// A walk reads the index words of the pages that hold ids, never the range
// of ids ever seen: ids that keep rising while few stay (a rule's tuples
// between firings) would otherwise make each walk cost the highest id.
TEST(DenseIdMap, AWalkReadsWhatIsHeldNotTheIdsThatLeft) {
    DenseIdMap<uint32_t> map;
    DenseIdSet set;
    // Ten million ids pass through, three at a time, and three stay far apart.
    for (uint32_t id = 0; id < 10'000'000; ++id) {
        map[id] = id;
        set.insert(id);
        if (id >= 3 && id != 4'000'000 && id != 7'777'777) {
            map.erase(id - 3);
            set.erase(id - 3);
        }
    }
    const std::vector<uint32_t> held = {3'999'997, 7'777'774, 9'999'997, 9'999'998, 9'999'999};
    std::vector<uint32_t> seen, seen_set;
    const size_t map_words = map.for_each([&](uint32_t id, uint32_t v) {
        EXPECT_EQ(v, id);
        seen.push_back(id);
    });
    const size_t set_words = set.for_each([&](uint32_t id) { seen_set.push_back(id); });
    EXPECT_EQ(seen, held);
    EXPECT_EQ(seen_set, held);
    // A word per level for each of the three pages held, at most: the map's
    // 2^18 pages of 64 ids take three levels, the set's 2^12 pages two.
    EXPECT_LE(map_words, 3u * 3u);
    EXPECT_LE(set_words, 3u * 2u);
    // Emptied, a walk reads the top word alone.
    for (uint32_t id : held) map.erase(id), set.erase(id);
    EXPECT_EQ(map.for_each([](uint32_t, uint32_t) { ADD_FAILURE(); }), 1u);
    // (The set, holding a few ids, keeps them in its sorted vector: nothing to read.)
    EXPECT_LE(set.for_each([](uint32_t) { ADD_FAILURE(); }), 1u);
}

// Marked positions against std::set, over positions near and far apart: the
// walk gives them ascending, and reads one word per level of each word that
// holds a mark.
TEST(MarkedPositions, AgreeWithAnOrderedSetAndWalkOnlyMarkedWords) {
    std::mt19937 rng(17);
    MarkedPositions marks;
    std::set<uint32_t> model;
    for (int step = 0; step < 20000; ++step) {
        const uint32_t pos = rng() % 3 == 0 ? static_cast<uint32_t>(rng() % (1u << 26)) : static_cast<uint32_t>(rng() % 5000);
        if (rng() % 2 == 0) {
            marks.mark(pos);
            model.insert(pos);
        } else {
            marks.unmark(pos);
            model.erase(pos);
        }
        ASSERT_EQ(marks.marked(pos), model.count(pos) == 1) << step;
    }
    std::vector<uint32_t> seen;
    const size_t words = marks.for_each([&](uint32_t p) { seen.push_back(p); });
    EXPECT_EQ(seen, std::vector<uint32_t>(model.begin(), model.end()));
    // 2^26 positions take five levels.
    EXPECT_LE(words, model.size() * 5);
    for (uint32_t p : std::set<uint32_t>(model)) marks.unmark(p);
    EXPECT_EQ(marks.for_each([](uint32_t) { ADD_FAILURE(); }), 1u);
    EXPECT_FALSE(marks.marked(0));
    // The highest page of a map of 32-bit ids.
    marks.mark((1u << 26) - 1);
    seen.clear();
    EXPECT_EQ(marks.for_each([&](uint32_t p) { seen.push_back(p); }), 5u);
    EXPECT_EQ(seen, std::vector<uint32_t>{(1u << 26) - 1});
}

// erase_if against std::map: ids selected by value and id across pages that
// empty (handed back during the walk) and pages that keep some.
TEST(DenseIdMap, EraseIfRemovesWhatItSelectsAndKeepsTheRest) {
    std::mt19937 rng(23);
    DenseIdMap<Val> map;
    std::map<uint32_t, Val> model;
    for (int round = 0; round < 30; ++round) {
        for (int k = 0; k < 500; ++k) {
            const uint32_t id = draw_id(rng);
            map[id].a = static_cast<uint64_t>(rng() % 5);
            model[id].a = map[id].a;
        }
        const uint64_t drop = static_cast<uint64_t>(round % 5);
        auto gone = [&](uint32_t id, const Val& v) { return v.a == drop || (round % 3 == 0 && id < 65'000); };
        size_t want = 0;
        for (auto it = model.begin(); it != model.end();) {
            if (gone(it->first, it->second)) it = model.erase(it), ++want;
            else ++it;
        }
        ASSERT_EQ(map.erase_if(gone), want) << round;
        ASSERT_EQ(map.size(), model.size());
        ASSERT_EQ(walk(map), walk(model)) << round;
        // A page emptied by the walk is handed out again with defaults.
        auto [v, fresh] = map.try_emplace(3);
        ASSERT_EQ(fresh, !model.count(3));
        if (fresh) {
            ASSERT_EQ(v, Val{});
        }
        model[3] = v;
    }
}

std::string walk(const CompactIdMap<Val>& m) {
    std::string s;
    m.for_each([&](uint32_t id, const Val& v) { s += std::to_string(id) + "=" + std::to_string(v.a) + " "; });
    return s;
}

// CompactIdMap against std::map while its size swings between a handful of
// ids and a few hundred, so that the ids move from the sorted vector to pages
// and back many times, and ids arrive in and out of order from clusters far
// apart. After each step the answers, the size and the ascending walk agree,
// and the ids sit in the vector exactly while the boundaries allow it.
TEST(CompactIdMap, AgreesWithAnOrderedMapAsItsIdsMoveBetweenVectorAndPages) {
    constexpr size_t most = CompactIdMap<Val>::kSortedMost;
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        std::mt19937 rng(seed);
        std::set<uint32_t> distinct;
        while (distinct.size() < 400) distinct.insert(draw_id(rng));
        const std::vector<uint32_t> pool(distinct.begin(), distinct.end());
        CompactIdMap<Val> map;
        std::map<uint32_t, Val> model;
        bool growing = true;
        int moves = 0;
        for (int step = 0; step < 6000; ++step) {
            if (model.size() > 2 * most) growing = false;
            if (model.size() < 4) growing = true;
            uint32_t id = pool[rng() % pool.size()];
            const bool was_sorted = map.sorted();
            if (rng() % 40 == 0) {
                const uint64_t drop = rng() % 5;
                auto gone = [&](uint32_t, const Val& v) { return v.a % 5 == drop; };
                size_t want = 0;
                for (auto it = model.begin(); it != model.end();) {
                    if (gone(it->first, it->second)) it = model.erase(it), ++want;
                    else ++it;
                }
                ASSERT_EQ(map.erase_if(gone), want) << "seed " << seed << " step " << step;
            } else if ((rng() % 5 != 0) == growing) {
                auto [v, fresh] = map.try_emplace(id);
                ASSERT_EQ(fresh, !model.count(id)) << "seed " << seed << " step " << step;
                if (fresh) {
                    ASSERT_EQ(v, Val{}) << "seed " << seed << " step " << step;
                }
                v.a = static_cast<uint64_t>(step);
                model[id].a = static_cast<uint64_t>(step);
            } else {
                // Mostly an id present, so that the map empties as fast as it filled.
                if (!model.empty() && rng() % 4 != 0) id = std::next(model.begin(), rng() % model.size())->first;
                ASSERT_EQ(map.erase(id), model.erase(id) == 1) << "seed " << seed << " step " << step;
            }
            moves += map.sorted() != was_sorted;
            ASSERT_EQ(map.size(), model.size());
            if (map.sorted()) {
                ASSERT_LE(map.size(), most);
            } else {
                ASSERT_GT(map.size(), most / 4);
            }
            const Val* found = map.find(id);
            ASSERT_EQ(found != nullptr, model.count(id) == 1);
            if (found) {
                ASSERT_EQ(found->a, model[id].a);
            }
            ASSERT_EQ(walk(map), walk(model)) << "seed " << seed << " step " << step;
        }
        EXPECT_GE(moves, 4) << "seed " << seed;  // two round trips at least
        CompactIdMap<Val> copy = map;
        EXPECT_EQ(walk(copy), walk(model));
        CompactIdMap<Val> moved = std::move(map);
        EXPECT_EQ(walk(moved), walk(model));
        moved.clear();
        EXPECT_EQ(walk(moved), "");
        EXPECT_EQ(moved.bytes_held(), 0u);
    }
}

// DenseIdSet against std::set while its size swings between a handful of ids
// and a few hundred, moving them from the sorted vector to pages and back;
// a set holding a few ids far apart costs the same as one holding them side
// by side.
TEST(DenseIdSet, AgreesWithAnOrderedSetAsItsIdsMoveBetweenVectorAndPages) {
    constexpr size_t most = DenseIdSet::kSortedMost;
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        std::mt19937 rng(seed);
        std::set<uint32_t> distinct;
        while (distinct.size() < 400) distinct.insert(draw_id(rng));
        const std::vector<uint32_t> pool(distinct.begin(), distinct.end());
        DenseIdSet set;
        std::set<uint32_t> model;
        bool growing = true;
        int moves = 0;
        for (int step = 0; step < 6000; ++step) {
            if (model.size() > 2 * most) growing = false;
            if (model.size() < 4) growing = true;
            uint32_t id = pool[rng() % pool.size()];
            const bool was_sorted = set.sorted();
            if ((rng() % 5 != 0) == growing) {
                ASSERT_EQ(set.insert(id), model.insert(id).second) << "seed " << seed << " step " << step;
            } else {
                if (!model.empty() && rng() % 4 != 0) id = *std::next(model.begin(), rng() % model.size());
                ASSERT_EQ(set.erase(id), model.erase(id)) << "seed " << seed << " step " << step;
            }
            moves += set.sorted() != was_sorted;
            ASSERT_EQ(set.size(), model.size());
            if (set.sorted()) {
                ASSERT_LE(set.size(), most);
            } else {
                ASSERT_GT(set.size(), most / 4);
            }
            ASSERT_EQ(set.contains(id), model.count(id) == 1);
            ASSERT_EQ(walk(set), walk(model)) << "seed " << seed << " step " << step;
        }
        EXPECT_GE(moves, 4) << "seed " << seed;  // two round trips at least
        DenseIdSet copy = set;
        EXPECT_EQ(walk(copy), walk(model));
        DenseIdSet moved = std::move(set);
        EXPECT_EQ(walk(moved), walk(model));
        EXPECT_EQ(walk(set), "");  // NOLINT: a moved-from set is empty
    }
    // Paged, a walk still reads the pages held, not the ids that left: a
    // window of 100 rising ids through ten million, and three far apart.
    DenseIdSet rolling;
    for (uint32_t id = 0; id < 10'000'000; ++id) {
        rolling.insert(id);
        if (id >= 100 && id != 4'000'000 && id != 7'777'777) rolling.erase(id - 100);
    }
    ASSERT_FALSE(rolling.sorted());
    size_t walked = 0;
    EXPECT_LE(rolling.for_each([&](uint32_t) { ++walked; }), 5u * 2u);  // two levels over 2^12 pages
    EXPECT_EQ(walked, 102u);

    DenseIdSet apart, together;
    for (uint32_t k = 0; k < 20; ++k) apart.insert(k * 200'003), together.insert(k);
    EXPECT_EQ(apart.bytes_held(), together.bytes_held());
    EXPECT_LE(apart.bytes_held(), 32u * 4);
}
