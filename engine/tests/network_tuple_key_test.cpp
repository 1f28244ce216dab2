#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>

#include "common/internal_error.h"
#include "network/key.h"
#include "network/tuple.h"
#include "store/debug_form.h"

using namespace quarn;

namespace {

using Facts = std::vector<FactId>;

Facts facts(const TupleTable& tt, TupleId t) {
    TupleView v = tt.view(t);
    return Facts(v.begin(), v.end());
}

}  // namespace

TEST(TupleTable, EqualTuplesShareOneIdAndViewsOutliveGrowth) {
    TupleTable tt;
    EXPECT_TRUE(tt.view(TupleTable::empty_tuple).empty());
    TupleId a = tt.intern(Facts{1, 2, 3});
    TupleId ab = tt.extend(tt.intern(Facts{1, 2}), 3);
    EXPECT_EQ(a, ab);
    EXPECT_EQ(tt.parent(a), tt.intern(Facts{1, 2}));
    EXPECT_NE(tt.intern(Facts{1, 3, 2}), a);
    EXPECT_EQ(tt.count(), 6u);  // [], [1], [1,2], [1,2,3], [1,3], [1,3,2]
    // Ids follow creation order; a view taken early stays valid while the
    // table grows by many blocks.
    TupleView early = tt.view(a);
    TupleView early_one = tt.view(tt.intern(Facts{900001}));
    std::mt19937 rng(3);
    std::vector<std::pair<Facts, TupleId>> made;
    for (int k = 0; k < 50000; ++k) {
        Facts f(1 + rng() % 4);
        for (FactId& x : f) x = rng() % 1000;
        made.emplace_back(f, tt.intern(f));
    }
    EXPECT_EQ(Facts(early.begin(), early.end()), (Facts{1, 2, 3}));
    EXPECT_EQ(Facts(early_one.begin(), early_one.end()), (Facts{900001}));
    TupleTable copy = tt;
    for (const auto& [f, id] : made) {
        ASSERT_EQ(facts(tt, id), f);
        ASSERT_EQ(tt.intern(f), id);
        ASSERT_EQ(facts(copy, id), f);
    }
    size_t before = tt.count();
    copy.intern(Facts{5000, 1});
    EXPECT_EQ(tt.count(), before);  // the copy grows alone
    // Moving the table keeps every view, one-fact tuples' too.
    TupleTable moved = std::move(tt);
    EXPECT_EQ(Facts(early.begin(), early.end()), (Facts{1, 2, 3}));
    EXPECT_EQ(Facts(early_one.begin(), early_one.end()), (Facts{900001}));
    for (const auto& [f, id] : made) ASSERT_EQ(facts(moved, id), f);
}

TEST(TupleTable, ATuplesExtensionsAreFoundAgainWhateverTheirNumberAndLength) {
    TupleTable tt;
    // A parent with one extension, then many: each found again, first or not.
    TupleId p = tt.intern(Facts{7});
    std::vector<TupleId> ext;
    for (FactId f = 100; f < 140; ++f) ext.push_back(tt.extend(p, f));
    for (FactId f = 100; f < 140; ++f) {
        ASSERT_EQ(tt.extend(p, f), ext[f - 100]);
        ASSERT_EQ(facts(tt, ext[f - 100]), (Facts{7, f}));
        ASSERT_EQ(tt.parent(ext[f - 100]), p);
    }
    // One-fact tuples of facts far apart, made in any order.
    TupleId high = tt.extend(TupleTable::empty_tuple, 1000000);
    TupleId low = tt.extend(TupleTable::empty_tuple, 3);
    EXPECT_EQ(tt.intern(Facts{1000000}), high);
    EXPECT_EQ(tt.intern(Facts{3}), low);
    EXPECT_NE(high, low);
    // A chain of prefixes long enough to fill several storage blocks: no
    // tuple is cut where a block ends.
    Facts longest(600);
    for (size_t k = 0; k < longest.size(); ++k) longest[k] = static_cast<FactId>(k % 50);
    TupleId before = tt.intern(Facts{1, 2});
    TupleId big = tt.intern(longest);
    TupleId after = tt.intern(Facts{2, 1});
    for (size_t n = 1; n <= longest.size(); n += 7) {
        Facts prefix(longest.begin(), longest.begin() + static_cast<std::ptrdiff_t>(n));
        ASSERT_EQ(facts(tt, tt.intern(prefix)), prefix);
    }
    EXPECT_EQ(facts(tt, big), longest);
    EXPECT_EQ(facts(tt, before), (Facts{1, 2}));
    EXPECT_EQ(facts(tt, after), (Facts{2, 1}));
    TupleTable copy = tt;
    EXPECT_EQ(facts(copy, big), longest);
    EXPECT_EQ(copy.intern(longest), big);
}

