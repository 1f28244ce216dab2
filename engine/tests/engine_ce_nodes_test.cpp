// The nodes the engine evaluates itself: ?query elements (their row facts,
// answers checked when the facts a query reads change, a failure that changes
// nothing, the QueryArgs rendering) and not/exists over a group of patterns,
// both checked against brute force over random changes.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/text.h"
#include "engine/engine.h"
#include "store/debug_form.h"
#include "schema_support.h"

using namespace quarn;

namespace {

using test::i64_type;

Engine make(const std::vector<TypeSchema>& types, const std::string& rules) {
    Engine e = std::move(Engine::create(types)).value();
    EngineStatus loaded = e.add_rules_text(rules);
    EXPECT_TRUE(loaded) << loaded.error().message << "\n" << rules;
    return e;
}

FactId put(Engine& e, const std::string& type, std::vector<int64_t> values) {
    const TypeSchema& s = e.store.schema(*e.store.type_id(type));
    std::vector<std::pair<std::string, Value>> row;
    for (size_t i = 0; i < values.size(); ++i) row.emplace_back(s.fields[i].first, Value::i64(values[i]));
    return e.insert(type, std::move(row)).value();
}

int64_t field(const Engine& e, FactId f, size_t i) { return e.store.get(f, i).as_i64(); }

// Brings every rule up to date without firing anything: each activation
// stands for one current match.
void evaluate_all(Engine& e) {
    for (size_t r = 0; r < e.rules.size(); ++r) e.evaluate_rule_inner(r, true);
}

// The rule's pending activations as lists of fact ids, in agenda order.
std::vector<std::vector<FactId>> agenda_of(const Engine& e, size_t r) {
    std::vector<std::vector<FactId>> out;
    for (const Act& a : e.nets[r].acts.items()) {
        TupleView t = e.tuples.view(a.tuple);
        out.emplace_back(t.begin(), t.end());
    }
    return out;
}

// The same, sorted.
std::vector<std::vector<FactId>> matches(const Engine& e, size_t r) {
    std::vector<std::vector<FactId>> out = agenda_of(e, r);
    std::sort(out.begin(), out.end());
    return out;
}

// The activations both lists hold, in the order of `in`.
std::vector<std::vector<FactId>> common(const std::vector<std::vector<FactId>>& in,
                                        const std::vector<std::vector<FactId>>& other) {
    std::vector<std::vector<FactId>> out;
    for (const auto& a : in)
        if (std::find(other.begin(), other.end(), a) != other.end()) out.push_back(a);
    return out;
}

// The live facts of one type, ascending.
std::vector<FactId> live(const Engine& e, const std::string& type) {
    return e.fact_ids_of_type(*e.store.type_id(type));
}

// Random changes: inserts of every type, updates of one field to a value of
// a small range, deletes; handles of the given types only.
struct Changer {
    std::mt19937& rng;
    std::vector<std::string> types;
    int64_t range;

    int64_t value() { return std::uniform_int_distribution<int64_t>(0, range - 1)(rng); }
    void step(Engine& e) {
        const std::string& type = types[rng() % types.size()];
        std::vector<FactId> present = live(e, type);
        const size_t width = e.store.schema(*e.store.type_id(type)).fields.size();
        const unsigned op = rng() % 10;
        if (present.empty() || op < 5) {
            std::vector<int64_t> values;
            for (size_t i = 0; i < width; ++i) values.push_back(value());
            put(e, type, values);
        } else if (op < 8) {
            const FactId f = present[rng() % present.size()];
            const size_t i = rng() % width;
            const std::string name = e.store.schema(*e.store.type_id(type)).fields[i].first;
            const Value old = e.store.get(f, i);
            ASSERT_TRUE(e.update_fact(f, {{name, Value::i64(value())}}));
            // Away and back between two evaluations: a delete and an insert
            // of the same tuples in one batch.
            if (op == 7) {
                ASSERT_TRUE(e.update_fact(f, {{name, old}}));
            }
        } else {
            ASSERT_TRUE(e.delete_fact(present[rng() % present.size()]));
        }
    }
};

// One random rule over C(k, f) and a group of A(k, j, f), B(j, k) and, when
// three members, D(j, f). Members join on the outer key and on $j; some tests
// keep to the fact itself so that updates make facts enter and leave.
struct GroupRule {
    bool exists = false;
    bool outer_alpha = false;  // C(f == 1)
    bool a_alpha = false;      // A(f != 0)
    bool b_on_k = false;       // B(k == $k) too
    bool third = false;        // D(j == $j, f == $k)

