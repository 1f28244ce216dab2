// One node of a rule's match network: the two memories of a join (left tuples,
// right facts), the held input deltas, the children it produced and the maps
// that let a later change reach them without scanning.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "network/join_env.h"
#include "network/memory.h"
#include "network/staged.h"
#include "store/decimal.h"
#include "common/hash.h"

namespace quarn {

// Only Join, Not and Exists are evaluated by the network; the engine evaluates
// the others and keeps their memories through the node operations.
enum class Kind : uint8_t { Join = 0, Not = 1, Exists = 2, Acc = 3, Query = 4, SubnetNot = 5, SubnetExists = 6 };

// "Join", "Not", ... (the diagnostic text of a kind).
const char* kind_name(Kind k);

struct Child {
    Tuple tuple;                 // join: parent + right; not/exists: the parent itself
    Tuple parent;                // the left tuple it came from
    std::optional<FactId> right; // the right fact of a join child
    bool dead = false;           // removed; the position stays valid and listed
};

struct DeferredEntry {
    Tuple tuple;
    Stamp stamp;
    int64_t fire_time = 0;  // ms
};

struct ParkedEntry {
    Tuple tuple;
    Stamp stamp;
};

struct Node {
    // Memories in arrival order; an updated entry moves to the end.
    Memory<Tuple> lefts;
    Memory<FactId> rights;
    // Deltas held at the node between evaluations.
    Staged<Tuple> staged_lefts;
    Staged<FactId> staged_rights;
    // Append-only: positions stay valid for the node's lifetime.
    std::vector<Child> children;
    // Temporal not: tuples waiting for their fire time.
    std::vector<DeferredEntry> deferred;
    // Filled by the engine (released temporal-not tuples and the like), drained
    // by the next not/exists evaluation.
    std::vector<ParkedEntry> parked;
    // Kept at the node by the engine between evaluations.
    std::vector<StagedEntry<Tuple>> held;
    // Entries set aside by the engine's stream-flush cascade, taken by the next fire.
    std::vector<StagedEntry<Tuple>> cascade_out;

    HashMap<Tuple, size_t> child_index;                   // child tuple -> position
    HashMap<Tuple, std::vector<size_t>> children_of_left; // parent -> positions, memory order
    HashMap<FactId, std::vector<size_t>> by_right;        // right fact -> positions, same order
    HashMap<FactId, std::vector<Tuple>> blocked;          // not/exists: blocker -> tuples, newest first
    HashMap<Tuple, FactId> blocker_of;                    // not/exists: tuple -> its blocker
    HashMap<FactId, std::vector<Tuple>> lost_blocker;     // not/exists: scratch of one evaluation
    HashMap<FactId, std::optional<FactId>> has_later_right;  // not/exists: scratch of one evaluation
    HashMap<Tuple, uint64_t> left_seqs;                   // first-storage order; never shrinks
    HashMap<Tuple, uint64_t> left_marks;                  // env mark when stored
    // Arrival order of left tuples and right facts as the engine numbers them
    // (its input_seq); read by temporal right inserts, written only by the engine.
    HashMap<Tuple, uint64_t> left_ranks;
    HashMap<FactId, uint64_t> right_ranks;
    uint64_t next_seq = 1;

    bool temporal = false;
    bool shared = false;  // set by the engine's stream flush when several rules list the node
    Kind kind = Kind::Join;
    uint8_t index_op = kNoIndex;

    static Node new_ex(uint8_t index_op, Kind kind, bool temporal);

    // How the memories are actually probed. A temporal node's keys are event
    // times, which an update can move apart from the equality values, so a
    // temporal node never filters by key: kNoIndex. Otherwise index_op.
    uint8_t probe_op() const { return temporal ? kNoIndex : index_op; }
    bool keyed() const { return probe_op() == kEqualityIndex; }

    uint64_t left_seq(const Tuple& t) const;
    void record_left_seq(const Tuple& t);  // next_seq when t has none

    static Ordering value_ord(const Value& a, const Value& b);
    static bool keys_match(const std::vector<Value>& stored, const std::vector<Value>& probe) {
        return quarn::keys_match(stored, probe);
    }

    // What a probe reaches, in scan order (see probe_op). Range scans put the
    // nearest candidate first. scan_lefts reaches stored bounds k with
    // `probe op k`; scan_rights reaches stored fields k with `k op probe`.
    std::vector<Tuple> scan_lefts(const Key& probe) const;
    std::vector<FactId> scan_rights(const Key& probe) const;
    // Stored keys equal to `key` under keys_match; every entry when none.
    std::vector<Tuple> collect_matching_lefts(const Key& key) const;
    std::vector<FactId> collect_matching_rights(const Key& key) const;

    void remove_left(const Tuple& t) { lefts.remove_first(t); }
    void remove_right(FactId f) { rights.remove_first(f); }

    // Creates a join child of (left, right); an anchor names a position before
    // which the new position goes in that list. Returns the child tuple.
    Tuple create_child(const Tuple& left, FactId right, std::optional<size_t> left_before,
                       std::optional<size_t> right_before);
    // The alive positions of a children list, in list order.
    std::vector<size_t> alive_positions(const std::vector<size_t>* list) const;
    // Moves the first occurrence of p to the end of the list (appends when absent).
    static void move_to_end(std::vector<size_t>& list, size_t p);

    // Not and exists nodes (not_exists_node.cpp).
    std::optional<FactId> find_blocker(const JoinEnv& env, size_t i, const Tuple& t, std::optional<FactId> start,
                                       const Staged<FactId>& sr) const;
    std::optional<size_t> ce_child_of(const Tuple& t) const;
    Tuple create_ce_child(const Tuple& t);

    // Operations driven by the engine (node_ops.cpp).
    void self_drain_delta(const JoinEnv& env, size_t i);
    void flush_ins_delta(const JoinEnv& env, size_t i, std::vector<StagedEntry<Tuple>> extra, Staged<Tuple>& trg);
    void drain_staged_rights_to_memory_if(const JoinEnv& env, size_t i, std::optional<FactId> except,
                                          const std::function<bool(FactId)>& pred);
    void peer_merge_left(const Staged<Tuple>& peer);
    void re_add_left_tuple(const Tuple& t, Key key);
    void re_add_right_tuple(FactId f, Key key);
    void re_add_right_fact(FactId f, Key key);
    void not_mask_miss_re_add(const JoinEnv& env, size_t i, FactId f);
};

}  // namespace quarn
