#include <gtest/gtest.h>

#include <random>

#include "engine/engine.h"

using namespace quarn;

namespace {

using Row = std::vector<std::pair<std::string, Value>>;

constexpr TypeId kB = 1;

Row a_row(int64_t x, double y = 0) { return {{"x", Value::i64(x)}, {"y", Value::f64(y)}}; }
Row b_row(int64_t v, int64_t w = 0) { return {{"v", Value::i64(v)}, {"w", Value::i64(w)}}; }
Row ev_row(int64_t ts) { return {{"ts", Value::i64(ts)}, {"n", Value::i64(0)}}; }

// An engine over A(x: I64, y: F64), B(v: I64, w: I64) and Ev(ts: I64, n: I64)
// with the rules loaded and switched to immediate propagation, as after the
// first fire. Ev is an event type when `events` is set.
struct Rig {
    Engine e = std::move(Engine::create({{"A", {{"x", FieldType::i64()}, {"y", FieldType::f64()}}, 0},
                                         {"B", {{"v", FieldType::i64()}, {"w", FieldType::i64()}}, 0},
                                         {"Ev", {{"ts", FieldType::i64()}, {"n", FieldType::i64()}}, 0}}))
                   .value();

    explicit Rig(const std::string& rules, bool events = false) {
        if (events) {
            EXPECT_TRUE(e.declare_event("Ev", "ts", std::nullopt, std::nullopt));
        }
        EngineStatus loaded = e.add_rules_text(rules);
        EXPECT_TRUE(loaded) << loaded.error().message;
        e.immediate = true;
    }

    FactId insert(const char* type, Row row) { return std::move(e.insert(type, std::move(row))).value(); }
    // Stored and propagated, with no stream flush after it: what propagation
    // alone stages, before any insert-time evaluation consumes it.
    FactId staged_insert(const char* type, Row row) {
        PreparedInsert p = std::move(e.prepare_insert(type, std::move(row), std::nullopt)).value();
        const FactId f = *e.store.insert(p.type, std::move(p.values));
        e.on_insert(f, std::nullopt);
        return f;
    }
    void update(FactId f, Row changes) { ASSERT_TRUE(e.update_fact(f, std::move(changes))); }
    TrieNode& node(size_t rule, size_t position) { return e.nodes[e.nets[rule].node_ids[position]]; }
    Lia& lia(size_t rule) { return e.lias[e.nets[rule].lia]; }

    // What an evaluation would consume: every staged input and window.
    void consume_staged() {
        for (TrieNode& n : e.nodes) {
            n.first_input = {};
            n.node.put_back_staged_left({});
            n.node.put_back_staged_right({});
        }
        for (RuleNet& net : e.nets) {
            net.take_s0_windows();
            net.on_agenda = net.dirty = net.linked_mark = false;
        }
    }
    // Moves a node's staged right facts into its memory with their keys.
    void drain_rights(size_t rule, size_t position) {
        JoinEnvImpl env(0, e.store, e.rules[rule], 0, false, e.tuples, e.switches);
        node(rule, position).node.drain_staged_rights_to_memory_if(env, position, std::nullopt,
                                                                     [](FactId) { return true; });
    }
};

// "ins[3/-/4] upd[] del[]": fact, stamp (or -), flag; newest first.
std::string text(const EntryList<FactId>& l) {
    std::string out;
    for (const StagedEntry<FactId>& x : l) {
        if (!out.empty()) out += " ";
        out += std::to_string(x.item) + "/" + (x.stamp ? "s" + std::to_string(*x.stamp) : "-") + "/" +
               std::to_string(static_cast<unsigned>(x.flag));
    }
    return out;
}
std::string text(const Staged<FactId>& s) {
    return "ins[" + text(s.ins) + "] upd[" + text(s.upd) + "] del[" + text(s.del) + "]";
}
std::string windows(const RuleNet& net) {
    std::string out;
    for (const Staged<FactId>& w : net.s0_windows) out += (out.empty() ? "" : " | ") + text(w);
    return out;
}
std::string flags(const RuleNet& n) {
    return std::string(n.on_agenda ? "A" : "-") + (n.dirty ? "D" : "-") + (n.linked_mark ? "L" : "-");
}

}  // namespace

