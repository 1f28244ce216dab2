#include <gtest/gtest.h>

#include "network_scripted_env.h"

using namespace quarn;
using namespace quarn::testing;

namespace {

bool no_output(const Staged<Tuple>& trg) {
    return trg.ins.empty() && trg.upd.empty() && trg.del.empty() && trg.cancelled.empty();
}

}  // namespace

TEST(NotNode, BlockerLifeCycleFromInsertThroughUpdateToDelete) {
    Rig ce(Kind::Not);
    ce.pairs = {{{1}, 10}, {{1}, 11}, {{2}, 11}};

    // [2] has no blocker and gets its child; [1] is blocked by 10.
    auto trg = ce.run(lb({{{1}, 1, Insert}, {{2}, 2, Insert}}), rb({{10, 3, Insert}}));
    EXPECT_EQ(entries_of(trg.ins), (TEs{{{2}, 2, Insert}}));
    EXPECT_EQ(ce.blocker({1}), 10u);
    EXPECT_EQ(ce.lefts(), (Tuples{{2}}));

    // A new fact blocks [2]: its child goes with the insert's stamp.
    trg = ce.run({}, rb({{11, 4, Insert}}));
    EXPECT_TRUE(trg.ins.empty());
    EXPECT_EQ(entries_of(trg.del), (TEs{{{2}, 4, Insert}}));

    // 10 stops qualifying: [1] moves to 11 without output.
    ce.pairs.erase({{1}, 10});
    EXPECT_TRUE(no_output(ce.run({}, rb({}, {{10, 5, Change}}))));
    EXPECT_EQ(ce.rights(), (Facts{11, 10}));
    EXPECT_EQ(ce.blocked_by(11), (Tuples{{1}, {2}}));

    // Deleting 11 frees both; children come with the delete's stamp and flag 2,
    // in the order of 11's blocked list (newest first).
    trg = ce.run({}, rb({}, {}, {{11, 6, Insert}}));
    EXPECT_EQ(entries_of(trg.ins), (TEs{{{2}, 6, Change}, {{1}, 6, Change}}));
    EXPECT_EQ(ce.lefts(), (Tuples{{1}, {2}}));
    EXPECT_TRUE(ce.node.blocked_count() == 0 && ce.node.blockers().empty());

    // An update of a fact the node does not hold blocks nothing: nothing could
    // find it there later to release the tuples.
    ce.pairs = {{{1}, 12}};
    EXPECT_TRUE(no_output(ce.run({}, rb({}, {{12, 7, Change}}))));
    EXPECT_FALSE(ce.blocker({1}));
}

TEST(ExistsNode, BlockerLifeCycleHandsTheTupleOnUntilNoFactIsLeft) {
    Rig ce(Kind::Exists);
    ce.pairs = {{{1}, 10}, {{1}, 11}};
    ce.store({10, 11});
    EXPECT_EQ(entries_of(ce.run(lb({{{1}, 1, Insert}})).ins), (TEs{{{1}, 1, Insert}}));
    EXPECT_TRUE(no_output(ce.run({}, rb({}, {}, {{10, 4, Insert}}))));
    EXPECT_EQ(ce.blocker({1}), 11u);
    EXPECT_EQ(entries_of(ce.run({}, rb({}, {}, {{11, 5, Insert}})).del), (TEs{{{1}, 5, Insert}}));
    EXPECT_EQ(ce.lefts(), (Tuples{{1}}));
    // A right insert blocks the free tuple again: flag 1, the insert's stamp.
    EXPECT_EQ(entries_of(ce.run({}, rb({{11, 6, Insert}})).ins), (TEs{{{1}, 6, RightInsert}}));
}