TEST(TupleTable, TuplesOfEveryLengthKeepTheirFactsAndParentsThroughManyBlocksAndCopies) {
    // Tuples of one to twelve facts made in random order, so that tuples of
    // every length fill blocks side by side, short ones many blocks over;
    // each checked against what it was made from, in the table and in a
    // copy taken halfway that then grows apart.
    std::mt19937 rng(11);
    TupleTable tt;
    std::map<Facts, TupleId> ids;
    std::vector<Facts> made;
    std::optional<TupleTable> copy;
    std::map<Facts, TupleId> ids_at_copy;
    for (int k = 0; k < 120000; ++k) {
        Facts f(1 + rng() % 12);
        for (FactId& x : f) x = f.size() <= 3 ? rng() % 100000 : rng() % 6;
        TupleId t = tt.intern(f);
        auto [it, fresh] = ids.try_emplace(f, t);
        ASSERT_EQ(it->second, t);
        if (fresh) made.push_back(f);
        if (k == 60000) {
            copy = tt;
            ids_at_copy = ids;
            copy->intern(Facts{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13});
        }
    }
    std::set<Facts> prefixes;
    for (const Facts& f : made)
        for (size_t n = 1; n <= f.size(); ++n) prefixes.insert(Facts(f.begin(), f.begin() + static_cast<std::ptrdiff_t>(n)));
    EXPECT_EQ(tt.count(), prefixes.size() + 1);  // every prefix once, and the empty tuple
    for (const Facts& f : made) {
        TupleId t = ids.at(f);
        ASSERT_EQ(facts(tt, t), f);
        ASSERT_EQ(tt.size_of(t), f.size());
        ASSERT_EQ(tt.parent(t), f.size() == 1 ? TupleTable::empty_tuple : tt.intern(Facts(f.begin(), f.end() - 1)));
    }
    for (const auto& [f, t] : ids_at_copy) {
        ASSERT_EQ(facts(*copy, t), f);
        ASSERT_EQ(copy->intern(f), t);
    }
    EXPECT_EQ(facts(*copy, copy->intern(Facts{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13})),
              (Facts{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}));
    // The copy's storage is its own: tuples it makes after the original grew
    // further read back as made.
    Facts later{99, 98, 97, 96, 95, 94, 93, 92, 91};
    EXPECT_EQ(facts(*copy, copy->intern(later)), later);
    EXPECT_EQ(facts(tt, tt.intern(later)), later);
    // A table assigned over one in use holds the assigned tuples only, and
    // goes on finding and making them as the original does.
    *copy = tt;
    for (const Facts& f : made) ASSERT_EQ(copy->intern(f), ids.at(f));
    Facts fresh{123456, 654321};
    EXPECT_EQ(copy->intern(fresh), tt.intern(fresh));
    EXPECT_EQ(facts(*copy, copy->intern(fresh)), fresh);
}

TEST(TupleTable, ExtendSaysWhetherItMadeTheTupleAndAgreesWithIntern) {
    // Chains of extends over short, long and repeated tuples: a tuple is
    // made by the first extend that reaches it, under the next id, and
    // found again by every later one, as intern finds it.
    std::mt19937 rng(5);
    TupleTable tt;
    std::map<Facts, TupleId> seen;
    for (int k = 0; k < 20000; ++k) {
        const size_t len = k % 7 == 0 ? 9 + rng() % 8 : 1 + rng() % 4;
        Facts f(len);
        for (FactId& x : f) x = len > 8 ? rng() % 3 : rng() % 40;
        TupleId t = TupleTable::empty_tuple;
        for (size_t n = 1; n <= len; ++n) {
            const Facts prefix(f.begin(), f.begin() + static_cast<std::ptrdiff_t>(n));
            const size_t before = tt.count();
            bool made = false;
            t = tt.extend(t, f[n - 1], made);
            auto [it, fresh] = seen.try_emplace(prefix, t);
            ASSERT_EQ(made, fresh) << k << " " << n;
            ASSERT_EQ(it->second, t);
            ASSERT_EQ(tt.count(), before + (made ? 1 : 0));
            if (made) {
                ASSERT_EQ(static_cast<size_t>(t), before);
            }
        }
        ASSERT_EQ(tt.intern(f), t);
        ASSERT_EQ(facts(tt, t), f);
    }
}

