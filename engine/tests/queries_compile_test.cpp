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
    std::string text;
    const char* message;
};

void check_refusals(const std::vector<Refusal>& table) {
    for (const Refusal& r : table) EXPECT_EQ(compile_error(r.text), r.message) << r.text;
}

const char* const kOk = "<compiled>";

}  // namespace

TEST(QueryCompile, DuplicateNamesThenWalledTypesThenParameterTypes) {
    check_refusals({
        {"query a() Person() end query b(int $x) Person() end query a() Person() end", "duplicate query a"},
        {"query b(int $x) Person() end query a() Nope() end query a() Person() end", "duplicate query a"},
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
    for (const auto& [text, message] : std::vector<std::pair<std::string, const char*>>{
             {r + "query q(String $x) $b : r($x;) end", "query q: call to r cannot take a pattern binding"},
             {r + "query q(String $x) r(name == $x) end", "query q: call to r must use positional args (`r(...;)`)"},
             {r + "query q(String $x) $p : Person(name == $x) r($p;) end",
              "query q: $p is a fact binding; call args must be scalars"},
             {r2 + "query q(String $x) r2($y, $y;) Person(name == $x) end",
              "query q: $y is bound in the same element group (out of subset, D-053)"},
             {r + "query q(String $x) Person(name == $x, $n : name) or r($n;) Person(name == $x) end",
              "query q: $n is declared in another or-branch (D-055)"},
             {r + "query q(String $x) r($x, \"extra\";) end", "query q: call to r expects 1 args, got 2"},
             {r + "query q(String $x) Person(name == $x) r(5;) end", "query q: literal arg for $a of r has the wrong type"},
             {r2 + "query q(String $x) r2($x, $y;) Person(name == $y) end", kOk},
         }) {
        EXPECT_EQ(compile_error(text), message) << text;
    }
}

TEST(QueryCompile, PatternElements) {
    // A Person pattern keyed on the parameter, with one more constraint.
    auto P = [](const char* c) { return std::string("query q(String $x) Person(name == $x, ") + c + ") end"; };
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
        {P("age == 1.5"), "query q: literal constraint on age must match the field type exactly (D-051)"},
        {P("age == \"1\""), "query q: literal constraint on age must match the field type exactly (D-051)"},
        {P("age == $z"), "query q: unknown binding $z"},
        {"query q(String $x) $p : Person(name == $x) Person(name == $p) end",
         "query q: $p is a fact binding; comparing fields to fact bindings is out of subset"},
        // A fact binding of this very element is reported as a fact binding.
        {"query q(String $x) $p : Person(name == $x, name == $p) end",
         "query q: $p is a fact binding; comparing fields to fact bindings is out of subset"},
        {P("$a : age, age > $a"),
         "query q: $a is bound in the same pattern (same-pattern operands are out of subset, D-053)"},
        {"query q(double $x) Person(age == $x) end", "query q: param $x type does not match field age exactly"},
        // The operator is checked before the type.
        {"query q(double $x) Person(age > $x) end",
         "query q: param $x used with a non-== operator (unification is == only, D-051)"},
        {"query q(String $x) Person(name == $x, $a : age) or Person(name == $x, age == $a) end",
         "query q: $a is declared in another or-branch (D-055)"},
        {P("nick matches \"a\""), "query q: no field nick"},
        {P("age matches \"a\""), "query q: age must be a String field"},
        {P("name matches \"a**\""), "query q: bad regex: regex: dangling quantifier '*'"},
        {P("nick contains \"a\""), "query q: no field nick"},
        {P("age contains \"a\""), "query q: age must be a String field"},
        {P("nick in (1, 2)"), "query q: Person has no field nick"},
        {P("age in (1, \"x\")"), "query q: in-list items on age must match the field type exactly (D-051)"},
        {"query q(String $x) $e : Person(name == $x) Person(this meets $e) end",
         "query q: temporal constraints in query bodies are out of subset (D-101)"},
        {"query q(String $x, long $y) Person(name == $x) end",
         "query q: param $y is never unified or threaded (unused params are out of subset, D-051)"},
        {P("age in (1, 2), active == true, name matches \"[a-z]+\", name contains \"b\""), kOk},
    });
}

