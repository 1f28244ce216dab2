#include <gtest/gtest.h>

#include "engine/engine.h"
#include "store/debug_form.h"

using namespace quarn;

namespace {

CExpr leaf(CExpr::Kind k, std::string field) {
    CExpr e;
    e.kind = k;
    e.field = std::move(field);
    return e;
}

CExpr cmp(std::string field, CmpOp op, Literal lit) {
    CExpr e = leaf(CExpr::Kind::Cmp, std::move(field));
    e.op = op;
    e.rhs = Operand::literal(std::move(lit));
    return e;
}

CExpr cmp_var(std::string field, CmpOp op, std::string var) {
    CExpr e = leaf(CExpr::Kind::Cmp, std::move(field));
    e.op = op;
    e.rhs = Operand::variable(std::move(var));
    return e;
}

CExpr in(std::string field, std::vector<Literal> list, bool negated = false) {
    CExpr e = leaf(CExpr::Kind::In, std::move(field));
    e.list = std::move(list);
    e.negated = negated;
    return e;
}

CExpr matches(std::string field, std::string re) {
    CExpr e = leaf(CExpr::Kind::Matches, std::move(field));
    e.regex = std::move(re);
    return e;
}

CExpr contains(std::string field, std::string text) {
    CExpr e = leaf(CExpr::Kind::Contains, std::move(field));
    e.text = std::move(text);
    return e;
}

CExpr group(CExpr::Kind k, std::vector<CExpr> children) {
    CExpr e;
    e.kind = k;
    e.children = std::move(children);
    return e;
}

// P(name: Str?, age: I64, amount: Dec(10,2)?, score: F64, ok: Bool)
Engine engine() {
    TypeSchema p{"P",
                 {{"name", FieldType::str()},
                  {"age", FieldType::i64()},
                  {"amount", FieldType::dec(10, 2)},
                  {"score", FieldType::f64()},
                  {"ok", FieldType::boolean()}},
                 0b101};
    return *Engine::create({p});
}

struct Compiled {
    std::string key_or_error;
    uint64_t mask = 0;
    bool refs = false;
    GExpr g;
};

// Compiles `e` as a constraint of the pattern at position 1, with $a bound by
// position 0 (age), $own by position 1 (age) and $mx a min/max over doubles.
Compiled compile(const CExpr& e) {
    Engine en = engine();
    Bindings bound;
    bound["$a"] = Binding{0, 1, FieldType::i64()};
    bound["$own"] = Binding{1, 1, FieldType::i64()};
    bound["$txt"] = Binding{0, 0, FieldType::str()};
    bound["$mx"] = Binding{0, 0, FieldType::f64()};
    HashSet<std::string> minmax{"$mx"};
    Compiled c;
    std::string key;
    Result<GExpr, std::string> g = en.compile_gexpr(e, 0, "r", 1, bound, minmax, c.mask, c.refs, key);
    if (g) {
        c.key_or_error = key;
        c.g = std::move(g).value();
    } else {
        c.key_or_error = g.error();
    }
    return c;
}

}  // namespace

