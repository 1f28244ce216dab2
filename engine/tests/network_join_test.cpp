#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>

#include "network/walk_ahead.h"
#include "network_scripted_env.h"

using namespace quarn;
using namespace quarn::testing;

namespace {

size_t times_tested(const Rig& j, const Pair& p) {
    return static_cast<size_t>(std::count(j.env.tested.begin(), j.env.tested.end(), p));
}

}  // namespace

TEST(JoinNode, DeletesRemoveEveryAliveChildOnceInListOrder) {
    Rig j;
    j.run(lb({{{1}, 1, Insert}, {{2}, 2, Insert}}), rb({{10, 3, Insert}, {11, 4, Insert}}));
    // Right inserts join newest first (11 before 10); left inserts are stored newest first.
    Staged<Tuple> out = j.run({}, rb({}, {}, {{10, 7, Insert}}));
    EXPECT_EQ(staged_order(out.del), (TEs{{{2, 10}, 7, Insert}, {{1, 10}, 7, Insert}}));
    EXPECT_FALSE(j.node.child_position(j.env.table, j.id({1, 10})));
    EXPECT_EQ(j.node.child_position(j.env.table, j.id({2, 11})), 0u);
    EXPECT_TRUE(j.run({}, rb({}, {}, {{10, 8, Insert}})).del.empty());
    out = j.run(lb({}, {}, {{{1}, 9, Insert}}));
    EXPECT_EQ(staged_order(out.del), (TEs{{{1, 11}, 9, Insert}}));
    EXPECT_EQ(j.lefts(), (Tuples{{2}}));
    EXPECT_EQ(j.rights(), (Facts{11}));

    // A child whose insert is still pending at the child is cancelled instead.
    j.pending = j.run(lb({{{3}, 1, Insert}}));
    out = j.run({}, rb({}, {}, {{11, 5, Insert}}));
    EXPECT_EQ(staged_order(out.cancelled), (TEs{{{3, 11}, 5, Insert}}));
    EXPECT_EQ(staged_order(out.del), (TEs{{{2, 11}, 5, Insert}}));
    EXPECT_TRUE(j.pending.ins.empty());
}

TEST(JoinNode, UpdateReEmitsKeptChildrenInMemoryOrderAndCreatesNewOnesInPlace) {
    // One side's entry x (fact 10 or tuple [1]) has partners a, b, c, d on the
    // other side; the pairs with a, c, d pass, then a, b, c.
    for (bool right : {true, false}) {
        Rig j;
        const Tuples lefts = right ? Tuples{{1}, {2}, {3}, {4}} : Tuples{{1}};
        const Facts facts = right ? Facts{10} : Facts{10, 11, 12, 13};
        auto pair = [&](size_t k) { return right ? Pair{lefts[k], 10} : Pair{{1}, facts[k]}; };
        auto child = [&](size_t k) { Tuple c = pair(k).first; c.push_back(pair(k).second); return c; };
        j.store(right ? Facts{} : facts, right ? lefts : Tuples{});
        j.env.allow_only({pair(0), pair(2), pair(3)});
        right ? j.run({}, rb({{10, 1, Insert}})) : j.run(lb({{{1}, 1, Insert}}));
        size_t before = j.node.child_count();
        j.env.allow_only({pair(0), pair(1), pair(2)});
        Staged<Tuple> out = right ? j.run({}, rb({}, {{10, 5, Change}})) : j.run(lb({}, {{{1}, 5, Change}}));
        EXPECT_EQ(staged_order(out.ins), (TEs{{child(1), 5, Change}}));
        EXPECT_EQ(staged_order(out.upd), (TEs{{child(0), 5, Change}, {child(2), 5, Change}}));
        EXPECT_EQ(staged_order(out.del), (TEs{{child(3), 5, Insert}}));
        EXPECT_EQ(j.node.child_count(), before + 1);
        EXPECT_EQ(right ? j.alive_by_right(10) : j.alive_of_left({1}), (Tuples{child(0), child(1), child(2)}));
    }
}

TEST(JoinNode, UpdatesMoveEntriesToTheEndAndChildrenListsFollow) {
    Rig j;
    j.env.allow = [](const Tuple& t, FactId) { return t[0] != 9; };
    j.run(lb({{{1}, 1, Insert}, {{2}, 2, Insert}}), rb({{10, 3, Insert}, {11, 4, Insert}}));
    // A pair changed on both sides is staged once, by the left update.
    Staged<Tuple> out = j.run(lb({}, {{{2}, 5, Change}, {{9}, 5, Change}}), rb({}, {{11, 6, Change}, {99, 6, Change}}));
    EXPECT_EQ(times_tested(j, {{2}, 11}), 1u);
    EXPECT_EQ(staged_order(out.upd), (TEs{{{1, 11}, 6, Change}, {{2, 10}, 5, Change}, {{2, 11}, 5, Change}}));
    // A left update is appended even when it was not held; a right update only when held.
    EXPECT_EQ(j.lefts(), (Tuples{{1}, {9}, {2}}));
    EXPECT_EQ(j.rights(), (Facts{10, 11}));
    EXPECT_EQ(j.alive_by_right(10), (Tuples{{1, 10}, {2, 10}}));
    out = j.run({}, rb({}, {{10, 7, Change}}));
    EXPECT_EQ(staged_order(out.upd), (TEs{{{1, 10}, 7, Change}, {{2, 10}, 7, Change}}));
    EXPECT_EQ(j.rights(), (Facts{11, 10}));
    out = j.run(lb({}, {{{1}, 8, Change}}));
    EXPECT_EQ(staged_order(out.upd), (TEs{{{1, 11}, 8, Change}, {{1, 10}, 8, Change}}));
}

