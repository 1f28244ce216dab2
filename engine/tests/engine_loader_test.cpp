#include <gtest/gtest.h>

#include "engine/engine.h"
#include "store/debug_form.h"

using namespace quarn;

namespace {

// Types 0..4 as declared; InitialFact is 5. Ev is an event type with a duration.
Engine make_engine() {
    std::vector<TypeSchema> schemas = {
        {"A", {{"x", FieldType::i64()}, {"y", FieldType::f64()}, {"tag", FieldType::str()}}, 0b100},
        {"B", {{"v", FieldType::i64()}}, 0},
        {"Person", {{"name", FieldType::str()}, {"age", FieldType::i64()}, {"score", FieldType::f64()}}, 0},
        {"Order", {{"id", FieldType::i64()}, {"customer", FieldType::str()}, {"amount", FieldType::i64()}}, 0},
        {"Ev", {{"ts", FieldType::i64()}, {"dur", FieldType::i64()}}, 0},
    };
    Engine e = std::move(Engine::create(std::move(schemas))).value();
    EXPECT_TRUE(e.declare_event("Ev", "ts", "dur", std::nullopt).ok());
    return e;
}

std::string load_error(Engine& e, const std::string& text) {
    EngineStatus s = e.add_rules_text(text);
    return s ? "ok" : s.error().message;
}

Engine loaded(const std::string& text) {
    Engine e = make_engine();
    EXPECT_EQ(load_error(e, text), "ok");
    return e;
}

std::string key(const Engine& e, size_t rule, size_t pattern) {
    return e.pattern_key(e.rules[rule].patterns[pattern], rule, pattern);
}

// The shadow part of rule 0's line of the dump.
std::string shadow_of_first_rule(const std::string& text) {
    Engine e = loaded(text);
    const std::string dump = e.dump_network();
    const size_t line = dump.find("net 0 ");
    const size_t list_end = dump.find(']', line) + 1;
    return dump.substr(list_end, dump.find('\n', line) - list_end);
}

}  // namespace

TEST(PatternKey, FormsOfEveryTestThroughRuleText) {
    struct Case {
        std::string text;
        size_t pattern;
        std::string key;
    };
    const Case cases[] = {
        {"rule r when Order(amount > 100) then end", 0, "3|Positive|b0|e0;2GtI64(100)"},
        {"rule r when A($x : x, $t : tag) from entry-point \"s\" then end", 0, "0|Positive|b5|e1"},
        {"rule r when A($x : x) exists B(v >= $x) then end", 1, "1|Exists|b0|e0;0Ge@0.0"},
        {"rule r when A(tag == null, tag != null) then end", 0, "0|Positive|b0|e0;2isnullfalse;2isnulltrue"},
        {"rule r when A(x not in (1, null)) then end", 0, "0|Positive|b0|e0;0NeI64(1);0unk3"},
        {"rule r when $e : Ev() Ev(this after[1s,5s] $e, this before[0ms,7ms] $e) then end", 1,
         "4|Positive|b0|e0;0tmptrue1000:5000@0.0;0tmpfalse0:7@0.0"},
        {"rule r when $e : Ev() Ev(this overlaps[1ms,5ms] $e) then end", 1,
         "4|Positive|b0|e0;0alnOverlaps[1, 5]@0.0dSome(1)/Some(1)"},
        // Texts are quoted, so a pattern source cannot pass for a following test.
        {"rule r when A(tag matches \"a;1\", tag contains \"x\\\"\") then end", 0,
         "0|Positive|b0|e0;2m\"a;1\";2c\"x\\\"\""},
        {"rule r when A(x == 1 || x == 2) then end", 0, "0|Positive|b0|e0;0gOr(g0EqI64(1)g0EqI64(2))"},
        {"rule r when accumulate(Ev($d : dur) over window:time(60s); $s : sum($d)) then end", 1,
         "4|Positive|b2|e0|accSum:$d:Some(1):wSome(60000):gNone"},
        {"rule r when accumulate(B(); $n : count()) then end", 1, "1|Positive|b0|e0|accCount::None:wNone:gNone"},
        {"query q(long $a) Person(age == $a) end rule r when ?q($n;) then end", 1, "QCE|0|U1"},
        {"query q(long $a) Person(age == $a) end rule r when ?q(5;) then end", 1, "QCE|0|priv0.1"},
        {"rule r when A($x : x) not (B(v == $x) and Person(age == $x)) then end", 3, "SN|Not|2|1"},
        // Equality literals key in the field's terms; other operators as written.
        {"rule r when A(y == 1) then end", 0, "0|Positive|b0|e0;1EqF64(1.0)"},
        {"rule r when A(y == 1.0) then end", 0, "0|Positive|b0|e0;1EqF64(1.0)"},
        {"rule r when A(y == 1.5) then end", 0, "0|Positive|b0|e0;1EqF64(1.5)"},
        {"rule r when A(x == 30.0) then end", 0, "0|Positive|b0|e0;0EqI64(30)"},
        {"rule r when A(x == 30.5) then end", 0, "0|Positive|b0|e0;0EqF64(30.5)"},
        {"rule r when A(x == 10000000000000000000.0) then end", 0, "0|Positive|b0|e0;0EqF64(1e19)"},
        {"rule r when A(x > 30.0) then end", 0, "0|Positive|b0|e0;0GtF64(30.0)"},
    };
    for (const Case& c : cases) {
        Engine e = loaded(c.text);
        if (e.rules.empty()) continue;
        const size_t rule = e.rules.size() - 1;
        EXPECT_EQ(key(e, rule, c.pattern), c.key) << c.text;
    }
    Engine e = loaded("rule a when A(x == 30.0) then end rule b when A(x == 30) then end rule c when A(x == 30.5) then end");
    EXPECT_EQ(debug(e.rules[0].patterns[0].cmps[0].test.rhs.lit), "I64(30)");
    EXPECT_EQ(debug(e.rules[2].patterns[0].cmps[0].test.rhs.lit), "F64(30.5)");
    EXPECT_EQ(e.lias.size(), 2u);
}

