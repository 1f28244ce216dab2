// What a fire reports besides its firings, and an engine that a failure in the
// middle of a change leaves broken.
#include <gtest/gtest.h>

#include <functional>
#include <new>

#include "common/internal_error.h"
#include "engine/engine.h"

using namespace quarn;

namespace {

using Row = std::vector<std::pair<std::string, Value>>;

// P(n: I64), Q(k: I64), Alert(n: I64).
Engine make_engine(std::string_view rules) {
    std::vector<TypeSchema> types = {
        TypeSchema{"P", {{"n", FieldType::i64()}}, 0},
        TypeSchema{"Q", {{"k", FieldType::i64()}}, 0},
        TypeSchema{"Alert", {{"n", FieldType::i64()}}, 0},
    };
    Engine e = *Engine::create(std::move(types));
    EngineStatus loaded = e.add_rules_text(rules);
    EXPECT_TRUE(loaded) << loaded.error().message;
    return e;
}

Row p_row(int64_t n) { return {{"n", Value::i64(n)}}; }

// Fails the firing loop at its first firing.
class FailingSink final : public FiringSink {
public:
    explicit FailingSink(bool out_of_memory) : out_of_memory_(out_of_memory) {}
    void fired(size_t, TupleView) override {
        if (out_of_memory_) throw std::bad_alloc();
        invariant_broken("sink gave up");
    }

private:
    bool out_of_memory_;
};

// What `call` threw: "bad_alloc", the InternalError's text, or "nothing".
std::string thrown_by(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::bad_alloc&) {
        return "bad_alloc";
    } catch (const InternalError& e) {
        return e.what();
    } catch (...) {
        return "another exception";
    }
    return "nothing";
}

// Every operation on working memory, each as a call that throws or not.
std::vector<std::pair<std::string, std::function<void()>>> every_call(Engine& e) {
    const TypeId p = *e.store.type_id("P");
    return {
        {"insert", [&e, p] { (void)e.insert("P", p_row(9)); }},
        {"insert_into", [&e, p] { (void)e.insert_into("P", p_row(9), std::nullopt); }},
        {"prepare_insert", [&e, p] { (void)e.prepare_insert("P", p_row(9), std::nullopt); }},
        {"insert_prepared", [&e, p] { (void)e.insert_prepared(PreparedInsert{p, 0, {Value::i64(9)}}); }},
        {"insert_columns",
         [&e, p] {
             std::vector<Column> c(1);
             c[0].cells = std::vector<int64_t>{9};
             (void)e.insert_columns(p, std::move(c), 1);
         }},
        {"update_fact", [&e, p] { (void)e.update_fact(0, p_row(5)); }},
        {"delete_fact", [&e, p] { (void)e.delete_fact(0); }},
        {"advance", [&e, p] { (void)e.advance(1); }},
        {"reset", [&e, p] { (void)e.reset(); }},
        {"fire_all", [&e, p] { (void)e.fire_all(10); }},
        {"facts", [&e, p] { (void)e.facts(); }},
        {"fact_ids", [&e, p] { (void)e.fact_ids(); }},
        {"fact_ids_of_type", [&e, p] { (void)e.fact_ids_of_type(p); }},
        {"fact_type_name", [&e, p] { (void)e.fact_type_name(0); }},
    };
}

constexpr std::string_view kFlagRules =
    "rule flag when $p : P($n : n, n > 100) then insert(new Alert($n)); delete($p); end\n"
    "rule drop when $q : Q(k == 0) $p : P(n == 1) then delete($p); delete($q); end\n";

}  // namespace

TEST(FireReport, NamesTheListedFactsTheFireDeletedAndWhereItsOwnFactsBegin) {
    Engine e = make_engine(kFlagRules);
    for (int64_t n : {1, 2, 3}) ASSERT_TRUE(e.insert("P", p_row(n)));
    ASSERT_TRUE(e.insert("Q", {{"k", Value::i64(0)}}));
    FireReport report;
    ASSERT_EQ(e.fire_all(100, &report)->size(), 1u);
    // The fire began with four facts (and InitialFact, if a rule needed it).
    EXPECT_EQ(report.start_fact_count, 4u);
    EXPECT_EQ(report.deleted, (std::vector<FactId>{0, 3}));

    // A fact the fire inserted and deleted itself was never there before it.
    ASSERT_TRUE(e.insert("P", p_row(500)));  // 4: Alert 5, then deleted
    ASSERT_TRUE(e.insert("P", p_row(7)));    // 5 stays
    ASSERT_TRUE(e.insert("P", p_row(300)));  // 6: Alert 7
    report = FireReport{{}, {42}};
    ASSERT_EQ(e.fire_all(100, &report)->size(), 2u);
    EXPECT_EQ(report.start_fact_count, 7u);
    EXPECT_EQ(report.deleted, (std::vector<FactId>{4, 6}));
    EXPECT_EQ(e.fact_ids(), (std::vector<FactId>{1, 2, 5, 7, 8}));

    // Deletes between fires belong to no fire.
    ASSERT_TRUE(e.delete_fact(1));
    ASSERT_TRUE(e.fire_all(100, &report));
    EXPECT_EQ(report.start_fact_count, 9u);
    EXPECT_EQ(report.deleted, std::vector<FactId>{});
}

