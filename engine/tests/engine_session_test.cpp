// The engine's public face: what Session adds to the engine behind it (the
// sink handed over for one fire only, the reads of rule names and collection
// members).
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "common/internal_error.h"
#include "engine/session.h"

using namespace quarn;

namespace {

Session make_session(const char* rules) {
    TypeSchema store{"Store", {{"id", FieldType::i64()}}, 0};
    TypeSchema item{"Item", {{"k", FieldType::i64()}, {"v", FieldType::i64()}}, 0b10};
    EngineResult<Session> made = Session::create({store, item});
    EXPECT_TRUE(made.ok());
    EngineStatus loaded = made->add_rules_text(rules);
    EXPECT_TRUE(loaded.ok()) << loaded.error().message;
    return std::move(made).value();
}

struct Recorder : FiringSink {
    const Session* session = nullptr;
    std::vector<std::string> seen;
    bool throw_at_first = false;
    void fired(size_t rule, std::span<const FactId> facts) override {
        if (throw_at_first) throw std::runtime_error("sink gave up");
        std::string line = session->rule_name(rule) + ":";
        for (FactId f : facts) line += " " + std::to_string(f);
        seen.push_back(line);
    }
};

}  // namespace

TEST(Session, ASinkTakesOneFireOnlyAndOneThatThrowsBreaksTheSession) {
    Session s = make_session("rule a salience 2 when $s : Store() then end\n"
                             "rule b when $s : Store($id : id) $i : Item(k == $id) then end\n");
    ASSERT_TRUE(s.insert("Store", {{"id", Value::i64(2)}}).ok());
    ASSERT_TRUE(s.insert("Item", {{"k", Value::i64(2)}, {"v", Value::null()}}).ok());
    Recorder sink;
    sink.session = &s;
    FireReport report;
    ASSERT_TRUE(s.fire_all(100, sink, &report).ok());
    EXPECT_EQ(sink.seen, (std::vector<std::string>{"a: 0", "b: 0 1"}));
    EXPECT_EQ(report.start_fact_count, 2u);

    // The next fire renders its firings: the sink was the last fire's only.
    ASSERT_TRUE(s.insert("Store", {{"id", Value::i64(3)}}).ok());
    EngineResult<Firings> rendered = s.fire_all(100);
    ASSERT_TRUE(rendered.ok());
    ASSERT_EQ(rendered->size(), 1u);
    EXPECT_EQ((*rendered)[0].rule, "a");
    EXPECT_EQ(sink.seen.size(), 2u);
    EXPECT_FALSE(s.failure().has_value());

    // A sink that throws stops the fire midway: the session is broken, says
    // by what, and refuses the next call with it.
    Recorder thrower;
    thrower.throw_at_first = true;
    ASSERT_TRUE(s.insert("Store", {{"id", Value::i64(4)}}).ok());
    EXPECT_THROW((void)s.fire_all(100, thrower), std::runtime_error);
    ASSERT_TRUE(s.failure().has_value());
    EXPECT_EQ(s.failure()->message, "internal error: sink gave up");
    EXPECT_THROW((void)s.insert("Store", {{"id", Value::i64(5)}}), InternalError);
}

TEST(Session, CollectionResultsShowTheirMembersAndOtherFactsNone) {
    Session s = make_session(
        "rule co when Store() $all : List() from collect(Item(v > 0)) then end\n"
        "rule cl when Store($id : id) accumulate(Item(k == $id, $v : v); $l : collectList($v)) then end\n");
    ASSERT_TRUE(s.insert("Store", {{"id", Value::i64(1)}}).ok());
    const FactId item = *s.insert("Item", {{"k", Value::i64(1)}, {"v", Value::i64(7)}});
    ASSERT_TRUE(s.insert("Item", {{"k", Value::i64(2)}, {"v", Value::i64(0)}}).ok());
    std::vector<FactId> results;
    struct Results : FiringSink {
        std::vector<FactId>* out;
        void fired(size_t, std::span<const FactId> facts) override { out->push_back(facts.back()); }
    } sink;
    sink.out = &results;
    ASSERT_TRUE(s.fire_all(100, sink).ok());
    ASSERT_EQ(results.size(), 2u);
    const std::vector<FactId>* members = s.collect_members(results[0]);
    const std::vector<Value>* values = s.collect_values(results[1]);
    ASSERT_NE(members, nullptr);
    ASSERT_NE(values, nullptr);
    EXPECT_EQ(*members, std::vector<FactId>{item});
    EXPECT_EQ(*values, std::vector<Value>{Value::i64(7)});
    EXPECT_EQ(s.collect_members(item), nullptr);
    EXPECT_EQ(s.collect_values(item), nullptr);
    EXPECT_EQ(s.collect_members(results[1]), nullptr);
}
