#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <sstream>

#include "engine/engine.h"
#include "parser/parser.h"

using namespace quarn;

namespace {

// A(x: I64, y: F64), B(v: I64, w: I64).
Engine load(const std::string& text) {
    std::vector<TypeSchema> types = {
        {"A", {{"x", FieldType::i64()}, {"y", FieldType::f64()}}, 0},
        {"B", {{"v", FieldType::i64()}, {"w", FieldType::i64()}}, 0},
    };
    Engine e = std::move(Engine::create(std::move(types))).value();
    Result<RuleFile, ParseError> parsed = parse_file(text);
    EXPECT_TRUE(parsed) << parsed.error().msg;
    for (const RuleDef& def : parsed->rules) {
        Result<CompiledRule, std::string> r = e.compile_rule(def);
        EXPECT_TRUE(r) << r.error();
        e.stamp_rules.push_back(r->def.ordinal);
        e.rules.push_back(std::move(r).value());
    }
    std::vector<std::vector<std::string>> keys(e.rules.size());
    for (size_t r = 0; r < e.rules.size(); ++r)
        for (size_t p = 0; p < e.rules[r].patterns.size(); ++p)
            keys[r].push_back(e.pattern_key(e.rules[r].patterns[p], r, p));
    e.build_network(keys);
    e.immediate = true;  // as after the first fire: every change is staged at once
    return e;
}

Value value_of(const std::string& t) {
    if (t == "nan") return Value::f64(std::nan(""));
    if (t.find_first_of(".e") != std::string::npos) return Value::f64(std::stod(t));
    return Value::i64(std::stoll(t));
}

std::string tuple_text(TupleView t) {
    std::string out;
    for (FactId f : t) out += (out.empty() ? "" : ".") + std::to_string(f);
    return out;
}

// "0.2#1^10": tuple, sequence, salience.
std::string act_text(const Engine& e, const Act& a) {
    return tuple_text(e.tuples.view(a.tuple)) + "#" + std::to_string(a.seq) + "^" + std::to_string(a.salience);
}

// Runs a script of steps separated by ';' and returns what it logged, then each
// rule's state. Steps: "+A 1 2.5" inserts A(x=1, y=2.5), "+A@3 ..." the same
// with stamp 3; "~4 v=7" updates fact 4; "-4" deletes it; "e 0" evaluates rule
// 0, "l 0" evaluates it without force; "t 0" takes its next activation; "q 0"
// takes it off the agenda.
std::string run(Engine& e, const std::string& script) {
    std::string log;
    std::stringstream steps(script);
    std::string step;
    while (std::getline(steps, step, ';')) {
        std::stringstream in(step);
        std::string op;
        in >> op;
        if (op.empty()) continue;
        if (op[0] == '+') {
            const std::string type = op.substr(1, 1);
            std::vector<Value> values;
            for (std::string v; in >> v;) values.push_back(value_of(v));
            const TypeId t = *e.store.type_id(type);
            std::vector<std::pair<std::string, Value>> row;
            for (size_t i = 0; i < values.size(); ++i) row.emplace_back(e.store.schema(t).fields[i].first, values[i]);
            if (op.size() > 2) {  // a right-hand side's insert carries its rule's stamp
                e.immediate = false;
                FactId f = *e.insert(type, row);
                e.immediate = true;
                e.on_insert(f, std::stoull(op.substr(3)));
                for (RuleNet& n : e.nets) n.s0_close_window();
            } else {
                EXPECT_TRUE(e.insert(type, row));
            }
        } else if (op[0] == '~') {
            std::string change;
            in >> change;
            const size_t eq = change.find('=');
            EXPECT_TRUE(e.update_fact(std::stoul(op.substr(1)), {{change.substr(0, eq), value_of(change.substr(eq + 1))}}));
        } else if (op[0] == '-') {
            EXPECT_TRUE(e.delete_fact(std::stoul(op.substr(1))));
        } else {
            size_t r;
            in >> r;
            if (op == "e" || op == "l") e.evaluate_rule_inner(r, op == "e");
            if (op == "t") log += "took " + act_text(e, e.take_activation(r)) + "; ";
            if (op == "q") e.nets[r].on_agenda = false;
        }
    }
    for (size_t r = 0; r < e.nets.size(); ++r) {
        const RuleNet& n = e.nets[r];
        log += "r" + std::to_string(r) + ":";
        for (const Act& a : n.acts) log += " " + act_text(e, a);
        log += " top=" + std::to_string(n.top_salience) + (n.on_agenda ? " A" : " -") + (n.dirty ? "D" : "-");
        log += " seqs=" + std::to_string(n.seq_by_tuple.size()) + (r + 1 < e.nets.size() ? "; " : "");
    }
    return log;
}

}  // namespace