TEST(JoinNode, UpdatesAfterLateAndSameBatchInsertsReachEveryChildOnce) {
    // Late inserts make children newest left first and same-batch temporal
    // inserts self first: against memory order. Update walks must still meet
    // every child exactly once.
    Rig late;
    late.store({}, {{1}, {2}, {3}});
    late.run({}, rb({{10, 1, RightInsert}}));
    Staged<Tuple> out = late.run({}, rb({}, {{10, 2, Change}}));
    EXPECT_TRUE(out.ins.empty());
    EXPECT_EQ(staged_order(out.upd), (TEs{{{1, 10}, 2, Change}, {{2, 10}, 2, Change}, {{3, 10}, 2, Change}}));

    Rig same(Kind::Join, IndexSpec::none(), true);
    same.run(lb({{{1}, 1, Insert}, {{2}, 2, Insert}}), rb({{1, 3, Insert}, {2, 4, Insert}}));
    same.env.allow_only({});
    out = same.run(lb({}, {{{2}, 5, Change}}));
    EXPECT_EQ(items_of(out.del), (Tuples{{2, 2}, {2, 1}}));
    EXPECT_TRUE(same.alive_of_left({2}).empty());
}

TEST(JoinNode, ARightUpdateSkipsTheTestOnlyWhereItsStoredKeyIsEqualAndExact) {
    // Where keys decide, fact 10's integer key joins its partner untested;
    // fact 11's float key, equal but not exact, is tested.
    Rig j(Kind::Join, IndexSpec::equality());
    j.env.keys_decide = true;
    j.env.key_on_values({{1, Value::i64(4)}, {2, Value::f64(2.5)}, {10, Value::i64(4)}, {11, Value::f64(2.5)}});
    j.run(lb({{{1}, 1, Insert}, {{2}, 2, Insert}}), rb({{10, 3, Insert}, {11, 4, Insert}}));
    Staged<Tuple> out = j.run({}, rb({}, {{10, 5, Change}, {11, 6, Change}}));
    EXPECT_EQ(staged_order(out.upd), (TEs{{{2, 11}, 6, Change}, {{1, 10}, 5, Change}}));
    EXPECT_EQ(j.env.tested, (Pairs{{{2}, 11}}));
}

TEST(JoinNode, ALeftUpdateSkipsTheTestOnlyWhereItsStoredKeyIsEqualAndExact) {
    // The left-hand twin of the test above: tuple [1]'s integer key joins
    // untested, [2]'s float key is tested; neither child leaves.
    Rig j(Kind::Join, IndexSpec::equality());
    j.env.keys_decide = true;
    j.env.key_on_values({{1, Value::i64(4)}, {2, Value::f64(2.5)}, {10, Value::i64(4)}, {11, Value::f64(2.5)}});
    j.run(lb({{{1}, 1, Insert}, {{2}, 2, Insert}}), rb({{10, 3, Insert}, {11, 4, Insert}}));
    j.env.tested.clear();
    Staged<Tuple> out = j.run(lb({}, {{{1}, 5, Change}, {{2}, 6, Change}}));
    EXPECT_EQ(staged_order(out.upd), (TEs{{{2, 11}, 6, Change}, {{1, 10}, 5, Change}}));
    EXPECT_TRUE(out.del.empty());
    EXPECT_EQ(j.env.tested, (Pairs{{{2}, 11}}));
}

TEST(JoinNode, ALeftUpdateKeepsTheChildrenOfALongBucketAndComesInRightMemoryOrder) {
    // Tuple [1] joins 20 facts of its key, more than a bucket searched per
    // child: kept, each is re-emitted once, in right memory order, with 11
    // stored again at the back meanwhile. Its key moved, all of them leave.
    Rig j(Kind::Join, IndexSpec::equality());
    std::map<FactId, Value> keys{{1, Value::i64(7)}};
    std::vector<FactId> facts;
    for (FactId f = 10; f < 30; ++f) keys[f] = Value::i64(7), facts.push_back(f);
    j.env.key_on_values(keys);
    j.store(facts);
    j.run(lb({{{1}, 1, Insert}}));
    j.node.remove_right(11);
    j.node.store_right(11, Key(std::vector<Value>{Value::i64(7)}));
    std::vector<size_t> out{7};
    j.node.ordered_children_of_left(j.id({1}), out);
    Tuples want;
    for (FactId f : facts) {
        if (f != 11) want.push_back({1, f});
    }
    want.push_back({1, 11});
    EXPECT_EQ(j.alive(out), want);
    EXPECT_EQ(j.alive_of_left({1}), want);
    Staged<Tuple> upd = j.run(lb({}, {{{1}, 2, Change}}));
    EXPECT_EQ(items_of(upd.upd).size(), 20u);
    EXPECT_TRUE(upd.del.empty() && upd.ins.empty());
    (*j.env.values)[1] = Value::i64(8);
    Staged<Tuple> moved = j.run(lb({}, {{{1}, 3, Change}}));
    EXPECT_EQ(items_of(moved.del).size(), 20u);
    EXPECT_TRUE(moved.ins.empty() && moved.upd.empty());
    j.node.ordered_children_of_left(j.id({1}), out);
    EXPECT_TRUE(out.empty());
}

