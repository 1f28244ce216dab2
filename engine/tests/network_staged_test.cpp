#include <gtest/gtest.h>

#include "network_scripted_env.h"

using namespace quarn;
using namespace quarn::testing;

namespace {

using E = StagedEntry<FactId>;
using TE = StagedEntry<Tuple>;

Staged<FactId> with_placeholders(bool on) {
    Staged<FactId> s;
    s.placeholders_on = on;
    return s;
}

}  // namespace

TEST(Staged, RepeatedInsertKeepsOneEntryAndDeleteWithdrawsIt) {
    Staged<FactId> s;
    s.add_ins_ph(7, 1, 0);
    s.add_ins_ph(7, 2, 0);
    EXPECT_EQ(entries_of(s.ins), (std::vector<E>{{7, 1, 0}}));
    s.add_upd_ph(7, 3, 2);
    EXPECT_TRUE(s.upd.empty());
    s.add_del(7, 4);
    EXPECT_TRUE(s.ins.empty());
    EXPECT_TRUE(s.del.empty());
    EXPECT_TRUE(s.placeholders.empty());  // placeholders are off
}

TEST(Staged, WithdrawnInsertReturnsToItsPlaceOnlyWithPlaceholders) {
    struct Case {
        bool on;
        std::vector<FactId> after_readd;
    };
    for (const Case& c : {Case{true, {3, 2, 1}}, Case{false, {2, 3, 1}}}) {
        Staged<FactId> s = with_placeholders(c.on);
        for (FactId f : {1u, 2u, 3u}) s.add_ins_ph(f, std::nullopt, 0);
        EXPECT_EQ(items_of(s.ins), (std::vector<FactId>{3, 2, 1}));
        s.add_del(2, std::nullopt);
        EXPECT_EQ(items_of(s.ins), (std::vector<FactId>{3, 1}));
        if (c.on) {
            EXPECT_EQ(s.placeholders, (std::vector<std::pair<FactId, size_t>>{{2, 1}}));
        } else {
            EXPECT_TRUE(s.placeholders.empty());
        }
        s.add_ins_ph(2, 9, 0);
        EXPECT_EQ(items_of(s.ins), c.after_readd) << "placeholders_on=" << c.on;
        EXPECT_TRUE(s.placeholders.empty());
        EXPECT_TRUE(s.del.empty());
    }
}

TEST(Staged, PlaceholderBeyondTheListPutsTheEntryAtTheEnd) {
    Staged<FactId> s = with_placeholders(true);
    for (FactId f : {1u, 2u, 3u}) s.add_ins_ph(f, std::nullopt, 0);
    s.add_del(1, std::nullopt);  // placeholder (1, 2)
    s.add_del(2, std::nullopt);  // placeholder (2, 1)
    s.add_del(3, std::nullopt);  // placeholder (3, 0)
    s.add_ins_ph(1, std::nullopt, 0);
    EXPECT_EQ(items_of(s.ins), (std::vector<FactId>{1}));
    s.add_ins_ph(5, std::nullopt, 0);
    s.add_ins_ph(2, std::nullopt, 0);  // recorded at 1, list has 2 entries
    EXPECT_EQ(items_of(s.ins), (std::vector<FactId>{5, 2, 1}));
}

TEST(Staged, DeleteReplacesAPendingUpdateOnce) {
    Staged<FactId> s;
    s.add_upd_ph(4, 1, 2);
    s.add_del(4, 2);
    EXPECT_TRUE(s.upd.empty());
    EXPECT_EQ(entries_of(s.del), (std::vector<E>{{4, 2, 0}}));
    s.add_del(4, 3);
    EXPECT_EQ(entries_of(s.del), (std::vector<E>{{4, 2, 0}}));
}

TEST(Staged, UpdateOfADeletedOrInsertedItemIsDropped) {
    Staged<FactId> s;
    s.add_del(4, 1);
    s.add_upd_ph(4, 2, 2);
    s.add_ins_ph(5, 3, 0);
    s.add_upd_ph(5, 4, 2);
    EXPECT_TRUE(s.upd.empty());
    s.add_upd_ph(6, 5, 2);
    s.add_upd_ph(6, 6, 2);
    EXPECT_EQ(entries_of(s.upd), (std::vector<E>{{6, 5, 2}}));
}

