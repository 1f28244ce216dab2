#include <gtest/gtest.h>

#include <map>
#include <random>

#include "engine/engine.h"
#include "store/debug_form.h"

using namespace quarn;

namespace {

using Row = std::vector<std::pair<std::string, Value>>;

// A(a: I64, b: String?), M(d: decimal(10,2), x: F64), Ev(ts: I64?, v: I64).
Engine make_engine() {
    std::vector<TypeSchema> types = {
        TypeSchema{"A", {{"a", FieldType::i64()}, {"b", FieldType::str()}}, 0b10},
        TypeSchema{"M", {{"d", FieldType::dec(10, 2)}, {"x", FieldType::f64()}}, 0},
        TypeSchema{"Ev", {{"ts", FieldType::i64()}, {"v", FieldType::i64()}}, 0b01},
    };
    return *Engine::create(std::move(types));
}

Row a_row(int64_t a, std::string b) { return {{"a", Value::i64(a)}, {"b", Value::str(std::move(b))}}; }

// a, b, then sixteen unknown fields z0 to z15.
Row long_row() {
    Row row = a_row(1, "x");
    for (int i = 0; i < 16; ++i) row.emplace_back("z" + std::to_string(i), Value::i64(i));
    return row;
}

std::string error_of(const EngineResult<FactId>& r) { return r ? "ok " + std::to_string(*r) : r.error().message; }
std::string error_of(const EngineStatus& s) { return s ? "ok" : s.error().message; }

// "A#0 a=I64(1) b=Str("x");" per live fact, handle order.
std::string listing(const Engine& e) {
    std::string out;
    for (const FactView& v : e.facts()) {
        out += v.type_name + "#" + std::to_string(v.id);
        for (const auto& [name, value] : v.fields) out += " " + name + "=" + debug(value);
        out += ";";
    }
    return out;
}

}  // namespace

TEST(FactOps, InsertRefusalsNameTheirCauseAndStoreNothing) {
    struct Case {
        std::string type;
        Row row;
        std::optional<std::string> entry_point;
        std::string expected;
    };
    const Case cases[] = {
        {"A", a_row(1, "x"), "Other", "no rule references entry-point \"Other\" (unknown entry point)"},
        {"A", a_row(1, "x"), "say \"hi\"", "no rule references entry-point \"say \\\"hi\\\"\" (unknown entry point)"},
        {"InitialFact", {}, std::nullopt, "type name InitialFact is reserved"},
        {"Nope", a_row(1, "x"), std::nullopt, "unknown type Nope"},
        {"a", a_row(1, "x"), std::nullopt, "unknown type a"},
        // A nullable field must still be present.
        {"A", {{"a", Value::i64(1)}}, std::nullopt, "A: missing field b"},
        {"M", {{"d", Value::str("1.5x")}, {"x", Value::f64(1)}}, std::nullopt, "M.d: type mismatch"},
        {"M", {{"d", Value::i64(1)}, {"x", Value::str("1")}}, std::nullopt, "M.x: type mismatch"},
        {"M", {{"d", Value::i64(100000000)}, {"x", Value::f64(1)}}, std::nullopt, "M.d: type mismatch"},
        // Each field takes its pair out and the last pair fills the hole: "a"
        // leaves [y, x, b], then "b" (now last) leaves [y, x], so y is named.
        {"A", {{"a", Value::i64(1)}, {"x", Value::i64(2)}, {"b", Value::null()}, {"y", Value::i64(3)}}, std::nullopt,
         "A: unknown field y"},
        {"A", {{"a", Value::i64(1)}, {"a", Value::i64(2)}, {"b", Value::null()}}, std::nullopt, "A: unknown field a"},
        // The unknown-field check comes after every declared field was found.
        {"A", {{"zz", Value::i64(1)}, {"a", Value::str("no")}}, std::nullopt, "A.a: type mismatch"},
        {"A", {{"a", Value::null()}, {"b", Value::null()}}, std::nullopt, "null value for a non-nullable field"},
        // A long row: "a" and "b" take z15 and z14 into their holes.
        {"A", long_row(), std::nullopt, "A: unknown field z15"},
    };
    Engine e = make_engine();
    ASSERT_TRUE(e.insert("A", a_row(0, "kept")));
    for (const Case& c : cases) {
        EXPECT_EQ(error_of(e.insert_into(c.type, c.row, c.entry_point)), c.expected) << c.expected;
        EngineResult<PreparedInsert> checked = e.prepare_insert(c.type, c.row, c.entry_point);
        EXPECT_EQ(checked ? "ok" : checked.error().message, c.expected);
    }
    EXPECT_EQ(e.store.fact_count(), 1u);
    EXPECT_EQ(error_of(e.insert("A", a_row(1, "next"))), "ok 1");
}

