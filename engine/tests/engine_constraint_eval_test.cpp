#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "engine/constraint_eval.h"
#include "store/debug_form.h"

using namespace quarn;

namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

const char* truth_name(Truth t) { return t == Truth::True ? "T" : t == Truth::False ? "F" : "U"; }

GExpr leaf_cmp(size_t field, CmpOp op, Value lit) {
    GExpr g;
    g.kind = GExpr::Kind::Cmp;
    g.field = field;
    g.op = op;
    g.operand = Src::literal(std::move(lit));
    return g;
}

GExpr leaf_in(size_t field, std::vector<Value> items, bool negated) {
    GExpr g;
    g.kind = GExpr::Kind::In;
    g.field = field;
    g.items = std::move(items);
    g.negated = negated;
    return g;
}

GExpr node(GExpr::Kind k, std::vector<GExpr> children) {
    GExpr g;
    g.kind = k;
    g.children = std::move(children);
    return g;
}

GExpr unknown() { return GExpr{}; }
GExpr yes() { return node(GExpr::Kind::And, {}); }
GExpr no() { return node(GExpr::Kind::Or, {}); }

}  // namespace

TEST(ConstraintEval, GroupsAreThreeValued) {
    // P(a: I64?, b: I64?, s: Str?); the fact has a = null, b = 2, s = "abc".
    FactStore store({TypeSchema{"P", {{"a", FieldType::i64()}, {"b", FieldType::i64()}, {"s", FieldType::str()}}, 7}});
    FactId f = *store.insert(0, {Value::null(), Value::i64(2), Value::str("abc")});
    using K = GExpr::Kind;
    GExpr is_null_b, contains, contains_on_int, contains_on_null;
    is_null_b.kind = K::IsNull;
    is_null_b.field = 1;
    contains.kind = K::Contains;
    contains.text = "bc";
    contains_on_null = contains_on_int = contains;
    contains.field = 2;
    contains_on_int.field = 1;

    struct Case {
        const char* name;
        GExpr g;
        const char* expected;
    };
    const Case cases[] = {
        {"null field compared", leaf_cmp(0, CmpOp::Gt, Value::i64(1)), "U"},
        {"null field !=", leaf_cmp(0, CmpOp::Ne, Value::i64(1)), "U"},
        {"plain compare", leaf_cmp(1, CmpOp::Ge, Value::i64(2)), "T"},
        {"mixed kinds are false", leaf_cmp(1, CmpOp::Eq, Value::str("2")), "F"},
        {"a > 1 || b == null", node(K::Or, {leaf_cmp(0, CmpOp::Gt, Value::i64(1)), is_null_b}), "U"},
        {"!(a > 1)", node(K::Not, {leaf_cmp(0, CmpOp::Gt, Value::i64(1))}), "U"},
        {"!(b == 2)", node(K::Not, {leaf_cmp(1, CmpOp::Eq, Value::i64(2))}), "F"},
        {"!(b == null)", node(K::Not, {is_null_b}), "T"},
        {"b in (1, null)", leaf_in(1, {Value::i64(1), Value::null()}, false), "U"},
        {"b not in (1, null)", leaf_in(1, {Value::i64(1), Value::null()}, true), "U"},
        {"b in (null, 2)", leaf_in(1, {Value::null(), Value::i64(2)}, false), "T"},
        {"b not in (2, null)", leaf_in(1, {Value::i64(2), Value::null()}, true), "F"},
        {"b in (1, 3)", leaf_in(1, {Value::i64(1), Value::i64(3)}, false), "F"},
        {"b not in (1, 3)", leaf_in(1, {Value::i64(1), Value::i64(3)}, true), "T"},
        {"b in (2.0) compares as doubles", leaf_in(1, {Value::f64(2.0)}, false), "T"},
        {"null in (...)", leaf_in(0, {Value::i64(1)}, true), "U"},
        {"empty And", yes(), "T"},
        {"empty Or", no(), "F"},
        {"And: False beats Unknown", node(K::And, {unknown(), no()}), "F"},
        {"And: Unknown beats True", node(K::And, {yes(), unknown()}), "U"},
        {"Or: True beats Unknown", node(K::Or, {unknown(), yes()}), "T"},
        {"Or: Unknown beats False", node(K::Or, {no(), unknown()}), "U"},
        {"Not Unknown", node(K::Not, {unknown()}), "U"},
        {"contains", contains, "T"},
        {"contains on a number", contains_on_int, "F"},
        {"contains on null", contains_on_null, "U"},
    };
    for (const Case& c : cases)
        EXPECT_STREQ(truth_name(eval_gexpr(c.g, store, f, std::nullopt, std::nullopt)), c.expected) << c.name;
}

