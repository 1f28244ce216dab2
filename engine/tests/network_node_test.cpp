#include <gtest/gtest.h>

#include <random>

#include "network_scripted_env.h"
#include "store/debug_form.h"
#include "store/internal_error.h"

using namespace quarn;
using namespace quarn::testing;

namespace {

Value I(int64_t v) { return Value::i64(v); }
Value F(double v) { return Value::f64(v); }
Value D(i128 u, uint8_t s) { return Value::dec(u, s); }
Value S(const char* v) { return Value::str(v); }

Key key(std::vector<Value> v) { return Key(std::move(v)); }

}  // namespace

TEST(KeysMatch, FollowsTheNetworkKeyEquality) {
    struct Case {
        std::vector<Value> stored, probe;
        bool match;
    };
    const double nan = std::nan("");
    const std::vector<Case> cases = {
        {{Value::null()}, {Value::null()}, false},
        {{}, {}, true},
        {{I(2)}, {D(200, 2)}, true},
        {{D(200, 2)}, {I(2)}, true},
        {{D(25, 1)}, {I(2)}, false},
        {{D(150, 2)}, {D(15, 1)}, true},
        {{I(3)}, {F(3.7)}, true},
        {{F(3.7)}, {I(3)}, true},  // the same rule whichever side is stored
        {{I(-3)}, {F(-3.9)}, true},
        {{I(4)}, {F(3.99)}, false},
        {{I(0)}, {F(nan)}, true},  // NaN truncates to 0
        {{F(nan)}, {F(nan)}, false},
        {{I(INT64_MAX)}, {F(1e30)}, true},
        {{I((int64_t{1} << 53) + 1)}, {F(9007199254740992.0)}, true},  // equal as doubles
        {{F(9007199254740992.0)}, {I((int64_t{1} << 53) + 1)}, true},
        {{F(3.7)}, {F(3.2)}, false},
        {{F(-0.0)}, {F(0.0)}, true},
        {{F(2.0)}, {D(2, 0)}, false},
        {{S("1")}, {I(1)}, false},
        {{S("a")}, {S("a")}, true},
        {{Value::boolean(true)}, {Value::boolean(false)}, false},
        {{I(1), S("x")}, {I(1), S("x")}, true},
        {{I(1), S("x")}, {I(1), S("y")}, false},
        {{I(1)}, {I(1), I(1)}, false},
    };
    for (size_t k = 0; k < cases.size(); ++k) {
        EXPECT_EQ(keys_match(cases[k].stored, cases[k].probe), cases[k].match) << "case " << k;
    }
}

TEST(NodeScan, EqualityIndexReachesMatchingKeysInMemoryOrder) {
    Node n = Node::new_ex(kEqualityIndex, Kind::Join, false);
    n.lefts.push_back({1}, key({I(3)}));
    n.lefts.push_back({2}, key({F(3.7)}));
    n.lefts.push_back({3}, std::nullopt);
    n.lefts.push_back({4}, key({I(4)}));
    n.lefts.push_back({5}, key({D(300, 2)}));
    n.lefts.push_back({6}, key({Value::null()}));
    EXPECT_EQ(n.scan_lefts(key({I(3)})), (std::vector<Tuple>{{1}, {2}, {5}}));
    EXPECT_EQ(n.scan_lefts(key({F(3.7)})), (std::vector<Tuple>{{1}, {2}}));
    EXPECT_EQ(n.scan_lefts(std::nullopt), (std::vector<Tuple>{}));
    EXPECT_EQ(n.scan_lefts(key({Value::null()})), (std::vector<Tuple>{}));
    n.lefts.push_back({7}, key({I((int64_t{1} << 53) + 1)}));
    n.lefts.push_back({8}, key({D((i128{1} << 53) + 1, 0)}));
    EXPECT_EQ(n.scan_lefts(key({F(9007199254740992.0)})), (std::vector<Tuple>{{7}}));
    EXPECT_EQ(n.scan_lefts(key({I((int64_t{1} << 53) + 1)})), (std::vector<Tuple>{{7}, {8}}));
    n.remove_left({7});
    n.remove_left({8});
    n.remove_left({1});
    n.lefts.push_back({1}, key({I(3)}));
    EXPECT_EQ(n.scan_lefts(key({I(3)})), (std::vector<Tuple>{{2}, {5}, {1}}));
}

