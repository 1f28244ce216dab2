// The nodes the engine evaluates itself: accumulate and groupby, ?query calls and not/exists over a group.
#include "common/text.h"
#include "engine/engine.h"

namespace quarn {

// A kind not evaluated yet fails: the error leaves the node's input staged, so nothing is lost.
EngineStatus Engine::eval_engine_node(size_t node, Staged<TupleId> left, Staged<FactId> right, Staged<TupleId> inner,
                                      Out& out) {
    const Kind kind = nodes[node].node.kind();
    if (kind == Kind::Acc) {
        const auto [rule, pattern] = nodes[node].owner;
        const CompiledPattern& p = rules[rule].patterns[pattern];
        if (p.acc && p.acc->key_field)
            return eval_groupby_node(node, rule, pattern, std::move(left), std::move(right), out);
        return eval_acc_node(node, rule, pattern, std::move(left), std::move(right), out);
    }
    // Answer rows are stored without propagation and group nodes take no
    // facts: neither kind has a right input.
    if (kind == Kind::Query) return eval_query_node(node, std::move(left), out);
    if (kind == Kind::SubnetNot || kind == Kind::SubnetExists) {
        eval_subnet_node(node, std::move(left), std::move(inner), out);
        return {};
    }
    return engine_err(fmt("{} nodes are not evaluated yet", kind_name(kind)));
}

bool Engine::engine_node_can_fail(size_t node) const {
    if (nodes[node].node.kind() != Kind::Acc) return true;
    const auto [rule, pattern] = nodes[node].owner;
    const CompiledPattern& p = rules[rule].patterns[pattern];
    // A plain accumulate fails only on a sum out of range; a groupby also on
    // a null group key.
    return !p.acc || p.acc->key_field || acc_sum_can_fail(*p.acc);
}

}  // namespace quarn