TEST(FactOps, InsertConvertsMatchesFieldsInAnyOrderAndRecordsEntryPoints) {
    Engine e = make_engine();
    e.entry_point_names.push_back("feed");
    e.entry_points["feed"] = 1;
    EXPECT_EQ(error_of(e.insert("A", {{"b", Value::null()}, {"a", Value::i64(7)}})), "ok 0");
    EXPECT_EQ(error_of(e.insert("M", {{"x", Value::i64(3)}, {"d", Value::str(" 1.005 ")}})), "ok 1");
    EXPECT_EQ(error_of(e.insert_into("A", a_row(2, "d"), "")), "ok 2");
    EXPECT_EQ(error_of(e.insert_into("A", a_row(3, "D"), "DEFAULT")), "ok 3");
    EXPECT_TRUE(e.store.entry_points.empty());
    // Stored, but never listed among the session's facts.
    EXPECT_EQ(error_of(e.insert_into("A", a_row(4, "f"), "feed")), "ok 4");
    EXPECT_EQ(e.store.entry_points, (std::vector<uint32_t>{0, 0, 0, 0, 1}));
    EXPECT_EQ(listing(e),
              "A#0 a=I64(7) b=Null;M#1 d=Dec { u: 101, s: 2 } x=F64(3.0);A#2 a=I64(2) b=Str(\"d\");"
              "A#3 a=I64(3) b=Str(\"D\");");
}

TEST(FactOps, EventTimeIsFixedAtInsert) {
    Engine e = make_engine();
    TypeId ev = *e.store.type_id("Ev");
    e.event_decls[ev] = EventDecl{std::nullopt, std::nullopt, 0};
    FactId f = *e.insert("Ev", {{"ts", Value::i64(100)}, {"v", Value::i64(1)}});
    FactId g = *e.insert("Ev", {{"ts", Value::null()}, {"v", Value::i64(2)}});
    ASSERT_TRUE(e.update_fact(f, {{"ts", Value::i64(500)}}));
    EXPECT_EQ(debug(e.store.temporal_ts(f, 0)), "I64(100)");
    EXPECT_EQ(debug(e.store.get(f, 0)), "I64(500)");
    EXPECT_EQ(e.store.event_ts.count(g), 0u);
    // A type that is not an event keeps no time.
    FactId a = *e.insert("A", a_row(1, "x"));
    EXPECT_EQ(e.store.event_ts.count(a), 0u);
}

TEST(FactOps, UpdateRefusalsWriteNothing) {
    Engine e = make_engine();
    FactId f = *e.insert("A", a_row(1, "x"));
    FactId m = *e.insert("M", {{"d", Value::i64(1)}, {"x", Value::f64(0.5)}});
    FactId dead = *e.insert("A", a_row(9, "gone"));
    ASSERT_TRUE(e.delete_fact(dead));
    struct Case {
        FactId fact;
        Row changes;
        std::string expected;
    };
    const Case cases[] = {
        {99, {{"a", Value::i64(2)}}, "unknown handle 99"},
        {dead, {{"a", Value::i64(2)}}, "update of dead handle 2"},
        {f, {{"zz", Value::i64(2)}}, "A: no field zz"},
        // All or nothing: the valid pair before the refused one is not written.
        {f, {{"a", Value::i64(2)}, {"zz", Value::i64(2)}}, "A: no field zz"},
        {f, {{"b", Value::str("y")}, {"a", Value::str("2")}}, "A.a: type mismatch"},
        {f, {{"b", Value::str("y")}, {"a", Value::null()}}, "null value for a non-nullable field"},
        {m, {{"x", Value::f64(2)}, {"d", Value::f64(1.5)}}, "M.d: type mismatch"},
    };
    for (const Case& c : cases) EXPECT_EQ(error_of(e.update_fact(c.fact, c.changes)), c.expected) << c.expected;
    EXPECT_EQ(listing(e), "A#0 a=I64(1) b=Str(\"x\");M#1 d=Dec { u: 100, s: 2 } x=F64(0.5);");

    e.logical_types.insert(*e.store.type_id("A"));
    EXPECT_EQ(error_of(e.update_fact(f, {})),
              "external update of a logically-inserted type is out of subset (D-076; a runtime error otherwise — "
              "tms_u1/u4)");
}

