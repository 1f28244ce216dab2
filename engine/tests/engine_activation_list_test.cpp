// ActivationList against a plain vector that is scanned for every answer:
// random pushes, removals by tuple and by predicate, forgotten tuples (with
// their sequence numbers) and takes, through many
// compactions; and the same where pushes mostly come in firing order and the
// newest is taken, so that slots leave from the end and their indices are
// handed out again while stale references to them wait in the heap.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <vector>

#include "engine/activation_list.h"

using namespace quarn;

namespace {

// The default order read off a scan: highest salience, larger seq, later push.
size_t best_of(const std::vector<Act>& acts) {
    size_t best = 0;
    for (size_t k = 1; k < acts.size(); ++k) {
        const Act& a = acts[k];
        const Act& b = acts[best];
        if (a.salience > b.salience || (a.salience == b.salience && a.seq >= b.seq)) best = k;
    }
    return best;
}

std::string text(const std::vector<Act>& acts) {
    std::string s;
    for (const Act& a : acts)
        s += std::to_string(static_cast<uint32_t>(a.tuple)) + "/" + std::to_string(a.seq) + "/" +
             std::to_string(a.salience) + " ";
    return s;
}

}  // namespace

TEST(ActivationList, AgreesWithAScannedVectorThroughRemovalsAndCompactions) {
    for (uint32_t seed = 1; seed <= 40; ++seed) {
        std::mt19937 rng(seed);
        // Even seeds: one salience, sequence numbers mostly rising.
        const bool in_order = seed % 2 == 0;
        auto salience = [&] { return in_order ? (rng() % 16 == 0 ? 1 : 0) : static_cast<int32_t>(rng() % 4) - 1; };
        ActivationList list;
        std::vector<Act> model;             // push order
        std::map<uint32_t, uint64_t> seqs;  // the tuples' own sequence numbers
        uint64_t seq = 0;
        for (int step = 0; step < 3000; ++step) {
            const unsigned op = rng() % 12;
            const TupleId t{static_cast<uint32_t>(rng() % 40)};
            if (op < 3) {
                // Equal saliences and repeated sequence numbers test the ties.
                Act a{t, rng() % (in_order ? 8 : 3) == 0 ? seq : ++seq, salience()};
                list.push(a);
                model.push_back(a);
                seqs.emplace(static_cast<uint32_t>(t), a.seq);
            } else if (op < 5) {
                // A tuple's later activations keep its first sequence number.
                const int32_t s = salience();
                list.push_tuple(t, s, seq);
                auto [known, fresh] = seqs.emplace(static_cast<uint32_t>(t), seq);
                model.push_back(Act{t, known->second, s});
            } else if (op < 8) {
                const size_t before = model.size();
                std::erase_if(model, [&](const Act& a) { return a.tuple == t; });
                const bool forget = op == 7;
                ASSERT_EQ(forget ? list.forget(t) : list.remove_tuple(t), before - model.size());
                if (forget) seqs.erase(static_cast<uint32_t>(t));
            } else if (op < 9) {
                const int32_t s = salience();
                const size_t before = model.size();
                std::erase_if(model, [&](const Act& a) { return a.salience == s; });
                ASSERT_EQ(list.remove_if([&](const Act& a) { return a.salience == s; }), before - model.size());
            } else if (!model.empty()) {
                const bool first = op == 11;
                const size_t k = first ? 0 : best_of(model);
                const Act got = list.take_slot(first ? list.first_slot() : list.best_slot());
                ASSERT_EQ(text({got}), text({model[k]})) << "seed " << seed << " step " << step;
                model.erase(model.begin() + static_cast<std::ptrdiff_t>(k));
            }
            ASSERT_EQ(list.known_tuples(), seqs.size());
            ASSERT_EQ(list.size(), model.size());
            ASSERT_EQ(list.contains(t), std::any_of(model.begin(), model.end(), [&](const Act& a) { return a.tuple == t; }));
            ASSERT_EQ(list.top_salience(), model.empty() ? 0 : model[best_of(model)].salience);
        }
        EXPECT_EQ(text(list.items()), text(model)) << "seed " << seed;
    }
}