TEST(Staged, InsertIgnoresAStagedDeleteButNotAStagedUpdate) {
    Staged<FactId> s;
    s.add_del(4, 1);
    s.add_ins_ph(4, 2, 1);
    EXPECT_EQ(entries_of(s.del), (std::vector<E>{{4, 1, 0}}));
    EXPECT_EQ(entries_of(s.ins), (std::vector<E>{{4, 2, 1}}));
    s.add_upd_ph(8, 3, 2);
    s.add_ins_ph(8, 4, 0);
    EXPECT_FALSE(s.ins.contains(8));
}

TEST(Staged, EntryListCountsSurviveDuplicatesAndRemovals) {
    EntryList<FactId> l;
    l.push_front({1, 1, 0});
    l.push_back({1, 2, 0});
    l.push_front({2, 3, 0});
    EXPECT_EQ(l.find(1), 1u);
    ASSERT_TRUE(l.remove_first(1));
    EXPECT_TRUE(l.contains(1));
    EXPECT_EQ(l[1], (E{1, 2, 0}));
    l.insert_at(1, {3, 4, 0});
    EXPECT_EQ(items_of(l), (std::vector<FactId>{2, 3, 1}));
    EXPECT_EQ(l.erase_at(2), (E{1, 2, 0}));
    EXPECT_FALSE(l.contains(1));
    EntryList<FactId> moved = l.take();
    EXPECT_TRUE(l.empty());
    EXPECT_FALSE(l.contains(2));
    EXPECT_TRUE(moved.contains(2));
}

TEST(Out, ChildDeleteCancelsAPendingInsertInsteadOfStagingADelete) {
    Staged<Tuple> pending;
    pending.add_ins_ph({1, 2}, 5, 0);
    Out out(pending);
    out.child_del({1, 2}, 9);
    EXPECT_TRUE(pending.ins.empty());
    EXPECT_EQ(entries_of(out.trg.cancelled), (std::vector<TE>{{{1, 2}, 9, 0}}));
    EXPECT_TRUE(out.trg.del.empty());
}

TEST(Out, ChildDeleteDropsAPendingUpdateAndStagesTheDelete) {
    Staged<Tuple> pending;
    pending.add_upd_ph({1, 2}, 5, 2);
    Out out(pending);
    out.child_del({1, 2}, 9);
    EXPECT_TRUE(pending.upd.empty());
    EXPECT_TRUE(out.trg.cancelled.empty());
    EXPECT_EQ(entries_of(out.trg.del), (std::vector<TE>{{{1, 2}, 9, 0}}));
}

TEST(Out, ChildUpdateOfAPendingInsertBecomesAFreshInsert) {
    Staged<Tuple> pending;
    pending.add_ins_ph({1, 2}, 5, 0);
    Out out(pending);
    out.child_upd({1, 2}, 9, 2);
    EXPECT_TRUE(pending.ins.empty());
    EXPECT_EQ(out.trg.reinserted, (std::vector<Tuple>{{1, 2}}));
    EXPECT_EQ(entries_of(out.trg.ins), (std::vector<TE>{{{1, 2}, 9, 2}}));
    EXPECT_TRUE(out.trg.upd.empty());
}

TEST(Out, ChildUpdateReplacesAPendingUpdate) {
    Staged<Tuple> pending;
    pending.add_upd_ph({1, 2}, 5, 2);
    Out out(pending);
    out.child_upd({1, 2}, 9, 2);
    EXPECT_TRUE(pending.upd.empty());
    EXPECT_TRUE(out.trg.reinserted.empty());
    EXPECT_EQ(entries_of(out.trg.upd), (std::vector<TE>{{{1, 2}, 9, 2}}));
}

TEST(StagedMerge, IncomingInsertsGoAheadOfPendingOnesInTheirOrder) {
    Staged<Tuple> pending = left_batch({{{3}, 1, 0}});
    Staged<Tuple> incoming = left_batch({{{2}, 2, 0}, {{1}, 3, 0}});  // ins reads [1], [2]
    Staged<Tuple> m = Staged<Tuple>::merge_into_pending(std::move(pending), std::move(incoming));
    EXPECT_EQ(items_of(m.ins), (std::vector<Tuple>{{1}, {2}, {3}}));
}

