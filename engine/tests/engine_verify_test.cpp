#include <gtest/gtest.h>

#include <random>
#include <string>

#include "common/internal_error.h"
#include "common/text.h"
#include "engine/engine.h"

using namespace quarn;

namespace {

Engine make_engine(const std::string& rules) {
    Engine e = std::move(Engine::create({{"A", {{"x", FieldType::i64()}, {"y", FieldType::i64()}}, 0},
                                         {"B", {{"v", FieldType::i64()}, {"w", FieldType::i64()}}, 0}}))
                   .value();
    EngineStatus loaded = e.add_rules_text(rules);
    EXPECT_TRUE(loaded) << loaded.error().message;
    return e;
}

// The text verify() throws, or "" when every invariant holds.
std::string verify_text(const Engine& e) {
    try {
        e.verify();
    } catch (const InternalError& err) {
        return err.what();
    }
    return "";
}

uint32_t number(TupleId t) { return static_cast<uint32_t>(t); }

// Rules j (a join), s (an expression salience), p (an alpha test), q (never
// matched) and c (an accumulate), with facts A#0(7, 0), A#1(1, 0), B#2(7, 0) propagated and
// every rule evaluated: j, s and p hold activations.
class Broken : public ::testing::Test {
protected:
    static constexpr size_t kJ = 0, kS = 1, kP = 2, kQ = 3, kC = 4;

    void SetUp() override {
        EXPECT_TRUE(e.fire_all(100));  // from now on changes propagate as they come
        ASSERT_TRUE(e.insert("A", {{"x", Value::i64(7)}, {"y", Value::i64(0)}}));
        ASSERT_TRUE(e.insert("A", {{"x", Value::i64(1)}, {"y", Value::i64(0)}}));
        ASSERT_TRUE(e.insert("B", {{"v", Value::i64(7)}, {"w", Value::i64(0)}}));
        for (size_t r = 0; r < e.rules.size(); ++r) e.evaluate_rule_inner(r, true);
        ASSERT_EQ(e.nets[kJ].acts.size(), 1u);
        ASSERT_EQ(e.nets[kS].acts.size(), 2u);
        ASSERT_EQ(e.nets[kP].acts.size(), 1u);
        ASSERT_EQ(verify_text(e), "");
    }

