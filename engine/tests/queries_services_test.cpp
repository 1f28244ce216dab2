#include <gtest/gtest.h>

#include "queries_fixture.h"

using namespace quarn;
using namespace quarn::testing;

TEST(QueryCache, FirstDrainIsNewestFirstAndLaterBatchesFollowSurvivors) {
    Site s("query q(String $n) Person(name == $n) end");
    // Persons at FactIds 3, 5 and 7, other facts in between.
    for (FactId f = 0; f < 8; ++f) {
        FactId got = (f == 3 || f == 5 || f == 7) ? person(s.store, "p", f) : parent(s.store, "x", "y");
        ASSERT_EQ(got, f);
    }
    EXPECT_EQ(s.drain(0, 0, 0), (std::vector<FactId>{7, 5, 3}));
    s.store.remove(5);
    parent(s.store, "x", "y");
    FactId nine = person(s.store, "p", 9);
    ASSERT_EQ(nine, 9u);
    EXPECT_EQ(s.drain(0, 0, 0), (std::vector<FactId>{7, 3, 9}));
    // The cache keeps its state between drains.
    EXPECT_EQ(s.cache.at({0, 0, 0}), (std::vector<FactId>{7, 3, 9}));
}

TEST(QueryCache, UpdatedFactsLeaveAndRejoinByTheirAlphaTests) {
    Site s("query q(String $n) Person(name == $n, age > 10) end");
    FactId a = person(s.store, "a", 20);
    FactId b = person(s.store, "b", 30);
    FactId c = person(s.store, "c", 5);
    EXPECT_EQ(s.drain(0, 0, 0), (std::vector<FactId>{b, a}));
    ASSERT_TRUE(s.store.set_value(b, 1, Value::i64(1)).ok());
    ASSERT_TRUE(s.store.set_value(c, 1, Value::i64(50)).ok());
    EXPECT_EQ(s.drain(0, 0, 0), (std::vector<FactId>{a, c}));
    // b comes back as new, behind the survivors.
    ASSERT_TRUE(s.store.set_value(b, 1, Value::i64(11)).ok());
    EXPECT_EQ(s.drain(0, 0, 0), (std::vector<FactId>{a, c, b}));
}

TEST(QueryCache, DrainQueryRefreshesEveryPatternElementOnly) {
    Site s(
        "query r(String $n) Person(name == $n) end "
        "query q(String $n) Parent(parent == $n) r($n;) or Person(name == $n, active == false) end");
    FactId p = parent(s.store, "a", "b");
    person(s.store, "a", 1, true);
    FactId idle = person(s.store, "a", 1, false);
    drain_query(s.store, s.queries, s.cache, 1);
    EXPECT_EQ(s.cache.size(), 2u);
    EXPECT_EQ(s.cache.at({1, 0, 0}), (std::vector<FactId>{p}));
    EXPECT_EQ(s.cache.at({1, 1, 0}), (std::vector<FactId>{idle}));
    EXPECT_FALSE(s.cache.contains({1, 0, 1}));
    EXPECT_FALSE(s.cache.contains({0, 0, 0}));
}

TEST(QueryDependencies, AscendingOncePerQueryRootsIncluded) {
    Site s(
        "query q0(String $n) Person(name == $n) end "
        "query q1(String $n) q0($n;) end "
        "query q2(String $n) Person(name == $n) end "
        "query top(String $n) q2($n;) q1($n;) end "
        "query anc(String $x, String $y) Parent($x, $y;) or Parent($x, $z;) anc($z, $y;) end");
    EXPECT_EQ(dependencies(s.queries, {3}), (std::vector<uint32_t>{0, 1, 2, 3}));
    EXPECT_EQ(dependencies(s.queries, {4}), (std::vector<uint32_t>{4}));
    EXPECT_EQ(dependencies(s.queries, {2, 1, 2}), (std::vector<uint32_t>{0, 1, 2}));
    EXPECT_EQ(dependencies(s.queries, {}), (std::vector<uint32_t>{}));
}

TEST(QueryLinked, SomeBranchNeedsAPassingFactForEachPattern) {
    Site s(
        "query r(String $n) Person(name == $n, age > 3) end "
        "query calls_only(String $n) r($n;) end "
        "query two(String $n) Person(name == $n) Parent(parent == $n) or Parent(child == $n, parent == \"root\") end");
    // A branch of calls only is linked at once, even over an empty store.
    EXPECT_TRUE(query_linked(s.store, s.queries, 1));
    EXPECT_FALSE(query_linked(s.store, s.queries, 0));
    EXPECT_FALSE(query_linked(s.store, s.queries, 2));

    FactId young = person(s.store, "a", 1);
    EXPECT_FALSE(query_linked(s.store, s.queries, 0));
    ASSERT_TRUE(s.store.set_value(young, 1, Value::i64(4)).ok());
    EXPECT_TRUE(query_linked(s.store, s.queries, 0));
    s.store.remove(young);
    EXPECT_FALSE(query_linked(s.store, s.queries, 0));

    // First branch: a Person but no Parent yet; second branch: no root parent.
    person(s.store, "a", 1);
    FactId pa = parent(s.store, "x", "a");
    EXPECT_TRUE(query_linked(s.store, s.queries, 2));  // joins are not tried
    s.store.remove(pa);
    EXPECT_FALSE(query_linked(s.store, s.queries, 2));
    parent(s.store, "root", "a");
    EXPECT_TRUE(query_linked(s.store, s.queries, 2));
}

TEST(QueryRowTypes, OnePerQueryNamedAfterItWithTheParametersAsFields) {
    Site s(
        "query a(String $n, long $x) Person(name == $n, age == $x) end "
        "query b() Person() end");
    size_t before = s.store.type_count();
    std::vector<TypeId> ids = *declare_row_types(s.store, s.queries);
    ASSERT_EQ(ids, (std::vector<TypeId>{static_cast<TypeId>(before), static_cast<TypeId>(before + 1)}));
    const TypeSchema& a = s.store.schema(ids[0]);
    EXPECT_EQ(a.name, "__qrow$a");
    EXPECT_EQ(a.fields, (std::vector<std::pair<std::string, FieldType>>{{"$n", FieldType::str()}, {"$x", FieldType::i64()}}));
    EXPECT_EQ(a.nullable, 0u);
    EXPECT_EQ(s.store.schema(ids[1]).name, "__qrow$b");
    EXPECT_TRUE(s.store.schema(ids[1]).fields.empty());
}