TEST(FactOps, UpdateWritesEveryPairInOrder) {
    Engine e = make_engine();
    FactId f = *e.insert("A", a_row(1, "x"));
    EXPECT_EQ(error_of(e.update_fact(f, {{"a", Value::i64(2)}, {"b", Value::null()}, {"a", Value::i64(3)}})), "ok");
    EXPECT_EQ(error_of(e.update_fact(f, {})), "ok");
    EXPECT_EQ(listing(e), "A#0 a=I64(3) b=Null;");
}

TEST(FactOps, DeleteIsHarmlessTwiceAndRefusesUnknownHandles) {
    Engine e = make_engine();
    FactId f = *e.insert("A", a_row(1, "x"));
    e.store.expired.insert(f);
    EXPECT_EQ(error_of(e.delete_fact(f)), "ok");
    EXPECT_EQ(error_of(e.delete_fact(f)), "ok");
    EXPECT_EQ(e.store.expired.count(f), 0u);
    EXPECT_EQ(error_of(e.delete_fact(1)), "unknown handle 1");
    EXPECT_EQ(listing(e), "");
    // The handle stays used up.
    EXPECT_EQ(error_of(e.insert("A", a_row(2, "y"))), "ok 1");
}

namespace {

// A rows a = first.., b = null on every third row; Ev rows ts = 10 * (k + 1).
std::vector<Column> a_columns(int64_t first, size_t rows) {
    std::vector<Column> c(2);
    std::vector<int64_t> a;
    std::vector<std::string> b;
    std::vector<uint8_t> valid;
    for (size_t k = 0; k < rows; ++k) {
        a.push_back(first + static_cast<int64_t>(k));
        b.push_back(k % 3 == 2 ? "" : "b" + std::to_string(k));
        valid.push_back(k % 3 == 2 ? 0 : 1);
    }
    c[0].cells = std::move(a);
    c[1].cells = std::move(b);
    c[1].validity = std::move(valid);
    return c;
}
std::vector<Column> ev_columns(size_t rows) {
    std::vector<Column> c(2);
    std::vector<int64_t> ts, v;
    for (size_t k = 0; k < rows; ++k) {
        ts.push_back(10 * static_cast<int64_t>(k + 1));
        v.push_back(static_cast<int64_t>(k));
    }
    c[0].cells = std::move(ts);
    c[0].validity = std::vector<uint8_t>(rows, 1);
    c[1].cells = std::move(v);
    return c;
}

// Inserts the same rows through insert (one by one) or insert_columns, before
// the first fire and again after it, and tells what the engine did.
std::string column_route_story(bool columns) {
    Engine e = make_engine();
    EXPECT_TRUE(e.declare_event("Ev", "ts", std::nullopt, 25));
    EngineStatus loaded = e.add_rules_text(
        "rule pair when $e : Ev($t : ts) $a : A(a > 1) then end\n"
        "rule lone when $a : A($x : a, $b : b) not Ev(v == $x) then end\n");
    EXPECT_TRUE(loaded) << loaded.error().message;
    TypeId a = *e.store.type_id("A");
    TypeId ev = *e.store.type_id("Ev");
    std::string out;
    auto insert = [&](TypeId t, std::vector<Column> c, size_t rows) {
        if (columns) {
            out += "ids from " + error_of(e.insert_columns(t, std::move(c), rows)) + "\n";
            return;
        }
        for (size_t k = 0; k < rows; ++k) {
            PreparedInsert p{t, 0, {}};
            for (Column& col : c) p.values.push_back(col.get(static_cast<uint32_t>(k)));
            EngineResult<FactId> f = e.insert_prepared(std::move(p));
            if (k == 0) out += "ids from " + error_of(f) + "\n";
        }
    };
    auto fire = [&] {
        EngineResult<Firings> fired = e.fire_all(100);
        if (!fired) return out += "error: " + fired.error().message + "\n", void();
        for (const Firing& f : *fired) {
            out += f.rule + ":";
            for (const FactView& v : f.facts) out += " " + v.type_name + "#" + std::to_string(v.id);
            out += "\n";
        }
    };
    insert(a, a_columns(0, 4), 4);
    insert(ev, ev_columns(3), 3);
    fire();
    insert(ev, ev_columns(2), 2);
    insert(a, a_columns(5, 3), 3);
    fire();
    EXPECT_TRUE(e.advance(40));
    fire();
    for (FactId f = 0; f < e.store.fact_count(); ++f)
        if (auto it = e.store.event_ts.find(f); it != e.store.event_ts.end())
            out += std::to_string(f) + "@" + std::to_string(it->second) + " ";
    return out + "\n" + listing(e);
}

}  // namespace