// (Updates that move a key are left to the random batches of keyed joins.)
TEST(JoinNode, KeyedInsertsTestOnlyPartnersWithMatchingKeys) {
    Rig j(Kind::Join, IndexSpec::equality());
    j.env.key_on_values({{1, Value::i64(1)}, {2, Value::i64(1)}, {3, Value::i64(2)}, {10, Value::i64(1)},
                         {11, Value::i64(3)}});
    j.run(lb({{{1}, 1, Insert}, {{2}, 2, Insert}, {{3}, 3, Insert}}), rb({{10, 4, Insert}, {11, 5, Insert}}));
    EXPECT_EQ(j.env.tested, (Pairs{{{2}, 10}, {{1}, 10}}));
}

TEST(JoinNode, AKeyedUpdateJudgesAnEntryHeldTwiceByItsFirstEntry) {
    // Tuple [1] is held under key 1, then again under key 2. Fact 10's key
    // moves from 1 to 2: its child's parent no longer matches by its first
    // entry, so the child leaves and the bucket of 2 (which reaches [1]
    // through its second entry) makes a new one. A fact that keeps its key
    // keeps its children.
    Rig j(Kind::Join, IndexSpec::equality());
    j.env.key_on_values({{1, Value::i64(1)}, {10, Value::i64(1)}, {11, Value::i64(1)}});
    j.push_left({1}, Key(std::vector<Value>{Value::i64(1)}));
    j.push_left({1}, Key(std::vector<Value>{Value::i64(2)}));
    j.run({}, rb({{10, 1, Insert}, {11, 2, Insert}}));
    ASSERT_EQ(j.alive_children(), (Tuples{{1, 11}, {1, 10}}));
    (*j.env.values)[10] = Value::i64(2);
    Staged<Tuple> out = j.run({}, rb({}, {{10, 3, Change}, {11, 4, Change}}));
    EXPECT_EQ(staged_order(out.del), (TEs{{{1, 10}, 3, Insert}}));
    EXPECT_EQ(staged_order(out.ins), (TEs{{{1, 10}, 3, Change}}));
    EXPECT_EQ(staged_order(out.upd), (TEs{{{1, 11}, 4, Change}}));

    // The same for a fact held twice, reached by left updates.
    Rig r(Kind::Join, IndexSpec::equality());
    r.env.key_on_values({{1, Value::i64(1)}, {2, Value::i64(1)}, {10, Value::i64(1)}});
    r.node.store_right(10, Key(std::vector<Value>{Value::i64(1)}));
    r.node.store_right(10, Key(std::vector<Value>{Value::i64(2)}));
    r.run(lb({{{1}, 1, Insert}, {{2}, 2, Insert}}));
    ASSERT_EQ(r.alive_children(), (Tuples{{2, 10}, {1, 10}}));
    (*r.env.values)[1] = Value::i64(2);
    out = r.run(lb({}, {{{1}, 3, Change}}));
    EXPECT_EQ(staged_order(out.del), (TEs{{{1, 10}, 3, Insert}}));
    EXPECT_EQ(staged_order(out.ins), (TEs{{{1, 10}, 3, Change}}));
    out = r.run(lb({}, {{{2}, 4, Change}}));
    EXPECT_EQ(staged_order(out.upd), (TEs{{{2, 10}, 4, Change}}));
}

TEST(JoinNode, ARightUpdateRemovesEachChildWhoseParentItsNewKeyNoLongerReaches) {
    // Tuples keyed I64(0) and F64(0.25) both meet fact 10's key I64(0); its
    // new key NaN meets only the integer (a float is truncated, NaN as 0).
    // The float's child leaves, whichever parent comes first, and the
    // integer's is updated in place; the same with a third parent whose
    // key the NaN meets too.
    const Value i0 = Value::i64(0), quarter = Value::f64(0.25);
    for (bool float_first : {true, false}) {
        for (bool third : {false, true}) {
            Rig j(Kind::Join, IndexSpec::equality());
            j.env.key_on_values({{1, float_first ? quarter : i0}, {2, float_first ? i0 : quarter}, {3, i0}, {10, i0}});
            const Tuple fl = float_first ? Tuple{1, 10} : Tuple{2, 10};
            const Tuple in = float_first ? Tuple{2, 10} : Tuple{1, 10};
            j.store({}, third ? Tuples{{1}, {2}, {3}} : Tuples{{1}, {2}});
            j.run({}, rb({{10, 1, Insert}}));
            const Tuples before = third ? Tuples{{1, 10}, {2, 10}, {3, 10}} : Tuples{{1, 10}, {2, 10}};
            ASSERT_EQ(j.alive_by_right(10), before);
            (*j.env.values)[10] = Value::f64(std::nan(""));
            Staged<Tuple> out = j.run({}, rb({}, {{10, 2, Change}}));
            EXPECT_EQ(staged_order(out.del), (TEs{{fl, 2, Insert}}));
            EXPECT_TRUE(out.ins.empty());
            const Tuples kept = third ? Tuples{in, {3, 10}} : Tuples{in};
            std::vector<TE> updated;
            for (const Tuple& c : kept) updated.push_back({c, 2, Change});
            EXPECT_EQ(staged_order(out.upd), updated);
            EXPECT_EQ(j.alive_by_right(10), kept);
        }
    }
}