// Ids that share their low bits, forgotten in between: the tuple index still
// finds, forgets and keeps each one, with its own sequence number.
TEST(ActivationList, TuplesSharingTheirLowBitsStayFindable) {
    ActivationList list;
    uint64_t seq = 0;
    auto id = [](uint32_t k) { return TupleId{k * 4096 + 7}; };
    for (uint32_t k = 0; k < 300; ++k) list.push_tuple(id(k), 0, seq);
    for (uint32_t k = 0; k < 300; k += 3) ASSERT_EQ(list.forget(id(k)), 1u) << k;
    for (uint32_t k = 0; k < 300; ++k) ASSERT_EQ(list.contains(id(k)), k % 3 != 0) << k;
    EXPECT_EQ(list.known_tuples(), 200u);
    // A known tuple keeps its number; a forgotten one gets a fresh one.
    list.push_tuple(id(1), 0, seq);
    list.push_tuple(id(0), 0, seq);
    const std::vector<Act> acts = list.items();
    ASSERT_EQ(acts.size(), 202u);
    EXPECT_EQ(text({acts[200], acts[201]}), text({{id(1), 2, 0}, {id(0), 301, 0}}));
}

// Sequence numbers past 32 bits: a tuple activated again keeps its whole
// number, and the order by number holds across the 32-bit boundary.
TEST(ActivationList, SequenceNumbersPast32BitsKeepTheirHighHalf) {
    ActivationList list;
    uint64_t seq = (uint64_t{1} << 32) - 2;
    for (uint32_t k = 0; k < 4; ++k) list.push_tuple(TupleId{k}, 0, seq);
    // Taken newest first: numbers 2^32 + 2 down to 2^32 - 1.
    for (uint64_t want = (uint64_t{1} << 32) + 2; want + 2 > (uint64_t{1} << 32); --want)
        ASSERT_EQ(list.take_slot(list.best_slot()).seq, want);
    list.push_tuple(TupleId{3}, 0, seq);
    list.push_tuple(TupleId{0}, 0, seq);
    list.push_tuple(TupleId{9}, 0, seq);
    EXPECT_EQ(text(list.items()), "3/4294967298/0 0/4294967295/0 9/4294967299/0 ");
    EXPECT_EQ(list.take_slot(list.best_slot()).tuple, TupleId{9});
    EXPECT_EQ(list.take_slot(list.best_slot()).tuple, TupleId{3});
    EXPECT_EQ(list.take_slot(list.best_slot()).tuple, TupleId{0});
}

// A tuple's activations are linked aside only while it has more than one:
// taking them from the middle, the newest or the oldest end of a tuple's
// chain, or all at once, leaves the others in order and the links of a tuple
// down to one activation gone.
TEST(ActivationList, ATuplesActivationsAreLinkedAsideOnlyWhileItHasSeveral) {
    ActivationList list;
    uint64_t seq = 0;
    const TupleId a{1}, b{2}, c{3};
    for (int32_t salience : {1, 5, 2, 3}) list.push_tuple(a, salience, seq);
    list.push_tuple(b, 4, seq);
    list.push_tuple(c, 0, seq);
    list.push_tuple(c, 6, seq);
    EXPECT_EQ(list.chained(), 6u);
    // c's newest: its older one is left alone.
    EXPECT_EQ(text({list.take_slot(list.best_slot())}), "3/3/6 ");
    EXPECT_EQ(list.chained(), 4u);
    // a's second of four, b's, a's newest, then a's oldest.
    EXPECT_EQ(text({list.take_slot(list.best_slot())}), "1/1/5 ");
    EXPECT_EQ(list.chained(), 3u);
    EXPECT_EQ(text({list.take_slot(list.best_slot())}), "2/2/4 ");
    EXPECT_EQ(text({list.take_slot(list.best_slot())}), "1/1/3 ");
    EXPECT_EQ(list.chained(), 2u);
    EXPECT_EQ(text({list.take_slot(list.first_slot())}), "1/1/1 ");
    EXPECT_EQ(list.chained(), 0u);
    EXPECT_EQ(list.remove_tuple(c), 1u);
    EXPECT_EQ(text(list.items()), "1/1/2 ");
    list.push_tuple(a, 7, seq);
    EXPECT_EQ(list.chained(), 2u);
    EXPECT_EQ(list.forget(a), 2u);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(list.chained(), 0u);
}