TEST(Propagation, StagedEntriesCarryTheirFlagBytes) {
    Rig rig("rule r when A(x > 0) B(v > 0) then end", true);
    TrieNode& n = rig.node(0, 0);

    // Before any A passes, the rule is unlinked: a plain join marks the arrival.
    FactId b1 = rig.staged_insert("B", b_row(1));
    FactId a = rig.staged_insert("A", a_row(1));
    FactId b2 = rig.staged_insert("B", b_row(2));
    EXPECT_EQ(text(n.node.staged_right()), "ins[2/-/0 0/-/4] upd[] del[]");
    EXPECT_EQ(text(n.first_input), "ins[1/-/0] upd[] del[]");

    rig.consume_staged();
    rig.update(b2, {{"v", Value::i64(5)}});
    rig.update(a, {{"x", Value::i64(7)}});
    EXPECT_EQ(text(n.node.staged_right()), "ins[] upd[2/-/2] del[]");
    EXPECT_EQ(text(n.first_input), "ins[] upd[1/-/2] del[]");

    // Failing now stages a delete; passing again while it waits re-inserts with flag 1.
    rig.update(b2, {{"v", Value::i64(-1)}});
    EXPECT_EQ(text(n.node.staged_right()), "ins[] upd[] del[2/-/0]");
    rig.update(b2, {{"v", Value::i64(3)}});
    EXPECT_EQ(text(n.node.staged_right()), "ins[2/-/1] upd[] del[2/-/0]");

    // A right-hand side's changes carry the firing rule's index.
    rig.consume_staged();
    ASSERT_TRUE(rig.e.store.set_value(b1, 0, Value::i64(9)));
    rig.e.on_update(b1, 1, 7);
    FactId b3 = *rig.e.store.insert(kB, {Value::i64(4), Value::i64(0)});
    rig.e.on_insert(b3, 7);
    EXPECT_EQ(text(n.node.staged_right()), "ins[3/s7/0] upd[0/s7/2] del[]");
}

TEST(Propagation, AMaskMissReKeysInsteadOfStaging) {
    // The B patterns read field w only.
    Rig rig("rule j when A($x : x) B(w == $x) then end  rule n when A($x : x) not B(w == $x) then end");
    rig.insert("A", a_row(1));
    FactId b1 = rig.insert("B", b_row(1, 1));
    FactId b2 = rig.insert("B", b_row(2, 1));
    rig.drain_rights(0, 0);
    rig.drain_rights(1, 0);
    rig.consume_staged();
    Node& join = rig.node(0, 0).node;
    Node& neg = rig.node(1, 0).node;
    ASSERT_EQ(join.right_memory().size(), 2u);

    rig.update(b1, {{"v", Value::i64(8)}});
    EXPECT_EQ(text(join.staged_right()), "ins[] upd[] del[]");
    EXPECT_EQ(text(neg.staged_right()), "ins[] upd[] del[]");
    // Re-filed under its current key, which moves it behind b2.
    std::vector<FactId> order;
    for (FactId f : join.collect_matching_rights(std::nullopt)) order.push_back(f);
    EXPECT_EQ(order, (std::vector<FactId>{b2, b1}));

    rig.update(b1, {{"w", Value::i64(2)}});
    EXPECT_EQ(text(join.staged_right()), "ins[] upd[1/-/2] del[]");
    EXPECT_EQ(text(neg.staged_right()), "ins[] upd[1/-/2] del[]");
}

TEST(Propagation, AnUpdateStagesDeparturesAfterArrivals) {
    Rig rig("rule p when A(x > 0) B() then end  rule q when A(x <= 0) B() then end");
    rig.insert("B", b_row(1));
    FactId a = rig.insert("A", a_row(5));
    rig.consume_staged();
    const uint64_t seq = rig.e.input_seq;

    rig.update(a, {{"x", Value::i64(-5)}});
    // Rule 1 takes the fact in first (a new arrival numbers it) while rule 0
    // is still linked; then rule 0 lets it go and is marked at that number.
    EXPECT_EQ(rig.e.input_seq, seq + 1);
    EXPECT_EQ(text(rig.node(1, 0).first_input), "ins[1/-/0] upd[] del[]");
    EXPECT_EQ(text(rig.node(0, 0).first_input), "ins[] upd[] del[1/-/0]");
    EXPECT_EQ(flags(rig.e.nets[0]), "ADL");
    EXPECT_EQ(rig.e.nets[0].dirty_stamp, seq + 1);
    EXPECT_EQ(flags(rig.e.nets[1]), "ADL");
}