TEST(Loader, RuleOrderBySalienceThenIndexAndOrdinalsAcrossTexts) {
    Engine e = loaded(R"(
        rule a salience 10 when A() then end
        rule b salience $x + 1 when A($x : x) then end
        rule c salience 10 when A() then end
        rule d salience -5 when A() or B() then end
    )");
    EXPECT_EQ(e.rule_order, (std::vector<size_t>{0, 2, 1, 3, 4}));
    EXPECT_EQ(e.stamp_rules, (std::vector<uint64_t>{0, 1, 2, 3, 3}));

    ASSERT_EQ(load_error(e, "rule e when B() then end\nrule f salience 20 when B() then end"), "ok");
    EXPECT_EQ(e.stamp_rules, (std::vector<uint64_t>{0, 1, 2, 3, 3, 4, 5}));
    std::vector<uint64_t> ordinals, decl_seqs;
    for (const CompiledRule& r : e.rules) {
        ordinals.push_back(r.def.ordinal);
        decl_seqs.push_back(r.def.decl_seq);
    }
    EXPECT_EQ(ordinals, e.stamp_rules);
    // The agenda's tie-break number starts again in every text.
    EXPECT_EQ(decl_seqs, (std::vector<uint64_t>{0, 1, 2, 3, 4, 0, 1}));
    EXPECT_EQ(e.rule_order, (std::vector<size_t>{6, 0, 2, 1, 5, 3, 4}));
    EXPECT_EQ(e.nets.size(), 7u);

    Engine empty = loaded("");
    EXPECT_TRUE(empty.rule_order.empty());
    EXPECT_TRUE(empty.nets.empty());
}

TEST(Loader, KeysAndSharingThroughRuleText) {
    Engine e = loaded(R"(
        rule big when Order(amount > 100) A() then end
        rule big2 when Order(amount > 100) B() then end
        rule same1 when Order(amount > 100) B() then end
        rule other when Order(amount > 200) B() then end
        rule lone when Order(amount > 100) then end
    )");
    EXPECT_EQ(key(e, 0, 0), "3|Positive|b0|e0;2GtI64(100)");
    EXPECT_EQ(e.dump_network(),
              "lia 0 rule 0 key 3|Positive|b0|e0;2GtI64(100) nodes [0, 1] rules [4]\n"
              "lia 1 rule 3 key 3|Positive|b0|e0;2GtI64(200) nodes [2] rules []\n"
              "node 0 Join index 6 owner 0.1 rules 1 key 0|Positive|b0|e0 targets [Rule(0)]\n"
              "node 1 Join index 6 owner 1.1 rules 2 key 1|Positive|b0|e0 targets [Rule(1), Rule(2)]\n"
              "node 2 Join index 6 owner 3.1 rules 1 key 1|Positive|b0|e0 targets [Rule(3)]\n"
              "net 0 lia 0 nodes [0]\n"
              "net 1 lia 0 nodes [1]\n"
              "net 2 lia 0 nodes [1]\n"
              "net 3 lia 1 nodes [2]\n"
              "net 4 lia 0 nodes []\n");
    EXPECT_EQ(e.initial_fact, std::nullopt);
    EXPECT_EQ(e.store.fact_count(), 0u);
    for (const RuleNet& n : e.nets) EXPECT_EQ(n.s0_windows.size(), 1u);
}