    Engine e = make_engine(
        "rule j when $a : A($x : x) B(v == $x) then end "
        "rule s salience ($x * 2) when $a : A($x : x) then end "
        "rule p when $a : A(x > 5) then end "
        "rule q when B(w == 9) then end "
        "rule c when $b : B($v : v) accumulate(A(x == $v, $y : y); $t : sum($y)) then end");
};

TEST_F(Broken, ActivationUnderAnotherSalienceThanTheRules) {
    const Act a = e.nets[kJ].acts.items()[0];
    e.nets[kJ].acts.push(Act{a.tuple, a.seq, 5});
    EXPECT_EQ(verify_text(e), fmt("internal error: rule j: an activation of tuple {} has salience 5 under the "
                                  "constant salience 0",
                                  number(a.tuple)));
}

TEST_F(Broken, ActivationsOfOneTupleWithTwoSequenceNumbers) {
    const Act a = e.nets[kS].acts.items()[0];
    e.nets[kS].acts.push(Act{a.tuple, a.seq + 100, a.salience});
    EXPECT_EQ(verify_text(e), fmt("internal error: rule s: the activations of tuple {} carry sequence numbers {} and {}",
                                  number(a.tuple), a.seq, a.seq + 100));
}

TEST_F(Broken, AgendaKeyBehindTheBestActivation) {
    e.nets[kS].top_salience = 99;
    EXPECT_EQ(verify_text(e), "internal error: rule s: agenda key 99 but the best pending salience is 14");
    e.nets[kS].top_salience = 14;
    e.nets[kS].on_agenda = false;
    EXPECT_EQ(verify_text(e), "internal error: rule s: activations pending but off the agenda");
}

TEST_F(Broken, FactMissingFromOrForeignToThePassingSet) {
    Lia& lia = e.lias[e.nets[kP].lia];
    lia.passing.insert(1);  // A#1 has x == 1
    EXPECT_EQ(verify_text(e), "internal error: rule p pattern 0: fact 1 is in the passing set but fails its alpha tests");
    lia.passing.erase(1);
    lia.passing.erase(0);
    EXPECT_EQ(verify_text(e),
              "internal error: rule p pattern 0: fact 0 passes its alpha tests but is missing from the passing set");
    lia.passing.insert(0);
    lia.passing.insert(2);  // a B
    EXPECT_EQ(verify_text(e),
              "internal error: rule p pattern 0: the passing set holds fact 2, which is dead or of another type");
    lia.passing.erase(2);
    // A session of many rules lists the Lias holding facts.
    e.lias_holding_kept = true;
    for (size_t li = 0; li < e.lias.size(); ++li)
        if (!e.lias[li].passing.empty()) e.lias_holding.insert(static_cast<uint32_t>(li));
    EXPECT_EQ(verify_text(e), "");
    e.lias_holding.erase(static_cast<uint32_t>(e.nets[kP].lia));
    EXPECT_EQ(verify_text(e), "internal error: rule p pattern 0: the passing set is not empty but listed as not "
                              "holding facts");
}

TEST_F(Broken, WindowSetsDisagreeWithTheRightMemory) {
    const size_t ni = e.nets[kJ].node_ids[0];
    TrieNode& n = e.nodes[ni];
    ASSERT_TRUE(n.node.right_memory().contains(2));
    n.win_in.insert(1);
    EXPECT_EQ(verify_text(e), fmt("internal error: node {} (rule j pattern 1): admitted fact 1 is neither in the right "
                                  "memory nor staged",
                                  ni));
    n.win_in.erase(1);
    n.win_in.erase(2);
    EXPECT_EQ(verify_text(e), fmt("internal error: node {} (rule j pattern 1): fact 2 in the right memory is neither "
                                  "admitted nor staged for delete",
                                  ni));
    n.win_in.insert(2);
    n.win_out.insert(1);
    EXPECT_EQ(verify_text(e),
              fmt("internal error: node {} (rule j pattern 1): holds facts out but is no accumulate", ni));
}

TEST_F(Broken, FactBothAdmittedAndHeldOut) {
    const size_t ni = e.nets[kC].node_ids[0];
    TrieNode& n = e.nodes[ni];
    ASSERT_TRUE(n.win_in.contains(0));
    n.win_out.insert(0);
    EXPECT_EQ(verify_text(e),
              fmt("internal error: node {} (rule c pattern 1): fact 0 is both admitted and held out", ni));
}

TEST_F(Broken, AgendaMarksDisagreeWithStagedInput) {
    e.nets[kQ].dirty = true;
    EXPECT_EQ(verify_text(e), "internal error: rule q: dirty but off the agenda");
    e.nets[kQ].dirty = false;

    // A new B joins A#1: j is linked with staged input and marked.
    ASSERT_TRUE(e.insert("B", {{"v", Value::i64(1)}, {"w", Value::i64(0)}}));
    ASSERT_TRUE(e.nets[kJ].dirty);
    EXPECT_EQ(verify_text(e), "");
    e.nets[kJ].dirty = false;
    EXPECT_EQ(verify_text(e), "internal error: rule j: linked with staged input but not marked dirty");
    e.nets[kJ].dirty = true;
    e.nets[kJ].linked_mark = false;
    EXPECT_EQ(verify_text(e), "internal error: rule j: linked but never marked linked");
}

// The invariants hold over random inserts, updates and deletes with fires in
// between, on rules of every shape whose state verify() reads: a check that
// fires here is a fault in the check or in the engine.
TEST(Verify, HoldsOverRandomChangesAndFires) {
    Engine e = make_engine(
        "rule j when $a : A($x : x) B(v == $x) then end "
        "rule n salience 2 when $a : A($x : x, y > 0) not B(w == $x) then end "
        "rule x when $b : B($v : v) exists A(x == $v) then end "
        "rule s salience ($x * 2) when $a : A($x : x) then end "
        "rule m when $a : A(x > 8) then $a.setX(0); update($a); end "
        "rule c when $b : B($v : v) accumulate(A(x == $v, $y : y); $t : sum($y)) then end "
        "rule g when $a : A(x < 3) not (B(v == 1) and A(y == 2)) then end");
    std::mt19937 rng(26);
    auto pick = [&](int n) { return static_cast<int64_t>(rng() % static_cast<unsigned>(n)); };
    std::vector<FactId> alive;
    for (int step = 0; step < 400; ++step) {
        const int op = static_cast<int>(pick(10));
        if (op < 4 || alive.empty()) {
            const bool a = pick(2) == 0;
            auto f = e.insert(a ? "A" : "B", {{a ? "x" : "v", Value::i64(pick(10))}, {a ? "y" : "w", Value::i64(pick(4))}});
            ASSERT_TRUE(f);
            alive.push_back(*f);
        } else if (op < 6) {
            const FactId f = alive[static_cast<size_t>(pick(static_cast<int>(alive.size())))];
            const bool a = e.store.fact_type(f) == *e.store.type_id("A");
            if (e.store.is_alive(f)) {
                ASSERT_TRUE(e.update_fact(f, {{a ? "y" : "w", Value::i64(pick(4))}}));
            }
        } else if (op < 8) {
            const size_t k = static_cast<size_t>(pick(static_cast<int>(alive.size())));
            ASSERT_TRUE(e.delete_fact(alive[k]));
            alive.erase(alive.begin() + static_cast<std::ptrdiff_t>(k));
        } else {
            auto fired = e.fire_all(10000);
            ASSERT_TRUE(fired) << fired.error().message;
        }
        ASSERT_EQ(verify_text(e), "") << "after step " << step;
    }
}

}  // namespace
