// Joins N left tuples with N right facts on an equality key and reports time
// and work (join tests asked of the environment, children staged) for growing
// N. With the equality index both must grow linearly with N.
#include <chrono>
#include <cstdio>
#include <vector>

#include "quarn.h"

using namespace quarn;

namespace {

// Fact f carries the value f mod n: left tuple [i] and right fact n + i share a key.
class BenchEnv : public JoinEnv {
public:
    explicit BenchEnv(uint32_t n) : n_(n) {}
    mutable uint64_t tests = 0;

    bool allowed_ce(size_t i, const Tuple& t, FactId f) const override { return allowed(i, t, f); }
    Key key_of_left(size_t, const Tuple& t) const override { return std::vector<Value>{Value::i64(t[0] % n_)}; }
    Key key_of_right(size_t, FactId f) const override { return std::vector<Value>{Value::i64(f % n_)}; }
    std::optional<int64_t> not_fire_time(size_t, const Tuple&) const override { return std::nullopt; }
    bool left_update_optimization(size_t) const override { return true; }
    bool allowed(size_t, const Tuple& t, FactId f) const override {
        ++tests;
        return t[0] % n_ == f % n_;
    }
    uint64_t mark() const override { return 0; }
    bool join_expired() const override { return true; }
    bool is_expired(FactId) const override { return false; }
    std::optional<std::string> env_var(const char*) const override { return std::nullopt; }

private:
    uint32_t n_;
};

double ms_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main() {
    std::printf("%10s %12s %12s %12s %14s %12s %12s\n", "N", "insert ms", "tests", "children", "ns/child", "update ms",
                "upd tests");
    for (uint32_t n : {1000u, 10000u, 100000u}) {
        BenchEnv env(n);
        Node node = Node::new_ex(kEqualityIndex, Kind::Join, false);
        Staged<Tuple> pending;

        Staged<Tuple> sl;
        for (uint32_t i = 0; i < n; ++i) sl.add_ins_ph(Tuple{i}, i, 0);
        Staged<FactId> sr;
        for (uint32_t i = 0; i < n; ++i) sr.add_ins_ph(n + i, n + i, 0);

        auto t0 = std::chrono::steady_clock::now();
        Out out(pending);
        do_node(env, 0, node, std::move(sl), {}, out);
        Out out2(pending);
        do_node(env, 0, node, {}, std::move(sr), out2);
        double insert_ms = ms_since(t0);
        uint64_t insert_tests = env.tests;
        size_t children = out.trg.ins.size() + out2.trg.ins.size();

        // Update every right fact: each child is re-emitted in place.
        Staged<FactId> su;
        for (uint32_t i = 0; i < n; ++i) su.add_upd_ph(n + i, 2 * n + i, 2);
        env.tests = 0;
        auto t1 = std::chrono::steady_clock::now();
        Out out3(pending);
        do_node(env, 0, node, {}, std::move(su), out3);
        double update_ms = ms_since(t1);

        std::printf("%10u %12.2f %12llu %12zu %14.1f %12.2f %12llu\n", n, insert_ms,
                    static_cast<unsigned long long>(insert_tests), children, insert_ms * 1e6 / static_cast<double>(children),
                    update_ms, static_cast<unsigned long long>(env.tests));
        if (out3.trg.upd.size() != n) std::printf("  unexpected: %zu updates\n", out3.trg.upd.size());
    }
    return 0;
}