TEST(FactOps, ColumnInsertIsRowInsertInOnePass) {
    std::string by_rows = column_route_story(false);
    EXPECT_EQ(column_route_story(true), by_rows);
    // Before the first fire the rows only wait; after it each one propagates
    // before the next is stored.
    EXPECT_EQ(by_rows,
              "ids from ok 0\nids from ok 4\n"
              "pair: Ev#4 A#3\npair: Ev#5 A#3\npair: Ev#6 A#3\npair: Ev#4 A#2\npair: Ev#5 A#2\npair: Ev#6 A#2\n"
              "lone: A#3\n"
              "ids from ok 7\nids from ok 9\n"
              "pair: Ev#4 A#11\npair: Ev#5 A#11\npair: Ev#6 A#11\npair: Ev#7 A#11\npair: Ev#8 A#11\n"
              "pair: Ev#4 A#10\npair: Ev#5 A#10\npair: Ev#6 A#10\npair: Ev#7 A#10\npair: Ev#8 A#10\n"
              "pair: Ev#4 A#9\npair: Ev#5 A#9\npair: Ev#6 A#9\npair: Ev#7 A#9\npair: Ev#8 A#9\n"
              "pair: Ev#8 A#3\npair: Ev#8 A#2\npair: Ev#7 A#3\npair: Ev#7 A#2\n"
              "lone: A#11\nlone: A#10\nlone: A#9\n"
              "lone: A#0\n"
              "4@10 5@20 6@30 7@10 8@20 \n"
              "A#0 a=I64(0) b=Str(\"b0\");A#1 a=I64(1) b=Str(\"b1\");A#2 a=I64(2) b=Null;A#3 a=I64(3) b=Str(\"b3\");"
              "Ev#5 ts=I64(20) v=I64(1);Ev#6 ts=I64(30) v=I64(2);Ev#8 ts=I64(20) v=I64(1);"
              "A#9 a=I64(5) b=Str(\"b0\");A#10 a=I64(6) b=Str(\"b1\");A#11 a=I64(7) b=Null;");
}

namespace {

// A column of `rows` random cells of kind `kind` (the index of Column::Cells),
// with nulls when `nulls`: integers, floats, decimals of several scales (some
// too wide for decimal(10,2)), texts that read as decimals or not, booleans.
Column random_column(std::mt19937& rng, size_t kind, bool nulls, size_t rows) {
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    Column c;
    switch (kind) {
        case 0: c.cells.emplace<0>(); break;
        case 1: c.cells.emplace<1>(); break;
        case 2: c.cells.emplace<2>(); break;
        case 3: c.cells.emplace<3>(); break;
        default: c.cells.emplace<4>(); break;
    }
    if (nulls) c.validity.emplace();
    static const char* const kTexts[] = {"1.5", " 2.25 ", "x", "123456789.5", "-0.001", ""};
    for (size_t i = 0; i < rows; ++i) {
        Value v = Value::null();
        if (!nulls || pick(0, 5) != 0) {
            switch (kind) {
                case 0: v = Value::i64(pick(0, 9) == 0 ? int64_t{1} << 40 : pick(-50, 50)); break;
                case 1: v = Value::f64(pick(-50, 50) / 4.0); break;
                case 2: v = Value::str(kTexts[pick(0, 5)]); break;
                case 3: v = Value::boolean(pick(0, 1) == 1); break;
                default: v = Value::dec(pick(0, 9) == 0 ? i128{1} << 70 : pick(-9999, 9999), uint8_t(pick(0, 3))); break;
            }
        }
        c.push(v);
    }
    return c;
}

}  // namespace