TEST(Propagation, OnePatternRulesStageIntoTheirOpenWindow) {
    Rig rig("rule o when A(x > 0) then end");
    rig.e.merge_windows = false;  // a window per change
    RuleNet& net = rig.e.nets[0];

    // Inserted and updated before the next evaluation: still one insert.
    FactId a = rig.insert("A", a_row(1));
    rig.update(a, {{"x", Value::i64(2)}});
    EXPECT_EQ(windows(net), "ins[0/-/0] upd[] del[] | ins[] upd[] del[]");
    // Deleting it withdraws the insert; nothing is staged.
    ASSERT_TRUE(rig.e.delete_fact(a));
    EXPECT_EQ(windows(net), "ins[] upd[] del[] | ins[] upd[] del[]");

    FactId a2 = rig.insert("A", a_row(1));
    rig.consume_staged();
    rig.update(a2, {{"y", Value::f64(1)}});  // a field the pattern does not read
    EXPECT_EQ(windows(net), "ins[] upd[] del[]");
    rig.update(a2, {{"x", Value::i64(3)}});
    EXPECT_EQ(windows(net), "ins[] upd[1/-/2] del[] | ins[] upd[] del[]");
    // Failing now: the pending update gives way to a delete in the open window.
    rig.update(a2, {{"x", Value::i64(-3)}});
    EXPECT_EQ(windows(net), "ins[] upd[] del[] | ins[] upd[] del[1/-/0] | ins[] upd[] del[]");
    EXPECT_TRUE(rig.lia(0).passing.empty());
    // It no longer passes, so its delete stages nothing more.
    ASSERT_TRUE(rig.e.delete_fact(a2));
    EXPECT_EQ(windows(net), "ins[] upd[] del[] | ins[] upd[] del[1/-/0] | ins[] upd[] del[]");
}

TEST(Propagation, ManyWindowsAnswerAsFewDo) {
    // The window number and contents of every window that holds anything.
    auto held = [](const RuleNet& net) {
        std::string out;
        for (size_t k = 0; k < net.s0_windows.size(); ++k)
            if (!net.s0_windows[k].empty()) out += std::to_string(k) + ":" + text(net.s0_windows[k]) + " ";
        return out;
    };
    Rig rig("rule o when A(x > 0) then end");
    rig.e.merge_windows = false;  // a window per change, so that there are many
    RuleNet& net = rig.e.nets[0];
    std::vector<FactId> p;
    for (int i = 0; i < 12; ++i) p.push_back(rig.insert("A", a_row(1)));
    FactId a = rig.insert("A", a_row(1));
    rig.update(a, {{"x", Value::i64(2)}});         // a pending insert takes no update
    ASSERT_TRUE(rig.e.delete_fact(a));             // and is withdrawn by a delete
    ASSERT_TRUE(rig.e.delete_fact(p[3]));          // also from an older window
    rig.update(p[5], {{"x", Value::i64(-1)}});     // failing now withdraws it too
    rig.update(p[6], {{"x", Value::i64(-1)}});
    rig.update(p[6], {{"x", Value::i64(4)}});      // and passing again inserts anew
    EXPECT_EQ(held(net),
              "0:ins[0/-/0] upd[] del[] 1:ins[1/-/0] upd[] del[] 2:ins[2/-/0] upd[] del[] "
              "4:ins[4/-/0] upd[] del[] 7:ins[7/-/0] upd[] del[] 8:ins[8/-/0] upd[] del[] "
              "9:ins[9/-/0] upd[] del[] 10:ins[10/-/0] upd[] del[] 11:ins[11/-/0] upd[] del[] "
              "13:ins[6/-/0] upd[] del[] ");

    rig.consume_staged();
    for (FactId f : {p[0], p[1], p[2], p[4], p[7], p[8], p[9], p[10], p[11]}) rig.update(f, {{"x", Value::i64(5)}});
    rig.update(p[0], {{"x", Value::i64(6)}});  // already pending: one update
    rig.update(p[1], {{"x", Value::i64(-1)}});  // the update gives way to a delete
    ASSERT_TRUE(rig.e.delete_fact(p[2]));
    ASSERT_TRUE(rig.e.delete_fact(p[1]));      // gone already: nothing more
    rig.update(p[4], {{"y", Value::f64(1)}});  // a field the pattern does not read
    EXPECT_EQ(held(net),
              "0:ins[] upd[0/-/2] del[] 3:ins[] upd[4/-/2] del[] 4:ins[] upd[7/-/2] del[] 5:ins[] upd[8/-/2] del[] "
              "6:ins[] upd[9/-/2] del[] 7:ins[] upd[10/-/2] del[] 8:ins[] upd[11/-/2] del[] "
              "9:ins[] upd[] del[1/-/0] 10:ins[] upd[] del[2/-/0] ");
}

