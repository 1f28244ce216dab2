#include <gtest/gtest.h>

#include <random>

#include "network_scripted_env.h"
#include "store/debug_form.h"

using namespace quarn;
using namespace quarn::testing;

namespace {

using TE = StagedEntry<Tuple>;
using RE = StagedEntry<FactId>;
using Pair = ScriptedEnv::Pair;

struct Join {
    ScriptedEnv env;
    Node node;
    Staged<Tuple> pending;  // the child's unconsumed batch

    explicit Join(uint8_t index_op = kNoIndex, bool temporal = false)
        : node(Node::new_ex(index_op, Kind::Join, temporal)) {}

    Staged<Tuple> run(Staged<Tuple> sl, Staged<FactId> sr) {
        Out out(pending);
        env.tested.clear();
        do_node(env, 0, node, std::move(sl), std::move(sr), out);
        return std::move(out.trg);
    }
    // Lefts and rights stored in the given memory order without output, as an
    // earlier batch would leave them (inserts are stored newest first).
    void preload(std::vector<Tuple> lefts, std::vector<FactId> rights) {
        std::vector<TE> l;
        for (auto it = lefts.rbegin(); it != lefts.rend(); ++it) l.push_back({*it, 0, 0});
        std::vector<RE> r;
        for (auto it = rights.rbegin(); it != rights.rend(); ++it) r.push_back({*it, 0, 0});
        auto keep = env.allow;
        env.allow = [](const Tuple&, FactId) { return false; };
        run(left_batch(l), right_batch(r));
        env.allow = keep;
    }
    std::vector<Tuple> alive_by_right(FactId f) const {
        std::vector<Tuple> out;
        for (size_t p : node.alive_positions(&node.by_right.at(f))) out.push_back(node.children[p].tuple);
        return out;
    }
    std::vector<Tuple> alive_of_left(const Tuple& t) const {
        std::vector<Tuple> out;
        for (size_t p : node.alive_positions(&node.children_of_left.at(t))) out.push_back(node.children[p].tuple);
        return out;
    }
};

// Oldest-first view of a staged list: the order in which entries were staged.
template <class T>
std::vector<StagedEntry<T>> staged_order(const EntryList<T>& l) {
    return std::vector<StagedEntry<T>>(l.oldest_first().begin(), l.oldest_first().end());
}

}  // namespace

TEST(JoinNode, RightDeleteRemovesEveryAliveChildOnce) {
    Join j;
    j.run(left_batch({{{1}, 1, 0}, {{2}, 2, 0}}), right_batch({{10, 3, 0}}));
    ASSERT_EQ(j.node.children.size(), 2u);
    Staged<Tuple> out = j.run({}, right_batch({}, {}, {{10, 7, 0}}));
    // A batch's left inserts are stored newest first: [2] before [1].
    EXPECT_EQ(staged_order(out.del), (std::vector<TE>{{{2, 10}, 7, 0}, {{1, 10}, 7, 0}}));
    EXPECT_TRUE(j.node.rights.empty());
    EXPECT_TRUE(j.node.children[0].dead && j.node.children[1].dead);
    EXPECT_FALSE(j.node.child_index.contains(Tuple{1, 10}));
    out = j.run({}, right_batch({}, {}, {{10, 8, 0}}));
    EXPECT_TRUE(out.del.empty());
}

TEST(JoinNode, LeftDeleteRemovesItsChildrenInListOrder) {
    Join j;
    j.run(left_batch({{{1}, 1, 0}}), right_batch({{10, 2, 0}, {11, 3, 0}}));
    Staged<Tuple> out = j.run(left_batch({}, {}, {{{1}, 9, 0}}), {});
    // Right inserts come newest first: 11 was joined before 10.
    EXPECT_EQ(staged_order(out.del), (std::vector<TE>{{{1, 11}, 9, 0}, {{1, 10}, 9, 0}}));
    EXPECT_TRUE(j.node.lefts.empty());
}