TEST(CeNode, SameBatchRightInsertBlocksTheNewTupleAndCancelsPendingChildren) {
    // Left inserts run after right inserts: a Not node stages nothing, an
    // Exists node one child from the left insert.
    for (Kind kind : {Kind::Not, Kind::Exists}) {
        Rig ce(kind);
        ce.pairs = {{{1}, 10}};
        auto trg = ce.run(lb({{{1}, 1, Insert}}), rb({{10, 2, Insert}}));
        EXPECT_EQ(entries_of(trg.ins), (kind == Kind::Not ? TEs{} : TEs{{{1}, 1, Insert}}));
        EXPECT_EQ(ce.blocker({1}), 10u);
        EXPECT_EQ(ce.node.child_count(), kind == Kind::Not ? 0u : 1u);
    }
    Rig ce(Kind::Not);
    ce.pending = ce.run(lb({{{1}, 1, Insert}}));  // the child has not consumed it yet
    ce.pairs = {{{1}, 10}};
    auto trg = ce.run({}, rb({{10, 2, Insert}}));
    EXPECT_TRUE(ce.pending.ins.empty());
    EXPECT_EQ(entries_of(trg.cancelled), (TEs{{{1}, 2, Insert}}));
    EXPECT_TRUE(trg.del.empty());
}

TEST(CeNode, BlockerSearchAfterAnUpdateResumesAtTheNeighbourAndWrapsAround) {
    // Memory 10, 11, 12; [1] is blocked by the first fact of `before`; `prep`
    // runs; then `updated` is updated while `after` qualifies. A blocker need
    // not be the first qualifying fact in memory (re-added blockers move to
    // the end; a left update may keep its blocker while an earlier fact starts
    // to qualify), so a search that resumes at the neighbour must wrap around.
    struct Case {
        const char* name;
        std::set<Pair> before;
        std::function<void(Rig&)> prep;
        FactId updated;
        std::set<Pair> after;
        FactId found;
    };
    auto nothing = [](Rig&) {};
    const std::vector<Case> cases = {
        {"the fact after it, though an earlier one qualifies", {{{1}, 11}}, nothing, 11, {{{1}, 10}, {{1}, 12}}, 12},
        {"last in memory: the fact before it", {{{1}, 12}}, nothing, 12, {{{1}, 10}, {{1}, 11}}, 11},
        {"still qualifying: the fact itself, now last", {{{1}, 10}}, nothing, 10, {{{1}, 10}}, 10},
        {"a re-added blocker: wraps to the fact before", {{{1}, 10}, {{1}, 11}},
         [](Rig& r) { r.node.re_add_right_fact(10, std::nullopt); }, 10, {{{1}, 11}}, 11},
        {"a blocker kept by a left update: wraps to the fact before", {{{1}, 11}, {{1}, 12}},
         [](Rig& r) { r.pairs.insert({{1}, 10}), r.run(lb({}, {{{1}, 2, Change}})); }, 11, {{{1}, 10}}, 10},
    };
    for (const Case& c : cases) {
        Rig ce(Kind::Not);
        ce.store({10, 11, 12});
        ce.pairs = c.before;
        ce.run(lb({{{1}, 4, Insert}}));
        c.prep(ce);
        ce.pairs = c.after;
        EXPECT_TRUE(no_output(ce.run({}, rb({}, {{c.updated, 5, Change}})))) << c.name;
        EXPECT_EQ(ce.blocker({1}), c.found) << c.name;
    }
}

TEST(NotNode, OneUpdatedBlockerWithoutNeighbourTurnsResumingOffForTheRestOfTheBatch) {
    // Keyed: 10 is alone with key 1; 11's key 2 is shared by 12 and 13. With
    // 10 updated first (no surviving neighbour), [2], which lost 11, searches
    // from the first candidate, 12; 11 updated alone resumes at 13.
    for (bool with_10 : {true, false}) {
        Rig ce(Kind::Not, IndexSpec::equality());
        ce.env.key_on_values({{1, Value::i64(1)}, {2, Value::i64(2)}, {10, Value::i64(1)}, {11, Value::i64(2)},
                              {12, Value::i64(2)}, {13, Value::i64(2)}});
        ce.store({12, 11, 13, 10});
        ce.pairs = {{{1}, 10}, {{2}, 11}};
        ce.run(lb({{{1}, 5, Insert}, {{2}, 6, Insert}}));
        ce.pairs = {{{2}, 12}, {{2}, 13}};
        auto trg = ce.run({}, with_10 ? rb({}, {{11, 7, Change}, {10, 8, Change}}) : rb({}, {{11, 7, Change}}));
        EXPECT_EQ(ce.blocker({2}), with_10 ? 12u : 13u);
        EXPECT_EQ(entries_of(trg.ins), (with_10 ? TEs{{{1}, 8, Change}} : TEs{}));
    }
}

