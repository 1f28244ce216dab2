#include <gtest/gtest.h>

#include "queries_fixture.h"

using namespace quarn;
using namespace quarn::testing;

namespace {

std::string compile_error(const std::string& text) {
    FactStore store = make_store();
    auto q = compile_text(store, text);
    return q.ok() ? "<compiled>" : q.error();
}

struct Refusal {
    const char* text;
    const char* message;
};

void check_refusals(const std::vector<Refusal>& table) {
    for (const Refusal& r : table) EXPECT_EQ(compile_error(r.text), r.message) << r.text;
}

const char* const kOk = "<compiled>";

}  // namespace

TEST(QueryCompile, DuplicateNamesAreFoundBeforeAnyOtherCheck) {
    check_refusals({
        {"query a() Person() end query b(int $x) Person() end query a() Person() end", "duplicate query a"},
        {"query b(int $x) Person() end query a() Nope() end query a() Person() end", "duplicate query a"},
    });
}

TEST(QueryCompile, WalledTypesAndParameterTypes) {
    check_refusals({
        {"query q() Nully() end", "query q: Nully has nullable fields — queries over nullable types are walled (D-097)"},
        {"query q() Money() end", "query q: Money has decimal fields — queries over decimal types are walled (D-098)"},
        // Walled types are checked over the whole body before the parameters.
        {"query q(int $x) Person(name == $x) or Money() end",
         "query q: Money has decimal fields — queries over decimal types are walled (D-098)"},
        {"query q(int $x) Person(age == $x) end", "query q: param type int not in subset (long/double/String/boolean)"},
        {"query q(Long $x) Person(age == $x) end", "query q: param type Long not in subset (long/double/String/boolean)"},
        {"query q(long $a, double $b, String $c, boolean $d) Item(v == $a, w == $b, k == $c) Person(active == $d) end",
         kOk},
    });
}

TEST(QueryCompile, RecursionShape) {
    check_refusals({
        {"query q(String $x) Person(name == $x) or Person(name == $x) or Person(name == $x) q($x;) end",
         "query q: recursive queries must have exactly 2 or-branches (D-055)"},
        // The shape is checked before any element is compiled.
        {"query q(String $x) Nope() or Nope() or q($x;) Nope() end",
         "query q: recursive queries must have exactly 2 or-branches (D-055)"},
        {"query q(String $x) Person(name == $x) q($x;) or Person(name == $x) end",
         "query q: the recursive branch must be SECOND (base branch first, D-055)"},
        {"query q(String $x) Person(name == $x) or Person(name == $x) q($x;) q($x;) end",
         "query q: recursive queries take exactly ONE self-call (D-055)"},
        {"query q(String $x) Person(name == $x) or q($x;) Person(name == $x) end",
         "query q: left recursion: the self-call cannot be the first element of its branch (qb7, D-055)"},
        {"query q(String $x) Person(name == $x) or Person(name == $x) or Person(name == $x) or Person(name == $x) end",
         "query q: more than 3 or-branches not in subset (D-055)"},
        {"query q(String $x) Person(name == $x) or Person(name == $x) or Person(name == $x) end", kOk},
        {"query q(String $x) Person(name == $x) or Person(name == $x) q($x;) end", kOk},
    });
}

