#include <gtest/gtest.h>

#include <functional>
#include <limits>

#include "queries_fixture.h"

using namespace quarn;
using namespace quarn::testing;

namespace {

const char* const kAncestor =
    "query ancestor(String $x, String $y) Parent($x, $y;) or Parent($x, $z;) ancestor($z, $y;) end";
const std::optional<Value> N;
std::optional<Value> S(const char* s) { return Value::str(s); }

struct Ask {
    uint32_t q;
    std::vector<QueryArgs> rows;
    std::string expected;
};
struct Case {
    const char* what;
    std::string text;
    std::function<void(FactStore&)> facts;
    std::vector<Ask> asks;
};

const char* const kStepLimitError = "error: query evaluation step limit exceeded (cyclic recursion data? D-055)";

// Parent facts n0 -> n1 -> n2 -> n0 -> ..., `count` of them over at most three names.
std::function<void(FactStore&)> cycle(int count) {
    return [count](FactStore& s) {
        for (int i = 0; i < count; ++i) parent(s, "n" + std::to_string(i % 3), "n" + std::to_string((i + 1) % 3));
    };
}

void run_cases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        Site site(c.text);
        c.facts(site.store);
        for (const Ask& a : c.asks) EXPECT_EQ(site.ask(a.q, a.rows), a.expected) << c.what;
    }
}

}  // namespace

TEST(QueryMachine, AnswersComeInTheirFixedOrder) {
    run_cases({
        // The answer for d reaches the top call site before the one for c (the
        // deeper level finishes first); the site hands its answers back newest
        // first, and each row is put in front.
        {"recursion", kAncestor,
         [](FactStore& s) { parent(s, "a", "b"), parent(s, "b", "c"), parent(s, "c", "d"), parent(s, "x", "y"); },
         {{0, {{S("a"), N}}, R"((0 Str("a") Str("b"))(0 Str("a") Str("d"))(0 Str("a") Str("c")))"},
          {0, {{S("a"), S("c")}}, R"((0 Str("a") Str("c")))"},
          {0, {{S("c"), S("a")}}, ""}}},
        // Each branch takes the argument rows last first, so row 1's answer is
        // the oldest and ends up last; duplicate rows are kept.
        {"argument rows", "query named(String $n, long $a) Person(name == $n, age == $a) end",
         [](FactStore& s) { person(s, "ann", 30), person(s, "bob", 40), person(s, "ann", 30); },
         {{0, {{S("ann"), N}, {S("bob"), N}}, R"((0 Str("ann") I64(30))(0 Str("ann") I64(30))(1 Str("bob") I64(40)))"}}},
        // With the key taken from a parameter every environment sees every
        // candidate, and unification does the filtering.
        {"parameter key", "query named(String $n) Person(name == $n) end",
         [](FactStore& s) { person(s, "ann", 1), person(s, "bob", 2), person(s, "ann", 3); },
         {{0, {{S("ann")}}, R"((0 Str("ann"))(0 Str("ann")))"},
          {0, {{N}}, R"((0 Str("bob"))(0 Str("ann"))(0 Str("ann")))"}}},
        // Under this element's seed "t" and "bj" share bucket 8 and "s" is in
        // bucket 9. Candidates come newest first (s, bj, t), so t's key is the
        // newer one in bucket 8 and goes in front: the walk order is t, bj, s.
        {"flattened index", "query named(String $n) Person(name == $n) end",
         [](FactStore& s) { person(s, "t", 1), person(s, "bj", 2), person(s, "s", 3); },
         {{0, {{N}}, R"((0 Str("s"))(0 Str("bj"))(0 Str("t")))"}}},
        // `$x` fills both parameters of `pick`; branch 1 answers only position
        // 1, and the variable is settled by position 0 alone, so it comes back
        // unbound and Person binds it to everyone ("b" has the lower bucket).
        {"variable passed twice",
         "query pick(String $a, String $b) Parent(parent == $a) or Parent(child == $b) end "
         "query q(String $x) pick($x, $x;) Person(name == $x) end",
         [](FactStore& s) { parent(s, "a", "b"), person(s, "a", 1), person(s, "b", 2); },
         {{1, {{N}}, R"((0 Str("a"))(0 Str("b"))(0 Str("a")))"}}},
        // `$v` comes back unbound from `loose` (its base branch never binds
        // it), so the keyed Item lookup has no value: the environment sees
        // every candidate (newest first) and unification binds the slot.
        {"unbound key slot",
         "query loose(long $a, long $b) Item(v == $a) or Item(v == $a) Person(age == $b) end "
         "query outer(long $a, String $k) loose($a, $v;) Item(v == $v, k == $k) end",
         [](FactStore& s) { item(s, "x", 1), item(s, "y", 2); },
         {{1, {{Value::i64(1), N}}, R"((0 I64(1) Str("x"))(0 I64(1) Str("y")))"}}},
    });
}

