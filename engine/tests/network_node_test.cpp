#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>

#include "network/node_eval.h"
#include "network_scripted_env.h"
#include "store/debug_form.h"
#include "common/internal_error.h"

using namespace quarn;
using namespace quarn::testing;

namespace {

Value I(int64_t v) { return Value::i64(v); }
Value F(double v) { return Value::f64(v); }
Value D(i128 u, uint8_t s) { return Value::dec(u, s); }
Value S(const char* v) { return Value::str(v); }
Key key(std::vector<Value> v) { return Key(std::move(v)); }
constexpr int64_t k2p53 = int64_t{1} << 53;

}  // namespace

TEST(KeysMatch, FollowsTheNetworkKeyEquality) {
    struct Case {
        std::vector<Value> stored, probe;
        bool match;
    };
    const double nan = std::nan("");
    const std::vector<Case> cases = {
        {{Value::null()}, {Value::null()}, false}, {{}, {}, true}, {{I(2)}, {D(200, 2)}, true},
        {{D(200, 2)}, {I(2)}, true}, {{D(25, 1)}, {I(2)}, false}, {{D(150, 2)}, {D(15, 1)}, true},
        // The same rule whichever side is stored; NaN truncates to 0.
        {{I(3)}, {F(3.7)}, true}, {{F(3.7)}, {I(3)}, true}, {{I(-3)}, {F(-3.9)}, true}, {{I(4)}, {F(3.99)}, false},
        {{I(0)}, {F(nan)}, true}, {{F(nan)}, {F(nan)}, false}, {{I(INT64_MAX)}, {F(1e30)}, true},
        // 2^53 + 1 and 2^53 are equal as doubles.
        {{I(k2p53 + 1)}, {F(9007199254740992.0)}, true}, {{F(9007199254740992.0)}, {I(k2p53 + 1)}, true},
        {{F(-0.0)}, {F(0.0)}, true}, {{F(2.0)}, {D(2, 0)}, false}, {{S("1")}, {I(1)}, false},
        {{S("a")}, {S("a")}, true}, {{Value::boolean(true)}, {Value::boolean(false)}, false},
        {{I(1), S("x")}, {I(1), S("y")}, false}, {{I(1)}, {I(1), I(1)}, false},
    };
    for (size_t k = 0; k < cases.size(); ++k) {
        EXPECT_EQ(keys_match(cases[k].stored, cases[k].probe), cases[k].match) << "case " << k;
    }
}

TEST(NodeScan, EqualityIndexReachesMatchingKeysInMemoryOrder) {
    Rig r(Kind::Join, IndexSpec::equality());
    const Node& n = r.node;
    auto scan = [&](const Key& probe) { return r.env.facts(n.scan_lefts(probe)); };
    r.push_left({1}, key({I(3)}));
    r.push_left({2}, key({F(3.7)}));
    r.push_left({3}, std::nullopt);
    r.push_left({4}, key({I(4)}));
    r.push_left({5}, key({D(300, 2)}));
    r.push_left({6}, key({Value::null()}));
    EXPECT_EQ(scan(key({I(3)})), (Tuples{{1}, {2}, {5}}));
    EXPECT_EQ(scan(key({F(3.7)})), (Tuples{{1}, {2}}));
    EXPECT_TRUE(scan(std::nullopt).empty());
    EXPECT_TRUE(scan(key({Value::null()})).empty());
    EXPECT_EQ(n.collect_matching_lefts(std::nullopt).size(), 6u);
    r.push_left({7}, key({I(k2p53 + 1)}));
    r.push_left({8}, key({D((i128{1} << 53) + 1, 0)}));
    EXPECT_EQ(scan(key({F(9007199254740992.0)})), (Tuples{{7}}));
    EXPECT_EQ(scan(key({I(k2p53 + 1)})), (Tuples{{7}, {8}}));
    r.node.remove_left(r.id({1}));
    r.push_left({1}, key({I(3)}));
    EXPECT_EQ(scan(key({I(3)})), (Tuples{{2}, {5}, {1}}));
    // Texts are compared by content: a stored key keeps its own copy.
    r.push_left({9}, key({S("a long text that does not fit inline")}));
    EXPECT_EQ(scan(key({S("a long text that does not fit inline")})), (Tuples{{9}}));
}

TEST(NodeScan, RangeScansReachTheFactsWhoseFieldStandsInRelationToTheBoundNearestFirst) {
    // Keys in memory order 1, 4, 3, 4, 2 (and one keyless entry). Lefts hold
    // bounds k and a right fact's field p reaches them when `p op k`; rights
    // hold fields k and a tuple's bound p reaches them when `k op p`.
    struct Case {
        bool rights;
        CmpOp op;
        Value probe;
        Facts reached;
    };
    // Lefts: 4, 4, 3, 2, 1 for >; 1, 2, 3, 4, 4 for < (ties in memory order). Rights: 3, 4, 4 for > 2;
    // 3, 2, 1 for < 4. An integer key and a float probe compare as doubles.
    const std::vector<Case> cases = {
        {false, CmpOp::Gt, I(5), {2, 4, 3, 5, 1}}, {false, CmpOp::Lt, I(0), {1, 5, 3, 2, 4}},
        {false, CmpOp::Ge, I(4), {2, 4, 3, 5, 1}}, {false, CmpOp::Le, I(3), {3, 2, 4}},
        {false, CmpOp::Eq, I(4), {2, 4}},          {false, CmpOp::Ne, I(4), {1, 5, 3}},
        {false, CmpOp::Gt, F(3.5), {3, 5, 1}},     {false, CmpOp::Gt, S("x"), {}},
        {true, CmpOp::Gt, I(2), {3, 2, 4}},        {true, CmpOp::Lt, I(4), {3, 5, 1}},
        {true, CmpOp::Le, I(2), {5, 1}},           {true, CmpOp::Gt, F(3.5), {2, 4}},
        {true, CmpOp::Gt, F(5.5), {}},             {true, CmpOp::Lt, F(1.5), {1}},
    };
    for (const Case& c : cases) {
        Rig r(Kind::Not, IndexSpec::range(c.op));
        const Node& n = r.node;
        const int64_t values[] = {1, 4, 3, 4, 2};
        for (FactId f = 1; f <= 5; ++f) {
            c.rights ? r.node.store_right(f, key({I(values[f - 1])})) : r.push_left({f}, key({I(values[f - 1])}));
        }
        c.rights ? r.node.store_right(6, std::nullopt) : r.push_left({6}, std::nullopt);
        Facts got;
        if (c.rights) {
            got = n.scan_rights(key({c.probe}));
        } else {
            for (const Tuple& t : r.env.facts(n.scan_lefts(key({c.probe})))) got.push_back(t[0]);
        }
        EXPECT_EQ(got, c.reached) << (c.rights ? "rights " : "lefts ") << debug(c.op) << " " << debug(c.probe);
        EXPECT_TRUE(n.scan_rights(std::nullopt).empty() && n.scan_rights(key({})).empty());
    }
}

TEST(NodeScan, NoIndexAndTemporalNodesReachEverything) {
    // A temporal node's keys are event times, which say nothing about the join.
    for (auto [op, temporal] : {std::pair{IndexSpec::none(), false}, std::pair{IndexSpec::equality(), true}}) {
        Node n = Node::new_ex(op, Kind::Not, temporal);
        n.store_right(2, key({I(1000)}));
        n.store_right(1, std::nullopt);
        EXPECT_EQ(n.scan_rights(key({I(6000)})), (Facts{2, 1}));
        EXPECT_EQ(n.scan_rights(std::nullopt), (Facts{2, 1}));
    }
}