TEST(QueryCompile, CallElements) {
    const std::string r = "query r(String $a) Person(name == $a) end ";
    const std::string r2 = "query r2(String $a, String $b) Parent($a, $b;) end ";
    std::vector<std::string> texts = {
        r + "query q(String $x) $b : r($x;) end",
        r + "query q(String $x) r(name == $x) end",
        r + "query q(String $x) $p : Person(name == $x) r($p;) end",
        r2 + "query q(String $x) r2($y, $y;) Person(name == $x) end",
        r + "query q(String $x) Person(name == $x, $n : name) or r($n;) Person(name == $x) end",
        r + "query q(String $x) r($x, \"extra\";) end",
        r + "query q(String $x) Person(name == $x) r(5;) end",
        r2 + "query q(String $x) r2($x, $y;) Person(name == $y) end",
    };
    std::vector<std::string> expected = {
        "query q: call to r cannot take a pattern binding",
        "query q: call to r must use positional args (`r(...;)`)",
        "query q: $p is a fact binding; call args must be scalars",
        "query q: $y is bound in the same element group (out of subset, D-053)",
        "query q: $n is declared in another or-branch (D-055)",
        "query q: call to r expects 1 args, got 2",
        "query q: literal arg for $a of r has the wrong type",
        kOk,
    };
    for (size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(compile_error(texts[i]), expected[i]) << texts[i];
}

TEST(QueryCompile, PatternElements) {
    check_refusals({
        {"query q() Long() end", "query q: type Long is reserved"},
        {"query q() InitialFact() end", "query q: type InitialFact is reserved"},
        {"query q() Nope() end", "query q: unknown type or query Nope"},
        {"query q(String $x) $x : Person() end", "query q: duplicate identifier $x"},
        {"query q(String $x) Person($x;) end", "query q: Person: positional pattern expects 3 args, got 1"},
        // Positional arguments are turned into constraints before any is compiled.
        {"query q(String $x) Parent($y, $y;) Person(name == $x) end", "query q: duplicate identifier $y"},
        {"query q() Person($n : nick) end", "query q: Person has no field nick"},
        {"query q(String $x) Person($x : name) end", "query q: duplicate identifier $x"},
        {"query q(String $x) Person(nick == $x) end", "query q: Person has no field nick"},
        {"query q(String $x) Person(name == $x, age == 1.5) end",
         "query q: literal constraint on age must match the field type exactly (D-051)"},
        {"query q(String $x) Person(name == $x, age == \"1\") end",
         "query q: literal constraint on age must match the field type exactly (D-051)"},
        {"query q(String $x) Person(name == $x, age == $z) end", "query q: unknown binding $z"},
        {"query q(String $x) $p : Person(name == $x) Person(name == $p) end",
         "query q: $p is a fact binding; comparing fields to fact bindings is out of subset"},
        // A fact binding of this very element is reported as a fact binding.
        {"query q(String $x) $p : Person(name == $x, name == $p) end",
         "query q: $p is a fact binding; comparing fields to fact bindings is out of subset"},
        {"query q(String $x) Person(name == $x, $a : age, age > $a) end",
         "query q: $a is bound in the same pattern (same-pattern operands are out of subset, D-053)"},
        {"query q(long $x) Person(age > $x) end",
         "query q: param $x used with a non-== operator (unification is == only, D-051)"},
        {"query q(double $x) Person(age == $x) end", "query q: param $x type does not match field age exactly"},
        // The operator is checked before the type.
        {"query q(double $x) Person(age > $x) end",
         "query q: param $x used with a non-== operator (unification is == only, D-051)"},
        {"query q(String $x) Person(name == $x, $a : age) or Person(name == $x, age == $a) end",
         "query q: $a is declared in another or-branch (D-055)"},
        {"query q(String $x) Person(name == $x, nick matches \"a\") end", "query q: no field nick"},
        {"query q(String $x) Person(name == $x, age matches \"a\") end", "query q: age must be a String field"},
        {"query q(String $x) Person(name == $x, name matches \"a**\") end",
         "query q: bad regex: regex: dangling quantifier '*'"},
        {"query q(String $x) Person(name == $x, nick contains \"a\") end", "query q: no field nick"},
        {"query q(String $x) Person(name == $x, age contains \"a\") end", "query q: age must be a String field"},
        {"query q(String $x) Person(name == $x, nick in (1, 2)) end", "query q: Person has no field nick"},
        {"query q(String $x) Person(name == $x, age in (1, \"x\")) end",
         "query q: in-list items on age must match the field type exactly (D-051)"},
        {"query q(String $x) $e : Person(name == $x) Person(this meets $e) end",
         "query q: temporal constraints in query bodies are out of subset (D-101)"},
        {"query q(String $x, long $y) Person(name == $x) end",
         "query q: param $y is never unified or threaded (unused params are out of subset, D-051)"},
        {"query q(String $x) Person(name == $x, age in (1, 2), active == true, name matches \"[a-z]+\", "
         "name contains \"b\") end",
         kOk},
    });
}

TEST(QueryCompile, ChecksRunInOrderWithinAQuery) {
    check_refusals({
        // An element error comes before the unused-parameter check.
        {"query q(String $x, long $y) Person(name == $x) Nope() end", "query q: unknown type or query Nope"},
        // A parameter used only with > fails as such, not as unused.
        {"query q(long $x) Person(age > $x) end",
         "query q: param $x used with a non-== operator (unification is == only, D-051)"},
        // Queries are compiled in order; the first failing one is reported.
        {"query a() Nope() end query b(int $x) Person() end", "query a: unknown type or query Nope"},
    });
}

TEST(QueryCompile, MutualRecursionIsRefusedAfterEveryQueryCompiled) {
    check_refusals({
        {"query a(String $x) b($x;) end query b(String $x) a($x;) end",
         "query a: mutual recursion is out of subset (D-055)"},
        {"query a(String $x) b($x;) end query b(String $x) c($x;) end query c(String $x) b($x;) end",
         "query b: mutual recursion is out of subset (D-055)"},
        {"query a(String $x) b($x;) end query b(String $x) Person(name == $x) end", kOk},
    });
}

TEST(QueryCompile, RefusalsTheGrammarCannotProduce) {
    FactStore store = make_store();
    QueryDef empty{"e", {}, {}, 0};
    auto r = compile_queries(store, {empty}, reserved_names());
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), "query e: empty query body not in subset");

    QueryDef with_empty_branch{"e", {}, {{QElem{QElem::Kind::Constraints, {}, {}, "Person", std::nullopt}}, {}}, 0};
    r = compile_queries(store, {with_empty_branch}, reserved_names());
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), "query e: empty query body not in subset");

    Constraint group;
    group.kind = Constraint::Kind::Group;
    group.group.kind = CExpr::Kind::Not;
    QueryDef grouped{"g", {}, {{QElem{QElem::Kind::Constraints, {group}, {}, "Person", std::nullopt}}}, 0};
    r = compile_queries(store, {grouped}, reserved_names());
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), "query g: inline constraint groups in query bodies are out of subset (D-073)");
}