TEST(QueryMachine, ElementsFilterAndBindAsWritten) {
    run_cases({
        {"keyed lookup", "query k(String $n) Person(name == $n, $a : age) Item($k : k, v == $a) end",
         [](FactStore& s) { person(s, "p", 5), item(s, "five", 5), item(s, "six", 6), item(s, "five again", 5); },
         {{0, {{S("p")}}, R"((0 Str("p"))(0 Str("p")))"}}},
        // A hundred NaN keys are one key of the index; the lookup finds them
        // and unification (NaN == NaN is false) rejects them.
        {"keys equal by bit pattern", "query nan(String $k) Item(k == $k, $w : w) Item(w == $w) end",
         [](FactStore& s) {
             const double nan = std::numeric_limits<double>::quiet_NaN();
             item(s, "first", 0, nan);
             for (int i = 0; i < 100; ++i) item(s, "x", i, nan);
         },
         {{0, {{S("first")}}, ""}}},
        // A later test of a slot the same fact just bound compares with it,
        // bound or not at the call.
        {"slot bound by the same fact", "query same(String $s) Parent(parent == $s, child == $s) end",
         [](FactStore& s) { parent(s, "a", "b"), parent(s, "c", "c"); },
         {{0, {{N}}, R"((0 Str("c")))"}, {0, {{S("a")}}, ""}, {0, {{S("c")}}, R"((0 Str("c")))"}}},
        {"null literals are null tests",
         "query none(String $n) Person(name == $n, name == null) end "
         "query all(String $n) Person(name == $n, age != null) end",
         [](FactStore& s) { person(s, "p", 1); }, {{0, {{S("p")}}, ""}, {1, {{S("p")}}, R"((0 Str("p")))"}}},
        {"alpha tests",
         "query t(String $n) Person(name == $n, name matches \"a.*\", name contains \"n\", age in (1, 2), "
         "active == true) end",
         [](FactStore& s) {
             person(s, "ann", 1), person(s, "ana", 3), person(s, "bob", 1), person(s, "anne", 2, false);
             person(s, "andy", 2);
         },
         {{0, {{N}}, R"((0 Str("andy"))(0 Str("ann")))"}}},
        {"calls pass literals and bind outputs",
         "query age_of(String $n, long $a) Person(name == $n, age == $a) end "
         "query ann_age(long $a) age_of(\"ann\", $a;) end",
         [](FactStore& s) { person(s, "ann", 7), person(s, "bob", 9); },
         {{1, {{N}}, "(0 I64(7))"}, {1, {{Value::i64(9)}}, ""}}},
        // The engine can pass a value of another type than the parameter's;
        // unifying it with an integer field truncates it.
        {"float argument", "query w(long $d, String $n) Item(k == $n) Person(age == $d) end",
         [](FactStore& s) { item(s, "i", 0), person(s, "p", 2); },
         {{0, {{Value::f64(2.9), S("i")}}, R"((0 F64(2.9) Str("i")))"},
          {0, {{Value::f64(-2.9), S("i")}}, ""},
          {0, {{Value::f64(1e300), S("i")}}, ""}}},
    });
}

TEST(QueryMachine, FailuresAndLimits) {
    const char* keyed = "query k(String $n) Person(name == $n, $a : age) Item(v == $a) end";
    auto items = [](int keys) {
        return [keys](FactStore& s) {
            person(s, "p", 5);
            for (int i = 0; i < keys; ++i) item(s, "i", i);
            item(s, "again", 5);  // a repeated key adds no key
        };
    };
    run_cases({
        {"unbound parameter", "query either(String $a, String $b) Parent(parent == $a) or Parent(child == $b) end",
         [](FactStore& s) { parent(s, "a", "b"); },
         {{0, {{S("a"), N}}, "error: ?query CE row left a param position unbound (D-057)"},
          {0, {{S("a"), S("b")}}, R"((0 Str("a") Str("b"))(0 Str("a") Str("b")))"}}},
        // Hundreds of thousands of levels deep before the limit stops it:
        // neither the walk nor the release of the caller chain may recurse.
        {"step limit", kAncestor, [](FactStore& s) { parent(s, "a", "b"), parent(s, "b", "a"); },
         {{0, {{S("a"), N}}, kStepLimitError}}},
        {"three-fact cycle", kAncestor, cycle(3), {{0, {{S("n0"), N}}, kStepLimitError}}},
        {"96 keys", keyed, items(96), {{0, {{S("p")}}, R"((0 Str("p"))(0 Str("p")))"}}},
        {"97 keys", keyed, items(97),
         {{0, {{S("p")}}, "error: query index exceeds 96 distinct keys (hash-table resize is out of subset, D-051)"}}},
        // 96 distinct parents fill the index of the parent pattern exactly.
        {"chain of 96", kAncestor,
         [](FactStore& s) {
             for (int i = 0; i < 96; ++i) parent(s, "n" + std::to_string(i), "n" + std::to_string(i + 1));
         },
         {{0, {{S("n0"), S("n96")}}, R"((0 Str("n0") Str("n96")))"}}},
    });
}

