// Truth maintenance against a brute-force reference, and the parts of it the
// whole-program cases (data/run/tms.test) cannot reach: the terminal queue of
// a forced evaluation.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "schema_support.h"

using namespace quarn;

namespace {

using test::i64_type;

// A stratified program: P and Q from the base facts (a join, a not), R from
// P, Q and A, S from B and not P, T from C alone and U from T (one-pattern
// rules, retracted by eager breaks).
const char* kProgram =
    "rule p when $a : A($x : x) B(x == $x) then insertLogical(new P($x)); end\n"
    "rule q when $a : A($y : y) not C(y == $y) then insertLogical(new Q($y)); end\n"
    "rule r when $p : P($x : x) $q : Q($y : y) A(x == $x, y == $y) then insertLogical(new R($x, $y)); end\n"
    "rule s salience -1 when $b : B($x : x) not P(x == $x) then insertLogical(new S($x)); end\n"
    "rule t when $c : C($y : y, y > 1) then insertLogical(new T($y)); end\n"
    "rule u salience 2 when $t : T($y : y) then insertLogical(new U($y)); end\n";

using Content = std::vector<int64_t>;
using Contents = std::map<std::string, std::multiset<Content>>;

Content content_of(const Engine& e, FactId f) {
    Content c;
    for (size_t i = 0; i < e.store.schema(e.store.fact_type(f)).fields.size(); ++i)
        c.push_back(e.store.get(f, i).as_i64());
    return c;
}

// Every live fact of the engine by type name.
Contents live_contents(const Engine& e) {
    Contents out;
    for (FactId f : e.fact_ids()) out[e.store.schema(e.store.fact_type(f)).name].insert(content_of(e, f));
    return out;
}

// The program's logical contents, computed from the base facts alone.
Contents fixpoint(const Contents& live) {
    auto base = [&](const char* t) {
        auto it = live.find(t);
        return it == live.end() ? std::multiset<Content>{} : it->second;
    };
    const auto a = base("A"), b = base("B"), c = base("C");
    auto has = [](const std::multiset<Content>& s, size_t field, int64_t v) {
        return std::any_of(s.begin(), s.end(), [&](const Content& x) { return x[field] == v; });
    };
    std::set<Content> p, q, r, s, t, u;
    for (const Content& x : a) {
        if (has(b, 0, x[0])) p.insert({x[0]});
        if (!has(c, 0, x[1])) q.insert({x[1]});
    }
    for (const Content& x : a)
        if (p.count({x[0]}) && q.count({x[1]})) r.insert({x[0], x[1]});
    for (const Content& x : b)
        if (!p.count({x[0]})) s.insert({x[0]});
    for (const Content& x : c)
        if (x[0] > 1) t.insert({x[0]});
    u = t;
    Contents out;
    auto put = [&](const char* name, const std::set<Content>& set) {
        if (!set.empty()) out[name] = std::multiset<Content>(set.begin(), set.end());
    };
    put("P", p);
    put("Q", q);
    put("R", r);
    put("S", s);
    put("T", t);
    put("U", u);
    return out;
}

Contents logical_only(Contents all) {
    for (const char* t : {"A", "B", "C"}) all.erase(t);
    return all;
}

std::string text_of(const Contents& c) {
    std::string out;
    for (const auto& [t, set] : c)
        for (const Content& x : set) {
            out += t + "(";
            for (size_t i = 0; i < x.size(); ++i) out += (i ? "," : "") + std::to_string(x[i]);
            out += ") ";
        }
    return out;
}

TEST(TmsRandom, LiveLogicalFactsAreTheFixpointOfTheLiveBaseFactsAfterEveryFire) {
    for (uint32_t seed = 1; seed <= 100; ++seed) {
        std::mt19937 rng(seed);
        Engine e = std::move(Engine::create({i64_type("A", {"x", "y"}), i64_type("B", {"x"}), i64_type("C", {"y"}),
                                             i64_type("P", {"x"}), i64_type("Q", {"y"}), i64_type("R", {"x", "y"}),
                                             i64_type("S", {"x"}), i64_type("T", {"y"}), i64_type("U", {"y"})}))
                       .value();
        ASSERT_TRUE(e.add_rules_text(kProgram));
        auto pick = [&](int n) { return static_cast<int64_t>(rng() % static_cast<uint32_t>(n)); };
        std::string log;
        for (int round = 0; round < 25; ++round) {
            const int ops = 1 + static_cast<int>(pick(6));
            for (int k = 0; k < ops; ++k) {
                std::vector<FactId> base;
                for (FactId f : e.fact_ids())
                    if (e.store.fact_type(f) <= 2) base.push_back(f);
                const int64_t what = pick(10);
                if (what < 5 || base.empty()) {
                    const int64_t t = pick(3);
                    EngineResult<FactId> f =
                        t == 0   ? e.insert("A", {{"x", Value::i64(pick(4))}, {"y", Value::i64(pick(4))}})
                        : t == 1 ? e.insert("B", {{"x", Value::i64(pick(4))}})
                                 : e.insert("C", {{"y", Value::i64(pick(4))}});
                    ASSERT_TRUE(f);
                    log += "+" + std::to_string(t) + " ";
                } else {
                    const FactId f = base[static_cast<size_t>(pick(static_cast<int>(base.size())))];
                    if (what < 8) {
                        ASSERT_TRUE(e.delete_fact(f));
                        log += "-" + std::to_string(f) + " ";
                    } else {
                        const std::string field = e.store.schema(e.store.fact_type(f)).fields[0].first;
                        ASSERT_TRUE(e.update_fact(f, {{field, Value::i64(pick(4))}}));
                        log += "~" + std::to_string(f) + " ";
                    }
                }
            }
            EngineResult<Firings> fired = e.fire_all(100000);
            ASSERT_TRUE(fired) << fired.error().message;
            ASSERT_NO_THROW(e.tms.verify(e.store)) << "seed " << seed << ": " << log;
            const Contents live = live_contents(e);
            ASSERT_EQ(text_of(logical_only(live)), text_of(fixpoint(live))) << "seed " << seed << ": " << log;
        }
    }
}

// A rule with a join justifies L1; under a forced evaluation its terminal
// deletion waits in the queue, late exactly when the rule's own stamp is on
// the change that took the tuple away.
TEST(Tms, ForcedTerminalDeletesQueueLateOnlyForTheRulesOwnChanges) {
    struct Change {
        Stamp stamp;
        bool late;
    };
    for (const Change& c : {Change{0, true}, Change{1, false}, Change{std::nullopt, false}}) {
        Engine e = std::move(Engine::create({i64_type("Base", {"id"}), i64_type("Cfg", {"on"}), i64_type("L1", {"id"})})).value();
        ASSERT_TRUE(e.add_rules_text(
            "rule one when $b : Base(id > 0, $i : id) $c : Cfg() then insertLogical(new L1($i)); end\n"
            "rule other when $c : Cfg(on == 5) then end\n"));
        const FactId base = *e.insert("Base", {{"id", Value::i64(3)}});
        ASSERT_TRUE(e.insert("Cfg", {{"on", Value::i64(1)}}));
        ASSERT_EQ(e.fire_all(100).value().size(), 1u);
        ASSERT_EQ(e.fact_ids().size(), 3u);

        // The base fact leaves the first pattern by a change stamped c.stamp.
        ASSERT_TRUE(e.store.set_value(base, 0, Value::i64(0)));
        e.on_update(base, 1, c.stamp);
        e.tms.forced_eval = true;
        e.evaluate_rule_inner(0, true);
        e.tms.forced_eval = false;
        EXPECT_TRUE(e.tms.has_terminal_of(0, false));
        EXPECT_EQ(e.tms.has_terminal_of(0, true), c.late);
        EXPECT_EQ(e.fact_ids().size(), 3u) << "queued, nothing retracted yet";

        // The agenda hands it over before the rule is evaluated again.
        ASSERT_TRUE(e.fire_all(100));
        EXPECT_FALSE(e.tms.has_terminal_of(0, false));
        EXPECT_EQ(e.fact_ids().size(), 2u);
        EXPECT_NO_THROW(e.tms.verify(e.store));
    }
}

// The same deletion outside a forced evaluation retracts at once, and a
// justification of a tuple that holds an expiring event waits for the expiry.
TEST(Tms, TerminalDeletesOfExpiringTuplesWaitForTheExpiry) {
    Engine e = std::move(Engine::create({i64_type("Tick", {"ts", "n"}), i64_type("Mark", {"n"})})).value();
    ASSERT_TRUE(e.declare_event("Tick", "ts", std::nullopt, 1000));
    ASSERT_TRUE(e.add_rules_text("rule seen when $t : Tick($n : n) then insertLogical(new Mark($n)); end\n"));
    const FactId tick = *e.insert("Tick", {{"ts", Value::i64(0)}, {"n", Value::i64(1)}});
    ASSERT_EQ(e.fire_all(100).value().size(), 1u);
    ASSERT_TRUE(e.advance(1001));
    ASSERT_TRUE(e.tms.expiring_ids.contains(tick));

    const TupleId t = e.tuples.extend(TupleTable::empty_tuple, tick);
    e.tms_on_terminal_del(0, t);
    EXPECT_TRUE(e.tms.is_deferred(0, t));
    EXPECT_EQ(e.fact_ids().size(), 2u) << "the mark waits";
    e.tms_on_terminal_del(0, t);  // once only
    EXPECT_EQ(e.tms.take_deferred().size(), 1u);
    e.tms.defer(0, t);

    ASSERT_TRUE(e.fire_all(100));
    EXPECT_TRUE(e.fact_ids().empty());
    EXPECT_FALSE(e.tms.has_deferred());
    EXPECT_NO_THROW(e.tms.verify(e.store));
}

// Contents outlive the facts that brought them in many times over: a
// thousand contents come and half of them go, so that their encodings are
// packed together again while the others are still looked up. Every content
// found again keeps its one fact (a second justification, no second fact),
// and stated copies come and go beside them, their lists freed and reused.
TEST(Tms, ContentsAreFoundAgainAfterTheirEncodingsArePacked) {
    Engine e = std::move(Engine::create({i64_type("A", {"x"}), i64_type("B", {"x"}), i64_type("L", {"x"})})).value();
    ASSERT_TRUE(e.add_rules_text("rule a when $a : A($x : x) then insertLogical(new L($x)); end\n"
                                 "rule b when $b : B($x : x) then insertLogical(new L($x)); end\n"));
    constexpr int64_t kN = 1000;
    auto insert_all = [&](const char* t, int64_t n, std::vector<FactId>& ids) {
        for (int64_t x = 0; x < n; ++x) ids.push_back(*e.insert(t, {{"x", Value::i64(x)}}));
    };
    auto delete_all = [&](std::vector<FactId>& ids) {
        for (FactId f : ids) ASSERT_TRUE(e.delete_fact(f));
        ids.clear();
    };
    // The L facts, by value; every value at most once.
    auto ls = [&] {
        std::multiset<int64_t> out;
        for (FactId f : e.fact_ids())
            if (e.store.schema(e.store.fact_type(f)).name == "L") out.insert(e.store.get(f, 0).as_i64());
        return out;
    };
    auto range = [](int64_t n) {
        std::multiset<int64_t> out;
        for (int64_t x = 0; x < n; ++x) out.insert(x);
        return out;
    };
    std::vector<FactId> as, bs, stated;
    insert_all("A", kN, as);
    insert_all("B", kN / 2, bs);
    ASSERT_TRUE(e.fire_all(~uint64_t{0}));
    EXPECT_EQ(ls(), range(kN));
    delete_all(as);  // L(500..999) go with their only justification
    ASSERT_TRUE(e.fire_all(~uint64_t{0}));
    EXPECT_EQ(ls(), range(kN / 2));
    ASSERT_GT(e.tms.dead_key_bytes, 4096u);
    ASSERT_NO_THROW(e.tms.verify(e.store));

    // New contents pack the encodings; old ones must still be found.
    insert_all("A", kN, as);
    ASSERT_TRUE(e.fire_all(~uint64_t{0}));
    EXPECT_LT(e.tms.dead_key_bytes, 4096u) << "packed";
    EXPECT_EQ(ls(), range(kN));
    ASSERT_NO_THROW(e.tms.verify(e.store));

    // Stated copies, of contents with a logical fact and (the second round)
    // without one: each its own fact, the logical facts untouched.
    for (int64_t round = 0; round < 3; ++round) {
        const int64_t at = round == 1 ? 5000 : 100 * round;
        for (int64_t x = 0; x < 20; ++x) stated.push_back(*e.insert("L", {{"x", Value::i64(at + x % 7)}}));
        EXPECT_EQ(ls().size(), static_cast<size_t>(kN + 20));
        ASSERT_NO_THROW(e.tms.verify(e.store));
        delete_all(stated);
        ASSERT_NO_THROW(e.tms.verify(e.store));
    }
    EXPECT_EQ(ls(), range(kN));

    delete_all(bs);
    ASSERT_TRUE(e.fire_all(~uint64_t{0}));
    EXPECT_EQ(ls(), range(kN)) << "each L still justified by its A";
    delete_all(as);
    ASSERT_TRUE(e.fire_all(~uint64_t{0}));
    EXPECT_TRUE(ls().empty());
    ASSERT_NO_THROW(e.tms.verify(e.store));
}

}  // namespace

