// A fire's Firings, kept in words and rendered when read: each reads as the
// Firing rendered when it fired, whatever the facts became later, for every
// kind of cell, collection results and query rows, across many chunks, and
// after the engine is gone.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "schema_support.h"

using namespace quarn;
using quarn::test::i64_type;

namespace {

// Renders each firing when it fires, as fire_all once did.
struct RenderAtFiring final : FiringSink {
    const Engine* e = nullptr;
    std::vector<Firing> got;
    void fired(size_t rule, std::span<const FactId> facts) override {
        Firing f{e->rules[rule].def.name, {}};
        for (size_t p = 0; p < facts.size(); ++p) f.facts.push_back(e->render_fired_at(rule, p, facts[p]));
        got.push_back(std::move(f));
    }
};

// Floats by their bits: -0.0 is not 0.0, and a NaN is itself.
bool same_value(const Value& a, const Value& b) {
    if (a.tag() == ValueTag::F64 && b.tag() == ValueTag::F64)
        return std::bit_cast<uint64_t>(a.as_f64()) == std::bit_cast<uint64_t>(b.as_f64());
    return a == b;
}

std::string same_view(const FactView& a, const FactView& b) {
    if (a.type_name != b.type_name || a.id != b.id || a.fields.size() != b.fields.size())
        return "fact " + a.type_name + "#" + std::to_string(a.id) + " read as " + b.type_name + "#" + std::to_string(b.id);
    for (size_t i = 0; i < a.fields.size(); ++i)
        if (a.fields[i].first != b.fields[i].first || !same_value(a.fields[i].second, b.fields[i].second))
            return a.type_name + "#" + std::to_string(a.id) + " field " + a.fields[i].first + " differs";
    if (a.members.has_value() != b.members.has_value()) return a.type_name + " members differ";
    if (!a.members) return "";
    if (a.members->size() != b.members->size()) return a.type_name + " member count differs";
    for (size_t i = 0; i < a.members->size(); ++i) {
        const auto &x = (*a.members)[i], &y = (*b.members)[i];
        if (x.has_value() != y.has_value()) return a.type_name + " member presence differs";
        if (x)
            if (std::string d = same_view(*x, *y); !d.empty()) return d;
    }
    return "";
}

void expect_reads_as(const Firings& kept, const std::vector<Firing>& want) {
    ASSERT_EQ(kept.size(), want.size());
    size_t i = 0;
    for (const Firing& f : kept) {
        SCOPED_TRACE("firing " + std::to_string(i));
        ASSERT_EQ(f.rule, want[i].rule);
        ASSERT_EQ(f.facts.size(), want[i].facts.size());
        for (size_t p = 0; p < f.facts.size(); ++p) ASSERT_EQ(same_view(f.facts[p], want[i].facts[p]), "");
        ++i;
    }
}

// Counters stepped along a chain by modify, so that every fact a firing shows
// changes after it fires: Tick keeps its cells in words, Note (text, decimal,
// nullable) as values. A collection result and a ?query call show as rendered.
std::vector<TypeSchema> types() {
    return {TypeSchema{"Tick", {{"v", FieldType::i64()}, {"f", FieldType::f64()}, {"b", FieldType::boolean()}}, 0},
            TypeSchema{"TStep",
                       {{"from", FieldType::i64()}, {"to", FieldType::i64()}, {"f", FieldType::f64()},
                        {"b", FieldType::boolean()}},
                       0},
            TypeSchema{"Note", {{"v", FieldType::i64()}, {"s", FieldType::str()}, {"d", FieldType::dec(10, 2)}}, 0b110},
            TypeSchema{"NStep",
                       {{"from", FieldType::i64()}, {"to", FieldType::i64()}, {"s", FieldType::str()},
                        {"d", FieldType::dec(10, 2)}},
                       0b1100},
            i64_type("Store", {"id"}),
            i64_type("Item", {"k", "v"}),
            i64_type("P", {"x"}),
            i64_type("G", {"s", "t"})};
}

constexpr const char* kRules =
    "query two(long $a, long $b) G(s == $a, t == $b) end\n"
    "rule tick when $c : Tick($v : v) TStep(from == $v, $t : to, $f : f, $b : b)\n"
    "  then modify($c) { setV($t), setF($f), setB($b) } end\n"
    "rule note when $c : Note($v : v) NStep(from == $v, $t : to, $s : s, $d : d)\n"
    "  then modify($c) { setV($t), setS($s), setD($d) } end\n"
    "rule co salience 5 when Store() $all : List() from collect(Item(v > 0)) then end\n"
    "rule q salience 5 when $p : P($x : x) ?two($x, $b;) then end\n";

Engine make() {
    Engine e = std::move(Engine::create(types())).value();
    EngineStatus loaded = e.add_rules_text(kRules);
    EXPECT_TRUE(loaded) << loaded.error().message;
    return e;
}

void put(Engine& e, const std::string& type, std::vector<std::pair<std::string, Value>> row) {
    EngineResult<FactId> f = e.insert(type, std::move(row));
    ASSERT_TRUE(f) << f.error().message;
}

// `ticks` counters walked over `steps` steps, three Notes over text and
// decimal steps with nulls, a collection and a query answer.
void load(Engine& e, int ticks, int steps) {
    const double floats[] = {0.5, -0.0, 0.0, std::nan(""), -1e300, 3.25};
    for (int i = 0; i < steps; ++i)
        put(e, "TStep",
            {{"from", Value::i64(i)}, {"to", Value::i64(i + 1)}, {"f", Value::f64(floats[i % 6])},
             {"b", Value::boolean(i % 3 == 0)}});
    for (int i = 0; i < ticks; ++i)
        put(e, "Tick", {{"v", Value::i64(0)}, {"f", Value::f64(-2.5)}, {"b", Value::boolean(false)}});
    for (int i = 0; i < 4; ++i)
        put(e, "NStep",
            {{"from", Value::i64(i)}, {"to", Value::i64(i + 1)},
             {"s", i == 2 ? Value::null() : Value::str(std::string(i * 9, 'x') + "é")},
             {"d", i == 1 ? Value::null() : Value::dec(150 * i - 7, 2)}});
    for (int i = 0; i < 3; ++i)
        put(e, "Note", {{"v", Value::i64(0)}, {"s", Value::str("start")}, {"d", Value::null()}});
    put(e, "Store", {{"id", Value::i64(1)}});
    for (int i = 0; i < 3; ++i) put(e, "Item", {{"k", Value::i64(i)}, {"v", Value::i64(i)}});
    put(e, "P", {{"x", Value::i64(4)}});
    put(e, "G", {{"s", Value::i64(4)}, {"t", Value::i64(8)}});
}

}  // namespace