TEST(NodeScan, LeftRangeScanReachesBoundsTheProbeStandsInRelationTo) {
    // Stored lefts hold bounds k; a right fact's field p reaches them when `p op k`.
    struct Case {
        CmpOp op;
        Value probe;
        std::vector<Tuple> reached;
    };
    const std::vector<Case> cases = {
        {CmpOp::Gt, I(5), {{2}, {4}, {3}, {1}}},  // 4, 4, 3, 1: ties in memory order
        {CmpOp::Lt, I(0), {{1}, {3}, {2}, {4}}},  // 1, 3, 4, 4
        {CmpOp::Ge, I(4), {{2}, {4}, {3}, {1}}},
        {CmpOp::Le, I(3), {{3}, {2}, {4}}},
        {CmpOp::Eq, I(4), {{2}, {4}}},
        {CmpOp::Ne, I(4), {{1}, {3}}},
        {CmpOp::Gt, F(3.5), {{3}, {1}}},  // compared as doubles: 3.5 > 3
        {CmpOp::Gt, S("x"), {}},
    };
    for (const Case& c : cases) {
        Node n = Node::new_ex(static_cast<uint8_t>(c.op), Kind::Not, false);
        n.lefts.push_back({1}, key({I(1)}));
        n.lefts.push_back({2}, key({I(4)}));
        n.lefts.push_back({3}, key({I(3)}));
        n.lefts.push_back({4}, key({I(4)}));
        n.lefts.push_back({5}, std::nullopt);
        EXPECT_EQ(n.scan_lefts(key({c.probe})), c.reached) << debug(c.op) << " " << debug(c.probe);
    }
}

TEST(NodeScan, RightRangeScanReachesFieldsThatStandInRelationToTheBoundNearestFirst) {
    // Stored rights hold fields k; a tuple's bound p reaches them when `k op p`.
    struct Case {
        CmpOp op;
        Value probe;
        std::vector<FactId> reached;
    };
    const std::vector<Case> cases = {
        {CmpOp::Gt, I(2), {3, 2, 4}},       // 3, 4, 4
        {CmpOp::Ge, I(3), {3, 2, 4}},
        {CmpOp::Lt, I(4), {3, 5, 1}},       // 3, 2, 1
        {CmpOp::Le, I(2), {5, 1}},
        {CmpOp::Gt, F(5.5), {}},            // no truncation: 4 > 5.5 fails
        {CmpOp::Gt, F(3.5), {2, 4}},
        {CmpOp::Lt, F(1.5), {1}},
    };
    for (const Case& c : cases) {
        Node n = Node::new_ex(static_cast<uint8_t>(c.op), Kind::Exists, false);
        n.rights.push_back(1, key({I(1)}));
        n.rights.push_back(2, key({I(4)}));
        n.rights.push_back(3, key({I(3)}));
        n.rights.push_back(4, key({I(4)}));
        n.rights.push_back(5, key({I(2)}));
        EXPECT_EQ(n.scan_rights(key({c.probe})), c.reached) << debug(c.op) << " " << debug(c.probe);
    }
}

TEST(NodeScan, IntegerFieldAgainstFractionalBoundIsComparedAsDoubles) {
    Node n = Node::new_ex(static_cast<uint8_t>(CmpOp::Gt), Kind::Not, false);
    n.rights.push_back(1, key({I(5)}));
    n.rights.push_back(2, key({I(6)}));
    EXPECT_EQ(n.scan_rights(key({F(5.5)})), (std::vector<FactId>{2}));
    EXPECT_EQ(n.scan_rights(key({F(4.5)})), (std::vector<FactId>{1, 2}));
}

TEST(NodeScan, RangeScanWithoutProbeReachesNothingAndNoIndexReachesAll) {
    Node range = Node::new_ex(static_cast<uint8_t>(CmpOp::Lt), Kind::Not, false);
    range.rights.push_back(1, key({I(1)}));
    EXPECT_TRUE(range.scan_rights(std::nullopt).empty());
    EXPECT_TRUE(range.scan_rights(key({})).empty());
    Node none = Node::new_ex(kNoIndex, Kind::Not, false);
    none.rights.push_back(2, key({I(1)}));
    none.rights.push_back(1, std::nullopt);
    EXPECT_EQ(none.scan_rights(std::nullopt), (std::vector<FactId>{2, 1}));
    EXPECT_EQ(none.scan_rights(key({S("anything")})), (std::vector<FactId>{2, 1}));
}