// A lookup that finds nothing says where it ended, and a filing of the same
// hash goes there at once, unless the slots changed in between (another
// filing, a rebuild): then the filing probes again. Entries filed through
// fresh and stale misses alike are found under their hash, against a map.
TEST(ContentIndex, FilingWhereTheLookupEndedKeepsEveryEntryFound) {
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        std::mt19937 rng(seed);
        ContentIndex index;
        std::map<uint32_t, uint64_t> model;
        const uint32_t hashes = seed % 2 == 0 ? 5 : 400;
        uint32_t next = 0;
        for (int step = 0; step < 2000; ++step) {
            const uint64_t hash = rng() % hashes;
            ContentIndex::Miss miss;
            ASSERT_EQ(index.find(hash, [](uint32_t) { return false; }, &miss), ~uint32_t{0});
            if (rng() % 3 == 0) {  // the slots change before the filing
                const uint64_t other = rng() % hashes;
                index.insert(next, other);
                model.emplace(next++, other);
            }
            if (!model.empty() && rng() % 4 == 0) {  // a removal changes no slot
                auto it = model.begin();
                std::advance(it, rng() % model.size());
                index.erase(it->first, it->second);
                model.erase(it);
            }
            index.insert(next, hash, &miss);
            model.emplace(next++, hash);
            ASSERT_EQ(index.size(), model.size());
            if (step % 40 != 0) continue;
            for (const auto& [x, h] : model)
                ASSERT_EQ(index.find(h, [&](uint32_t y) { return y == x; }), x)
                    << "seed " << seed << " step " << step << " entry " << x;
        }
    }
}

