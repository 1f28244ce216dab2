// Whole programs through the C++ API: rule text, N facts inserted, one fire to
// quiescence. Reports insert and fire time separately, the firings and the time
// per fact, for
//   a  a three-way equality join deriving one fact per match: orders joined to
//      their customer (N/10 customers) and product (N/100 products);
//   b  accumulate: N sales over N/100 stores, one rule with four accumulates
//      (sum, count, min, max) per store deriving one fact per store; then 1% of
//      the sales are deleted and a second fire is reported on a line "b-del";
//   c  not and exists: N accounts, N transactions over half of them; one rule
//      for accounts with no transaction, one for accounts with at least one;
//   d  agenda churn: N/2 tokens, a rule that modifies a token and so activates
//      the other rule, which modifies it again: N firings;
//   e  truth maintenance: N Base facts, each supporting an L1 (insertLogical)
//      that supports an L2; fire (the build phase), then delete every Base
//      and fire again (the retract phase). Reported on lines of their own.
//      With --capture its fires take their firings through a FiringSink that
//      keeps what the Python package keeps of each (rule, handles, types and
//      field values packed into chunks) in place of rendered Firings;
//   g  not over a group of two patterns: N customers, N orders with a payment
//      each over half of them; one rule for customers without a paid order;
//   k  a counter chain (the (d) of bench/fire_polars.py): N counters at 0 and
//      two steps, 0 to 1 and 1 to 2; one rule joins a counter with the step
//      leaving its value and moves it on by modify: 2N firings.
// Usage: end_to_end [--capture] [workloads, e.g. ac] [N ...]; defaults: abcdek,
// 1e4 1e5 1e6.
// The insert and the fire are functions of their own, measured_insert and
// measured_fire (b's second fire measured_refire, e's phases measured_tms_build
// and measured_tms_retract), so that callgrind counts each
// (bench/callgrind_per_child.py, with the facts or the firings of one workload
// at one size as its items).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "bench_support.h"
#include "quarn.h"
#include "engine/engine.h"

using namespace quarn;

