// The nodes the engine evaluates itself: accumulate and groupby, ?query calls and not/exists over a group.
#include "common/text.h"
#include "engine/engine.h"

namespace quarn {

// Not evaluated yet: the error leaves the node's input staged, so nothing is lost.
EngineStatus Engine::eval_engine_node(size_t node, Staged<TupleId>, Staged<FactId>, Staged<TupleId>, Out&) {
    return engine_err(fmt("{} nodes are not evaluated yet", kind_name(nodes[node].node.kind)));
}

}  // namespace quarn
