// Truth maintenance: justifications of logically inserted facts and their stated copies.
#include "engine/engine.h"

namespace quarn {

// No justification is recorded yet, so there is nothing to keep in step: every
// delete proceeds for the fact itself.
void Engine::tms_note_stated(FactId) {}

TmsRoute Engine::tms_route_delete_ex(FactId fact, bool) { return TmsRoute{true, fact, std::nullopt}; }

void Engine::tms_eager_break(FactId) {}

// No activation justifies a fact yet, and none is parked.
void Engine::tms_on_terminal_del(size_t, TupleId) {}
void Engine::tms_parked_del(size_t, TupleId) {}
void Engine::tms_unpark_upd(size_t, TupleId) {}

// No identity map yet: every insertLogical stores its fact, and nothing is
// justified, so a firing leaves nothing to retract.
std::optional<FactId> Engine::tms_logical_fact(TypeId, const std::vector<Value>&) const { return std::nullopt; }
void Engine::tms_record_logical(TypeId, const std::vector<Value>&, std::optional<FactId>, bool) {}
void Engine::tms_after_firing() {}

}  // namespace quarn
