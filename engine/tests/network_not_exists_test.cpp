#include <gtest/gtest.h>

#include "network_scripted_env.h"

using namespace quarn;
using namespace quarn::testing;

namespace {

using TE = StagedEntry<Tuple>;
using RE = StagedEntry<FactId>;

// A not or exists node whose not/exists test passes exactly the pairs listed
// in `pairs` (changeable between batches).
struct Ce {
    ScriptedEnv env;
    Node node;
    Staged<Tuple> pending;  // the child's unconsumed batch
    std::set<ScriptedEnv::Pair> pairs;

    explicit Ce(Kind kind, uint8_t index_op = kNoIndex, bool temporal = false)
        : node(Node::new_ex(index_op, kind, temporal)) {
        env.allow_ce = [this](const Tuple& t, FactId f) { return pairs.count({t, f}) > 0; };
    }
    Ce(const Ce&) = delete;

    Staged<Tuple> run(Staged<Tuple> sl, Staged<FactId> sr = {}) {
        Out out(pending);
        env.tested.clear();
        do_node(env, 0, node, std::move(sl), std::move(sr), out);
        return std::move(out.trg);
    }
    std::optional<FactId> blocker(const Tuple& t) const {
        auto it = node.blocker_of.find(t);
        if (it == node.blocker_of.end()) return std::nullopt;
        return it->second;
    }
    bool has_child(const Tuple& t) const { return node.ce_child_of(t).has_value(); }
    // Right facts stored in this memory order, one batch each.
    void store_rights(std::vector<FactId> facts) {
        for (FactId f : facts) run({}, right_batch({{f, 0, 0}}));
    }
};

// Entries of a staged list, front (newest) first.
template <class T>
std::vector<StagedEntry<T>> front_first(const EntryList<T>& l) {
    return entries_of(l);
}

TEST(NotNode, BlockerLifeCycleFromInsertThroughUpdateToDelete) {
    Ce ce(Kind::Not);
    ce.pairs = {{{1}, 10}, {{1}, 11}, {{2}, 11}};

    // [2] has no blocker and gets its child; [1] is blocked by 10.
    auto trg = ce.run(left_batch({{{1}, 1, 0}, {{2}, 2, 0}}), right_batch({{10, 3, 0}}));
    EXPECT_EQ(front_first(trg.ins), (std::vector<TE>{{{2}, 2, 0}}));
    EXPECT_EQ(ce.blocker({1}), 10u);
    EXPECT_EQ(ce.node.lefts.items(), (std::vector<Tuple>{{2}}));

    // A new fact blocks [2]: its child goes with the insert's stamp.
    trg = ce.run({}, right_batch({{11, 4, 0}}));
    EXPECT_TRUE(trg.ins.empty());
    EXPECT_EQ(front_first(trg.del), (std::vector<TE>{{{2}, 4, 0}}));
    EXPECT_EQ(ce.blocker({2}), 11u);

    // 10 stops qualifying: [1] moves to 11 without output.
    ce.pairs.erase({{1}, 10});
    trg = ce.run({}, right_batch({}, {{10, 5, 2}}));
    EXPECT_TRUE(trg.ins.empty() && trg.upd.empty() && trg.del.empty());
    EXPECT_EQ(ce.blocker({1}), 11u);
    EXPECT_EQ(ce.node.rights.items(), (std::vector<FactId>{11, 10}));
    EXPECT_EQ(ce.node.blocked.at(11), (std::vector<Tuple>{{1}, {2}}));
    EXPECT_TRUE(ce.node.lost_blocker.empty() && ce.node.has_later_right.empty());

    // Deleting 11 frees both; children come with the delete's stamp and flag 2,
    // in the order of 11's blocked list (newest first).
    trg = ce.run({}, right_batch({}, {}, {{11, 6, 0}}));
    EXPECT_EQ(front_first(trg.ins), (std::vector<TE>{{{2}, 6, 2}, {{1}, 6, 2}}));
    EXPECT_EQ(ce.node.lefts.items(), (std::vector<Tuple>{{1}, {2}}));
    EXPECT_TRUE(ce.node.blocker_of.empty() && ce.node.blocked.empty());
}

TEST(ExistsNode, BlockerLifeCycleHandsTheTupleOnUntilNoFactIsLeft) {
    Ce ce(Kind::Exists);
    ce.pairs = {{{1}, 10}, {{1}, 11}};
    ce.store_rights({10, 11});
    auto trg = ce.run(left_batch({{{1}, 1, 0}}));
    EXPECT_EQ(front_first(trg.ins), (std::vector<TE>{{{1}, 1, 0}}));
    ASSERT_EQ(ce.blocker({1}), 10u);

    trg = ce.run({}, right_batch({}, {}, {{10, 4, 0}}));
    EXPECT_TRUE(trg.ins.empty() && trg.del.empty());
    EXPECT_EQ(ce.blocker({1}), 11u);

    trg = ce.run({}, right_batch({}, {}, {{11, 5, 0}}));
    EXPECT_EQ(front_first(trg.del), (std::vector<TE>{{{1}, 5, 0}}));
    EXPECT_EQ(ce.node.lefts.items(), (std::vector<Tuple>{{1}}));

    // A right insert blocks the free tuple again: flag 1, the insert's stamp.
    trg = ce.run({}, right_batch({{11, 6, 0}}));
    EXPECT_EQ(front_first(trg.ins), (std::vector<TE>{{{1}, 6, 1}}));
}

TEST(NotNode, BlockerSearchResumesAtTheUpdatedFactsNeighbour) {
    // The neighbour after the updated fact is taken even though an earlier
    // fact also qualifies.
    Ce after(Kind::Not);
    after.pairs = {{{1}, 11}, {{1}, 12}};
    after.store_rights({10, 11, 12});
    after.run(left_batch({{{1}, 4, 0}}));
    ASSERT_EQ(after.blocker({1}), 11u);
    after.pairs = {{{1}, 10}, {{1}, 12}};
    after.run({}, right_batch({}, {{11, 5, 2}}));
    EXPECT_EQ(after.blocker({1}), 12u);

    // An updated blocker that is last in memory resumes at the fact before it.
    Ce before(Kind::Not);
    before.pairs = {{{1}, 12}};
    before.store_rights({10, 11, 12});
    before.run(left_batch({{{1}, 4, 0}}));
    ASSERT_EQ(before.blocker({1}), 12u);
    before.pairs = {{{1}, 10}, {{1}, 11}};
    before.run({}, right_batch({}, {{12, 5, 2}}));
    EXPECT_EQ(before.blocker({1}), 11u);

    // When the updated fact still qualifies it may block again, now last.
    Ce self(Kind::Not);
    self.pairs = {{{1}, 10}};
    self.store_rights({10, 11});
    self.run(left_batch({{{1}, 3, 0}}));
    auto trg = self.run({}, right_batch({}, {{10, 4, 2}}));
    EXPECT_EQ(self.blocker({1}), 10u);
    EXPECT_TRUE(trg.ins.empty() && trg.del.empty());
    EXPECT_EQ(self.node.rights.items(), (std::vector<FactId>{11, 10}));
}

TEST(CeNode, ResumedBlockerSearchStillFindsAQualifyingFactBeforeTheNeighbour) {
    // A blocker need not be the first qualifying fact in memory: a re-added
    // blocker moves to the end, and a left update may keep its blocker while
    // an earlier fact starts to qualify. A search that resumes at the
    // neighbour must then still reach the facts before it.
    Ce readd(Kind::Exists);
    readd.pairs = {{{1}, 10}, {{1}, 11}};
    readd.store_rights({10, 11, 12});
    readd.run(left_batch({{{1}, 1, 0}}));
    ASSERT_EQ(readd.blocker({1}), 10u);
    readd.node.re_add_right_fact(10, std::nullopt);
    readd.pairs = {{{1}, 11}};
    auto trg = readd.run({}, right_batch({}, {{10, 2, 2}}));
    EXPECT_EQ(readd.blocker({1}), 11u);
    EXPECT_TRUE(trg.del.empty());

    Ce kept(Kind::Not);
    kept.pairs = {{{1}, 11}, {{1}, 12}};
    kept.store_rights({10, 11, 12});
    kept.run(left_batch({{{1}, 1, 0}}));
    kept.pairs = {{{1}, 10}, {{1}, 11}, {{1}, 12}};
    kept.run(left_batch({}, {{{1}, 2, 2}}));
    ASSERT_EQ(kept.blocker({1}), 11u);
    kept.pairs = {{{1}, 10}};
    trg = kept.run({}, right_batch({}, {{11, 3, 2}}));
    EXPECT_EQ(kept.blocker({1}), 10u);
    EXPECT_TRUE(trg.ins.empty());
}

TEST(NotNode, OneUpdatedBlockerWithoutNeighbourTurnsResumingOffForTheRestOfTheBatch) {
    // Keyed on values: 10 is alone with key 1, while 11's key 2 is shared by
    // 12 and 13. 10 comes first in the update list and has no surviving
    // neighbour, so [2], which lost 11, searches from the first candidate (12)
    // instead of resuming at 11's neighbour 13.
    Ce ce(Kind::Not, kEqualityIndex);
    ce.env.key_on_values({{1, Value::i64(1)}, {2, Value::i64(2)}, {10, Value::i64(1)}, {11, Value::i64(2)},
                          {12, Value::i64(2)}, {13, Value::i64(2)}},
                         0);
    ce.pairs = {{{1}, 10}, {{2}, 11}};
    ce.store_rights({12, 11, 13, 10});
    ce.run(left_batch({{{1}, 5, 0}, {{2}, 6, 0}}));
    ASSERT_EQ(ce.blocker({1}), 10u);
    ASSERT_EQ(ce.blocker({2}), 11u);
    ce.pairs = {{{2}, 12}, {{2}, 13}};
    auto trg = ce.run({}, right_batch({}, {{11, 7, 2}, {10, 8, 2}}));
    EXPECT_EQ(ce.blocker({2}), 12u);
    EXPECT_EQ(front_first(trg.ins), (std::vector<TE>{{{1}, 8, 2}}));
    EXPECT_TRUE(ce.node.lost_blocker.empty() && ce.node.has_later_right.empty());

    // The same update of 11 alone resumes at 13.
    Ce alone(Kind::Not, kEqualityIndex);
    alone.env.key_on_values({{2, Value::i64(2)}, {11, Value::i64(2)}, {12, Value::i64(2)}, {13, Value::i64(2)}}, 0);
    alone.pairs = {{{2}, 11}};
    alone.store_rights({12, 11, 13});
    alone.run(left_batch({{{2}, 6, 0}}));
    alone.pairs = {{{2}, 12}, {{2}, 13}};
    alone.run({}, right_batch({}, {{11, 7, 2}}));
    EXPECT_EQ(alone.blocker({2}), 13u);
}

TEST(NotNode, KeyedBlockerWhoseKeyMovesAwayFreesItsTuples) {
    Ce ce(Kind::Not, kEqualityIndex);
    ce.env.key_on_values({{1, Value::i64(1)}, {10, Value::i64(1)}, {11, Value::i64(2)}}, 0);
    ce.pairs = {{{1}, 10}, {{1}, 11}};
    ce.run(left_batch({{{1}, 1, 0}}), right_batch({{10, 2, 0}, {11, 3, 0}}));
    ASSERT_EQ(ce.blocker({1}), 10u);
    (*ce.env.key_values)[10] = Value::i64(2);
    auto trg = ce.run({}, right_batch({}, {{10, 4, 2}}));
    EXPECT_EQ(front_first(trg.ins), (std::vector<TE>{{{1}, 4, 2}}));
    EXPECT_EQ(ce.node.lefts.items(), (std::vector<Tuple>{{1}}));
    // 11 was never tested: its key does not match the tuple's.
    for (const auto& [t, f] : ce.env.tested) EXPECT_NE(f, 11u);
}

TEST(NotNode, DeletedFactStillBlocksWhenTheSameBatchReinsertsIt) {
    Ce ce(Kind::Not);
    ce.pairs = {{{1}, 10}, {{1}, 11}};
    ce.store_rights({10, 11});
    Staged<FactId> sr;
    sr.add_del(10, 3);
    EXPECT_EQ(ce.node.find_blocker(ce.env, 0, {1}, std::nullopt, sr), 11u);
    sr.add_ins_ph(10, 4, 1);
    EXPECT_EQ(ce.node.find_blocker(ce.env, 0, {1}, std::nullopt, sr), 10u);
    EXPECT_EQ(ce.node.find_blocker(ce.env, 0, {1}, FactId{11}, sr), 11u);
    EXPECT_EQ(ce.node.find_blocker(ce.env, 0, {1}, FactId{99}, sr), 10u);
}

// The decision of a left update, by kind, prior state and whether the fact
// that blocked (or could block) the tuple qualifies afterwards.
struct LeftUpdateRow {
    Kind kind;
    bool blocked_before;
    bool child_before;
    bool qualifies_after;
    std::vector<Tuple> ins, upd, del;
    bool blocked_after;
};

TEST(CeNode, LeftUpdateDecisionTable) {
    const Tuple t{1};
    const std::vector<LeftUpdateRow> rows = {
        {Kind::Not, false, true, false, {}, {t}, {}, false},
        {Kind::Not, false, false, false, {t}, {}, {}, false},
        {Kind::Not, false, true, true, {}, {}, {t}, true},
        {Kind::Not, true, true, true, {}, {}, {t}, true},
        {Kind::Not, true, false, true, {}, {}, {}, true},
        {Kind::Not, true, false, false, {t}, {}, {}, false},
        {Kind::Exists, false, true, false, {}, {}, {t}, false},
        {Kind::Exists, false, false, false, {}, {}, {}, false},
        {Kind::Exists, false, false, true, {t}, {}, {}, true},
        {Kind::Exists, true, false, true, {t}, {}, {}, true},
        {Kind::Exists, true, true, true, {}, {t}, {}, true},
        {Kind::Exists, true, true, false, {}, {}, {t}, false},
    };
    for (size_t r = 0; r < rows.size(); ++r) {
        const LeftUpdateRow& row = rows[r];
        Ce ce(row.kind);
        ce.node.rights.push_back(10, std::nullopt);
        if (row.blocked_before) {
            ce.node.blocker_of.emplace(t, 10);
            ce.node.blocked[10] = {t};
        } else {
            ce.node.lefts.push_back(t, std::nullopt);
        }
        if (row.child_before) ce.node.create_ce_child(t);
        if (row.qualifies_after) ce.pairs = {{t, 10}};

        auto trg = ce.run(left_batch({}, {{t, 7, 2}}));
        EXPECT_EQ(items_of(trg.ins), row.ins) << "row " << r;
        EXPECT_EQ(items_of(trg.upd), row.upd) << "row " << r;
        EXPECT_EQ(items_of(trg.del), row.del) << "row " << r;
        for (const auto& e : trg.ins) EXPECT_EQ(e.flag, 2) << "row " << r;
        for (const auto& e : trg.upd) EXPECT_EQ(e.flag, 2) << "row " << r;
        EXPECT_EQ(ce.blocker(t).has_value(), row.blocked_after) << "row " << r;
        EXPECT_NE(ce.node.lefts.contains(t), row.blocked_after) << "row " << r;
    }
}

TEST(CeNode, LeftUpdateWithoutTheOptimizationRetestsFromTheFirstFact) {
    Ce ce(Kind::Exists);
    ce.pairs = {{{1}, 10}, {{1}, 11}};
    ce.store_rights({10, 11});
    ce.node.blocker_of.emplace(Tuple{1}, 11);
    ce.node.blocked[11] = {{1}};
    ce.node.create_ce_child({1});

    ce.env.update_optimization = true;
    auto trg = ce.run(left_batch({}, {{{1}, 3, 2}}));
    EXPECT_EQ(ce.blocker({1}), 11u);
    EXPECT_EQ(front_first(trg.upd), (std::vector<TE>{{{1}, 3, 2}}));

    ce.env.update_optimization = false;
    trg = ce.run(left_batch({}, {{{1}, 4, 2}}));
    EXPECT_EQ(ce.blocker({1}), 10u);
    EXPECT_EQ(front_first(trg.upd), (std::vector<TE>{{{1}, 4, 2}}));
}

TEST(CeNode, SameBatchBlockedInsertMakesNoNotChildAndOneExistsChild) {
    Ce no(Kind::Not);
    no.pairs = {{{1}, 10}};
    auto trg = no.run(left_batch({{{1}, 1, 0}}), right_batch({{10, 2, 0}}));
    EXPECT_TRUE(trg.ins.empty() && trg.del.empty() && trg.cancelled.empty());
    EXPECT_EQ(no.blocker({1}), 10u);

    Ce ex(Kind::Exists);
    ex.pairs = {{{1}, 10}};
    trg = ex.run(left_batch({{{1}, 1, 0}}), right_batch({{10, 2, 0}}));
    EXPECT_EQ(front_first(trg.ins), (std::vector<TE>{{{1}, 1, 0}}));
    EXPECT_EQ(ex.node.children.size(), 1u);
}

TEST(NotNode, BlockingATupleWhoseChildIsStillPendingCancelsThatInsert) {
    Ce ce(Kind::Not);
    auto first = ce.run(left_batch({{{1}, 1, 0}}));
    ce.pending = std::move(first);  // the child has not consumed it yet
    ce.pairs = {{{1}, 10}};
    auto trg = ce.run({}, right_batch({{10, 2, 0}}));
    EXPECT_TRUE(ce.pending.ins.empty());
    EXPECT_EQ(front_first(trg.cancelled), (std::vector<TE>{{{1}, 2, 0}}));
    EXPECT_TRUE(trg.del.empty());
}

TEST(TemporalNot, DefersUnblockedTuplesUntilTheEngineReleasesThem) {
    Ce ce(Kind::Not, kNoIndex, true);
    ce.env.fire_times[{1}] = 5000;
    ce.env.fire_times[{3}] = 7000;
    // [2] has no fire time and is emitted at once.
    auto trg = ce.run(left_batch({{{1}, 1, 0}, {{2}, 2, 0}}));
    EXPECT_EQ(front_first(trg.ins), (std::vector<TE>{{{2}, 2, 0}}));
    ASSERT_EQ(ce.node.deferred.size(), 1u);
    EXPECT_EQ(ce.node.deferred[0].tuple, (Tuple{1}));
    EXPECT_EQ(ce.node.deferred[0].stamp, Stamp{1});
    EXPECT_EQ(ce.node.deferred[0].fire_time, 5000);
    EXPECT_TRUE(ce.node.lefts.contains({1}));
    EXPECT_FALSE(ce.has_child({1}));

    // Released: emitted with the parked stamp and flag 0, once.
    ce.node.parked.push_back({{1}, 9});
    trg = ce.run({});
    EXPECT_EQ(front_first(trg.ins), (std::vector<TE>{{{1}, 9, 0}}));
    EXPECT_TRUE(ce.node.parked.empty());
    ce.node.parked.push_back({{1}, 10});
    trg = ce.run({});
    EXPECT_TRUE(trg.ins.empty());

    // A released tuple that got blocked meanwhile stays without a child.
    // Losing its only blocker stages nothing on a temporal not; the tuple is
    // deferred to its fire time, exactly as if the blocker had never come.
    ce.pairs = {{{3}, 20}};
    ce.run(left_batch({{{3}, 11, 0}}), right_batch({{20, 12, 0}}));
    ce.node.parked.push_back({{3}, 13});
    trg = ce.run({});
    EXPECT_TRUE(trg.ins.empty());
    ce.node.deferred.clear();
    trg = ce.run({}, right_batch({}, {}, {{20, 14, 0}}));
    EXPECT_TRUE(trg.ins.empty() && trg.del.empty());
    EXPECT_TRUE(ce.node.lefts.contains({3}));
    ASSERT_EQ(ce.node.deferred.size(), 1u);
    EXPECT_EQ(ce.node.deferred[0].tuple, (Tuple{3}));
    EXPECT_EQ(ce.node.deferred[0].stamp, Stamp{14});
    EXPECT_EQ(ce.node.deferred[0].fire_time, 7000);
    ce.node.parked.push_back({{3}, 15});
    trg = ce.run({});
    EXPECT_EQ(entries_of(trg.ins), (std::vector<TE>{{{3}, 15, 0}}));
}

TEST(TemporalNot, EqualityJoinBlocksWhateverTheEventTimes) {
    // not B(id == $id, this after[0, 10s] $a): the keys a temporal node gets
    // are event times (A at 0, B five seconds later); they must not keep B
    // from blocking A, neither at insert nor after B's update.
    Ce ce(Kind::Not, kEqualityIndex, true);
    ce.env.left_key = [](const Tuple&) -> Key { return std::vector<Value>{Value::i64(0)}; };
    ce.env.right_key = [](FactId) -> Key { return std::vector<Value>{Value::i64(5000)}; };
    ce.env.fire_times[{1}] = 10000;
    ce.pairs = {{{1}, 10}};
    auto trg = ce.run(left_batch({{{1}, 1, 0}}), right_batch({{10, 2, 0}}));
    EXPECT_EQ(ce.blocker({1}), 10u);
    EXPECT_TRUE(ce.node.deferred.empty());
    trg = ce.run({}, right_batch({}, {{10, 3, 2}}));
    EXPECT_EQ(ce.blocker({1}), 10u);
    EXPECT_TRUE(trg.ins.empty());
}

TEST(TemporalExists, AdmitsInsertsInAscendingFactOrder) {
    Ce ce(Kind::Exists, kNoIndex, true);
    ce.env.mark_value = 77;
    ce.pairs = {{{2, 5}, 3}, {{1}, 3}};
    auto trg = ce.run(left_batch({{{2, 5}, 1, 0}, {{1}, 2, 0}}), right_batch({{3, 3, 0}}));
    // [1] (newest fact 1) is admitted before fact 3 and is blocked by 3's
    // arrival; [2, 5] (newest fact 5) comes after 3 and finds it.
    EXPECT_EQ(front_first(trg.ins), (std::vector<TE>{{{1}, 3, 0}, {{2, 5}, 1, 0}}));
    EXPECT_EQ(ce.env.tested, (std::vector<ScriptedEnv::Pair>{{{1}, 3}, {{2, 5}, 3}}));
    EXPECT_EQ(ce.node.left_marks.at({1}), 77u);
    EXPECT_EQ(ce.node.left_marks.at({2, 5}), 77u);
    EXPECT_EQ(ce.node.left_seq({1}), 1u);
    EXPECT_EQ(ce.node.left_seq({2, 5}), 2u);
    EXPECT_TRUE(ce.node.lefts.empty());

    // A batch with a change on either side takes the ordinary passes, which
    // record no marks.
    ce.pairs.insert({{4}, 3});
    trg = ce.run(left_batch({{{4}, 4, 0}}), right_batch({}, {{3, 5, 2}}));
    EXPECT_FALSE(ce.node.left_marks.contains({4}));
    EXPECT_EQ(ce.blocker({4}), 3u);
}

TEST(CeTrace, WritesHeaderAndClosingLinesOnlyWhenSwitchedOn) {
    Ce quiet(Kind::Not);
    quiet.run(left_batch({{{1}, 1, 0}}));
    EXPECT_TRUE(quiet.env.lines.empty());

    Ce ce(Kind::Not);
    ce.env.vars["QUARN_TRACE"] = "";
    ce.pairs = {{{1}, 10}};
    ce.run(left_batch({{{1}, 1, 0}}), right_batch({{10, 2, 0}}));
    EXPECT_EQ(ce.env.lines, (std::vector<std::string>{
                                "do_exist[0:Not] sl(ins=[([FactId(1)], Some(1), 0)] upd=[] del=[]) "
                                "sr(ins=[(FactId(10), Some(2), 0)] upd=[] del=[])",
                                "  trg ins=[] upd=[] del=[]",
                                "  rights=[(FactId(10), None)] lefts=[] blocked={FactId(10): [[FactId(1)]]}",
                            }));

    Ce ex(Kind::Exists, kNoIndex, true);
    ex.env.vars["QUARN_TRACE"] = "on";
    ex.run(left_batch({{{1}, 1, 0}}));
    ASSERT_EQ(ex.env.lines.size(), 2u);
    EXPECT_EQ(ex.env.lines[1], "  [flush_admit] trg ins=[] blocked={}");
}

}  // namespace
