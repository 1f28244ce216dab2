#include <gtest/gtest.h>

#include <limits>

#include "queries_fixture.h"
#include "store/debug_form.h"

using namespace quarn;
using namespace quarn::testing;

namespace {

const char* const kAncestor =
    "query ancestor(String $x, String $y) Parent($x, $y;) or Parent($x, $z;) ancestor($z, $y;) end";

std::string show(const std::vector<QueryRow>& rows) {
    std::string out;
    for (const QueryRow& r : rows) {
        out += "(" + std::to_string(r.arg_row);
        for (const Value& v : r.values) out += " " + debug(v);
        out += ")";
    }
    return out;
}

struct Site {
    FactStore store = make_store();
    std::vector<CompiledQuery> queries;
    QueryCache cache;

    explicit Site(const std::string& text) {
        auto q = compile_text(store, text);
        if (!q) throw std::runtime_error(q.error());
        queries = std::move(q.value());
    }

    // "error: <text>" or the rows.
    std::string ask(uint32_t q, const std::vector<QueryArgs>& rows) {
        auto r = run_site(store, queries, cache, q, rows);
        return r.ok() ? show(*r) : "error: " + r.error();
    }
};

QueryArgs args(std::initializer_list<std::optional<std::string>> strs) {
    QueryArgs out;
    for (const auto& s : strs) out.push_back(s ? std::optional<Value>(Value::str(*s)) : std::nullopt);
    return out;
}

}  // namespace

TEST(QueryMachine, AncestorRowsComeRecursiveFirstWithTheTopBaseRowInFront) {
    Site site(kAncestor);
    parent(site.store, "a", "b");
    parent(site.store, "b", "c");
    EXPECT_EQ(site.ask(0, {args({"a", std::nullopt})}), "(0 Str(\"a\") Str(\"b\"))(0 Str(\"a\") Str(\"c\"))");
}

TEST(QueryMachine, LongerChainsAnswerEveryDescendant) {
    Site site(kAncestor);
    parent(site.store, "a", "b");
    parent(site.store, "b", "c");
    parent(site.store, "c", "d");
    parent(site.store, "x", "y");
    // The answer for d reaches the top call site before the one for c (the
    // deeper level finishes first); the site hands its answers back newest
    // first, and each row is put in front.
    EXPECT_EQ(site.ask(0, {args({"a", std::nullopt})}),
              "(0 Str(\"a\") Str(\"b\"))(0 Str(\"a\") Str(\"d\"))(0 Str(\"a\") Str(\"c\"))");
    EXPECT_EQ(site.ask(0, {args({"a", "c"})}), "(0 Str(\"a\") Str(\"c\"))");
    EXPECT_EQ(site.ask(0, {args({"c", "a"})}), "");
}

TEST(QueryMachine, ChainAsLongAsTheIndexAllowsIsAnswered) {
    // 96 distinct parents fill the index of the parent pattern exactly.
    Site site(kAncestor);
    const int n = 96;
    for (int i = 0; i < n; ++i) parent(site.store, "n" + std::to_string(i), "n" + std::to_string(i + 1));
    auto r = run_site(site.store, site.queries, site.cache, 0, {args({"n0", "n" + std::to_string(n)})});
    ASSERT_TRUE(r.ok()) << r.error();
    ASSERT_EQ(r->size(), 1u);
    EXPECT_EQ(r->front().values[1], Value::str("n" + std::to_string(n)));
}

TEST(QueryMachine, RowsAreTaggedWithTheirArgumentRowAndDuplicatesKept) {
    Site site("query named(String $n, long $a) Person(name == $n, age == $a) end");
    person(site.store, "ann", 30);
    person(site.store, "bob", 40);
    person(site.store, "ann", 30);
    // Each branch takes the argument rows last first, so row 1's answer is the
    // oldest and ends up last.
    EXPECT_EQ(site.ask(0, {args({"ann", std::nullopt}), args({"bob", std::nullopt})}),
              "(0 Str(\"ann\") I64(30))(0 Str(\"ann\") I64(30))(1 Str(\"bob\") I64(40))");
}

