#include <gtest/gtest.h>

#include "network_scripted_env.h"

using namespace quarn;
using namespace quarn::testing;

namespace {

Key key_of(int64_t v) { return std::vector<Value>{Value::i64(v)}; }

}  // namespace

TEST(SelfDrain, StoresHeldInsertsOldestFirstWithoutChildren) {
    Rig rig;
    rig.env.mark_value = 5;
    rig.env.right_key = [](FactId f) { return key_of(f); };
    rig.node.put_back_staged_right(rb({{1, 1, Insert}, {2, 2, Insert}, {3, 3, Insert}}, {}, {{4, 4, Insert}}));
    rig.hold_lefts(lb({{{7}, 7, Insert}, {{8}, 8, Insert}, {{9}, 9, Insert}}, {{{6}, 6, Change}}));

    rig.node.self_drain_delta(rig.env, 0);
    EXPECT_EQ(rig.rights(), (Facts{1, 2, 3}));
    EXPECT_EQ(rig.node.right_memory().find_first(2)->key, key_of(2));
    EXPECT_EQ(rig.lefts(), (Tuples{{7}, {8}, {9}}));
    EXPECT_EQ(rig.seqs({{9}})[0], 3u);
    EXPECT_EQ(*rig.mark({8}), 5u);
    EXPECT_EQ(rig.node.child_count(), 0u);
    EXPECT_TRUE(rig.node.staged_right().ins.empty() && rig.node.staged_left().ins.empty());
    EXPECT_EQ(items_of(rig.node.staged_right().del), (Facts{4}));
    EXPECT_EQ(items_of(rig.held_lefts().upd), (Tuples{{6}}));
}

TEST(FlushIns, JoinsRightThenLeftInsertsPairsAFactWithItselfOnceAndSkipsExpiredCandidates) {
    for (bool join_expired : {true, false}) {
        Rig rig;
        rig.env.mark_value = 3;
        rig.env.expired = {2, 5};
        rig.env.allow_only({{{5}, 1}, {{1}, 1}, {{1}, 2}});
        rig.node.stage_left_insert(rig.id({5}), 0, Insert);
        rig.node.stage_right_insert(2, 0, Insert);
        rig.node.self_drain_delta(rig.env, 0);
        rig.env.expired_joins = join_expired;

        rig.node.stage_right_insert(1, 10, Insert);
        rig.node.stage_left_insert(rig.id({7}), 12, Insert);
        Staged<TupleId> out;
        rig.node.flush_ins_delta(rig.env, 0, rig.env.ids(TEs{{{1}, 11, Insert}}), out);
        Staged<Tuple> trg = rig.env.facts(out);
        EXPECT_EQ(entries_of(trg.ins), (join_expired ? TEs{{{1, 2}, 11, Insert}, {{1, 1}, 10, RightInsert}, {{5, 1}, 10, RightInsert}}
                                                     : TEs{{{1, 1}, 10, RightInsert}}));
        EXPECT_EQ(std::count(rig.env.tested.begin(), rig.env.tested.end(), Pair{{1}, 1}), 1);
        EXPECT_EQ(rig.rights(), (Facts{2, 1}));
        EXPECT_EQ(rig.lefts(), (Tuples{{5}, {1}, {7}}));
        EXPECT_EQ(rig.seqs({{7}})[0], 3u);
        EXPECT_EQ(*rig.mark({7}), 3u);
        EXPECT_TRUE(rig.node.staged_right().ins.empty() && rig.node.staged_left().ins.empty());
    }
}

