#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "common/inline_vector.h"

using namespace quarn;

namespace {

struct Pair {
    uint32_t a = 0;
    uint64_t b = 0;
    bool operator==(const Pair&) const = default;
};

std::vector<Pair> contents(const InlineVector<Pair>& v) { return std::vector<Pair>(v.begin(), v.end()); }

}  // namespace

TEST(InlineVector, OneElementStaysInsideAndMovesCarryItWhereverItLives) {
    InlineVector<Pair> one;
    one.push_back({1, 10});
    const Pair* inside = one.data();
    EXPECT_GE(reinterpret_cast<uintptr_t>(inside), reinterpret_cast<uintptr_t>(&one));
    EXPECT_LT(reinterpret_cast<uintptr_t>(inside), reinterpret_cast<uintptr_t>(&one + 1));

    // A moved inline element is copied into the new vector's own storage,
    // not left pointing into the old one.
    InlineVector<Pair> moved = std::move(one);
    EXPECT_TRUE(one.empty());
    EXPECT_EQ(contents(moved), (std::vector<Pair>{{1, 10}}));
    EXPECT_NE(moved.data(), inside);
    one.push_back({2, 20});  // the moved-from vector is usable again
    EXPECT_EQ(contents(moved), (std::vector<Pair>{{1, 10}}));

    // Growing moves to the heap; moving then hands the block over whole.
    InlineVector<Pair> many;
    for (uint32_t k = 0; k < 9; ++k) many.push_back({k, k * 3u});
    const Pair* block = many.data();
    InlineVector<Pair> taken = std::move(many);
    EXPECT_EQ(taken.data(), block);
    EXPECT_EQ(taken.size(), 9u);
    EXPECT_TRUE(many.empty());

    // Assigning over a heap vector, inline into heap and heap into inline.
    taken = std::move(moved);
    EXPECT_EQ(contents(taken), (std::vector<Pair>{{1, 10}}));
    for (uint32_t k = 0; k < 5; ++k) many.push_back({k, k});
    one = std::move(many);
    EXPECT_EQ(one.size(), 5u);
    EXPECT_EQ(one.back(), (Pair{4, 4}));
    one = one;  // self-assignment keeps everything
    EXPECT_EQ(one.size(), 5u);
    InlineVector<Pair> copy = one;
    copy[0].a = 99;
    EXPECT_EQ(one[0].a, 0u);
}

TEST(InlineVector, AgreesWithAStdVectorThroughGrowthMovesCopiesAndClears) {
    std::mt19937 rng(11);
    for (int round = 0; round < 200; ++round) {
        InlineVector<Pair> v;
        std::vector<Pair> model;
        for (int step = 0; step < 40; ++step) {
            switch (rng() % 8) {
                case 0:
                case 1:
                case 2: {
                    Pair p{static_cast<uint32_t>(rng()), rng()};
                    v.push_back(p);
                    model.push_back(p);
                    break;
                }
                case 3:
                    v.emplace_back().a = 7;
                    model.push_back(Pair{7, 0});
                    break;
                case 4:
                    if (!model.empty()) {
                        v.pop_back();
                        model.pop_back();
                    }
                    break;
                case 5: {
                    InlineVector<Pair> other = std::move(v);
                    v = std::move(other);
                    break;
                }
                case 6: {
                    InlineVector<Pair> other = v;
                    v.clear();
                    v = other;
                    break;
                }
                default:
                    if (rng() % 4 == 0) {
                        v.clear();
                        model.clear();
                    } else {
                        size_t n = model.size() + rng() % 3;
                        v.resize(n, Pair{5, 5});
                        model.resize(n, Pair{5, 5});
                    }
            }
            ASSERT_EQ(contents(v), model) << "round " << round << " step " << step;
            ASSERT_GE(v.capacity(), v.size());
        }
    }
}
