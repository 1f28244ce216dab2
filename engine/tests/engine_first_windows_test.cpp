// First-pattern windows of one-pattern rules: a window that joins the one
// before it (Engine::merge_windows) must leave every firing where it was.
// Seeded random sessions drive two engines with the same changes, one that
// merges windows and one that closes a window per change; bursts of one kind
// of change (inserts, updates, deletes) alternate with mixed ones, fires run
// to quiescence or stop at a small limit, and logical facts come and go with
// what justifies them. Every firing, refusal and the facts after each fire go
// into a transcript per engine; the two must agree, and the merging engine
// must hold fewer windows.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "store/debug_form.h"

using namespace quarn;

namespace {

const char* const kRules = R"(
rule pos when $a : A(x > 0) then end
rule neg salience 2 when $a : A(x <= 0) then end
rule grp when $a : A($k : k, k >= 1) then insertLogical(new L($k)); end
rule seen when $l : L($k : k) then end
rule nul salience -1 when $b : B() then end
rule fix no-loop when $a : A(x == 3) then modify($a) { setX(4) } end
rule gone when $b : B(k == 2) then delete($b); end
rule pair when $a : A($k : k) $b : B(k == $k) then end
)";

Engine make_engine(bool merge) {
    EngineResult<Engine> made = Engine::create({{"A", {{"k", FieldType::i64()}, {"x", FieldType::i64()}}, 0},
                                                {"B", {{"k", FieldType::i64()}}, 0},
                                                {"L", {{"k", FieldType::i64()}}, 0}});
    EXPECT_TRUE(made);
    Engine e = std::move(*made);
    EngineStatus loaded = e.add_rules_text(kRules);
    EXPECT_TRUE(loaded) << loaded.error().message;
    e.merge_windows = merge;
    return e;
}

class Twins {
public:
    explicit Twins(uint32_t seed) : rng_(seed), merged_(make_engine(true)), split_(make_engine(false)) {}

    void step(int n) {
        out_[0] += "step " + std::to_string(n) + "\n";
        out_[1] += "step " + std::to_string(n) + "\n";
        // A burst of one kind, or a mix.
        const int kind = pick(0, 3);
        for (int k = pick(1, 12); k > 0; --k) change(kind == 3 ? pick(0, 2) : kind);
        for (size_t r = 0; r < merged_.nets.size(); ++r) {
            windows_[0] += merged_.nets[r].s0_windows.size() - 1;  // the closed ones
            windows_[1] += split_.nets[r].s0_windows.size() - 1;
        }
        const uint64_t limit = pick(0, 3) == 0 ? static_cast<uint64_t>(pick(1, 4)) : 5000;
        fire(merged_, limit, out_[0]);
        fire(split_, limit, out_[1]);
    }

    const std::string& transcript(int k) const { return out_[k]; }
    // Closed windows counted before each fire.
    size_t windows(int k) const { return windows_[k]; }

private:
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

    // 0 insert, 1 update, 2 delete; both engines hand out the same handles.
    void change(int kind) {
        if (handles_.empty()) kind = 0;
        if (kind == 0) {
            const bool a = pick(0, 3) != 0;
            std::vector<std::pair<std::string, Value>> row{{"k", Value::i64(pick(0, 3))}};
            if (a) row.push_back({"x", Value::i64(pick(-2, 4))});
            const char* type = a ? "A" : "B";
            EngineResult<FactId> f = merged_.insert(type, row);
            EngineResult<FactId> g = split_.insert(type, row);
            note(f, g, std::string("insert ") + type);
            if (f) handles_.push_back({*f, a});
            return;
        }
        const size_t at = static_cast<size_t>(pick(0, static_cast<int>(handles_.size()) - 1));
        const auto [h, a] = handles_[at];
        if (kind == 1) {
            std::vector<std::pair<std::string, Value>> row;
            if (!a || pick(0, 1) == 0) row.push_back({"k", Value::i64(pick(0, 3))});
            if (a && (row.empty() || pick(0, 1) == 0)) row.push_back({"x", Value::i64(pick(-2, 4))});
            note(merged_.update_fact(h, row), split_.update_fact(h, row), "update " + std::to_string(h));
            return;
        }
        note(merged_.delete_fact(h), split_.delete_fact(h), "delete " + std::to_string(h));
        handles_.erase(handles_.begin() + static_cast<std::ptrdiff_t>(at));
    }

    static void fire(Engine& e, uint64_t limit, std::string& out) {
        EngineResult<Firings> fired = e.fire_all(limit);
        if (!fired) {
            out += "  fire: " + fired.error().message + "\n";
            return;
        }
        for (const Firing& f : *fired) {
            out += "  " + f.rule + ":";
            for (const FactView& v : f.facts) out += " " + std::to_string(v.id);
            out += "\n";
        }
        out += "  facts:";
        for (const FactView& v : e.facts()) {
            out += " " + v.type_name + debug_fact_id(v.id);
            for (const auto& [name, value] : v.fields) out += " " + debug(value);
        }
        out += "\n";
    }

    template <class R>
    void note(const R& a, const R& b, const std::string& what) {
        if (!a) out_[0] += "  " + what + ": " + a.error().message + "\n";
        if (!b) out_[1] += "  " + what + ": " + b.error().message + "\n";
    }

    std::mt19937 rng_;
    Engine merged_, split_;
    std::vector<std::pair<FactId, bool>> handles_;  // (handle, is an A)
    std::string out_[2];
    size_t windows_[2] = {0, 0};
};

}  // namespace

TEST(FirstWindows, MergedWindowsFireAsAWindowPerChangeDoes) {
    size_t merged = 0, split = 0;
    for (uint32_t seed = 1; seed <= 60; ++seed) {
        Twins twins(seed);
        for (int step = 0; step < 30; ++step) twins.step(step);
        ASSERT_EQ(twins.transcript(0), twins.transcript(1)) << "seed " << seed;
        merged += twins.windows(0);
        split += twins.windows(1);
    }
    // Bursts of one kind of change fill one window in the merging engine.
    EXPECT_LT(merged * 2, split);
}