TEST(Propagation, AlphaTestsDecideMembership) {
    Rig rig(R"(
        rule s when B() A($y : y, x == $y) then end
        rule l when B() A(y == 3) then end
        rule f when A() B() from entry-point "feed" then end)");
    struct Case {
        Row row;
        bool same_fact_eq, literal_eq;
    };
    const Case cases[] = {
        {a_row(3, 3.7), true, false},   // the float is truncated against the integer
        {a_row(3, -3.7), false, false},
        {a_row(-3, -3.7), true, false},
        {a_row(4, 3.0), false, true},
        {a_row(3, 3.0), true, true},
    };
    for (const Case& c : cases) {
        FactId f = rig.insert("A", c.row);
        EXPECT_EQ(rig.e.alpha_passes_fields(0, 1, f), c.same_fact_eq) << f;
        EXPECT_EQ(rig.node(0, 0).win_in.count(f), c.same_fact_eq ? 1u : 0u) << f;
        EXPECT_EQ(rig.e.alpha_passes_fields(1, 1, f), c.literal_eq) << f;
        EXPECT_FALSE(rig.e.alpha_passes_fields(0, 0, f)) << "wrong type";
    }

    FactId plain = rig.insert("B", b_row(1));
    FactId fed = std::move(rig.e.insert_into("B", b_row(2), "feed")).value();
    EXPECT_EQ(rig.node(2, 0).win_in.count(plain), 0u);
    EXPECT_EQ(rig.node(2, 0).win_in.count(fed), 1u);
    EXPECT_EQ(rig.lia(0).passing.count(fed), 0u);
    EXPECT_EQ(rig.lia(0).passing.count(plain), 1u);
    // A fact that never passed a node stages nothing there when deleted.
    rig.consume_staged();
    ASSERT_TRUE(rig.e.delete_fact(plain));
    EXPECT_EQ(text(rig.node(2, 0).node.staged_right()), "ins[] upd[] del[]");
    EXPECT_EQ(text(rig.node(0, 0).first_input), "ins[] upd[] del[5/-/0]");
}

TEST(Propagation, WindowedAccumulateHoldsOutOldEventsAndDefersDeletes) {
    Rig rig("rule w when A() accumulate(Ev($n : n) over window:time(10s); $c : count()) then end", true);
    rig.e.clock = 20000;
    TrieNode& n = rig.node(0, 0);

    FactId old_event = rig.insert("Ev", ev_row(10000));  // 10000 + 10000 is not after the clock
    FactId fresh = rig.insert("Ev", ev_row(10001));
    EXPECT_EQ(n.win_out.count(old_event), 1u);
    EXPECT_EQ(n.win_in.count(old_event), 0u);
    EXPECT_EQ(n.win_in.count(fresh), 1u);
    EXPECT_EQ(text(n.node.staged_right()), "ins[1/-/0] upd[] del[]");

    // The delete is left to the queued window change; a deleted event held
    // out is forgotten.
    ASSERT_TRUE(rig.e.delete_fact(old_event));
    EXPECT_TRUE(n.win_out.empty());
    ASSERT_TRUE(rig.e.delete_fact(fresh));
    EXPECT_EQ(text(n.node.staged_right()), "ins[1/-/0] upd[] del[]");
    ASSERT_EQ(rig.e.window_changes.size(), 2u);
    EXPECT_EQ(rig.e.window_changes[1].fact, fresh);
    EXPECT_EQ(rig.e.window_changes[1].kind, 1u);
    EXPECT_FALSE(rig.e.eager_eval);
    EXPECT_FALSE(rig.e.tms.forced_eval);
}

TEST(Propagation, ARefusedUpdateLeavesStoreAndNetworkAlone) {
    Rig rig("rule r when A(x > 0) B(v > 0) then end");
    rig.insert("A", a_row(1));
    FactId b = rig.insert("B", b_row(1));
    rig.consume_staged();
    const uint64_t seq = rig.e.input_seq;
    EngineStatus s = rig.e.update_fact(b, {{"v", Value::i64(-1)}, {"nope", Value::i64(0)}});
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().message, "B: no field nope");
    EXPECT_EQ(rig.e.store.get(b, 0), Value::i64(1));
    EXPECT_EQ(rig.node(0, 0).win_in.count(b), 1u);
    EXPECT_EQ(text(rig.node(0, 0).node.staged_right()), "ins[] upd[] del[]");
    EXPECT_EQ(rig.e.input_seq, seq);
    EXPECT_EQ(flags(rig.e.nets[0]), "---");
}