TEST(Firings, ReadAsRenderedWhenTheyFiredThroughLaterChangesAndManyChunks) {
    // 60 counters over 150 steps: 9,000 firings of 10 words, past the
    // small first chunks into one of the largest size.
    for (const auto& [ticks, steps] : {std::pair{1, 3}, std::pair{60, 150}}) {
        SCOPED_TRACE(std::to_string(ticks) + " counters");
        Engine reference = make(), kept = make();
        load(reference, ticks, steps);
        load(kept, ticks, steps);
        RenderAtFiring sink;
        sink.e = &reference;
        reference.firing_sink = &sink;
        ASSERT_TRUE(reference.fire_all(1'000'000));
        EngineResult<Firings> fired = kept.fire_all(1'000'000);
        ASSERT_TRUE(fired) << fired.error().message;
        ASSERT_EQ(sink.got.size(), size_t(ticks * steps + 3 * 4 + 2));
        expect_reads_as(*fired, sink.got);
        // A copy reads the same; so does indexing, front and back.
        const Firings copy = *fired;
        expect_reads_as(copy, sink.got);
        for (size_t i : {size_t{0}, sink.got.size() / 2, sink.got.size() - 1})
            EXPECT_EQ(same_view(copy[i].facts.back(), sink.got[i].facts.back()), "");
        EXPECT_EQ(fired->front().rule, sink.got.front().rule);
        EXPECT_EQ(fired->back().rule, sink.got.back().rule);
    }
}

TEST(Firings, OutliveTheirEngineAndKeepTheNamesOfTheirFire) {
    auto e = std::make_unique<Engine>(make());
    load(*e, 2, 3);
    EngineResult<Firings> first = e->fire_all(1000);
    ASSERT_TRUE(first);
    // Rules added later (into an emptied working memory) do not rename what
    // an earlier fire kept, and a later fire shows the new rule by its name.
    ASSERT_TRUE(e->reset());
    ASSERT_TRUE(e->add_rules_text("rule late salience 9 when $s : Store() then end\n"));
    put(*e, "Store", {{"id", Value::i64(2)}});
    EngineResult<Firings> second = e->fire_all(1000);
    ASSERT_TRUE(second);
    e.reset();

    ASSERT_EQ(first->size(), 2u * 3 + 3 * 4 + 2);
    Firing last_tick;
    for (const Firing& f : *first)
        if (f.rule == "tick") last_tick = f;
    EXPECT_EQ(first->front().rule, "co");
    ASSERT_EQ(last_tick.facts.size(), 2u);
    EXPECT_EQ(last_tick.facts[0].type_name, "Tick");
    EXPECT_EQ(last_tick.facts[0].fields[0].first, "v");
    EXPECT_EQ(last_tick.facts[0].fields[0].second, Value::i64(3));
    ASSERT_GE(second->size(), 1u);
    EXPECT_EQ(second->front().rule, "late");
    EXPECT_EQ(second->front().facts.at(0).type_name, "Store");
    EXPECT_THROW((void)first->at(first->size()), std::out_of_range);
    EXPECT_TRUE(Firings{}.empty());
}
