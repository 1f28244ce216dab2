#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "common/hash.h"

using namespace quarn;

// Random inserts, overwrites and erases against an ordered model: keys drawn
// from a small range so that probe runs collide, wrap and get shifted back.
TEST(HashMap, AgreesWithAnOrderedModelThroughChurn) {
    std::mt19937 rng(11);
    HashMap<uint32_t, int> m;
    std::map<uint32_t, int> model;
    for (int step = 0; step < 20000; ++step) {
        uint32_t k = rng() % 97;
        switch (rng() % 4) {
            case 0: m[k] = step; model[k] = step; break;
            case 1: ASSERT_EQ(m.try_emplace(k, step).second, model.try_emplace(k, step).second); break;
            case 2: ASSERT_EQ(m.erase(k), model.erase(k)); break;
            default: {
                auto it = m.find(k);
                ASSERT_EQ(it != m.end(), model.contains(k));
                if (it != m.end()) {
                    ASSERT_EQ(it->second, model.at(k));
                    m.erase(it);
                    model.erase(k);
                }
            }
        }
        ASSERT_EQ(m.size(), model.size());
    }
    std::map<uint32_t, int> listed;
    for (const auto& [k, v] : m) ASSERT_TRUE(listed.emplace(k, v).second);
    EXPECT_EQ(listed, model);
    HashMap<uint32_t, int> copy = m;
    HashMap<uint32_t, int> moved = std::move(m);
    EXPECT_TRUE(m.empty());
    for (const auto& [k, v] : model) EXPECT_EQ(copy.at(k) + moved.at(k), 2 * v);
    EXPECT_THROW(copy.at(1000), std::out_of_range);
}

namespace {

// Few homes for many keys, keys of one home sharing their tag, and one home
// at the table's last slot: long runs that cross groups and wrap around.
struct Crowded {
    size_t operator()(uint32_t k) const {
        const uint64_t home = k % 29;
        return home == 0 ? ~size_t{0} : static_cast<size_t>(home * 0x9e3779b97f4a7c15ULL);
    }
};
struct CrowdedByGroups : Crowded {
    static constexpr bool kGroupProbe = true;
};

}  // namespace

// A table probing sixteen slots at a time finds, places and shifts back
// every key where the one-slot probe does: the two agree with a model and
// list their keys in the same order (the same slots) after every step.
TEST(HashMap, ProbingByGroupsTakesTheSlotsProbingOneByOneTakes) {
    std::mt19937 rng(5);
    detail::OpenTable<uint32_t, int, Crowded> one;
    detail::OpenTable<uint32_t, int, CrowdedByGroups> groups;
    std::map<uint32_t, int> model;
    auto listed = [](const auto& table) {
        std::vector<std::pair<uint32_t, int>> out;
        for (const auto& [k, v] : table) out.emplace_back(k, v);
        return out;
    };
    size_t largest = 0;
    for (int step = 0; step < 30000; ++step) {
        // Tables fill up and empty out again, through every size.
        const uint32_t k = rng() % (step % 6000 < 4000 ? 400 : 40);
        switch (rng() % 3) {
            case 0: {
                const bool fresh = model.try_emplace(k, step).second;
                ASSERT_EQ(one.try_emplace(k, step).second, fresh);
                ASSERT_EQ(groups.try_emplace(k, step).second, fresh);
                break;
            }
            case 1: {
                const size_t gone = model.erase(k);
                ASSERT_EQ(one.erase(k), gone);
                ASSERT_EQ(groups.erase(k), gone);
                break;
            }
            default: {
                const auto it = groups.find(k);
                ASSERT_EQ(it != groups.end(), model.contains(k));
                if (it != groups.end()) {
                    ASSERT_EQ(it->second, model.at(k));
                }
                ASSERT_FALSE(groups.contains(k + 400));
            }
        }
        ASSERT_EQ(groups.size(), model.size());
        ASSERT_EQ(listed(groups), listed(one)) << "step " << step;
        largest = std::max(largest, model.size());
    }
    EXPECT_GT(largest, 150u);
}

TEST(HashMap, StringKeysAreFoundThroughViewsAndSetsListEachKeyOnce) {
    HashMap<std::string, int> m;
    m["alpha"] = 1;
    m.try_emplace("beta", 2);
    EXPECT_EQ(m.find(std::string_view("alpha"))->second, 1);
    EXPECT_TRUE(m.contains(std::string_view("beta")));
    EXPECT_FALSE(m.contains(std::string_view("gamma")));
    HashSet<std::string> s;
    EXPECT_TRUE(s.insert("x").second);
    EXPECT_FALSE(s.insert("x").second);
    EXPECT_EQ(s.size(), 1u);
    EXPECT_EQ(*s.begin(), "x");
}