// A setter's fields reach silent_writes only when something other than the
// firing's own update may look there first: a modify block, at every firing
// of a chain of them, writes no entry; a setter left without an update keeps
// its fields there for the next change to find the routes by; an insert
// between a setter and the update sees them there, and the update takes them.
TEST(Propagation, SettersLeaveSilentWritesOnlyWhereAnotherChangeMayReadThem) {
    Rig rig(R"(
        rule one when $a : A(x == 1) then modify($a) { setX(2) } end
        rule two when $a : A(x == 2) then modify($a) { setX(3) } end
        rule loose when $b : B(v == 1) then $b.setV(2); end
        rule around when $b : B(v == 5) then $b.setW(7); insert(new A(9, 0.5)); update($b); end
        rule inserts when $b : B(v == 6) then $b.setW(8); insert(new A(9, 0.5)); insert(new A(9, 0.5)); end
        rule rewrites when $b : B(v == 8) then $b.setW(1); insert(new A(9, 0.5)); $b.setV(9); end
    )");
    for (int k = 0; k < 10; ++k) rig.insert("A", a_row(1));
    EngineResult<Firings> fired = rig.e.fire_all(100);
    ASSERT_TRUE(fired);
    EXPECT_EQ(fired->size(), 20u);
    // Each step below fires exactly one rule.
    auto fire_one = [&] {
        fired = rig.e.fire_all(100);
        ASSERT_TRUE(fired);
        ASSERT_EQ(fired->size(), 1u);
    };
    EXPECT_EQ(rig.e.silent_writes_noted, 0u);
    EXPECT_TRUE(rig.e.silent_writes.empty());

    const FactId loose = rig.insert("B", b_row(1));
    ASSERT_TRUE(rig.e.fire_all(100));
    EXPECT_EQ(rig.e.silent_writes_noted, 1u);
    ASSERT_NE(rig.e.silent_writes.find(loose), nullptr);
    EXPECT_EQ(*rig.e.silent_writes.find(loose), uint64_t{1});  // field v
    // Rule loose's first pattern still holds the fact by v == 1: the next
    // update finds it there and lets it go.
    EXPECT_TRUE(rig.e.lias[rig.e.nets[2].lia].passing.contains(loose));
    ASSERT_TRUE(rig.e.update_fact(loose, {{"w", Value::i64(4)}}));
    EXPECT_FALSE(rig.e.lias[rig.e.nets[2].lia].passing.contains(loose));
    EXPECT_TRUE(rig.e.silent_writes.empty());
    rig.e.verify_routes_of(loose);

    const FactId around = rig.insert("B", b_row(5));
    ASSERT_NO_FATAL_FAILURE(fire_one());
    EXPECT_EQ(rig.e.silent_writes_noted, 2u);
    EXPECT_TRUE(rig.e.silent_writes.empty());
    EXPECT_EQ(rig.e.store.get(around, 1), Value::i64(7));
    rig.e.verify_routes_of(around);

    // Without an update the entry stays for the next change; each fact goes
    // there once however many inserts follow its setters.
    const FactId inserts = rig.insert("B", b_row(6));
    ASSERT_NO_FATAL_FAILURE(fire_one());
    EXPECT_EQ(rig.e.silent_writes_noted, 3u);
    ASSERT_NE(rig.e.silent_writes.find(inserts), nullptr);
    EXPECT_EQ(*rig.e.silent_writes.find(inserts), uint64_t{2});  // field w
    ASSERT_TRUE(rig.e.update_fact(inserts, {{"w", Value::i64(4)}}));
    EXPECT_TRUE(rig.e.silent_writes.empty());

    // A field written after the fact was handed goes there too, joining the first.
    const FactId rewrites = rig.insert("B", b_row(8));
    ASSERT_NO_FATAL_FAILURE(fire_one());
    EXPECT_EQ(rig.e.silent_writes_noted, 5u);
    ASSERT_NE(rig.e.silent_writes.find(rewrites), nullptr);
    EXPECT_EQ(*rig.e.silent_writes.find(rewrites), uint64_t{3});  // fields v and w
    ASSERT_TRUE(rig.e.update_fact(rewrites, {{"w", Value::i64(4)}}));
    EXPECT_TRUE(rig.e.silent_writes.empty());
}

TEST(Linking, LinkStateFollowsMembership) {
    Rig rig(R"(
        rule positive when A() B() then end
        rule blocked when A() not B(v > 0) then end
        rule exempt when A($x : x) not B(w == $x) then end
        rule counted when A() accumulate(B($v : v); $s : sum($v)) then end)");
    auto linked = [&] {
        std::string out;
        for (size_t r = 0; r < rig.e.rules.size(); ++r) out += rig.e.rule_linked(r) ? "1" : "0";
        return out;
    };
    EXPECT_EQ(linked(), "0000");  // no first-pattern fact, whatever else holds
    rig.insert("A", a_row(1));
    EXPECT_EQ(linked(), "0111");
    FactId b = rig.insert("B", b_row(1, 1));
    // The first blocker keeps the rule linked until an evaluation has seen it.
    EXPECT_TRUE(rig.node(1, 0).blocker_pending);
    EXPECT_EQ(linked(), "1111");
    rig.node(1, 0).blocker_pending = false;
    EXPECT_EQ(linked(), "1011");
    ASSERT_TRUE(rig.e.delete_fact(b));
    EXPECT_EQ(linked(), "0111");
}

