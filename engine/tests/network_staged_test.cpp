#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <random>

#include "network_scripted_env.h"

using namespace quarn;
using namespace quarn::testing;

namespace {

// One staged operation on fact `f`: 'i' insert, 'u' update, 'd' delete. The
// stamp is the step's number; inserts carry flag 1, updates flag 2.
struct Op {
    char what;
    FactId f;
};

void apply(Staged<FactId>& s, const std::vector<Op>& ops) {
    uint64_t step = 0;
    for (const Op& op : ops) {
        ++step;
        if (op.what == 'i') s.add_ins_ph(op.f, step, RightInsert);
        if (op.what == 'u') s.add_upd_ph(op.f, step, Change);
        if (op.what == 'd') s.add_del(op.f, step);
    }
}

}  // namespace

TEST(Staged, OperationsCancelAndOrderAsTheyArrive) {
    struct Case {
        const char* name;
        bool placeholders_on;
        std::vector<Op> ops;
        std::vector<RE> ins, upd, del;
    };
    const std::vector<Case> cases = {
        {"repeated insert keeps the first", false, {{'i', 7}, {'i', 7}, {'u', 7}}, {{7, 1, RightInsert}}, {}, {}},
        {"delete withdraws a pending insert", false, {{'i', 7}, {'d', 7}}, {}, {}, {}},
        {"re-insert returns to its placeholder", true, {{'i', 1}, {'i', 2}, {'i', 3}, {'d', 2}, {'i', 2}},
         {{3, 3, RightInsert}, {2, 5, RightInsert}, {1, 1, RightInsert}}, {}, {}},
        {"without placeholders it goes to the front", false, {{'i', 1}, {'i', 2}, {'i', 3}, {'d', 2}, {'i', 2}},
         {{2, 5, RightInsert}, {3, 3, RightInsert}, {1, 1, RightInsert}}, {}, {}},
        {"placeholder beyond the list puts it last", true,
         {{'i', 1}, {'i', 2}, {'i', 3}, {'d', 1}, {'d', 2}, {'d', 3}, {'i', 1}, {'i', 5}, {'i', 2}},
         {{5, 8, RightInsert}, {2, 9, RightInsert}, {1, 7, RightInsert}}, {}, {}},
        {"delete replaces an update, once", false, {{'u', 4}, {'d', 4}, {'d', 4}}, {}, {}, {{4, 2, Insert}}},
        {"update of a deleted or inserted item is dropped", false, {{'d', 4}, {'u', 4}, {'i', 5}, {'u', 5}},
         {{5, 3, RightInsert}}, {}, {{4, 1, Insert}}},
        {"repeated update keeps the first", false, {{'u', 6}, {'u', 6}}, {}, {{6, 1, Change}}, {}},
        {"insert ignores a staged delete", false, {{'d', 4}, {'i', 4}}, {{4, 2, RightInsert}}, {}, {{4, 1, Insert}}},
        {"insert of an updated item is dropped", false, {{'u', 8}, {'i', 8}}, {}, {{8, 1, Change}}, {}},
    };
    for (const Case& c : cases) {
        Staged<FactId> s;
        s.placeholders_on = c.placeholders_on;
        apply(s, c.ops);
        EXPECT_EQ(std::make_tuple(entries_of(s.ins), entries_of(s.upd), entries_of(s.del)),
                  std::make_tuple(c.ins, c.upd, c.del)) << c.name;
        EXPECT_TRUE(c.placeholders_on || s.placeholders.empty()) << c.name;
    }
    Staged<FactId> s;
    s.placeholders_on = true;
    apply(s, {{'i', 1}, {'i', 2}, {'i', 3}, {'d', 2}});
    EXPECT_EQ(s.placeholders, (std::vector<std::pair<FactId, size_t>>{{2, 1}}));
}