TEST(CeNode, AFactDeletedAndInsertedAgainIsFoundUnderItsNewKeyOnly) {
    // Memory 12, 10, 11, all under a key that tuple [3]'s probe reaches;
    // [3] is blocked by 12. In one batch 10 is deleted and inserted again
    // under a key the probe does not reach, and 12 is deleted. [3]'s new
    // blocker is 11: the test is never asked about 10, whose old key alone
    // the probe would meet (a range probe's test leaves the range out).
    // Where 11 does not qualify, [3] is free at 12's delete, and its output
    // carries that delete's stamp.
    for (IndexSpec index : {IndexSpec::equality(), IndexSpec::range(CmpOp::Lt)}) {
        for (Kind kind : {Kind::Not, Kind::Exists}) {
            for (bool eleven : {true, false}) {
                const bool keyed = index == IndexSpec::equality();
                SCOPED_TRACE(std::string(kind_name(kind)) + (keyed ? " keyed" : " ranged") + (eleven ? "" : " alone"));
                Rig ce(kind, index);
                // Equality reaches 1 from 1; `field < bound` reaches 0 from 1.
                const Value reached = Value::i64(keyed ? 1 : 0), unreached = Value::i64(keyed ? 0 : 5);
                ce.env.key_on_values({{3, Value::i64(1)}, {10, reached}, {11, reached}, {12, reached}});
                ce.store({12, 10, 11});
                ce.pairs = {{{3}, 12}};
                ce.run(lb({{{3}, 1, Insert}}));
                ASSERT_EQ(ce.blocker({3}), 12u);
                ce.pairs = eleven ? std::set<Pair>{{{3}, 10}, {{3}, 11}} : std::set<Pair>{{{3}, 10}};
                (*ce.env.values)[10] = unreached;
                auto trg = ce.run({}, rb({{10, 2, RightInsert}}, {}, {{10, 2, Insert}, {12, 3, Insert}}));
                EXPECT_EQ(ce.env.tested, (Pairs{{{3}, 11}}));
                EXPECT_EQ(ce.rights(), (Facts{11, 10}));
                if (eleven) {
                    EXPECT_TRUE(no_output(trg));
                    EXPECT_EQ(ce.blocker({3}), 11u);
                } else {
                    EXPECT_EQ(entries_of(kind == Kind::Not ? trg.ins : trg.del),
                              (TEs{{{3}, 3, kind == Kind::Not ? Change : Insert}}));
                    EXPECT_FALSE(ce.blocker({3}));
                }
            }
        }
    }
}

TEST(CeNode, LeftUpdateDecisionTable) {
    // By kind, prior state, and whether the fact 10 qualifies afterwards.
    struct Row {
        Kind kind;
        bool blocked_before, child_before, qualifies_after;
        Tuples ins, upd, del;
    };
    const Tuple t{1};
    const std::vector<Row> rows = {
        {Kind::Not, false, true, false, {}, {t}, {}},    {Kind::Not, false, false, false, {t}, {}, {}},
        {Kind::Not, false, true, true, {}, {}, {t}},     {Kind::Not, true, true, true, {}, {}, {t}},
        {Kind::Not, true, false, true, {}, {}, {}},      {Kind::Not, true, false, false, {t}, {}, {}},
        {Kind::Exists, false, true, false, {}, {}, {t}}, {Kind::Exists, false, false, false, {}, {}, {}},
        {Kind::Exists, false, false, true, {t}, {}, {}}, {Kind::Exists, true, false, true, {t}, {}, {}},
        {Kind::Exists, true, true, true, {}, {t}, {}},   {Kind::Exists, true, true, false, {}, {}, {t}},
    };
    for (size_t r = 0; r < rows.size(); ++r) {
        const Row& row = rows[r];
        Rig ce(row.kind);
        ce.node.store_right(10, std::nullopt);
        if (row.blocked_before) {
            ce.node.block(ce.id(t), 10);
        } else {
            ce.push_left(t);
        }
        if (row.child_before) ce.node.create_ce_child(ce.id(t));
        if (row.qualifies_after) ce.pairs = {{t, 10}};

        auto trg = ce.run(lb({}, {{t, 7, Change}}));
        EXPECT_EQ(std::make_tuple(items_of(trg.ins), items_of(trg.upd), items_of(trg.del)),
                  std::make_tuple(row.ins, row.upd, row.del)) << "row " << r;
        for (const auto& e : trg.ins) EXPECT_EQ(e.flag, Change) << "row " << r;
        EXPECT_EQ(ce.blocker(t).has_value(), row.qualifies_after) << "row " << r;
        EXPECT_NE(ce.node.left_memory().contains(ce.id(t)), row.qualifies_after) << "row " << r;
    }
}

