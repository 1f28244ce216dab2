// Times the network's node evaluations at growing N and counts heap
// allocations (a replaced global operator new), for these cases:
//   join insert, update and delete: N left tuples joined with N right facts
//     on an equality key, then every right fact updated, then deleted,
//     against a plain std::unordered_map hash join of the same pairs timed in
//     the same run (the ratios compare each per child with it per pair);
//   not and exists: N lefts, then N/2 blockers on the same key;
//   one blocker for N tuples, then its delete;
//   a fact leaving while N of its children are still pending downstream;
//   a stream of N evaluations of one right insert each (the fixed cost).
// Every figure is per child (or per evaluation); each case must stay linear.
//
// Usage: network_join_scaling [N ...] [--cap M] [--join-only]: the cases that
// were once quadratic are skipped for N above M (so a slow build can still be
// measured); --join-only runs the join, hash join and one-fact cases alone.
//
// Each measured stretch is a function of its own named measured_*, so that an
// instruction count can be read per stretch (bench/callgrind_per_child.py):
//   valgrind --tool=callgrind --cache-sim=yes build/network_join_scaling 1e5 --join-only
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "quarn.h"
#include "engine/engine.h"

namespace {
uint64_t g_allocations = 0;
}

// Out of line, so that the compiler does not pair an inlined malloc() or free()
// with the standard library's own calls of operator new and delete.
[[gnu::noinline]] void* operator new(size_t size) {
    ++g_allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete[](void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, size_t) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete[](void* p, size_t) noexcept { std::free(p); }

using namespace quarn;

namespace {

// Fact f carries the value f mod m: left tuple [i] and right fact n + i share
// a key when m = n.
class BenchEnv : public JoinEnv {
public:
    explicit BenchEnv(uint32_t m) : m_(m) {}
    mutable uint64_t tests = 0;

    mutable TupleTable table;

    bool allowed_ce(size_t i, TupleView t, FactId f) const override { return allowed(i, t, f); }
    void key_of_left(size_t, TupleView t, Key& key) const override { key.push(KeyValue::of(Value::i64(t[0] % m_))); }
    void key_of_right(size_t, FactId f, Key& key) const override { key.push(KeyValue::of(Value::i64(f % m_))); }
    // The key is one integer, handed over as a word as the engine's one-field keys are.
    bool int_keys(size_t) const override { return true; }
    bool int_key_of_left(size_t, TupleView t, int64_t& v) const override {
        v = t[0] % m_;
        return true;
    }
    bool int_key_of_right(size_t, FactId f, int64_t& v) const override {
        v = f % m_;
        return true;
    }
    // Blocks read in one call, as the engine's environment reads them.
    uint32_t int_keys_of_left(size_t, const TupleId* tuples, size_t n, int64_t* v) const override {
        for (size_t k = 0; k < n; ++k) v[k] = table.view(tuples[k])[0] % m_;
        return n == 32 ? ~0u : (1u << n) - 1;
    }
    uint32_t int_keys_of_right(size_t, const FactId* facts, size_t n, int64_t* v) const override {
        for (size_t k = 0; k < n; ++k) v[k] = facts[k] % m_;
        return n == 32 ? ~0u : (1u << n) - 1;
    }
    std::optional<int64_t> not_fire_time(size_t, TupleView) const override { return std::nullopt; }
    bool left_update_optimization(size_t) const override { return true; }
    // The key is the whole test, as the engine says of a join whose tests are all equalities in its key.
    bool key_decides(size_t) const override { return true; }
    bool allowed(size_t, TupleView t, FactId f) const override {
        ++tests;
        return t[0] % m_ == f % m_;
    }
    TupleTable& tuples() const override { return table; }
    uint64_t mark() const override { return 0; }
    bool join_expired() const override { return true; }
    bool is_expired(FactId) const override { return false; }
    std::optional<std::string> env_var(const char*) const override { return std::nullopt; }

private:
    uint32_t m_;
};

using Clock = std::chrono::steady_clock;

double ns_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
}

// Time and allocations of one measured stretch.
struct Span {
    Clock::time_point t0 = Clock::now();
    uint64_t a0 = g_allocations;
    double ns() const { return ns_since(t0); }
    uint64_t allocs() const { return g_allocations - a0; }
};

void row(const char* name, uint32_t n, size_t items, double ns, uint64_t allocs) {
    double per = items == 0 ? 0 : static_cast<double>(items);
    std::printf("%-28s %9u %10zu %12.1f %10.2f\n", name, n, items, ns / per, static_cast<double>(allocs) / per);
}

void skipped(const char* name, uint32_t n) { std::printf("%-28s %9u %10s %12s %10s\n", name, n, "-", "skipped", "-"); }

// One-fact tuples [from] .. [from + count - 1].
Staged<TupleId> lefts_batch(const BenchEnv& env, uint32_t from, uint32_t count) {
    Staged<TupleId> sl;
    for (uint32_t i = from; i < from + count; ++i)
        sl.add_ins_ph(env.table.extend(TupleTable::empty_tuple, i), i, StagedFlag::Insert);
    return sl;
}

Staged<FactId> rights_batch(uint32_t from, uint32_t count) {
    Staged<FactId> sr;
    for (uint32_t f = from; f < from + count; ++f) sr.add_ins_ph(f, f, StagedFlag::Insert);
    return sr;
}

// The same matching as a plain hash join: build on the lefts, probe with the
// rights; returns the pairs.
[[gnu::noinline]] size_t measured_hash_join(const std::vector<uint64_t>& left_keys,
                                            const std::vector<uint64_t>& right_keys, uint32_t n) {
    std::unordered_map<uint64_t, std::vector<uint32_t>> table;
    for (uint32_t i = 0; i < n; ++i) table[left_keys[i]].push_back(i);
    std::vector<std::pair<uint32_t, uint32_t>> pairs;
    for (uint32_t j = 0; j < n; ++j) {
        auto it = table.find(right_keys[j]);
        if (it == table.end()) continue;
        for (uint32_t i : it->second) pairs.emplace_back(i, n + j);
    }
    return pairs.size();
}

// ns per pair of the hash join.
double hash_join_ns(uint32_t n) {
    std::vector<uint64_t> left_keys(n), right_keys(n);
    for (uint32_t i = 0; i < n; ++i) left_keys[i] = i % n;
    for (uint32_t i = 0; i < n; ++i) right_keys[i] = (n + i) % n;
    auto t0 = Clock::now();
    size_t pairs = measured_hash_join(left_keys, right_keys, n);
    double ns = ns_since(t0);
    if (pairs != n) std::printf("  hash join: unexpected %zu pairs\n", pairs);
    return ns / static_cast<double>(pairs);
}

// N lefts, then N rights that each meet one of them; the children made.
[[gnu::noinline]] size_t measured_join_insert(const BenchEnv& env, Node& node, Staged<TupleId>& pending,
                                              Staged<TupleId> sl, Staged<FactId> sr) {
    Out out(pending);
    do_node(env, 0, node, std::move(sl), {}, out);
    Out out2(pending);
    do_node(env, 0, node, {}, std::move(sr), out2);
    return out.trg.ins.size() + out2.trg.ins.size();
}

// One batch of right changes; the children it updated or deleted.
[[gnu::noinline]] size_t measured_join_update(const BenchEnv& env, Node& node, Staged<TupleId>& pending,
                                              Staged<FactId> sr) {
    Out out(pending);
    do_node(env, 0, node, {}, std::move(sr), out);
    return out.trg.upd.size();
}
[[gnu::noinline]] size_t measured_join_delete(const BenchEnv& env, Node& node, Staged<TupleId>& pending,
                                              Staged<FactId> sr) {
    Out out(pending);
    do_node(env, 0, node, {}, std::move(sr), out);
    return out.trg.del.size();
}

void join_case(uint32_t n) {
    BenchEnv env(n);
    Node node = Node::new_ex(IndexSpec::equality(), Kind::Join, false);
    Staged<TupleId> pending;
    Staged<TupleId> sl = lefts_batch(env, 0, n);
    Staged<FactId> sr = rights_batch(n, n);

    Span ins;
    size_t children = measured_join_insert(env, node, pending, std::move(sl), std::move(sr));
    double ins_ns = ins.ns();
    uint64_t ins_allocs = ins.allocs();

    // Every right fact updated: each child is re-emitted in place.
    Staged<FactId> su;
    for (uint32_t i = 0; i < n; ++i) su.add_upd_ph(n + i, 2 * n + i, StagedFlag::Change);
    Span upd;
    size_t updated = measured_join_update(env, node, pending, std::move(su));
    double upd_ns = upd.ns();
    uint64_t upd_allocs = upd.allocs();
    if (updated != n) std::printf("  unexpected: %zu updates\n", updated);

    // Every right fact deleted: each child leaves.
    Staged<FactId> sd;
    for (uint32_t i = 0; i < n; ++i) sd.add_del(n + i, 3 * n + i);
    Span del;
    size_t deleted = measured_join_delete(env, node, pending, std::move(sd));
    double del_ns = del.ns();
    uint64_t del_allocs = del.allocs();
    if (deleted != n) std::printf("  unexpected: %zu deletes\n", deleted);

    double hj = hash_join_ns(n);
    row("join insert", n, children, ins_ns, ins_allocs);
    row("join update", n, updated, upd_ns, upd_allocs);
    row("join delete", n, deleted, del_ns, del_allocs);
    auto per = [](double ns, size_t items) { return items == 0 ? 0.0 : ns / static_cast<double>(items); };
    std::printf("%-28s %9u %10u %12.1f %10s   insert x%.2f, update x%.2f, delete x%.2f\n", "hash join (per pair)", n,
                n, hj, "-", per(ins_ns, children) / hj, per(upd_ns, updated) / hj, per(del_ns, deleted) / hj);
}

// N lefts, then N/2 blockers: fact n + 2k blocks tuple [2k] (same key).
void not_exists_case(Kind kind, uint32_t n) {
    BenchEnv env(n);
    Node node = Node::new_ex(IndexSpec::equality(), kind, false);
    Staged<TupleId> pending;
    Staged<FactId> sr;
    for (uint32_t k = 0; k < n / 2; ++k) sr.add_ins_ph(n + 2 * k, k, StagedFlag::Insert);
    Span s;
    Out out(pending);
    do_node(env, 0, node, lefts_batch(env, 0, n), {}, out);
    Out out2(pending);
    do_node(env, 0, node, {}, std::move(sr), out2);
    double ns = s.ns();
    row(kind == Kind::Not ? "not: N lefts, N/2 blockers" : "exists: N lefts, N/2 blk", n, n, ns, s.allocs());
}

// One fact blocks N tuples (no index: every tuple qualifies), then leaves;
// or, on a second node, the N blocked tuples leave one by one in one batch.
void one_blocker_case(uint32_t n) {
    BenchEnv env(1);
    for (bool tuples_leave : {false, true}) {
        Node node = Node::new_ex(IndexSpec::none(), Kind::Not, false);
        Staged<TupleId> pending;
        {
            Out out(pending);
            do_node(env, 0, node, lefts_batch(env, 0, n), {}, out);
            pending = std::move(out.trg);
        }
        Span blk;
        Out out(pending);
        do_node(env, 0, node, {}, rights_batch(n, 1), out);
        double blk_ns = blk.ns();
        uint64_t blk_allocs = blk.allocs();
        Staged<TupleId> pending2;
        Staged<TupleId> dl;
        Staged<FactId> dr;
        if (tuples_leave) {
            for (uint32_t i = 0; i < n; ++i) dl.add_del(env.table.extend(TupleTable::empty_tuple, i), 0);
        } else {
            dr.add_del(n, 0);
        }
        Span un;
        Out out2(pending2);
        do_node(env, 0, node, std::move(dl), std::move(dr), out2);
        double un_ns = un.ns();
        if (tuples_leave) {
            row("one blocker: N tuples leave", n, n, un_ns, un.allocs());
        } else {
            row("one blocker: block N", n, n, blk_ns, blk_allocs);
            row("one blocker: it leaves", n, out2.trg.ins.size(), un_ns, un.allocs());
        }
    }
}

// One right fact joins N lefts; its children are still pending downstream
// when it leaves, so every delete cancels a pending insert.
void pending_children_case(uint32_t n) {
    BenchEnv env(1);
    Node node = Node::new_ex(IndexSpec::none(), Kind::Join, false);
    Staged<TupleId> pending;
    {
        Out out(pending);
        do_node(env, 0, node, lefts_batch(env, 0, n), {}, out);
    }
    {
        Out out(pending);
        do_node(env, 0, node, {}, rights_batch(n, 1), out);
        pending = std::move(out.trg);
    }
    Staged<FactId> del;
    del.add_del(n, 0);
    Span s;
    Out out(pending);
    do_node(env, 0, node, {}, std::move(del), out);
    double ns = s.ns();
    if (!pending.ins.empty() || out.trg.cancelled.size() != n) std::printf("  unexpected: pending children left\n");
    row("leave, N children pending", n, n, ns, s.allocs());
}

[[gnu::noinline]] size_t measured_one_fact_evaluations(const BenchEnv& env, Node& node, Staged<TupleId>& pending,
                                                       uint32_t n) {
    size_t children = 0;
    for (uint32_t f = n; f < 2 * n; ++f) {
        Out out(pending);
        do_node(env, 0, node, {}, rights_batch(f, 1), out);
        children += out.trg.ins.size();
    }
    return children;
}

// N evaluations of one right insert each, every one making one child.
void one_fact_stream_case(uint32_t n) {
    BenchEnv env(n);
    Node node = Node::new_ex(IndexSpec::equality(), Kind::Join, false);
    Staged<TupleId> pending;
    {
        Out out(pending);
        do_node(env, 0, node, lefts_batch(env, 0, n), {}, out);
    }
    Span s;
    size_t children = measured_one_fact_evaluations(env, node, pending, n);
    double ns = s.ns();
    if (children != n) std::printf("  unexpected: %zu children\n", children);
    row("one-fact evaluations", n, n, ns, s.allocs());
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<uint32_t> ns;
    uint32_t cap = UINT32_MAX;
    bool join_only = false;
    for (int a = 1; a < argc; ++a) {
        if (std::strcmp(argv[a], "--cap") == 0 && a + 1 < argc) {
            cap = static_cast<uint32_t>(std::strtod(argv[++a], nullptr));
        } else if (std::strcmp(argv[a], "--join-only") == 0) {
            join_only = true;
        } else {
            ns.push_back(static_cast<uint32_t>(std::strtod(argv[a], nullptr)));
        }
    }
    if (ns.empty()) ns = {10000, 100000, 1000000};
    std::printf("%-28s %9s %10s %12s %10s\n", "case", "N", "items", "ns/item", "allocs/item");
    for (uint32_t n : ns) {
        join_case(n);
        if (!join_only) {
            not_exists_case(Kind::Not, n);
            not_exists_case(Kind::Exists, n);
            if (n <= cap) {
                one_blocker_case(n);
                pending_children_case(n);
            } else {
                skipped("one blocker: block N", n);
                skipped("one blocker: it leaves", n);
                skipped("one blocker: N tuples leave", n);
                skipped("leave, N children pending", n);
            }
        }
        one_fact_stream_case(n);
        std::fflush(stdout);
    }
    return 0;
}
