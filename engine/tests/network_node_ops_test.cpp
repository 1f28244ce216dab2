#include <gtest/gtest.h>

#include "network_scripted_env.h"

using namespace quarn;
using namespace quarn::testing;

namespace {

using TE = StagedEntry<Tuple>;
using RE = StagedEntry<FactId>;

struct Fixture {
    ScriptedEnv env;
    Node node;
    Staged<Tuple> pending;

    explicit Fixture(Kind kind = Kind::Join, uint8_t index_op = kNoIndex)
        : node(Node::new_ex(index_op, kind, false)) {}

    Staged<Tuple> evaluate() {
        Out out(pending);
        do_node(env, 0, node, std::exchange(node.staged_lefts, {}), std::exchange(node.staged_rights, {}), out);
        return std::move(out.trg);
    }
    // Facts, then tuples, stored in this memory order, one evaluation each.
    void store(std::vector<FactId> rights, std::vector<Tuple> lefts) {
        for (FactId f : rights) {
            node.staged_rights.add_ins_ph(f, 0, 0);
            evaluate();
        }
        for (const Tuple& t : lefts) {
            node.staged_lefts.add_ins_ph(t, 0, 0);
            evaluate();
        }
    }
    std::vector<Tuple> alive_children() const {
        std::vector<Tuple> out;
        for (const Child& c : node.children) {
            if (!c.dead) out.push_back(c.tuple);
        }
        return out;
    }
    std::vector<Tuple> tuples_of_left(const Tuple& t) const {
        std::vector<Tuple> out;
        for (size_t p : node.children_of_left.at(t)) out.push_back(node.children[p].tuple);
        return out;
    }
};

Key key_of(int64_t v) { return std::vector<Value>{Value::i64(v)}; }

TEST(SelfDrain, StoresHeldInsertsOldestFirstWithoutChildren) {
    Fixture fx;
    fx.env.mark_value = 5;
    fx.env.right_key = [](FactId f) { return key_of(f); };
    for (FactId f : {1u, 2u, 3u}) fx.node.staged_rights.add_ins_ph(f, f, 0);
    for (FactId f : {7u, 8u, 9u}) fx.node.staged_lefts.add_ins_ph({f}, f, 0);
    fx.node.staged_rights.add_del(4, 4);
    fx.node.staged_lefts.add_upd_ph({6}, 6, 2);

    fx.node.self_drain_delta(fx.env, 0);
    EXPECT_EQ(fx.node.rights.items(), (std::vector<FactId>{1, 2, 3}));
    EXPECT_EQ(fx.node.rights.find_first(2)->key, key_of(2));
    EXPECT_EQ(fx.node.lefts.items(), (std::vector<Tuple>{{7}, {8}, {9}}));
    EXPECT_EQ(fx.node.left_seq({7}), 1u);
    EXPECT_EQ(fx.node.left_seq({9}), 3u);
    EXPECT_EQ(fx.node.left_marks.at({8}), 5u);
    EXPECT_TRUE(fx.node.children.empty());
    EXPECT_TRUE(fx.node.staged_rights.ins.empty() && fx.node.staged_lefts.ins.empty());
    EXPECT_EQ(items_of(fx.node.staged_rights.del), (std::vector<FactId>{4}));
    EXPECT_EQ(items_of(fx.node.staged_lefts.upd), (std::vector<Tuple>{{6}}));
}

TEST(FlushIns, JoinsRightInsertsThenLeftInsertsAndPairsAFactWithItselfOnce) {
    Fixture fx;
    fx.env.mark_value = 3;
    fx.env.allow_only({{{5}, 1}, {{1}, 1}, {{1}, 2}});
    fx.node.staged_lefts.add_ins_ph({5}, 0, 0);
    fx.node.staged_rights.add_ins_ph(2, 0, 0);
    fx.node.self_drain_delta(fx.env, 0);

    fx.node.staged_rights.add_ins_ph(1, 10, 0);
    fx.node.staged_lefts.add_ins_ph({7}, 12, 0);
    Staged<Tuple> trg;
    fx.node.flush_ins_delta(fx.env, 0, {TE{{1}, 11, 0}}, trg);

    EXPECT_EQ(entries_of(trg.ins), (std::vector<TE>{{{1, 2}, 11, 0}, {{1, 1}, 10, 1}, {{5, 1}, 10, 1}}));
    EXPECT_EQ(std::count(fx.env.tested.begin(), fx.env.tested.end(), ScriptedEnv::Pair{{1}, 1}), 1);
    EXPECT_EQ(fx.node.rights.items(), (std::vector<FactId>{2, 1}));
    EXPECT_EQ(fx.node.lefts.items(), (std::vector<Tuple>{{5}, {1}, {7}}));
    EXPECT_EQ(fx.node.left_seq({1}), 2u);
    EXPECT_EQ(fx.node.left_seq({7}), 3u);
    EXPECT_EQ(fx.node.left_marks.at({7}), 3u);
    EXPECT_TRUE(fx.node.staged_rights.ins.empty() && fx.node.staged_lefts.ins.empty());
}

TEST(FlushIns, SkipsExpiredCandidatesUnlessTheEnvironmentJoinsThem) {
    for (bool join_expired : {false, true}) {
        Fixture fx;
        fx.env.expired_joins = join_expired;
        fx.env.expired = {2, 5};
        fx.node.staged_lefts.add_ins_ph({5}, 0, 0);
        fx.node.staged_rights.add_ins_ph(2, 0, 0);
        fx.node.self_drain_delta(fx.env, 0);
        fx.node.staged_rights.add_ins_ph(1, 1, 0);
        fx.node.staged_lefts.add_ins_ph({6}, 2, 0);
        Staged<Tuple> trg;
        fx.node.flush_ins_delta(fx.env, 0, {}, trg);
        std::vector<Tuple> want{{6, 1}};
        if (join_expired) want = {{6, 1}, {6, 2}, {5, 1}};
        EXPECT_EQ(items_of(trg.ins), want) << join_expired;
    }
}

TEST(DrainRights, MovesOnlyTheFactsThePredicateTakesAndKeepsTheRestInOrder) {
    Fixture fx;
    for (FactId f : {1u, 2u, 3u, 4u}) fx.node.staged_rights.add_ins_ph(f, f, 0);

    fx.node.drain_staged_rights_to_memory_if(fx.env, 0, std::nullopt, [](FactId) { return false; });
    EXPECT_EQ(items_of(fx.node.staged_rights.ins), (std::vector<FactId>{4, 3, 2, 1}));
    EXPECT_TRUE(fx.node.rights.empty());

    fx.node.drain_staged_rights_to_memory_if(fx.env, 0, FactId{4}, [](FactId f) { return f != 3; });
    EXPECT_EQ(fx.node.rights.items(), (std::vector<FactId>{1, 2}));
    EXPECT_EQ(entries_of(fx.node.staged_rights.ins), (std::vector<RE>{{4, 4, 0}, {3, 3, 0}}));
}

TEST(PeerMerge, InsertOfATupleWhoseDeleteIsStagedLeavesItPresent) {
    // [1] is in the memory and its delete is held; a peer reports it inserted
    // again. The next evaluation must end with [1] present and joined.
    Fixture fx;
    fx.node.staged_lefts.add_ins_ph({1}, 1, 0);
    fx.node.staged_rights.add_ins_ph(10, 2, 0);
    fx.evaluate();
    fx.node.staged_lefts.add_del({1}, 3);
    Staged<Tuple> peer;
    peer.add_ins_ph({1}, 4, 0);
    fx.node.peer_merge_left(peer);
    auto trg = fx.evaluate();
    EXPECT_EQ(fx.node.lefts.items(), (std::vector<Tuple>{{1}}));
    EXPECT_EQ(fx.alive_children(), (std::vector<Tuple>{{1, 10}}));
    EXPECT_EQ(items_of(trg.del), (std::vector<Tuple>{{1, 10}}));
    EXPECT_EQ(entries_of(trg.ins), (std::vector<TE>{{{1, 10}, 4, 0}}));

    // The same when the peer's own batch deletes and re-inserts the tuple.
    Fixture both;
    both.node.staged_lefts.add_ins_ph({1}, 1, 0);
    both.node.staged_rights.add_ins_ph(10, 2, 0);
    both.evaluate();
    Staged<Tuple> again;
    again.add_del({1}, 3);
    again.add_ins_ph({1}, 4, 0);
    both.node.peer_merge_left(again);
    both.evaluate();
    EXPECT_EQ(both.node.lefts.items(), (std::vector<Tuple>{{1}}));
    EXPECT_EQ(both.alive_children(), (std::vector<Tuple>{{1, 10}}));
}

TEST(PeerMerge, FoldsEachKindOfEntryByTheStateOfTheHeldDelta) {
    // Held: inserts a (stamp 1) and b (2), update c (3); memory: d, e.
    auto setup = [](Fixture& fx) {
        fx.node.lefts.push_back({4}, std::nullopt);
        fx.node.lefts.push_back({5}, std::nullopt);
        fx.node.staged_lefts.add_ins_ph({1}, 1, 0);
        fx.node.staged_lefts.add_ins_ph({2}, 2, 0);
        fx.node.staged_lefts.add_upd_ph({3}, 3, 2);
    };
    {
        SCOPED_TRACE("insert of a held insert moves it to the front with its own stamp");
        Fixture fx;
        setup(fx);
        Staged<Tuple> peer;
        peer.add_ins_ph({1}, 9, 1);
        fx.node.peer_merge_left(peer);
        EXPECT_EQ(entries_of(fx.node.staged_lefts.ins), (std::vector<TE>{{{1}, 1, 0}, {{2}, 2, 0}}));
    }
    {
        SCOPED_TRACE("insert of a held update replaces it");
        Fixture fx;
        setup(fx);
        Staged<Tuple> peer;
        peer.add_ins_ph({3}, 9, 1);
        fx.node.peer_merge_left(peer);
        EXPECT_EQ(entries_of(fx.node.staged_lefts.upd), (std::vector<TE>{{{3}, 9, 1}}));
        EXPECT_FALSE(fx.node.staged_lefts.ins.contains({3}));
    }
    {
        SCOPED_TRACE("insert of a stored tuple moves it to the end of the memory and stages nothing");
        Fixture fx;
        setup(fx);
        Staged<Tuple> peer;
        peer.add_ins_ph({4}, 9, 0);
        fx.node.peer_merge_left(peer);
        EXPECT_EQ(fx.node.lefts.items(), (std::vector<Tuple>{{5}, {4}}));
        EXPECT_EQ(fx.node.staged_lefts.ins.size(), 2u);
        EXPECT_TRUE(fx.node.staged_lefts.upd.size() == 1 && fx.node.staged_lefts.del.empty());
    }
    {
        SCOPED_TRACE("a re-inserted tuple counts as an update");
        Fixture fx;
        setup(fx);
        Out out(fx.pending);
        fx.pending.add_ins_ph({4}, 8, 0);
        out.child_upd({4}, 9, 2);
        fx.node.peer_merge_left(out.trg);
        EXPECT_EQ(entries_of(fx.node.staged_lefts.upd), (std::vector<TE>{{{4}, 9, 2}, {{3}, 3, 2}}));
        EXPECT_EQ(fx.node.lefts.items(), (std::vector<Tuple>{{4}, {5}}));
    }
    {
        SCOPED_TRACE("updates of held inserts are dropped, others go to the front");
        Fixture fx;
        setup(fx);
        Staged<Tuple> peer;
        peer.add_upd_ph({2}, 9, 2);
        peer.add_upd_ph({5}, 10, 2);
        fx.node.peer_merge_left(peer);
        EXPECT_EQ(entries_of(fx.node.staged_lefts.upd), (std::vector<TE>{{{5}, 10, 2}, {{3}, 3, 2}}));
        EXPECT_EQ(fx.node.staged_lefts.ins.size(), 2u);
    }
    {
        SCOPED_TRACE("deletes and cancellations withdraw held inserts or stage deletes");
        Fixture fx;
        setup(fx);
        Staged<Tuple> peer;
        peer.add_del({1}, 9);
        peer.add_del({3}, 10);
        peer.cancelled.push_back({{5}, 11, 0});
        fx.node.peer_merge_left(peer);
        EXPECT_EQ(items_of(fx.node.staged_lefts.ins), (std::vector<Tuple>{{2}}));
        EXPECT_TRUE(fx.node.staged_lefts.upd.empty());
        EXPECT_EQ(entries_of(fx.node.staged_lefts.del), (std::vector<TE>{{{5}, 11, 0}, {{3}, 10, 0}}));
    }
    {
        SCOPED_TRACE("a new tuple is staged as an insert at the front");
        Fixture fx;
        setup(fx);
        Staged<Tuple> peer;
        peer.add_ins_ph({6}, 9, 1);
        fx.node.peer_merge_left(peer);
        EXPECT_EQ(entries_of(fx.node.staged_lefts.ins), (std::vector<TE>{{{6}, 9, 1}, {{2}, 2, 0}, {{1}, 1, 0}}));
    }
}

TEST(PeerMerge, InsertOfATupleANotNodeHoldsBlockedStagesNothing) {
    Fixture fx(Kind::Not);
    fx.env.allow = [](const Tuple&, FactId) { return true; };
    fx.node.staged_lefts.add_ins_ph({1}, 1, 0);
    fx.node.staged_rights.add_ins_ph(10, 2, 0);
    fx.evaluate();
    ASSERT_TRUE(fx.node.blocker_of.contains({1}));
    Staged<Tuple> peer;
    peer.add_ins_ph({1}, 3, 0);
    fx.node.peer_merge_left(peer);
    EXPECT_TRUE(fx.node.staged_lefts.empty());
    fx.evaluate();
    EXPECT_EQ(fx.node.blocked.at(10), (std::vector<Tuple>{{1}}));
}

TEST(ReAdd, RightFactMovesItsChildrenToTheEndOfTheirParentsLists) {
    Fixture fx;
    fx.store({10, 11}, {{1}, {2}});
    ASSERT_EQ(fx.tuples_of_left({1}), (std::vector<Tuple>{{1, 10}, {1, 11}}));

    fx.node.re_add_right_fact(10, key_of(4));
    EXPECT_EQ(fx.node.rights.items(), (std::vector<FactId>{11, 10}));
    EXPECT_EQ(fx.node.rights.find_first(10)->key, key_of(4));
    EXPECT_EQ(fx.tuples_of_left({1}), (std::vector<Tuple>{{1, 11}, {1, 10}}));
    EXPECT_EQ(fx.tuples_of_left({2}), (std::vector<Tuple>{{2, 11}, {2, 10}}));

    // A fact the memory does not hold is not added, but its children still move.
    fx.node.remove_right(11);
    fx.node.re_add_right_fact(11, key_of(5));
    EXPECT_EQ(fx.node.rights.items(), (std::vector<FactId>{10}));
    EXPECT_EQ(fx.tuples_of_left({1}), (std::vector<Tuple>{{1, 10}, {1, 11}}));
}

struct NotFixture : Fixture {
    std::set<ScriptedEnv::Pair> pairs;
    NotFixture() : Fixture(Kind::Not) {
        env.allow_ce = [this](const Tuple& t, FactId f) { return pairs.count({t, f}) > 0; };
    }
};

TEST(NotMaskMiss, ReattachesTuplesToTheSameFactNowLastInMemory) {
    NotFixture fx;
    fx.pairs = {{{1}, 10}};
    fx.store({10, 11}, {{1}});
    ASSERT_EQ(fx.node.blocker_of.at({1}), 10u);
    fx.node.not_mask_miss_re_add(fx.env, 0, 10);
    EXPECT_EQ(fx.node.rights.items(), (std::vector<FactId>{11, 10}));
    EXPECT_EQ(fx.node.blocker_of.at({1}), 10u);
    EXPECT_EQ(fx.node.blocked.at(10), (std::vector<Tuple>{{1}}));
    EXPECT_TRUE(fx.node.parked.empty() && fx.node.staged_lefts.empty());
}

TEST(NotMaskMiss, SearchResumesAtTheFactThatFollowedIt) {
    NotFixture fx;
    fx.pairs = {{{1}, 11}};
    fx.store({10, 11, 12}, {{1}});
    fx.pairs = {{{1}, 10}, {{1}, 11}, {{1}, 12}};
    fx.node.not_mask_miss_re_add(fx.env, 0, 11);
    EXPECT_EQ(fx.node.rights.items(), (std::vector<FactId>{10, 12, 11}));
    EXPECT_EQ(fx.node.blocker_of.at({1}), 12u);

    // Last in memory: the fact before it.
    NotFixture last;
    last.pairs = {{{1}, 12}};
    last.store({10, 11, 12}, {{1}});
    last.pairs = {{{1}, 10}, {{1}, 11}, {{1}, 12}};
    last.node.not_mask_miss_re_add(last.env, 0, 12);
    EXPECT_EQ(last.node.blocker_of.at({1}), 11u);
}

TEST(NotMaskMiss, KeyedNeighbourMustShareTheFactsKey) {
    NotFixture fx;
    fx.node = Node::new_ex(kEqualityIndex, Kind::Not, false);
    fx.env.key_on_values({{1, Value::i64(1)}, {10, Value::i64(1)}, {11, Value::i64(1)}, {12, Value::i64(2)},
                          {13, Value::i64(1)}},
                         0);
    fx.pairs = {{{1}, 11}};
    fx.store({10, 11, 12, 13}, {{1}});
    fx.pairs = {{{1}, 10}, {{1}, 11}, {{1}, 13}};
    fx.node.not_mask_miss_re_add(fx.env, 0, 11);
    EXPECT_EQ(fx.node.blocker_of.at({1}), 13u);
}

TEST(NotMaskMiss, TupleLeftWithoutBlockerReturnsToLeftsAndGetsItsChildNextTime) {
    NotFixture fx;
    fx.pairs = {{{1}, 10}};
    fx.store({10}, {{1}});
    fx.pairs.clear();
    fx.node.not_mask_miss_re_add(fx.env, 0, 10);
    EXPECT_FALSE(fx.node.blocker_of.contains({1}));
    EXPECT_TRUE(fx.node.blocked.empty());
    EXPECT_EQ(fx.node.lefts.items(), (std::vector<Tuple>{{1}}));
    auto trg = fx.evaluate();
    EXPECT_EQ(entries_of(trg.ins), (std::vector<TE>{{{1}, std::nullopt, 0}}));
}

}  // namespace