TEST(JoinNode, DeleteOfAChildStillPendingCancelsItsInsert) {
    Join j;
    j.pending = j.run(left_batch({{{1}, 1, 0}}), right_batch({{10, 2, 0}}));
    ASSERT_TRUE(j.pending.ins.contains({1, 10}));
    Staged<Tuple> out = j.run({}, right_batch({}, {}, {{10, 5, 0}}));
    EXPECT_FALSE(j.pending.ins.contains({1, 10}));
    EXPECT_EQ(staged_order(out.cancelled), (std::vector<TE>{{{1, 10}, 5, 0}}));
    EXPECT_TRUE(out.del.empty());
}

TEST(JoinNode, RightUpdateKeepingEveryPairReEmitsChildrenInLeftOrder) {
    Join j;
    j.preload({{1}, {2}, {3}}, {});
    j.run({}, right_batch({{10, 1, 0}}));
    size_t before = j.node.children.size();
    Staged<Tuple> out = j.run({}, right_batch({}, {{10, 5, 2}}));
    EXPECT_EQ(staged_order(out.upd), (std::vector<TE>{{{1, 10}, 5, 2}, {{2, 10}, 5, 2}, {{3, 10}, 5, 2}}));
    EXPECT_TRUE(out.ins.empty());
    EXPECT_EQ(j.node.children.size(), before);
}

TEST(JoinNode, RightUpdateCreatesNewPairsInPlaceAndRemovesLostOnes) {
    Join j;
    j.preload({{1}, {2}, {3}, {4}}, {});
    j.env.allow_only({{{1}, 10}, {{3}, 10}, {{4}, 10}});
    j.run({}, right_batch({{10, 1, 0}}));
    j.env.allow_only({{{1}, 10}, {{2}, 10}, {{3}, 10}});
    Staged<Tuple> out = j.run({}, right_batch({}, {{10, 5, 2}}));
    EXPECT_EQ(staged_order(out.ins), (std::vector<TE>{{{2, 10}, 5, 2}}));
    EXPECT_EQ(staged_order(out.upd), (std::vector<TE>{{{1, 10}, 5, 2}, {{3, 10}, 5, 2}}));
    EXPECT_EQ(staged_order(out.del), (std::vector<TE>{{{4, 10}, 5, 0}}));
    // The new child sits where its parent sits in the left memory.
    EXPECT_EQ(j.alive_by_right(10), (std::vector<Tuple>{{1, 10}, {2, 10}, {3, 10}}));
}

TEST(JoinNode, LeftUpdateCreatesNewPairsInPlaceAndRemovesLostOnes) {
    Join j;
    j.preload({}, {10, 11, 12, 13});
    j.env.allow_only({{{1}, 10}, {{1}, 12}, {{1}, 13}});
    j.run(left_batch({{{1}, 1, 0}}), {});
    j.env.allow_only({{{1}, 10}, {{1}, 11}, {{1}, 12}});
    Staged<Tuple> out = j.run(left_batch({}, {{{1}, 6, 2}}), {});
    EXPECT_EQ(staged_order(out.ins), (std::vector<TE>{{{1, 11}, 6, 2}}));
    EXPECT_EQ(staged_order(out.upd), (std::vector<TE>{{{1, 10}, 6, 2}, {{1, 12}, 6, 2}}));
    EXPECT_EQ(staged_order(out.del), (std::vector<TE>{{{1, 13}, 6, 0}}));
    EXPECT_EQ(j.alive_of_left({1}), (std::vector<Tuple>{{1, 10}, {1, 11}, {1, 12}}));
}

TEST(JoinNode, PairUpdatedOnBothSidesIsStagedOnce) {
    Join j;
    j.run(left_batch({{{1}, 1, 0}}), right_batch({{10, 2, 0}}));
    Staged<Tuple> out = j.run(left_batch({}, {{{1}, 7, 2}}), right_batch({}, {{10, 8, 2}}));
    EXPECT_EQ(staged_order(out.upd), (std::vector<TE>{{{1, 10}, 7, 2}}));
    EXPECT_EQ(std::count(j.env.tested.begin(), j.env.tested.end(), Pair{{1}, 10}), 1);
}

TEST(JoinNode, UpdatesMoveEntriesToTheEndOfTheirMemory) {
    Join j;
    j.preload({{1}, {2}, {3}}, {10, 11, 12});
    j.run(left_batch({}, {{{1}, 1, 2}, {{9}, 2, 2}}), right_batch({}, {{10, 3, 2}, {99, 4, 2}}));
    // A left update is appended even when it was not held; a right update only when held.
    EXPECT_EQ(j.node.lefts.items(), (std::vector<Tuple>{{2}, {3}, {9}, {1}}));
    EXPECT_EQ(j.node.rights.items(), (std::vector<FactId>{11, 12, 10}));
}