TEST(JoinNode, InsertPhasesOrderAndFlagTheirChildren) {
    // A same-batch matching pair makes one child, from the left side.
    Rig j;
    j.store({}, {{5}});
    Staged<Tuple> out = j.run(lb({{{1}, 3, Insert}}), rb({{10, 4, Insert}}));
    EXPECT_EQ(staged_order(out.ins), (TEs{{{5, 10}, 4, RightInsert}, {{1, 10}, 3, Insert}}));
    EXPECT_EQ(j.node.child_count(), 2u);

    // Flag 4 entries as staged, then flag 0 ones oldest first; flag 1 last
    // (against lefts newest first); flag 2 is neither joined nor stored.
    Rig f4;
    f4.store({}, {{1}, {2}});
    out = f4.run({}, rb({{10, 10, Insert}, {11, 11, UnlinkedArrival}, {12, 12, Insert}, {13, 13, UnlinkedArrival}, {14, 14, RightInsert}, {15, 15, Change}}));
    EXPECT_EQ(f4.env.tested, (Pairs{{{1}, 13}, {{2}, 13}, {{1}, 11}, {{2}, 11}, {{1}, 10}, {{2}, 10},
                                                {{1}, 12}, {{2}, 12}, {{2}, 14}, {{1}, 14}}));
    for (const auto& e : out.ins) EXPECT_EQ(e.flag, RightInsert);
    EXPECT_EQ(f4.rights(), (Facts{13, 11, 10, 12, 14}));

    // Without flag 4 every non-late entry joins as staged (newest first).
    Rig plain;
    plain.store({}, {{1}});
    out = plain.run({}, rb({{10, 10, Insert}, {11, 11, RightInsert}, {12, 12, Change}}));
    EXPECT_EQ(staged_order(out.ins), (TEs{{{1, 12}, 12, RightInsert}, {{1, 10}, 10, RightInsert}, {{1, 11}, 11, RightInsert}}));
}

TEST(JoinNode, AChildTupleMadeTwiceInOneEvaluationIsStagedOnce) {
    // A left tuple held twice joins a new fact twice: two children holding one
    // tuple. The first made the tuple and is staged; the second finds it staged.
    Rig j;
    j.push_left({1});
    j.push_left({1});
    j.push_left({2});
    Staged<Tuple> out = j.run({}, rb({{10, 1, Insert}}));
    EXPECT_EQ(j.alive_children(), (Tuples{{1, 10}, {1, 10}, {2, 10}}));
    EXPECT_EQ(staged_order(out.ins), (TEs{{{1, 10}, 1, RightInsert}, {{2, 10}, 1, RightInsert}}));

    // The same from the left: a tuple staged twice in one batch meets a
    // stored fact. Then the tuple, made in an earlier evaluation and whose
    // children left since, is made again by both: staged once, as before.
    Rig l;
    l.store({20});
    Staged<Tuple> twice = lb({{{3}, 2, Insert}});
    Staged<Tuple>::append_behind(twice, lb({{{3}, 3, Insert}}));
    out = l.run(std::move(twice));
    EXPECT_EQ(l.alive_children(), (Tuples{{3, 20}, {3, 20}}));
    EXPECT_EQ(staged_order(out.ins), (TEs{{{3, 20}, 2, Insert}}));
    out = l.run({}, rb({}, {}, {{20, 4, Insert}}));
    EXPECT_EQ(staged_order(out.del), (TEs{{{3, 20}, 4, Insert}}));
    out = l.run({}, rb({{20, 5, Insert}}));
    EXPECT_EQ(l.alive_children(), (Tuples{{3, 20}, {3, 20}}));
    EXPECT_EQ(staged_order(out.ins), (TEs{{{3, 20}, 5, RightInsert}}));
}

TEST(JoinNode, AChildTupleMadeInAnEarlierEvaluationMeetsWhatIsStagedForIt) {
    // A tuple made before, whose child was re-emitted by an update in this
    // evaluation, is made again by an insert: it is the same tuple, and the
    // staged update stands for both. Then its child leaves and comes back
    // in one evaluation: staged again under the same id.
    Rig j;
    j.run(lb({{{1}, 1, Insert}}), rb({{10, 2, Insert}}));
    const TupleId first = j.id({1, 10});
    Staged<Tuple> out = j.run(lb({{{1}, 4, Insert}}), rb({}, {{10, 3, Change}}));
    EXPECT_EQ(j.alive_children(), (Tuples{{1, 10}, {1, 10}}));
    EXPECT_TRUE(out.ins.empty());
    EXPECT_EQ(staged_order(out.upd), (TEs{{{1, 10}, 3, Change}}));
    out = j.run({}, rb({{10, 6, Insert}}, {}, {{10, 5, Insert}}));
    EXPECT_EQ(j.id({1, 10}), first);
    EXPECT_EQ(staged_order(out.del), (TEs{{{1, 10}, 5, Insert}}));
    EXPECT_EQ(staged_order(out.ins), (TEs{{{1, 10}, 6, RightInsert}}));
    EXPECT_EQ(j.alive_children(), (Tuples{{1, 10}, {1, 10}}));
}

TEST(JoinNode, LeftSequenceNumbersGoOldestFirstAndSurviveReinsertion) {
    Rig j;
    j.run(lb({{{1}, 1, Insert}, {{2}, 2, Insert}, {{3}, 3, Insert}}));
    j.run(lb({}, {}, {{{1}, 4, Insert}}));
    j.run(lb({{{4}, 5, Insert}, {{1}, 6, Insert}}));
    EXPECT_EQ(j.seqs({{1}, {3}, {4}, {9}}), (std::vector<uint64_t>{1, 3, 4, 0}));
    EXPECT_EQ(j.lefts(), (Tuples{{3}, {2}, {1}, {4}}));  // stored newest first

    Rig t(Kind::Join, IndexSpec::none(), true);  // a temporal join numbers newest first
    t.run(lb({{{1, 7}, 1, Insert}, {{2, 7}, 2, Insert}}));
    EXPECT_EQ(t.seqs({{2, 7}, {1, 7}}), (std::vector<uint64_t>{1, 2}));
}