TEST(Loader, InitialFactOnlyWhenARuleNeedsItAndTheSameNetworkAfterReset) {
    Engine e = loaded(R"(
        rule n when not B() then end
        rule j when $a : A($x : x) exists B(v == $x) Person(age > $x) then end
    )");
    ASSERT_EQ(e.initial_fact, std::optional<FactId>(0));
    EXPECT_EQ(e.store.schema(e.store.fact_type(0)).name, "InitialFact");

    // A second text keeps the one InitialFact.
    ASSERT_EQ(load_error(e, "rule m when not A() then end"), "ok");
    EXPECT_EQ(e.store.fact_count(), 1u);
    EXPECT_EQ(e.initial_fact, std::optional<FactId>(0));
    const std::string two_texts = e.dump_network();

    ASSERT_TRUE(e.store.insert(1, {Value::i64(4)}).ok());
    ASSERT_TRUE(e.reset().ok());
    EXPECT_EQ(e.dump_network(), two_texts);
    EXPECT_EQ(e.initial_fact, std::optional<FactId>(0));
    EXPECT_EQ(e.store.fact_count(), 1u);
}

TEST(Loader, ShadowsOnlyWhereTheGateIsAllOrNothing) {
    struct Case {
        std::string text;
        std::string shadow;
    };
    const Case cases[] = {
        {"rule r when A() not B() Order() then end", " shadow Pn 1@0 3@0"},
        {"rule r when A() exists B(v > 1) Order() then end", " shadow Px 1@0 3@0"},
        {"rule r when A() not Ev() Order() then end", " shadow Bf 4@0 3@0"},
        {"rule r when A() exists Ev() Order() then end", " shadow Ex 4@0 3@0"},
        {"rule r when A() not B() from entry-point \"s\" B() then end", " shadow Pn 1@1 1@0"},
        {"rule r when A() not B() Order() then end rule i when A() then insert(new B(1)); end", " shadow Pn 1@0 3@0"},
        {"rule r when A() not B(v > 1) Order() then end", ""},
        {"rule r when $a : A($x : x) exists B(v == $x) Order() then end", ""},
        {"rule r when A() not B() Order(amount > 1) then end", ""},
        {"rule r when A() not B() $o : Order() then delete($o); end", ""},
        {"rule r when A() not B() B() then end", ""},
        {"rule r when A() not B() Ev() then end", ""},
        {"rule r when A() not Ev() Order() then end rule i when A() then insert(new Ev(1, 2)); end", ""},
        {"rule r when A() not B() Order() then end rule i when A() then insert(new Order(1, \"c\", 2)); end", ""},
        {"rule r when A() not B() Order() then end "
         "rule w when accumulate(B($v : v) over window:time(1s); $n : count()) then end",
         ""},
    };
    for (const Case& c : cases) EXPECT_EQ(shadow_of_first_rule(c.text), c.shadow) << c.text;
}

