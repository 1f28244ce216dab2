// Workload f, an event stream through sliding windows: N events over N/100
// keys arrive in timestamp order (one every 10 ms); after every 100 events the
// clock advances to the last one's time and the session fires. One rule counts
// and sums each key's events of the last 60 s, so each advance evicts the
// events that left the window and each insert is evaluated at once.
//
// Reports, per N, the time per event over the whole stream (inserts, advances
// and fires), the firings, and the same stream in a session that also holds
// 100 rules over other types (linked, fired once, never touched by the
// stream). Targets: the cost per event stays within 2x from 1e4 to 1e6
// (eviction never walks the window), and the session with 100 unrelated
// rules costs at most 2x per event of the one with none (the flush evaluates
// only the rules an insert touched).
// Usage: event_windows [N ...]; defaults: 1e4 1e5 1e6.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_support.h"
#include "quarn.h"
#include "engine/engine.h"

using namespace quarn;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int64_t kStepMs = 10;
constexpr int64_t kBatch = 100;

struct Outcome {
    double ns_per_event = 0;
    size_t firings = 0;
};

bool run(int64_t n, int unrelated, Outcome& out) {
    EngineResult<Engine> made =
        Engine::create({bench::i64_type("Key", {"id"}), bench::i64_type("Ev", {"ts", "key", "v"}), bench::i64_type("Other", {"x"}),
                        bench::i64_type("Pair", {"a", "b"})});
    if (!made) return false;
    Engine e = std::move(*made);
    if (!e.declare_event("Ev", "ts", std::nullopt, 60'000)) return false;
    std::string rules =
        "rule stats when\n"
        "  $k : Key($id : id)\n"
        "  accumulate(Ev(key == $id) over window:time(60s); $n : count())\n"
        "  accumulate(Ev(key == $id, $v : v) over window:time(60s); $s : sum($v))\n"
        "then end\n";
    for (int i = 0; i < unrelated; ++i)
        rules += "rule u" + std::to_string(i) + " when $o : Other($x : x, x == " + std::to_string(i) +
                 ") $p : Pair(a == $x) then end\n";
    if (EngineStatus ok = e.add_rules_text(rules); !ok) {
        std::fprintf(stderr, "%s\n", ok.error().message.c_str());
        return false;
    }
    const int64_t keys = std::max<int64_t>(1, n / 100);
    for (int64_t k = 0; k < keys; ++k)
        if (!e.insert("Key", {{"id", Value::i64(k)}})) return false;
    for (int i = 0; i < unrelated; ++i) {
        if (!e.insert("Other", {{"x", Value::i64(i)}})) return false;
        if (!e.insert("Pair", {{"a", Value::i64(i)}, {"b", Value::i64(0)}})) return false;
    }
    EngineResult<Firings> first = e.fire_all(~uint64_t{0});
    if (!first) return false;

    size_t firings = 0;
    const auto t0 = Clock::now();
    for (int64_t i = 0; i < n; ++i) {
        const int64_t ts = i * kStepMs;
        // Keys spread by a multiplicative hash, so consecutive events rarely share one.
        const int64_t key = (i * 7919) % keys;
        if (!e.insert("Ev", {{"ts", Value::i64(ts)}, {"key", Value::i64(key)}, {"v", Value::i64(i % 13)}}))
            return false;
        if ((i + 1) % kBatch != 0) continue;
        if (!e.advance(ts - e.clock)) return false;
        EngineResult<Firings> fired = e.fire_all(~uint64_t{0});
        if (!fired) return false;
        firings += fired->size();
    }
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
    out.ns_per_event = ns / static_cast<double>(n);
    out.firings = firings;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<int64_t> sizes = bench::sizes_from_args(argc, argv, 1, {10'000, 100'000, 1'000'000});
    std::printf("%9s %14s %10s %22s %8s\n", "N", "ns/event", "firings", "ns/event +100 rules", "ratio");
    for (int64_t n : sizes) {
        Outcome one, many;
        if (!run(n, 0, one) || !run(n, 100, many)) {
            std::fprintf(stderr, "workload f failed at N=%lld\n", static_cast<long long>(n));
            return 1;
        }
        std::printf("%9lld %14.0f %10zu %22.0f %8.2f\n", static_cast<long long>(n), one.ns_per_event, one.firings,
                    many.ns_per_event, many.ns_per_event / one.ns_per_event);
    }
    return 0;
}
