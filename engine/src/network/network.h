// Rule network: per-rule chains of join, not and exists nodes that take staged
// insert, update and delete deltas and stage their children's deltas in a fixed
// order. Constraint tests and keys come from the engine through JoinEnv.
// This header is what the engine uses; the evaluations' own entry points are
// in network/node_eval.h.
//
// Tuples are TupleIds interned in the engine's TupleTable (JoinEnv::tuples());
// staged tuple deltas are Staged<TupleId>, and the engine reads a tuple's facts
// through TupleTable::view. Staged batches are passed by move; an empty one
// holds no memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "network/join_env.h"
#include "network/key.h"
#include "network/memory.h"
#include "network/node.h"
#include "network/staged.h"
#include "network/tuple.h"

namespace quarn {

// Evaluates one Join, Not or Exists node: applies the staged inputs to its
// memories and stages the resulting child changes into out.trg. The inputs are
// consumed (taken by reference, so an evaluation moves no batch; the caller
// drops them afterwards). Other kinds are evaluated by the engine; reaching
// them here is an internal error.
void do_node(const JoinEnv& env, size_t i, Node& node, Staged<TupleId>&& sl, Staged<FactId>&& sr, Out& out);

// A batch's list as trace lines print it: [([FactId(1)], Some(4), 0), ...];
// the other debug forms are in network/trace_form.h.
std::string debug(const TupleTable& tt, const EntryList<TupleId>& l);

}  // namespace quarn
