// Events, the pseudo-clock and the expiry and window-eviction schedules.
#include "engine/engine.h"

namespace quarn {

// Expiry is not scheduled yet: every fact counts as a non-expiring one.
uint8_t Engine::schedule_expiration(FactId) { return 2; }

void Engine::schedule_window_evictions(FactId) {}

}  // namespace quarn
