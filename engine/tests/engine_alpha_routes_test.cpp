#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"

using namespace quarn;

namespace {

using Row = std::vector<std::pair<std::string, Value>>;

// T's fields that may hold null: i, f, s, b and d.
constexpr uint64_t kNullableFields = 0b111110;

// T(n: I64, i: I64?, f: F64?, s: String?, b: Bool?, d: Decimal(10,2)?) and
// U(k: I64), with the rules loaded and propagating as after the first fire;
// `nullable` may leave more of T's fields without null.
Engine engine_with(const std::string& rules, uint64_t nullable = kNullableFields) {
    TypeSchema t{"T",
                 {{"n", FieldType::i64()},
                  {"i", FieldType::i64()},
                  {"f", FieldType::f64()},
                  {"s", FieldType::str()},
                  {"b", FieldType::boolean()},
                  {"d", FieldType::dec(10, 2)}},
                 nullable};
    Engine e = std::move(Engine::create({t, {"U", {{"k", FieldType::i64()}}, 0}})).value();
    EngineStatus loaded = e.add_rules_text(rules);
    EXPECT_TRUE(loaded) << loaded.error().message;
    e.immediate = true;
    return e;
}

// A row of T: the fields given, every other one null (n 0).
Row t_row(Row given) {
    Row row = {{"n", Value::i64(0)}, {"i", Value::null()}, {"f", Value::null()},
               {"s", Value::null()}, {"b", Value::null()}, {"d", Value::null()}};
    for (auto& [name, value] : given)
        for (auto& cell : row)
            if (cell.first == name) cell.second = value;
    return row;
}

// The places of the type's routes that `f` passes, asked of each route on its own.
std::vector<uint32_t> passing_one_by_one(const Engine& e, const std::vector<size_t>& routes, bool lias, FactId f) {
    std::vector<uint32_t> out;
    for (uint32_t place = 0; place < routes.size(); ++place) {
        const auto [r, pi] = lias ? std::pair(e.lias[routes[place]].rule, e.lias[routes[place]].pattern)
                                  : e.nodes[routes[place]].owner;
        if (e.rules[r].patterns[pi].role.kind == SubRole::Kind::Group) continue;
        if (e.alpha_passes_fields(r, pi, f)) out.push_back(static_cast<uint32_t>(place));
    }
    return out;
}

std::string constraint(std::mt19937_64& rng) {
    static const std::vector<std::string> pool = {
        "n == 3", "n == 3", "n == 4", "n == 4.0", "n == 3.5", "n != 3", "n > 2", "n <= 4", "n in (3, 5)",
        "n not in (4, 7)", "n == 9007199254740993", "n == 9007199254740992.0", "n == 9223372036854775807",
        "n == -9223372036854775807", "n == 3 || n == 5", "n > 1 && n < 4", "n > 4", "n >= 3", "n < 5",
        "n > 9223372036854775806", "n < -9223372036854775807", "n >= -9223372036854775807",
        "i == 3", "i == null", "i != null", "i == 4", "i > 3", "i == 2.5", "i >= 4", "i < 3", "i <= 5",
        "f == 3", "f == 3.0", "f == -0.0", "f == 0", "f == 2.5", "f > 1", "f != 3", "f == 9007199254740993",
        "s == \"a\"", "s == \"b\"", "s == \"\"", "s != \"a\"", "s > \"a\"", "s matches \"a.*\"", "s contains \"b\"",
        "s == null",
        "b == true", "b == false", "b != true",
        "d == 1", "d == 1.5", "d == 1.50", "d > 1", "d != 2",
    };
    return pool[rng() % pool.size()];
}

Value random_value(std::mt19937_64& rng, size_t field, uint64_t nullable) {
    if (((nullable >> field) & 1) && rng() % 6 == 0) return Value::null();
    switch (field) {
        case 0:
        case 1: {
            static const std::vector<int64_t> ints = {0,
                                                      2,
                                                      3,
                                                      4,
                                                      5,
                                                      7,
                                                      9007199254740992,
                                                      9007199254740993,
                                                      std::numeric_limits<int64_t>::max(),
                                                      std::numeric_limits<int64_t>::min()};
            return Value::i64(ints[rng() % ints.size()]);
        }
        case 2: {
            static const std::vector<double> floats = {0.0, -0.0, 2.5, 3.0, 3.5, 9007199254740992.0,
                                                       std::nan(""), 1.0, -3.0};
            return Value::f64(floats[rng() % floats.size()]);
        }
        case 3: {
            static const std::vector<std::string> texts = {"a", "b", "", "ab", "ba", "A"};
            return Value::str(texts[rng() % texts.size()]);
        }
        case 4: return Value::boolean(rng() % 2 == 0);
        default: {
            static const std::vector<int64_t> cents = {100, 150, 200, 0, -150};
            return Value::dec(cents[rng() % cents.size()], 2);
        }
    }
}

}  // namespace

