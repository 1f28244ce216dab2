// Inserts facts into an engine in immediate mode with R rules over one fact type
// and reports the time per insert. Every insert alpha-tests each first pattern of
// its type once, so the cost grows linearly with R; it must not grow faster.
//   wide:   each insert passes half of the rules' first patterns (R/2 changes)
//   narrow: each insert passes exactly one first pattern (one change)
//
// Measured (RelWithDebInfo, one machine), ns per insert:
//                       R = 10    R = 100    R = 400    R = 1000
//   wide,   before       2,960    125,000  1,506,000          -
//   wide,   after        2,600     39,600          -    340,000
//   narrow, after          630      4,300          -     40,700
// "before": every staged change re-examined the link state of every rule, so
// an insert cost (changes x rules). "after": a change looks again only at the
// rules that read the place it changed.
#include <chrono>
#include <cstdio>
#include <string>

#include "quarn.h"
#include "engine/engine.h"

using namespace quarn;

namespace {

double ns_per_insert(int rules, int inserts, bool wide) {
    Engine e = std::move(Engine::create({{"A", {{"x", FieldType::i64()}}, 0}, {"B", {{"v", FieldType::i64()}}, 0}}))
                   .value();
    std::string text;
    for (int i = 0; i < rules; ++i) {
        text += "rule r" + std::to_string(i) + " when A(x " + (wide ? "> " : "== ") + std::to_string(i) + ") B(v == " +
                std::to_string(i) + ") then end\n";
    }
    if (!e.add_rules_text(text)) return -1;
    e.immediate = true;  // as after the first fire
    for (int i = 0; i < rules; ++i) (void)e.insert("B", {{"v", Value::i64(i)}});
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < inserts; ++i) (void)e.insert("A", {{"x", Value::i64(i % (wide ? 2 * rules : rules))}});
    const auto t1 = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::nano>(t1 - t0).count() / inserts;
}

}  // namespace

int main() {
    std::printf("%-8s %8s %14s\n", "shape", "rules", "ns/insert");
    for (bool wide : {true, false}) {
        for (int rules : {10, 100, 1000}) {
            const int inserts = rules >= 1000 ? 1000 : 5000;
            std::printf("%-8s %8d %14.0f\n", wide ? "wide" : "narrow", rules, ns_per_insert(rules, inserts, wide));
        }
    }
}
