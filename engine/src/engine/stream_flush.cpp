// The stream flush: insert-time evaluation of the rules an insert touched.
#include "engine/engine.h"

namespace quarn {

// Staged changes wait for the next fire.
void Engine::stream_flush_ex(const StageSnapshot&, bool) {}

}  // namespace quarn