TEST(FactOps, TableInsertStoresAllRowsAsInsertWouldOrRefusesTheFirstRowInsertRefuses) {
    // Against the reference: each row through prepare_insert, then insert.
    // Columns are mostly of the field's own kind, sometimes of one that
    // converts (I64 to F64 or decimal, texts to decimal), sometimes of one
    // that does not; nulls come in nullable and non-nullable fields alike.
    std::mt19937 rng(2026);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    const char* const kTypes[] = {"A", "M", "Ev"};
    size_t refused = 0, stored = 0;
    for (int round = 0; round < 400; ++round) {
        Engine table = make_engine(), reference = make_engine();
        for (Engine* e : {&table, &reference}) ASSERT_TRUE(e->insert("A", a_row(0, "first")));
        const std::string type_name = kTypes[pick(0, 2)];
        const TypeId type = *table.store.type_id(type_name);
        const TypeSchema& schema = table.store.schema(type);
        const size_t rows = static_cast<size_t>(pick(1, 6));
        std::vector<Column> columns;
        for (size_t j = 0; j < schema.fields.size(); ++j) {
            size_t kind = static_cast<size_t>(schema.fields[j].second.kind);
            if (pick(0, 3) == 0) kind = static_cast<size_t>(pick(0, 4));
            columns.push_back(random_column(rng, kind, pick(0, 3) == 0, rows));
        }
        std::string expected = "ok " + std::to_string(reference.store.fact_count());
        std::vector<Row> each(rows);
        for (size_t i = 0; i < rows; ++i)
            for (size_t j = 0; j < columns.size(); ++j)
                each[i].emplace_back(schema.fields[j].first, columns[j].get(static_cast<uint32_t>(i)));
        for (size_t i = 0; i < rows && expected.starts_with("ok"); ++i)
            if (EngineResult<PreparedInsert> p = reference.prepare_insert(type_name, each[i], std::nullopt); !p)
                expected = p.error().message;
        if (expected.starts_with("ok")) {
            for (Row& row : each) ASSERT_TRUE(reference.insert(type_name, std::move(row)));
        }
        const std::string got = error_of(table.insert_table(type, std::move(columns), rows));
        ASSERT_EQ(got, expected) << "round " << round;
        ASSERT_EQ(listing(table), listing(reference)) << "round " << round;
        ASSERT_EQ(table.store.fact_count(), reference.store.fact_count()) << "round " << round;
        (expected.starts_with("ok") ? stored : refused) += 1;
    }
    // Both outcomes came up often.
    EXPECT_GT(refused, 80u);
    EXPECT_GT(stored, 80u);
}

TEST(FactOps, TableInsertAfterTheFirstFirePropagatesEveryRow) {
    Engine e = make_engine();
    ASSERT_TRUE(e.add_rules_text("rule big when $m : M(x > 1.0) then end\n"));
    ASSERT_TRUE(e.fire_all(10));
    // An I64 column for the F64 field, decimals of another scale.
    std::vector<Column> c(2);
    c[0].cells = std::vector<DecParts>{{15, 1}, {-2, 0}, {7, 2}};
    c[1].cells = std::vector<int64_t>{1, 2, 3};
    EXPECT_EQ(error_of(e.insert_table(*e.store.type_id("M"), std::move(c), 3)), "ok 0");
    EXPECT_EQ(listing(e),
              "M#0 d=Dec { u: 150, s: 2 } x=F64(1.0);M#1 d=Dec { u: -200, s: 2 } x=F64(2.0);"
              "M#2 d=Dec { u: 7, s: 2 } x=F64(3.0);");
    EngineResult<Firings> fired = e.fire_all(10);
    ASSERT_TRUE(fired);
    ASSERT_EQ(fired->size(), 2u);
    EXPECT_EQ((*fired)[0].facts[0].id + (*fired)[1].facts[0].id, 3u);
}

