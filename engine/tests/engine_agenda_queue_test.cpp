#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/engine.h"

using namespace quarn;

namespace {

Engine engine_with(const std::vector<std::string>& texts) {
    Engine e = std::move(Engine::create({{"T", {{"n", FieldType::i64()}}, 0}})).value();
    for (const std::string& text : texts) {
        EngineStatus loaded = e.add_rules_text(text);
        EXPECT_TRUE(loaded) << loaded.error().message;
    }
    return e;
}

}  // namespace

// Among constant-salience rules the queue gives the highest salience first,
// then the smallest agenda order (which restarts in every rule text), then
// the first in rule order; a rule its caller refuses leaves the listing.
TEST(AgendaQueue, ConstantRulesComeBySalienceThenAgendaOrderThenRuleOrder) {
    Engine e = engine_with({"rule a salience 1 when T() then end rule b when T() then end "
                            "rule c salience 5 when T() then end",
                            "rule d salience 1 when T() then end rule e when T() then end "
                            "rule g agenda-group \"g\" salience 9 when T() then end"});
    AgendaQueue& q = e.agenda_queue;
    for (size_t r = 0; r < e.rules.size(); ++r) q.enter(r);
    std::vector<bool> taken(e.rules.size(), false);
    std::string order;
    while (std::optional<size_t> r = q.first_constant(0, [&](size_t o) { return !taken[o]; })) {
        order += e.rules[*r].def.name;
        taken[*r] = true;
    }
    EXPECT_EQ(order, "cadbe");
    EXPECT_FALSE(q.listed(0));
    EXPECT_TRUE(q.listed(5));  // group g is looked at apart
    EXPECT_EQ(q.group_of(5), q.group_number("g"));
    EXPECT_EQ(q.group_number("h"), AgendaQueue::kNoGroup);
    q.enter(0);
    EXPECT_EQ(q.first_constant(0, [](size_t) { return true; }), std::optional<size_t>(0));
}

// A firing looks at the rules on the agenda, not at every rule of the
// program: a choice and the look after a firing cost a few listed rules.
TEST(AgendaQueue, AFiringLooksAtTheRulesOnTheAgendaNotAtEveryRule) {
    struct Case {
        int rules, busy, facts_each;
    };
    for (const Case& c : {Case{200, 10, 2}, Case{100, 100, 2}}) {
        std::string text;
        for (int r = 0; r < c.rules; ++r) text += "rule r" + std::to_string(r) + " when T(n == " + std::to_string(r) + ") then end\n";
        Engine e = engine_with({text});
        for (int k = 0; k < c.facts_each; ++k)
            for (int r = c.busy - 1; r >= 0; --r) ASSERT_TRUE(e.insert("T", {{"n", Value::i64(r)}}));
        const uint64_t before = e.agenda_queue.looks();
        EngineResult<Firings> fired = e.fire_all(1'000'000);
        ASSERT_TRUE(fired);
        const uint64_t firings = static_cast<uint64_t>(c.busy) * static_cast<uint64_t>(c.facts_each);
        ASSERT_EQ(fired.value().size(), firings);
        EXPECT_LE(e.agenda_queue.looks() - before, 3 * firings) << c.rules << " rules";
        // Declaration order decides among equal saliences.
        EXPECT_EQ(fired.value()[0].rule, "r0");
        EXPECT_EQ(fired.value()[firings - 1].rule, "r" + std::to_string(c.busy - 1));
    }
}