// The index finds for every fact exactly the routes whose tests it passes,
// each route asked alone: integer, float, text, bool and decimal fields,
// literals of the other numeric kind, nulls, NaN, -0.0 and integers beyond a
// double's precision. Text and bool fields come with and without nulls: a
// column without them is read from its cells.
TEST(AlphaRoutes, RandomFactsPassExactlyTheRoutesTheirTestsPass) {
    static const char* names[] = {"n", "i", "f", "s", "b", "d"};
    for (uint64_t seed = 1; seed <= 12; ++seed) {
        const uint64_t nullable = seed % 2 == 0 ? kNullableFields : kNullableFields & ~uint64_t{0b11000};
        std::mt19937_64 rng(seed);
        std::string rules;
        for (int r = 0; r < 120; ++r) {
            std::string tests;
            const int count = static_cast<int>(rng() % 4);
            for (int c = 0; c < count; ++c) {
                // A field without null refuses a null test.
                std::string test = constraint(rng);
                while (!(nullable & 0b1000) && test == "s == null") test = constraint(rng);
                tests += (c ? ", " : "") + test;
            }
            static const char* shapes[] = {"T({})", "U() T({})", "U() not T({})", "U() exists T({})"};
            std::string lhs = shapes[rng() % 4];
            lhs.replace(lhs.find("{}"), 2, tests);
            rules += "rule r" + std::to_string(r) + " when " + lhs + " then end\n";
        }
        Engine e = engine_with(rules, nullable);
        ASSERT_FALSE(e.lias_by_type.empty());
        const TypeId t = *e.store.type_id("T");
        RouteScratch found;
        std::vector<uint32_t> candidates;
        std::vector<uint8_t> passes;
        for (int k = 0; k < 300; ++k) {
            Row row;
            for (size_t field = 0; field < 6; ++field) row.emplace_back(names[field], random_value(rng, field, nullable));
            PreparedInsert p = std::move(e.prepare_insert("T", row, std::nullopt)).value();
            const FactId f = *e.store.insert(p.type, std::move(p.values));
            e.find_passing_routes(f, found);
            EXPECT_EQ(found.lias, passing_one_by_one(e, e.lias_by_type[t], true, f)) << "seed " << seed << " fact " << k;
            EXPECT_EQ(found.nodes, passing_one_by_one(e, e.nodes_by_type[t], false, f))
                << "seed " << seed << " fact " << k;
            // The candidates hold every passing route, each marked as it passes.
            e.alpha_routes.start_fact(e, f);
            e.alpha_routes.candidates(e, AlphaRoutes::Kind::Nodes, candidates, passes);
            std::vector<uint32_t> marked;
            for (size_t c = 0; c < candidates.size(); ++c)
                if (passes[c]) marked.push_back(candidates[c]);
            EXPECT_EQ(marked, found.nodes);
            EXPECT_TRUE(std::is_sorted(candidates.begin(), candidates.end()));
        }
    }
}

// Changes keep every route's membership in step with its tests, whichever
// fields change (the indexed one, another, through a setter the network did
// not see): the engine's own check runs after each update and delete here.
TEST(AlphaRoutes, UpdatesAndDeletesLeaveTheRoutesTheFactLeft) {
    Engine e = engine_with(
        "rule a when T(n == 3, s == \"a\") then end\n"
        "rule b when T(n == 4) then end\n"
        "rule c when U() T(n == 3, i > 0) then end\n"
        "rule d when U() not T(s == \"b\") then end\n"
        "rule w when $t : T(n == 4, i == 1) then $t.setN(3); end\n");
    auto row = [](int64_t n, int64_t i, const char* s) {
        return t_row({{"n", Value::i64(n)}, {"i", Value::i64(i)}, {"s", Value::str(s)}});
    };
    const FactId x = std::move(e.insert("T", row(3, 1, "a"))).value();
    const FactId y = std::move(e.insert("T", row(4, 1, "b"))).value();
    ASSERT_TRUE(e.insert("U", {{"k", Value::i64(0)}}));
    e.verify_routes_of(x);
    ASSERT_TRUE(e.update_fact(x, {{"n", Value::i64(4)}}));  // the indexed field: a and c let it go
    e.verify_routes_of(x);
    EXPECT_FALSE(e.lias[e.nets[0].lia].passing.contains(x));
    EXPECT_TRUE(e.lias[e.nets[1].lia].passing.contains(x));
    ASSERT_TRUE(e.update_fact(x, {{"s", Value::str("b")}}));  // another field
    e.verify_routes_of(x);
    EXPECT_TRUE(e.nodes[e.nets[3].node_ids[0]].win_in.contains(x));
    // Rule w moves y to n == 3 behind the network's back; its delete must
    // still find rule b's Lia, which holds it by n == 4.
    ASSERT_TRUE(e.fire_all(100));
    ASSERT_EQ(e.store.get(y, 0), Value::i64(3));
    ASSERT_TRUE(e.silent_writes.find(y));
    EXPECT_TRUE(e.lias[e.nets[1].lia].passing.contains(y));
    ASSERT_TRUE(e.delete_fact(y));
    EXPECT_FALSE(e.lias[e.nets[1].lia].passing.contains(y));
    e.verify_routes_of(y);
    ASSERT_TRUE(e.delete_fact(x));
    e.verify_routes_of(x);
}