// A setter writes its value whatever the two columns hold: an integer into a
// nullable field that held a null, into a float field, into a plain integer
// field, and a null read from a nullable field. One setter a rule, so that
// each reads its value live.
TEST(FactOps, SettersWriteIntegersIntoEveryKindOfColumn) {
    std::vector<TypeSchema> types = {
        TypeSchema{"Src", {{"n", FieldType::i64()}, {"m", FieldType::i64()}}, 0b10},
        TypeSchema{"Dst",
                   {{"w", FieldType::i64()},
                    {"k", FieldType::i64()},
                    {"x", FieldType::f64()},
                    {"j", FieldType::i64()},
                    {"z", FieldType::i64()}},
                   0b10010},
    };
    Engine e = *Engine::create(std::move(types));
    EngineStatus loaded = e.add_rules_text(
        "rule k no-loop when Src($n : n) $d : Dst(w == 1) then modify($d) { setK($n) } end\n"
        "rule x no-loop when Src($n : n) $d : Dst(w == 2) then modify($d) { setX($n) } end\n"
        "rule j no-loop when Src($n : n) $d : Dst(w == 3) then modify($d) { setJ($n) } end\n"
        "rule z no-loop when Src($m : m) $d : Dst(w == 4) then modify($d) { setZ($m) } end\n");
    ASSERT_TRUE(loaded) << loaded.error().message;
    ASSERT_TRUE(e.insert("Src", {{"n", Value::i64(7)}, {"m", Value::null()}}));
    for (int64_t w = 1; w <= 4; ++w)
        ASSERT_TRUE(e.insert("Dst", {{"w", Value::i64(w)},
                                     {"k", Value::null()},
                                     {"x", Value::f64(0.5)},
                                     {"j", Value::i64(0)},
                                     {"z", Value::i64(3)}}));
    EngineResult<Firings> fired = e.fire_all(10);
    ASSERT_TRUE(fired) << fired.error().message;
    EXPECT_EQ(fired->size(), 4u);
    EXPECT_EQ(listing(e),
              "Src#0 n=I64(7) m=Null;"
              "Dst#1 w=I64(1) k=I64(7) x=F64(0.5) j=I64(0) z=I64(3);"
              "Dst#2 w=I64(2) k=Null x=F64(7.0) j=I64(0) z=I64(3);"
              "Dst#3 w=I64(3) k=Null x=F64(0.5) j=I64(7) z=I64(3);"
              "Dst#4 w=I64(4) k=Null x=F64(0.5) j=I64(0) z=Null;");
}

// Deleted facts give their rows back at the start of a later change: the
// survivors keep their handles and cells, handles go on from the last one
// issued, and the rules fire on the survivors as before. A dead fact whose
// delete still waits for a rule's evaluation, or for a windowed accumulate,
// keeps its row until the fire that takes it.
TEST(FactOps, DeadRowsGoBackAtALaterChangeAndTheSurvivorsFireAsBefore) {
    Engine e = make_engine();
    ASSERT_TRUE(e.declare_event("Ev", "ts", std::nullopt, std::nullopt));
    EngineStatus loaded = e.add_rules_text(
        "rule low when $x : A(a < 2) then end\n"
        "rule total when accumulate(Ev($v : v) over window:time(10s); $s : sum($v)) then end\n");
    ASSERT_TRUE(loaded) << loaded.error().message;
    // Changes give back what died before them once it piles up (the lazy
    // threshold is the store's, tested there).
    e.reclaim_eagerly = true;
    auto fire = [&] {
        std::string out;
        EngineResult<Firings> fired = e.fire_all(100);
        if (!fired) return "error: " + fired.error().message;
        for (const Firing& f : *fired) {
            out += f.rule + ":";
            for (const FactView& v : f.facts)
                out += " " + v.type_name + "#" + std::to_string(v.id) + (v.fields.empty() ? "" : "=" + debug(v.fields[0].second));
            out += ";";
        }
        return out;
    };
    const TypeId a = *e.store.type_id("A");
    std::vector<Column> c(2);
    std::vector<int64_t> values;
    std::vector<std::string> texts;
    for (int64_t k = 0; k < 6000; ++k) values.push_back(k), texts.push_back("a" + std::to_string(k));
    c[0].cells = std::move(values);
    c[1].cells = std::move(texts);
    c[1].validity = std::vector<uint8_t>(6000, 1);
    const FactId first = *e.insert_columns(a, std::move(c), 6000);  // after the InitialFact
    auto id = [](FactId f) { return std::to_string(f); };
    const FactId sum = first + 6000;  // the windowed sum's result, made by the first fire
    EXPECT_EQ(fire(), "low: A#" + id(first + 1) + "=I64(1);low: A#" + id(first) + "=I64(0);total: InitialFact#0 Long#" +
                          id(sum) + "=I64(0);");
    for (FactId f = first + 1; f < first + 5500; ++f) ASSERT_TRUE(e.delete_fact(f));
    const FactId ev = *e.insert("Ev", {{"ts", Value::i64(0)}, {"v", Value::i64(5)}});
    // The changes gave back the dead rows as they piled up, a sixty-fourth of
    // the live ones at most waiting.
    EXPECT_LE(e.store.dead_rows(), 502u / 64);
    // The fact low matched keeps its row until a fire takes its delete; the
    // others go.
    EXPECT_EQ(e.dead_facts_still_named(), std::vector<FactId>{first + 1});
    e.store.reclaim_dead_rows(e.dead_facts_still_named());
    EXPECT_EQ(e.store.dead_rows(), 1u);
    EXPECT_EQ(e.store.data(a).rows, 502u);
    EXPECT_EQ(ev, sum + 1);
    EXPECT_EQ(listing(e).substr(0, 43), "A#" + id(first) + " a=I64(0) b=Str(\"a0\");A#" + id(first + 5500) + " a=I64(5500)");
    EXPECT_EQ(error_of(e.insert("A", a_row(1, "again"))), "ok " + id(ev + 1));
    EXPECT_EQ(fire(), "low: A#" + id(ev + 1) + "=I64(1);total: InitialFact#0 Long#" + id(sum) + "=I64(5);");
    // The windowed sum's delete waits for the fire; so does the reclaim.
    ASSERT_TRUE(e.delete_fact(ev));
    ASSERT_TRUE(e.delete_fact(first));
    ASSERT_TRUE(e.advance(0));
    EXPECT_EQ(e.dead_facts_still_named(), (std::vector<FactId>{first, ev}));
    EXPECT_EQ(e.store.reclaim_dead_rows(e.dead_facts_still_named()), 1u);
    EXPECT_EQ(fire(), "total: InitialFact#0 Long#" + id(sum) + "=I64(0);");
    // The event stays named until its window's deadline passes.
    EXPECT_EQ(e.dead_facts_still_named(), std::vector<FactId>{ev});
    EXPECT_EQ(e.store.reclaim_dead_rows(e.dead_facts_still_named()), 1u);
    EXPECT_EQ(e.store.dead_rows(), 1u);
    EXPECT_EQ(e.store.data(a).rows, 501u);
}