TEST(JoinNode, ChildrenListsFollowMemoryOrderAfterUpdates) {
    Join j;
    j.run(left_batch({{{1}, 1, 0}, {{2}, 2, 0}}), right_batch({{10, 3, 0}, {11, 4, 0}}));
    // Update [1] then fact 11: both go to the end of their memories, and a
    // later update walks their children in the new order.
    j.run(left_batch({}, {{{1}, 5, 2}}), {});
    j.run({}, right_batch({}, {{10, 6, 2}}));
    EXPECT_EQ(j.alive_by_right(10), (std::vector<Tuple>{{2, 10}, {1, 10}}));
    EXPECT_EQ(j.alive_of_left({1}), (std::vector<Tuple>{{1, 11}, {1, 10}}));
    Staged<Tuple> out = j.run({}, right_batch({}, {{11, 7, 2}}));
    EXPECT_EQ(staged_order(out.upd), (std::vector<TE>{{{2, 11}, 7, 2}, {{1, 11}, 7, 2}}));
}

TEST(JoinNode, KeyedRightUpdateThatMovesTheKeyRejoinsTheNewKeysLefts) {
    Join j(kEqualityIndex);
    j.env.key_on_values({{1, Value::i64(1)}, {2, Value::i64(1)}, {3, Value::i64(2)}, {10, Value::i64(1)}}, 0);
    j.run(left_batch({{{1}, 1, 0}, {{2}, 2, 0}, {{3}, 3, 0}}), right_batch({{10, 4, 0}}));
    EXPECT_EQ(j.alive_by_right(10), (std::vector<Tuple>{{2, 10}, {1, 10}}));
    (*j.env.key_values)[10] = Value::i64(2);
    Staged<Tuple> out = j.run({}, right_batch({}, {{10, 9, 2}}));
    EXPECT_EQ(staged_order(out.del), (std::vector<TE>{{{2, 10}, 9, 0}, {{1, 10}, 9, 0}}));
    EXPECT_EQ(staged_order(out.ins), (std::vector<TE>{{{3, 10}, 9, 2}}));
    EXPECT_TRUE(out.upd.empty());
}

TEST(JoinNode, KeyedLeftUpdateDropsChildrenWhoseFactNoLongerMatches) {
    Join j(kEqualityIndex);
    j.env.key_on_values({{1, Value::i64(1)}, {10, Value::i64(1)}, {11, Value::i64(2)}}, 0);
    j.run(left_batch({{{1}, 1, 0}}), right_batch({{10, 2, 0}, {11, 3, 0}}));
    (*j.env.key_values)[1] = Value::i64(2);
    Staged<Tuple> out = j.run(left_batch({}, {{{1}, 5, 2}}), {});
    EXPECT_EQ(staged_order(out.del), (std::vector<TE>{{{1, 10}, 5, 0}}));
    EXPECT_EQ(staged_order(out.ins), (std::vector<TE>{{{1, 11}, 5, 2}}));
    (*j.env.key_values)[1] = Value::i64(3);  // no fact has key 3
    out = j.run(left_batch({}, {{{1}, 6, 2}}), {});
    EXPECT_EQ(staged_order(out.del), (std::vector<TE>{{{1, 11}, 6, 0}}));
    EXPECT_TRUE(out.ins.empty());
}

TEST(JoinNode, SameBatchInsertsOfAMatchingPairMakeOneChildFromTheLeftSide) {
    Join j;
    j.preload({{5}}, {});
    Staged<Tuple> out = j.run(left_batch({{{1}, 3, 0}}), right_batch({{10, 4, 0}}));
    EXPECT_EQ(staged_order(out.ins), (std::vector<TE>{{{5, 10}, 4, 1}, {{1, 10}, 3, 0}}));
    EXPECT_EQ(j.node.children.size(), 2u);
}