TEST(JoinNode, ExpiredCandidatesAreSkippedOnlyByInsertJoins) {
    Rig j;
    j.env.expired_joins = false;
    j.env.expired = {2, 11};
    j.store({}, {{1}, {2}});
    Staged<Tuple> out = j.run(lb({{{3}, 1, Insert}}), rb({{10, 2, Insert}, {11, 3, Insert}}));
    // Right inserts skip the expired tuple [2]; the left insert skips the expired fact 11.
    EXPECT_EQ(items_of(out.ins), (Tuples{{3, 10}, {1, 10}, {1, 11}}));
    out = j.run({}, rb({{12, 4, RightInsert}}));  // late inserts test everything
    EXPECT_EQ(out.ins.size(), 3u);
    j.env.expired_joins = true;
    EXPECT_EQ(j.run(lb({{{4}, 5, Insert}})).ins.size(), 3u);  // 10, 11, 12
}

TEST(TemporalJoin, NormalModeJoinsEachPairOnceAndRightInsertsMeetLaterArrivalsFirst) {
    Rig j(Kind::Join, IndexSpec::none(), true);
    j.store({5});
    j.env.mark_value = 42;
    Staged<Tuple> out = j.run(lb({{{1}, 1, Insert}}), rb({{2, 2, Insert}}));
    EXPECT_EQ(staged_order(out.ins), (TEs{{{1, 2}, 2, RightInsert}, {{1, 5}, 1, Insert}}));
    EXPECT_EQ(times_tested(j, {{1}, 2}), 1u);
    EXPECT_EQ(*j.mark({1}), 42u);

    Rig r(Kind::Join, IndexSpec::none(), true);
    r.store({}, {{1}, {2}, {3}, {4}});
    for (auto [t, rank] : std::vector<std::pair<Tuple, uint64_t>>{{{1}, 5}, {{2}, 1}, {{3}, 9}}) {
        r.node.set_left_rank(r.id(t), rank);
    }
    r.node.set_right_rank(10, 4);
    r.run({}, rb({{10, 1, Insert}}));
    // Above the cut (rank 4): [1] (5), [3] (9); then [4] (0) and [2] (1).
    EXPECT_EQ(r.env.tested, (Pairs{{{1}, 10}, {{3}, 10}, {{4}, 10}, {{2}, 10}}));

    for (bool tail : {false, true}) {
        Rig s(Kind::Join, IndexSpec::none(), true);
        s.store({}, {{1}});
        if (tail) s.env.vars["QUARN_JSR"] = "tail";
        s.run({}, rb({{10, 1, Insert}, {11, 2, Insert}}));
        EXPECT_EQ(s.env.tested.front().second, tail ? 10u : 11u);
    }
}

TEST(TemporalJoin, SameBatchEventsPairInTemporalOrder) {
    Rig j(Kind::Join, IndexSpec::none(), true);
    // e1 = fact 1 then e2 = fact 2 on both inputs.
    Staged<Tuple> out = j.run(lb({{{1}, 11, Insert}, {{2}, 12, Insert}}), rb({{1, 21, Insert}, {2, 22, Insert}}));
    EXPECT_EQ(j.env.tested, (Pairs{{{1}, 2}, {{2}, 2}, {{2}, 1}, {{1}, 1}}));
    EXPECT_EQ(staged_order(out.ins), (TEs{{{1, 2}, 12, RightInsert}, {{2, 2}, 12, RightInsert}, {{2, 1}, 12, Insert}, {{1, 1}, 12, RightInsert}}));
    EXPECT_EQ(j.lefts(), (Tuples{{1}, {2}}));
    EXPECT_EQ(j.rights(), (Facts{1, 2}));
    EXPECT_EQ(j.seqs({{1}})[0], 1u);

    Rig older(Kind::Join, IndexSpec::none(), true);
    older.store({9}, {{8}});
    older.run(lb({{{1}, 1, Insert}}), rb({{1, 2, Insert}}));
    EXPECT_EQ(older.env.tested, (Pairs{{{8}, 1}, {{1}, 1}, {{1}, 9}}));
}

TEST(JoinTrace, WritesHeaderUpdateAndClosingLines) {
    Rig j(Kind::Join, IndexSpec::equality());
    j.env.key_on_values({{1, Value::i64(5)}, {10, Value::i64(5)}});
    j.run(lb({{{1}, 1, Insert}}), rb({{10, 2, Insert}}));
    EXPECT_TRUE(j.env.lines.empty());
    j.env.vars["QUARN_TRACE"] = "";
    j.run({}, rb({}, {{10, 3, Change}}));
    EXPECT_EQ(j.env.lines, (std::vector<std::string>{
                               "do_node[0] sl(ins=[] upd=[] del=[]) sr(ins=[] upd=[(FactId(10), Some(3), 2)] del=[])",
                               "  rupd f=FactId(10) rkey=Some([I64(5)]) bucket=[[FactId(1)]] first_child=Some(0)",
                               "  trg ins=[] upd=[([FactId(1), FactId(10)], Some(3), 2)] del=[]",
                               "  rights=[(FactId(10), Some([I64(5)]))] lefts=[([FactId(1)], Some([I64(5)]))]",
                               "  post by_right[FactId(10)] alive=[[FactId(1), FactId(10)]]",
                           }));
}

