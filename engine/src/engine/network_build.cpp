// Pattern keys and the building of the shared rule network.
#include "engine/engine.h"

namespace quarn {

// No node is shared yet: keys are not computed and every rule gets an empty
// RuleNet of its own.
std::string Engine::pattern_key(const CompiledPattern&, size_t, size_t) const { return {}; }

void Engine::build_network(const std::vector<std::vector<std::string>>&) {
    lias.clear();
    nodes.clear();
    acc_nodes.clear();
    nets.assign(rules.size(), RuleNet{});
}

}  // namespace quarn