// A slot that left the end is handed to the next push while the heap still
// holds a reference to its old occupant, (salience 1, #9): the reference
// names the new occupant only when it has that salience and that number.
TEST(ActivationList, AReferenceToASlotHandedOutAgainNamesTheNewOccupantOnlyUnderItsKey) {
    auto taken_after = [](auto push_more) {
        ActivationList list;
        uint64_t seq = 0;
        list.push_tuple(TupleId{1}, 0, seq);  // slot 0, #1, on the stack
        list.push_tuple(TupleId{2}, 5, seq);  // slot 1, #2, on the stack
        list.push(Act{TupleId{3}, 9, 1});     // slot 2, on the heap
        EXPECT_EQ(list.remove_tuple(TupleId{3}), 1u);
        push_more(list, seq);  // slot 2 first
        std::string order;
        while (!list.empty()) order += text({list.take_slot(list.best_slot())});
        return order;
    };
    // The same salience, another number.
    EXPECT_EQ(taken_after([](ActivationList& l, uint64_t&) {
                  l.push(Act{TupleId{4}, 2, 1});
                  l.push(Act{TupleId{5}, 3, 1});
              }),
              "2/2/5 5/3/1 4/2/1 1/1/0 ");
    // The same number, another salience.
    EXPECT_EQ(taken_after([](ActivationList& l, uint64_t& seq) {
                  l.push(Act{TupleId{4}, 9, 0});
                  l.push(Act{TupleId{6}, 5, 1});
                  l.push_tuple(TupleId{5}, 0, seq);
              }),
              "2/2/5 6/5/1 4/9/0 5/3/0 1/1/0 ");
    // The same key: named in its own place, once.
    EXPECT_EQ(taken_after([](ActivationList& l, uint64_t&) {
                  l.push(Act{TupleId{4}, 9, 1});
                  l.push(Act{TupleId{5}, 9, 1});
              }),
              "2/2/5 5/9/1 4/9/1 1/1/0 ");
}

// Pushes in firing order cost their slot and no record of their own on the
// order stack: a fire that queues a million activations holds a slot each.
// A slot is 16 bytes; a stack record per push would add 16 or more.
TEST(ActivationList, PushesInFiringOrderHoldNoStackRecordEach) {
    ActivationList list;
    uint64_t seq = 0;
    constexpr uint32_t n = 1 << 16;
    for (uint32_t k = 0; k < n; ++k) list.push_tuple(TupleId{k}, 0, seq);
    EXPECT_LE(list.reserved_bytes(), size_t{n} * 16 + 4096);
    // Taken newest first, they still come out in that order.
    for (uint32_t k = n; k-- > n - 100;) ASSERT_EQ(list.take_slot(list.best_slot()).tuple, TupleId{k});
}