TEST(StagedMerge, IncomingDeleteCancelsAPendingInsert) {
    Staged<Tuple> pending = left_batch({{{3}, 1, 0}});
    Staged<Tuple> incoming = left_batch({{{1}, 2, 0}}, {}, {{{3}, 3, 0}});
    Staged<Tuple> m = Staged<Tuple>::merge_into_pending(std::move(pending), std::move(incoming));
    EXPECT_EQ(items_of(m.ins), (std::vector<Tuple>{{1}}));
    EXPECT_TRUE(m.del.empty());
}

TEST(StagedMerge, IncomingUpdatesRefreshPendingInsertsAndReplacePendingUpdates) {
    Staged<Tuple> pending = left_batch({{{1}, 1, 0}, {{2}, 2, 0}}, {{{3}, 3, 2}}, {{{4}, 4, 0}});
    Staged<Tuple> incoming = left_batch({}, {{{1}, 10, 2}, {{3}, 11, 2}, {{4}, 12, 2}, {{5}, 13, 2}});
    Staged<Tuple> m = Staged<Tuple>::merge_into_pending(std::move(pending), std::move(incoming));
    // The pending insert of [1] moves to the front with its own stamp and flag.
    EXPECT_EQ(entries_of(m.ins), (std::vector<TE>{{{1}, 1, 0}, {{2}, 2, 0}}));
    // [3]'s update is replaced, [4]'s delete wins, [5] is new; oldest incoming walked first.
    EXPECT_EQ(entries_of(m.upd), (std::vector<TE>{{{5}, 13, 2}, {{3}, 11, 2}}));
    EXPECT_EQ(items_of(m.del), (std::vector<Tuple>{{4}}));
}

TEST(StagedMerge, PendingSideListsSurviveAndIncomingOnesAreDropped) {
    Staged<Tuple> pending;
    pending.placeholders_on = true;
    pending.reinserted.push_back({8});
    Staged<Tuple> incoming;
    incoming.reinserted.push_back({9});
    incoming.cancelled.push_back({{9}, 1, 0});
    incoming.placeholders.emplace_back(Tuple{9}, 0);
    Staged<Tuple> m = Staged<Tuple>::merge_into_pending(std::move(pending), std::move(incoming));
    EXPECT_EQ(m.reinserted, (std::vector<Tuple>{{8}}));
    EXPECT_TRUE(m.cancelled.empty());
    EXPECT_TRUE(m.placeholders.empty());
    EXPECT_TRUE(m.placeholders_on);
}

TEST(StagedMerge, MergedDeleteLeavesAPlaceholderWhenPendingKeepsThem) {
    Staged<Tuple> pending = left_batch({{{1}, 1, 0}, {{2}, 2, 0}});
    pending.placeholders_on = true;
    Staged<Tuple> incoming = left_batch({}, {}, {{{1}, 3, 0}});
    Staged<Tuple> m = Staged<Tuple>::merge_into_pending(std::move(pending), std::move(incoming));
    EXPECT_EQ(m.placeholders, (std::vector<std::pair<Tuple, size_t>>{{{1}, 1}}));
}

TEST(StagedAppend, AppendsEveryListBehindPendingWithoutDeduplication) {
    Staged<Tuple> pending = left_batch({{{1}, 1, 0}}, {{{5}, 2, 2}}, {{{6}, 3, 0}});
    Staged<Tuple> incoming = left_batch({{{2}, 4, 0}, {{1}, 5, 0}}, {{{5}, 6, 2}}, {{{6}, 7, 0}});
    incoming.reinserted.push_back({2});
    incoming.cancelled.push_back({{3}, 8, 0});
    Staged<Tuple> m = Staged<Tuple>::append_into_pending(std::move(pending), std::move(incoming));
    EXPECT_EQ(entries_of(m.ins), (std::vector<TE>{{{1}, 1, 0}, {{1}, 5, 0}, {{2}, 4, 0}}));
    EXPECT_EQ(items_of(m.upd), (std::vector<Tuple>{{5}, {5}}));
    EXPECT_EQ(items_of(m.del), (std::vector<Tuple>{{6}, {6}}));
    EXPECT_EQ(m.reinserted, (std::vector<Tuple>{{2}}));
    EXPECT_TRUE(m.cancelled.empty());
    // Duplicates are counted: removing one copy keeps the other.
    EXPECT_TRUE(m.remove_ins({1}));
    EXPECT_TRUE(m.ins.contains({1}));
}