TEST(JoinNode, LeftSequenceNumbersGoOldestFirstAndSurviveReinsertion) {
    Join j;
    j.run(left_batch({{{1}, 1, 0}, {{2}, 2, 0}, {{3}, 3, 0}}), {});
    EXPECT_EQ(j.node.left_seq({1}), 1u);
    EXPECT_EQ(j.node.left_seq({2}), 2u);
    EXPECT_EQ(j.node.left_seq({3}), 3u);
    j.run(left_batch({}, {}, {{{1}, 4, 0}}), {});
    j.run(left_batch({{{4}, 5, 0}, {{1}, 6, 0}}), {});
    EXPECT_EQ(j.node.left_seq({1}), 1u);
    EXPECT_EQ(j.node.left_seq({4}), 4u);
    EXPECT_EQ(j.node.lefts.items(), (std::vector<Tuple>{{3}, {2}, {1}, {4}}));  // stored newest first
}

TEST(JoinNode, Flag4RightInsertsComeFirstThenPlainOnesOldestFirst) {
    Join j;
    j.preload({{1}}, {});
    // Staged oldest first: 10/0, 11/4, 12/0, 13/4, 14/1, 15/2.
    Staged<Tuple> out = j.run({}, right_batch({{10, 10, 0}, {11, 11, 4}, {12, 12, 0}, {13, 13, 4}, {14, 14, 1},
                                               {15, 15, 2}}));
    EXPECT_EQ(staged_order(out.ins), (std::vector<TE>{{{1, 13}, 13, 1},
                                                      {{1, 11}, 11, 1},
                                                      {{1, 10}, 10, 1},
                                                      {{1, 12}, 12, 1},
                                                      {{1, 14}, 14, 1}}));
    // The entry with flag 2 is not joined and not stored.
    EXPECT_EQ(j.node.rights.items(), (std::vector<FactId>{13, 11, 10, 12, 14}));
}

TEST(JoinNode, WithoutFlag4EveryNonLateRightInsertJoinsNewestFirst) {
    Join j;
    j.preload({{1}}, {});
    Staged<Tuple> out = j.run({}, right_batch({{10, 10, 0}, {11, 11, 1}, {12, 12, 2}}));
    EXPECT_EQ(staged_order(out.ins), (std::vector<TE>{{{1, 12}, 12, 1}, {{1, 10}, 10, 1}, {{1, 11}, 11, 1}}));
}

TEST(JoinNode, LateRightInsertsJoinLastAgainstNewestLeftsFirst) {
    Join j;
    for (FactId f : {1u, 2u, 3u}) j.preload({{f}}, {});
    j.run({}, right_batch({{10, 1, 1}, {11, 2, 0}}));
    EXPECT_EQ(j.env.tested, (std::vector<Pair>{{{1}, 11}, {{2}, 11}, {{3}, 11}, {{3}, 10}, {{2}, 10}, {{1}, 10}}));
}

TEST(JoinNode, UpdateAfterALateInsertReEmitsEachChildOnce) {
    // A late insert makes its children newest left first, against the left
    // memory's order; the update walk must still meet every child exactly once.
    Join j;
    for (FactId f : {1u, 2u, 3u}) j.preload({{f}}, {});
    j.run({}, right_batch({{10, 1, 1}}));
    Staged<Tuple> out = j.run({}, right_batch({}, {{10, 2, 2}}));
    EXPECT_TRUE(out.ins.empty());
    EXPECT_EQ(staged_order(out.upd), (std::vector<TE>{{{1, 10}, 2, 2}, {{2, 10}, 2, 2}, {{3, 10}, 2, 2}}));
    EXPECT_EQ(j.alive_by_right(10), (std::vector<Tuple>{{1, 10}, {2, 10}, {3, 10}}));
}

TEST(TemporalJoin, UpdateAfterSameBatchPairsReachesEveryChild) {
    // Same-batch children of an event are made self first, then older facts;
    // a later update of the event as a left tuple must drop every lost pair.
    Join j(kNoIndex, true);
    j.run(left_batch({{{1}, 1, 0}, {{2}, 2, 0}}), right_batch({{1, 3, 0}, {2, 4, 0}}));
    ASSERT_EQ(j.alive_of_left({2}).size(), 2u);
    j.env.allow_only({});
    Staged<Tuple> out = j.run(left_batch({}, {{{2}, 5, 2}}), {});
    EXPECT_EQ(items_of(out.del), (std::vector<Tuple>{{2, 2}, {2, 1}}));
    EXPECT_TRUE(j.alive_of_left({2}).empty());
}