TEST(Out, ChildChangesConsultTheChildsPendingBatch) {
    // (pending insert?, delete?) -> what trg and pending hold afterwards.
    TupleTable tt;
    const TupleId c = tt.intern(Facts{1, 2});
    using IdEntries = std::vector<StagedEntry<TupleId>>;
    for (bool pending_insert : {true, false}) {
        for (bool del : {true, false}) {
            Staged<TupleId> pending;
            if (pending_insert) {
                pending.add_ins_ph(c, 5, Insert);
            } else {
                pending.add_upd_ph(c, 5, Change);
            }
            Out out(pending);
            del ? out.child_del(c, 9) : out.child_upd(c, 9, Change);
            SCOPED_TRACE(::testing::Message() << "pending_insert=" << pending_insert << " del=" << del);
            EXPECT_TRUE(pending.ins.empty() && pending.upd.empty());
            const IdEntries staged{{c, 9, del ? Insert : Change}};
            EXPECT_EQ(entries_of(out.trg.cancelled), (pending_insert && del ? staged : IdEntries{}));
            EXPECT_EQ(entries_of(out.trg.del), (!pending_insert && del ? staged : IdEntries{}));
            EXPECT_EQ(entries_of(out.trg.ins), (pending_insert && !del ? staged : IdEntries{}));
            EXPECT_EQ(out.trg.reinserted, (pending_insert && !del ? std::vector<TupleId>{c} : std::vector<TupleId>{}));
            EXPECT_EQ(entries_of(out.trg.upd), (!pending_insert && !del ? staged : IdEntries{}));
        }
    }
}

TEST(Out, WritingIntoAFreshChildBatchStagesWhatTakingTheOutputWholeWould) {
    // The same random child changes through an Out of its own, whose batch is
    // then taken whole as the engine takes it into a fresh child batch, and
    // through an Out writing into that batch directly.
    std::mt19937 rng(3);
    TupleTable tt;
    for (int round = 0; round < 40; ++round) {
        Staged<TupleId> pending, direct;
        Out own(pending);
        Out into(direct, Out::Into{});
        for (int step = 0; step < 60; ++step) {
            const TupleId c = tt.intern(Facts{static_cast<FactId>(rng() % 12)});
            const uint64_t stamp = static_cast<uint64_t>(step);
            const unsigned what = rng() % 3;
            for (Out* out : {&own, &into}) {
                switch (what) {
                    case 0: out->trg.add_ins_ph(c, stamp, RightInsert); break;
                    case 1: out->child_upd(c, stamp, Change); break;
                    default: out->child_del(c, stamp);
                }
            }
        }
        Staged<TupleId> taken = std::move(own.trg);
        taken.cancelled.clear();
        EXPECT_EQ(entries_of(direct.ins), entries_of(taken.ins));
        EXPECT_EQ(entries_of(direct.upd), entries_of(taken.upd));
        EXPECT_EQ(entries_of(direct.del), entries_of(taken.del));
        EXPECT_TRUE(direct.cancelled.empty() && direct.reinserted.empty() && taken.reinserted.empty());
    }
}

TEST(Staged, ResetLeavesWhatTakingTheBatchLeaves) {
    // A reset batch, short or long (indexed lists, heap room), behaves as the
    // fresh batch a take leaves behind under the same changes.
    std::mt19937 rng(9);
    for (int round = 0; round < 30; ++round) {
        Staged<FactId> a, b;
        a.placeholders_on = b.placeholders_on = round % 3 == 0;
        const int n = round % 2 == 0 ? 5 : 200;
        auto change = [&](Staged<FactId>& s, char what, FactId f, uint64_t stamp) {
            if (what == 'i') s.add_ins_ph(f, stamp, Insert);
            if (what == 'u') s.add_upd_ph(f, stamp, Change);
            if (what == 'd') s.add_del(f, stamp);
        };
        for (int step = 0; step < n; ++step) {
            const char what = "iud"[rng() % 3];
            const FactId f = rng() % 50;
            change(a, what, f, step);
            change(b, what, f, step);
        }
        a.reset();
        Staged<FactId> taken = b.take();
        EXPECT_TRUE(a.fresh() && b.fresh());
        for (int step = 0; step < 30; ++step) {
            const char what = "iud"[rng() % 3];
            const FactId f = rng() % 50;
            change(a, what, f, step);
            change(b, what, f, step);
        }
        EXPECT_EQ(entries_of(a.ins), entries_of(b.ins));
        EXPECT_EQ(entries_of(a.upd), entries_of(b.upd));
        EXPECT_EQ(entries_of(a.del), entries_of(b.del));
        EXPECT_EQ(a.placeholders, b.placeholders);
    }
}