// A session whose rules make and retract tuples of every kind of node (a
// join, an accumulate per key, a not and an exists) through many rounds of
// insert / fire / delete all / fire holds, once the dead rows go back, the
// tuples of its live facts only: the tuple table's records, fact blocks and
// lookup pages stop growing while tuple ids go on rising, and every round
// fires as the first did.
TEST(FactOps, TuplesOfDeadFactsGoBackWithTheirRowsAndRoundsFireAlike) {
    std::vector<TypeSchema> types = {
        TypeSchema{"L", {{"k", FieldType::i64()}}, 0},
        TypeSchema{"R", {{"k", FieldType::i64()}, {"v", FieldType::i64()}}, 0},
    };
    Engine e = *Engine::create(std::move(types));
    EngineStatus loaded = e.add_rules_text(
        "rule pair when L($k : k) R(k == $k) then end\n"
        "rule count when L($k : k) accumulate(R(k == $k); $n : count()) then end\n"
        "rule alone when L($k : k) not R(k == $k, v > 0) then end\n"
        "rule paired when L($k : k) exists R(k == $k) then end\n");
    ASSERT_TRUE(loaded) << loaded.error().message;
    e.reclaim_eagerly = true;
    constexpr int64_t kKeys = 700;
    std::string first_round;
    TupleTable::Footprint after_warmup;
    size_t ids_after_warmup = 0;
    for (int round = 0; round < 30; ++round) {
        std::vector<FactId> made;
        for (int64_t k = 0; k < kKeys; ++k) {
            made.push_back(*e.insert("L", {{"k", Value::i64(k)}}));
            made.push_back(*e.insert("R", {{"k", Value::i64(k)}, {"v", Value::i64(k % 2)}}));
        }
        EngineResult<Firings> fired = e.fire_all(1000000);
        ASSERT_TRUE(fired) << fired.error().message;
        std::map<std::string, size_t> by_rule;
        for (const Firing& f : *fired) ++by_rule[f.rule];
        std::string counts;
        for (const auto& [rule, n] : by_rule) counts += rule + "=" + std::to_string(n) + " ";
        if (round == 0) first_round = counts;
        ASSERT_EQ(counts, first_round) << round;
        for (FactId f : made) ASSERT_TRUE(e.delete_fact(f));
        fired = e.fire_all(1000000);
        ASSERT_TRUE(fired) << fired.error().message;
        ASSERT_TRUE(fired->empty());
        if (round == 5) {
            after_warmup = e.tuples.footprint();
            ids_after_warmup = e.tuples.count();
        }
    }
    EXPECT_EQ(first_round, "alone=350 count=700 pair=700 paired=700 ");
    // The last round's deletes went with the fire; the next change gives
    // back their rows and their tuples.
    ASSERT_TRUE(e.insert("L", {{"k", Value::i64(-1)}}));
    const TupleTable::Footprint now = e.tuples.footprint();
    EXPECT_LE(now.tuples, 4u);  // the empty tuple, the InitialFact's and the new fact's
    // The empty tuple's chunk and the open one; the open blocks of pairs;
    // the lookup pages of the facts and tuples made since the last reclaim.
    EXPECT_LE(now.record_chunks, 2u) << after_warmup.record_chunks;
    EXPECT_LE(now.fact_blocks, after_warmup.fact_blocks);
    EXPECT_LE(now.lookup_pages, after_warmup.lookup_pages + 1);
    EXPECT_GT(e.tuples.count(), ids_after_warmup * 3);
}