TEST(JoinNode, ExpiredCandidatesAreSkippedOnlyByInsertJoins) {
    Join j;
    j.env.expired_joins = false;
    j.env.expired = {2, 11};
    j.preload({{1}, {2}}, {});
    Staged<Tuple> out = j.run(left_batch({{{3}, 1, 0}}), right_batch({{10, 2, 0}, {11, 3, 0}}));
    // Right inserts skip the expired tuple [2]; the left insert skips the expired fact 11.
    EXPECT_EQ(items_of(out.ins), (std::vector<Tuple>{{3, 10}, {1, 10}, {1, 11}}));
    out = j.run({}, right_batch({{12, 4, 1}}));  // late inserts test everything, newest left first
    std::vector<Tuple> made;
    for (const auto& e : staged_order(out.ins)) made.push_back(e.item);
    EXPECT_EQ(made, (std::vector<Tuple>{{3, 12}, {1, 12}, {2, 12}}));
    j.env.expired_joins = true;
    out = j.run(left_batch({{{4}, 5, 0}}), {});
    EXPECT_EQ(out.ins.size(), 3u);  // 10, 11, 12
}

TEST(JoinNode, MixedIntegerAndFloatKeysMatchWhicheverSideArrivesFirst) {
    // The tuple binds an F64 3.7, the fact's field is an I64 3 (and the converse);
    // the equality join truncates, so the pair is a candidate in both orders.
    for (bool float_on_left : {true, false}) {
        for (bool left_first : {true, false}) {
            Join j(kEqualityIndex);
            Value lv = float_on_left ? Value::f64(3.7) : Value::i64(3);
            Value rv = float_on_left ? Value::i64(3) : Value::f64(3.7);
            j.env.key_on_values({{1, lv}, {10, rv}}, 0);
            Staged<Tuple> out;
            if (left_first) {
                j.run(left_batch({{{1}, 1, 0}}), {});
                out = j.run({}, right_batch({{10, 2, 0}}));
            } else {
                j.run({}, right_batch({{10, 2, 0}}));
                out = j.run(left_batch({{{1}, 1, 0}}), {});
            }
            EXPECT_EQ(items_of(out.ins), (std::vector<Tuple>{{1, 10}}))
                << "float_on_left=" << float_on_left << " left_first=" << left_first;
        }
    }
}

TEST(JoinNode, KeyedJoinTestsOnlyPairsWithMatchingKeys) {
    Join j(kEqualityIndex);
    j.env.key_on_values({{1, Value::i64(1)}, {2, Value::i64(2)}, {10, Value::i64(2)}, {11, Value::i64(3)}}, 0);
    j.run(left_batch({{{1}, 1, 0}, {{2}, 2, 0}}), right_batch({{10, 3, 0}, {11, 4, 0}}));
    EXPECT_EQ(j.env.tested, (std::vector<Pair>{{{2}, 10}}));
}

TEST(TemporalJoin, LeftInsertMeetsSameBatchRightInsertOnlyFromTheRightSide) {
    Join j(kNoIndex, true);
    j.preload({}, {5});
    j.env.mark_value = 42;
    Staged<Tuple> out = j.run(left_batch({{{1}, 1, 0}}), right_batch({{2, 2, 0}}));
    EXPECT_EQ(staged_order(out.ins), (std::vector<TE>{{{1, 2}, 2, 1}, {{1, 5}, 1, 0}}));
    EXPECT_EQ(std::count(j.env.tested.begin(), j.env.tested.end(), Pair{{1}, 2}), 1);
    EXPECT_EQ(j.node.left_marks.at({1}), 42u);
}

TEST(TemporalJoin, NormalModeNumbersLeftsNewestFirst) {
    Join j(kNoIndex, true);
    j.run(left_batch({{{1, 7}, 1, 0}, {{2, 7}, 2, 0}}), {});
    EXPECT_EQ(j.node.left_seq({2, 7}), 1u);
    EXPECT_EQ(j.node.left_seq({1, 7}), 2u);
}

