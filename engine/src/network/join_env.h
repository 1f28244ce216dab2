// JoinEnv: everything a node asks of the engine. Node i joins pattern i+1 onto
// tuples of patterns 0..i; every operation reads pattern i+1. The network never
// looks at fact values itself and reaches the engine only through this.
//
// Tuples reach the engine as views of their facts (TupleView, pattern order);
// the network names them by TupleId in the engine's TupleTable, which the
// engine owns and hands out through tuples(). Keys are written into a Key the
// network owns: the engine pushes the values and leaves a pattern without a
// key as none. Pushed texts are referred to, not copied, so they must stay as
// they are until the evaluation ends (the fact store does not change during
// one); memories copy the texts of the keys they keep.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "network/key.h"
#include "network/tuple.h"

namespace quarn {

class JoinEnv {
public:
    virtual ~JoinEnv() = default;

    // The pattern's tests as a not/exists element; true when it has none.
    virtual bool allowed_ce(size_t i, TupleView tuple, FactId fact) const = 0;
    // Index keys of a left tuple and of a right fact, written into `key`, which
    // arrives as none and stays none when the pattern has no key.
    virtual void key_of_left(size_t i, TupleView tuple, Key& key) const = 0;
    virtual void key_of_right(size_t i, FactId fact, Key& key) const = 0;
    // Whether node i's key is one field, so that it may come as an integer
    // word (int_key_of_left, int_key_of_right); asked once per batch.
    virtual bool int_keys(size_t) const { return false; }
    // The key key_of_left (key_of_right) would write, when it is exactly one
    // integer: true with *v set. False asks key_of_left for the entry.
    virtual bool int_key_of_left(size_t, TupleView, int64_t&) const { return false; }
    virtual bool int_key_of_right(size_t, FactId, int64_t&) const { return false; }
    // The same for a block of n <= 32 tuples (facts): bit k of the result set
    // says that v[k] holds the key of tuples[k]. By default the one-entry
    // forms are asked in turn; an environment that reads a block at once
    // overrides these.
    virtual uint32_t int_keys_of_left(size_t i, const TupleId* tuples, size_t n, int64_t* v) const;
    virtual uint32_t int_keys_of_right(size_t i, const FactId* facts, size_t n, int64_t* v) const;
    // When a temporal not may emit `tuple`, in milliseconds; none when it need not wait.
    virtual std::optional<int64_t> not_fire_time(size_t i, TupleView tuple) const = 0;
    // True when a left update of a not/exists node may keep a blocker that still qualifies.
    virtual bool left_update_optimization(size_t i) const = 0;
    // The full join test; index keys only narrow the candidates, this decides.
    virtual bool allowed(size_t i, TupleView tuple, FactId fact) const = 0;
    // True when equal keys decide the join test alone: the pattern's only
    // tests against other patterns are the equalities its key holds, and the
    // rest hold for every fact its memory takes. The network then skips
    // allowed() for a pair whose keys are equal value for value, each an
    // integer, a text or a boolean.
    virtual bool key_decides(size_t) const { return false; }
    // The engine's tuple table, where the network interns the tuples it makes.
    virtual TupleTable& tuples() const = 0;

    // The engine counter recorded in Node::left_marks.
    virtual uint64_t mark() const = 0;
    // When false, insert joins skip candidates holding an expired fact.
    virtual bool join_expired() const = 0;
    // Whether the fact is in the fact store's expired set.
    virtual bool is_expired(FactId fact) const = 0;

    // The process environment as the switches read it: the variable's value,
    // or none when unset or not valid UTF-8. Overridden by tests.
    virtual std::optional<std::string> env_var(const char* name) const;
    // Writes one trace line (a newline is added) to standard error. Overridden by tests.
    virtual void trace(std::string_view line) const;
    // The two switches below as env_var gives them; an environment that read
    // them once for a whole call answers from what it read.
    virtual bool trace_switch() const;
    virtual bool tail_first_switch() const;
};

// Keys as values, for callers that keep them.
Key left_key(const JoinEnv& env, size_t i, TupleId t);
Key left_key(const JoinEnv& env, size_t i, TupleView t);
Key right_key(const JoinEnv& env, size_t i, FactId f);

// QUARN_TRACE set to any valid Unicode value, the empty one included.
bool tracing_on(const JoinEnv& env);
// QUARN_JSR holding exactly "tail": staged right inserts are taken oldest first.
bool right_inserts_tail_first(const JoinEnv& env);

}  // namespace quarn