// A reclaim's release costs what went, not what is held: in a session
// holding 10,000 live tuples, one reclaim of ten dead facts releases their
// tuples and reads a few records and entries for each, and the survivors
// fire as before.
TEST(FactOps, AReclaimOfTenFactsReadsTheirTuplesNotTheSessions) {
    std::vector<TypeSchema> types = {
        TypeSchema{"L", {{"k", FieldType::i64()}}, 0},
        TypeSchema{"R", {{"k", FieldType::i64()}}, 0},
    };
    Engine e = *Engine::create(std::move(types));
    EngineStatus loaded = e.add_rules_text(
        "rule pair when L($k : k) R(k == $k) then end\n"
        "rule alone when L($k : k) not R(k == $k) then end\n");
    ASSERT_TRUE(loaded) << loaded.error().message;
    constexpr int64_t kKeys = 5000;
    std::vector<FactId> lefts;
    for (int64_t k = 0; k < kKeys; ++k) {
        lefts.push_back(*e.insert("L", {{"k", Value::i64(k)}}));
        ASSERT_TRUE(e.insert("R", {{"k", Value::i64(k)}}));
    }
    EngineResult<Firings> fired = e.fire_all(1000000);
    ASSERT_TRUE(fired) << fired.error().message;
    ASSERT_EQ(fired->size(), size_t{kKeys});
    auto reclaim = [&] {
        std::vector<FactId> reclaimed;
        e.store.reclaim_dead_rows(e.dead_facts_still_named(), &reclaimed);
        return e.release_tuples_of_reclaimed(std::move(reclaimed));
    };
    // The first release files every tuple made so far.
    ASSERT_TRUE(e.delete_fact(lefts[0]));
    ASSERT_TRUE(e.fire_all(1000000));
    EXPECT_GE(reclaim().tuples, 2u);
    ASSERT_GE(e.tuples.footprint().tuples, 9990u);
    for (size_t k = 1; k <= 10; ++k) ASSERT_TRUE(e.delete_fact(lefts[k]));
    fired = e.fire_all(1000000);
    ASSERT_TRUE(fired && fired->empty());
    const size_t held = e.tuples.footprint().tuples;
    const Engine::ReleaseWork work = reclaim();
    // Each L fact's one-fact tuple and its pair with its R fact.
    EXPECT_EQ(work.tuples, 20u);
    EXPECT_EQ(e.tuples.footprint().tuples, held - 20);
    // A few reads a tuple or fact for the table and for each node and list;
    // the whole session would be tens of thousands.
    EXPECT_LE(work.reads, 400u);
    // The survivors and newcomers match as before.
    ASSERT_TRUE(e.delete_fact(*e.insert("L", {{"k", Value::i64(20)}})));
    ASSERT_TRUE(e.insert("L", {{"k", Value::i64(1)}}));
    ASSERT_TRUE(e.insert("L", {{"k", Value::i64(-1)}}));
    fired = e.fire_all(1000000);
    ASSERT_TRUE(fired) << fired.error().message;
    std::string rules;
    for (const Firing& f : *fired) rules += f.rule + " ";
    EXPECT_EQ(rules, "pair alone ");
}