TEST(QueryCompile, SlotsNamesAndElementShapes) {
    FactStore store = make_store();
    auto q = compile_text(store,
                          "query r(String $a) Person(name == $a) end "
                          "query anc(String $x, String $y) Parent($x, $y;) or $p : Parent($x, $z;) anc($z, $y;) end");
    ASSERT_TRUE(q.ok()) << q.error();
    const CompiledQuery& anc = (*q)[1];
    EXPECT_EQ(anc.names, (std::vector<std::string>{"$x", "$y"}));
    EXPECT_EQ(anc.slot_count, 4u);  // $x, $y, then $p and $z of the second branch
    ASSERT_EQ(anc.branches.size(), 2u);
    const CNode& pat = anc.branches[1][0];
    EXPECT_FALSE(pat.is_call());
    EXPECT_EQ(pat.fact_slot, std::optional<uint32_t>(2));
    ASSERT_EQ(pat.field_binds.size(), 1u);
    EXPECT_EQ(pat.field_binds[0], (std::pair<uint32_t, uint32_t>{3, 1}));
    const CNode& call = anc.branches[1][1];
    ASSERT_TRUE(call.is_call());
    EXPECT_EQ(call.callee, 1u);
    ASSERT_EQ(call.args.size(), 2u);
    EXPECT_EQ(call.args[0].slot, 3u);
    EXPECT_EQ(call.args[1].slot, 1u);
}