TEST(ConstraintEval, GroupCrossVariablesReadTheTupleOrTheFactItself) {
    FactStore store({TypeSchema{"P", {{"x", FieldType::i64()}, {"y", FieldType::i64()}}, 2}});
    FactId p0 = *store.insert(0, {Value::i64(5), Value::null()});
    FactId p1 = *store.insert(0, {Value::i64(7), Value::i64(5)});
    GExpr g = leaf_cmp(0, CmpOp::Eq, Value());
    g.operand = Src::fact_field(0, 0);  // x == $x of position 0
    std::vector<FactId> tuple{p0};
    EXPECT_EQ(eval_gexpr(g, store, p1, tuple, 1), Truth::False);  // 7 vs 5
    EXPECT_EQ(eval_gexpr(g, store, p1, tuple, 0), Truth::True);   // position 0 is p1 itself
    g.operand = Src::fact_field(0, 1);                            // p0's y is null
    EXPECT_EQ(eval_gexpr(g, store, p1, tuple, 1), Truth::Unknown);
}

TEST(ConstraintEval, JoinEqualityTruncatesTheFloatAgainstAnInteger) {
    struct Case {
        Value l;
        CmpOp op;
        Value r;
        bool expected;
    };
    const Case cases[] = {
        {Value::i64(3), CmpOp::Eq, Value::f64(3.7), true},
        {Value::i64(-3), CmpOp::Eq, Value::f64(-3.7), true},
        {Value::i64(3), CmpOp::Ne, Value::f64(3.7), true},
        {Value::i64(3), CmpOp::Lt, Value::f64(3.7), true},
        {Value::i64(0), CmpOp::Eq, Value::f64(std::nan("")), true},
        {Value::i64(kMax), CmpOp::Eq, Value::f64(1e30), true},
        {Value::i64(kMin), CmpOp::Eq, Value::f64(-1e30), true},
        // Only integer == float truncates; the other way round compares as doubles.
        {Value::f64(3.7), CmpOp::Eq, Value::i64(3), false},
        {Value::null(), CmpOp::Ne, Value::i64(3), false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(eval_cmp_join(c.l, c.op, c.r), c.expected) << debug(c.l) << " " << debug(c.op) << " " << debug(c.r);
    EXPECT_FALSE(eval_cmp(Value::i64(3), CmpOp::Eq, Value::f64(3.7)));
}

TEST(ConstraintEval, AllenRelationsWithTheirDefaultBounds) {
    using A = AllenOp;
    struct Case {
        A op;
        std::vector<int64_t> b;
        int64_t as, ae, bs, be;
        bool expected;
    };
    const Case cases[] = {
        {A::After, {0, 10}, 20, 20, 5, 10, true},       {A::After, {0, 10}, 21, 21, 5, 10, false},
        {A::After, {5, 10}, 14, 14, 0, 10, false},      {A::Before, {1, 5}, 0, 10, 15, 20, true},
        {A::Before, {1, 5}, 0, 10, 10, 20, false},      {A::Coincides, {}, 5, 9, 5, 9, true},
        {A::Coincides, {}, 5, 9, 5, 10, false},         {A::Coincides, {5000}, 0, 10, 5000, 5010, true},
        {A::Coincides, {5000}, 0, 10, 5001, 5010, false}, {A::Coincides, {0, 3}, 0, 10, 0, 13, true},
        {A::Coincides, {0, 3}, 1, 10, 0, 13, false},    {A::Meets, {}, 0, 10, 10, 20, true},
        {A::Meets, {}, 0, 10, 11, 20, false},           {A::Meets, {2}, 0, 10, 12, 20, true},
        {A::MetBy, {}, 10, 20, 0, 10, true},            {A::MetBy, {1}, 12, 20, 0, 10, false},
        // overlaps without bounds needs an overlap of at least 1 ms
        {A::Overlaps, {}, 0, 10, 5, 20, true},          {A::Overlaps, {}, 0, 10, 10, 20, false},
        {A::Overlaps, {4}, 0, 10, 5, 20, false},        {A::Overlaps, {5}, 0, 10, 5, 20, true},
        {A::Overlaps, {6, 9}, 0, 10, 5, 20, false},     {A::OverlappedBy, {}, 5, 20, 0, 10, true},
        {A::OverlappedBy, {2, 5}, 5, 20, 0, 10, true},  {A::OverlappedBy, {}, 0, 10, 5, 20, false},
        // during with one bound: both gaps 1..p0; four bounds: start then end
        {A::During, {}, 5, 15, 0, 20, true},            {A::During, {}, 0, 15, 0, 20, false},
        {A::During, {10}, 10, 10, 0, 20, true},         {A::During, {10}, 11, 11, 0, 22, false},
        {A::During, {0, 0}, 0, 20, 0, 20, true},        {A::During, {1, 2, 7, 9}, 2, 12, 0, 20, true},
        {A::During, {1, 2, 7, 9}, 2, 10, 0, 20, false}, {A::During, {0, 0, 0}, 0, 20, 0, 20, false},
        {A::Includes, {}, 0, 20, 5, 15, true},          {A::Includes, {1, 2, 7, 9}, 0, 20, 2, 12, true},
        {A::Includes, {1, 2, 7, 9}, 0, 20, 2, 10, false}, {A::Starts, {}, 0, 5, 0, 10, true},
        {A::Starts, {}, 1, 5, 0, 10, false},            {A::Starts, {1}, 1, 5, 0, 10, true},
        {A::Starts, {}, 0, 10, 0, 10, false},           {A::StartedBy, {}, 0, 10, 0, 5, true},
        {A::StartedBy, {2}, 3, 10, 0, 5, false},        {A::Finishes, {}, 5, 10, 0, 10, true},
        {A::Finishes, {}, 5, 11, 0, 10, false},         {A::FinishedBy, {1}, 0, 10, 5, 11, true},
        {A::FinishedBy, {}, 5, 10, 0, 10, false},
        // Times 2^64 - 1 apart: a wrapped difference would be -1 and pass.
        {A::Coincides, {1}, kMax, kMax, kMin, kMin, false}, {A::After, {-5, 0}, kMin, kMin, kMax, kMax, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(eval_allen(c.op, c.b, c.as, c.ae, c.bs, c.be), c.expected)
            << debug(c.op) << " bounds " << c.b.size() << " " << c.as << "," << c.ae << " / " << c.bs << "," << c.be;
}

TEST(ConstraintEval, DecimalLiterals) {
    struct Case {
        Value in;
        const char* expected;
    };
    const Case cases[] = {
        {Value::f64(0.1), "Some(Dec { u: 1, s: 1 })"},
        {Value::f64(100.0), "Some(Dec { u: 100, s: 0 })"},
        {Value::f64(1e-7), "Some(Dec { u: 1, s: 7 })"},
        {Value::f64(-2.5), "Some(Dec { u: -25, s: 1 })"},
        {Value::f64(std::nan("")), "None"},
        {Value::f64(std::numeric_limits<double>::infinity()), "None"},
        {Value::f64(1e-39), "None"},  // 39 fraction digits
        {Value::f64(1e300), "None"},  // past 128 bits
        {Value::i64(-7), "Some(Dec { u: -7, s: 0 })"},
        {Value::dec(150, 2), "Some(Dec { u: 150, s: 2 })"},
        {Value::str("1"), "None"},
        {Value::boolean(true), "None"},
        {Value::null(), "None"},
    };
    for (const Case& c : cases) EXPECT_EQ(debug(lit_for_dec(c.in)), c.expected) << debug(c.in);
}

TEST(ConstraintEval, ComparisonTypeMatrix) {
    const FieldType types[] = {FieldType::i64(), FieldType::f64(), FieldType::str(), FieldType::boolean(),
                               FieldType::dec(10, 2)};
    // Rows left, columns right; o ok, m mismatch, w walled; Bool/Bool with Eq.
    const char* matrix[] = {"oommo", "oommw", "mmomm", "mmmom", "owmmo"};
    for (size_t l = 0; l < 5; ++l) {
        for (size_t r = 0; r < 5; ++r) {
            std::optional<std::string> msg = check_cmp_types("r", types[l], CmpOp::Eq, types[r]);
            char got = !msg ? 'o' : msg->find("WALLED") != std::string::npos ? 'w' : 'm';
            EXPECT_EQ(got, matrix[l][r]) << debug(types[l]) << " vs " << debug(types[r]);
        }
    }
    EXPECT_EQ(check_cmp_types("r", FieldType::boolean(), CmpOp::Ne, FieldType::boolean()), std::nullopt);
    EXPECT_EQ(check_cmp_types("big", FieldType::boolean(), CmpOp::Lt, FieldType::boolean()),
              "rule big: constraint type mismatch (Bool Lt Bool)");
    EXPECT_EQ(check_cmp_types("r", FieldType::str(), CmpOp::Ge, FieldType::dec(10, 2)),
              "rule r: constraint type mismatch (Str Ge Dec { p: 10, s: 2 })");
    EXPECT_EQ(check_cmp_types("r", FieldType::dec(5, 0), CmpOp::Le, FieldType::dec(38, 7)), std::nullopt);
}

TEST(ConstraintEval, ScalarCanonicalKeysAndViews) {
    struct Case {
        Value v;
        const char* expected;
    };
    const Case cases[] = {
        {Value::i64(1), R"({"type":"Long","fields":{"value":1}})"},
        {Value::i64(-42), R"({"type":"Long","fields":{"value":-42}})"},
        {Value::f64(1.0), R"({"type":"Double","fields":{"value":1.0}})"},
        {Value::f64(-0.0), R"({"type":"Double","fields":{"value":-0.0}})"},
        {Value::f64(1e16), R"({"type":"Double","fields":{"value":1e16}})"},
        {Value::f64(1.5e-7), R"({"type":"Double","fields":{"value":1.5e-7}})"},
        {Value::f64(std::nan("")), R"({"type":"Double","fields":{"value":NaN}})"},
        {Value::f64(-std::numeric_limits<double>::infinity()), R"({"type":"Double","fields":{"value":-inf}})"},
        {Value::str("a\"b\\\t\n\r"), R"({"type":"String","fields":{"value":"a\"b\\\t\n\r"}})"},
        {Value::str(std::string("x\0y", 3)), R"({"type":"String","fields":{"value":"x\0y"}})"},
        {Value::str("\x01"), R"({"type":"String","fields":{"value":"\u{1}"}})"},
        {Value::boolean(false), R"({"type":"Boolean","fields":{"value":false}})"},
        {Value::null(), "Null"},
        {Value::dec(15, 1), "Dec { u: 15, s: 1 }"},
        {Value::dec(150, 2), "Dec { u: 150, s: 2 }"},
    };
    for (const Case& c : cases) EXPECT_EQ(scalar_canon_key(c.v), c.expected);

    FactView v = scalar_view(Value::dec(5, 0));
    EXPECT_EQ(v.type_name + " " + v.fields.at(0).first + " " + std::to_string(v.id), "Decimal value 4294967295");
    EXPECT_EQ(scalar_view(Value::null()).type_name, "Null");
}

TEST(ConstraintEval, SingleFieldTests) {
    quarn::Test is_null, never, matches, contains;  // never: Unknown; contains: the empty needle
    is_null.kind = quarn::Test::Kind::IsNull;
    quarn::Test not_null = is_null;
    not_null.negated = true;
    matches.kind = quarn::Test::Kind::Matches;
    matches.regex = *Regex::parse("a.c");
    contains.kind = quarn::Test::Kind::Contains;
    EXPECT_TRUE(eval_alpha_test(Value::null(), is_null));
    EXPECT_FALSE(eval_alpha_test(Value::i64(0), is_null));
    EXPECT_TRUE(eval_alpha_test(Value::i64(0), not_null));
    EXPECT_FALSE(eval_alpha_test(Value::null(), never));
    EXPECT_TRUE(eval_alpha_test(Value::str("abc"), matches));
    EXPECT_FALSE(eval_alpha_test(Value::str("abcd"), matches));  // whole text only
    EXPECT_FALSE(eval_alpha_test(Value::i64(1), matches));
    EXPECT_TRUE(eval_alpha_test(Value::str(""), contains));
    EXPECT_FALSE(eval_alpha_test(Value::null(), contains));
}