TEST(Linking, ExistsGroupNeedsItsMembers) {
    // Two member patterns, then the group.
    Rig rig("rule g when A() exists (B() and Ev()) then end");
    rig.insert("A", a_row(1));
    // The group's node holds A's first-pattern input: its members are not asked.
    EXPECT_TRUE(rig.e.rule_linked(0));
    rig.consume_staged();
    EXPECT_FALSE(rig.e.rule_linked(0));
    rig.insert("B", b_row(1));
    EXPECT_FALSE(rig.e.rule_linked(0));
    rig.insert("Ev", ev_row(1));
    EXPECT_TRUE(rig.e.rule_linked(0));
    rig.consume_staged();
    rig.node(0, 0).win_in.clear();
    EXPECT_FALSE(rig.e.rule_linked(0));
    rig.node(0, 2).subnet_input.add_ins_ph(rig.e.tuples.intern(std::vector<FactId>{0, 1, 2}), std::nullopt, StagedFlag::Insert);
    EXPECT_TRUE(rig.e.rule_linked(0));
}

TEST(Linking, AFactJoiningAPassingSetLinksARuleThroughItsExistsGroup) {
    // Rule o's pattern comes first among A's routes: its take-in notes every
    // rule, and g's take-in is the second change of the insert.
    Rig rig("rule o when A(x > 0) then end  rule g when A() exists (B() and Ev()) then end");
    rig.insert("A", a_row(0));
    rig.consume_staged();
    // A fact passes g's first pattern, but nothing is staged at the group.
    ASSERT_EQ(rig.lia(1).passing.size(), 1u);
    ASSERT_FALSE(rig.e.rule_linked(1));
    rig.insert("A", a_row(1));
    EXPECT_TRUE(rig.e.rule_linked(1));
    EXPECT_EQ(flags(rig.e.nets[0]) + flags(rig.e.nets[1]), "ADLADL");
}

TEST(Linking, ChangesMarkTheRulesTheyLinkUnlinkOrFeed) {
    Rig rig("rule a when A() B() then end  rule e when Ev() B() then end");
    rig.insert("A", a_row(1));
    EXPECT_EQ(flags(rig.e.nets[0]), "---");  // unlinked: nothing to look at yet
    const uint64_t seq = rig.e.input_seq;
    FactId b = rig.insert("B", b_row(1));
    EXPECT_EQ(flags(rig.e.nets[0]), "ADL");
    EXPECT_EQ(rig.e.nets[0].dirty_stamp, seq + 1);  // numbered when its own input arrived
    EXPECT_EQ(flags(rig.e.nets[1]), "---");

    rig.consume_staged();
    rig.insert("A", a_row(2));  // linked with fresh input
    EXPECT_EQ(flags(rig.e.nets[0]), "ADL");
    rig.consume_staged();
    ASSERT_TRUE(rig.e.delete_fact(b));  // unlinks: what it produced must be re-checked
    EXPECT_EQ(flags(rig.e.nets[0]), "AD-");
    EXPECT_EQ(flags(rig.e.nets[1]), "---");
}

TEST(Linking, AChangeElsewhereMarksALinkedRuleThatStillHoldsInput) {
    // Rule a reads A only; rule c reads B only; rule n is blocked by any B.
    Rig rig("rule a when A() then end  rule c when B() then end  rule n when A() not B() then end");
    rig.insert("A", a_row(1));
    EXPECT_EQ(flags(rig.e.nets[0]) + flags(rig.e.nets[1]) + flags(rig.e.nets[2]), "ADL---ADL");

    // As after an evaluation that left a's window and n's input unread.
    for (RuleNet& net : rig.e.nets) net.on_agenda = net.dirty = net.linked_mark = false;
    FactId b = rig.insert("B", b_row(1));
    // a is linked with input left: marked again. c is fed. n's first
    // blocker waits for an evaluation to see it, so n stays linked.
    EXPECT_EQ(flags(rig.e.nets[0]) + flags(rig.e.nets[1]) + flags(rig.e.nets[2]), "ADLADLADL");

    // Marked rules keep their marks through further changes.
    rig.update(b, {{"v", Value::i64(2)}});
    rig.insert("A", a_row(2));
    EXPECT_EQ(flags(rig.e.nets[0]) + flags(rig.e.nets[1]) + flags(rig.e.nets[2]), "ADLADLADL");

    // With nothing left to read, a change marks linked rules linked only.
    rig.consume_staged();
    rig.update(b, {{"v", Value::i64(3)}});
    EXPECT_EQ(flags(rig.e.nets[0]) + flags(rig.e.nets[1]) + flags(rig.e.nets[2]), "--L--L--L");
}