TEST(TupleTable, FirstExtensionsOfOneFactTuplesKeepTheirIdsAcrossChunksBlocksAndCopies) {
    // The usual join children: one-fact tuples made first, then each
    // extended once, in a long run with now and then a longer tuple made
    // between, so that record chunks and blocks of pairs fill up at every
    // kind of place.
    TupleTable tt;
    std::optional<TupleTable> copy;
    for (FactId k = 0; k < 45000; ++k) tt.intern(Facts{k});
    for (FactId k = 0; k < 45000; ++k) {
        bool made = false;
        const TupleId id = tt.extend(tt.intern(Facts{k}), k + 1000000, made);
        ASSERT_TRUE(made);
        ASSERT_EQ(static_cast<size_t>(id), tt.count() - 1);
        if (k % 9973 == 0) tt.intern(Facts(11, k));
        if (k == 22222) copy = tt;
    }
    for (FactId k = 0; k < 45000; ++k) {
        bool made = true;
        const TupleId id = tt.extend(tt.intern(Facts{k}), k + 1000000, made);
        ASSERT_FALSE(made);
        ASSERT_EQ(facts(tt, id), (Facts{k, k + 1000000}));
        if (k <= 22222) {
            ASSERT_EQ(facts(*copy, id), (Facts{k, k + 1000000}));
        }
    }
}

TEST(TupleTable, ReleasingAFactsTuplesKeepsTheOthersAndFindsTheParentsOtherExtensions) {
    TupleTable tt;
    const TupleId a = tt.intern(Facts{1});
    const TupleId a2 = tt.extend(a, 2);  // a's first extension
    const TupleId a3 = tt.extend(a, 3);  // found through the map
    const TupleId a4 = tt.extend(a, 4);
    const TupleId a2x = tt.extend(a2, 9);
    const TupleId b = tt.intern(Facts{5, 1, 6});
    const TupleId c = tt.intern(Facts{7, 8});
    const size_t made = tt.count();
    // Fact 2 and fact 6 are gone: their tuples, and the extensions of those,
    // go; the rest keep their ids and facts.
    EXPECT_EQ(tt.release_tuples_with([](FactId f) { return f == 2 || f == 6; }), 3u);
    EXPECT_FALSE(tt.holds(a2));
    EXPECT_FALSE(tt.holds(a2x));
    EXPECT_FALSE(tt.holds(b));
    EXPECT_TRUE(tt.holds(tt.parent(a3)));
    EXPECT_EQ(facts(tt, a3), (Facts{1, 3}));
    EXPECT_EQ(facts(tt, tt.intern(Facts{5, 1})), (Facts{5, 1}));
    EXPECT_EQ(tt.count(), made);
    EXPECT_EQ(tt.footprint().tuples, made - 3);
    // The parent's first extension went: the others are found again, and a
    // new extension is made once, under a new id.
    EXPECT_EQ(tt.extend(a, 3), a3);
    EXPECT_EQ(tt.extend(a, 4), a4);
    bool fresh = false;
    const TupleId a5 = tt.extend(a, 5, fresh);
    EXPECT_TRUE(fresh);
    EXPECT_EQ(static_cast<size_t>(a5), made);
    EXPECT_EQ(tt.extend(a, 5, fresh), a5);
    EXPECT_FALSE(fresh);
    EXPECT_EQ(tt.intern(Facts{1, 3}), a3);
    EXPECT_EQ(facts(tt, c), (Facts{7, 8}));
    // Releasing nothing changes nothing; a copy holds what the table holds.
    EXPECT_EQ(tt.release_tuples_with([](FactId) { return false; }), 0u);
    const TupleTable copy = tt;
    EXPECT_FALSE(copy.holds(b));
    EXPECT_EQ(facts(copy, a4), (Facts{1, 4}));
#ifdef QUARN_VERIFY_ENGINE
    // The verifying build refuses any read of a released tuple.
    EXPECT_THROW(tt.view(a2), InternalError);
    EXPECT_THROW(tt.parent(b), InternalError);
    EXPECT_THROW(tt.extend(a2, 11), InternalError);
#endif
}