TEST(JoinNode, AKilledChildsPositionIsHandedOutAgainOnlyOnceItsEvaluationHasEnded) {
    // An anchor taken before a kill must not come back as another child of
    // the same list within the evaluation.
    Node node = Node::new_ex(IndexSpec::none(), Kind::Join, false);
    TupleTable tt;
    TupleId a = tt.intern(Facts{1});
    node.create_child(tt, a, 10, std::nullopt, std::nullopt);
    node.create_child(tt, a, 11, std::nullopt, std::nullopt);
    node.kill_child(0);
    node.create_child(tt, a, 12, std::nullopt, size_t{0});  // the dead anchor appends
    EXPECT_EQ(node.children_of_left(a), (std::vector<size_t>{1, 2}));
    EXPECT_TRUE(node.child(0).dead);
    node.reclaim_children();
    node.verify();
    TupleId again = node.create_child(tt, a, 13, size_t{1}, std::nullopt);
    EXPECT_EQ(node.children_of_left(a), (std::vector<size_t>{0, 1, 2}));
    EXPECT_EQ(node.child(0).tuple, again);
    EXPECT_EQ(node.child(0).right, std::optional<FactId>(13));
    EXPECT_EQ(node.child_count(), 4u);
    EXPECT_EQ(node.alive_children().size(), 3u);
    EXPECT_EQ(node.children_of_right(10), std::vector<size_t>{});
    EXPECT_EQ(node.right_facts_with_children(), (Facts{10, 11, 12, 13}));
    node.verify();
}

TEST(JoinNode, LongKeyedBatchesJoinInTheOrderShortOnesDo) {
    // Batches long enough to have their keys made ahead of their turn join
    // exactly as entry-by-entry evaluation would: children in batch order,
    // partners in memory order, each candidate pair tested once, in order.
    auto run = [](size_t n, bool one_batch) {
        Rig j(Kind::Join, IndexSpec::equality());
        std::map<FactId, Value> values;
        for (FactId f = 1; f <= n; ++f) values[f] = Value::i64(f % 7);            // lefts [f]
        for (FactId f = 1001; f <= 1000 + n; ++f) values[f] = Value::i64(f % 5);  // rights
        j.env.key_on_values(values);
        j.env.allow = [](const Tuple& t, FactId f) { return (t[0] + f) % 3 != 0; };
        std::vector<TE> lefts;
        std::vector<RE> rights;
        for (FactId f = 1; f <= n; ++f) lefts.push_back({{f}, f, Insert});
        for (FactId f = 1001; f <= 1000 + n; ++f) rights.push_back({f, f, Insert});
        Staged<Tuple> out;
        Pairs tested;
        auto keep = [&](Staged<Tuple> o) {
            for (const auto& e : o.ins.oldest_first()) out.ins.push_front(e);
            tested.insert(tested.end(), j.env.tested.begin(), j.env.tested.end());
        };
        if (one_batch) {
            keep(j.run({}, rb(std::vector<RE>(rights.begin(), rights.begin() + n / 2))));
            keep(j.run(lb(lefts), rb(std::vector<RE>(rights.begin() + n / 2, rights.end()))));
        } else {
            // The same changes in the same order, one entry per batch where
            // the order of a batch allows it: rights newest first, then lefts
            // newest first.
            for (size_t k = n / 2; k-- > 0;) keep(j.run({}, rb({rights[k]})));
            for (size_t k = n; k-- > n / 2;) keep(j.run({}, rb({rights[k]})));
            for (size_t k = n; k-- > 0;) keep(j.run(lb({lefts[k]})));
        }
        return std::make_tuple(staged_order(out.ins), tested, j.lefts(), j.rights());
    };
    for (size_t n : {size_t{40}, size_t{200}}) {
        auto [ins, tested, lefts, rights] = run(n, true);
        auto [ins1, tested1, lefts1, rights1] = run(n, false);
        EXPECT_EQ(tested, tested1) << n;
        EXPECT_EQ(lefts, lefts1) << n;
        EXPECT_EQ(rights, rights1) << n;
        ASSERT_EQ(ins.size(), ins1.size()) << n;
        for (size_t k = 0; k < ins.size(); ++k) ASSERT_EQ(ins[k].item, ins1[k].item) << n << " at " << k;
        EXPECT_GT(ins.size(), n);
    }
}

TEST(JoinNode, EqualExactKeysSettleTheJoinWhereTheEnvironmentSaysTheyDecide) {
    // With key_decides, a bucket whose keys all equal the probe value for
    // value (integers here) joins without asking allowed(); a bucket holding a
    // key that only matches (a float with the probe's integer part) is tested.
    struct DecidingEnv : ScriptedEnv {
        bool key_decides(size_t) const override { return true; }
    };
    for (bool deciding : {false, true}) {
        Rig j(Kind::Join, IndexSpec::equality());
        DecidingEnv env;
        ScriptedEnv& use = deciding ? static_cast<ScriptedEnv&>(env) : j.env;
        use.key_on_values({{1, Value::i64(4)}, {2, Value::i64(5)}, {10, Value::i64(4)}, {11, Value::f64(5.5)}});
        use.allow = [](const Tuple&, FactId f) { return f != 11; };
        Staged<TupleId> held;
        Out out(held);
        do_node(use, 0, j.node, use.ids(lb({{{1}, 1, Insert}, {{2}, 2, Insert}})), rb({{10, 3, Insert}, {11, 4, Insert}}), out);
        j.node.verify();
        EXPECT_EQ(items_of(use.facts(out.trg).ins), (Tuples{{1, 10}})) << deciding;
        Pairs want = deciding ? Pairs{{{2}, 11}} : Pairs{{{2}, 11}, {{1}, 10}};
        EXPECT_EQ(use.tested, want) << deciding;
    }
}