// Keyed pushes (shadow order) against a scan: after random pushes with and
// without a key, removals by tuple and by predicate, takes from the front and
// of the best, and the compactions they cause, each key's earliest live
// activation in push order is the one the list names.
TEST(ActivationList, TheOldestActivationOfEachKeyAgreesWithAScan) {
    for (uint32_t seed = 1; seed <= 30; ++seed) {
        std::mt19937 rng(seed);
        ActivationList list;
        struct Keyed {
            Act act;
            FactId key;
        };
        std::vector<Keyed> model;  // push order
        uint64_t seq = 0;
        for (int step = 0; step < 2000; ++step) {
            const unsigned op = rng() % 10;
            const TupleId t{static_cast<uint32_t>(rng() % 30)};
            // A tuple's key is fixed by the tuple, as a fact of the tuple is.
            const FactId key = rng() % 8 == 0 ? ActivationList::kNoKey : static_cast<uint32_t>(t) % 7;
            if (op < 5) {
                list.push_tuple(t, 0, seq, key);
                const uint64_t s = list.items().back().seq;
                model.push_back({Act{t, s, 0}, key});
            } else if (op < 7) {
                const size_t before = model.size();
                std::erase_if(model, [&](const Keyed& k) { return k.act.tuple == t; });
                ASSERT_EQ(list.remove_tuple(t), before - model.size());
            } else if (op < 8) {
                const uint32_t m = rng() % 5;
                std::erase_if(model, [&](const Keyed& k) { return static_cast<uint32_t>(k.act.tuple) % 5 == m; });
                list.remove_if([&](const Act& a) { return static_cast<uint32_t>(a.tuple) % 5 == m; });
            } else if (!model.empty()) {
                // Take one by its key, as the agenda does, or the front.
                const FactId k = static_cast<FactId>(rng() % 7);
                uint32_t slot = list.oldest_with_key(k);
                if (slot == ActivationList::npos) slot = list.first_slot();
                auto it = std::find_if(model.begin(), model.end(), [&](const Keyed& x) { return x.key == k; });
                if (it == model.end()) it = model.begin();
                const Act got = list.take_slot(slot);
                ASSERT_EQ(text({got}), text({it->act})) << "seed " << seed << " step " << step;
                model.erase(it);
            }
            ASSERT_EQ(list.size(), model.size());
            for (FactId k = 0; k < 7; ++k) {
                auto it = std::find_if(model.begin(), model.end(), [&](const Keyed& x) { return x.key == k; });
                const uint32_t slot = list.oldest_with_key(k);
                ASSERT_EQ(slot == ActivationList::npos, it == model.end()) << "seed " << seed << " step " << step;
            }
        }
        EXPECT_EQ(text(list.items()), [&] {
            std::vector<Act> acts;
            for (const Keyed& k : model) acts.push_back(k.act);
            return text(acts);
        }()) << "seed " << seed;
    }
}

// Waves of many pushes, each drained by takes of the best (mostly newest
// first, with some out-of-order pushes on the heap and some keyed ones), with
// new pushes while a wave is half taken: the vectors shrink under the takes
// and grow again, and every take still agrees with a scan. A drained list
// keeps only a little room, whatever it held before.
TEST(ActivationList, DrainingWavesAgreesWithAScanAndGivesTheRoomBack) {
    std::mt19937 rng(7);
    ActivationList list;
    std::vector<Act> model;  // push order
    uint64_t seq = 0;
    size_t most_reserved = 0;
    auto take_best = [&] {
        const size_t k = best_of(model);
        const Act got = list.take_slot(list.best_slot());
        ASSERT_EQ(text({got}), text({model[k]}));
        model.erase(model.begin() + static_cast<ptrdiff_t>(k));
    };
    for (uint32_t wave = 0; wave < 4; ++wave) {
        const uint32_t n = 2500 + 1000 * wave;
        for (uint32_t k = 0; k < n; ++k) {
            const TupleId t{wave * 100000 + k};
            const int32_t salience = rng() % 50 == 0 ? 1 : 0;
            const FactId key = rng() % 10 == 0 ? k % 13 : ActivationList::kNoKey;
            list.push_tuple(t, salience, seq, key);
            model.push_back(Act{t, seq, salience});  // a new tuple takes the next number
        }
        most_reserved = std::max(most_reserved, list.reserved_bytes());
        // Three quarters taken, a few pushes on the way.
        for (uint32_t k = 0; k < 3 * n / 4; ++k) {
            ASSERT_NO_FATAL_FAILURE(take_best()) << wave << " " << k;
            if (k % 97 == 0) {
                const TupleId t{wave * 100000 + 50000 + k};
                list.push_tuple(t, 0, seq);
                model.push_back(Act{t, seq, 0});
            }
        }
        ASSERT_EQ(text(list.items()), text(model)) << wave;
    }
    while (!model.empty()) ASSERT_NO_FATAL_FAILURE(take_best());
    EXPECT_TRUE(list.empty());
    EXPECT_GT(most_reserved, 2500 * sizeof(Act));
    EXPECT_LT(list.reserved_bytes(), 16u * 1024) << most_reserved;
}