TEST(TupleTable, MemoryFollowsTheTuplesHeldAsFactsComeAndGo) {
    // Rounds of join-like tuples: one-fact tuples, each extended once or
    // twice, a few long ones, and extensions of tuples of facts that stay;
    // then the round's facts all go. The record chunks, fact blocks and
    // lookup pages held stop growing after the first rounds, while ids go
    // on rising, and the tuples of the facts that stay are found again.
    TupleTable tt;
    const TupleId stays = tt.intern(Facts{0});
    const TupleId stays_pair = tt.intern(Facts{0, 1});
    FactId next = 2;
    TupleTable::Footprint after_warmup;
    for (int round = 0; round < 40; ++round) {
        const FactId first = next;
        for (int k = 0; k < 6000; ++k) {
            const TupleId one = tt.intern(Facts{next});
            tt.extend(one, next + 1);
            if (k % 3 == 0) tt.extend(one, next + 2);
            if (k % 500 == 0) tt.intern(Facts(12, next));
            if (k % 7 == 0) tt.extend(stays, next);
            next += 3;
        }
        ASSERT_EQ(tt.release_tuples_with([&](FactId f) { return f >= first; }), 6000u + 8000u + 12u * 11u + 858u);
        if (round == 4) after_warmup = tt.footprint();
    }
    const TupleTable::Footprint now = tt.footprint();
    EXPECT_EQ(now.tuples, 3u);  // [], [0], [0, 1]
    EXPECT_LE(now.record_chunks, after_warmup.record_chunks);
    EXPECT_LE(now.fact_blocks, after_warmup.fact_blocks);
    EXPECT_LE(now.lookup_pages, after_warmup.lookup_pages);
    EXPECT_GT(tt.count(), 40u * 14000u);
    EXPECT_EQ(tt.intern(Facts{0, 1}), stays_pair);
    EXPECT_EQ(facts(tt, stays_pair), (Facts{0, 1}));
    EXPECT_EQ(tt.parent(stays_pair), stays);
    bool fresh = false;
    EXPECT_EQ(facts(tt, tt.extend(stays, next, fresh)), (Facts{0, next}));
    EXPECT_TRUE(fresh);
}