TEST(TemporalJoin, RightInsertMeetsLaterArrivalsFirstThenTheRest) {
    Join j(kNoIndex, true);
    j.preload({{1}, {2}, {3}, {4}}, {});
    j.node.left_ranks = {{{1}, 5}, {{2}, 1}, {{3}, 9}};
    j.node.right_ranks = {{10, 4}};
    j.run({}, right_batch({{10, 1, 0}}));
    // Above the cut (rank 4): [1] (5), [3] (9); then [4] (0) and [2] (1).
    EXPECT_EQ(j.env.tested, (std::vector<Pair>{{{1}, 10}, {{3}, 10}, {{4}, 10}, {{2}, 10}}));
}

TEST(TemporalJoin, TailSwitchTakesRightInsertsOldestFirst) {
    for (bool tail : {false, true}) {
        Join j(kNoIndex, true);
        j.preload({{1}}, {});
        if (tail) j.env.vars["QUARN_JSR"] = "tail";
        Staged<Tuple> out = j.run({}, right_batch({{10, 1, 0}, {11, 2, 0}}));
        std::vector<Tuple> want = tail ? std::vector<Tuple>{{1, 10}, {1, 11}} : std::vector<Tuple>{{1, 11}, {1, 10}};
        EXPECT_EQ(items_of(out.ins), std::vector<Tuple>(want.rbegin(), want.rend())) << tail;
    }
}

TEST(TemporalJoin, SameBatchEventsPairInTemporalOrder) {
    Join j(kNoIndex, true);
    // e1 = fact 1 then e2 = fact 2 on both inputs.
    Staged<Tuple> out = j.run(left_batch({{{1}, 11, 0}, {{2}, 12, 0}}), right_batch({{1, 21, 0}, {2, 22, 0}}));
    EXPECT_EQ(j.env.tested, (std::vector<Pair>{{{1}, 2}, {{2}, 2}, {{2}, 1}, {{1}, 1}}));
    EXPECT_EQ(staged_order(out.ins),
              (std::vector<TE>{{{1, 2}, 12, 1}, {{2, 2}, 12, 1}, {{2, 1}, 12, 0}, {{1, 1}, 12, 1}}));
    EXPECT_EQ(j.node.lefts.items(), (std::vector<Tuple>{{1}, {2}}));
    EXPECT_EQ(j.node.rights.items(), (std::vector<FactId>{1, 2}));
    EXPECT_EQ(j.node.left_seq({1}), 1u);
}

TEST(TemporalJoin, SameBatchEventsMeetEarlierLeftsAndFacts) {
    Join j(kNoIndex, true);
    j.preload({{8}}, {9});
    j.run(left_batch({{{1}, 1, 0}}), right_batch({{1, 2, 0}}));
    EXPECT_EQ(j.env.tested, (std::vector<Pair>{{{8}, 1}, {{1}, 1}, {{1}, 9}}));
}

TEST(TemporalJoin, UpdateKeepsMatchesWhoseTimestampKeysDiffer) {
    // An equality-indexed temporal pattern keys on event times; a right update
    // must still re-emit its child instead of dropping it.
    Join j(kEqualityIndex, true);
    j.env.key_on_values({{1, Value::i64(1000)}, {10, Value::i64(6000)}}, 0);
    j.run(left_batch({{{1}, 1, 0}}), {});
    Staged<Tuple> out = j.run({}, right_batch({{10, 2, 0}}));
    ASSERT_EQ(items_of(out.ins), (std::vector<Tuple>{{1, 10}}));
    out = j.run({}, right_batch({}, {{10, 3, 2}}));
    EXPECT_EQ(staged_order(out.upd), (std::vector<TE>{{{1, 10}, 3, 2}}));
    EXPECT_TRUE(out.del.empty());
    out = j.run(left_batch({}, {{{1}, 4, 2}}), {});
    EXPECT_EQ(staged_order(out.upd), (std::vector<TE>{{{1, 10}, 4, 2}}));
    EXPECT_TRUE(out.del.empty());
}