TEST(QueryMachine, UnboundParameterFailsTheSite) {
    Site site("query either(String $a, String $b) Parent(parent == $a) or Parent(child == $b) end");
    parent(site.store, "a", "b");
    EXPECT_EQ(site.ask(0, {args({"a", std::nullopt})}), "error: ?query CE row left a param position unbound (D-057)");
    EXPECT_EQ(site.ask(0, {args({"a", "b"})}), "(0 Str(\"a\") Str(\"b\"))(0 Str(\"a\") Str(\"b\"))");
}

// The recursion goes hundreds of thousands of levels deep before the limit
// stops it: neither the walk nor the release of the caller chain may recurse.
TEST(QueryMachine, StepLimitStopsCyclicRecursion) {
    Site site(kAncestor);
    parent(site.store, "a", "b");
    parent(site.store, "b", "a");
    EXPECT_EQ(site.ask(0, {args({"a", std::nullopt})}),
              "error: query evaluation step limit exceeded (cyclic recursion data? D-055)");
}

TEST(QueryMachine, IndexHoldsAtMost96DistinctKeys) {
    const char* text = "query k(String $n) Person(name == $n, $a : age) Item(v == $a) end";
    for (int keys : {96, 97}) {
        Site site(text);
        person(site.store, "p", 5);
        for (int i = 0; i < keys; ++i) add(site.store, "Item", {Value::str("i"), Value::i64(i), Value::f64(0)});
        // Repeating a key adds no key.
        add(site.store, "Item", {Value::str("again"), Value::i64(5), Value::f64(0)});
        std::string got = site.ask(0, {args({"p"})});
        if (keys == 96) {
            EXPECT_EQ(got, "(0 Str(\"p\"))(0 Str(\"p\"))");
        } else {
            EXPECT_EQ(got, "error: query index exceeds 96 distinct keys (hash-table resize is out of subset, D-051)");
        }
    }
}

TEST(QueryMachine, KeyedLookupFindsOnlyEqualKeys) {
    Site site("query k(String $n) Person(name == $n, $a : age) Item($k : k, v == $a) end");
    person(site.store, "p", 5);
    add(site.store, "Item", {Value::str("five"), Value::i64(5), Value::f64(0)});
    add(site.store, "Item", {Value::str("six"), Value::i64(6), Value::f64(0)});
    add(site.store, "Item", {Value::str("five again"), Value::i64(5), Value::f64(0)});
    auto r = run_site(site.store, site.queries, site.cache, 0, {args({"p"})});
    ASSERT_TRUE(r.ok()) << r.error();
    EXPECT_EQ(r->size(), 2u);
}

TEST(QueryMachine, ParameterKeyedElementsSeeTheWholeIndex) {
    // With the key taken from a parameter every environment sees every
    // candidate, and unification does the filtering.
    Site site("query named(String $n) Person(name == $n) end");
    person(site.store, "ann", 1);
    person(site.store, "bob", 2);
    person(site.store, "ann", 3);
    EXPECT_EQ(site.ask(0, {args({"ann"})}), "(0 Str(\"ann\"))(0 Str(\"ann\"))");
    EXPECT_EQ(site.ask(0, {args({std::nullopt})}), "(0 Str(\"bob\"))(0 Str(\"ann\"))(0 Str(\"ann\"))");
}

TEST(QueryMachine, FlattenedIndexRunsBucketsInOrderNewestKeyFirstWithinABucket) {
    // Under this element's seed "t" and "bj" share bucket 8 and "s" is in
    // bucket 9. Candidates come newest first (s, bj, t), so t's key is the
    // newer one in bucket 8 and goes in front: the walk order is t, bj, s, and
    // each row is put in front of the earlier ones.
    Site site("query named(String $n) Person(name == $n) end");
    person(site.store, "t", 1);
    person(site.store, "bj", 2);
    person(site.store, "s", 3);
    EXPECT_EQ(site.ask(0, {args({std::nullopt})}), "(0 Str(\"s\"))(0 Str(\"bj\"))(0 Str(\"t\"))");
}