// Random tuples of one to five facts, built by extension as joins build
// them (shared prefixes, a parent's many extensions, facts repeated in a
// tuple), then rounds that each release the tuples of a few random facts:
// release_tuples_holding takes exactly the tuples that the whole-table walk
// takes on a copy, returns each once with its extensions before it, and
// leaves the others readable. Tuples made between rounds, and extensions of
// tuples that survived a round, are found as well.
TEST(TupleTable, ReleasingByFactTakesWhatTheWholeTableWalkTakes) {
    std::mt19937 rng(20261209);
    TupleTable tt;
    std::vector<TupleId> made;
    auto grow = [&](int n, FactId facts_from, FactId facts_to) {
        std::uniform_int_distribution<FactId> fact(facts_from, facts_to);
        for (int k = 0; k < n; ++k) {
            TupleId t = TupleTable::empty_tuple;
            // Extend a held tuple made earlier half the time: parents with
            // many extensions, some made rounds ago.
            if (!made.empty() && rng() % 2 == 0) {
                const TupleId p = made[rng() % made.size()];
                if (tt.holds(p) && tt.size_of(p) < 5) t = p;
            }
            const size_t len = tt.size_of(t) + 1 + rng() % 2;
            while (tt.size_of(t) < len) t = tt.extend(t, fact(rng));
            made.push_back(t);
        }
    };
    grow(3000, 1, 400);
    std::set<FactId> gone_before;
    for (int round = 0; round < 12; ++round) {
        std::set<FactId> gone;
        std::uniform_int_distribution<FactId> fact(1, 400 + 50 * static_cast<FactId>(round));
        while (gone.size() < 6) {
            const FactId f = fact(rng);
            if (!gone_before.contains(f)) gone.insert(f);
        }
        TupleTable walked = tt;
        TupleTable before = tt;
        const size_t expected = walked.release_tuples_with([&](FactId f) { return gone.contains(f); });
        std::vector<FactId> listed(gone.begin(), gone.end());
        listed.push_back(listed.front());  // a fact named twice counts once
        std::shuffle(listed.begin(), listed.end(), rng);
        const std::vector<TupleId> released = tt.release_tuples_holding(listed);
        ASSERT_EQ(released.size(), expected) << round;
        // Each once; a released tuple's parent, when it goes too, after it.
        std::map<TupleId, size_t> position;
        for (size_t k = 0; k < released.size(); ++k) {
            ASSERT_TRUE(position.emplace(released[k], k).second) << round;
            ASSERT_FALSE(walked.holds(released[k])) << round;
        }
        for (size_t k = 0; k < released.size(); ++k) {
            const std::vector<FactId> all = facts(before, released[k]);
            if (all.size() < 2) continue;
            const TupleId parent = before.intern(Facts(all.begin(), all.end() - 1));
            if (auto p = position.find(parent); p != position.end()) {
                ASSERT_GT(p->second, k) << round;
            }
        }
        for (TupleId t : made) {
            ASSERT_EQ(tt.holds(t), walked.holds(t)) << round;
            if (tt.holds(t)) {
                ASSERT_EQ(facts(tt, t), facts(walked, t));
            }
        }
        for (FactId f : gone) gone_before.insert(f);
        grow(400, 1, 450 + 50 * static_cast<FactId>(round));
        std::erase_if(made, [&](TupleId t) {
            if (!tt.holds(t)) return true;
            for (FactId f : tt.view(t))
                if (gone_before.contains(f)) return true;
            return false;
        });
    }
    EXPECT_EQ(tt.release_tuples_holding({}).size(), 0u);
}

// Releasing the tuples of ten facts in a table holding ten thousand others
// reads the records of those ten facts' tuples, not the table: the index
// files every tuple once, at the first release after it was made.
TEST(TupleTable, ReleasingAFewFactsReadsTheirTuplesNotTheTable) {
    TupleTable tt;
    // 2,500 facts each with [f], [f, g], [f, g, h] and [x, f] for a fact
    // x shared by all: 10,000 tuples and more.
    const FactId shared = 1;
    for (FactId f = 10; f < 2510; ++f) {
        const TupleId one = tt.intern(Facts{f});
        tt.extend(tt.extend(one, f + 100000), f + 200000);
        tt.intern(Facts{shared, f});
    }
    EXPECT_EQ(tt.release_tuples_holding(Facts{5}).size(), 0u);  // files them all; releases nothing
    const uint64_t before = tt.release_reads();
    const std::vector<TupleId> released = tt.release_tuples_holding(Facts{10, 11, 12, 13, 14, 15, 16, 17, 18, 19});
    // Each fact's [f] and [x, f] are found, and [f]'s extension and its
    // extension's: four records a fact.
    EXPECT_EQ(released.size(), 40u);
    EXPECT_LE(tt.release_reads() - before, 40u);
    EXPECT_EQ(facts(tt, tt.intern(Facts{20, 100020, 200020})), (Facts{20, 100020, 200020}));
    EXPECT_EQ(tt.footprint().tuples, 1u + 2500u * 4u + 1u - 40u);
}

TEST(Key, StoredKeysOwnTheirTextsAndCopiesKeepEverything) {
    std::string text = "a text long enough to live on the heap";
    Value v = Value::str(text);
    Key probe;
    EXPECT_EQ(debug_key(probe), "None");
    probe.set_present();
    EXPECT_EQ(debug_key(probe), "Some([])");
    probe.push(Value::i64(7));
    probe.push(v);
    probe.push(Value::dec(150, 2));  // a third value leaves the inline storage
    Key kept = probe;
    kept.own_texts();
    v = Value::str("something else entirely, also long enough");
    // The probe referred to v's old text; the owned copy still holds it.
    EXPECT_EQ(debug_key(kept), "Some([I64(7), Str(\"" + text + "\"), Dec { u: 150, s: 2 }])");
    Key copy = kept;
    Key moved = std::move(kept);
    EXPECT_TRUE(copy == moved);
    EXPECT_EQ(copy.class_hash(), moved.class_hash());
    EXPECT_FALSE(kept.present());
    EXPECT_FALSE(copy == Key(std::vector<Value>{Value::i64(7)}));
    EXPECT_FALSE(Key(std::vector<Value>{Value::null()}).class_hash().has_value());
}