TEST(Loader, CollectNodesLetThroughUpdatesOfTheFieldsThatDecideTheCollection) {
    Engine e = loaded(R"(
        rule c when A(x > 0, y > 1.0 || tag == null) $l : List() from collect(Order(amount > 1)) then end
        rule d when A(x > 0, y > 1.0 || tag == null) B() then end
    )");
    // x, and both fields the group reads: the first pattern's field mask,
    // which lets an update through to every node its Lia feeds, the collect
    // node as the join.
    EXPECT_EQ(e.rules[0].patterns[0].field_mask, 0b111u);
    EXPECT_EQ(e.dump_network(),
              "lia 0 rule 0 key 0|Positive|b0|e0;0GtI64(0);1gOr(g1GtF64(1.0)g2isnullfalse) nodes [0, 1] rules []\n"
              "node 0 Acc index 6 owner 0.1 rules 1 key 3|Positive|b0|e0;2GtI64(1)|accCollect::None:wNone:gNone "
              "targets [Rule(0)]\n"
              "node 1 Join index 6 owner 1.1 rules 1 key 1|Positive|b0|e0 targets [Rule(1)]\n"
              "net 0 lia 0 nodes [0]\n"
              "net 1 lia 0 nodes [1]\n");
}

TEST(Loader, RefusalsSpanningRulesLeaveTheEngineAsItWas) {
    const std::string gap(34, ' ');
    auto focus = [&](const std::string& g) {
        return "rule r: setFocus(" + g + ") targets a group no rule declares —" + gap +
               "it would fail at runtime; declare `agenda-group " + g + "`" + gap + "on at least one rule (D-106)";
    };
    const std::string logical_update =
        "rule u: setters/update/modify on a logically-inserted type are out of subset (D-076; a runtime error "
        "otherwise — tms_u1)";
    const std::string logical = "rule l when A() then insertLogical(new B(1)); end\n";
    struct Case {
        std::string first;  // loaded before, successfully
        bool fact;          // an A is stored before the text loads
        std::string text;
        std::string expected;
    };
    const Case cases[] = {
        {"", false, "rule r when A() then engine.setFocus(\"G\"); end", focus("G")},
        {"", false, "rule r when A() then engine.setFocus(\"MAIN\"); end", focus("MAIN")},
        {"", false, "rule r agenda-group \"MAIN\" when A() then engine.setFocus(\"MAIN\"); end", "ok"},
        {"", false, "rule r when A() then engine.setFocus(\"G\"); end rule s agenda-group \"G\" when B() then end", "ok"},
        {"rule s agenda-group \"G\" when B() then end", false, "rule r when A() then engine.setFocus(\"G\"); end", "ok"},
        {"", false, logical + "rule u when $b : B() then $b.setV(2); end", logical_update},
        {"", false, logical + "rule u when $b : B() then update($b); end", logical_update},
        {"", false, logical + "rule u when $b : B() then delete($b); end", "ok"},
        // The engine's own InitialFact is no fact of the user's.
        {"rule n when not A() then end", false, logical, "ok"},
        // Rules, a groupby row type and an entry point compiled before the
        // refusal are all taken back.
        {"query q(long $a) Person(age == $a) end rule first when A() then end", true,
         "rule g when groupby(Order($c : customer); $c; $n : count()) then end " + logical +
             "rule h when A() from entry-point \"s\" then end",
         "insertLogical requires rules to be added before any facts (D-076)"},
        {"query q(long $a) Person(age == $a) end", false, "query p(long $a) Person(age == $a) end",
         "queries must be defined in a single rule-text unit"},
        {"", false, "rule r when A( then end",
         "rule parse error: expected comparison operator, got end at line 1, col 21:\n  rule r when A( then end\n"
         "                      ^"},
    };
    for (const Case& c : cases) {
        Engine e = loaded(c.first);
        if (c.fact) {
            ASSERT_TRUE(e.store.insert(0, {Value::i64(1), Value::f64(2), Value::str("t")}).ok());
        }
        const std::string before = e.dump_network();
        const size_t rules = e.rules.size(), types = e.store.type_count(), queries = e.queries.size();
        EXPECT_EQ(load_error(e, c.text), c.expected) << c.text;
        const bool logical_loaded = c.expected == "ok" && c.text.find("insertLogical") != std::string::npos;
        EXPECT_EQ(e.logical_types.count(1), logical_loaded ? 1u : 0u) << c.text;
        if (c.expected == "ok") continue;
        EXPECT_EQ(e.rules.size(), rules);
        EXPECT_EQ(e.stamp_rules.size(), rules);
        EXPECT_EQ(e.store.type_count(), types);
        EXPECT_EQ(e.queries.size(), queries);
        EXPECT_EQ(e.linked_queries.size(), queries);
        EXPECT_TRUE(e.gbrow_types.empty());
        EXPECT_EQ(e.entry_point_names, (std::vector<std::string>{"DEFAULT"}));
        EXPECT_TRUE(e.entry_points.empty());
        EXPECT_EQ(e.dump_network(), before);
    }
}