TEST(ConstraintGroups, KeysAndRefusals) {
    using K = CExpr::Kind;
    struct Case {
        CExpr e;
        const char* expected;
    };
    const Case cases[] = {
        {group(K::And, {cmp("age", CmpOp::Gt, Literal::i64(18)),
                        group(K::Or, {cmp("name", CmpOp::Eq, Literal::str("x")),
                                      cmp("name", CmpOp::Eq, Literal::null())})}),
         R"(gAnd(g1GtI64(18)gOr(g0EqStr("x")g0isnullfalse)))"},
        {cmp("name", CmpOp::Ne, Literal::null()), "g0isnulltrue"},
        {cmp("name", CmpOp::Gt, Literal::null()), "rule r: only ==/!= accept null (IS [NOT] NULL semantics, D-097); got Gt"},
        {cmp("age", CmpOp::Eq, Literal::null()),
         "rule r: P field is not nullable — null tests need a nullable field (D-097)"},
        {cmp("nope", CmpOp::Eq, Literal::i64(1)), "rule r: P has no field nope"},
        // Decimal fields: the literal is made exact at its own scale, never rounded.
        {cmp("amount", CmpOp::Eq, Literal::f64(0.125)), "g2EqDec { u: 125, s: 3 }"},
        {cmp("amount", CmpOp::Lt, Literal::f64(0.1)), "g2LtDec { u: 1, s: 1 }"},
        {cmp("amount", CmpOp::Ge, Literal::i64(7)), "g2GeDec { u: 7, s: 0 }"},
        {cmp("amount", CmpOp::Eq, Literal::f64(1e-39)), "rule r: group literal F64(1e-39) is not an exact decimal (D-098)"},
        {cmp("amount", CmpOp::Eq, Literal::str("1")), "rule r: group literal Str(\"1\") is not an exact decimal (D-098)"},
        {cmp("score", CmpOp::Eq, Literal::str("1")), "rule r: constraint type mismatch (F64 Eq Str)"},
        {cmp("ok", CmpOp::Lt, Literal::boolean(true)), "rule r: constraint type mismatch (Bool Lt Bool)"},
        {cmp("score", CmpOp::Le, Literal::f64(1.5)), "g3LeF64(1.5)"},
        {cmp_var("age", CmpOp::Ge, "$a"), "g1Ge$a@0.1"},
        {cmp_var("age", CmpOp::Eq, "$zz"), "rule r: unknown binding $zz (must be declared before use)"},
        {cmp_var("score", CmpOp::Eq, "$mx"),
         "rule r: $mx: min/max over double is not comparable downstream (number typing, D-039)"},
        {cmp_var("amount", CmpOp::Eq, "$txt"), "rule r: constraint type mismatch (Dec { p: 10, s: 2 } Eq Str)"},
        {matches("name", "a.*"), "g0m\"a.*\""},
        {matches("age", "("), "rule r: matches requires a String field (subset wall), age is not"},
        {contains("name", "zz"), "g0c\"zz\""},
        {contains("score", "zz"), "rule r: contains requires a String field (subset wall), score is not"},
        {in("age", {Literal::i64(1), Literal::i64(2)}), "g1infalse[I64(1), I64(2)]"},
        {in("age", {Literal::i64(1), Literal::null()}, true), "g1intrue[I64(1), Null]"},
        // No decimal conversion inside a list; each item is type-checked with ==.
        {in("amount", {Literal::f64(0.5)}), "rule r: decimal-vs-double comparison is WALLED (money never meets floats, D-097 ruling 4)"},
        {in("name", {Literal::str("a"), Literal::i64(1)}), "rule r: constraint type mismatch (Str Eq I64)"},
        {group(K::Not, {cmp("age", CmpOp::Lt, Literal::i64(3))}), "gNot(g1LtI64(3))"},
        {group(K::Or, {cmp("age", CmpOp::Lt, Literal::i64(3)), cmp("nope", CmpOp::Eq, Literal::i64(1))}),
         "rule r: P has no field nope"},
        // Children keep source order: a || b and b || a differ.
        {group(K::Or, {cmp("age", CmpOp::Lt, Literal::i64(3)), contains("name", "x")}), "gOr(g1LtI64(3)g0c\"x\")"},
        {group(K::Or, {contains("name", "x"), cmp("age", CmpOp::Lt, Literal::i64(3))}), "gOr(g0c\"x\"g1LtI64(3))"},
    };
    for (const Case& c : cases) EXPECT_EQ(compile(c.e).key_or_error, c.expected);
}

TEST(ConstraintGroups, FieldMaskAndJoinFlag) {
    using K = CExpr::Kind;
    Compiled own = compile(group(K::Or, {cmp_var("age", CmpOp::Eq, "$own"), cmp("score", CmpOp::Gt, Literal::f64(1))}));
    EXPECT_EQ(own.mask, 0b1010u);
    EXPECT_FALSE(own.refs);
    Compiled cross = compile(group(K::Not, {cmp_var("age", CmpOp::Eq, "$a")}));
    EXPECT_TRUE(cross.refs);
    ASSERT_EQ(cross.g.kind, GExpr::Kind::Not);
    ASSERT_EQ(cross.g.children.size(), 1u);
    EXPECT_EQ(cross.g.children[0].operand, Src::fact_field(0, 1));
    // A wrongly typed matches sets no bit; a good one does.
    EXPECT_EQ(compile(matches("age", "x")).mask, 0u);
    EXPECT_EQ(compile(group(K::And, {matches("name", "x"), in("ok", {Literal::boolean(true)})})).mask, 0b10001u);
    // The decimal literal keeps its scale in the tree too.
    Compiled dec = compile(cmp("amount", CmpOp::Eq, Literal::f64(0.125)));
    EXPECT_EQ(debug(dec.g.operand.lit), "Dec { u: 125, s: 3 }");
}