TEST(Staged, AnInsertAboveEveryItemHeldIsFoundLikeAnyOther) {
    // add_ins_new takes its item as the top of the list's range without a
    // comparison: each such item, and the ones staged before it, must still
    // be found by a later delete or update, in a list that held nothing,
    // a short list, a long (indexed) one, and one emptied since a higher
    // item left it.
    for (const FactId base : {FactId{0}, FactId{100}}) {
        for (const int held : {0, 2, 20}) {
            Staged<FactId> s;
            if (base != 0) {
                s.add_ins_ph(base + 500, 1, Insert);
                s.add_del(base + 500, 2);  // the list is empty again, its range gone
                s.del.reset();
            }
            std::vector<RE> want;
            for (int k = 0; k < held; ++k) {
                const FactId f = base + static_cast<FactId>(k * 7 % held);
                s.add_ins_ph(f, 10 + k, Insert);
                want.insert(want.begin(), {f, static_cast<uint64_t>(10 + k), Insert});
            }
            s.add_ins_new(base + 200, 40, RightInsert);
            s.add_ins_new(base + 201, 41, RightInsert);
            want.insert(want.begin(), {base + 200, 40, RightInsert});
            want.insert(want.begin(), {base + 201, 41, RightInsert});
            ASSERT_EQ(entries_of(s.ins), want) << base << " " << held;
            // Each is found: the update is dropped, the delete withdraws it.
            std::vector<FactId> staged = {base + 201, base + 200};
            if (held > 0) staged.push_back(base);
            for (const FactId f : staged) {
                s.add_upd_ph(f, 50, Change);
                s.add_del(f, 51);
                EXPECT_TRUE(s.upd.empty()) << base << " " << held << " " << f;
                EXPECT_TRUE(s.del.empty()) << base << " " << held << " " << f;
            }
            EXPECT_EQ(s.ins.size(), static_cast<size_t>(std::max(held - 1, 0))) << base << " " << held;
        }
    }
}

TEST(StagedMerge, IncomingChangesFoldIntoThePendingBatchWithCancellation) {
    Staged<Tuple> pending = lb({{{1}, 1, Insert}, {{2}, 2, Insert}, {{6}, 3, Insert}}, {{{3}, 3, Change}}, {{{4}, 4, Insert}});
    pending.placeholders_on = true;
    pending.reinserted.push_back({8});
    Staged<Tuple> incoming = lb({{{7}, 20, Insert}, {{2}, 21, Insert}, {{9}, 22, Insert}},
                                {{{1}, 10, Change}, {{3}, 11, Change}, {{4}, 12, Change}, {{5}, 13, Change}}, {{{6}, 14, Insert}});
    incoming.reinserted.push_back({9});
    incoming.cancelled.push_back({{9}, 1, Insert});
    incoming.placeholders.emplace_back(Tuple{9}, 0);
    Staged<Tuple> m = Staged<Tuple>::merge_into_pending(std::move(pending), std::move(incoming));
    // The delete of [6] withdraws its insert (placeholder at its index); [1]'s
    // pending insert moves to the front with its own stamp; incoming inserts
    // go ahead in their own order.
    EXPECT_EQ(entries_of(m.ins), (TEs{{{9}, 22, Insert}, {{7}, 20, Insert}, {{1}, 1, Insert}, {{2}, 2, Insert}}));
    EXPECT_EQ(entries_of(m.upd), (TEs{{{5}, 13, Change}, {{3}, 11, Change}}));  // [4]'s delete wins
    EXPECT_EQ(items_of(m.del), (Tuples{{4}}));
    EXPECT_EQ(m.placeholders, (std::vector<std::pair<Tuple, size_t>>{{{6}, 0}}));
    EXPECT_EQ(m.reinserted, (Tuples{{8}}));
    EXPECT_TRUE(m.cancelled.empty());
    EXPECT_TRUE(m.placeholders_on);
}

TEST(StagedAppend, AppendsEveryListBehindPendingWithoutDeduplication) {
    Staged<Tuple> pending = lb({{{1}, 1, Insert}}, {{{5}, 2, Change}}, {{{6}, 3, Insert}});
    Staged<Tuple> incoming = lb({{{2}, 4, Insert}, {{1}, 5, Insert}}, {{{5}, 6, Change}}, {{{6}, 7, Insert}});
    incoming.reinserted.push_back({2});
    incoming.cancelled.push_back({{3}, 8, Insert});
    Staged<Tuple> m = Staged<Tuple>::append_into_pending(std::move(pending), std::move(incoming));
    EXPECT_EQ(entries_of(m.ins), (TEs{{{1}, 1, Insert}, {{1}, 5, Insert}, {{2}, 4, Insert}}));
    EXPECT_EQ(items_of(m.upd), (Tuples{{5}, {5}}));
    EXPECT_EQ(items_of(m.del), (Tuples{{6}, {6}}));
    EXPECT_EQ(m.reinserted, (Tuples{{2}}));
    EXPECT_TRUE(m.cancelled.empty());
    EXPECT_TRUE(m.remove_ins({1}));  // duplicates are counted: one copy stays
    EXPECT_TRUE(m.ins.contains({1}));
}