namespace {

using Row = std::vector<std::pair<std::string, Value>>;

struct Workload {
    std::vector<TypeSchema> types;
    std::string rules;
    std::vector<std::pair<std::string, Row>> facts;
};

Workload join_workload(int64_t n) {
    Workload w;
    w.types = {bench::i64_type("Customer", {"id", "region"}), bench::i64_type("Product", {"id", "price"}),
               bench::i64_type("Order", {"id", "cust", "prod", "qty"}), bench::i64_type("Line", {"order", "region", "price"})};
    w.rules =
        "rule derive when\n"
        "  $o : Order($c : cust, $p : prod)\n"
        "  $cu : Customer(id == $c, $r : region)\n"
        "  $pr : Product(id == $p, $x : price)\n"
        "then insert(new Line($o.getId(), $r, $x)); end\n";
    const int64_t customers = std::max<int64_t>(1, n / 10), products = std::max<int64_t>(1, n / 100);
    for (int64_t i = 0; i < customers; ++i)
        w.facts.push_back({"Customer", {{"id", Value::i64(i)}, {"region", Value::i64(i % 7)}}});
    for (int64_t i = 0; i < products; ++i)
        w.facts.push_back({"Product", {{"id", Value::i64(i)}, {"price", Value::i64(100 + i)}}});
    for (int64_t i = 0; i < n; ++i)
        w.facts.push_back({"Order",
                           {{"id", Value::i64(i)},
                            {"cust", Value::i64((i * 7919) % customers)},
                            {"prod", Value::i64((i * 104729) % products)},
                            {"qty", Value::i64(1 + i % 5)}}});
    return w;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// --- Workload b: accumulate per store, then a fire after deleting 1% of the sales.

Workload accumulate_workload(int64_t n) {
    Workload w;
    w.types = {bench::i64_type("Store", {"id"}), bench::i64_type("Sale", {"id", "store", "amount"}),
               bench::i64_type("StoreTotal", {"store", "sum", "n", "lo", "hi"})};
    w.rules =
        "rule totals when\n"
        "  $s : Store($id : id)\n"
        "  accumulate(Sale(store == $id, $a : amount); $t : sum($a))\n"
        "  accumulate(Sale(store == $id); $n : count())\n"
        "  accumulate(Sale(store == $id, $b : amount); $lo : min($b))\n"
        "  accumulate(Sale(store == $id, $c : amount); $hi : max($c))\n"
        "then insert(new StoreTotal($id, $t, $n, $lo, $hi)); end\n";
    const int64_t stores = std::max<int64_t>(1, n / 100);
    for (int64_t i = 0; i < stores; ++i) w.facts.push_back({"Store", {{"id", Value::i64(i)}}});
    for (int64_t i = 0; i < n; ++i)
        w.facts.push_back({"Sale",
                           {{"id", Value::i64(i)},
                            {"store", Value::i64((i * 7919) % stores)},
                            {"amount", Value::i64(1 + (i * 104729) % 1000)}}});
    return w;
}

// The fire after the deletes, a function of its own for callgrind (timed
// inside, which also keeps the linker from folding it into measured_fire).
[[gnu::noinline]] EngineResult<Firings> measured_refire(Engine& engine, double& seconds) {
    const auto t0 = std::chrono::steady_clock::now();
    EngineResult<Firings> fired = engine.fire_all(~uint64_t{0});
    seconds = seconds_since(t0);
    return fired;
}

// Deletes 1% of the sales, picked by a hash of their place so that they spread
// over the stores, and times the fire that follows.
int refire_after_deletes(Engine& engine, int64_t n, const std::vector<FactId>& sales, double first_fire_s) {
    size_t deleted = 0;
    auto t0 = std::chrono::steady_clock::now();
    for (size_t i = 0; i < sales.size(); ++i) {
        if ((static_cast<uint32_t>(i * 2654435761u) >> 8) % 100 != 0) continue;
        if (EngineStatus ok = engine.delete_fact(sales[i]); !ok)
            return std::printf("delete: %s\n", ok.error().message.c_str()), 1;
        ++deleted;
    }
    const double delete_s = seconds_since(t0);
    double fire_s = 0;
    EngineResult<Firings> fired = measured_refire(engine, fire_s);
    if (!fired) return std::printf("fire: %s\n", fired.error().message.c_str()), 1;
    std::printf("b-del %5lld %9zu %10.3f %10.3f %10.3f %9zu %10.3f  (second fire %.1f%% of the first)\n",
                static_cast<long long>(n), deleted, delete_s, fire_s, delete_s + fire_s, fired->size(),
                1e6 * (delete_s + fire_s) / static_cast<double>(deleted), 100 * fire_s / first_fire_s);
    return 0;
}

// --- End of workload b.

Workload not_exists_workload(int64_t n) {
    Workload w;
    w.types = {bench::i64_type("Account", {"id"}), bench::i64_type("Txn", {"id", "acct"})};
    w.rules =
        "rule idle when $a : Account($i : id) not Txn(acct == $i) then end\n"
        "rule active when $a : Account($i : id) exists Txn(acct == $i) then end\n";
    for (int64_t i = 0; i < n; ++i) w.facts.push_back({"Account", {{"id", Value::i64(i)}}});
    // Every transaction goes to an even account: half the accounts have two.
    for (int64_t i = 0; i < n; ++i)
        w.facts.push_back({"Txn", {{"id", Value::i64(i)}, {"acct", Value::i64((i * 2) % n)}}});
    return w;
}

Workload grouped_not_workload(int64_t n) {
    Workload w;
    w.types = {bench::i64_type("Customer", {"id"}), bench::i64_type("Order", {"id", "cust"}), bench::i64_type("Payment", {"order"})};
    w.rules =
        "rule unpaid when $c : Customer($i : id)\n"
        "  not (Order(cust == $i, $o : id) and Payment(order == $o)) then end\n";
    for (int64_t i = 0; i < n; ++i) w.facts.push_back({"Customer", {{"id", Value::i64(i)}}});
    // Every order goes to an even customer: half the customers have two paid orders.
    for (int64_t i = 0; i < n; ++i) {
        w.facts.push_back({"Order", {{"id", Value::i64(i)}, {"cust", Value::i64((i * 2) % n)}}});
        w.facts.push_back({"Payment", {{"order", Value::i64(i)}}});
    }
    return w;
}

Workload churn_workload(int64_t n) {
    Workload w;
    w.types = {bench::i64_type("Token", {"id", "state"})};
    w.rules =
        "rule open when $t : Token(state == 0) then modify($t) { setState(1) } end\n"
        "rule close when $t : Token(state == 1) then modify($t) { setState(2) } end\n";
    for (int64_t i = 0; i < n / 2; ++i)
        w.facts.push_back({"Token", {{"id", Value::i64(i)}, {"state", Value::i64(0)}}});
    return w;
}

Workload counter_chain_workload(int64_t n) {
    Workload w;
    w.types = {bench::i64_type("Counter", {"id", "value"}), bench::i64_type("Step", {"from", "to"})};
    w.rules =
        "rule step when $c : Counter($v : value) Step(from == $v, $t : to)\n"
        "then modify($c) { setValue($t) } end\n";
    for (int64_t i = 0; i < n; ++i)
        w.facts.push_back({"Counter", {{"id", Value::i64(i)}, {"value", Value::i64(0)}}});
    for (int64_t from = 0; from < 2; ++from)
        w.facts.push_back({"Step", {{"from", Value::i64(from)}, {"to", Value::i64(from + 1)}}});
    return w;
}

// Inserts the facts; the handles of the Sale facts go to `sales`.
[[gnu::noinline]] EngineStatus measured_insert(Engine& engine, std::vector<std::pair<std::string, Row>>& facts,
                                               std::vector<FactId>& sales) {
    for (auto& [t, row] : facts) {
        EngineResult<FactId> f = engine.insert(t, std::move(row));
        if (!f) return err(std::move(f).error());
        if (t == "Sale") sales.push_back(*f);
    }
    return {};
}

[[gnu::noinline]] EngineResult<Firings> measured_fire(Engine& engine) {
    return engine.fire_all(~uint64_t{0});
}

int run(char name, int64_t n) {
    Workload w = name == 'a'   ? join_workload(n)
                 : name == 'b' ? accumulate_workload(n)
                 : name == 'c' ? not_exists_workload(n)
                 : name == 'd' ? churn_workload(n)
                 : name == 'g' ? grouped_not_workload(n)
                               : counter_chain_workload(n);
    EngineResult<Engine> made = Engine::create(w.types);
    if (!made) return std::printf("create: %s\n", made.error().message.c_str()), 1;
    Engine& engine = *made;
    if (EngineStatus ok = engine.add_rules_text(w.rules); !ok)
        return std::printf("rules: %s\n", ok.error().message.c_str()), 1;

    const size_t facts = w.facts.size();
    std::vector<FactId> sales;  // workload b deletes some of them
    auto t0 = std::chrono::steady_clock::now();
    if (EngineStatus ok = measured_insert(engine, w.facts, sales); !ok)
        return std::printf("insert: %s\n", ok.error().message.c_str()), 1;
    const double insert_s = seconds_since(t0);
    t0 = std::chrono::steady_clock::now();
    EngineResult<Firings> fired = measured_fire(engine);
    const double fire_s = seconds_since(t0);
    if (!fired) return std::printf("fire: %s\n", fired.error().message.c_str()), 1;
    std::printf("%c %9lld %9zu %10.3f %10.3f %10.3f %9zu %10.3f\n", name, static_cast<long long>(n), facts, insert_s,
                fire_s, insert_s + fire_s, fired->size(), 1e6 * (insert_s + fire_s) / static_cast<double>(facts));
    if (name == 'b') return refire_after_deletes(engine, n, sales, fire_s);
    return 0;
}

// --- Workload e: truth maintenance, built and then retracted.

// Keeps each firing as the Python package's audit does: the rule and fact
// count, then per fact its handle and type and its field values packed into
// 64-bit words (a text as its length and bytes), in chunks that never move.
class CaptureSink final : public FiringSink {
public:
    explicit CaptureSink(const Engine& engine) : engine_(engine) {}
    void fired(size_t rule, std::span<const FactId> facts) override {
        ++firings_;
        put((uint64_t{static_cast<uint32_t>(rule)} << 32) | facts.size());
        for (FactId f : facts) {
            const TypeId type = engine_.store.fact_type(f);
            put((uint64_t{type} << 32) | f);
            const size_t fields = engine_.store.schema(type).fields.size();
            for (size_t i = 0; i < fields; ++i) put_value(engine_.store.get(f, i));
        }
    }
    uint64_t firings() const { return firings_; }

private:
    static constexpr size_t kChunkWords = 8192;
    void put(uint64_t w) {
        if (used_ == kChunkWords || chunks_.empty()) {
            chunks_.push_back(std::make_unique<uint64_t[]>(kChunkWords));
            used_ = 0;
        }
        chunks_.back()[used_++] = w;
    }
    void put_value(const Value& v) {
        switch (v.tag()) {
            case ValueTag::I64: put(static_cast<uint64_t>(v.as_i64())); return;
            case ValueTag::F64: {
                uint64_t w;
                const double d = v.as_f64();
                std::memcpy(&w, &d, sizeof w);
                put(w);
                return;
            }
            case ValueTag::Bool: put(v.as_bool() ? 1 : 0); return;
            case ValueTag::Null: put(~uint64_t{0}); return;
            case ValueTag::Str: {
                const std::string& s = v.as_str();
                put(s.size());
                for (size_t at = 0; at < s.size(); at += 8) {
                    uint64_t w = 0;
                    std::memcpy(&w, s.data() + at, std::min<size_t>(8, s.size() - at));
                    put(w);
                }
                return;
            }
            case ValueTag::Dec: {
                const DecParts d = v.as_dec();
                put(static_cast<uint64_t>(d.u));
                put(static_cast<uint64_t>(d.u >> 64) ^ (uint64_t{d.s} << 56));
                return;
            }
        }
    }

    const Engine& engine_;
    std::vector<std::unique_ptr<uint64_t[]>> chunks_;
    size_t used_ = 0;
    uint64_t firings_ = 0;
};

// One fire: its firings kept as Firings (in `kept`, as a caller holding its
// results would), or taken by `sink` when given. The count.
EngineResult<size_t> fire_counted(Engine& engine, CaptureSink* sink, std::vector<Firings>& kept) {
    if (!sink) {
        EngineResult<Firings> fired = engine.fire_all(~uint64_t{0});
        if (!fired) return err(std::move(fired).error());
        const size_t n = fired->size();
        kept.push_back(std::move(*fired));
        return n;
    }
    const uint64_t before = sink->firings();
    engine.firing_sink = sink;
    EngineResult<Firings> fired = engine.fire_all(~uint64_t{0});
    engine.firing_sink = nullptr;
    if (!fired) return err(std::move(fired).error());
    return static_cast<size_t>(sink->firings() - before);
}

// The build: N Base facts inserted, then the fire; timed apart. A function
// of its own, as is the retract, so that callgrind counts each phase.
[[gnu::noinline]] EngineResult<size_t> measured_tms_build(Engine& engine, int64_t n, std::vector<FactId>& bases,
                                                          CaptureSink* sink, std::vector<Firings>& kept,
                                                          double& insert_s, double& fire_s) {
    auto t0 = std::chrono::steady_clock::now();
    for (int64_t i = 0; i < n; ++i) {
        EngineResult<FactId> f = engine.insert("Base", {{"id", Value::i64(i)}});
        if (!f) return err(std::move(f).error());
        bases.push_back(*f);
    }
    insert_s = seconds_since(t0);
    t0 = std::chrono::steady_clock::now();
    EngineResult<size_t> built = fire_counted(engine, sink, kept);
    fire_s = seconds_since(t0);
    return built;
}

// The retract: every Base deleted, then the fire; timed apart.
[[gnu::noinline]] EngineResult<size_t> measured_tms_retract(Engine& engine, const std::vector<FactId>& bases,
                                                            CaptureSink* sink, std::vector<Firings>& kept,
                                                            double& delete_s, double& fire_s) {
    auto t0 = std::chrono::steady_clock::now();
    for (FactId b : bases)
        if (EngineStatus ok = engine.delete_fact(b); !ok) return err(std::move(ok).error());
    delete_s = seconds_since(t0);
    t0 = std::chrono::steady_clock::now();
    EngineResult<size_t> retracted = fire_counted(engine, sink, kept);
    fire_s = seconds_since(t0);
    return retracted;
}

int run_tms(int64_t n, bool capture) {
    EngineResult<Engine> made = Engine::create({bench::i64_type("Base", {"id"}), bench::i64_type("L1", {"id"}), bench::i64_type("L2", {"id"})});
    if (!made) return std::printf("create: %s\n", made.error().message.c_str()), 1;
    Engine& engine = *made;
    const char* rules =
        "rule support when $b : Base($i : id) then insertLogical(new L1($i)); end\n"
        "rule chain when $l : L1($i : id) then insertLogical(new L2($i)); end\n";
    if (EngineStatus ok = engine.add_rules_text(rules); !ok)
        return std::printf("rules: %s\n", ok.error().message.c_str()), 1;
    std::vector<FactId> bases;
    bases.reserve(static_cast<size_t>(n));
    std::unique_ptr<CaptureSink> sink = capture ? std::make_unique<CaptureSink>(engine) : nullptr;
    std::vector<Firings> kept;

    double insert_s = 0, build_fire_s = 0, delete_s = 0, retract_fire_s = 0;
    EngineResult<size_t> built = measured_tms_build(engine, n, bases, sink.get(), kept, insert_s, build_fire_s);
    if (!built) return std::printf("build: %s\n", built.error().message.c_str()), 1;
    const size_t live_built = engine.fact_ids().size();
    EngineResult<size_t> retracted = measured_tms_retract(engine, bases, sink.get(), kept, delete_s, retract_fire_s);
    if (!retracted) return std::printf("retract: %s\n", retracted.error().message.c_str()), 1;
    const size_t live_after = engine.fact_ids().size();

    const double build_s = insert_s + build_fire_s, retract_s = delete_s + retract_fire_s;
    const char* firings = capture ? "captured" : "rendered";
    std::printf("e %9lld build:   insert %7.3f s  fire %7.3f s  total %7.3f s  %9zu firings  %6.3f us/base  live %zu  (%s)\n",
                static_cast<long long>(n), insert_s, build_fire_s, build_s, *built,
                1e6 * build_s / static_cast<double>(n), live_built, firings);
    std::printf("e %9lld retract: delete %7.3f s  fire %7.3f s  total %7.3f s  %9zu firings  %6.3f us/base  live %zu  (%s)\n",
                static_cast<long long>(n), delete_s, retract_fire_s, retract_s, *retracted,
                1e6 * retract_s / static_cast<double>(n), live_after, firings);
    std::printf("e %9lld both:    %7.3f s\n", static_cast<long long>(n), build_s + retract_s);
    return 0;
}

// --- End of workload e.

}  // namespace

int main(int argc, char** argv) {
    // --capture, wherever it stands, is taken out before the positional arguments are read.
    bool capture = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--capture") != 0) continue;
        capture = true;
        for (int j = i; j + 1 < argc; ++j) argv[j] = argv[j + 1];
        --argc;
        break;
    }
    std::string workloads = argc > 1 ? argv[1] : "abcdek";
    for (char w : workloads)
        if (std::string("abcdegk").find(w) == std::string::npos) return std::printf("unknown workload %c\n", w), 1;
    const std::vector<int64_t> sizes = bench::sizes_from_args(argc, argv, 2, {10'000, 100'000, 1'000'000});
    std::printf("%c %9s %9s %10s %10s %10s %9s %10s\n", 'w', "N", "facts", "insert s", "fire s", "total s", "firings",
                "us/fact");
    for (char w : workloads)
        for (int64_t n : sizes)
            if (w == 'e' ? run_tms(n, capture) : run(w, n)) return 1;
    return 0;
}