TEST(QueryCompile, ChecksRunInOrderAndMutualRecursionComesLast) {
    check_refusals({
        // An element error comes before the unused-parameter check.
        {"query q(String $x, long $y) Person(name == $x) Nope() end", "query q: unknown type or query Nope"},
        // A parameter used only with > fails as such, not as unused.
        {"query q(long $x) Person(age > $x) end",
         "query q: param $x used with a non-== operator (unification is == only, D-051)"},
        // Queries are compiled in order; the first failing one is reported.
        {"query a() Nope() end query b(int $x) Person() end", "query a: unknown type or query Nope"},
        {"query a(String $x) b($x;) end query b(String $x) a($x;) end",
         "query a: mutual recursion is out of subset (D-055)"},
        {"query a(String $x) b($x;) end query b(String $x) c($x;) end query c(String $x) b($x;) end",
         "query b: mutual recursion is out of subset (D-055)"},
        {"query a(String $x) b($x;) end query b(String $x) Person(name == $x) end", kOk},
    });
}

TEST(QueryCompile, RefusalsTheGrammarCannotProduce) {
    FactStore store = make_store();
    auto refusal = [&](QueryDef def) {
        auto r = compile_queries(store, {std::move(def)}, reserved_names());
        return r.ok() ? std::string(kOk) : r.error();
    };
    QElem person{QElem::Kind::Constraints, {}, {}, "Person", std::nullopt};
    EXPECT_EQ(refusal({"e", {}, {}, 0}), "query e: empty query body not in subset");
    EXPECT_EQ(refusal({"e", {}, {{person}, {}}, 0}), "query e: empty query body not in subset");
    person.constraints.emplace_back();
    person.constraints[0].kind = Constraint::Kind::Group;
    person.constraints[0].group.kind = CExpr::Kind::Not;
    EXPECT_EQ(refusal({"g", {}, {{person}}, 0}),
              "query g: inline constraint groups in query bodies are out of subset (D-073)");
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
    EXPECT_EQ(pat.fact_slot, std::optional<uint32_t>(2));
    EXPECT_EQ(pat.field_binds, (std::vector<std::pair<uint32_t, uint32_t>>{{3, 1}}));
    const CNode& call = anc.branches[1][1];
    EXPECT_EQ(call.callee, 1u);
    ASSERT_EQ(call.args.size(), 2u);
    EXPECT_EQ(std::make_pair(call.args[0].slot, call.args[1].slot), std::make_pair(3u, 1u));
}

TEST(QueryCompile, KeyChoiceAndSeed) {
    FactStore store = make_store();
    // Person's accessors sorted: getAge getClass getName hashCode isActive toString.
    auto q = compile_text(store,
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
    // getAge 0, isActive 4, getName 2, each folded in as h = (h << 5 | 1) + position
    // from 31: 993, then 31781, then 1016995.
    EXPECT_EQ(four.seed, 1016995u);
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
    // (query, parameter, bound in every branch)
    for (auto [q_at, p, bound] : std::vector<std::tuple<uint32_t, uint32_t, bool>>{
             {0, 1, true}, {1, 0, true}, {1, 1, true}, {2, 1, true}, {3, 1, true}, {4, 0, true}, {4, 1, false},
             {5, 1, false}}) {
        EXPECT_EQ(param_bound_all_branches(*q, q_at, p, visited), bound) << q_at << " " << p;
    }
    EXPECT_TRUE(visited.empty());
    // A pair already being asked further up counts as bound.
    visited.push_back({4, 1});
    EXPECT_TRUE(param_bound_all_branches(*q, 5, 1, visited));
    EXPECT_EQ(visited.size(), 1u);
}
