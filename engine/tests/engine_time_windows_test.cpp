// Sliding time windows of accumulates against a brute-force recomputation:
// random event inserts (some already outside their window), updates, deletes,
// clock advances and key changes, with a fire now and then; after every fire
// each key's windowed count and sum equal those of the live events whose
// insert-time timestamp plus the window is after the clock and that pass the
// pattern, and the unwindowed count holds every live event.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "engine/engine.h"

using namespace quarn;

namespace {

constexpr int64_t kWindow = 1000;

struct EventModel {
    int64_t ts = 0;  // at insert: later updates of the field do not move the event
};

class WindowSession {
public:
    WindowSession(std::optional<int64_t> expires, uint32_t seed) : rng_(seed) {
        e_ = std::move(Engine::create({{"Key", {{"id", FieldType::i64()}}, 0},
                                       {"Ev",
                                        {{"ts", FieldType::i64()},
                                         {"key", FieldType::i64()},
                                         {"v", FieldType::i64()},
                                         {"ok", FieldType::boolean()}},
                                        0}}))
                 .value();
        EXPECT_TRUE(e_->declare_event("Ev", "ts", std::nullopt, expires));
        EngineStatus loaded = e_->add_rules_text(R"(
            rule cnt when $k : Key($id : id) accumulate(Ev(key == $id, ok == true) over window:time(1s); $n : count()) then end
            rule sum when $k : Key($id : id) accumulate(Ev(key == $id, ok == true, $v : v) over window:time(1s); $s : sum($v)) then end
            rule all when $k : Key($id : id) accumulate(Ev(key == $id); $n : count()) then end
        )");
        EXPECT_TRUE(loaded) << loaded.error().message;
    }

    int64_t pick(int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(rng_); }

    void step() {
        const int64_t clock = e_->clock;
        switch (pick(0, 19)) {
            case 0:
            case 1:
            case 2:
            case 3:
            case 4:
            case 5: {
                // Around the clock: some already out (ts + window <= clock), some ahead of it.
                const int64_t ts = clock + pick(-kWindow - 20, 30);
                EngineResult<FactId> f = e_->insert("Ev", {{"ts", Value::i64(ts)},
                                                           {"key", Value::i64(pick(0, 3))},
                                                           {"v", Value::i64(pick(-5, 20))},
                                                           {"ok", Value::boolean(pick(0, 3) != 0)}});
                ASSERT_TRUE(f);
                events_[*f] = EventModel{ts};
                break;
            }
            case 6:
            case 7:
            case 8:
            case 9: {
                std::optional<FactId> f = some_event();
                if (!f) break;
                std::vector<std::pair<std::string, Value>> change;
                switch (pick(0, 4)) {
                    case 0: change = {{"v", Value::i64(pick(-5, 20))}}; break;
                    case 1: change = {{"ok", Value::boolean(pick(0, 1) != 0)}}; break;
                    case 2: change = {{"key", Value::i64(pick(0, 3))}}; break;
                    case 3: change = {{"ts", Value::i64(clock + pick(-kWindow, kWindow))}}; break;
                    default: change = {{"ok", Value::boolean(true)}, {"v", Value::i64(pick(-5, 20))}}; break;
                }
                ASSERT_TRUE(e_->update_fact(*f, change));
                break;
            }
            case 10:
            case 11: {
                std::optional<FactId> f = some_event();
                if (f) {
                    ASSERT_TRUE(e_->delete_fact(*f));
                }
                break;
            }
            case 12:
            case 13:
            case 14: {
                const int64_t by[] = {0, 1, kWindow / 3, kWindow - 1, kWindow, pick(1, 2 * kWindow)};
                ASSERT_TRUE(e_->advance(by[pick(0, 5)]));
                break;
            }
            case 15: {
                EngineResult<FactId> k = e_->insert("Key", {{"id", Value::i64(pick(0, 4))}});
                ASSERT_TRUE(k);
                keys_.push_back(*k);
                break;
            }
            case 16: {
                if (keys_.empty()) break;
                const size_t at = static_cast<size_t>(pick(0, static_cast<int64_t>(keys_.size()) - 1));
                ASSERT_TRUE(e_->delete_fact(keys_[at]));
                keys_.erase(keys_.begin() + static_cast<std::ptrdiff_t>(at));
                break;
            }
            default: fire_and_check(); break;
        }
    }

    void fire_and_check() {
        EngineResult<Firings> fired = e_->fire_all(1'000'000);
        ASSERT_TRUE(fired) << fired.error().message;
        ++fires_;
        for (size_t r = 0; r < 3; ++r) {
            const std::map<FactId, int64_t> got = results(r);
            for (FactId k : keys_) {
                const int64_t id = e_->store.get(k, 0).as_i64();
                int64_t count = 0, sum = 0, all = 0;
                for (const auto& [f, model] : events_) {
                    if (!e_->store.is_alive(f) || e_->store.get(f, 1).as_i64() != id) continue;
                    ++all;
                    // Two's complement, as the window test adds.
                    const bool inside =
                        static_cast<int64_t>(static_cast<uint64_t>(model.ts) + uint64_t{kWindow}) > e_->clock;
                    if (!inside || !e_->store.get(f, 3).as_bool()) continue;
                    ++count;
                    sum += e_->store.get(f, 2).as_i64();
                }
                const int64_t want = r == 0 ? count : r == 1 ? sum : all;
                auto it = got.find(k);
                ASSERT_NE(it, got.end()) << "rule " << r << " has no result for key fact " << k;
                ASSERT_EQ(it->second, want) << "rule " << r << ", key " << id << ", clock " << e_->clock << ", fire "
                                            << fires_;
            }
        }
    }