TEST(DrainRights, MovesOnlyTheFactsThePredicateTakesAndKeepsTheRestInOrder) {
    Rig rig;
    for (FactId f : {1u, 2u, 3u, 4u}) rig.node.stage_right_insert(f, f, Insert);
    rig.node.drain_staged_rights_to_memory_if(rig.env, 0, std::nullopt, [](FactId) { return false; });
    EXPECT_EQ(items_of(rig.node.staged_right().ins), (Facts{4, 3, 2, 1}));
    EXPECT_TRUE(rig.node.right_memory().empty());
    rig.node.drain_staged_rights_to_memory_if(rig.env, 0, FactId{4}, [](FactId f) { return f != 3; });
    EXPECT_EQ(rig.rights(), (Facts{1, 2}));
    EXPECT_EQ(entries_of(rig.node.staged_right().ins), (std::vector<RE>{{4, 4, Insert}, {3, 3, Insert}}));
}

TEST(PeerMerge, InsertOfATupleWhoseDeleteIsStagedLeavesItPresent) {
    // [1] is in the memory and its delete is held (or comes in the peer's own
    // batch); the peer reports it inserted again. The next evaluation must end
    // with [1] present and joined.
    for (bool delete_in_peer : {false, true}) {
        Rig rig;
        rig.run(lb({{{1}, 1, Insert}}), rb({{10, 2, Insert}}));
        Staged<Tuple> peer;
        if (delete_in_peer) {
            peer.add_del({1}, 3);
        } else {
            rig.node.stage_left_delete(rig.id({1}), 3);
        }
        peer.add_ins_ph({1}, 4, Insert);
        rig.peer_merge(peer);
        auto trg = rig.run_held();
        EXPECT_EQ(rig.lefts(), (Tuples{{1}}));
        EXPECT_EQ(rig.alive_children(), (Tuples{{1, 10}}));
        EXPECT_EQ(items_of(trg.del), (Tuples{{1, 10}}));
        EXPECT_EQ(entries_of(trg.ins), (TEs{{{1, 10}, 4, Insert}}));
    }
}

TEST(PeerMerge, FoldsEachKindOfEntryByTheStateOfTheHeldDelta) {
    // Held: inserts [1] (stamp 1) and [2] (2), update [3] (3); memory [4], [5].
    // (Deletes, cancellations and re-inserted tuples are pinned by the random
    // batches, whose peer target goes wrong without them.)
    struct Case {
        const char* name;
        std::function<void(Staged<Tuple>&)> peer;
        TEs ins, upd, del;
        Tuples lefts;
    };
    const TEs held_ins{{{2}, 2, Insert}, {{1}, 1, Insert}};
    const TEs held_upd{{{3}, 3, Change}};
    const Tuples memory{{4}, {5}};
    const std::vector<Case> cases = {
        {"insert of a held insert moves it to the front with its own stamp",
         [](auto& p) { p.add_ins_ph({1}, 9, RightInsert); }, {{{1}, 1, Insert}, {{2}, 2, Insert}}, held_upd, {}, memory},
        {"insert of a held update replaces it", [](auto& p) { p.add_ins_ph({3}, 9, RightInsert); }, held_ins,
         {{{3}, 9, RightInsert}}, {}, memory},
        {"insert of a stored tuple moves it to the end of the memory", [](auto& p) { p.add_ins_ph({4}, 9, Insert); },
         held_ins, held_upd, {}, {{5}, {4}}},
        {"updates of held inserts are dropped, others go to the front",
         [](auto& p) {
             p.add_upd_ph({2}, 9, Change);
             p.add_upd_ph({5}, 10, Change);
         },
         held_ins, {{{5}, 10, Change}, {{3}, 3, Change}}, {}, memory},
        {"a new tuple is staged as an insert at the front", [](auto& p) { p.add_ins_ph({6}, 9, RightInsert); },
         {{{6}, 9, RightInsert}, {{2}, 2, Insert}, {{1}, 1, Insert}}, held_upd, {}, memory},
    };
    for (const Case& c : cases) {
        Rig rig;
        for (const Tuple& t : memory) rig.push_left(t);
        rig.hold_lefts(lb({{{1}, 1, Insert}, {{2}, 2, Insert}}, {{{3}, 3, Change}}));
        Staged<Tuple> peer;
        c.peer(peer);
        rig.peer_merge(peer);
        const Staged<Tuple> held = rig.held_lefts();
        EXPECT_EQ(std::make_tuple(entries_of(held.ins), entries_of(held.upd), entries_of(held.del)),
                  std::make_tuple(c.ins, c.upd, c.del)) << c.name;
        EXPECT_EQ(rig.lefts(), c.lefts) << c.name;
    }
}