TEST(Evaluation, StagedChangesBecomeActivationsWithTheirSequenceAndSalience) {
    struct Case {
        const char* what;
        const char* rules;
        const char* script;
        const char* expected;
    };
    const Case cases[] = {
        {"a join activates each new tuple; a taken one comes back with its number on update, a new tuple gets a new one",
         "rule j when A($x : x) B(v == $x) then end",
         "+A 1 0; +B 1 0; +B 1 0; +B 2 0; e 0; t 0; ~1 v=1; ~2 v=1; e 0; ~3 v=1; -1; e 0; ~2 v=2; e 0; ~2 v=1; e 0",
         "took 0.2#2^0; r0: 0.3#3^0 0.2#4^0 top=0 A- seqs=2"},
        {"the same with a one-pattern rule; a delete removes what an earlier window made",
         "rule o when A(x > 0) then end",
         "+A 1 0; +A 2 0; e 0; t 0; ~1 x=5; ~0 x=6; e 0; -0; +A 3 0; ~2 x=4; -1; e 0; +A 0 0; +A 4 0; e 0",
         "took 1#2^0; r0: 2#3^0 4#4^0 top=0 A- seqs=2"},
        {"an expression salience keeps the top cached; nothing left still puts the rule on the agenda",
         "rule s salience ($x * 2) when A($x : x) B(v == $x) then end",
         "+A 3 0; +B 3 0; +A 5 0; +B 5 0; e 0; q 0; -3; e 0; -1; e 0",
         "r0: top=0 A- seqs=0"},
        {"a constant salience leaves the cache alone",
         "rule c salience 7 when A($x : x) B(v == $x) then end", "+A 3 0; +B 3 0; e 0; q 0; -1; e 0",
         "r0: top=0 A- seqs=0"},
        {"without force a rule off the agenda waits; an unlinked one is pruned all the same",
         "rule p when A($x : x) B(v == $x) then end", "+A 1 0; +B 1 0; +A 2 0; e 0; -1; q 0; l 0",
         "r0: top=0 -D seqs=0"},
        {"a node shared by two rules runs once; the second gets its output by peer merge",
         "rule s1 salience 1 when A($x : x) B(v == $x) then end rule s2 when A($x : x) B(v == $x) then end",
         "+A 1 0; +B 1 0; +B 1 0; e 1; e 0",
         "r0: 0.1#3^1 0.2#4^1 top=0 A- seqs=2; r1: 0.2#1^0 0.1#2^0 top=0 A- seqs=2"},
        {"no-loop: a change stamped by this rule or its other branch activates nothing",
         "rule n no-loop when A(x > 0) or B(v > 0) then end rule m when A(x > 0) then end",
         "+A@0 1 0; +B@0 1 0; +A@1 2 0; +B@1 2 0; +A@2 3 0; +B@2 3 0; +A 4 0; e 0; e 1; e 2",
         "r0: 4#1^0 6#2^0 top=0 A- seqs=2; r1: 5#3^0 top=0 A- seqs=1; r2: 0#4^0 2#5^0 4#6^0 6#7^0 top=0 A- seqs=4"},
    };
    for (const Case& c : cases) {
        Engine e = load(c.rules);
        EXPECT_EQ(run(e, c.script), c.expected) << c.what;
    }
}