TEST(FireReport, LeavesOutFactsThatResultsDoNotList) {
    // A fact of a named entry point dies in the fire without showing in its
    // report, as it shows in no result table.
    Engine e = make_engine(
        "rule gone when $p : P() from entry-point \"side\" then delete($p); end\n"
        "rule two when $p : P(n == 2) then delete($p); end\n");
    const FactId side = *e.insert_into("P", p_row(1), "side");
    const FactId listed = *e.insert("P", p_row(2));
    FireReport report;
    ASSERT_EQ(e.fire_all(100, &report)->size(), 2u);
    EXPECT_FALSE(e.store.is_alive(side));
    EXPECT_EQ(report.deleted, (std::vector<FactId>{listed}));
    EXPECT_EQ(report.start_fact_count, e.store.fact_count());
}

class BrokenEngine : public ::testing::TestWithParam<bool> {};

TEST_P(BrokenEngine, AFailureInsideTheFiringLoopBreaksTheEngineForEveryLaterCall) {
    const bool oom = GetParam();
    const std::string cause = oom ? "bad_alloc" : "internal error: sink gave up";
    Engine e = make_engine(kFlagRules);
    ASSERT_TRUE(e.insert("P", p_row(200)));
    FailingSink sink(oom);
    e.firing_sink = &sink;
    EXPECT_EQ(thrown_by([&] { (void)e.fire_all(10); }), cause);
    e.firing_sink = nullptr;
    ASSERT_TRUE(e.broken_state.failure());
    EXPECT_EQ(e.broken_state.failure()->out_of_memory, oom);
    EXPECT_EQ(e.broken_state.failure()->message, oom ? "" : cause);
    const size_t facts = e.store.fact_count();
    for (auto& [name, call] : every_call(e)) EXPECT_EQ(thrown_by(call), cause) << name;
    // Refused calls change nothing, and the first failure stays the cause.
    EXPECT_EQ(e.store.fact_count(), facts);
    EXPECT_EQ(e.broken_state.failure()->message, oom ? "" : cause);
}

INSTANTIATE_TEST_SUITE_P(OutOfMemoryOrInvariant, BrokenEngine, ::testing::Bool());

TEST(BrokenEngine, ErrorsAndRefusalsLeaveTheEngineWorking) {
    Engine e = make_engine(kFlagRules);
    ASSERT_TRUE(e.insert("P", p_row(200)));
    EXPECT_FALSE(e.insert("P", {{"n", Value::str("x")}}));
    EXPECT_FALSE(e.update_fact(0, {{"m", Value::i64(1)}}));
    EXPECT_FALSE(e.delete_fact(77));
    EXPECT_FALSE(e.advance(-1));
    EXPECT_FALSE(e.fire_all(0));
    EXPECT_FALSE(e.broken_state.failure());
    for (auto& [name, call] : every_call(e)) EXPECT_EQ(thrown_by(call), "nothing") << name;
}

TEST(BrokenEngine, ColumnsTheStoreRefusesBreakTheEngineBeforeAndAfterTheFirstFire) {
    // The caller promises cells of each field's kind; an I64 column for an
    // F64 field breaks the promise. Once the engine propagates as it stores,
    // the rows before the refused one are in: the insert is half done.
    for (bool fired : {false, true}) {
        std::vector<TypeSchema> types = {TypeSchema{"M", {{"v", FieldType::f64()}}, 0}};
        Engine e = *Engine::create(std::move(types));
        ASSERT_TRUE(e.add_rules_text("rule pos when $m : M(v > 0) then end\n"));
        ASSERT_TRUE(e.insert("M", {{"v", Value::f64(1.5)}}));
        if (fired) {
            ASSERT_EQ(e.fire_all(10)->size(), 1u);
        }
        std::vector<Column> c(1);
        c[0].cells = std::vector<int64_t>{1, 2};
        const std::string cause = std::string("internal error: the row check and the engine disagree: ") +
                                  (fired ? "column type mismatch for value I64(1)" : "type M: column 0 does not fit field v");
        EXPECT_EQ(thrown_by([&] { (void)e.insert_columns(0, std::move(c), 2); }), cause);
        EXPECT_EQ(thrown_by([&] { (void)e.insert("M", {{"v", Value::f64(2.5)}}); }), cause);
    }
}