TEST(PeerMerge, InsertOfATupleANotNodeHoldsBlockedStagesNothing) {
    Rig rig(Kind::Not);
    rig.pairs = {{{1}, 10}};
    rig.run(lb({{{1}, 1, Insert}}), rb({{10, 2, Insert}}));
    Staged<Tuple> peer;
    peer.add_ins_ph({1}, 3, Insert);
    rig.peer_merge(peer);
    EXPECT_TRUE(rig.node.staged_left().empty());
}

TEST(ReAdd, RightFactMovesItsChildrenToTheEndOfTheirParentsLists) {
    Rig rig;
    rig.env.allow = [](const Tuple&, FactId) { return true; };
    rig.run({}, rb({{11, 0, Insert}, {10, 0, Insert}}));
    rig.run(lb({{{2}, 0, Insert}, {{1}, 0, Insert}}));
    ASSERT_EQ(rig.alive_of_left({1}), (Tuples{{1, 10}, {1, 11}}));

    rig.node.re_add_right_fact(10, key_of(4));
    EXPECT_EQ(rig.rights(), (Facts{11, 10}));
    EXPECT_EQ(rig.node.right_memory().find_first(10)->key, key_of(4));
    EXPECT_EQ(rig.alive_of_left({1}), (Tuples{{1, 11}, {1, 10}}));
    EXPECT_EQ(rig.alive_of_left({2}), (Tuples{{2, 11}, {2, 10}}));

    // A fact the memory does not hold is not added, but its children still move.
    rig.node.remove_right(11);
    rig.node.re_add_right_fact(11, key_of(5));
    EXPECT_EQ(rig.rights(), (Facts{10}));
    EXPECT_EQ(rig.alive_of_left({1}), (Tuples{{1, 10}, {1, 11}}));
}

TEST(NotMaskMiss, ReattachesTuplesByTheSearchThatResumesAtTheNeighbour) {
    struct Case {
        const char* name;
        IndexSpec index_op;
        FactId blocker;                            // blocks [1] at first; then re-added
        std::set<Pair> after;                      // what qualifies afterwards
        std::optional<FactId> found;
    };
    const std::vector<Case> cases = {
        {"the same fact, now last", IndexSpec::none(), 10, {{{1}, 10}}, 10},
        {"the fact that followed it", IndexSpec::none(), 11, {{{1}, 10}, {{1}, 11}, {{1}, 12}}, 12},
        {"last in memory: the fact before it", IndexSpec::none(), 13, {{{1}, 10}, {{1}, 12}, {{1}, 13}}, 12},
        {"keyed: the next fact sharing its key", IndexSpec::equality(), 11, {{{1}, 10}, {{1}, 11}, {{1}, 13}}, 13},
        {"none: the tuple is freed", IndexSpec::none(), 10, {}, std::nullopt},
    };
    for (const Case& c : cases) {
        Rig rig(Kind::Not, c.index_op);
        rig.env.key_on_values({{1, Value::i64(1)}, {10, Value::i64(1)}, {11, Value::i64(1)}, {12, Value::i64(2)},
                               {13, Value::i64(1)}});
        rig.store({10, 11, 12, 13});
        rig.pairs = {{{1}, c.blocker}};
        rig.run(lb({{{1}, 1, Insert}}));
        rig.pairs = c.after;
        rig.node.not_mask_miss_re_add(rig.env, 0, c.blocker);
        EXPECT_EQ(rig.rights().back(), c.blocker) << c.name;
        EXPECT_EQ(rig.blocker({1}), c.found) << c.name;
        EXPECT_TRUE(rig.node.staged_left().empty()) << c.name;
        if (c.found) {
            EXPECT_EQ(rig.blocked_by(*c.found), (Tuples{{1}})) << c.name;
            EXPECT_TRUE(rig.node.parked().empty()) << c.name;
            continue;
        }
        // A freed tuple returns to `lefts` and gets its child at the next evaluation.
        EXPECT_TRUE(rig.node.blockers().empty());
        EXPECT_EQ(rig.lefts(), (Tuples{{1}}));
        EXPECT_EQ(entries_of(rig.run().ins), (TEs{{{1}, std::nullopt, Insert}}));
    }
}

