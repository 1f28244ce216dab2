// Rule network: per-rule chains of join, not and exists nodes that take staged
// insert, update and delete deltas and stage their children's deltas in a fixed
// order. Constraint tests and keys come from the engine through JoinEnv.
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

// Evaluates one Join, Not or Exists node: applies the staged inputs (consumed)
// to its memories and stages the resulting child changes into out.trg. Other
// kinds are evaluated by the engine; reaching them here is an internal error.
void do_node(const JoinEnv& env, size_t i, Node& node, Staged<TupleId> sl, Staged<FactId> sr, Out& out);

void do_join_node(const JoinEnv& env, size_t i, Node& node, Staged<TupleId> sl, Staged<FactId> sr, Out& out);
void do_existential_node(const JoinEnv& env, size_t i, Node& node, Staged<TupleId> sl, Staged<FactId> sr, Out& out);
// Temporal not: defers `t` until its fire time, or emits it into trg.
void not_emit_or_defer(const JoinEnv& env, size_t i, Node& node, TupleId t, Stamp stamp, uint8_t flag,
                       Staged<TupleId>& trg);
// Temporal exists with an insert-only batch: admits inserts in ascending FactId order.
void exists_flush_admit(const JoinEnv& env, size_t i, Node& node, Staged<TupleId> sl, Staged<FactId> sr,
                        Staged<TupleId>& trg);

// The staged right inserts in the order evaluations take them: newest first,
// or oldest first when QUARN_JSR is exactly "tail".
std::vector<StagedEntry<FactId>> sr_ins_iter(const JoinEnv& env, const EntryList<FactId>& ins);

// Debug forms used by trace lines: FactId(3); [FactId(1), FactId(2)];
// ([FactId(1)], Some(4), 0); Some([I64(5)]); lists as [a, b]; (item, key) pairs.
std::string debug(TupleView t);
std::string debug(const TupleTable& tt, TupleId t);
std::string debug(const StagedEntry<FactId>& e);
std::string debug(const TupleTable& tt, const StagedEntry<TupleId>& e);
std::string debug(const EntryList<FactId>& l);
std::string debug(const TupleTable& tt, const EntryList<TupleId>& l);
std::string debug(const TupleTable& tt, const std::vector<TupleId>& ts);
std::string debug(const Memory<FactId>& m);
std::string debug(const TupleTable& tt, const Memory<TupleId>& m);

}  // namespace quarn