TEST(HashKey, ASeedTextNamesAKeyOnlyWhenItIsOneWholeNumber) {
    const std::pair<const char*, std::optional<uint64_t>> cases[] = {
        {"0", 0},
        {"12345", 12345},
        {"18446744073709551615", UINT64_MAX},
        {"0x10", 16},
        {"0XfF", 255},
        {"18446744073709551616", std::nullopt},
        {"", std::nullopt},
        {"0x", std::nullopt},
        {"-1", std::nullopt},
        {"+1", std::nullopt},
        {" 1", std::nullopt},
        {"1 ", std::nullopt},
        {"12x", std::nullopt},
        {"seed", std::nullopt},
    };
    for (const auto& [text, key] : cases) EXPECT_EQ(hash_key_from_seed(text), key) << '"' << text << '"';
}

// Under the stress switch (the sanitizer build) an insert of a new key moves
// every element, so a reference kept across it dangles at once; an insert of
// a key already there, a lookup and an overwrite move nothing. In other builds
// elements move only when the table grows.
TEST(HashMap, StressSwitchMovesEveryElementOnEachNewKey) {
    HashMap<uint32_t, std::string> m;
    m.reserve(64);
    for (uint32_t k = 0; k < 8; ++k) m[k] = std::to_string(k);
    const std::string* before = &m.at(3);
    m[3] = "three";
    EXPECT_FALSE(m.try_emplace(5, "x").second);
    EXPECT_EQ(&m.at(3), before);
    m[100] = "new";
    EXPECT_EQ(&m.at(3) != before, kHashStress);
    for (uint32_t k = 0; k < 8; ++k) EXPECT_EQ(m.at(k), k == 3 ? "three" : std::to_string(k));
    EXPECT_EQ(m.at(100), "new");
    HashSet<uint32_t> s;
    s.reserve(64);
    s.insert(1);
    const uint32_t* one = &*s.find(1);
    s.insert(1);
    EXPECT_EQ(&*s.find(1), one);
    s.insert(2);
    EXPECT_EQ(&*s.find(1) != one, kHashStress);
}

// Growing ahead happens only where the next new key would grow the table,
// and by at most four times: the table then takes new keys without moving
// its elements up to three quarters of four times its old size, and not one
// more. (Under the stress switch every new key moves them all anyway.)
TEST(HashMap, GrowingAheadWaitsForAFullTableAndAtMostQuadruplesIt) {
    if (kHashStress) GTEST_SKIP() << "elements move at every new key";
    HashMap<uint32_t, std::string> m;
    for (uint32_t k = 0; k < 5; ++k) m[k] = std::to_string(k);  // 8 slots, room for 6
    const std::string* first = &m.at(0);
    m.grow_ahead(1000);
    EXPECT_EQ(&m.at(0), first);  // a sixth key still fits
    m[5] = "5";
    first = &m.at(0);
    m.grow_ahead(1000);
    EXPECT_NE(&m.at(0), first);
    first = &m.at(0);
    for (uint32_t k = 6; k < 24; ++k) m[k] = std::to_string(k);  // 32 slots hold 24
    EXPECT_EQ(&m.at(0), first);
    m[24] = "24";
    EXPECT_NE(&m.at(0), first);
    for (uint32_t k = 0; k < 25; ++k) EXPECT_EQ(m.at(k), std::to_string(k));
    // Fewer keys to come than doubling makes room for: the table doubles.
    HashMap<uint32_t, int> d;
    for (uint32_t k = 0; k < 6; ++k) d[k] = 1;
    d.grow_ahead(3);
    const int* one = &d.at(0);
    for (uint32_t k = 6; k < 12; ++k) d[k] = 1;  // 16 slots hold 12
    EXPECT_EQ(&d.at(0), one);
    d[12] = 1;
    EXPECT_NE(&d.at(0), one);
}

// An eightfold bound: from 8 slots straight to 64, which hold 48 keys without
// moving them, and the 49th moves them; fewer keys to come still only double.
TEST(HashMap, GrowingAheadTakesTheBoundItIsGiven) {
    if (kHashStress) GTEST_SKIP() << "elements move at every new key";
    HashMap<uint32_t, uint32_t> m;
    for (uint32_t k = 0; k < 6; ++k) m[k] = k;  // 8 slots, full
    m.grow_ahead(1000, 8);
    const uint32_t* first = &m.at(0);
    for (uint32_t k = 6; k < 48; ++k) m[k] = k;
    EXPECT_EQ(&m.at(0), first);
    m[48] = 48;
    EXPECT_NE(&m.at(0), first);
    for (uint32_t k = 0; k < 49; ++k) ASSERT_EQ(m.at(k), k);
    HashMap<uint32_t, uint32_t> d;
    for (uint32_t k = 0; k < 6; ++k) d[k] = k;
    d.grow_ahead(3, 8);
    first = &d.at(0);
    for (uint32_t k = 6; k < 12; ++k) d[k] = k;  // 16 slots hold 12
    EXPECT_EQ(&d.at(0), first);
    d[12] = 12;
    EXPECT_NE(&d.at(0), first);
}