    std::string text(const std::string& name) const {
        std::string members = fmt("A(k == $k, $j : j{}) and B(j == $j{})", a_alpha ? ", f != 0" : "",
                                  b_on_k ? ", k == $k" : "");
        if (third) members += " and D(j == $j, f == $k)";
        return fmt("rule {} agenda-group \"held\" when $c : C($k : k{}) {} ({}) then end\n", name,
                   outer_alpha ? ", f == 1" : "", exists ? "exists" : "not", members);
    }

    // The outer facts matched now, brute force over the live facts.
    std::vector<std::vector<FactId>> expected(const Engine& e) const {
        std::vector<std::vector<FactId>> out;
        for (FactId c : live(e, "C")) {
            if (outer_alpha && field(e, c, 1) != 1) continue;
            const int64_t k = field(e, c, 0);
            bool found = false;
            for (FactId a : live(e, "A")) {
                if (field(e, a, 0) != k || (a_alpha && field(e, a, 2) == 0)) continue;
                const int64_t j = field(e, a, 1);
                for (FactId b : live(e, "B")) {
                    if (field(e, b, 0) != j || (b_on_k && field(e, b, 1) != k)) continue;
                    if (!third) {
                        found = true;
                        continue;
                    }
                    for (FactId d : live(e, "D"))
                        if (field(e, d, 0) == j && field(e, d, 1) == k) found = true;
                }
            }
            if (found == exists) out.push_back({c});
        }
        return out;
    }
};

}  // namespace

TEST(SubnetNodes, GroupedNotAndExistsAgreeWithBruteForceOverRandomChanges) {
    const std::vector<TypeSchema> types = {i64_type("C", {"k", "f"}), i64_type("A", {"k", "j", "f"}),
                                           i64_type("B", {"j", "k"}), i64_type("D", {"j", "f"})};
    std::mt19937 rng(20240607);
    for (int trial = 0; trial < 150; ++trial) {
        // Two or three group rules: when two share their members, their
        // member nodes are shared and feed both groups; a plain join over the
        // same members shares them too.
        std::vector<GroupRule> group_rules;
        GroupRule g;
        g.exists = rng() % 2;
        g.outer_alpha = rng() % 2;
        g.a_alpha = rng() % 2;
        g.b_on_k = rng() % 2;
        g.third = rng() % 3 == 0;
        group_rules.push_back(g);
        GroupRule twin = g;
        twin.exists = !g.exists;
        if (rng() % 2) twin.third = !twin.third;
        group_rules.push_back(twin);
        std::string text;
        for (size_t i = 0; i < group_rules.size(); ++i) text += group_rules[i].text(fmt("g{}", i));
        const bool with_join = rng() % 2;
        if (with_join) text += "rule plain agenda-group \"held\" when $c : C($k : k) A(k == $k, $j : j) B(j == $j) then end\n";
        Engine e = make(types, text);
        Changer change{rng, {"C", "A", "B", "D"}, 3};
        for (int round = 0; round < 12; ++round) {
            const int steps = 2 + static_cast<int>(rng() % 14);
            for (int s = 0; s < steps; ++s) change.step(e);
            ASSERT_TRUE(e.fire_all(1000));
            // Some rounds leave a rule out: shared member nodes then feed its
            // group input over several evaluations before its group runs.
            for (size_t r = 0; r < e.rules.size(); ++r) {
                if (rng() % 3 == 0) continue;
                e.evaluate_rule_inner(r, true);
                if (r < group_rules.size()) {
                    ASSERT_EQ(matches(e, r), group_rules[r].expected(e))
                        << "trial " << trial << " round " << round << " rule " << r << "\n" << text;
                }
            }
        }
    }
}

