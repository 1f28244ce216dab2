// The network's evaluations by kind, which do_node dispatches to, and what
// they share; the engine reaches them only through do_node (network.h).
#pragma once

#include <cstddef>
#include <vector>

#include "network/join_env.h"
#include "network/memory.h"
#include "network/node.h"
#include "network/staged.h"
#include "network/tuple.h"

namespace quarn {

// What the evaluations reach inside a node: its memories, the tuples waiting
// at it and its scratch lists. Nothing outside the network uses it.
struct NodeInternals {
    static Memory<TupleId>& lefts(Node& n) { return n.lefts_; }
    static Memory<FactId>& rights(Node& n) { return n.rights_; }
    static const Memory<FactId>& rights(const Node& n) { return n.rights_; }
    // The index both memories keep their buckets in, where they share one.
    static const SharedKeyIndex& key_index(const Node& n) { return *n.key_index_; }
    static std::vector<DeferredEntry>& deferred(Node& n) { return n.deferred_; }
    static std::vector<ParkedEntry>& parked(Node& n) { return n.parked_; }
    static std::vector<TupleId>& scratch_tuples(Node& n) { return n.scratch_tuples_; }
    static std::vector<FactId>& scratch_facts(Node& n) { return n.scratch_facts_; }
    static std::vector<size_t>& scratch_children(Node& n, size_t k) { return n.scratch_children_[k]; }
    static uint64_t& temporal_reads(Node& n) { return n.temporal_reads_; }
};

void do_join_node(const JoinEnv& env, size_t i, Node& node, Staged<TupleId>&& sl, Staged<FactId>&& sr, Out& out);
void do_existential_node(const JoinEnv& env, size_t i, Node& node, Staged<TupleId>&& sl, Staged<FactId>&& sr, Out& out);
// Temporal not: defers `t` until its fire time, or emits it into trg.
void not_emit_or_defer(const JoinEnv& env, size_t i, Node& node, TupleId t, Stamp stamp, StagedFlag flag,
                       Staged<TupleId>& trg);
// Temporal exists with an insert-only batch: admits inserts in ascending FactId order.
void exists_flush_admit(const JoinEnv& env, size_t i, Node& node, Staged<TupleId>&& sl, Staged<FactId>&& sr,
                        Staged<TupleId>& trg);

// The staged right inserts in the order evaluations take them: newest first,
// or oldest first when QUARN_JSR is exactly "tail".
std::vector<StagedEntry<FactId>> sr_ins_iter(const JoinEnv& env, const EntryList<FactId>& ins);

}  // namespace quarn