TEST(Key, KeysThatMatchShareTheirClassHash) {
    // Random numeric keys of every kind: whenever keys_match accepts a pair,
    // the equality index must find it, so the class hashes agree.
    std::mt19937 rng(9);
    auto random_value = [&]() {
        int64_t n = static_cast<int64_t>(rng() % 7) - 3;
        switch (rng() % 5) {
            case 0: return Value::i64(n);
            case 1: return Value::f64(static_cast<double>(n) + (rng() % 2 ? 0.5 : 0.0));
            case 2: return Value::dec(static_cast<i128>(n) * 100 + (rng() % 2 ? 50 : 0), 2);
            case 3: return Value::f64(std::nan(""));
            default: return Value::i64((int64_t{1} << 53) + static_cast<int64_t>(rng() % 3));
        }
    };
    size_t matched = 0;
    for (int k = 0; k < 20000; ++k) {
        Key a(std::vector<Value>{random_value(), Value::i64(k % 2)});
        Key b(std::vector<Value>{random_value(), Value::i64(k % 2)});
        if (!keys_match(a, b)) continue;
        ++matched;
        ASSERT_EQ(a.class_hash(), b.class_hash()) << debug_key(a) << " " << debug_key(b);
    }
    EXPECT_GT(matched, 1000u);
    // A one-value key's class hash, computed from the value alone.
    for (int k = 0; k < 200; ++k) {
        Value v = k % 7 == 0 ? Value::null() : k % 11 == 0 ? Value::boolean(k % 2 == 0) : random_value();
        EXPECT_EQ(single_value_class_hash(KeyValue::of(v)), Key(std::vector<Value>{v}).class_hash()) << debug(v);
    }
    // Integers pushed in place make the same key as integers pushed as values,
    // also past the inline values and after a Null.
    for (int64_t n : {int64_t{0}, int64_t{-7}, (int64_t{1} << 53) + 1, INT64_MIN}) {
        Key by_value, in_place;
        for (int k = 0; k < 3; ++k) {
            by_value.push(Value::i64(n + k));
            in_place.push_i64(n + k);
        }
        EXPECT_TRUE(by_value == in_place);
        EXPECT_EQ(by_value.class_hash(), in_place.class_hash());
        by_value.push(Value::null());
        in_place.push(Value::null());
        by_value.push(Value::i64(n));
        in_place.push_i64(n);
        EXPECT_TRUE(by_value == in_place);
        EXPECT_FALSE(in_place.class_hash().has_value());
    }
}