// A keyed batch long enough to be walked ahead numbers its lefts as the
// staged order says: a tuple by its oldest entry, one numbered by an
// earlier batch keeping its number.
TEST(JoinNode, ALongLeftBatchNumbersItsTuplesOldestFirstWhileItWalksThemNewestFirst) {
    Rig j(Kind::Join, IndexSpec::equality());
    j.env.key_on_values({});
    j.store({}, {{7}, {3}});
    std::vector<TE> ins;  // oldest first: 40 .. 1, with 12 and 9 again
    for (FactId f = 40; f >= 1; --f) {
        ins.push_back({{f}, 0, Insert});
        if (f == 30 || f == 2) ins.push_back({{f == 2 ? 9u : 12u}, 0, Insert});
    }
    j.run(lb(ins));
    std::map<FactId, uint64_t> want{{7, 1}, {3, 2}};
    for (const TE& e : ins) want.emplace(e.item[0], want.size() + 1);
    for (const auto& [f, seq] : want) EXPECT_EQ(j.node.left_seq(j.id({f})), seq) << f;
}

// A walk meets the entries `pass` accepts in list order, tombstones
// skipped, each with its own key, warmed before its body and, past the
// first two blocks, at least a block ahead.
TEST(WalkAhead, BodiesMeetTheAcceptedEntriesInListOrderWithKeysMadeABlockAhead) {
    for (uint32_t n : {0u, 1u, 17u, 75u}) {
        EntryList<FactId> list;
        for (FactId f = 0; f < n; ++f) list.push_front({f, f, Insert});
        for (FactId f = 2; f + 1 < n; f += 5) list.remove_first(f);
        auto pass = [](const StagedEntry<FactId>& e) { return e.item % 3 != 0; };
        std::vector<FactId> want, met;
        for (const auto& e : list) {
            if (pass(e)) want.push_back(e.item);
        }
        std::map<int64_t, size_t> warmed_at;  // key -> bodies run when it was warmed
        struct WordKey {
            int64_t word = -1;
            void reset() { word = -1; }
        };
        auto make = [](const StagedEntry<FactId>* es, WordKey* ks, size_t m) {
            for (size_t j = 0; j < m; ++j) ks[j].word = int64_t{es[j].item} * 10;
        };
        auto warm = [&](const WordKey& k) { warmed_at[k.word] = met.size(); };
        walk_keys_ahead<WordKey>(list, pass, make, warm, [&](const StagedEntry<FactId>& e, WordKey& k) {
            ASSERT_EQ(k.word, int64_t{e.item} * 10);
            const size_t ahead = met.size() - warmed_at.at(k.word);
            EXPECT_TRUE(ahead < 2 * kWalkBlock && (met.size() < 2 * kWalkBlock || ahead >= kWalkBlock)) << e.item;
            met.push_back(e.item);
        });
        EXPECT_EQ(met, want) << n;
    }
}

TEST(JoinNode, ChildrenMadeAtTheEndOfTheirListsTakeTheLastReclaimedPositionsFirst) {
    // Children made the usual way (no anchor) across several chunks of
    // records, some killed and reclaimed, then made again: a new child
    // takes the position killed last, then the one before, then a fresh one.
    Node node = Node::new_ex(IndexSpec::none(), Kind::Join, false);
    TupleTable tt;
    const TupleId a = tt.intern(Facts{1}), b = tt.intern(Facts{2});
    const size_t n = 5000;
    for (FactId f = 0; f < n; ++f) node.create_child(tt, f % 2 == 0 ? a : b, 10 + f);
    EXPECT_EQ(node.child_count(), n);
    node.kill_child(2);
    node.kill_child(4096);
    node.kill_child(7);
    node.reclaim_children();
    const TupleId c1 = node.create_child(tt, b, 9001);
    const TupleId c2 = node.create_child(tt, a, 9002);
    const TupleId c3 = node.create_child(tt, a, 9003);
    const TupleId c4 = node.create_child(tt, b, 9004);
    EXPECT_EQ(node.child_position(tt, c1), std::optional<size_t>(7));
    EXPECT_EQ(node.child_position(tt, c2), std::optional<size_t>(4096));
    EXPECT_EQ(node.child_position(tt, c3), std::optional<size_t>(2));
    EXPECT_EQ(node.child_position(tt, c4), std::optional<size_t>(n));
    EXPECT_EQ(node.child_count(), n + 4);
    // Each goes at the end of its parent's list, whatever its position.
    const std::vector<size_t> of_a = node.children_of_left(a);
    ASSERT_EQ(of_a.size(), n / 2 - 2 + 2);
    EXPECT_EQ((std::vector<size_t>(of_a.end() - 3, of_a.end())), (std::vector<size_t>{4998, 4096, 2}));
    const std::vector<size_t> of_b = node.children_of_left(b);
    EXPECT_EQ((std::vector<size_t>(of_b.end() - 3, of_b.end())), (std::vector<size_t>{4999, 7, n}));
    EXPECT_EQ(node.children_of_right(9002), std::vector<size_t>{4096});
    node.verify();
}

