// The stream flush at node level: what an insert cascades down temporal joins,
// what it sets aside and puts back, the marks it keeps per rule, and that
// looking only at an insert's reach fires exactly what looking at the whole
// network fires.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "engine/engine.h"

using namespace quarn;

namespace {

using Row = std::vector<std::pair<std::string, Value>>;

Row tx(int64_t ts, int64_t key, int64_t v = 0) {
    return {{"ts", Value::i64(ts)}, {"key", Value::i64(key)}, {"v", Value::i64(v)}};
}

// An engine over Key(id), Tx(ts, key, v) (an event type), Other(x), with the
// rules loaded and a first fire done, so that inserts flush.
struct Session {
    Engine e = std::move(Engine::create({{"Key", {{"id", FieldType::i64()}}, 0},
                                         {"Tx", {{"ts", FieldType::i64()}, {"key", FieldType::i64()}, {"v", FieldType::i64()}}, 0},
                                         {"Other", {{"x", FieldType::i64()}}, 0}}))
                   .value();

    explicit Session(const std::string& rules) {
        EXPECT_TRUE(e.declare_event("Tx", "ts", std::nullopt, 60'000));
        EngineStatus loaded = e.add_rules_text(rules);
        EXPECT_TRUE(loaded) << loaded.error().message;
        EXPECT_TRUE(e.fire_all(1000));
    }
    FactId insert(const char* type, Row row) { return std::move(e.insert(type, std::move(row))).value(); }
    TrieNode& node(size_t rule, size_t position) { return e.nodes[e.nets[rule].node_ids[position]]; }
    std::string tuples(const EntryList<TupleId>& l) const {
        std::string out;
        for (const auto& x : l) {
            out += out.empty() ? "[" : " [";
            const TupleView t = e.tuples.view(x.item);
            for (size_t k = 0; k < t.size(); ++k) out += (k ? "," : "") + std::to_string(t[k]);
            out += "]";
        }
        return out;
    }
};

std::string facts(const EntryList<FactId>& l) {
    std::string out;
    for (const auto& x : l) out += (out.empty() ? "" : " ") + std::to_string(x.item);
    return out;
}

TEST(StreamFlush, ATemporalJoinCascadesItsNewMatchIntoTheNextNodeWhileItsRuleWaits) {
    Session s("rule chain when $a : Tx(key == 1) $b : Tx(key == 2, this after[0s,5s] $a) Key(id == 7) then end");
    const FactId a = s.insert("Tx", tx(0, 1));
    // Unlinked (no Key 7): not evaluated, but the first-pattern fact went into memory.
    EXPECT_EQ(s.node(0, 0).node.left_memory().size(), 1u);
    EXPECT_TRUE(s.node(0, 0).first_input.empty());
    const FactId b = s.insert("Tx", tx(2000, 2));
    EXPECT_TRUE(s.node(0, 0).node.staged_right().empty());
    EXPECT_EQ(s.tuples(s.node(0, 1).node.staged_left().ins), "[" + std::to_string(a) + "," + std::to_string(b) + "]");
    EXPECT_FALSE(s.e.nets[0].on_agenda);
}

TEST(StreamFlush, ATemporalJoinClosingANotGroupCascadesIntoTheGroupsInnerInput) {
    // The group's last member feeds the group node's inner input; its match
    // must reach it there as an evaluation would route it.
    Session s("rule r when $a : Tx(key == 1) not (Other(x == 1) and Tx(key == 2, this after[0s,5s] $a)) Key(id == 7) then end");
    TrieNode& member = s.node(0, 1);
    ASSERT_TRUE(member.node.temporal());
    ASSERT_EQ(member.targets.size(), 1u);
    ASSERT_EQ(member.targets[0].kind, Target::Kind::Subnet);
    // As after an evaluation that joined Tx a and Other o: [a, o] is in the
    // member's left memory, and the rule waits unlinked for a Key 7.
    const FactId a = s.insert("Tx", tx(0, 1));
    const FactId o = s.insert("Other", {{"x", Value::i64(1)}});
    const TupleId left = s.e.tuples.intern(std::vector<FactId>{a, o});
    member.node.store_left(left, std::nullopt);
    ASSERT_FALSE(s.e.rule_linked(0));

    const FactId b = s.insert("Tx", tx(2000, 2));
    const TrieNode& group = s.e.nodes[member.targets[0].index];
    EXPECT_EQ(s.tuples(group.subnet_input.ins),
              "[" + std::to_string(a) + "," + std::to_string(o) + "," + std::to_string(b) + "]");
    EXPECT_TRUE(member.node.staged_right().empty());
}

TEST(StreamFlush, WindowChangesStagedBeforeAnInsertWaitBehindItAndTouchNothing) {
    Session s("rule r when $t : Tx(v > 0) then end");
    const FactId t0 = s.insert("Tx", tx(0, 1, 1));
    const FactId t1 = s.insert("Tx", tx(1, 1, 2));
    ASSERT_TRUE(s.e.fire_all(1000));
    ASSERT_TRUE(s.e.update_fact(t0, {{"v", Value::i64(5)}}));
    ASSERT_TRUE(s.e.delete_fact(t1));
    RuleNet& net = s.e.nets[0];
    const size_t windows_before = net.s0_windows.size();

    setenv("QUARN_FLUSH_DEBUG", "1", 1);
    ::testing::internal::CaptureStderr();
    const FactId t2 = s.insert("Tx", tx(2, 1, 3));
    const std::string trace = ::testing::internal::GetCapturedStderr();
    unsetenv("QUARN_FLUSH_DEBUG");
    // One new insert does not outnumber the update and the delete: untouched.
    EXPECT_EQ(trace, "flush: r0 queued=true touched=false\n");
    // Every window is where it was, the new insert in a window of its own.
    ASSERT_EQ(net.s0_windows.size(), windows_before + 1);
    std::string windows;
    for (const Staged<FactId>& w : net.s0_windows)
        windows += "(" + facts(w.ins) + "|" + facts(w.upd) + "|" + facts(w.del) + ")";
    EXPECT_EQ(windows, "(|" + std::to_string(t0) + "|)(||" + std::to_string(t1) + ")(" + std::to_string(t2) + "||)(||)");

    EngineResult<Firings> fired = s.e.fire_all(1000);
    ASSERT_TRUE(fired);
    ASSERT_EQ(fired->size(), 2u);
    // The later activation first: the insert, then the update.
    EXPECT_EQ((*fired)[0].facts[0].id, t2);
    EXPECT_EQ((*fired)[1].facts[0].id, t0);
}

TEST(StreamFlush, FlushMarksAreOneBytePerRuleFromTheStartAndAMissingByteReadsAsUnlinked) {
    Session s("rule a when Key() Tx() then end  rule b when Other() then end");
    EXPECT_EQ(s.e.flush_linked.size(), 2u);
    ASSERT_TRUE(s.e.reset());
    EXPECT_EQ(s.e.flush_linked, (std::vector<uint8_t>{0, 0}));
    ASSERT_TRUE(s.e.fire_all(1000));
    // A snapshot whose marks are shorter than the rules: read as 0, never past the end.
    StageSnapshot snap = s.e.stage_snapshot_for(*s.e.store.type_id("Other"));
    snap.flush_linked_before.clear();
    const FactId o = *s.e.store.insert(*s.e.store.type_id("Other"), {Value::i64(1)});
    s.e.on_insert(o, std::nullopt);
    s.e.stream_flush_ex(snap, true);
    EXPECT_EQ(s.e.flush_linked, (std::vector<uint8_t>{0, 1}));
}

TEST(StreamFlush, ASnapshotForATypeCoversTheRulesItsInsertCanReachAndEveryTemporalNode) {
    Session s(R"(
        rule a when $k : Key($id : id) $t : Tx(key == $id) then end
        rule b when Other() Other(x > 1) then end
        rule c when $t : Tx(key == 1) Tx(key == 2, this after[0s,1s] $t) then end
        rule d when Key() then end)");
    auto rules_of = [&](const char* type) {
        std::vector<uint32_t> out = s.e.stage_snapshot_for(*s.e.store.type_id(type)).rules;
        return out;
    };
    EXPECT_EQ(rules_of("Key"), (std::vector<uint32_t>{0, 2, 3}));
    EXPECT_EQ(rules_of("Tx"), (std::vector<uint32_t>{0, 2}));
    EXPECT_EQ(rules_of("Other"), (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(s.e.stage_snapshot_for(*s.e.store.type_id("Other")).nodes,
              (std::vector<uint32_t>{static_cast<uint32_t>(s.e.nets[1].node_ids[0]),
                                     static_cast<uint32_t>(s.e.nets[2].node_ids[0])}));
}

// The same random program in two sessions, one whose flushes look at the whole
// network (the trace switches that on) and one whose flushes look only at each
// insert's reach: they fire the same rules on the same facts in the same order.
std::vector<std::string> random_program(uint32_t seed, bool whole) {
    if (whole) setenv("QUARN_FLUSH_DEBUG", "1", 1);
    if (whole) ::testing::internal::CaptureStderr();
    Session s(R"(
        rule j when $k : Key($id : id) $t : Tx(key == $id) then end
        rule n when $k : Key($id : id) not Tx(key == $id, v > 5) then end
        rule x when $k : Key($id : id) exists Other(x == $id) then end
        rule w when $k : Key($id : id) accumulate(Tx(key == $id, $v : v) over window:time(2s); $s : sum($v)) then end
        rule t when $a : Tx(key == 1) $b : Tx(key == 2, this after[0s,3s] $a) then end
        rule u when $a : Tx(key == 1) $b : Tx(key == 2, this after[0s,3s] $a) then end
        rule o when $o : Other($x : x) Key(id == $x) then end
        rule p when Tx(v > 8) then end)");
    std::mt19937 rng(seed);
    auto pick = [&](int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(rng); };
    std::vector<std::string> out;
    std::vector<FactId> live;
    for (int i = 0; i < 300; ++i) {
        const int64_t op = pick(0, 12);
        if (op <= 4) {
            live.push_back(s.insert("Tx", tx(s.e.clock + pick(-500, 500), pick(0, 3), pick(0, 10))));
        } else if (op == 5) {
            live.push_back(s.insert("Key", {{"id", Value::i64(pick(0, 3))}}));
        } else if (op == 6) {
            live.push_back(s.insert("Other", {{"x", Value::i64(pick(0, 3))}}));
        } else if (op == 7 && !live.empty()) {
            const FactId f = live[static_cast<size_t>(pick(0, static_cast<int64_t>(live.size()) - 1))];
            if (s.e.store.is_alive(f)) {
                EXPECT_TRUE(s.e.delete_fact(f));
            }
        } else if (op == 8 && !live.empty()) {
            const FactId f = live[static_cast<size_t>(pick(0, static_cast<int64_t>(live.size()) - 1))];
            if (s.e.store.is_alive(f) && s.e.store.schema(s.e.store.fact_type(f)).name == "Tx") {
                EXPECT_TRUE(s.e.update_fact(f, {{"v", Value::i64(pick(0, 10))}}));
            }
        } else if (op == 9) {
            EXPECT_TRUE(s.e.advance(pick(0, 1500)));
        } else if (op >= 10) {
            EngineResult<Firings> fired = s.e.fire_all(100000);
            EXPECT_TRUE(fired);
            if (!fired) break;
            for (const Firing& f : *fired) {
                std::string line = f.rule;
                for (const FactView& v : f.facts) line += " " + std::to_string(v.id);
                out.push_back(line);
            }
            out.push_back("--");
        }
    }
    if (whole) ::testing::internal::GetCapturedStderr();
    if (whole) unsetenv("QUARN_FLUSH_DEBUG");
    return out;
}

TEST(StreamFlush, LookingOnlyAtAnInsertsReachFiresWhatLookingAtTheWholeNetworkFires) {
    for (uint32_t seed = 1; seed <= 10; ++seed) {
        const std::vector<std::string> whole = random_program(seed, true);
        const std::vector<std::string> reach = random_program(seed, false);
        EXPECT_GT(whole.size(), 20u);
        EXPECT_EQ(reach, whole) << "seed " << seed;
    }
}

// One event, then a stream of events that each join it, then one fire. Each
// event of the stream reads its partners on the other side of the temporal
// join (the one event), never the stream stored before it on its own side,
// whether it is evaluated as it arrives (after a first fire) or by the fire
// that takes the stream whole; an event arriving after the stream reads it
// once. A walk of the own side per insert reads n * n / 2 entries.
TEST(StreamFlush, AnEventStreamIntoATemporalJoinReadsItsPartnersNotItsOwnSide) {
    constexpr int64_t n = 2'000;
    struct Case {
        const char* what;
        bool fired_first;  // inserts flush at once
        bool stream_first;
    };
    for (const Case c : {Case{"between fires", true, false}, Case{"before the first fire", false, false},
                         Case{"stream first, between fires", true, true},
                         Case{"stream first, before the first fire", false, true}}) {
        SCOPED_TRACE(c.what);
        Engine e = std::move(Engine::create({{"Tx", {{"ts", FieldType::i64()}, {"key", FieldType::i64()}, {"v", FieldType::i64()}}, 0}}))
                       .value();
        ASSERT_TRUE(e.declare_event("Tx", "ts", std::nullopt, 60'000));
        ASSERT_TRUE(e.add_rules_text("rule pair when $a : Tx(key == 1) $b : Tx(key == 2, this after[0ms,10s] $a) then end"));
        if (c.fired_first) {
            ASSERT_TRUE(e.fire_all(1000));
        }
        const auto one = [&] { ASSERT_TRUE(e.insert("Tx", tx(0, 1))); };
        if (!c.stream_first) one();
        for (int64_t k = 1; k <= n; ++k) ASSERT_TRUE(e.insert("Tx", tx(k, 2)));
        if (c.stream_first) one();
        EngineResult<Firings> fired = e.fire_all(10 * n);
        ASSERT_TRUE(fired) << fired.error().message;
        EXPECT_EQ(fired->size(), static_cast<size_t>(n));
        const Node& join = e.nodes[e.nets[0].node_ids[0]].node;
        ASSERT_TRUE(join.temporal());
        EXPECT_GE(join.temporal_reads(), static_cast<uint64_t>(n));
        EXPECT_LE(join.temporal_reads(), static_cast<uint64_t>(2 * n));
    }
}

}  // namespace