TEST(NodeScan, TemporalNodeNeverFiltersByItsTimestampKeys) {
    Node n = Node::new_ex(kEqualityIndex, Kind::Not, true);
    EXPECT_EQ(n.probe_op(), kNoIndex);
    n.rights.push_back(1, key({I(1000)}));
    n.rights.push_back(2, key({I(6000)}));
    EXPECT_EQ(n.scan_rights(key({I(1000)})), (std::vector<FactId>{1, 2}));
    EXPECT_EQ(n.index_op, kEqualityIndex);
}

TEST(NodeScan, CollectMatchingTakesEverythingWithoutAKey) {
    Node n = Node::new_ex(kEqualityIndex, Kind::Acc, false);
    n.rights.push_back(1, key({I(1)}));
    n.rights.push_back(2, key({I(2)}));
    n.rights.push_back(3, key({I(1)}));
    EXPECT_EQ(n.collect_matching_rights(std::nullopt), (std::vector<FactId>{1, 2, 3}));
    EXPECT_EQ(n.collect_matching_rights(key({I(1)})), (std::vector<FactId>{1, 3}));
    Node plain = Node::new_ex(kNoIndex, Kind::Acc, false);
    plain.lefts.push_back({1}, key({S("a")}));
    plain.lefts.push_back({2}, key({S("b")}));
    EXPECT_EQ(plain.collect_matching_lefts(key({S("b")})), (std::vector<Tuple>{{2}}));
}

TEST(NodeMemory, StaysInArrivalOrderThroughChurnAndCompaction) {
    // A memory against a plain vector model, through enough removals to
    // compact it several times.
    std::mt19937 rng(7);
    for (uint8_t op : {uint8_t{kEqualityIndex}, uint8_t{kNoIndex}, uint8_t{2}}) {
        Memory<FactId> m(op);
        std::vector<std::pair<FactId, int64_t>> model;
        for (int step = 0; step < 4000; ++step) {
            FactId f = rng() % 200;
            int64_t kv = static_cast<int64_t>(rng() % 7);
            int what = static_cast<int>(rng() % 3);
            if (what == 0) {
                m.push_back(f, key({I(kv)}));
                model.emplace_back(f, kv);
            } else if (what == 1) {
                auto it = std::find_if(model.begin(), model.end(), [&](auto& e) { return e.first == f; });
                EXPECT_EQ(m.remove_first(f), it != model.end());
                if (it != model.end()) model.erase(it);
            } else {
                auto it = std::find_if(model.begin(), model.end(), [&](auto& e) { return e.first == f; });
                EXPECT_EQ(m.move_to_back(f), it != model.end());
                if (it != model.end()) {
                    auto e = *it;
                    model.erase(it);
                    model.push_back(e);
                }
            }
        }
        std::vector<FactId> order;
        for (auto& e : model) order.push_back(e.first);
        ASSERT_EQ(m.items(), order);
        std::vector<FactId> threes;
        for (auto& e : model) {
            if (e.second == 3) threes.push_back(e.first);
        }
        EXPECT_EQ(m.matching({I(3)}), threes);
        if (op == 2) {  // Lt: p < k, ascending
            std::vector<std::pair<int64_t, size_t>> above;
            for (size_t k = 0; k < model.size(); ++k) {
                if (model[k].second > 3) above.emplace_back(model[k].second, k);
            }
            std::sort(above.begin(), above.end());
            std::vector<FactId> want;
            for (auto& a : above) want.push_back(model[a.second].first);
            EXPECT_EQ(m.in_range(I(3), CmpOp::Lt), want);
        }
    }
}

