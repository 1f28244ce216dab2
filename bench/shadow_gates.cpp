// Workload h, a positive stream behind a not gate: one rule
//   $a : Anchor()  not Gate()  $p : Pos()
// (a session with an event type, so the rule takes its activations in the
// order its side evaluator emits the Pos facts). N Pos facts arrive; after
// every 10 the gate flips (a Gate fact is inserted when there is none, else
// deleted: N/10 flips) and the session fires. Each Pos fact is deleted 100
// arrivals after it came, so the live set stays bounded while the evaluator's
// history keeps turning over: a shut gate holds back the arrivals and its
// reopening brings back every live one.
//
// Reports, per N, the time per Pos fact over the whole stream (inserts,
// deletes, flips and fires) and the firings. Target: the cost per fact stays
// within 2x from 1e4 to 1e6 (nothing walks the evaluator's past facts per
// flip beyond the facts a reopening emits).
// Usage: shadow_gates [N ...]; defaults: 1e4 1e5 1e6.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "quarn.h"
#include "engine/engine.h"

using namespace quarn;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int64_t kBatch = 10;
constexpr size_t kLive = 100;

struct Outcome {
    double ns_per_fact = 0;
    size_t firings = 0;
};

bool run(int64_t n, Outcome& out) {
    EngineResult<Engine> made =
        Engine::create({bench::i64_type("Anchor", {"id"}), bench::i64_type("Gate", {"id"}), bench::i64_type("Pos", {"n"}), bench::i64_type("Tick", {"ts"})});
    if (!made) return false;
    Engine e = std::move(*made);
    if (!e.declare_event("Tick", "ts", std::nullopt, 1000)) return false;
    if (EngineStatus ok = e.add_rules_text("rule watch when $a : Anchor() not Gate() $p : Pos() then end\n"); !ok) {
        std::fprintf(stderr, "%s\n", ok.error().message.c_str());
        return false;
    }
    if (!e.insert("Anchor", {{"id", Value::i64(0)}})) return false;
    if (!e.fire_all(~uint64_t{0})) return false;

    size_t firings = 0;
    std::deque<FactId> live;
    // The Gate fact while there is one.
    FactId gate = 0;
    bool shut = false;
    const auto t0 = Clock::now();
    for (int64_t i = 0; i < n; ++i) {
        EngineResult<FactId> p = e.insert("Pos", {{"n", Value::i64(i)}});
        if (!p) return false;
        live.push_back(*p);
        if (live.size() > kLive) {
            if (!e.delete_fact(live.front())) return false;
            live.pop_front();
        }
        if ((i + 1) % kBatch != 0) continue;
        if (shut) {
            if (!e.delete_fact(gate)) return false;
        } else {
            EngineResult<FactId> g = e.insert("Gate", {{"id", Value::i64(i)}});
            if (!g) return false;
            gate = *g;
        }
        shut = !shut;
        EngineResult<Firings> fired = e.fire_all(~uint64_t{0});
        if (!fired) return false;
        firings += fired->size();
    }
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
    out.ns_per_fact = ns / static_cast<double>(n);
    out.firings = firings;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<int64_t> sizes = bench::sizes_from_args(argc, argv, 1, {10'000, 100'000, 1'000'000});
    std::printf("%9s %12s %10s\n", "N", "ns/fact", "firings");
    for (int64_t n : sizes) {
        Outcome o;
        if (!run(n, o)) {
            std::fprintf(stderr, "workload h failed at N=%lld\n", static_cast<long long>(n));
            return 1;
        }
        std::printf("%9lld %12.0f %10zu\n", static_cast<long long>(n), o.ns_per_fact, o.firings);
    }
    return 0;
}