    // Every event recorded with the time it was inserted at (a dead one's
    // may have gone with its row), and expired events gone once the fire ran.
    void check_event_times(std::optional<int64_t> expires) {
        for (const auto& [f, model] : events_) {
            auto ts = e_->store.event_ts.find(f);
            if (ts != e_->store.event_ts.end()) EXPECT_EQ(ts->second, model.ts);
            else EXPECT_FALSE(e_->store.is_alive(f)) << f;
            if (expires && model.ts + *expires + 1 <= e_->clock) {
                EXPECT_FALSE(e_->store.is_alive(f)) << f;
            }
        }
    }

    size_t fires() const { return fires_; }

private:
    std::optional<FactId> some_event() {
        std::vector<FactId> live;
        for (const auto& [f, model] : events_)
            if (e_->store.is_alive(f)) live.push_back(f);
        if (live.empty()) return std::nullopt;
        return live[static_cast<size_t>(pick(0, static_cast<int64_t>(live.size()) - 1))];
    }

    // Rule r's published result per key fact.
    std::map<FactId, int64_t> results(size_t r) const {
        std::map<FactId, int64_t> out;
        const size_t node = e_->nets[r].node_ids.at(0);
        auto st = e_->acc.nodes.find(node);
        if (st == e_->acc.nodes.end()) return out;
        for (const auto& [tuple, ctx] : st->second.acc_ctxs) {
            if (!ctx.emitted || !ctx.result_fact) continue;
            out[e_->tuples.view(tuple)[0]] = e_->store.get(*ctx.result_fact, 0).as_i64();
        }
        return out;
    }

    std::optional<Engine> e_;
    std::mt19937 rng_;
    std::map<FactId, EventModel> events_;  // every event ever inserted
    std::vector<FactId> keys_;              // live keys
    size_t fires_ = 0;
};

TEST(TimeWindows, WindowedAccumulatesEqualABruteForceOverLiveEventsInsideTheirWindow) {
    // Events kept long after their window closes, and events kept exactly as
    // long as the window needs them.
    for (std::optional<int64_t> expires : {std::optional<int64_t>(5 * kWindow), std::optional<int64_t>()}) {
        for (uint32_t seed = 1; seed <= 12; ++seed) {
            SCOPED_TRACE(::testing::Message() << "seed " << seed << (expires ? " with expiry" : " window expiry"));
            WindowSession s(expires, seed);
            for (int k = 0; k < 3; ++k) ASSERT_NO_FATAL_FAILURE(s.step());
            for (int i = 0; i < 400; ++i) {
                ASSERT_NO_FATAL_FAILURE(s.step());
                if (::testing::Test::HasFatalFailure()) return;
            }
            ASSERT_NO_FATAL_FAILURE(s.fire_and_check());
            ASSERT_NO_FATAL_FAILURE(s.check_event_times(expires));
            EXPECT_GT(s.fires(), 10u);
        }
    }
}

}  // namespace