TEST(Key, ShortOwnedTextsLiveInTheKeyThroughMovesCopiesAndLaterPushes) {
    // A one-value key has 24 bytes of inline values to spare: an owned text
    // of up to 24 bytes lives there, a longer one (or one beside a second
    // value) on the heap. Every move, copy and later push keeps each text
    // readable and the key equal to one built afresh; the sources are
    // overwritten and the originals destroyed first, so that a value still
    // referring to where its text was shows (the sanitizer build reads
    // freed or dead bytes as an error).
    const std::string fits(24, 'f'), over(25, 'o');
    auto owned = [](const std::vector<Value>& vs) { return Key(vs); };
    EXPECT_TRUE(owned({Value::str(fits)}).holds_texts_inline());
    EXPECT_TRUE(owned({Value::str("")}).present());
    EXPECT_FALSE(owned({Value::str(over)}).holds_texts_inline());
    EXPECT_FALSE(owned({Value::str("ab"), Value::i64(1)}).holds_texts_inline());
    EXPECT_FALSE(owned({Value::i64(1), Value::str("ab")}).holds_texts_inline());

    Value source = Value::str("cust-0a1b2c3d4e5f6");
    Key referred;
    referred.push(source);  // refers to the text of `source` until owned
    EXPECT_FALSE(referred.holds_texts_inline());
    auto moved = std::make_unique<Key>(std::move(referred));
    moved->own_texts();
    ASSERT_TRUE(moved->holds_texts_inline());
    const std::optional<uint64_t> hash = moved->class_hash();
    source = Value::str("xxxxxxxxxxxxxxxxxx");
    std::vector<Key> keys;
    for (int k = 0; k < 40; ++k) {  // growth moves every key held so far
        keys.push_back(k % 2 == 0 ? Key(*moved) : std::move(*std::make_unique<Key>(*moved)));
    }
    Key assigned;
    assigned = keys[7];
    moved.reset();
    for (const Key& k : keys) {
        ASSERT_EQ(debug_key(k), "Some([Str(\"cust-0a1b2c3d4e5f6\")])");
        EXPECT_EQ(k.class_hash(), hash);
    }
    Key grown = std::move(keys[3]);
    keys.clear();
    grown.push(Value::i64(9));  // takes the values the text was kept in
    const Value third = Value::str(fits);
    grown.push(third);
    EXPECT_FALSE(grown.holds_texts_inline());
    EXPECT_EQ(debug_key(grown), "Some([Str(\"cust-0a1b2c3d4e5f6\"), I64(9), Str(\"" + fits + "\")])");
    Key fresh({Value::str("cust-0a1b2c3d4e5f6"), Value::i64(9), Value::str(fits)});
    EXPECT_TRUE(grown == fresh);
    EXPECT_EQ(grown.class_hash(), fresh.class_hash());
    EXPECT_TRUE(keys_match(fresh, grown));
    assigned.push_i64(4);
    EXPECT_TRUE(assigned == Key({Value::str("cust-0a1b2c3d4e5f6"), Value::i64(4)}));
    Key last;
    last = std::move(assigned);
    EXPECT_EQ(debug_key(last), "Some([Str(\"cust-0a1b2c3d4e5f6\"), I64(4)])");
}

TEST(Key, AnIntegersClassHashIsItsKeysWithoutTheKey) {
    // Around where doubles stop holding every integer and where a memory's
    // word stops holding one, and at the ends.
    std::vector<int64_t> ns = {0, 1, -1, 15, 16, -16, INT64_MIN, INT64_MAX};
    for (int64_t edge : {int64_t{1} << 53, int64_t{1} << 61, int64_t{1} << 62}) {
        for (int64_t d = -3; d <= 3; ++d) {
            ns.push_back(edge + d);
            ns.push_back(-edge + d);
        }
    }
    std::mt19937_64 rng(3);
    for (int k = 0; k < 1000; ++k) ns.push_back(static_cast<int64_t>(rng()) >> (rng() % 64));
    for (int64_t n : ns) {
        Key in_place;
        in_place.push_i64(n);
        ASSERT_EQ(int_key_class_hash(n), in_place.class_hash()) << n;
        // A float equal to it meets it in the same bucket.
        const Key as_float(std::vector<Value>{Value::f64(static_cast<double>(n))});
        if (keys_match(as_float, in_place)) {
            ASSERT_EQ(int_key_class_hash(n), as_float.class_hash()) << n;
        }
    }
}

