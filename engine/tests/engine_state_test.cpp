#include <gtest/gtest.h>

#include <tuple>

#include "engine/engine.h"
#include "store/debug_form.h"

using namespace quarn;

namespace {

TypeSchema schema(std::string name, size_t fields = 1) {
    TypeSchema s{std::move(name), {}, 0};
    for (size_t i = 0; i < fields; ++i) s.fields.emplace_back("f" + std::to_string(i), FieldType::i64());
    return s;
}

std::string create_error(std::vector<TypeSchema> schemas) {
    EngineResult<Engine> e = Engine::create(std::move(schemas));
    return e ? "ok" : e.error().message;
}

std::vector<std::string> type_names(const Engine& e) {
    std::vector<std::string> names;
    for (TypeId t = 0; t < e.store.type_count(); ++t) names.push_back(e.store.schema(t).name);
    return names;
}

std::string listing(const std::vector<FactView>& facts) {
    std::string out;
    for (const FactView& v : facts) {
        out += v.type_name + "#" + std::to_string(v.id);
        for (const auto& [name, value] : v.fields) out += " " + name + "=" + debug(value);
        out += ";";
    }
    return out;
}

}  // namespace

TEST(EngineState, CreateRefusesRepeatedReservedAndWideTypes) {
    struct Case {
        std::vector<TypeSchema> schemas;
        std::string expected;
    };
    const Case cases[] = {
        {{schema("A"), schema("B"), schema("A")}, "duplicate type A"},
        {{schema("Decimal")}, "type name Decimal is reserved"},
        {{schema("InitialFact")}, "type name InitialFact is reserved"},
        {{schema("SetCollection")}, "type name SetCollection is reserved"},
        {{schema("__qrow$q")}, "type name __qrow$q is reserved"},
        // A reserved name fails at its first occurrence, before it could repeat.
        {{schema("Long"), schema("Long")}, "type name Long is reserved"},
        {{schema("__gbrow$r$0")}, "ok"},
        {{schema("long")}, "ok"},
        {{schema("W", 64)}, "ok"},
        {{schema("W", 65)}, "type W: more than 64 fields"},
    };
    for (const Case& c : cases) EXPECT_EQ(create_error(c.schemas), c.expected) << c.expected;
}

TEST(EngineState, BuiltInTypesFollowTheDeclaredOnesInOrder) {
    Engine e = *Engine::create({schema("B"), schema("A")});
    EXPECT_EQ(type_names(e), (std::vector<std::string>{"B", "A", "InitialFact", "Long", "Double", "Collection",
                                                        "SetCollection", "Decimal"}));
    TypeId dec = *e.store.type_id("Decimal");
    EXPECT_EQ(debug(e.store.field_type(dec, 0)), "Dec { p: 38, s: 0 }");
    EXPECT_EQ(e.store.schema(*e.store.type_id("Long")).fields[0].first, "value");
    EXPECT_EQ(e.entry_point_names, std::vector<std::string>{"DEFAULT"});
    EXPECT_EQ(EngineError{"x"}.display(), "engine error: x");
}

TEST(EngineState, FactsListOnlyUserFactsOfTheDefaultEntryPoint) {
    Engine e = *Engine::create({schema("A"), schema("Row"), schema("Grp")});
    e.qrow_types = {1};
    e.gbrow_types = {2};
    auto add = [&](const char* type, std::vector<Value> values) {
        return *e.store.insert(*e.store.type_id(type), std::move(values));
    };
    add("A", {Value::i64(1)});                 // 0
    add("InitialFact", {});                    // 1
    add("Long", {Value::i64(7)});              // 2
    add("Row", {Value::i64(3)});               // 3
    add("A", {Value::i64(4)});                 // 4: named entry point
    add("Grp", {Value::i64(5)});               // 5
    add("A", {Value::i64(6)});                 // 6: deleted
    add("Decimal", {Value::dec(1, 0)});        // 7
    add("A", {Value::i64(8)});                 // 8
    e.store.entry_points = {0, 0, 0, 0, 1};
    e.store.remove(6);
    EXPECT_EQ(listing(e.facts()), "A#0 f0=I64(1);A#8 f0=I64(8);");
}

TEST(EngineState, FactTypeNameKnowsLiveDeadAndNeverIssuedHandles) {
    Engine e = *Engine::create({schema("A")});
    FactId a = *e.store.insert(0, {Value::i64(1)});
    FactId b = *e.store.insert(0, {Value::i64(2)});
    e.store.remove(b);
    EXPECT_EQ(**e.fact_type_name(a), "A");
    EXPECT_EQ(*e.fact_type_name(b), std::nullopt);
    EngineResult<std::optional<std::string>> unknown = e.fact_type_name(2);
    ASSERT_FALSE(unknown.ok());
    EXPECT_EQ(unknown.error().message, "unknown handle 2");
    EXPECT_FALSE(e.fact_type_name(4000000000u).ok());
}

TEST(EngineState, ResetEmptiesWorkingMemoryAndNumbersTheInitialFactZeroAgain) {
    Engine e = *Engine::create({schema("A")});
    CompiledRule r;
    r.def.name = "r";
    r.patterns.push_back(CompiledPattern{});
    r.patterns[0].type_id = *e.store.type_id("InitialFact");
    e.rules.push_back(r);
    e.queries.resize(2);
    e.logical_types.insert(0);
    ASSERT_TRUE(e.store.insert(0, {Value::i64(1)}).ok());
    ASSERT_TRUE(e.store.insert(0, {Value::i64(2)}).ok());
    e.clock = 500;
    e.immediate = true;
    e.act_seq = 9;
    e.input_seq = 4;
    e.fire_calls = 5;
    e.step_count = 6;
    e.timer_seq = 7;
    e.build_shadows = false;
    e.focus_stack = {"g"};
    e.pending_error = "boom";
    e.store.entry_points = {0, 1};
    e.expired_queue = {1};
    e.tuples.intern(std::vector<FactId>{0, 1});

    ASSERT_TRUE(e.reset().ok());
    EXPECT_EQ(e.store.fact_count(), 1u);
    EXPECT_EQ(e.initial_fact, std::optional<FactId>(0));
    EXPECT_EQ(**e.fact_type_name(0), "InitialFact");
    EXPECT_EQ(std::make_tuple(e.clock, e.immediate, e.act_seq, e.input_seq), std::make_tuple(0, false, 0u, 4u));
    EXPECT_TRUE(e.focus_stack.empty() && e.store.entry_points.empty() && e.expired_queue.empty() && !e.pending_error);
    EXPECT_EQ(e.linked_queries, (std::vector<uint8_t>{0, 0}));
    EXPECT_EQ(e.logical_types.count(0), 1u);  // compiled state survives
    // So do the session's counters and its switches.
    EXPECT_EQ(std::make_tuple(e.fire_calls, e.step_count, e.timer_seq, e.build_shadows),
              std::make_tuple(5u, 6u, 7u, false));
    EXPECT_EQ(e.nets.size(), 1u);
    EXPECT_EQ(e.tuples.count(), TupleTable().count());

    // Without a rule that needs it, no InitialFact: the next fact gets handle 0.
    e.rules.clear();
    ASSERT_TRUE(e.reset().ok());
    EXPECT_EQ(e.initial_fact, std::nullopt);
    EXPECT_EQ(*e.store.insert(0, {Value::i64(3)}), 0u);
}