namespace {

TEST(TimeWindows, ARemovalTakesOnlyAMemberOutAndStagesItsDelete) {
    Engine e = std::move(Engine::create({{"Key", {{"id", FieldType::i64()}}, 0},
                                         {"Ev", {{"ts", FieldType::i64()}, {"key", FieldType::i64()}}, 0}}))
                   .value();
    ASSERT_TRUE(e.declare_event("Ev", "ts", std::nullopt, 60'000));
    ASSERT_TRUE(e.add_rules_text(
        "rule w when $k : Key($id : id) accumulate(Ev(key == $id) over window:time(10s); $n : count()) then end\n"
        "rule a when $k : Key($id : id) accumulate(Ev(key == $id); $n : count()) then end"));
    // One registration per accumulate node: the window's length, or none for
    // the accumulate that holds events until they expire.
    ASSERT_EQ(e.window_sources.size(), 2u);
    EXPECT_EQ(e.window_sources[0].window_ms, std::optional<int64_t>(10'000));
    EXPECT_EQ(e.window_sources[1].window_ms, std::nullopt);
    const size_t node = e.window_sources[0].owner;
    ASSERT_TRUE(e.insert("Key", {{"id", Value::i64(1)}}));
    ASSERT_TRUE(e.fire_all(100));
    const FactId in = *e.insert("Ev", {{"ts", Value::i64(0)}, {"key", Value::i64(1)}});
    ASSERT_TRUE(e.nodes[node].win_in.count(in));
    EXPECT_EQ(e.window_deadlines.count(10'000), 1u);

    e.stage_acc_removal(node, in);
    EXPECT_FALSE(e.nodes[node].win_in.count(in));
    EXPECT_TRUE(e.nodes[node].win_out.count(in));
    EXPECT_TRUE(e.nodes[node].node.staged_right().del.contains(in));
    EXPECT_TRUE(e.nets[0].on_agenda && e.nets[0].dirty);
    // Out already: nothing more is staged.
    e.stage_acc_removal(node, in);
    EXPECT_EQ(e.nodes[node].node.staged_right().del.size(), 1u);
    // The count drops at the next fire; the unwindowed one keeps the event.
    EngineResult<Firings> fired = e.fire_all(100);
    ASSERT_TRUE(fired);
    ASSERT_EQ(fired->size(), 2u);
    EXPECT_EQ((*fired)[0].rule, "w");
    EXPECT_EQ((*fired)[0].facts[1].fields[0].second, Value::i64(0));
    EXPECT_EQ((*fired)[1].rule, "a");
    EXPECT_EQ((*fired)[1].facts[1].fields[0].second, Value::i64(1));
}

}  // namespace

namespace {

// A queued change of an accumulate source (an event's update or delete taken
// at the next fire) and a window eviction read the accumulate nodes of the
// fact's type and the rules listing them: accumulates over other types, however
// many, cost them nothing, and the rules sharing the changed node all see it.
TEST(TimeWindows, AQueuedSourceChangeReadsTheAccumulatesOfItsTypeNotEveryRule) {
    Engine e = std::move(Engine::create({{"Key", {{"id", FieldType::i64()}}, 0},
                                         {"Ev", {{"ts", FieldType::i64()}, {"v", FieldType::i64()}}, 0},
                                         {"Other", {{"ts", FieldType::i64()}, {"v", FieldType::i64()}}, 0}}))
                   .value();
    ASSERT_TRUE(e.declare_event("Ev", "ts", std::nullopt, 1'000'000));
    ASSERT_TRUE(e.declare_event("Other", "ts", std::nullopt, 1'000'000));
    std::string rules = R"(
        rule sum when Key($id : id) accumulate(Ev($v : v); $s : sum($v)) then end
        rule same when Key($id : id) accumulate(Ev($v : v); $s : sum($v)) then end
        rule win when Key($id : id) accumulate(Ev($v : v) over window:time(10s); $s : sum($v)) then end
    )";
    constexpr int kIdle = 300;
    for (int i = 0; i < kIdle; ++i)
        rules += "rule idle" + std::to_string(i) + " when Key($id : id) accumulate(Other(v > " + std::to_string(i) +
                 ", $v : v); $n : count()) then end\n";
    ASSERT_TRUE(e.add_rules_text(rules));
    ASSERT_TRUE(e.insert("Key", {{"id", Value::i64(1)}}));
    ASSERT_TRUE(e.insert("Other", {{"ts", Value::i64(0)}, {"v", Value::i64(5)}}));
    const FactId ev = *e.insert("Ev", {{"ts", Value::i64(0)}, {"v", Value::i64(1)}});
    ASSERT_TRUE(e.insert("Ev", {{"ts", Value::i64(0)}, {"v", Value::i64(10)}}));
    EngineResult<Firings> fired = e.fire_all(1000);
    ASSERT_TRUE(fired);
    ASSERT_EQ(fired->size(), 3u + kIdle);

    // The sum each of the three rules reports, in firing order.
    auto sums = [](const Firings& f) {
        std::vector<std::pair<std::string, Value>> out;
        for (size_t k = 0; k < f.size(); ++k) out.emplace_back(f[k].rule, f[k].facts[1].fields[0].second);
        return out;
    };
    using Sums = std::vector<std::pair<std::string, Value>>;
    const uint64_t reads_before = e.acc_change_reads;
    for (int64_t step = 2; step <= 11; ++step) {
        ASSERT_TRUE(e.update_fact(ev, {{"v", Value::i64(step)}}));
        fired = e.fire_all(1000);
        ASSERT_TRUE(fired);
        EXPECT_EQ(sums(*fired), (Sums{{"sum", Value::i64(step + 10)},
                                      {"same", Value::i64(step + 10)},
                                      {"win", Value::i64(step + 10)}}));
    }
    // Per update: the three Ev accumulate nodes (two shared by sum and same)
    // and, per node and pass, its rules; a walk over every node or rule would
    // read more than 300 a change.
    EXPECT_LE(e.acc_change_reads - reads_before, 10u * 20);

    // A queued delete, then the window's eviction of the one left.
    const uint64_t reads_mid = e.acc_change_reads;
    ASSERT_TRUE(e.delete_fact(ev));
    fired = e.fire_all(1000);
    ASSERT_TRUE(fired);
    EXPECT_EQ(sums(*fired), (Sums{{"sum", Value::i64(10)}, {"same", Value::i64(10)}, {"win", Value::i64(10)}}));
    ASSERT_TRUE(e.advance(10'000));
    fired = e.fire_all(1000);
    ASSERT_TRUE(fired);
    EXPECT_EQ(sums(*fired), (Sums{{"win", Value::i64(0)}}));
    EXPECT_LE(e.acc_change_reads - reads_mid, 20u);
    e.verify();
}

}  // namespace