TEST(Key, KeysCountingUpShareTheirClassHashButForTheLowBits) {
    // A last integer's low 4 bits come out as the class hash's own, whichever
    // way the key was built; what is left is mixed.
    auto hash_of = [](std::vector<Value> values) { return *Key(values).class_hash(); };
    std::set<uint64_t> runs;
    for (int64_t m = -500; m < 500; ++m) {
        const uint64_t upper = hash_of({Value::i64(16 * m)}) >> 4;
        for (int64_t j = 0; j < 16; ++j) {
            const int64_t n = 16 * m + j;
            const uint64_t h = hash_of({Value::i64(n)});
            ASSERT_EQ(h & 15, static_cast<uint64_t>(j)) << n;
            ASSERT_EQ(h >> 4, upper) << n;
            Key in_place;
            in_place.push_i64(n);
            ASSERT_EQ(in_place.class_hash(), h) << n;
        }
        runs.insert(upper);
        // A number of the same integer class lands on the integer's bits.
        EXPECT_EQ(hash_of({Value::f64(static_cast<double>(16 * m + 9) + (m < 0 ? -0.25 : 0.25))}),
                  hash_of({Value::i64(16 * m + 9)}));
        EXPECT_EQ(hash_of({Value::dec(static_cast<i128>(16 * m + 9) * 100, 2)}), hash_of({Value::i64(16 * m + 9)}));
    }
    EXPECT_EQ(runs.size(), 1000u);
    // An integer followed by another value gives all its bits to the mix:
    // keys differing only in the low bits of a first value stay apart.
    std::set<uint64_t> pairs, with_text, in_place;
    for (int64_t a = 0; a < 4096; ++a) {
        pairs.insert(hash_of({Value::i64(a), Value::i64(5)}));
        with_text.insert(hash_of({Value::i64(a), Value::str("t")}));
        Key k;
        k.push_i64(a);
        k.push_i64(5);
        in_place.insert(*k.class_hash());
    }
    EXPECT_EQ(pairs.size(), 4096u);
    EXPECT_EQ(with_text.size(), 4096u);
    EXPECT_EQ(in_place, pairs);
}

TEST(Key, TablesPlaceKeysCountingUpSideBySideUnderTagsOfTheirOwn) {
    const ClassHashBlocks slot_of;
    constexpr uint64_t kTagShift = 57;  // where the tables take a slot's tag
    constexpr uint64_t kMiddle = (uint64_t{1} << kTagShift) - 16;
    std::set<uint64_t> blocks;
    for (int64_t m = 0; m < 1000; ++m) {
        const uint64_t block = slot_of(*Key(std::vector<Value>{Value::i64(16 * m)}).class_hash()) & kMiddle;
        std::set<uint64_t> tags;
        for (int64_t j = 0; j < 16; ++j) {
            const uint64_t s = slot_of(*Key(std::vector<Value>{Value::i64(16 * m + j)}).class_hash());
            ASSERT_EQ(s & 15, static_cast<uint64_t>(j));
            ASSERT_EQ(s & kMiddle, block);
            tags.insert(s >> kTagShift);
        }
        EXPECT_EQ(tags.size(), 16u);
        blocks.insert(block);
    }
    EXPECT_EQ(blocks.size(), 1000u);
}

// An insert given the key's hash (emplace_hashed, while the table has room)
// must take the slot a plain insert takes, and find what it finds: twins
// filled one each way hold their keys in the same slots (the same iteration
// order) after every change. Keys counting up fill whole groups of slots in
// the blocked table, so many keys find their home taken by another and probe
// on; erases shift runs back under both.
template <class Table>
void insert_given_hash_as_plain_insert(uint32_t seed) {
    std::mt19937 rng(seed);
    Table plain, hashed;
    size_t fast = 0;
    for (int step = 0; step < 6000; ++step) {
        const uint64_t k = rng() % 4 == 0 ? rng() % 4096 : 16 * (rng() % 24) + rng() % 16;
        if (rng() % 5 == 0) {
            ASSERT_EQ(plain.erase(k), hashed.erase(k));
        } else {
            ++plain.try_emplace(k).first->second;
            if (hashed.has_room()) {
                ++fast;
                ++hashed.emplace_hashed(k, hashed.hash_of(k));
            } else {
                ++hashed.try_emplace(k).first->second;
            }
        }
        ASSERT_EQ(plain.size(), hashed.size()) << step;
        ASSERT_EQ(plain.capacity(), hashed.capacity()) << step;
        auto p = plain.begin();
        for (auto h = hashed.begin(); h != hashed.end(); ++h, ++p) {
            ASSERT_EQ(p->first, h->first) << step;
            ASSERT_EQ(p->second, h->second) << step;
        }
    }
    EXPECT_GT(fast, 4000u);
}

TEST(HashMap, AnInsertGivenItsHashTakesTheSlotAPlainInsertTakes) {
    insert_given_hash_as_plain_insert<detail::OpenTable<uint64_t, int, ClassHashBlocks>>(5);
    insert_given_hash_as_plain_insert<HashMap<uint64_t, int>>(6);
}