TEST(NodeMemory, StaysInArrivalOrderThroughChurnAndCompaction) {
    // Against a plain vector model, through enough removals and moves to
    // compact the memory several times; its equality index must follow.
    std::mt19937 rng(7);
    Memory<FactId> m(IndexSpec::equality());
    std::vector<std::pair<FactId, int64_t>> model;
    for (int step = 0; step < 4000; ++step) {
        FactId f = rng() % 200;
        int64_t kv = static_cast<int64_t>(rng() % 7);
        auto it = std::find_if(model.begin(), model.end(), [&](auto& e) { return e.first == f; });
        if (rng() % 3 == 0) {
            m.push_back(f, key({I(kv)}));
            model.emplace_back(f, kv);
        } else if (rng() % 2 == 0) {
            ASSERT_EQ(m.remove_first(f), it != model.end());
            if (it != model.end()) model.erase(it);
        } else {
            ASSERT_EQ(m.move_to_back(f), it != model.end());
            if (it != model.end()) std::rotate(it, it + 1, model.end());
        }
    }
    Facts order, threes;
    for (auto& [f, kv] : model) {
        order.push_back(f);
        if (kv == 3) threes.push_back(f);
    }
    EXPECT_EQ(m.items(), order);
    EXPECT_EQ(m.matching(key({I(3)})), threes);
    m.verify();
}

TEST(NodeMemory, MovingAnEntryToTheBackKeepsEveryIndexInOrder) {
    // An item held once is moved in place, one held more often is taken out
    // and put back: against a model of (item, key) in arrival order, under
    // each kind of index, with keys held in the slot (integers, floats) and
    // in shared records (texts), and across the renumbering of arrival numbers.
    const std::vector<Value> vals = {I(1), I(2), F(2.0), F(-0.0), S("x"), S("y"), D(100, 2)};
    for (IndexSpec op : {IndexSpec::equality(), IndexSpec::range(CmpOp::Lt), IndexSpec::none()}) {
        std::mt19937 rng(11);
        Memory<FactId> m(op);
        std::vector<std::pair<FactId, size_t>> model;  // item, index into vals
        for (int step = 0; step < 3000; ++step) {
            const FactId f = rng() % 40;
            auto it = std::find_if(model.begin(), model.end(), [&](auto& e) { return e.first == f; });
            const uint32_t what = rng() % 8;
            if (what < 2) {
                const size_t v = rng() % vals.size();
                m.push_back(f, key({vals[v]}));
                model.emplace_back(f, v);
            } else if (what < 3) {
                ASSERT_EQ(m.remove_first(f), it != model.end());
                if (it != model.end()) model.erase(it);
            } else {
                ASSERT_EQ(m.move_to_back(f), it != model.end());
                if (it != model.end()) std::rotate(it, it + 1, model.end());
            }
            if (step == 1500) m.skip_arrival_numbers(UINT32_MAX);
            if (step % 100 == 0) m.verify();
        }
        m.verify();
        // It answers every probe as a memory built afresh from the model does.
        Memory<FactId> fresh(op);
        Facts order;
        for (auto& [f, v] : model) {
            fresh.push_back(f, key({vals[v]}));
            order.push_back(f);
        }
        ASSERT_EQ(m.items(), order);
        for (auto& [f, v] : model) {
            const auto first = std::find_if(model.begin(), model.end(), [&](auto& e) { return e.first == f; });
            ASSERT_EQ(debug(m.find_first(f)->key[0].value()), debug(vals[first->second]));
        }
        for (const Value& probe : vals) {
            if (op.kind() == IndexKind::Range) {
                Facts got, want;
                m.in_range(probe, CmpOp::Lt, got);
                fresh.in_range(probe, CmpOp::Lt, want);
                EXPECT_EQ(got, want) << debug(probe);
            } else {
                EXPECT_EQ(m.matching(key({probe})), fresh.matching(key({probe}))) << debug(probe);
            }
        }
    }
}