// The content index against a map: entries share a handful of hashes (so
// their slots share tags and form long runs that wrap around the table's
// end) and leave in random order, each removal shifting the run behind it.
TEST(ContentIndex, FindsEveryEntryThroughRemovalsThatShiftLongRuns) {
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        std::mt19937 rng(seed);
        ContentIndex index;
        std::map<uint32_t, uint64_t> model;  // entry -> hash
        uint32_t next = 0;
        for (int step = 0; step < 3000; ++step) {
            if (model.empty() || rng() % 5 < 3) {
                const uint64_t hash = rng() % (seed % 2 == 0 ? 4 : 300);
                index.insert(next, hash);
                model.emplace(next++, hash);
            } else {
                auto it = model.begin();
                std::advance(it, rng() % model.size());
                index.erase(it->first, it->second);
                model.erase(it);
            }
            ASSERT_EQ(index.size(), model.size());
            if (step % 50 != 0) continue;
            for (uint32_t e = 0; e < next; ++e) {
                auto it = model.find(e);
                const uint64_t hash = it == model.end() ? e % 4 : it->second;
                const uint32_t found = index.find(hash, [&](uint32_t x) { return x == e; });
                ASSERT_EQ(found, it == model.end() ? ~uint32_t{0} : e) << "seed " << seed << " step " << step;
            }
        }
    }
}