TEST(HeldInput, ListsSetAsideGoBackBehindWhatWasStagedSince) {
    Rig rig;
    rig.node.stage_right_insert(1, 1, Insert);
    rig.node.stage_right_insert(2, 2, RightInsert);
    rig.node.stage_right_delete(7, 3);
    rig.node.stage_left_delete(rig.id({8}), 4);
    EntryList<FactId> ins = rig.node.take_right_list(Node::StagedList::Inserts);
    EntryList<TupleId> del = rig.node.take_left_list(Node::StagedList::Deletes);
    EXPECT_EQ(items_of(rig.node.staged_right().del), (Facts{7}));  // the other lists stay
    EXPECT_FALSE(rig.node.staged_left().del.contains(rig.id({8})));

    rig.node.stage_right_insert(3, 5, Insert);
    rig.node.stage_left_delete(rig.id({9}), 6);
    rig.node.put_behind_right_list(Node::StagedList::Inserts, std::move(ins));
    rig.node.put_behind_left_list(Node::StagedList::Deletes, std::move(del));
    EXPECT_EQ(entries_of(rig.node.staged_right().ins), (std::vector<RE>{{3, 5, Insert}, {2, 2, RightInsert}, {1, 1, Insert}}));
    EXPECT_EQ(items_of(rig.held_lefts().del), (Tuples{{9}, {8}}));
}

TEST(HeldInput, ASpentDeltaBecomesFreshAndOneWithEntriesStays) {
    Rig rig;
    // A withdrawn insert leaves a placeholder and no entry.
    Staged<TupleId> spent;
    spent.placeholders_on = true;
    spent.add_ins_ph(rig.id({1}), 1, Insert);
    spent.add_del(rig.id({1}), 2);
    ASSERT_TRUE(spent.empty() && !spent.fresh());
    rig.node.put_back_staged_left(std::move(spent));
    rig.node.stage_right_update(5, 3, Change);
    EXPECT_TRUE(rig.node.holds_staged_input());

    rig.node.drop_spent_input();
    EXPECT_TRUE(rig.node.staged_left().fresh());
    EXPECT_EQ(entries_of(rig.node.staged_right().upd), (std::vector<RE>{{5, 3, Change}}));
    rig.node.take_staged_right();
    EXPECT_FALSE(rig.node.holds_staged_input());
}

TEST(EngineSideMemories, RestoredMemoriesAnswerAsBeforeTheFailedPass) {
    Rig rig(Kind::Join, IndexSpec::equality());
    rig.node.store_right(1, key_of(1));
    rig.node.store_right(2, key_of(2));
    rig.node.store_right(3, key_of(1));
    rig.push_left({9}, key_of(1));
    Node::Memories before = rig.node.memories();

    rig.node.remove_right(1);
    rig.node.store_right(4, key_of(1));
    rig.node.remove_left(rig.id({9}));
    rig.node.restore_memories(std::move(before));
    rig.node.verify();
    EXPECT_EQ(rig.rights(), (Facts{1, 2, 3}));
    EXPECT_EQ(rig.node.scan_rights(key_of(1)), (Facts{1, 3}));
    EXPECT_EQ(rig.lefts(), (Tuples{{9}}));
    EXPECT_EQ(rig.node.scan_lefts(key_of(1)), std::vector<TupleId>{rig.id({9})});
}