// A fact runs the tests of the routes its literals and integer bounds
// reach, each distinct test once, however many rules there are.
TEST(AlphaRoutes, AFactRunsTheTestsOfTheRoutesItsLiteralsReachOnce) {
    std::string rules;
    for (int r = 0; r < 200; ++r)
        rules += "rule r" + std::to_string(r) + " when T(n == " + std::to_string(r % 20) + ", i > " +
                 std::to_string(1000 + r) + ") U(k == 1) then end\n";
    // 100 rules whose routes no index finds, sharing the test f > 1.
    for (int r = 0; r < 100; ++r)
        rules += "rule m" + std::to_string(r) + " when T(f > 1, s == \"x" + std::to_string(r) + "\" || s == null) then end\n";
    Engine e = engine_with(rules);
    const uint64_t before = e.alpha_routes.checks_run();
    ASSERT_TRUE(e.insert("T", t_row({{"n", Value::i64(7)}, {"i", Value::i64(1100)}, {"f", Value::f64(0.5)}})));
    // Ten routes have n == 7, each with its own threshold, of which five
    // (r = 7, 27, 47, 67, 87) lie below 1100; the other hundred stop at
    // their one shared test.
    EXPECT_EQ(e.alpha_routes.checks_run() - before, 5u + 1u);
    const uint64_t later = e.alpha_routes.checks_run();
    ASSERT_TRUE(e.insert("T", t_row({{"n", Value::i64(25)}, {"i", Value::i64(5)}, {"f", Value::f64(2)}})));
    EXPECT_EQ(e.alpha_routes.checks_run() - later, 1u + 100u);
}

// An update re-runs the tests of the routes that read a changed field, and
// only those: every other route keeps the fact where it stood. The engine's
// own check compares every route's membership with its tests after each.
TEST(AlphaRoutes, AnUpdateRunsOnlyTheTestsThatReadAChangedField) {
    Engine e = engine_with(
        "rule a when T(n == 3, s == \"a\") then end\n"
        "rule b when T(i > 0) then end\n"
        "rule c when U() T(b == true) then end\n");
    const FactId x = std::move(e.insert("T", t_row({{"n", Value::i64(3)},
                                                    {"i", Value::i64(1)},
                                                    {"s", Value::str("a")},
                                                    {"b", Value::boolean(true)}})))
                         .value();
    ASSERT_TRUE(e.insert("U", {{"k", Value::i64(0)}}));
    const DenseIdSet& in_a = e.lias[e.nets[0].lia].passing;
    const DenseIdSet& in_b = e.lias[e.nets[1].lia].passing;
    const DenseIdSet& in_c = e.nodes[e.nets[2].node_ids[0]].win_in;
    ASSERT_TRUE(in_a.contains(x) && in_b.contains(x) && in_c.contains(x));
    struct Step {
        const char* field;
        Value value;
        uint64_t checks;  // the tests of the routes reading the field
        bool a, b, c;     // membership after the update
    };
    const Step steps[] = {
        {"d", Value::dec(150, 2), 0, true, true, true},  // no route reads d
        {"i", Value::i64(0), 1, true, false, true},                  // b's one test
        {"s", Value::str("b"), 2, false, false, true},               // a's two tests
        {"b", Value::boolean(false), 1, false, false, false},        // c's one test
        {"i", Value::i64(5), 1, false, true, false},
        {"n", Value::i64(4), 1, false, true, false},  // a's n test, failing first
    };
    for (const Step& step : steps) {
        const uint64_t before = e.alpha_routes.checks_run();
        ASSERT_TRUE(e.update_fact(x, {{step.field, step.value}})) << step.field;
        EXPECT_EQ(e.alpha_routes.checks_run() - before, step.checks) << step.field;
        e.verify_routes_of(x);
        EXPECT_EQ(in_a.contains(x), step.a) << step.field;
        EXPECT_EQ(in_b.contains(x), step.b) << step.field;
        EXPECT_EQ(in_c.contains(x), step.c) << step.field;
    }
}