TEST(EntryList, AgreesWithAPlainListThroughAddsAtBothEndsRemovalsAndInsertions) {
    // Items from a small range, so that duplicates (unchecked appends), short
    // unindexed lists, indexed long ones and compactions all occur.
    std::mt19937 rng(5);
    for (int round = 0; round < 20; ++round) {
        EntryList<FactId> l;
        std::deque<RE> model;  // front = newest
        for (int step = 0; step < 400; ++step) {
            FactId f = rng() % (round % 2 == 0 ? 6 : 40);
            RE e{f, static_cast<uint64_t>(step), static_cast<StagedFlag>(step % 3)};
            switch (rng() % 5) {
                case 0: l.push_front(e); model.push_front(e); break;
                case 1: l.push_back(e); model.push_back(e); break;
                case 2: {
                    size_t at = model.empty() ? 0 : rng() % (model.size() + 1);
                    l.insert_at(at, e);
                    model.insert(model.begin() + static_cast<std::ptrdiff_t>(at), e);
                    break;
                }
                default: {
                    auto it = std::find_if(model.begin(), model.end(), [&](const RE& x) { return x.item == f; });
                    auto got = l.remove_first(f);
                    ASSERT_EQ(got.has_value(), it != model.end());
                    if (got) {
                        ASSERT_EQ(*got, *it);
                        model.erase(it);
                    }
                }
            }
            ASSERT_EQ(l.size(), model.size());
            ASSERT_EQ(l.contains(f), std::any_of(model.begin(), model.end(), [&](const RE& x) { return x.item == f; }));
            // Both walks after every step: they step over tombstones anywhere,
            // and must stop at the list's ends whatever lies beyond them.
            ASSERT_EQ(entries_of(l), std::vector<RE>(model.begin(), model.end())) << "step " << step;
            ASSERT_EQ(staged_order(l), std::vector<RE>(model.rbegin(), model.rend())) << "step " << step;
            // A flag held is never denied (a walk for it would be skipped);
            // an emptied list holds none.
            for (StagedFlag flag : {Insert, RightInsert, Change, UnlinkedArrival}) {
                const bool held = std::any_of(model.begin(), model.end(), [&](const RE& x) { return x.flag == flag; });
                if (held) {
                    ASSERT_TRUE(l.may_hold(flag)) << "step " << step;
                }
                if (model.empty()) {
                    ASSERT_FALSE(l.may_hold(flag)) << "step " << step;
                }
            }
        }
        EXPECT_EQ(entries_of(l), std::vector<RE>(model.begin(), model.end()));
        EXPECT_EQ(staged_order(l), std::vector<RE>(model.rbegin(), model.rend()));
        if (!model.empty()) {
            EXPECT_EQ(l.front(), model.front());
            EXPECT_EQ(l.back(), model.back());
        }
        EntryList<FactId> copy = l;
        const bool changes = l.may_hold(Change);
        EntryList<FactId> moved = std::move(l);
        EXPECT_TRUE(l.empty());
        EXPECT_FALSE(l.may_hold(Change));
        EXPECT_EQ(moved.may_hold(Change), changes);
        EXPECT_EQ(entries_of(copy), entries_of(moved));
    }
}

TEST(EntryList, PutBehindKeepsBothOrdersWhicheverListIsLonger) {
    // Short and indexed lists on either side; item 100 sits in both, so the
    // list must still find its newer entry first.
    for (auto [newer_count, older_count] : {std::pair{0, 3}, {3, 0}, {1, 4}, {4, 1}, {3, 3}, {12, 2}, {2, 12}}) {
        SCOPED_TRACE(::testing::Message() << newer_count << " newer, " << older_count << " older");
        EntryList<FactId> list, older;
        std::vector<RE> want;  // newest first
        auto fill = [&](EntryList<FactId>& l, FactId base, int count) {
            std::vector<RE> added;
            for (int k = 0; k < count; ++k) {
                RE e{k == 0 ? 100 : base + k, base + k, k % 2 ? RightInsert : Insert};
                l.push_front(e);
                added.insert(added.begin(), e);
            }
            (void)l.contains(100);  // builds the index of a long list
            want.insert(want.end(), added.begin(), added.end());
        };
        fill(list, 200, newer_count);
        fill(older, 300, older_count);
        list.put_behind(std::move(older));
        EXPECT_EQ(entries_of(list), want);
        if (want.empty()) continue;
        auto first = list.remove_first(100);
        ASSERT_TRUE(first.has_value());
        EXPECT_EQ(first->stamp, newer_count > 0 ? Stamp(200) : Stamp(300));
        EXPECT_EQ(list.contains(100), newer_count > 0 && older_count > 0);
    }
}
