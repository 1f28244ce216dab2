// Changes between fires under a one-pattern rule. After the first fire every
// outside insert or update lands in a first-pattern window of its own, so N
// changes before the next fire leave N windows; each change asks whether the
// rule's windows already hold its fact. Reports ns per change and the fire
// that takes them all; the cost per change must stay flat as N grows.
// Usage: window_inserts [N ...]; defaults: 1e4 2e4 4e4 8e4.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench_support.h"
#include "quarn.h"
#include "engine/engine.h"

using namespace quarn;

namespace {

using Clock = std::chrono::steady_clock;

double ns_since(Clock::time_point t0) { return std::chrono::duration<double, std::nano>(Clock::now() - t0).count(); }

int run(int64_t n) {
    Engine e = std::move(Engine::create({{"A", {{"x", FieldType::i64()}, {"y", FieldType::i64()}}, 0}})).value();
    if (!e.add_rules_text("rule seen when $a : A(x >= 0) then end\n")) return 1;
    if (!e.insert("A", {{"x", Value::i64(0)}, {"y", Value::i64(0)}})) return 1;
    if (!e.fire_all(~uint64_t{0})) return 1;  // from here on changes propagate as they come

    std::vector<FactId> facts;
    facts.reserve(static_cast<size_t>(n));
    auto t0 = Clock::now();
    for (int64_t i = 0; i < n; ++i) {
        EngineResult<FactId> f = e.insert("A", {{"x", Value::i64(i)}, {"y", Value::i64(0)}});
        if (!f) return 1;
        facts.push_back(*f);
    }
    const double insert_ns = ns_since(t0) / static_cast<double>(n);
    t0 = Clock::now();
    EngineResult<Firings> fired = e.fire_all(~uint64_t{0});
    const double fire_ins_ms = ns_since(t0) / 1e6;
    if (!fired || fired->size() != static_cast<size_t>(n)) return 1;

    t0 = Clock::now();
    for (FactId f : facts)
        if (!e.update_fact(f, {{"x", Value::i64(1)}})) return 1;
    const double update_ns = ns_since(t0) / static_cast<double>(n);
    t0 = Clock::now();
    fired = e.fire_all(~uint64_t{0});
    const double fire_upd_ms = ns_since(t0) / 1e6;
    if (!fired) return 1;
    std::printf("%9lld %12.0f %12.1f %12.0f %12.1f %9zu\n", static_cast<long long>(n), insert_ns, fire_ins_ms,
                update_ns, fire_upd_ms, fired->size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<int64_t> sizes = bench::sizes_from_args(argc, argv, 1, {10'000, 20'000, 40'000, 80'000});
    std::printf("%9s %12s %12s %12s %12s %9s\n", "N", "ns/insert", "fire ms", "ns/update", "fire ms", "firings");
    for (int64_t n : sizes)
        if (run(n)) return std::printf("failed at N = %lld\n", static_cast<long long>(n)), 1;
    return 0;
}