TEST(JoinTrace, WritesHeaderUpdateAndClosingLines) {
    Join j(kEqualityIndex);
    j.env.key_on_values({{1, Value::i64(5)}, {10, Value::i64(5)}}, 0);
    j.run(left_batch({{{1}, 1, 0}}), right_batch({{10, 2, 0}}));
    EXPECT_TRUE(j.env.lines.empty());
    j.env.vars["QUARN_TRACE"] = "";
    j.run({}, right_batch({}, {{10, 3, 2}}));
    EXPECT_EQ(j.env.lines, (std::vector<std::string>{
                               "do_node[0] sl(ins=[] upd=[] del=[]) sr(ins=[] upd=[(FactId(10), Some(3), 2)] del=[])",
                               "  rupd f=FactId(10) rkey=Some([I64(5)]) bucket=[[FactId(1)]] first_child=Some(0)",
                               "  trg ins=[] upd=[([FactId(1), FactId(10)], Some(3), 2)] del=[]",
                               "  rights=[(FactId(10), Some([I64(5)]))] lefts=[([FactId(1)], Some([I64(5)]))]",
                               "  post by_right[FactId(10)] alive=[[FactId(1), FactId(10)]]",
                           }));
}

TEST(JoinNode, RandomBatchesKeepExactlyTheAllowedPairs) {
    // Left tuples [l] (l < 100) and right facts r (r >= 100) carry a value each;
    // a pair is allowed when the values are equal (keyed nodes) or their sum is
    // even (unkeyed). Right inserts carry the plain, late and selecting flags.
    // After every batch the node's alive children, and the set a consumer
    // builds from the staged output, must be exactly the allowed pairs.
    for (auto [op, temporal] : {std::pair{uint8_t{kEqualityIndex}, false}, std::pair{uint8_t{kNoIndex}, false},
                                std::pair{uint8_t{kEqualityIndex}, true}, std::pair{uint8_t{kNoIndex}, true}}) {
        std::mt19937 rng(op * 2 + temporal);
        Join j(op, temporal);
        j.env.key_on_values({}, 0);
        auto& kv = *j.env.key_values;
        auto pass = [&](FactId a, FactId b) {
            int64_t x = kv.at(a).as_i64(), y = kv.at(b).as_i64();
            return op == kEqualityIndex ? x == y : (x + y) % 2 == 0;  // copied: structured bindings
        };
        j.env.allow = [&](const Tuple& t, FactId f) { return pass(t[0], f); };
        std::set<FactId> lefts, rights;
        std::set<Tuple> consumer;
        for (int round = 0; round < 300; ++round) {
            Staged<Tuple> sl;
            Staged<FactId> sr;
            std::set<FactId> touched;
            for (int k = 0; k < 6; ++k) {
                bool left = rng() % 2 == 0;
                FactId id = left ? rng() % 12 : 100 + rng() % 12;
                if (!touched.insert(id).second) continue;
                auto& held = left ? lefts : rights;
                Stamp s = static_cast<uint64_t>(round);
                if (!held.contains(id)) {
                    kv[id] = Value::i64(rng() % 3);
                    held.insert(id);
                    const uint8_t flags[] = {0, 1, 4};
                    left ? sl.add_ins_ph({id}, s, 0) : sr.add_ins_ph(id, s, flags[rng() % 3]);
                } else if (rng() % 2 == 0) {
                    held.erase(id);
                    left ? sl.add_del({id}, s) : sr.add_del(id, s);
                } else {
                    kv[id] = Value::i64(rng() % 3);
                    left ? sl.add_upd_ph({id}, s, 2) : sr.add_upd_ph(id, s, 2);
                }
            }
            Staged<Tuple> out = j.run(std::move(sl), std::move(sr));
            ASSERT_TRUE(out.cancelled.empty());
            for (const auto& e : out.del) ASSERT_EQ(consumer.erase(e.item), 1u) << debug(e);
            for (const auto& e : out.upd) ASSERT_TRUE(consumer.contains(e.item)) << debug(e);
            for (const auto& e : out.ins) ASSERT_TRUE(consumer.insert(e.item).second) << debug(e);
            std::set<Tuple> want, alive;
            for (FactId l : lefts) {
                for (FactId r : rights) {
                    if (pass(l, r)) want.insert({l, r});
                }
            }
            for (const Child& c : j.node.children) {
                if (!c.dead) {
                    ASSERT_TRUE(alive.insert(c.tuple).second);
                }
            }
            ASSERT_EQ(consumer, want) << "round " << round << " op " << int(op);
            ASSERT_EQ(alive, want) << "round " << round << " op " << int(op);
        }
    }
}