TEST(Linking, StageSnapshotCountsStagedInput) {
    Rig rig("rule two when A() B() then end  rule one when B() then end", true);
    rig.insert("A", a_row(1));
    FactId b = rig.insert("B", b_row(1));
    rig.insert("B", b_row(2));
    rig.e.flush_linked = {1, 0};
    rig.e.nets[1].s0_windows = {Staged<FactId>{}};
    rig.e.nets[1].s0_windows.back().add_upd_ph(b, std::nullopt, StagedFlag::Change);
    rig.e.nodes[0].node.stage_right_delete(7, std::nullopt);

    StageSnapshot s = rig.e.stage_snapshot();
    ASSERT_EQ(s.node_counts.size(), 1u);
    EXPECT_EQ(s.node_counts[0], (std::array<uint64_t, 6>{1, 0, 2, 0, 0, 1}));
    EXPECT_EQ(s.window_totals, (std::vector<uint64_t>{0, 1}));
    EXPECT_EQ(s.linked_before, (std::vector<uint8_t>{1, 1}));
    EXPECT_EQ(s.flush_linked_before, (std::vector<uint8_t>{1, 0}));
    // Without event types no flush reads it.
    rig.e.event_decls.clear();
    EXPECT_TRUE(rig.e.stage_snapshot().node_counts.empty());
}

TEST(Linking, ARuleLinkedDuringExpiryTakesItsLiveStagedFactsIntoMemory) {
    Rig rig("rule r when A() B() then end");
    FactId live = rig.insert("B", b_row(1));
    FactId gone = rig.insert("B", b_row(2));
    rig.e.store.remove(gone);  // dead, its delete not propagated yet
    rig.e.expiring = true;
    rig.insert("A", a_row(1));
    Node& n = rig.node(0, 0).node;
    EXPECT_EQ(n.collect_matching_rights(std::nullopt), std::vector<FactId>{live});
    EXPECT_EQ(text(n.staged_right()), "ins[1/-/0] upd[] del[]");
}

// A change reads the link state of the rules whose first pattern holds facts
// and of the rules it touches, not of every rule: rules no fact reaches cost
// it nothing, and they link as soon as one does.
TEST(Propagation, AChangeReadsTheLinkStateOfRulesWithFactsNotOfEveryRule) {
    std::string rules = R"(
        rule one when $a : A(x == 1) then modify($a) { setX(2) } end
        rule two when $a : A(x == 2) then modify($a) { setX(3) } end
        rule joined when $a : A(x == 3) $b : B(v == 0) then end
    )";
    constexpr int kIdle = 400;
    for (int k = 1; k <= kIdle; ++k) rules += "rule idle" + std::to_string(k) + " when B(v == " + std::to_string(k) + ") then end\n";
    Rig rig(rules);
    for (int k = 0; k < 10; ++k) rig.insert("A", a_row(1));
    const uint64_t read_before = rig.e.link_rules_read;
    EngineResult<Firings> fired = rig.e.fire_all(100);
    ASSERT_TRUE(fired);
    EXPECT_EQ(fired->size(), 20u);
    // Each modify reads rules one, two and joined at most twice; a walk over
    // every rule would read 403 a call.
    EXPECT_LE(rig.e.link_rules_read - read_before, 20u * 2 * 3);
    rig.e.verify();

    // A B that a rule's first pattern takes links that rule (and the join).
    rig.insert("B", b_row(7));
    rig.insert("B", b_row(0));
    fired = rig.e.fire_all(100);
    ASSERT_TRUE(fired);
    std::vector<std::string> names;
    for (const Firing& f : *fired) names.push_back(f.rule);
    // The newer B's activations first.
    EXPECT_EQ(names, std::vector<std::string>({"joined", "joined", "joined", "joined", "joined", "joined", "joined", "joined",
                                                "joined", "joined", "idle7"}));
    rig.e.verify();
}