TEST(Evaluation, SalienceFromConstantsAndTerms) {
    struct Case {
        const char* salience;
        const char* facts;
        int32_t expected;
    };
    const Case cases[] = {
        {"-2147483648", "+A 1 0", -2147483648}, {"($x - 5)", "+A 2 0", -3},
        {"$y", "+A 0 2.9", 2}, {"$y", "+A 0 -2.9", -2}, {"$y", "+A 0 1e20", 2147483647},
        {"$y", "+A 0 -1e20", -2147483648}, {"$y", "+A 0 nan", 0},
        // Integers wrap and keep the low 32 bits; any float term saturates.
        {"($x * $v)", "+A 65536 0; +B 65537 0", 65536}, {"($x * $w)", "+A 4294967295 0; +B 1 4294967295", 1},
        {"($x + $v)", "+A 2147483647 0; +B 1 0", -2147483648}, {"($y * $v)", "+A 0 65536.0; +B 65537 0", 2147483647},
        {"($x - $y)", "+A 2 0.5; +B 0 0", 1},
    };
    for (const Case& c : cases) {
        Engine e = load(std::string("rule s salience ") + c.salience +
                        " when A($x : x, $y : y) B($v : v, $w : w) then end");
        run(e, std::string(c.facts) + (std::string(c.facts).find("+B") == std::string::npos ? "; +B 0 0" : "") +
                   "; e 0");
        ASSERT_EQ(e.nets[0].acts.size(), 1u) << c.salience;
        EXPECT_EQ(e.nets[0].acts[0].salience, c.expected) << c.salience << " " << c.facts;
    }
}

TEST(Evaluation, ActivationsOfOneRuleFireBySalienceThenRecency) {
    Engine e = load("rule s salience $x when A($x : x) B() then end");
    EXPECT_EQ(run(e, "+B 0 0; +A 1 0; +A 3 0; +A 1 0; +A 3 0; e 0; t 0; t 0; t 0; t 0"),
              "took 4.0#4^3; took 2.0#2^3; took 3.0#3^1; took 1.0#1^1; r0: top=3 A- seqs=4");
}

TEST(Evaluation, TerminalTraceLine) {
    Engine e = load("rule j when A($x : x) B(v == $x) then end");
    run(e, "+A 1 0; +B 1 0; +B 1 0; e 0; ~1 v=1; -2");
    setenv("QUARN_TRACE", "", 1);
    testing::internal::CaptureStderr();
    e.evaluate_rule_inner(0, true);
    e.nets[0].term.cancelled.push_back({e.tuples.intern(std::vector<FactId>{0, 1}), 3, 0});
    e.nets[0].dirty = true;
    e.evaluate_rule_inner(0, true);
    unsetenv("QUARN_TRACE");
    std::stringstream lines(testing::internal::GetCapturedStderr());
    std::string terminal;  // the network traces its nodes too
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with("term[")) terminal += line + "\n";
    EXPECT_EQ(terminal,
              "term[0] consume ins=[] upd=[([FactId(0), FactId(1)], None, 2)] del=[([FactId(0), FactId(2)], None, 0)]\n"
              "term[0] consume ins=[] upd=[] del=[]\n");
}

TEST(Evaluation, AFailingNodePutsItsInputBackAndParksItsError) {
    // Accumulate nodes fail until they are evaluated engine-side.
    Engine e = load("rule r when A($x : x) B(v == $x) accumulate(B(w == $x); $n : count()) then end");
    run(e, "+A 1 0; +B 1 1; +B 1 2");
    auto inputs = [&] {
        std::string out;
        for (const TrieNode& n : e.nodes)
            out += std::to_string(n.first_input.ins.size()) + "/" + std::to_string(n.node.staged_lefts.ins.size()) +
                   "/" + std::to_string(n.node.staged_rights.ins.size()) + " ";
        return out + std::to_string(e.nets[0].term.ins.size());
    };
    EXPECT_EQ(inputs(), "1/0/2 0/0/2 0");
    for (int round = 0; round < 2; ++round) {
        e.evaluate_rule_inner(0, true);
        EXPECT_EQ(e.pending_error.value_or(""), "Acc nodes are not evaluated yet");
        // The join ran and delivered into the accumulate node, which kept it.
        EXPECT_EQ(inputs(), "0/0/0 0/2/2 0");
        EXPECT_TRUE(e.nets[0].dirty);
    }
}