TEST(QueryMachine, KeyValuesAreEqualByBitPattern) {
    // A hundred NaN keys are one key of the index, not a hundred; the lookup
    // finds them, and unification (NaN == NaN is false) then rejects them.
    Site site("query nan(String $k) Item(k == $k, $w : w) Item(w == $w) end");
    const double nan = std::numeric_limits<double>::quiet_NaN();
    add(site.store, "Item", {Value::str("first"), Value::i64(0), Value::f64(nan)});
    for (int i = 0; i < 100; ++i) add(site.store, "Item", {Value::str("x"), Value::i64(i), Value::f64(nan)});
    EXPECT_EQ(site.ask(0, {args({"first"})}), "");
}

TEST(QueryMachine, LaterTestsOfASlotBoundByTheSameFactCompareWithIt) {
    // The first test naming an empty slot binds it from this fact; a later test
    // of the same slot compares with that value, bound or not at the call.
    Site site("query same(String $s) Parent(parent == $s, child == $s) end");
    parent(site.store, "a", "b");
    parent(site.store, "c", "c");
    EXPECT_EQ(site.ask(0, {args({std::nullopt})}), "(0 Str(\"c\"))");
    EXPECT_EQ(site.ask(0, {args({"a"})}), "");
    EXPECT_EQ(site.ask(0, {args({"c"})}), "(0 Str(\"c\"))");
}

TEST(QueryMachine, UnboundKeySlotSeesAllCandidates) {
    // `$v` comes back unbound from `loose` (its base branch never binds it), so
    // the keyed Item lookup has no value for it: the environment sees every
    // candidate and unification binds the slot.
    Site site(
        "query loose(long $a, long $b) Item(v == $a) or Item(v == $a) Person(age == $b) end "
        "query outer(long $a, String $k) loose($a, $v;) Item(v == $v, k == $k) end");
    add(site.store, "Item", {Value::str("x"), Value::i64(1), Value::f64(0)});
    add(site.store, "Item", {Value::str("y"), Value::i64(2), Value::f64(0)});
    QueryArgs row{Value::i64(1), std::nullopt};
    auto r = run_site(site.store, site.queries, site.cache, 1, {row});
    ASSERT_TRUE(r.ok()) << r.error();
    // Candidates newest first (y, then x); each row goes in front.
    ASSERT_EQ(r->size(), 2u);
    EXPECT_EQ((*r)[0].values, (std::vector<Value>{Value::i64(1), Value::str("x")}));
    EXPECT_EQ((*r)[1].values, (std::vector<Value>{Value::i64(1), Value::str("y")}));
}

TEST(QueryMachine, UnifyingAFloatArgumentWithAnIntegerFieldTruncates) {
    // The parameter's type is checked at compile time; the engine can still pass
    // a value of another type in its place.
    Site site("query w(long $d, String $n) Item(k == $n) Person(age == $d) end");
    add(site.store, "Item", {Value::str("i"), Value::i64(0), Value::f64(0)});
    person(site.store, "p", 2);
    QueryArgs row{Value::f64(2.9), Value::str("i")};
    auto r = run_site(site.store, site.queries, site.cache, 0, {row});
    ASSERT_TRUE(r.ok()) << r.error();
    EXPECT_EQ(r->size(), 1u);
    row[0] = Value::f64(-2.9);
    r = run_site(site.store, site.queries, site.cache, 0, {row});
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->size(), 0u);
    row[0] = Value::f64(1e300);
    r = run_site(site.store, site.queries, site.cache, 0, {row});
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->size(), 0u);
}

TEST(QueryMachine, NullLiteralsAreNullTests) {
    Site site(
        "query none(String $n) Person(name == $n, name == null) end "
        "query all(String $n) Person(name == $n, age != null) end");
    person(site.store, "p", 1);
    EXPECT_EQ(site.ask(0, {args({"p"})}), "");
    EXPECT_EQ(site.ask(1, {args({"p"})}), "(0 Str(\"p\"))");
}