// Every rule's tuples are numbered from one counter, so a rule holding a few
// holds ids far apart. Its tuple and key indices cost the same whether those
// ids lie far apart or side by side, and no more than a few bytes each; a
// list holding a long run of tuples costs about its records, and gives the
// room back once most of them are forgotten.
TEST(ActivationList, ItsIndicesCostWhatItHoldsNotHowFarApartItsIdsLie) {
    auto fill = [](ActivationList& list, uint32_t spread) {
        uint64_t seq = 0;
        for (uint32_t k = 0; k < 20; ++k) {
            const FactId key = k % 4 == 0 ? FactId{k * spread} : ActivationList::kNoKey;
            list.push_tuple(TupleId{k * spread}, 0, seq, key);
        }
    };
    ActivationList apart, together;
    fill(apart, 200'003);
    fill(together, 1);
    EXPECT_EQ(apart.index_bytes(), together.index_bytes());
    EXPECT_LE(apart.index_bytes(), 32u * 12 + 8 * 12);  // vectors of 20 and 5 records, grown by doubling

    ActivationList run;
    uint64_t seq = 0;
    constexpr uint32_t n = 20'000, first = 1'000'000;
    for (uint32_t k = 0; k < n; ++k) run.push_tuple(TupleId{first + k}, 0, seq);
    EXPECT_LE(run.index_bytes(), size_t{n} * 10);  // 8-byte records on full pages
    EXPECT_EQ(run.forget_if([](TupleId t) { return static_cast<uint32_t>(t) >= first + 10; }), n - 10);
    EXPECT_EQ(run.known_tuples(), 10u);
    EXPECT_LE(run.index_bytes(), 16u * 12);
    EXPECT_EQ(text(run.items()), "1000000/1/0 1000001/2/0 1000002/3/0 1000003/4/0 1000004/5/0 1000005/6/0 "
                                 "1000006/7/0 1000007/8/0 1000008/9/0 1000009/10/0 ");
}

// A list whose activations have all fired still holds its tuples' sequence
// numbers: a prune drops those of the tuples gone and no other, and a tuple
// that comes back after it starts with a fresh number.
TEST(ActivationList, APruneOfAFiredOutListDropsOnlyTheSequenceNumbersGone) {
    ActivationList list;
    uint64_t seq = 0;
    for (uint32_t t = 1; t <= 4; ++t) list.push_tuple(TupleId{t}, 0, seq);
    while (!list.empty()) list.take_slot(list.best_slot());
    ASSERT_EQ(list.known_tuples(), 4u);
    EXPECT_EQ(list.forget_if([](TupleId t) { return static_cast<uint32_t>(t) % 2 == 0; }), 0u);
    EXPECT_EQ(list.known_tuples(), 2u);
    list.push_tuple(TupleId{1}, 0, seq);  // kept: its number stays 1
    list.push_tuple(TupleId{2}, 0, seq);  // forgotten: numbered after the four
    EXPECT_EQ(text(list.items()), "1/1/0 2/5/0 ");
    EXPECT_EQ(list.forget_if([](TupleId t) { return static_cast<uint32_t>(t) == 1; }), 1u);
    EXPECT_EQ(text(list.items()), "2/5/0 ");
    EXPECT_EQ(list.known_tuples(), 2u);
}