TEST(CeNode, LeftUpdateWithoutTheOptimizationRetestsFromTheFirstFact) {
    for (bool opt : {true, false}) {
        Rig ce(Kind::Exists);
        ce.pairs = {{{1}, 10}, {{1}, 11}};
        ce.store({10, 11});
        ce.node.block(ce.id({1}), 11);
        ce.node.create_ce_child(ce.id({1}));
        ce.env.update_optimization = opt;
        auto trg = ce.run(lb({}, {{{1}, 3, Change}}));
        EXPECT_EQ(ce.blocker({1}), opt ? 11u : 10u);
        EXPECT_EQ(entries_of(trg.upd), (TEs{{{1}, 3, Change}}));
    }
}

TEST(TemporalNot, DefersUnblockedTuplesUntilTheEngineReleasesThem) {
    Rig ce(Kind::Not, IndexSpec::none(), true);
    ce.env.fire_times = {{{1}, 5000}, {{3}, 7000}};
    // [2] has no fire time and is emitted at once.
    auto trg = ce.run(lb({{{1}, 1, Insert}, {{2}, 2, Insert}}));
    EXPECT_EQ(entries_of(trg.ins), (TEs{{{2}, 2, Insert}}));
    auto deferred = [&ce](size_t k) {
        const DeferredEntry& d = ce.node.deferred().at(k);
        return std::make_tuple(ce.env.facts(d.tuple), d.stamp, d.fire_time);
    };
    EXPECT_EQ(ce.node.deferred().size(), 1u);
    EXPECT_EQ(deferred(0), std::make_tuple(Tuple{1}, Stamp{1}, int64_t{5000}));
    EXPECT_TRUE(ce.node.left_memory().contains(ce.id({1})));

    // Released: emitted with the parked stamp and flag 0, once.
    ce.node.park(ce.id({1}), 9);
    EXPECT_EQ(entries_of(ce.run().ins), (TEs{{{1}, 9, Insert}}));
    EXPECT_TRUE(ce.node.parked().empty());
    ce.node.park(ce.id({1}), 10);
    EXPECT_TRUE(ce.run().ins.empty());

    // A released tuple that got blocked meanwhile stays without a child.
    // Losing its only blocker stages nothing on a temporal not; the tuple is
    // deferred to its fire time, exactly as if the blocker had never come.
    ce.pairs = {{{3}, 20}};
    ce.run(lb({{{3}, 11, Insert}}), rb({{20, 12, Insert}}));
    ce.node.park(ce.id({3}), 13);
    EXPECT_TRUE(ce.run().ins.empty());
    EXPECT_TRUE(no_output(ce.run({}, rb({}, {}, {{20, 14, Insert}}))));
    EXPECT_TRUE(ce.node.left_memory().contains(ce.id({3})));
    EXPECT_EQ(ce.node.deferred().size(), 2u);
    EXPECT_EQ(deferred(1), std::make_tuple(Tuple{3}, Stamp{14}, int64_t{7000}));
    ce.node.park(ce.id({3}), 15);
    EXPECT_EQ(entries_of(ce.run().ins), (TEs{{{3}, 15, Insert}}));
}

TEST(TemporalExists, AdmitsInsertsInAscendingFactOrder) {
    Rig ce(Kind::Exists, IndexSpec::none(), true);
    ce.env.mark_value = 77;
    ce.pairs = {{{2, 5}, 3}, {{1}, 3}};
    auto trg = ce.run(lb({{{2, 5}, 1, Insert}, {{1}, 2, Insert}}), rb({{3, 3, Insert}}));
    // [1] (newest fact 1) is admitted before fact 3 and is blocked by 3's
    // arrival; [2, 5] (newest fact 5) comes after 3 and finds it.
    EXPECT_EQ(entries_of(trg.ins), (TEs{{{1}, 3, Insert}, {{2, 5}, 1, Insert}}));
    EXPECT_EQ(ce.env.tested, (Pairs{{{1}, 3}, {{2, 5}, 3}}));
    EXPECT_EQ(*ce.mark({1}), 77u);
    EXPECT_EQ(ce.seqs({{1}, {2, 5}}), (std::vector<uint64_t>{1, 2}));
    EXPECT_TRUE(ce.node.left_memory().empty());
}

