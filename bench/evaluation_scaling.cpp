// Stages N facts of two types into a two-pattern join rule and a one-pattern
// rule, evaluates both, then takes every activation in firing order; reports
// the time per fact or activation of each step. None may grow with N.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "quarn.h"
#include "engine/engine.h"

using namespace quarn;

namespace {

double ms_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

struct Figures {
    double insert_ms = 0, eval_ms = 0, take_ms = 0;
    size_t acts = 0;
};

// Rule 0 joins A and B on a key; rule 1 takes every A. Salience 0 or the key.
Figures run(int n, bool expression_salience) {
    Engine e = std::move(Engine::create({{"A", {{"k", FieldType::i64()}}, 0}, {"B", {{"k", FieldType::i64()}}, 0}}))
                   .value();
    const std::string sal = expression_salience ? " salience $k" : "";
    if (!e.add_rules_text("rule j" + sal + " when A($k : k) B(k == $k) then end rule o" + sal +
                          " when A($k : k) then end"))
        std::abort();
    e.immediate = true;
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) {
        (void)e.insert("A", {{"k", Value::i64(i)}});
        (void)e.insert("B", {{"k", Value::i64(i)}});
    }
    Figures f;
    f.insert_ms = ms_since(t0);
    t0 = std::chrono::steady_clock::now();
    e.evaluate_rule_inner(0, true);
    e.evaluate_rule_inner(1, true);
    f.eval_ms = ms_since(t0);
    f.acts = e.nets[0].acts.size() + e.nets[1].acts.size();
    t0 = std::chrono::steady_clock::now();
    for (size_t r = 0; r < 2; ++r)
        while (!e.nets[r].acts.empty()) e.take_activation(r);
    f.take_ms = ms_since(t0);
    return f;
}

}  // namespace

int main() {
    std::printf("%8s %10s %10s %14s %12s %12s\n", "facts", "salience", "acts", "insert us/fact", "eval us/act",
                "take us/act");
    for (bool expr : {false, true}) {
        for (int n : {1000, 10000, 40000}) {
            Figures f = run(n, expr);
            const double acts = static_cast<double>(f.acts);
            std::printf("%8d %10s %10zu %14.3f %12.3f %12.3f\n", 2 * n, expr ? "$k" : "0", f.acts,
                        1000 * f.insert_ms / (2 * n), 1000 * f.eval_ms / acts, 1000 * f.take_ms / acts);
        }
    }
}