// Entry numbers come back to the index after their removal, under another
// hash or the same one, as freed contents' numbers do: a slot left from an
// earlier filing must not find the entry again, and the rebuilds that clear
// those slots must keep every filed entry.
TEST(ContentIndex, ReusedEntryNumbersAreFoundUnderTheirLatestHashOnly) {
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        std::mt19937 rng(seed);
        ContentIndex index;
        const uint32_t numbers = seed % 2 == 0 ? 40 : 700, hashes = seed % 3 == 0 ? 3 : 50;
        std::map<uint32_t, uint64_t> model;        // filed entry -> hash
        std::map<uint32_t, std::set<uint64_t>> ever;  // entry -> every hash it was filed under
        for (int step = 0; step < 4000; ++step) {
            const uint32_t e = rng() % numbers;
            if (auto it = model.find(e); it != model.end()) {
                index.erase(e, it->second);
                model.erase(it);
            } else {
                const uint64_t hash = rng() % hashes;
                index.insert(e, hash);
                model.emplace(e, hash);
                ever[e].insert(hash);
            }
            ASSERT_EQ(index.size(), model.size());
            if (step % 97 != 0) continue;
            for (const auto& [x, filed_under] : ever)
                for (uint64_t hash : filed_under) {
                    auto it = model.find(x);
                    const bool filed = it != model.end() && it->second == hash;
                    ASSERT_EQ(index.find(hash, [&](uint32_t y) { return y == x; }), filed ? x : ~uint32_t{0})
                        << "seed " << seed << " step " << step << " entry " << x << " hash " << hash;
                }
        }
        EXPECT_THROW(index.erase(numbers, 0), std::exception) << "an entry never filed";
    }
}
