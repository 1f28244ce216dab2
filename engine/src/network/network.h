// Rule network: per-rule chains of join, not and exists nodes that take staged
// insert, update and delete deltas and stage their children's deltas in a fixed
// order. Constraint tests and keys come from the engine through JoinEnv.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "network/join_env.h"
#include "network/memory.h"
#include "network/node.h"
#include "network/staged.h"

namespace quarn {

// Evaluates one Join, Not or Exists node: applies the staged inputs (consumed)
// to its memories and stages the resulting child changes into out.trg. Other
// kinds are evaluated by the engine; reaching them here is an internal error.
void do_node(const JoinEnv& env, size_t i, Node& node, Staged<Tuple> sl, Staged<FactId> sr, Out& out);

void do_join_node(const JoinEnv& env, size_t i, Node& node, Staged<Tuple> sl, Staged<FactId> sr, Out& out);
void do_existential_node(const JoinEnv& env, size_t i, Node& node, Staged<Tuple> sl, Staged<FactId> sr, Out& out);
// Temporal not: defers `t` until its fire time, or emits it into trg.
void not_emit_or_defer(const JoinEnv& env, size_t i, Node& node, const Tuple& t, Stamp stamp, uint8_t flag,
                       Staged<Tuple>& trg);
// Temporal exists with an insert-only batch: admits inserts in ascending FactId order.
void exists_flush_admit(const JoinEnv& env, size_t i, Node& node, Staged<Tuple> sl, Staged<FactId> sr,
                        Staged<Tuple>& trg);

// The staged right inserts in the order evaluations take them: newest first,
// or oldest first when QUARN_JSR is exactly "tail".
std::vector<StagedEntry<FactId>> sr_ins_iter(const JoinEnv& env, const EntryList<FactId>& ins);

// Debug forms used by trace lines: FactId(3); [FactId(1), FactId(2)];
// ([FactId(1)], Some(4), 0); Some([I64(5)]); lists as [a, b]; (item, key) pairs.
std::string debug(const Tuple& t);
std::string debug_key(const Key& k);
std::string debug(const StagedEntry<FactId>& e);
std::string debug(const StagedEntry<Tuple>& e);
std::string debug(const EntryList<FactId>& l);
std::string debug(const EntryList<Tuple>& l);
std::string debug(const std::vector<Tuple>& ts);
std::string debug(const Memory<FactId>& m);
std::string debug(const Memory<Tuple>& m);

}  // namespace quarn
