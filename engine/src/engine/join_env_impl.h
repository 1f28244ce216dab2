// The engine's side of JoinEnv: constraint tests and index keys of one rule's
// patterns over the real fact store. Built afresh for every call into the
// network; it only reads, except that the network interns the tuples it makes
// in the engine's tuple table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/compiler/compiled_rule.h"
#include "engine/trace_switches.h"
#include "network/join_env.h"
#include "store/fact_store.h"

namespace quarn {

class JoinEnvImpl final : public JoinEnv {
public:
    // Node i joins pattern i+1 of `rule` onto tuples of patterns 0..i.
    // The switches are those the engine read at the start of its outside call.
    JoinEnvImpl(uint64_t mark, const FactStore& store, const CompiledRule& rule, uint8_t flag, bool join_expired,
                TupleTable& tuples, const TraceSwitches& switches)
        : mark_(mark),
          store_(store),
          rule_(rule),
          flag_(flag),
          join_expired_(join_expired),
          tuples_(tuples),
          switches_(switches) {}

    bool allowed_ce(size_t i, TupleView tuple, FactId fact) const override;
    void key_of_left(size_t i, TupleView tuple, Key& key) const override;
    void key_of_right(size_t i, FactId fact, Key& key) const override;
    bool int_keys(size_t i) const override;
    bool int_key_of_left(size_t i, TupleView tuple, int64_t& v) const override;
    bool int_key_of_right(size_t i, FactId fact, int64_t& v) const override;
    uint32_t int_keys_of_left(size_t i, const TupleId* tuples, size_t n, int64_t* v) const override;
    uint32_t int_keys_of_right(size_t i, const FactId* facts, size_t n, int64_t* v) const override;
    std::optional<int64_t> not_fire_time(size_t i, TupleView tuple) const override;
    bool left_update_optimization(size_t i) const override;
    bool allowed(size_t i, TupleView tuple, FactId fact) const override;
    bool key_decides(size_t i) const override;
    TupleTable& tuples() const override { return tuples_; }

    uint64_t mark() const override { return mark_; }
    bool join_expired() const override { return join_expired_; }
    bool is_expired(FactId fact) const override { return store_.expired.count(fact) != 0; }
    bool trace_switch() const override { return switches_.trace(); }
    bool tail_first_switch() const override { return switches_.jsr_tail(); }

    uint8_t flag() const { return flag_; }
    // Says that every change to the facts the node's memories key has reached
    // those memories by the time the evaluation joins anything: a whole
    // evaluation of the rule's chain, not an insert-time flush that leaves
    // updates waiting. Only then may equal keys decide a join (key_decides).
    void set_keys_current() { keys_current_ = true; }

private:
    // The work behind the overrides, over the facts of a tuple in pattern order.
    const CompiledPattern& pattern(size_t i) const;
    // Every test of pattern i+1 in order, skipping the one at `skip`.
    bool passes(size_t i, std::span<const FactId> tuple, FactId fact, std::optional<size_t> skip) const;
    std::optional<int64_t> fire_time(size_t i, std::span<const FactId> tuple) const;
    // Where the key of node i is read when it is a single field equal to one
    // field of an earlier pattern, the usual join: a batch asks it of every
    // entry, so it is worked out once for the node last asked about.
    struct OneFieldKey {
        size_t node = SIZE_MAX;
        bool one = false;
        size_t left_position = 0;  // the earlier pattern's place in the tuple
        size_t left_field = 0;
        size_t right_field = 0;
    };
    const OneFieldKey& one_field_key(size_t i) const;

    uint64_t mark_;
    const FactStore& store_;
    const CompiledRule& rule_;
    uint8_t flag_;
    bool join_expired_;
    TupleTable& tuples_;
    const TraceSwitches& switches_;
    bool keys_current_ = false;
    mutable OneFieldKey one_key_;
};

}  // namespace quarn