// Over one fact these recursions pile up level after level; over thirty, each
// level multiplies its environments thirtyfold. Either way the run ends with
// the step-limit error once it holds more than its bound, where it once took
// every byte of the process.
TEST(QueryMachine, MultiplyingEnvironmentsStopAtTheBound) {
    const char* any_parent = "query ancestor(String $y) Parent() or Parent() ancestor($y;) end";
    const char* unbound_arg = "query q(String $x) Parent($x, $c;) or Parent($x, $z;) q($w;) end";
    std::vector<Case> cases;
    for (int facts : {1, 30}) {
        cases.push_back({"any parent", any_parent, cycle(facts), {{0, {{S("n0")}}, kStepLimitError}}});
        cases.push_back({"unbound argument", unbound_arg, cycle(facts), {{0, {{S("n0")}}, kStepLimitError}}});
    }
    run_cases(cases);
}

// What a run holds is given back as walks end: three branches that each hold
// more than half the bound, one after the other, finish.
TEST(QueryMachine, FinishedWalksGiveTheirShareBack) {
    auto branch = [](const char* k) { return "Item(v == $a, " + std::string(k) + " : k) Person(age == -1)"; };
    Site site("query q(long $a) " + branch("$k") + " or " + branch("$l") + " or " + branch("$m") + " end");
    const std::string text(1500, 'k');  // each environment holds a copy
    for (int i = 0; i < 40'000; ++i) item(site.store, text, 1);
    person(site.store, "p", 1);
    EXPECT_EQ(site.ask(0, {{Value::i64(1)}}), "");
}

TEST(KeyHash, MatchesHandComputedValues) {
    // seed 0, Bool true: h = 1231; 1231 ^ (1231 >> 7) ^ (1231 >> 4) = 1162.
    EXPECT_EQ(key_hash(0, {Value::boolean(true)}), 1162u);
    // The seed enters as 31 * seed + 1231 before mixing.
    EXPECT_EQ(key_hash(7, {Value::boolean(true)}), 1529u);
    // Null and decimals hash as 0; -1 folds to 0.
    for (const Value& v : {Value::null(), Value::dec(150, 2), Value::i64(0), Value::i64(-1)})
        EXPECT_EQ(key_hash(993, {v}), 32587u) << debug(v);
    // "abc" over UTF-16 units is 96354.
    EXPECT_EQ(key_hash(993, {Value::str("abc")}), 126036u);
    // U+00E9 is one unit, U+1F600 a surrogate pair.
    EXPECT_EQ(key_hash(31, {Value::str("\xC3\xA9\xF0\x9F\x98\x80")}), 2072957u);
    // I64 1 and F64 1.0 (bits 0x3FF00000_00000000 fold to 0x3FF00000).
    EXPECT_EQ(key_hash(31, {Value::i64(1), Value::f64(1.0)}), 1014191903u);
}

// Answers parked at a call site survive a walk that reaches the site with no
// environments. Two queries calling each other reach this plainly; the
// compiler refuses them, so they are built by hand.
TEST(QueryMachine, EmptyWalkLeavesParkedAnswersForTheirResume) {
    FactStore store = make_store();
    person(store, "ann", 1);
    CNode person_named;  // Person(name == $p)
    person_named.type_id = *store.type_id("Person");
    person_named.unify = {UnifyItem{UnifyItem::Kind::Param, 0, 0, CmpOp::Eq}};
    person_named.key = {0};
    person_named.key_from_param = true;
    auto call = [](uint32_t callee, CArg arg) {
        CNode n;
        n.kind = CNode::Kind::Call;
        n.callee = callee;
        n.args = {std::move(arg)};
        return n;
    };
    std::vector<CompiledQuery> queries(2);
    for (uint32_t i = 0; i < 2; ++i) {
        queries[i].name = "q" + std::to_string(i);
        queries[i].params = {{"$p", FieldType::str()}};
        queries[i].slot_count = 1;
    }
    queries[0].branches = {{person_named, call(1, CArg{CArg::Kind::Var, Value(), 0})}};
    // The second branch answers q0's call first; the first branch then walks q0
    // again with a name nobody has, reaching q0's call site with nothing.
    queries[1].branches = {{call(0, CArg{CArg::Kind::Lit, Value::str("zzz"), 0})}, {person_named}};
    QueryCache cache;
    auto r = run_site(store, queries, cache, 0, {{Value::str("ann")}});
    ASSERT_TRUE(r.ok()) << r.error();
    EXPECT_EQ(show(*r), "(0 Str(\"ann\"))");
}