TEST(NodeMemory, PositionsWalkBothWays) {
    Memory<FactId> m;
    for (FactId f : {1u, 2u, 3u, 4u}) m.push_back(f, std::nullopt);
    m.remove_first(3);
    auto p = m.pos_of(2);
    ASSERT_NE(p, Memory<FactId>::npos);
    EXPECT_EQ(m.at(m.next_pos(p)).item, 4u);
    EXPECT_EQ(m.at(m.prev_pos(p)).item, 1u);
    EXPECT_EQ(m.prev_pos(m.first_pos()), Memory<FactId>::npos);
    EXPECT_EQ(m.next_pos(m.last_pos()), Memory<FactId>::npos);
    EXPECT_EQ(m.pos_of(3), Memory<FactId>::npos);
}

TEST(NodeSeq, NeverStoredTupleHasSequenceZero) {
    Node n = Node::new_ex(kNoIndex, Kind::Join, false);
    EXPECT_EQ(n.left_seq({1}), 0u);
    n.record_left_seq({1});
    n.record_left_seq({2});
    n.record_left_seq({1});
    EXPECT_EQ(n.left_seq({1}), 1u);
    EXPECT_EQ(n.left_seq({2}), 2u);
    EXPECT_EQ(n.next_seq, 3u);
}

TEST(NodeChildren, AnchorsPlaceNewPositionsBeforeTheirAnchor) {
    Node n = Node::new_ex(kNoIndex, Kind::Join, false);
    EXPECT_EQ(n.create_child({1}, 10, std::nullopt, std::nullopt), (Tuple{1, 10}));
    n.create_child({1}, 11, std::nullopt, std::nullopt);
    EXPECT_EQ(n.children_of_left.at({1}), (std::vector<size_t>{0, 1}));
    n.create_child({1}, 12, 0, std::nullopt);
    EXPECT_EQ(n.children_of_left.at({1}), (std::vector<size_t>{2, 0, 1}));
    n.create_child({2}, 10, 99, 0);  // an anchor not in the list appends
    EXPECT_EQ(n.by_right.at(10), (std::vector<size_t>{3, 0}));
    EXPECT_EQ(n.children_of_left.at({2}), (std::vector<size_t>{3}));
    EXPECT_EQ(n.children[3].parent, (Tuple{2}));
    EXPECT_EQ(n.children[3].right, std::optional<FactId>(10));
    EXPECT_EQ(n.child_index.at({1, 12}), 2u);
}

TEST(NodeDispatch, EngineSideKindsStopWithTheirInvariantTexts) {
    struct Case {
        Kind kind;
        const char* text;
    };
    const std::vector<Case> cases = {
        {Kind::Acc, "internal error: entered unreachable code: accumulate nodes evaluate engine-side"},
        {Kind::Query, "internal error: entered unreachable code: ?query CE nodes evaluate engine-side (D-056)"},
        {Kind::SubnetNot, "internal error: entered unreachable code: subnetwork CE nodes evaluate engine-side (D-089)"},
        {Kind::SubnetExists,
         "internal error: entered unreachable code: subnetwork CE nodes evaluate engine-side (D-089)"},
    };
    for (const Case& c : cases) {
        ScriptedEnv env;
        Node n = Node::new_ex(kNoIndex, c.kind, false);
        Staged<Tuple> pending;
        Out out(pending);
        try {
            do_node(env, 0, n, {}, {}, out);
            ADD_FAILURE() << kind_name(c.kind);
        } catch (const InternalError& e) {
            EXPECT_STREQ(e.what(), c.text);
        }
    }
}

TEST(NetworkSwitches, TraceAndTailReadTheEnvironmentExactly) {
    ScriptedEnv env;
    EXPECT_FALSE(tracing_on(env));
    env.vars["QUARN_TRACE"] = "";
    EXPECT_TRUE(tracing_on(env));
    for (const char* v : {"Tail", "tail ", "TAIL", ""}) {
        env.vars["QUARN_JSR"] = v;
        EXPECT_FALSE(right_inserts_tail_first(env)) << v;
    }
    env.vars["QUARN_JSR"] = "tail";
    EXPECT_TRUE(right_inserts_tail_first(env));
    EntryList<FactId> ins;
    for (FactId f : {1u, 2u, 3u}) ins.push_front({f, std::nullopt, 0});
    auto tail = sr_ins_iter(env, ins);
    EXPECT_EQ(tail.front().item, 1u);
    env.vars.erase("QUARN_JSR");
    EXPECT_EQ(sr_ins_iter(env, ins).front().item, 3u);
}
