// Shadow evaluators of three-pattern rules: intake, refresh and removal of their facts.
#include "engine/engine.h"

namespace quarn {

// No rule carries a shadow evaluator yet, so no fact has one to reach.
void Engine::shadow_intake(FactId, uint8_t) {}
void Engine::shadow_refresh(FactId) {}
void Engine::shadow_drop(FactId) {}
void Engine::shadow_gate_insert(FactId, uint64_t) {}
void Engine::shadow_gate_delete(FactId, uint64_t) {}
void Engine::shadow_note_expired(FactId) {}
void Engine::shadow_catch_up() {}
void Engine::shadow_quiescence() {}
void Engine::shadow_end_of_fire() {}
std::optional<size_t> Engine::shadow_out_place(size_t, ShadowKind, FactId) const { return std::nullopt; }

}  // namespace quarn