TEST(NodeMemory, EqualKeysAreStoredOnceAndEachEntryStillAnswersWithItsOwn) {
    // Keys of one class that differ (5, 5.0, Dec 5.00, 5.5) share a bucket but
    // not a stored key; equal ones share one. Removing entries in any order
    // keeps every remaining entry's key and the bucket's answers (an integer
    // meets a float by its truncation: 5 and 5.5 match, 5.0 and 5.5 do not).
    Memory<FactId> m(IndexSpec::equality());
    const std::vector<Value> vals = {I(5), F(5.0), I(5), D(500, 2), F(5.5), I(5), S("x"), S("x")};
    for (size_t k = 0; k < vals.size(); ++k) m.push_back(static_cast<FactId>(k), key({vals[k]}));
    m.verify();
    EXPECT_EQ(m.matching(key({I(5)})), (Facts{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(m.matching(key({F(5.5)})), (Facts{0, 2, 4, 5}));
    EXPECT_EQ(m.matching(key({S("x")})), (Facts{6, 7}));
    for (FactId f : {FactId{0}, FactId{5}, FactId{6}}) {
        ASSERT_TRUE(m.remove_first(f));
        m.verify();
    }
    EXPECT_EQ(m.matching(key({I(5)})), (Facts{1, 2, 3, 4}));
    EXPECT_EQ(m.find_first(2)->key, key({I(5)}));
    EXPECT_EQ(m.find_first(3)->key, key({D(500, 2)}));
    EXPECT_EQ(m.find_first(7)->key, key({S("x")}));
    m.push_back(9, key({I(5)}));
    m.push_back(10, std::nullopt);
    auto taken = m.take_first(2);
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->key, key({I(5)}));
    EXPECT_EQ(m.matching(key({I(5)})), (Facts{1, 3, 4, 9}));
    EXPECT_FALSE(m.find_first(10)->key.present());
    m.verify();
}

TEST(NodeMemory, AStoredShortTextKeyHoldsItsTextInItsRecordThroughCopiesAndTakes) {
    // A probe refers to a text it does not own; the memory's record owns a
    // copy beside its value, so that comparing a stored text key reads one
    // record and no other allocation. Copies and takes keep the text.
    Memory<FactId> m(IndexSpec::equality());
    Value text = S("cust-00000000000a7");
    for (FactId f = 0; f < 3; ++f) {
        Key probe;
        probe.push(text);
        m.push_back(f, std::move(probe));
    }
    text = S("??????????????????");
    m.verify();
    ASSERT_TRUE(m.find_first(1));
    EXPECT_TRUE(m.find_first(1)->key.holds_texts_inline());
    EXPECT_EQ(m.matching(key({S("cust-00000000000a7")})), (Facts{0, 1, 2}));
    Memory<FactId> copy = m;
    auto taken = m.take_first(0);
    ASSERT_TRUE(taken);
    EXPECT_EQ(debug_key(taken->key), "Some([Str(\"cust-00000000000a7\")])");
    ASSERT_TRUE(m.remove_first(1));
    ASSERT_TRUE(m.remove_first(2));
    m.verify();
    EXPECT_TRUE(copy.find_first(2)->key.holds_texts_inline());
    EXPECT_EQ(copy.matching(key({S("cust-00000000000a7")})), (Facts{0, 1, 2}));
    EXPECT_EQ(debug_key(taken->key), "Some([Str(\"cust-00000000000a7\")])");
}

TEST(NodeMemory, FirstMatchingAnswersAsAWalkOfTheMemoryFromTheStartAndAroundDoes) {
    // Reference: the entries whose key matches the probe, in memory order,
    // from the start's entry when it is one of them (else from the first),
    // wrapping around; the first the predicate takes. Keys of one class that
    // do not all match each other (5, 5.0, 5.5, Dec 5.00) put heads that a
    // probe rejects, and heads the predicate rejects, in crowded buckets;
    // texts and two-value keys take records, shared by equal neighbours.
    std::mt19937 rng(77);
    const std::vector<Key> keys = {key({I(5)}), key({F(5.0)}), key({F(5.5)}), key({D(500, 2)}), key({I(6)}),
                                   key({S("cust-00000000000a7")}), key({S("cust-00000000000a8")}),
                                   key({I(5), S("x")})};
    for (int round = 0; round < 6; ++round) {
        Memory<FactId> m(IndexSpec::equality());
        std::vector<std::pair<FactId, size_t>> model;  // item, index of its key; memory order
        for (int step = 0; step < 300; ++step) {
            if (rng() % 5 == 0 && !model.empty()) {
                const size_t at = rng() % model.size();
                ASSERT_TRUE(m.remove_first(model[at].first));
                model.erase(model.begin() + static_cast<std::ptrdiff_t>(at));
            } else {
                // Items unique, so that an item names one entry.
                const FactId f = static_cast<FactId>(step);
                const size_t k = rng() % (round % 2 == 0 ? 3 : keys.size());
                m.push_back(f, keys[k]);
                model.emplace_back(f, k);
            }
            const Key& probe = keys[rng() % keys.size()];
            const uint32_t mod = 1 + rng() % 4;
            auto pred = [&](FactId f) { return static_cast<uint32_t>(f) % mod == 0; };
            std::vector<FactId> cands;
            for (const auto& [f, k] : model) {
                if (keys_match(keys[k], probe)) cands.push_back(f);
            }
            std::optional<FactId> start;
            if (!model.empty() && rng() % 3 != 0) start = model[rng() % model.size()].first;
            size_t from = 0;
            if (start) {
                auto it = std::find(cands.begin(), cands.end(), *start);
                if (it != cands.end()) from = static_cast<size_t>(it - cands.begin());
            }
            std::optional<FactId> want;
            for (size_t j = 0; j < cands.size() && !want; ++j) {
                const FactId f = cands[(from + j) % cands.size()];
                if (pred(f)) want = f;
            }
            ASSERT_EQ(m.first_matching(probe, start, pred), want) << round << " " << step << " " << debug_key(probe);
            // A predicate told of equality sees the same items.
            std::vector<FactId> told;
            auto telling = [&](FactId f, bool equal) {
                told.push_back(f);
                EXPECT_EQ(equal, keys[std::find_if(model.begin(), model.end(), [&](const auto& e) {
                                          return e.first == f;
                                      })->second] == probe);
                return pred(f);
            };
            ASSERT_EQ(m.first_matching(probe, start, telling), want) << round << " " << step;
            ASSERT_TRUE(told.empty() || std::find(cands.begin(), cands.end(), told.front()) != cands.end());
        }
        m.verify();
    }
}

TEST(NodeMemory, StoredKeysAreSharedOnlyBetweenEqualKeysOfABucket) {
    // Two-value keys of one class that differ only in how 5 is written: all
    // stored as records in one bucket. An entry shares a record only with an
    // equal key (the bucket's head's); removing the head leaves the others
    // their own, and the next head's record is shared from then on.
    Memory<FactId> m(IndexSpec::equality());
    const std::vector<std::vector<Value>> keys = {{I(5), S("x")}, {F(5.0), S("x")}, {I(5), S("x")},
                                                  {D(500, 2), S("x")}, {F(5.0), S("x")}};
    for (size_t k = 0; k < keys.size(); ++k) m.push_back(static_cast<FactId>(k), key(keys[k]));
    m.verify();
    for (size_t k = 0; k < keys.size(); ++k) EXPECT_EQ(m.find_first(static_cast<FactId>(k))->key, key(keys[k])) << k;
    ASSERT_TRUE(m.remove_first(0));
    ASSERT_TRUE(m.remove_first(2));
    m.push_back(5, key({F(5.0), S("x")}));
    m.push_back(6, key({I(5), S("x")}));
    m.verify();
    EXPECT_EQ(m.find_first(1)->key, key({F(5.0), S("x")}));
    EXPECT_EQ(m.find_first(5)->key, key({F(5.0), S("x")}));
    EXPECT_EQ(m.find_first(6)->key, key({I(5), S("x")}));
    EXPECT_EQ(m.matching(key({I(5), S("x")})), (Facts{1, 3, 4, 5, 6}));
    for (FactId f : {FactId{1}, FactId{4}, FactId{5}, FactId{3}, FactId{6}}) {
        ASSERT_TRUE(m.remove_first(f));
        m.verify();
    }
    EXPECT_TRUE(m.empty());
}

TEST(NodeMemory, ReKeyingInPlaceAnswersAsRemovingAndAppendingDoes) {
    // A twin memory takes remove_first and push_back for every rekey_to_back;
    // both must list, bucket and range the same entries with the same keys,
    // through duplicates of an item (which leave the in-place path), keys
    // held in the slot and shared records, and keys passed from the memory
    // itself.
    std::mt19937 rng(11);
    for (IndexSpec op : {IndexSpec::equality(), IndexSpec::range(CmpOp::Lt), IndexSpec::none()}) {
        Memory<FactId> m(op), twin(op);
        auto key_of = [&](uint32_t r) {
            switch (r % 4) {
                case 0: return key({I(r % 5)});
                case 1: return key({S(r % 2 == 0 ? "a" : "b")});
                case 2: return key({I(r % 40), I(1)});
                default: return Key(std::nullopt);
            }
        };
        for (int step = 0; step < 3000; ++step) {
            const FactId f = rng() % 30;
            const uint32_t r = rng();
            if (rng() % 3 == 0) {
                // A few items are held twice.
                if (!m.find_first(f) || rng() % 8 == 0) {
                    m.push_back(f, key_of(r));
                    twin.push_back(f, key_of(r));
                }
                continue;
            }
            bool moved;
            Key passed;
            if (rng() % 4 == 0 && m.find_first(f)) {
                // The entry's own stored key, re-filed unchanged.
                const auto own = m.find_first(f);
                passed = own->key;
                moved = m.rekey_to_back(f, own->key);
            } else {
                passed = key_of(r);
                moved = m.rekey_to_back(f, passed);
            }
            ASSERT_EQ(moved, twin.find_first(f).has_value());
            if (!moved) continue;
            ASSERT_TRUE(twin.remove_first(f));
            twin.push_back(f, std::move(passed));
            // Entry by entry after each move: a later move of the same item
            // would hide a wrong key.
            ASSERT_EQ(m.items(), twin.items()) << step;
            for (auto p = m.first_pos(), q = twin.first_pos(); p != Memory<FactId>::npos;
                 p = m.next_pos(p), q = twin.next_pos(q)) {
                ASSERT_EQ(m.at(p).key, twin.at(q).key) << step;
            }
        }
        m.verify();
        for (uint32_t r = 0; r < 12; ++r) {
            const Key probe = key_of(r);
            if (op == IndexSpec::equality()) {
                EXPECT_EQ(m.matching(probe), twin.matching(probe)) << r;
            }
        }
        if (op == IndexSpec::range(CmpOp::Lt)) {
            Facts a, b;
            m.in_range(I(1), CmpOp::Lt, a);
            twin.in_range(I(1), CmpOp::Lt, b);
            EXPECT_EQ(a, b);
        }
    }
}

TEST(NodeMemory, AnItemHeldSeveralTimesLeavesByItsFirstEntryAndACopyKeepsEveryEntry) {
    // Items pushed up to five times, then taken out, moved and re-keyed in
    // any order: each call must reach the item's first entry in arrival
    // order (its key tells which), and a copy taken halfway must go on as
    // the original does. Against a list of (item, key) in arrival order.
    std::mt19937 rng(23);
    Memory<FactId> m(IndexSpec::equality());
    std::optional<Memory<FactId>> copy;
    std::vector<std::pair<FactId, int64_t>> model;
    int64_t next_key = 0;
    auto first_of = [&](FactId f) {
        return std::find_if(model.begin(), model.end(), [&](auto& e) { return e.first == f; });
    };
    auto check = [&](const Memory<FactId>& mem, int step) {
        Facts order;
        for (auto& [f, k] : model) order.push_back(f);
        ASSERT_EQ(mem.items(), order) << step;
        bool once = true;
        for (FactId f = 0; f < 12; ++f) {
            const auto it = first_of(f);
            const size_t held = static_cast<size_t>(std::count_if(model.begin(), model.end(), [&](auto& e) { return e.first == f; }));
            once = once && held <= 1;
            ASSERT_EQ(mem.contains(f), it != model.end()) << step;
            if (it != model.end()) {
                ASSERT_EQ(mem.find_first(f)->key, key({I(it->second)})) << step << " " << f;
            }
        }
        ASSERT_EQ(mem.holds_items_once(), once) << step;
        mem.verify();
    };
    for (int step = 0; step < 2000; ++step) {
        const FactId f = rng() % 12;
        const auto it = first_of(f);
        const uint32_t what = rng() % 6;
        for (Memory<FactId>* mem : {&m, copy ? &*copy : nullptr}) {
            if (mem == nullptr) continue;
            if (what < 2) {
                mem->push_back(f, key({I(next_key)}));
            } else if (what == 2) {
                ASSERT_EQ(mem->remove_first(f), it != model.end());
            } else if (what == 3) {
                auto taken = mem->take_first(f);
                ASSERT_EQ(taken.has_value(), it != model.end());
                if (taken) {
                    ASSERT_EQ(taken->key, key({I(it->second)}));
                }
            } else if (what == 4) {
                ASSERT_EQ(mem->move_to_back(f), it != model.end());
            } else {
                ASSERT_EQ(mem->rekey_to_back(f, key({I(next_key)})), it != model.end());
            }
        }
        if (what < 2) {
            model.emplace_back(f, next_key);
        } else if (it != model.end()) {
            if (what == 2 || what == 3) {
                model.erase(it);
            } else {
                auto moved = *it;
                if (what == 5) moved.second = next_key;
                model.erase(it);
                model.push_back(moved);
            }
        }
        ++next_key;
        check(m, step);
        if (copy) check(*copy, step);
        if (step == 1000) copy.emplace(m);
    }
}

TEST(NodeMemory, ReKeyingUnderTheSameKeyMovesTheEntryAndKeepsTheKeyBitForBit) {
    // An entry re-keyed under the key it holds only moves: last in memory
    // order, in its bucket and among equal range values. A key that matches
    // the stored one without being the same bits (0.0 and -0.0, alone or
    // inside a record; 5 and 5.0; 5.00 and 5.0) is stored anew. Each case re-keys the
    // head, a middle and the last entry of a three-entry bucket, against a
    // twin memory that removes and appends.
    struct Case {
        std::vector<Value> stored, next;
    };
    const std::vector<Case> cases = {
        {{I(5)}, {I(5)}},
        {{F(0.0)}, {F(-0.0)}},
        {{F(-0.0)}, {F(-0.0)}},
        {{I(5)}, {F(5.0)}},
        {{Value::boolean(true)}, {Value::boolean(true)}},
        {{S("a")}, {S("a")}},
        {{F(0.0), S("x")}, {F(-0.0), S("x")}},
        {{F(0.0), S("x")}, {F(0.0), S("x")}},
        {{I(2), I(7)}, {I(2), I(7)}},
        {{D(500, 2)}, {D(500, 2)}},
        {{D(500, 2)}, {D(50, 1)}},
    };
    for (IndexSpec op : {IndexSpec::equality(), IndexSpec::range(CmpOp::Lt), IndexSpec::none()}) {
        for (const Case& c : cases) {
            for (FactId moved : {FactId{1}, FactId{2}, FactId{4}}) {
                Memory<FactId> m(op), twin(op);
                for (FactId f = 1; f <= 4; ++f) {
                    // Entries 1, 2 and 4 hold the case's key; 3 another one.
                    const Key k = f == 3 ? key({I(9)}) : key(c.stored);
                    m.push_back(f, k);
                    twin.push_back(f, k);
                }
                const Key next = key(c.next);
                ASSERT_TRUE(m.rekey_to_back(moved, next));
                twin.remove_first(moved);
                twin.push_back(moved, next);
                m.verify();
                const std::string what = debug_key(key(c.stored)) + " -> " + debug_key(next) + " on " +
                                         std::to_string(moved) + " under index " + std::to_string(op.code());
                ASSERT_EQ(m.items(), twin.items()) << what;
                for (FactId f = 1; f <= 4; ++f) {
                    EXPECT_EQ(debug_key(m.find_first(f)->key), debug_key(twin.find_first(f)->key)) << what;
                }
                for (const Key& probe : {key(c.stored), next, key({I(9)})}) {
                    if (op.kind() == IndexKind::Range) {
                        if (probe.size() != 1) continue;
                        Facts got, want;
                        m.in_range(probe[0].value(), CmpOp::Lt, got);
                        twin.in_range(probe[0].value(), CmpOp::Lt, want);
                        EXPECT_EQ(got, want) << what;
                    } else {
                        EXPECT_EQ(m.matching(probe), twin.matching(probe)) << what;
                    }
                }
                // Moved again, it is still where a removal and an append put it.
                ASSERT_TRUE(m.rekey_to_back(2, key(c.stored)));
                twin.remove_first(2);
                twin.push_back(2, key(c.stored));
                m.verify();
                ASSERT_EQ(m.items(), twin.items()) << what;
                if (op == IndexSpec::equality()) {
                    EXPECT_EQ(m.matching(next), twin.matching(next)) << what;
                }
            }
        }
    }
}

TEST(NodeMemory, EqualityIndexFindsEveryKeyThroughCrowdedBlocksOfSlots) {
    // Keys counting up share blocks of the index's slots, so runs of keys,
    // keys 16 apart (one slot of every block) and the neighbours they push
    // along crowd the table as it grows; removals shift runs back across
    // blocks. Every probe, of stored and absent keys, finds what a walk over a
    // model in memory order finds.
    std::mt19937 rng(11);
    Memory<FactId> m(IndexSpec::equality());
    std::vector<std::pair<FactId, Key>> model;
    auto some_key = [&]() {
        const int64_t n = static_cast<int64_t>(rng() % 3000) - 1000;
        switch (rng() % 6) {
            case 0: return key({I(16 * n)});
            case 1: return key({F(static_cast<double>(n) + 0.5)});
            case 2: return key({D(static_cast<i128>(n) * 10, 1)});
            case 3: return key({I(n % 40), I(n)});
            default: return key({I(n)});
        }
    };
    FactId next = 0;
    auto check = [&]() {
        m.verify();
        for (int k = 0; k < 150; ++k) {
            const Key probe = some_key();
            Facts want;
            for (const auto& [f, stored] : model)
                if (keys_match(stored, probe)) want.push_back(f);
            ASSERT_EQ(m.matching(probe), want) << debug_key(probe);
        }
    };
    for (int round = 0; round < 4; ++round) {
        // A run counting up, as a batch of new ids arrives.
        const int64_t from = static_cast<int64_t>(rng() % 2000);
        for (int64_t n = from; n < from + 700; ++n) {
            m.push_back(next, key({I(n)}));
            model.emplace_back(next++, key({I(n)}));
        }
        for (int step = 0; step < 1500; ++step) {
            if (rng() % 4 != 0 || model.empty()) {
                Key k = some_key();
                m.push_back(next, k);
                model.emplace_back(next++, std::move(k));
                continue;
            }
            auto at = model.begin() + static_cast<std::ptrdiff_t>(rng() % model.size());
            if (rng() % 3 == 0) {
                ASSERT_TRUE(m.move_to_back(at->first));
                std::rotate(at, at + 1, model.end());
            } else {
                ASSERT_TRUE(m.remove_first(at->first));
                model.erase(at);
            }
        }
        check();
    }
}

TEST(NodeMemory, TwoMemoriesSharingOneIndexAnswerAsMemoriesWithIndexesOfTheirOwn) {
    // A left and a right memory keep their buckets in one index; twins keep
    // their own. Every change on either side, and every probe, must answer
    // as the twins do: buckets empty on one side while the other keeps the
    // key's entry, items held twice, keys that match without being equal
    // (an integer and a float), keys of several values and none, a clear of
    // one side, one-value keys held in the slot and in a record. A copy taken halfway, pointed at a copy of the index, must
    // keep answering as the twins did then while the originals go on.
    std::mt19937 rng(31);
    const IndexSpec eq = IndexSpec::equality();
    SharedKeyIndex index;
    Memory<TupleId> lefts(eq), lefts_twin(eq);
    Memory<FactId> rights(eq), rights_twin(eq);
    lefts.share_index(&index);
    rights.share_index(&index);
    ASSERT_TRUE(lefts.shares_index_with(rights));
    ASSERT_FALSE(lefts_twin.shares_index_with(rights_twin));
    // Besides the common keys, one-value keys at the edges of what a slot
    // holds itself: integers of 62 bits and past them, floats whose lowest
    // bits are set, zeros of both signs, a NaN.
    const std::vector<Value> edges = {I(INT64_MAX), I(INT64_MIN), I((int64_t{1} << 61) - 1), I(-(int64_t{1} << 61)),
                                      I(int64_t{1} << 61), I(-(int64_t{1} << 61) - 1), F(0.1), F(std::nextafter(1.0, 2.0)),
                                      F(0.0), F(-0.0), F(std::nan("")), F(static_cast<double>(k2p53)), Value::boolean(true)};
    auto some_key = [&]() {
        const int64_t n = static_cast<int64_t>(rng() % 9);
        switch (rng() % 7) {
            case 6: return key({edges[rng() % edges.size()]});
            case 0: return key({F(static_cast<double>(n))});
            case 1: return key({S(n % 2 == 0 ? "a" : "b")});
            case 2: return key({I(n), I(n % 2)});
            case 3: return n % 2 == 0 ? Key(std::nullopt) : key({Value::null()});
            default: return key({I(n)});
        }
    };
    // Keys the same bit for bit (NaN and zeros included).
    auto same_key = [](const Key& a, const Key& b) {
        if (a.present() != b.present() || a.size() != b.size()) return false;
        for (size_t v = 0; v < a.size(); ++v) {
            if (a[v].tag != b[v].tag) return false;
            if (a[v].tag == ValueTag::Str ? a[v].as_str() != b[v].as_str()
                                          : a[v].a != b[v].a || a[v].b != b[v].b || a[v].scale != b[v].scale) {
                return false;
            }
        }
        return true;
    };
    // Each edge key reads back as it went in, from the slot or its record,
    // and is found by a probe of itself (a NaN by none).
    for (const Value& v : edges) {
        Memory<FactId> m(eq);
        m.share_index(&index);
        m.push_back(1, key({v}));
        m.push_back(2, key({v}));
        m.verify();
        ASSERT_TRUE(same_key(m.at(m.first_pos()).key, key({v}))) << debug_key(key({v}));
        ASSERT_EQ(m.matching(key({v})).size(), std::isnan(v.tag() == ValueTag::F64 ? v.as_f64() : 0.0) ? 0u : 2u);
        auto taken = m.take_first(2);
        ASSERT_TRUE(taken && same_key(taken->key, key({v})));
        m.clear();
        ASSERT_TRUE(index.empty());
    }
    // Both sides' answers to one probe, against the twins'.
    auto same_answers = [](const auto& m, const auto& twin, const Key& probe, int step) {
        using T = typename std::remove_cvref_t<decltype(m.items())>::value_type;
        std::vector<T> got, want;
        bool got_equal = false, want_equal = false;
        m.matching(probe, got, &got_equal);
        twin.matching(probe, want, &want_equal);
        ASSERT_EQ(got, want) << step << " " << debug_key(probe);
        ASSERT_EQ(got_equal, want_equal) << step << " " << debug_key(probe);
        std::vector<T> walked;
        for (auto p = m.bucket_first(probe); p != Memory<T>::npos; p = m.bucket_next(p)) {
            if (keys_match(m.at(p).key, probe)) walked.push_back(m.at(p).item);
        }
        ASSERT_EQ(walked, want) << step;
        const std::optional<T> start = want.empty() ? std::nullopt : std::optional<T>(want.back());
        auto odd = [](T item) { return static_cast<uint32_t>(item) % 2 == 1; };
        ASSERT_EQ(m.first_matching(probe, start, odd), twin.first_matching(probe, start, odd)) << step;
    };
    auto check = [&](const Memory<TupleId>& l, const Memory<FactId>& r, const Memory<TupleId>& lt,
                     const Memory<FactId>& rt, int step) {
        l.verify();
        r.verify();
        ASSERT_EQ(l.items(), lt.items()) << step;
        ASSERT_EQ(r.items(), rt.items()) << step;
        for (auto p = l.first_pos(), q = lt.first_pos(); p != Memory<TupleId>::npos; p = l.next_pos(p), q = lt.next_pos(q)) {
            ASSERT_TRUE(same_key(l.at(p).key, lt.at(q).key)) << step << " " << debug_key(l.at(p).key);
        }
        for (auto p = r.first_pos(), q = rt.first_pos(); p != Memory<FactId>::npos; p = r.next_pos(p), q = rt.next_pos(q)) {
            ASSERT_TRUE(same_key(r.at(p).key, rt.at(q).key)) << step << " " << debug_key(r.at(p).key);
        }
        for (int k = 0; k < 6; ++k) {
            const Key probe = some_key();
            same_answers(l, lt, probe, step);
            same_answers(r, rt, probe, step);
        }
    };
    // One change, the same on a memory and its twin, whose other sides are
    // `other` and `other_twin`.
    auto change = [&](auto& m, auto& twin, const auto& other, const auto& other_twin, int step) {
        using T = typename std::remove_cvref_t<decltype(m.items())>::value_type;
        using U = typename std::remove_cvref_t<decltype(other.items())>::value_type;
        const T item = static_cast<T>(rng() % 24);
        const uint32_t what = rng() % 16;
        if (what < 4) {
            Key k = some_key();
            std::vector<U> got, want;
            bool got_equal = false, want_equal = false;
            other_twin.matching(k, want, &want_equal);
            twin.push_back(item, k);
            m.push_back_matching(item, std::move(k), other, got, &got_equal);
            ASSERT_EQ(got, want) << step;
            ASSERT_EQ(got_equal, want_equal) << step;
        } else if (what < 6) {
            Key k = some_key();
            m.push_back(item, k);
            twin.push_back(item, std::move(k));
        } else if (what < 9) {
            ASSERT_EQ(m.remove_first(item), twin.remove_first(item)) << step;
        } else if (what < 11) {
            auto got = m.take_first(item);
            auto want = twin.take_first(item);
            ASSERT_EQ(got.has_value(), want.has_value()) << step;
            if (got) {
                ASSERT_TRUE(same_key(got->key, want->key)) << step;
            }
        } else if (what < 13) {
            ASSERT_EQ(m.move_to_back(item), twin.move_to_back(item)) << step;
        } else if (what < 15) {
            const Key k = some_key();
            ASSERT_EQ(m.rekey_to_back(item, k), twin.rekey_to_back(item, k)) << step;
        } else if (rng() % 16 == 0) {
            m.clear();
            twin.clear();
        }
    };
    std::optional<SharedKeyIndex> copied_index;
    std::optional<Memory<TupleId>> lefts_copy, lefts_then;
    std::optional<Memory<FactId>> rights_copy, rights_then;
    for (int step = 0; step < 4000; ++step) {
        if (rng() % 2 == 0) {
            change(lefts, lefts_twin, rights, rights_twin, step);
        } else {
            change(rights, rights_twin, lefts, lefts_twin, step);
        }
        if (::testing::Test::HasFatalFailure()) return;
        check(lefts, rights, lefts_twin, rights_twin, step);
        if (::testing::Test::HasFatalFailure()) return;
        if (step == 2000) {
            copied_index.emplace(index);
            lefts_copy.emplace(lefts);
            rights_copy.emplace(rights);
            lefts_copy->index_copied_to(&*copied_index);
            rights_copy->index_copied_to(&*copied_index);
            lefts_then.emplace(lefts_twin);
            rights_then.emplace(rights_twin);
        }
    }
    check(*lefts_copy, *rights_copy, *lefts_then, *rights_then, -1);
    // The copy goes on by itself, its twins with it.
    for (int step = 0; step < 500; ++step) {
        change(*lefts_copy, *lefts_then, *rights_copy, *rights_then, step);
        change(*rights_copy, *rights_then, *lefts_copy, *lefts_then, step);
        if (::testing::Test::HasFatalFailure()) return;
    }
    check(*lefts_copy, *rights_copy, *lefts_then, *rights_then, -2);
    check(lefts, rights, lefts_twin, rights_twin, -3);
}

// A probe's list is reused from probe to probe: what a probe hands back is
// what it found alone, whatever the list held before, through buckets of
// several entries, of one (holding the probe or another integer of its
// class), of a wide integer and none.
TEST(NodeMemory, AnIntegerProbeHandsBackWhatItFoundWhateverItsListHeld) {
    const IndexSpec eq = IndexSpec::equality();
    SharedKeyIndex index;
    Memory<TupleId> lefts(eq);
    Memory<FactId> rights(eq);
    lefts.share_index(&index);
    rights.share_index(&index);
    const int64_t wide = int64_t{1} << 61;
    std::vector<FactId> unused;
    auto push_left = [&](uint32_t t, int64_t v) {
        const uint64_t h = int_key_class_hash(v);
        lefts.push_back_matching_int(TupleId(t), v, h, lefts.prefetch_class(h), rights, unused, nullptr);
    };
    push_left(1, 5);
    push_left(2, 5);
    push_left(3, 7);
    push_left(4, wide);
    push_left(5, k2p53);  // its bucket is that of k2p53 + 1 too
    std::vector<TupleId> out;
    uint32_t fact = 100;
    for (const auto& [v, want] : std::vector<std::pair<int64_t, std::vector<uint32_t>>>{
             {5, {1, 2}}, {7, {3}}, {wide, {4}}, {11, {}}, {5, {1, 2}}, {k2p53 + 1, {}}, {k2p53, {5}}}) {
        out.assign({TupleId(98), TupleId(99), TupleId(97)});
        const uint64_t h = int_key_class_hash(v);
        bool equal = false;
        const std::span<const TupleId> got =
            rights.push_back_matching_int(FactId(fact++), v, h, rights.prefetch_class(h), lefts, out, &equal);
        std::vector<uint32_t> ids;
        for (TupleId t : got) ids.push_back(static_cast<uint32_t>(t));
        EXPECT_EQ(ids, want) << v;
        EXPECT_TRUE(equal) << v;
    }
}

// Two pairs of memories, each pair sharing an index: one pair is pushed
// integer words (with the index hash its prefetch gives), the other the same
// integers as Keys. Every push must find the same entries of the other side,
// say the same of their equality, and leave the same memories: buckets of
// one entry and of several, integers a double cannot tell apart, integers
// too wide for a word, removals between, batches announced and not.
TEST(NodeMemory, PushesOfIntegerWordsFindAndStoreAsPushesOfKeys) {
    std::mt19937 rng(41);
    const IndexSpec eq = IndexSpec::equality();
    SharedKeyIndex words_index, keys_index;
    Memory<TupleId> wl(eq), kl(eq);
    Memory<FactId> wr(eq), kr(eq);
    wl.share_index(&words_index);
    wr.share_index(&words_index);
    kl.share_index(&keys_index);
    kr.share_index(&keys_index);
    const std::vector<int64_t> odd = {k2p53,          k2p53 + 1, (int64_t{1} << 61) - 1, int64_t{1} << 61,
                                      -(int64_t{1} << 61) - 1, INT64_MIN};
    auto some_int = [&]() -> int64_t {
        if (rng() % 3 == 0) return odd[rng() % odd.size()];
        return static_cast<int64_t>(rng() % 40) - 8;
    };
    auto same = [](const auto& w, const auto& k, int step) {
        w.verify();
        ASSERT_EQ(w.items(), k.items()) << step;
        for (auto p = w.first_pos(), q = k.first_pos(); p != w.npos; p = w.next_pos(p), q = k.next_pos(q)) {
            ASSERT_EQ(debug_key(w.at(p).key), debug_key(k.at(q).key)) << step;
        }
    };
    auto change = [&](auto& w, auto& k, const auto& w_other, const auto& k_other, int step) {
        using T = typename std::remove_cvref_t<decltype(w.items())>::value_type;
        using U = typename std::remove_cvref_t<decltype(w_other.items())>::value_type;
        const T item = static_cast<T>(rng() % 64);
        if (rng() % 6 == 0) {
            ASSERT_EQ(w.remove_first(item), k.remove_first(item)) << step;
            return;
        }
        if (rng() % 40 == 0) {
            const size_t n = rng() % 3 == 0 ? 0 : rng() % 200;
            w.expect_pushes(n);
            k.expect_pushes(n);
        }
        const int64_t v = some_int();
        const uint64_t h = int_key_class_hash(v);
        const size_t slot_hash = w.prefetch_class(h);
        std::vector<U> out, want;
        bool equal = false, want_equal = false;
        const std::span<const U> got = w.push_back_matching_int(item, v, h, slot_hash, w_other, out, &equal);
        Key key;
        key.push_i64(v);
        k.push_back_matching(item, std::move(key), k_other, want, &want_equal);
        ASSERT_EQ(std::vector<U>(got.begin(), got.end()), want) << step << " " << v;
        ASSERT_EQ(equal, want_equal) << step << " " << v;
    };
    for (int step = 0; step < 6000; ++step) {
        if (rng() % 2 == 0) {
            change(wl, kl, wr, kr, step);
        } else {
            change(wr, kr, wl, kl, step);
        }
        if (::testing::Test::HasFatalFailure()) return;
        // A divergence stays once made, so after the first steps the
        // memories are compared whole now and then (each compare walks them
        // all) and the index sizes at every step.
        if (step < 400 || step % 61 == 0 || step == 5999) {
            same(wl, kl, step);
            same(wr, kr, step);
        }
        if (::testing::Test::HasFatalFailure()) return;
        ASSERT_EQ(words_index.size(), keys_index.size()) << step;
        ASSERT_EQ(words_index.capacity(), keys_index.capacity()) << step;
    }
}

// A fact memory sharing an index with a tuple memory is re-keyed by
// integers (rekey_to_back_int), its twin by the same integers as Keys, half
// of them the key the entry holds: both keep the same entries and keys. What
// a fact's stored key reaches (stored_key_matching) is what matching() finds
// for that key: buckets of an integer word, of an integer a double cannot
// tell from it, of a float, a wide integer or a text; items held twice or not.
TEST(NodeMemory, ReKeyingByIntegersAndProbingByStoredKeysAnswerAsKeysDo) {
    std::mt19937 rng(53);
    const IndexSpec eq = IndexSpec::equality();
    SharedKeyIndex index;
    Memory<TupleId> lefts(eq);
    Memory<FactId> rights(eq), twin(eq);
    lefts.share_index(&index);
    rights.share_index(&index);
    const std::vector<int64_t> odd = {k2p53, k2p53 + 1, int64_t{1} << 61, INT64_MIN};
    auto some_int = [&] { return rng() % 4 == 0 ? odd[rng() % odd.size()] : static_cast<int64_t>(rng() % 12); };
    auto some_key = [&] {
        const uint32_t r = rng() % 6;
        return r == 0 ? key({F(3.0)}) : r == 1 ? key({S("k")}) : r == 2 ? Key(std::nullopt) : key({I(some_int())});
    };
    for (int step = 0; step < 4000; ++step) {
        const FactId f = rng() % 40;
        const uint32_t what = rng() % 5;
        if (what == 0) {
            lefts.push_back(TupleId(f), some_key());
        } else if (what == 1 && (!rights.find_first(f) || rng() % 4 == 0)) {
            const Key k = some_key();
            rights.push_back(f, k);
            twin.push_back(f, k);
        } else if (what == 2) {
            lefts.remove_first(TupleId(f));
            ASSERT_EQ(rights.remove_first(f), twin.remove_first(f));
        } else {
            const auto held = twin.find_first(f);
            int64_t v = some_int();
            if (held && held->key && held->key.size() == 1 && held->key[0].tag == ValueTag::I64 && rng() % 2 == 0) {
                v = held->key[0].as_i64();
            }
            ASSERT_EQ(rights.rekey_to_back_int(f, v), twin.rekey_to_back(f, key({I(v)}))) << step;
        }
        ASSERT_EQ(rights.items(), twin.items()) << step;
        for (auto p = rights.first_pos(), q = twin.first_pos(); p != rights.npos; p = rights.next_pos(p), q = twin.next_pos(q)) {
            ASSERT_EQ(debug_key(rights.at(p).key), debug_key(twin.at(q).key)) << step;
        }
        const auto e = rights.find_first(f);
        std::vector<TupleId> got{TupleId(99)}, want{TupleId(99)};
        bool equal = false, exact = false, want_equal = true;
        ASSERT_EQ(rights.stored_key_matching(f, lefts, got, &equal, &exact), e.has_value()) << step;
        if (e) lefts.matching(e->key, want, &want_equal);
        ASSERT_EQ(got, want) << step;
        ASSERT_EQ(equal, want_equal) << step;
        ASSERT_EQ(exact, e && e->key && key_equality_is_exact(e->key)) << step;
    }
    rights.verify();
}

// A batch announced to a memory (expect_pushes) grows the shared index at
// most eightfold when it has to grow, for the pushes still to come: the
// index ends exactly as large as that rule makes it, push by push, whether
// the batch's keys are all new or repeat, and pushes outside a batch double it.
TEST(NodeMemory, AnnouncedBatchesGrowTheSharedIndexByTheirPushesStillToCome) {
    std::mt19937 rng(43);
    const IndexSpec eq = IndexSpec::equality();
    std::vector<TupleId> lout;
    std::vector<FactId> rout;
    for (int trial = 0; trial < 300; ++trial) {
        SharedKeyIndex index;
        Memory<TupleId> lefts(eq);
        Memory<FactId> rights(eq);
        lefts.share_index(&index);
        rights.share_index(&index);
        detail::OpenTable<uint64_t, int, ClassHashBlocks> model;
        for (int batch = 0; batch < 3; ++batch) {
            const size_t n = 1 + rng() % (rng() % 4 == 0 ? 2000 : 100);
            const size_t distinct = 1 + rng() % n;
            const bool left = rng() % 2 == 0;
            const int64_t base = static_cast<int64_t>(rng() % 100000);
            size_t model_left = rng() % 5 == 0 ? 0 : n;
            if (left) {
                lefts.expect_pushes(model_left);
            } else {
                rights.expect_pushes(model_left);
            }
            for (size_t i = 0; i < n; ++i) {
                const int64_t v = base + static_cast<int64_t>(rng() % distinct);
                const uint64_t h = int_key_class_hash(v);
                lout.clear();
                rout.clear();
                const uint32_t item = static_cast<uint32_t>(batch * 4000 + i);
                if (left) {
                    lefts.push_back_matching_int(TupleId(item), v, h, lefts.prefetch_class(h), rights, rout, nullptr);
                } else {
                    rights.push_back_matching_int(FactId(item), v, h, rights.prefetch_class(h), lefts, lout, nullptr);
                }
                if (model_left != 0) model.grow_ahead(model_left--, 8);
                model.try_emplace(h);
                ASSERT_EQ(index.capacity(), model.capacity()) << trial << " " << batch << " " << i;
            }
            lefts.expect_pushes(0);
            rights.expect_pushes(0);
            ASSERT_EQ(index.size(), model.size()) << trial;
        }
        lefts.verify();
        rights.verify();
    }
}

// The arrival numbers running out part way through an announced batch
// leave the pushes it still expects as they were: the index grows as the
// rule of an uninterrupted batch makes it, push by push, across the renumbering.
TEST(NodeMemory, AnAnnouncedBatchKeepsItsCountAcrossARenumbering) {
    for (size_t n : {9, 12, 40, 300}) {
        SharedKeyIndex index;
        Memory<TupleId> lefts(IndexSpec::equality());
        Memory<FactId> rights(IndexSpec::equality());
        lefts.share_index(&index);
        rights.share_index(&index);
        detail::OpenTable<uint64_t, int, ClassHashBlocks> model;
        std::vector<FactId> out;
        // The third push takes the last number; the fourth renumbers.
        lefts.skip_arrival_numbers(UINT32_MAX - 4);
        lefts.expect_pushes(n);
        for (size_t i = 0; i < n; ++i) {
            const auto v = static_cast<int64_t>(i);
            const uint64_t h = int_key_class_hash(v);
            lefts.push_back_matching_int(TupleId(static_cast<uint32_t>(i)), v, h, lefts.prefetch_class(h), rights, out,
                                         nullptr);
            model.grow_ahead(n - i, 8);
            model.try_emplace(h);
            ASSERT_EQ(index.capacity(), model.capacity()) << n << " " << i;
        }
        lefts.verify();
        EXPECT_LT(lefts.order_of(lefts.last_pos()), 400u);
    }
}

// Plain pushes run across the arena's chunks (2048 slots) in a memory and
// in a copy made part way through one.
TEST(NodeMemory, PlainPushesCrossTheArenasChunksInAMemoryAndInItsCopy) {
    Memory<FactId> m(IndexSpec::equality());
    for (FactId f = 0; f < 3000; ++f) m.push_back(f, key({I(f % 5)}));
    Memory<FactId> copy = m;
    for (FactId f = 3000; f < 4500; ++f) {
        m.push_back(f, key({I(f % 5)}));
        copy.push_back(f + 5000, key({I(f % 5)}));
    }
    m.verify();
    copy.verify();
    Facts want(4500);
    std::iota(want.begin(), want.end(), FactId{0});
    EXPECT_EQ(m.items(), want);
    for (FactId& f : want) f += f >= 3000 ? 5000 : 0;
    EXPECT_EQ(copy.items(), want);
}

TEST(NodeMemory, RunningOutOfArrivalNumbersRenumbersInMemoryOrder) {
    for (IndexSpec op : {IndexSpec::equality(), IndexSpec::range(CmpOp::Lt), IndexSpec::none()}) {
        Memory<FactId> m(op);
        for (FactId f = 0; f < 6; ++f) m.push_back(f, key({I(f % 3)}));
        m.move_to_back(1);
        m.skip_arrival_numbers(UINT32_MAX);
        for (FactId f = 6; f < 9; ++f) m.push_back(f, key({I(f % 3)}));
        m.remove_first(4);
        m.move_to_back(0);
        m.verify();
        EXPECT_EQ(m.items(), (Facts{2, 3, 5, 1, 6, 7, 8, 0}));
        std::vector<uint64_t> orders;
        for (auto p = m.first_pos(); p != Memory<FactId>::npos; p = m.next_pos(p)) orders.push_back(m.order_of(p));
        EXPECT_TRUE(std::is_sorted(orders.begin(), orders.end()));
        EXPECT_LT(orders.back(), 100u);
        if (op == IndexSpec::equality()) {
            EXPECT_EQ(m.matching(key({I(0)})), (Facts{3, 6, 0}));
        }
        if (op == IndexSpec::range(CmpOp::Lt)) {
            Facts above;
            m.in_range(I(0), CmpOp::Lt, above);  // 0 < k: ascending by k, ties in memory order
            EXPECT_EQ(above, (Facts{1, 7, 2, 5, 8}));
        }
    }
}

// A push takes the position the last removal freed, a new one only when
// none is free, and numbers its entry above every earlier one (verify), also
// across the last arrival numbers before a renumbering.
TEST(NodeMemory, PushesReuseFreedPositionsAndNumberUpToTheLastNumber) {
    Memory<FactId> m(IndexSpec::equality());
    for (FactId f = 0; f < 8; ++f) m.push_back(f, key({I(f % 3)}));
    const std::vector<Memory<FactId>::Pos> taken{m.pos_of(5), m.pos_of(2), 8};
    m.remove_first(2);
    m.remove_first(5);
    for (FactId f = 10; f < 13; ++f) m.push_back(f, key({I(f % 3)}));
    EXPECT_EQ((std::vector{m.pos_of(10), m.pos_of(11), m.pos_of(12)}), taken);
    // Three numbers short of the last one: the pushes after them renumber.
    m.skip_arrival_numbers(UINT32_MAX - 4 - static_cast<uint32_t>(m.order_of(m.last_pos())));
    for (FactId f = 13; f < 19; ++f) m.push_back(f, key({I(f % 3)}));
    m.verify();
    EXPECT_EQ(m.matching(key({I(1)})), (Facts{1, 4, 7, 10, 13, 16}));
}

TEST(IndexSpec, DumpsPrintOneNumberPerKindAndOperator) {
    EXPECT_EQ(IndexSpec().code(), 6);
    EXPECT_EQ(IndexSpec::equality().code(), 7);
    const std::pair<CmpOp, uint8_t> ops[] = {{CmpOp::Eq, 0}, {CmpOp::Ne, 1}, {CmpOp::Lt, 2},
                                              {CmpOp::Le, 3}, {CmpOp::Gt, 4}, {CmpOp::Ge, 5}};
    for (auto [op, code] : ops) {
        EXPECT_EQ(IndexSpec::range(op).code(), code);
        EXPECT_EQ(IndexSpec::range(op).op(), op);
    }
    // A range index with the operator Eq is still a range index.
    EXPECT_NE(IndexSpec::range(CmpOp::Eq), IndexSpec::equality());
}

TEST(StagedFlag, TraceLinesPrintEachFlagAsItsNumber) {
    const std::pair<StagedFlag, const char*> flags[] = {
        {Insert, "(FactId(1), Some(4), 0)"}, {RightInsert, "(FactId(1), Some(4), 1)"},
        {Change, "(FactId(1), Some(4), 2)"}, {UnlinkedArrival, "(FactId(1), Some(4), 4)"}};
    for (auto [flag, text] : flags) EXPECT_EQ(debug(RE{1, 4, flag}), text);
}

TEST(NodeDispatch, EngineSideKindsStopWithTheirInvariantTexts) {
    const std::string prefix = "internal error: entered unreachable code: ";
    const std::vector<std::pair<Kind, std::string>> cases = {
        {Kind::Acc, "accumulate nodes evaluate engine-side"},
        {Kind::Query, "?query CE nodes evaluate engine-side (D-056)"},
        {Kind::SubnetNot, "subnetwork CE nodes evaluate engine-side (D-089)"},
        {Kind::SubnetExists, "subnetwork CE nodes evaluate engine-side (D-089)"},
    };
    for (const auto& [kind, text] : cases) {
        Rig rig(kind);
        try {
            rig.run();
            ADD_FAILURE() << kind_name(kind);
        } catch (const InternalError& e) {
            EXPECT_EQ(e.what(), prefix + text);
        }
    }
}

TEST(NetworkSwitches, TraceAndTailReadTheEnvironmentExactly) {
    ScriptedEnv env;
    EXPECT_FALSE(tracing_on(env));
    env.vars["QUARN_TRACE"] = "";
    EXPECT_TRUE(tracing_on(env));
    EntryList<FactId> ins;
    for (FactId f : {1u, 2u, 3u}) ins.push_front({f, std::nullopt, Insert});
    for (const char* v : {"Tail", "tail ", "TAIL", "", "tail"}) {
        env.vars["QUARN_JSR"] = v;
        EXPECT_EQ(sr_ins_iter(env, ins).front().item, std::string(v) == "tail" ? 1u : 3u) << v;
    }
}

// A batch numbered while it is walked newest first gets the numbers a pass
// over it oldest first gives: a tuple by its oldest entry, repeats and
// tuples numbered by earlier batches keeping theirs, the numbers after the
// batch following on without a gap. The notes come newest first, as a walk
// makes them, or in any order.
TEST(NodeLeftSeq, ABatchNumberedNewestFirstGetsTheNumbersOfAnOldestFirstPass) {
    std::mt19937 rng(11);
    Node walked = Node::new_ex(IndexSpec::equality(), Kind::Join, false);
    Node passed = Node::new_ex(IndexSpec::equality(), Kind::Join, false);
    size_t gaps = 0;
    for (uint32_t round = 0; round < 300; ++round) {
        // Ids about a moving frontier: some numbered already, some new, some twice.
        EntryList<TupleId> batch;
        const size_t n = 1 + rng() % 40;
        for (size_t k = 0; k < n; ++k) batch.push_front({TupleId(round * 4 + rng() % 30), std::nullopt, Insert});
        for (const auto& e : batch.oldest_first()) passed.record_left_seq(e.item);
        std::vector<std::pair<TupleId, size_t>> notes;
        for (const auto& e : batch) notes.emplace_back(e.item, notes.size());
        if (round % 2 == 1) std::shuffle(notes.begin(), notes.end(), rng);
        ASSERT_TRUE(walked.begin_left_seqs(batch.size()));
        for (const auto& [t, k] : notes) walked.note_left_seq(t, k);
        walked.end_left_seqs(batch.oldest_first());
        std::set<TupleId> seen;
        for (const auto& e : batch) gaps += !seen.insert(e.item).second;
        for (uint32_t t = 0; t < round * 4 + 30; ++t) {
            ASSERT_EQ(walked.left_seq(TupleId(t)), passed.left_seq(TupleId(t))) << round << " " << t;
        }
    }
    EXPECT_GT(gaps, 300u);  // repeats were met, not only fresh batches
}
