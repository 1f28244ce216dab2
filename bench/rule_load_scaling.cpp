// Loads N generated rules over 20 fact types into a fresh engine and reports
// the time per rule for the whole load (parse, compile, keys, network) and for
// the network rebuild of a reset. Neither may grow with N.
//
// Release build, 8 shared cores, best of three (microseconds per rule):
//   rules   load   reset
//   1,000   23.6    4.8
//   10,000  28.4    7.1
// About two thirds of a load is parsing, flat in N. The rest rises by a few
// microseconds at 10,000 rules because the compiled rules (about 30 MB) and
// 20,000 nodes no longer fit the caches; no step walks other rules per rule.
// Earlier figures at 10,000 rules: 57 / 24 while every TrieNode was moved at
// each growth of the node arena; 33 / 27 with node plans but before the
// network's own hash table, whose empty maps hold no memory.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "quarn.h"
#include "engine/engine.h"

using namespace quarn;

namespace {

constexpr int kTypes = 20;

std::vector<TypeSchema> schemas() {
    std::vector<TypeSchema> out;
    for (int t = 0; t < kTypes; ++t)
        out.push_back(TypeSchema{"T" + std::to_string(t),
                                 {{"a", FieldType::i64()}, {"b", FieldType::i64()}, {"c", FieldType::str()}},
                                 0});
    return out;
}

// 100 distinct first patterns shared by many rules, then a join on a bound
// value whose literal grows with the rule number (so the network grows with
// the rules), then one of three gates.
std::string rules_text(int n) {
    std::string text;
    for (int i = 0; i < n; ++i) {
        const int t0 = i % kTypes, t1 = (i / kTypes) % kTypes, t2 = (i * 7 + 3) % kTypes;
        text += "rule \"r" + std::to_string(i) + "\" salience " + std::to_string(i % 5) + " when\n";
        text += "  $x : T" + std::to_string(t0) + "(a > " + std::to_string(i % 50) + ", $v : b)\n";
        text += "  T" + std::to_string(t1) + "(b == $v, a < " + std::to_string(i / 4) + ")\n";
        text += "  not T" + std::to_string(t2) + "(c == \"k" + std::to_string(i % 3) + "\")\n";
        text += "then\n  $x.setC(\"seen\");\nend\n";
    }
    return text;
}

double ms_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main() {
    std::printf("%8s %10s %10s %8s %8s %12s %12s\n", "rules", "load ms", "us/rule", "lias", "nodes", "reset ms",
                "us/rule");
    for (int n : {1000, 10000}) {
        const std::string text = rules_text(n);
        // Best of three runs, each on a fresh engine.
        double load_ms = 1e300, reset_ms = 1e300;
        size_t lias = 0, nodes = 0;
        for (int run = 0; run < 3; ++run) {
            Engine engine = std::move(Engine::create(schemas())).value();
            auto t0 = std::chrono::steady_clock::now();
            EngineStatus loaded = engine.add_rules_text(text);
            load_ms = std::min(load_ms, ms_since(t0));
            if (!loaded) {
                std::printf("load failed: %s\n", loaded.error().message.c_str());
                return 1;
            }
            t0 = std::chrono::steady_clock::now();
            if (!engine.reset()) return 1;
            reset_ms = std::min(reset_ms, ms_since(t0));
            lias = engine.lias.size();
            nodes = engine.nodes.size();
        }
        std::printf("%8d %10.1f %10.2f %8zu %8zu %12.1f %12.2f\n", n, load_ms, 1000 * load_ms / n, lias, nodes,
                    reset_ms, 1000 * reset_ms / n);
    }
    return 0;
}