TEST(QueryCompile, KeyChoiceAndSeed) {
    FactStore store = make_store();
    // Person's accessors sorted: getAge getClass getName hashCode isActive toString.
    auto q = compile_text(store,
                          "query k(String $n, long $a) Person(name == $n) "
                          "Parent($p : parent, $c : child) "
                          "Person(name == $p, age == $a, active == $b) or Person(name == $n, age == $a) end "
                          "query four(String $n) Person(name == $n, $a1 : age, $b1 : active, $s : name) "
                          "Person(age == $a1, active == $b1, name == $s, age == $a1) end");
    // `$b` is unknown in the first query: that is a refusal.
    EXPECT_FALSE(q.ok());
    EXPECT_EQ(q.error(), "query k: unknown binding $b");

    q = compile_text(store,
                     "query k(String $n, long $a) Person(name == $n) Parent($p : parent, $c : child) "
                     "Person(name == $p, age == $a) end "
                     "query four(String $n) Person(name == $n, $a1 : age, $b1 : active, $s : name) "
                     "Person(age == $a1, active == $b1, name == $s, age == $a1) end");
    ASSERT_TRUE(q.ok()) << q.error();
    const auto& k = (*q)[0].branches[0];
    // Only a parameter equality: keyed on it, from the parameter.
    EXPECT_EQ(k[0].key, (std::vector<uint32_t>{0}));
    EXPECT_TRUE(k[0].key_from_param);
    EXPECT_EQ(k[0].seed, 995u);  // getName at 2: (31 << 5 | 1) + 2
    // No unification at all.
    EXPECT_TRUE(k[1].key.empty());
    EXPECT_EQ(k[1].seed, 31u);
    EXPECT_FALSE(k[1].key_from_param);
    // A binding equality wins over the parameter equality after it.
    EXPECT_EQ(k[2].key, (std::vector<uint32_t>{0}));
    EXPECT_FALSE(k[2].key_from_param);
    EXPECT_EQ(k[2].seed, 995u);
    const auto& four = (*q)[1].branches[0][1];
    // Four binding equalities: the first three form the key.
    EXPECT_EQ(four.key, (std::vector<uint32_t>{0, 1, 2}));
    // getAge 0, isActive 4, getName 2.
    uint32_t h = 31;
    for (uint32_t pos : {0u, 4u, 2u}) h = ((h << 5) | 1u) + pos;
    EXPECT_EQ(four.seed, h);
    EXPECT_EQ(four.seed, 1016995u);  // 993, then 31781, then 1016995
}

TEST(QueryCompile, ParamBoundInAllBranches) {
    FactStore store = make_store();
    auto q = compile_text(store,
                          "query both(String $x, String $y) Parent($x, $y;) or Parent(parent == $x) Parent(child == $y) end "
                          "query one(String $x, String $y) Parent($x, $y;) or Parent(parent == $x) Parent(child == $x) "
                          "Person(name == $y) end "
                          "query via(String $u, String $v) both($u, $v;) end "
                          "query rec(String $x, String $y) Parent($x, $y;) or Parent($x, $z;) rec($z, $y;) end "
                          "query some(String $x, String $y) Parent($x, $y;) or Parent(parent == $x) end "
                          "query via_some(String $u, String $v) some($u, $v;) end");
    ASSERT_TRUE(q.ok()) << q.error();
    std::vector<std::pair<uint32_t, uint32_t>> visited;
    EXPECT_TRUE(param_bound_all_branches(*q, 0, 1, visited));
    EXPECT_TRUE(param_bound_all_branches(*q, 1, 0, visited));
    EXPECT_TRUE(param_bound_all_branches(*q, 1, 1, visited));
    EXPECT_TRUE(param_bound_all_branches(*q, 2, 1, visited));
    EXPECT_TRUE(param_bound_all_branches(*q, 3, 1, visited));
    EXPECT_TRUE(param_bound_all_branches(*q, 4, 0, visited));
    EXPECT_FALSE(param_bound_all_branches(*q, 4, 1, visited));
    EXPECT_FALSE(param_bound_all_branches(*q, 5, 1, visited));
    EXPECT_TRUE(visited.empty());
    // A pair already being asked further up counts as bound.
    visited.push_back({4, 1});
    EXPECT_TRUE(param_bound_all_branches(*q, 5, 1, visited));
    EXPECT_EQ(visited.size(), 1u);
}