TEST(CeTrace, WritesHeaderAndClosingLinesOnlyWhenSwitchedOn) {
    Rig ce(Kind::Not);
    ce.pairs = {{{1}, 10}};
    ce.run(lb({{{1}, 1, Insert}}));
    EXPECT_TRUE(ce.env.lines.empty());
    ce.env.vars["QUARN_TRACE"] = "";
    ce.run(lb({{{2}, 1, Insert}}), rb({{10, 2, Insert}}));
    EXPECT_EQ(ce.env.lines, (std::vector<std::string>{
                                "do_exist[0:Not] sl(ins=[([FactId(2)], Some(1), 0)] upd=[] del=[]) "
                                "sr(ins=[(FactId(10), Some(2), 0)] upd=[] del=[])",
                                "  trg ins=[([FactId(2)], Some(1), 0)] upd=[] del=[([FactId(1)], Some(2), 0)]",
                                "  rights=[(FactId(10), None)] lefts=[([FactId(2)], None)] "
                                "blocked={FactId(10): [[FactId(1)]]}",
                            }));

    Rig ex(Kind::Exists, IndexSpec::none(), true);
    ex.env.vars["QUARN_TRACE"] = "on";
    ex.run(lb({{{1}, 1, Insert}}));
    ASSERT_EQ(ex.env.lines.size(), 2u);
    EXPECT_EQ(ex.env.lines[1], "  [flush_admit] trg ins=[] blocked={}");
}

TEST(CeNode, LongKeyedBatchesBlockAndEmitAsShortOnesDo) {
    // Batches long enough to have their keys made ahead of their turn give the
    // children, blockers and memories of the same changes one at a time.
    for (Kind kind : {Kind::Not, Kind::Exists}) {
        auto run = [kind](bool one_batch) {
            Rig ce(kind, IndexSpec::equality());
            std::map<FactId, Value> values;
            for (FactId f = 1; f <= 60; ++f) values[f] = Value::i64(f % 9);            // lefts [f]
            for (FactId f = 1001; f <= 1060; ++f) values[f] = Value::i64(f % 13);      // rights
            ce.env.key_on_values(values);
            for (FactId a = 1; a <= 60; ++a) {
                for (FactId f = 1001; f <= 1060; ++f) {
                    if (a % 9 == f % 13 && (a + f) % 5 == 0) ce.pairs.insert({{a}, f});
                }
            }
            std::vector<TE> lefts;
            std::vector<RE> rights;
            for (FactId f = 1; f <= 60; ++f) lefts.push_back({{f}, f, Insert});
            for (FactId f = 1001; f <= 1060; ++f) rights.push_back({f, f, Insert});
            std::vector<Tuple> out;
            auto keep = [&](const Staged<Tuple>& o) {
                for (const auto& e : o.ins.oldest_first()) out.push_back(e.item);
            };
            if (one_batch) {
                keep(ce.run({}, rb(std::vector<RE>(rights.begin(), rights.begin() + 40))));
                keep(ce.run(lb(lefts), rb(std::vector<RE>(rights.begin() + 40, rights.end()))));
            } else {
                for (size_t k = 40; k-- > 0;) keep(ce.run({}, rb({rights[k]})));
                for (size_t k = 60; k-- > 40;) keep(ce.run({}, rb({rights[k]})));
                for (size_t k = 60; k-- > 0;) keep(ce.run(lb({lefts[k]})));
            }
            std::vector<std::optional<FactId>> blockers;
            for (FactId a = 1; a <= 60; ++a) blockers.push_back(ce.blocker({a}));
            return std::make_tuple(out, blockers, ce.lefts(), ce.rights());
        };
        auto batch = run(true);
        auto single = run(false);
        EXPECT_EQ(batch, single);
        EXPECT_FALSE(std::get<0>(batch).empty());
    }
}