TEST(Propagation, ADeletedEventEvaluatesTheRulesItMayUnblockAtOnce) {
    // B is no event type: its delete leaves rule b to the next fire.
    Rig rig("rule e when A() not Ev() then end  rule b when A() not B() then end", true);
    FactId a = rig.insert("A", a_row(1));
    FactId ev = rig.insert("Ev", ev_row(5));
    FactId b = rig.insert("B", b_row(1));
    for (size_t r = 0; r < 2; ++r) rig.e.evaluate_rule_inner(r, true);
    ASSERT_TRUE(rig.e.nets[0].acts.empty());
    ASSERT_TRUE(rig.e.nets[1].acts.empty());

    ASSERT_TRUE(rig.e.delete_fact(ev));
    ASSERT_TRUE(rig.e.delete_fact(b));
    ASSERT_EQ(rig.e.nets[0].acts.size(), 1u);
    EXPECT_EQ(rig.e.tuples.view(rig.e.nets[0].acts.items()[0].tuple)[0], a);
    EXPECT_EQ(rig.e.tuples.size_of(rig.e.nets[0].acts.items()[0].tuple), 1u);
    EXPECT_TRUE(rig.e.nets[1].acts.empty()) << "left to the next fire";
    EXPECT_FALSE(rig.e.eager_eval);
}

// The first fire takes the facts stored before it a run of one type at a
// time. What that stages, numbers and marks, and what the fire then fires,
// must be what taking the facts one at a time gives: rules that link, unlink
// (a first blocker) and stay unlinked across the runs, rules sharing a first
// pattern, patterns with and without tests of their own, and types no
// pattern reads; and with a ?query, whose sessions take each fact on its own.
TEST(Propagation, StoredFactsTakenInRunsStageMarkAndFireAsOneAtATime) {
    const std::string base = R"(
        rule join when A($x : x) B(v == $x) then end
        rule guarded when A(x > 2) B() then end
        rule blocked when B() not A(x == 1) then end
        rule some when A() exists (B(w > 0) and B(v < 3)) then end
        rule lone when B(w == 1) then end
        rule plain when A() then end)";
    const std::vector<std::string> programs = {
        base,
        base + " query has(long $x) B(v == $x) end rule asked when A($x : x) ?has($x;) then end",
    };
    auto state = [](Engine& e) {
        std::string out = "seq " + std::to_string(e.input_seq) + " shadow " + std::to_string(e.shadow_seq) + "\n";
        auto ids = [](const DenseIdSet& s) {
            std::string t;
            s.for_each([&](FactId f) { t += " " + std::to_string(f); });
            return t;
        };
        for (const Lia& l : e.lias) out += "lia" + ids(l.passing) + "\n";
        for (const TrieNode& n : e.nodes)
            out += "node first " + text(n.first_input) + " right " + text(n.node.staged_right()) + " in" +
                   ids(n.win_in) + (n.blocker_pending ? " pending" : "") + "\n";
        for (size_t r = 0; r < e.nets.size(); ++r)
            out += e.rules[r].def.name + " " + flags(e.nets[r]) + " " + std::to_string(e.nets[r].dirty_stamp) + " " +
                   (e.rule_linked(r) ? "linked " : "unlinked ") + windows(e.nets[r]) + "\n";
        return out;
    };
    auto fired = [](Engine& e) {
        EngineResult<Firings> f = e.fire_all(10000);
        EXPECT_TRUE(f);
        std::string out;
        if (!f) return out;
        for (const Firing& x : *f) {
            out += x.rule + ":";
            for (const FactView& v : x.facts) out += " " + std::to_string(v.id);
            out += "\n";
        }
        return out;
    };
    std::mt19937 rng(11);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int round = 0; round < 80; ++round) {
        const std::string& rules = programs[round % programs.size()];
        Rig runs(rules), single(rules);
        std::vector<FactId> stored;
        const int run_count = pick(0, 6);
        for (int k = 0; k < run_count; ++k) {
            const int kind = pick(0, 4);  // A mostly, B, now and then Ev (read by no rule)
            const int length = pick(1, 12);
            for (int i = 0; i < length; ++i) {
                const char* type = kind <= 1 ? "A" : kind <= 3 ? "B" : "Ev";
                const Row row = kind <= 1 ? a_row(pick(0, 4)) : kind <= 3 ? b_row(pick(0, 4), pick(0, 2)) : ev_row(i);
                FactId f = 0;
                for (Rig* rig : {&runs, &single}) {
                    PreparedInsert p = std::move(rig->e.prepare_insert(type, row, std::nullopt)).value();
                    f = *rig->e.store.insert(p.type, std::move(p.values));
                }
                stored.push_back(f);
            }
        }
        runs.e.on_insert_stored(stored);
        for (FactId f : stored) single.e.on_insert(f, std::nullopt);
        ASSERT_EQ(state(runs.e), state(single.e)) << "round " << round;
        ASSERT_EQ(fired(runs.e), fired(single.e)) << "round " << round;
    }
}