// Words hashed a block at a time carry the class hash and index hash each
// has alone, whatever words came before: runs up and down through blocks,
// blocks at the edges of the integers a double holds exactly and of the
// 64-bit range, repeats, far-apart words; and a word a block leaves out is
// not set.
TEST(WalkAhead, WordHashesAreEachWordsOwnWhateverCameBefore) {
    const SharedKeyIndex index;
    std::vector<int64_t> words;
    for (int64_t v = -40; v < 40; ++v) words.push_back(v);
    for (int64_t v = 40; v > -40; v -= 3) words.push_back(v);
    for (int64_t v = 37; v > -45; --v) words.push_back(v);
    const int64_t exact = int64_t{1} << 53;
    for (int64_t first : {exact - 20, -exact - 20, INT64_MAX - 40, INT64_MIN}) {
        for (int64_t d = 0; d <= 40; ++d) words.push_back(first + d);
    }
    std::mt19937_64 rng(11);
    for (int i = 0; i < 400; ++i) {
        words.push_back(rng() % 4 == 0 ? static_cast<int64_t>(rng()) : static_cast<int64_t>(rng() % 64) - 32);
    }
    WordHashes hashes;
    for (size_t at = 0; at < words.size(); at += kWalkBlock) {
        const size_t n = std::min(kWalkBlock, words.size() - at);
        const uint32_t which = at % 3 == 0 ? ~0u : static_cast<uint32_t>(rng());
        WordKeys keys;
        std::copy_n(words.begin() + static_cast<std::ptrdiff_t>(at), n, keys.word.begin());
        hashes.set(keys, n, which);
        for (size_t j = 0; j < n; ++j) {
            const int64_t v = words[at + j];
            if (((which >> j) & 1u) == 0) {
                EXPECT_FALSE(keys.is_word(j)) << v;
                continue;
            }
            ASSERT_TRUE(keys.is_word(j)) << v;
            EXPECT_EQ(keys.word[j], v);
            EXPECT_EQ(keys.hash[j], int_key_class_hash(v)) << v;
            EXPECT_EQ(keys.slot_hash[j], index.hash_of(int_key_class_hash(v))) << v;
        }
        EXPECT_EQ(keys.words >> n, 0u);
    }
}

// A walked block's key slot serves a Key a store did not move from (an
// equal key already stored), then a word, then a Key again: the last Key
// holds its own value alone, so each fact meets the lefts of its own key.
TEST(WalkAhead, AKeyMadeAfterAWordHoldsNothingOfTheKeyBeforeIt) {
    // Keys pushed into the Key handed over, as the engine's environment
    // pushes them, so that one not emptied first keeps what it held.
    struct PushingEnv : ScriptedEnv {
        void key_of_right(size_t, FactId f, Key& key) const override {
            for (const Value& v : right_key(f).values()) key.push(KeyValue::of(v));
        }
    };
    Rig j(Kind::Join, IndexSpec::equality());
    PushingEnv env;
    env.key_on_values({{1, Value::f64(2.5)}, {2, Value::i64(7)}, {3, Value::f64(3.5)}});
    env.int_words = true;
    Staged<TupleId> held;
    {
        Out out(held);
        do_node(env, 0, j.node, env.ids(lb({{{1}, 1, Insert}, {{2}, 2, Insert}, {{3}, 3, Insert}})), {}, out);
    }
    // Five blocks of the walk, newest first: Keys of 2.5, words 7, 7, Keys
    // of 2.5, Keys of 3.5; the first and third blocks of Keys fill the same
    // slots, with words between.
    Staged<FactId> sr = rb({});
    for (FactId f = 100; f < 100 + 5 * kWalkBlock; ++f) sr.add_ins_ph(f, f, Insert);
    const std::array<Value, 5> block_values{Value::f64(2.5), Value::i64(7), Value::i64(7), Value::f64(2.5),
                                            Value::f64(3.5)};
    Tuples want;
    size_t at = 0;
    for (const auto& e : sr.ins) {
        const size_t b = at++ / kWalkBlock;
        (*env.values)[e.item] = block_values[b];
        want.push_back({b == 4 ? 3u : b == 1 || b == 2 ? 2u : 1u, e.item});
    }
    Out out(held);
    do_node(env, 0, j.node, {}, std::move(sr), out);
    j.node.verify();
    Tuples got = items_of(env.facts(out.trg).ins);
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
}

// A list read a block at a time gives what its walk front to back gives,
// tombstones and the skipped flag left out, whatever the blocks' sizes.
TEST(WalkAhead, ABlockReaderGivesWhatTheListsWalkGives) {
    for (uint32_t n : {0u, 1u, 16u, 41u}) {
        for (int shape = 0; shape < 4; ++shape) {
            const bool holes = shape & 1, skip = shape & 2;
            EntryList<FactId> list;
            for (FactId f = 0; f < n; ++f) {
                list.push_front({f, f % 4 == 0 ? Stamp() : Stamp(f * 7), f % 3 == 1 ? RightInsert : Insert});
            }
            if (holes) {
                for (FactId f = 2; f + 1 < n; f += 4) list.remove_first(f);
            }
            std::vector<std::pair<FactId, Stamp>> want, got;
            for (const auto& e : list) {
                if (!skip || e.flag != RightInsert) want.emplace_back(e.item, e.stamp);
            }
            auto reader = skip ? list.blocks(RightInsert) : list.blocks();
            std::array<FactId, kWalkBlock> items;
            std::array<StampBits, kWalkBlock> stamps;
            for (size_t max = 1;; max = max % kWalkBlock + 5) {
                const size_t m = reader.read(max, items.data(), stamps.data());
                ASSERT_LE(m, max);
                if (m == 0) break;
                for (size_t k = 0; k < m; ++k) got.emplace_back(items[k], stamps[k].stamp());
            }
            EXPECT_EQ(got, want) << n << " " << shape;
        }
    }
}