TEST(QueryMachine, AlphaTestsFilterCandidates) {
    Site site(
        "query t(String $n) Person(name == $n, name matches \"a.*\", name contains \"n\", age in (1, 2), "
        "active == true) end");
    person(site.store, "ann", 1);
    person(site.store, "ana", 3);
    person(site.store, "bob", 1);
    person(site.store, "anne", 2, false);
    person(site.store, "andy", 2);
    EXPECT_EQ(site.ask(0, {args({std::nullopt})}), "(0 Str(\"andy\"))(0 Str(\"ann\"))");
}

TEST(QueryMachine, CallsPassLiteralsAndBindOutputs) {
    Site site(
        "query age_of(String $n, long $a) Person(name == $n, age == $a) end "
        "query ann_age(long $a) age_of(\"ann\", $a;) end");
    person(site.store, "ann", 7);
    person(site.store, "bob", 9);
    EXPECT_EQ(site.ask(1, {{std::nullopt}}), "(0 I64(7))");
    EXPECT_EQ(site.ask(1, {{Value::i64(9)}}), "");
}

TEST(QueryMachine, AVariablePassedTwiceTakesItsAnswerFromTheFirstPositionOnly) {
    // `$x` fills both parameters of `pick`. Branch 0 of `pick` binds only its
    // first parameter, branch 1 only its second. The answer of branch 1 leaves
    // position 0 unset, and the variable is settled by position 0 alone, so `$x`
    // comes back unbound and the Person element binds it to every person
    // ("b" before "a": its key has the lower bucket) instead of only to "b".
    Site site(
        "query pick(String $a, String $b) Parent(parent == $a) or Parent(child == $b) end "
        "query q(String $x) pick($x, $x;) Person(name == $x) end");
    parent(site.store, "a", "b");
    person(site.store, "a", 1);
    person(site.store, "b", 2);
    EXPECT_EQ(site.ask(1, {args({std::nullopt})}), "(0 Str(\"a\"))(0 Str(\"b\"))(0 Str(\"a\"))");
}

TEST(KeyHash, MatchesHandComputedValues) {
    // seed 0, Bool true: h = 1231; 1231 ^ (1231 >> 7) ^ (1231 >> 4) = 1162.
    EXPECT_EQ(key_hash(0, {Value::boolean(true)}), 1162u);
    // The seed enters as 31 * seed + 1231 before mixing.
    EXPECT_EQ(key_hash(7, {Value::boolean(true)}), 1529u);
    EXPECT_EQ(key_hash(993, {Value::null()}), 32587u);
    EXPECT_EQ(key_hash(993, {Value::dec(150, 2)}), 32587u);
    EXPECT_EQ(key_hash(993, {Value::i64(0)}), 32587u);
    // -1 folds to 0.
    EXPECT_EQ(key_hash(993, {Value::i64(-1)}), 32587u);
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
    TypeId person_type = *store.type_id("Person");

    CNode person_named;  // Person(name == $p)
    person_named.type_id = person_type;
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
    CArg pass_p{CArg::Kind::Var, Value(), 0};
    CArg zzz{CArg::Kind::Lit, Value::str("zzz"), 0};

    std::vector<CompiledQuery> queries(2);
    queries[0].name = "q0";
    queries[0].params = {{"$p", FieldType::str()}};
    queries[0].slot_count = 1;
    queries[0].branches = {{person_named, call(1, pass_p)}};
    queries[1].name = "q1";
    queries[1].params = {{"$p", FieldType::str()}};
    queries[1].slot_count = 1;
    // The second branch answers q0's call first; the first branch then walks q0
    // again with a name nobody has, reaching q0's call site with nothing.
    queries[1].branches = {{call(0, zzz)}, {person_named}};

    QueryCache cache;
    auto r = run_site(store, queries, cache, 0, {{Value::str("ann")}});
    ASSERT_TRUE(r.ok()) << r.error();
    EXPECT_EQ(show(*r), "(0 Str(\"ann\"))");
}