namespace {

// query two(a, b): E(s == a) then F from E's target to b, or G straight from a to b.
constexpr const char* kTwoSteps =
    "query two(long $a, long $b) E(s == $a, $m : t) F(s == $m, t == $b) or G(s == $a, t == $b) end\n";

std::vector<TypeSchema> query_types() {
    return {i64_type("P", {"x"}), i64_type("E", {"s", "t"}), i64_type("F", {"s", "t"}), i64_type("G", {"s", "t"})};
}

// Per live P fact, its answers b, one per derivation, as (p, b) sorted.
std::vector<std::pair<FactId, int64_t>> two_steps_brute(const Engine& e) {
    std::vector<std::pair<FactId, int64_t>> out;
    for (FactId p : live(e, "P")) {
        const int64_t x = field(e, p, 0);
        for (FactId a : live(e, "E"))
            if (field(e, a, 0) == x)
                for (FactId f : live(e, "F"))
                    if (field(e, f, 0) == field(e, a, 1)) out.emplace_back(p, field(e, f, 1));
        for (FactId g : live(e, "G"))
            if (field(e, g, 0) == x) out.emplace_back(p, field(e, g, 1));
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

TEST(QueryNodes, AnswersAgreeWithBruteForceOverRandomChanges) {
    std::mt19937 rng(77);
    for (int trial = 0; trial < 30; ++trial) {
        Engine e = make(query_types(), std::string(kTwoSteps) +
                                           "rule r agenda-group \"held\" when $p : P($x : x) ?two($x, $b;) then end");
        Changer change{rng, {"P", "E", "F", "G"}, 4};
        std::vector<std::vector<FactId>> before;
        for (int round = 0; round < 10; ++round) {
            const int steps = 1 + static_cast<int>(rng() % 6);
            for (int s = 0; s < steps; ++s) change.step(e);
            ASSERT_TRUE(e.fire_all(1000));
            evaluate_all(e);
            // A match that survives a refresh keeps its row fact and its place
            // among the others that survive.
            const std::vector<std::vector<FactId>> now = agenda_of(e, 0);
            ASSERT_EQ(common(now, before), common(before, now)) << "trial " << trial << " round " << round;
            before = now;
            std::vector<std::pair<FactId, int64_t>> got;
            for (const std::vector<FactId>& m : matches(e, 0)) {
                ASSERT_EQ(m.size(), 2u);
                ASSERT_TRUE(e.store.is_alive(m[1])) << "a match holds a retracted row";
                EXPECT_EQ(field(e, m[1], 0), field(e, m[0], 0));
                got.emplace_back(m[0], field(e, m[1], 1));
            }
            std::sort(got.begin(), got.end());
            ASSERT_EQ(got, two_steps_brute(e)) << "trial " << trial << " round " << round;
            // Every live row fact is in a match: none is left behind.
            size_t rows = 0;
            for (FactId f = 0; f < e.store.fact_count(); ++f) rows += e.store.is_alive(f) && e.is_query_row(f);
            ASSERT_EQ(rows, got.size());
        }
    }
}

TEST(QueryNodes, RowFactsLiveExactlyWhileTheirMatch) {
    Engine e = make(query_types(), std::string(kTwoSteps) + "rule r when $p : P($x : x) ?two($x, $b;) then end");
    const FactId p = put(e, "P", {1});
    put(e, "G", {1, 7});
    put(e, "G", {1, 8});
    ASSERT_EQ(e.fire_all(100).value().size(), 2u);
    auto rows_of = [&](FactId left) {
        const auto& answers = e.qce_answers.at({0, 1});
        auto it = answers.find(e.tuples.intern(std::vector<FactId>{left}));
        return it == answers.end() ? std::vector<FactId>{} : it->second;
    };
    const std::vector<FactId> first = rows_of(p);
    ASSERT_EQ(first.size(), 2u);
    // Row facts stay out of working memory.
    for (const FactView& v : e.facts()) EXPECT_FALSE(v.type_name.starts_with("__qrow$")) << v.type_name;

    // An updated tuple: old rows retracted, the query asked again.
    ASSERT_TRUE(e.update_fact(p, {{"x", Value::i64(1)}}));
    ASSERT_EQ(e.fire_all(100).value().size(), 2u);
    for (FactId row : first) EXPECT_FALSE(e.store.is_alive(row));
    const std::vector<FactId> second = rows_of(p);
    ASSERT_EQ(second.size(), 2u);
    EXPECT_NE(second, first);

    // A fact the query does not read leaves the answers alone; one it reads
    // keeps the unchanged answers and their row facts.
    put(e, "E", {9, 9});
    put(e, "G", {1, 9});
    ASSERT_EQ(e.fire_all(100).value().size(), 1u);
    const std::vector<FactId> third = rows_of(p);
    ASSERT_EQ(third.size(), 3u);
    EXPECT_EQ(std::vector<FactId>(third.begin(), third.begin() + 2), second);

    // A tuple without answers has no record; a deleted one leaves none.
    ASSERT_TRUE(e.update_fact(p, {{"x", Value::i64(5)}}));
    ASSERT_TRUE(e.fire_all(100));
    EXPECT_TRUE(rows_of(p).empty());
    for (FactId row : third) EXPECT_FALSE(e.store.is_alive(row));
    ASSERT_TRUE(e.update_fact(p, {{"x", Value::i64(1)}}));
    ASSERT_TRUE(e.fire_all(100));
    const std::vector<FactId> fourth = rows_of(p);
    ASSERT_EQ(fourth.size(), 3u);
    ASSERT_TRUE(e.delete_fact(p));
    ASSERT_TRUE(e.fire_all(100));
    EXPECT_TRUE(e.qce_answers.at({0, 1}).empty());
    for (FactId row : fourth) EXPECT_FALSE(e.store.is_alive(row));
}

TEST(QueryNodes, AFailingCheckChangesNothingAndIsRetried) {
    // Answers checked after a fact the query reads changed: the check fails on
    // a cycle; rows, answers and the pending check stay as they were until
    // the cycle is gone.
    Engine e = make({i64_type("P", {"x"}), i64_type("E", {"s", "t"})},
                    "query reach(long $a, long $b) E(s == $a, t == $b) or E(s == $a, $m : t) reach($m, $b;) end\n"
                    "rule r when $p : P($x : x) ?reach($x, $b;) then end");
    put(e, "P", {1});
    put(e, "E", {1, 2});
    ASSERT_EQ(e.fire_all(100).value().size(), 1u);
    const auto answers = e.qce_answers.at({0, 1}).begin()->second;
    const FactId back = put(e, "E", {2, 1});
    const size_t facts = e.store.fact_count();
    for (int round = 0; round < 2; ++round) {
        EngineResult<Firings> failed = e.fire_all(100);
        ASSERT_FALSE(failed);
        EXPECT_EQ(failed.error().message, "query evaluation step limit exceeded (cyclic recursion data? D-055)");
        EXPECT_EQ(e.store.fact_count(), facts);
        EXPECT_EQ(e.qce_answers.at({0, 1}).begin()->second, answers);
        for (FactId row : answers) EXPECT_TRUE(e.store.is_alive(row));
        EXPECT_TRUE(e.query_refresh_due(e.nets[0].node_ids[0]));
    }
    ASSERT_TRUE(e.delete_fact(back));
    EXPECT_EQ(e.fire_all(100).value().size(), 0u);
    EXPECT_FALSE(e.query_refresh_due(e.nets[0].node_ids[0]));
    EXPECT_EQ(e.qce_answers.at({0, 1}).begin()->second, answers);
    put(e, "E", {2, 3});
    ASSERT_EQ(e.fire_all(100).value().size(), 1u);
}

TEST(QueryNodes, AQueryRowRendersAsTheArgumentsOfItsCall) {
    Engine e = make(query_types(), std::string(kTwoSteps) +
                                       "rule r when $p : P($x : x) ?two($x, $b;) ?two(1, $c;) then end");
    put(e, "P", {1});
    put(e, "G", {1, 7});
    Firings fired = e.fire_all(100).value();
    ASSERT_EQ(fired.size(), 1u);
    const std::vector<FactView> views = fired[0].facts;
    ASSERT_EQ(views.size(), 3u);
    EXPECT_EQ(views[0].type_name, "P");
    for (size_t pos : {1, 2}) {
        const FactView& v = views[pos];
        EXPECT_EQ(v.type_name, "QueryArgs");
        EXPECT_EQ(v.id, 4294967295u);
        EXPECT_TRUE(v.fields.empty());
        ASSERT_TRUE(v.members.has_value());
        ASSERT_EQ(v.members->size(), 2u);
        EXPECT_FALSE((*v.members)[0].has_value()) << "a given argument shows no value";
        ASSERT_TRUE((*v.members)[1].has_value());
        EXPECT_EQ((*v.members)[1]->type_name, "Long");
        EXPECT_EQ((*v.members)[1]->fields, (std::vector<std::pair<std::string, Value>>{{"value", Value::i64(7)}}));
    }
    // Only a ?query position renders a call, and only for a row of its query.
    const FactId row = e.qce_answers.at({0, 1}).begin()->second.at(0);
    EXPECT_TRUE(e.is_query_row(row));
    EXPECT_FALSE(e.is_query_row(0));
    EXPECT_TRUE(e.render_qargs(0, 1, row).has_value());
    EXPECT_FALSE(e.render_qargs(0, 0, row).has_value());
    EXPECT_FALSE(e.render_qargs(0, 1, 0).has_value());
    EXPECT_FALSE(e.render_qargs(7, 1, row).has_value());
    EXPECT_EQ(e.render_fired_at(0, 0, 0).type_name, "P");
}

TEST(TupleLists, KeepArrivalOrderThroughRemovalsDuplicatesAndSpills) {
    auto order = [](const ArrivalList& l) {
        std::vector<uint32_t> out;
        l.for_each([&](TupleId t) { out.push_back(static_cast<uint32_t>(t)); });
        return out;
    };
    ArrivalList l;
    for (uint32_t t = 0; t < 100; ++t) l.push_back(TupleId{t});
    // Removals leave holes that a compaction closes without reordering.
    for (uint32_t t = 0; t < 100; ++t) {
        if (t % 10 == 3) continue;
        EXPECT_TRUE(l.remove_first(TupleId{t}));
    }
    EXPECT_FALSE(l.remove_first(TupleId{4}));
    EXPECT_EQ(order(l), (std::vector<uint32_t>{3, 13, 23, 33, 43, 53, 63, 73, 83, 93}));
    l.move_to_back(TupleId{13});
    l.push_back(TupleId{23});  // a second entry of 23: the oldest goes first
    EXPECT_TRUE(l.remove_first(TupleId{23}));
    EXPECT_TRUE(l.contains(TupleId{23}));
    EXPECT_EQ(order(l), (std::vector<uint32_t>{3, 33, 43, 53, 63, 73, 83, 93, 13, 23}));
    EXPECT_EQ(l.size(), 10u);

    InnerTuples inner;
    for (uint32_t t : {5, 6, 7, 8}) inner.push_back(TupleId{t});
    EXPECT_TRUE(inner.remove_first(TupleId{6}));   // in place: a spilled one moves in
    EXPECT_TRUE(inner.remove_first(TupleId{8}));   // spilled
    EXPECT_FALSE(inner.remove_first(TupleId{8}));
    inner.push_back(TupleId{9});
    EXPECT_TRUE(inner.remove_first(TupleId{5}));
    EXPECT_TRUE(inner.remove_first(TupleId{7}));
    EXPECT_EQ(inner.size(), 1u);
    EXPECT_TRUE(inner.remove_first(TupleId{9}));
    EXPECT_TRUE(inner.empty());
}

// A list dropped and its place taken by another left tuple starts empty, and
// far-apart ids keep their own lists.
TEST(SubnetNodes, InnerListsByLeftTupleKeepApartAndStartEmptyWhenReused) {
    InnerTuplesByLeft by_left;
    const TupleId a{3}, b{70000}, c{5};
    by_left.list_of(a).push_back(TupleId{100});
    by_left.list_of(a).push_back(TupleId{101});
    by_left.list_of(a).push_back(TupleId{102});
    by_left.list_of(b).push_back(TupleId{200});
    ASSERT_EQ(by_left.size(), 2u);
    by_left.erase(a);
    EXPECT_FALSE(by_left.contains(a));
    EXPECT_EQ(by_left.find(a), nullptr);
    // c takes the list a left behind.
    EXPECT_TRUE(by_left.list_of(c).empty());
    by_left.list_of(c).push_back(TupleId{300});
    std::vector<std::pair<uint32_t, size_t>> seen;
    by_left.for_each([&](TupleId t, const InnerTuples& l) { seen.emplace_back(static_cast<uint32_t>(t), l.size()); });
    EXPECT_EQ(seen, (std::vector<std::pair<uint32_t, size_t>>{{5, 1}, {70000, 1}}));
    ASSERT_NE(by_left.find(b), nullptr);
    EXPECT_TRUE(by_left.find(b)->remove_first(TupleId{200}));
    EXPECT_FALSE(by_left.find(c)->remove_first(TupleId{100}));
}