TEST(Loader, EventTypesWithoutExplicitExpiryTakeTheirWindows) {
    Engine e = make_engine();
    // Ev: implicit, bounded by a window; Person used as an event without a bound;
    // Order keeps its explicit expiry.
    ASSERT_TRUE(e.declare_event("Ev", "ts", std::nullopt, std::nullopt).ok());
    ASSERT_TRUE(e.declare_event("Person", "age", std::nullopt, std::nullopt).ok());
    ASSERT_TRUE(e.declare_event("Order", "id", std::nullopt, 250).ok());
    ASSERT_EQ(load_error(e, R"(
        rule w when accumulate(Ev($t : ts) over window:time(5s); $n : count()) then end
        rule p when Person() Order() then end
    )"),
              "ok");
    EXPECT_EQ(e.event_decls.at(4).expires_ms, std::optional<int64_t>(4999));
    EXPECT_EQ(e.event_decls.at(2).expires_ms, std::nullopt);
    EXPECT_EQ(e.event_decls.at(3).expires_ms, std::optional<int64_t>(250));

    // A later text that needs Ev without a bound takes the implicit expiry back.
    ASSERT_EQ(load_error(e, "rule q when Ev() then end"), "ok");
    EXPECT_EQ(e.event_decls.at(4).expires_ms, std::nullopt);
}

TEST(Loader, RuntimeStateExistsForEveryRuleAfterALoad) {
    Engine e = loaded(R"(
        query older(long $a) Person(age == $a) end
        rule g when $a : A($x : x) not (B(v == $x) and Person(age == $x)) then end
        rule q when ?older($n;) A(x == $n) from entry-point "side" then end
        rule gb when groupby(Order($c : customer, $m : amount); $c; $s : sum($m)) then end
    )");
    // The group hangs off the Lia of A and is fed by its last member; ?query and
    // groupby rules start at the InitialFact.
    EXPECT_EQ(e.dump_network(),
              "lia 0 rule 0 key 0|Positive|b1|e0 nodes [0, 2] rules []\n"
              "lia 1 rule 1 key 5|Positive|b0|e0 nodes [3, 5] rules []\n"
              "node 0 Join index 7 owner 0.1 rules 1 key 1|Positive|b0|e0;0Eq@0.0 targets [Node(1)]\n"
              "node 1 Join index 7 owner 0.2 rules 1 key 2|Positive|b0|e0;1Eq@0.0 targets [Subnet(2)]\n"
              "node 2 SubnetNot index 6 owner 0.3 rules 1 prefix 1 key SN|Not|2|1 targets [Rule(0)]\n"
              "node 3 Query index 6 owner 1.1 rules 1 key QCE|0|U1 targets [Node(4)]\n"
              "node 4 Join index 7 owner 1.2 rules 1 key 0|Positive|b0|e1;0Eq@1.0 targets [Rule(1)]\n"
              "node 5 Acc index 6 owner 2.1 rules 1 key 3|Positive|b6|e0|accSum:$m:Some(2):wNone:gSome(1) targets "
              "[Rule(2)]\n"
              "net 0 lia 0 nodes [0, 1, 2]\n"
              "net 1 lia 1 nodes [3, 4]\n"
              "net 2 lia 1 nodes [5]\n");
    for (const RuleNet& n : e.nets) EXPECT_EQ(n.s0_windows.size(), 1u);
    EXPECT_EQ(e.stamp_rules, (std::vector<uint64_t>{0, 1, 2}));
    EXPECT_EQ(e.store.schema(e.qrow_types.at(0)).name, "__qrow$older");
    EXPECT_EQ(e.rules[1].query_deps, (std::vector<uint32_t>{0}));
    EXPECT_EQ(e.entry_point_names, (std::vector<std::string>{"DEFAULT", "side"}));
    EXPECT_EQ(e.entry_points.at("side"), 1u);
    EXPECT_EQ(e.store.schema(e.gbrow_types.at(0)).name, "__gbrow$gb$1");
    ASSERT_EQ(e.acc_nodes.size(), 1u);
    EXPECT_EQ(e.acc_nodes[0].node, 5u);
    EXPECT_EQ(e.acc_nodes[0].type, 3u);
}
