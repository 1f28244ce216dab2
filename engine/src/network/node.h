// One node of a rule's match network: the two memories of a join (left tuples,
// right facts), the held input deltas, the children it produced and the maps
// that let a later change reach them without scanning. The maps are private:
// the engine and the tests reach them through the named operations below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/chunk_vector.h"
#include "common/hash.h"
#include "common/dense_ids.h"
#include "network/join_env.h"
#include "network/memory.h"
#include "network/staged.h"
#include "store/decimal.h"

namespace quarn {

// Only Join, Not and Exists are evaluated by the network; the engine evaluates
// the others and keeps their memories through the node operations.
enum class Kind : uint8_t { Join = 0, Not = 1, Exists = 2, Acc = 3, Query = 4, SubnetNot = 5, SubnetExists = 6 };

// "Join", "Not", ... (the diagnostic text of a kind).
const char* kind_name(Kind k);

// The flag byte of a staged child entry: what caused it.
enum StagedFlag : uint8_t {
    kFromLeftInsert = 0,   // a left insert (also parked tuples and ordered admissions)
    kFromRightInsert = 1,  // a right insert; on a right input, a late insert
    kFromChange = 2,       // an update, or a delete that freed a tuple
    kSelectRightInsert = 4,  // on a right input: joined first, as staged
};

struct Child {
    TupleId tuple;                // join: parent + right; not/exists: the parent itself
    TupleId parent;               // the left tuple it came from
    std::optional<FactId> right;  // the right fact of a join child
    bool dead = false;            // removed; the position stays valid but leaves its lists
};

struct DeferredEntry {
    TupleId tuple;
    Stamp stamp;
    int64_t fire_time = 0;  // ms
};

struct ParkedEntry {
    TupleId tuple;
    Stamp stamp;
};

class Node {
public:
    // Memories in arrival order; an updated entry moves to the end.
    Memory<TupleId> lefts;
    Memory<FactId> rights;
    // Deltas held at the node between evaluations.
    Staged<TupleId> staged_lefts;
    Staged<FactId> staged_rights;
    // Temporal not: tuples waiting for their fire time.
    std::vector<DeferredEntry> deferred;
    // Filled by the engine (released temporal-not tuples and the like), drained
    // by the next not/exists evaluation.
    std::vector<ParkedEntry> parked;
    // Kept at the node by the engine between evaluations.
    std::vector<StagedEntry<TupleId>> held;
    // Entries set aside by the engine's stream-flush cascade, taken by the next fire.
    std::vector<StagedEntry<TupleId>> cascade_out;

    bool temporal = false;
    bool shared = false;  // set by the engine's stream flush when several rules list the node
    Kind kind = Kind::Join;
    uint8_t index_op = kNoIndex;  // see kNoIndex / kEqualityIndex; index_kind() names it

    static Node new_ex(uint8_t index_op, Kind kind, bool temporal);

    // How the memories are actually probed. A temporal node's keys are event
    // times, which an update can move apart from the equality values, so a
    // temporal node never filters by key: kNoIndex. Otherwise index_op.
    uint8_t probe_op() const { return temporal ? kNoIndex : index_op; }
    bool keyed() const { return probe_op() == kEqualityIndex; }

    // --- Children. A child's position names it while it lives; a dead
    // child's position is handed out again once the evaluation (or node
    // operation) that killed it has ended.
    // How many children the node has made.
    size_t child_count() const { return static_cast<size_t>(made_); }
    Child child(size_t p) const;
    // The alive child holding tuple `t` (its own list, or its parent's).
    std::optional<size_t> child_position(const TupleTable& tuples, TupleId t) const;
    // Alive children by position.
    std::vector<TupleId> alive_children() const;
    // Alive children of a left tuple (memory order of their right facts once
    // an update pass has run) and of a right fact (memory order of the lefts).
    std::vector<size_t> children_of_left(TupleId t) const;
    std::vector<size_t> children_of_right(FactId f) const;
    // The same, into `out` (cleared first).
    void children_of_left(TupleId t, std::vector<size_t>& out) const;
    void children_of_right(FactId f, std::vector<size_t>& out) const;
    // Every right fact that has had a child here, ascending (its list may
    // have emptied since).
    std::vector<FactId> right_facts_with_children() const;
    // Creates a join child of (left, right); an anchor names a position before
    // which the new position goes in that list. Returns the child tuple.
    TupleId create_child(TupleTable& tuples, TupleId left, FactId right, std::optional<size_t> left_before,
                         std::optional<size_t> right_before);
    // The same at the end of both lists.
    TupleId create_child(TupleTable& tuples, TupleId left, FactId right);
    // Not and exists nodes: the child is the tuple itself.
    TupleId create_ce_child(TupleId t);
    std::optional<size_t> ce_child_of(TupleId t) const;
    // The child leaves: dead and out of its lists.
    void kill_child(size_t p);
    // Ends an evaluation or node operation: the positions of the children
    // it killed may be handed out again.
    void reclaim_children();
    // Brings a right fact's children into the memory order of their parents
    // (and a tuple's into that of their right facts); stable, and a list
    // already in that order is left as it is.
    void order_children_of_right(FactId f);
    void order_children_of_left(TupleId t);
    // Moves an alive child to the end of its parent's (or right fact's) list.
    void move_child_to_end_of_left(size_t p);
    void move_child_to_end_of_right(size_t p);

    // --- Left tuple bookkeeping.
    // First-storage order, from 1; 0 for a tuple never stored. Never shrinks.
    uint64_t left_seq(TupleId t) const;
    void record_left_seq(TupleId t);  // next number when t has none
    // The environment's mark when the tuple was stored.
    std::optional<uint64_t> left_mark(TupleId t) const;
    void set_left_mark(TupleId t, uint64_t mark);
    // Arrival order of left tuples and right facts as the engine numbers them
    // (its input_seq); read by temporal right inserts, written only by the engine.
    void set_left_rank(TupleId t, uint64_t rank);
    void set_right_rank(FactId f, uint64_t rank);
    uint64_t left_rank(TupleId t) const;
    uint64_t right_rank(FactId f) const;

    // --- Not and exists blocking. A blocked tuple hangs on exactly one blocker.
    std::optional<FactId> blocker_of(TupleId t) const;
    // The tuples f blocks, newest first.
    std::vector<TupleId> blocked_by(FactId f) const;
    bool blocks_any(FactId f) const { return blocked_.contains(f); }
    size_t blocked_count() const { return block_links_.size(); }
    // Every blocker, ascending.
    std::vector<FactId> blockers() const;
    // Hangs t (unblocked) at the front of f's list.
    void block(TupleId t, FactId f);
    // Unhooks t from its blocker, if it has one.
    void unblock(TupleId t);
    // Unhooks every tuple f blocks; newest first.
    std::vector<TupleId> take_blocked(FactId f);

    static Ordering value_ord(const Value& a, const Value& b);

    // What a probe reaches, in scan order (see probe_op). Range scans put the
    // nearest candidate first. scan_lefts reaches stored bounds k with
    // `probe op k`; scan_rights reaches stored fields k with `k op probe`.
    // The list forms append to `out`.
    void scan_lefts(const Key& probe, std::vector<TupleId>& out) const;
    void scan_rights(const Key& probe, std::vector<FactId>& out) const;
    std::vector<TupleId> scan_lefts(const Key& probe) const;
    std::vector<FactId> scan_rights(const Key& probe) const;
    // Stored keys equal to `key` under keys_match; every entry when none.
    std::vector<TupleId> collect_matching_lefts(const Key& key) const;
    std::vector<FactId> collect_matching_rights(const Key& key) const;

    void remove_left(TupleId t) { lefts.remove_first(t); }
    void remove_right(FactId f) { rights.remove_first(f); }

    // The first right fact, in scan order from `start` (from the first when
    // absent or not a candidate) and wrapping around, that the probe reaches
    // and `pred` accepts. Walks the memory without copying its candidates,
    // except behind a range index.
    template <class Pred>
    std::optional<FactId> first_candidate(const Key& probe, std::optional<FactId> start, Pred pred) const;

    // Not and exists nodes (not_exists_node.cpp).
    std::optional<FactId> find_blocker(const JoinEnv& env, size_t i, TupleId t, std::optional<FactId> start,
                                       const Staged<FactId>& sr) const;

    // Operations driven by the engine (node_ops.cpp).
    void self_drain_delta(const JoinEnv& env, size_t i);
    void flush_ins_delta(const JoinEnv& env, size_t i, std::vector<StagedEntry<TupleId>> extra, Staged<TupleId>& trg);
    void drain_staged_rights_to_memory_if(const JoinEnv& env, size_t i, std::optional<FactId> except,
                                          const std::function<bool(FactId)>& pred);
    void peer_merge_left(const Staged<TupleId>& peer);
    void re_add_left_tuple(TupleId t, Key key);
    void re_add_right_tuple(FactId f, Key key);
    void re_add_right_fact(FactId f, Key key);
    void not_mask_miss_re_add(const JoinEnv& env, size_t i, FactId f);

    // Checks the node's own invariants (children lists against the children,
    // blocking maps against the memories, counts against lists); throws
    // InternalError naming the first one broken. The sanitizer build runs it
    // after every evaluation.
    void verify() const;

    // Scratch lists reused across evaluations, so that small ones allocate
    // nothing; each evaluation borrows them whole.
    std::vector<TupleId> scratch_tuples;
    std::vector<FactId> scratch_facts;

private:
    static constexpr uint32_t kNone = UINT32_MAX;
    // A child in 32 bytes: what it is, and its places in its parent's and its
    // right fact's lists.
    struct ChildRec {
        TupleId tuple{};
        TupleId parent{};
        FactId right = 0;
        uint8_t has_right = 0;
        uint8_t dead = 0;
        uint16_t unused = 0;
        uint32_t left_prev = kNone, left_next = kNone;
        uint32_t right_prev = kNone, right_next = kNone;
    };
    struct Ends {
        uint32_t head = kNone, tail = kNone;
    };
    // What the node keeps of a left tuple: its children list and the number
    // of its first storage.
    struct LeftInfo {
        Ends children;
        uint32_t seq = 0;
    };
    struct BlockLink {
        FactId blocker = 0;
        TupleId newer{}, older{};  // neighbours in the blocker's list; themselves at the ends
    };
    struct BlockEnds {
        TupleId newest{}, oldest{};
    };

    ChildRec& rec(uint32_t p) { return children_[p]; }
    const ChildRec& rec(uint32_t p) const { return children_[p]; }
    void link_before(Ends& list, uint32_t p, std::optional<size_t> anchor, bool left);
    void unlink(Ends& list, uint32_t p, bool left);
    uint32_t new_child_slot();

    ChunkVector<ChildRec> children_;        // by position
    std::vector<uint32_t> free_children_;   // dead positions to hand out again
    std::vector<uint32_t> dying_children_;  // killed since the last reclaim_children
    uint64_t made_ = 0;
    // Alive children of each parent and right fact, in list order; a right
    // fact stays once it has had a child, with an empty list when they are
    // gone.
    DenseIdMap<LeftInfo, TupleId> left_info_;
    DenseIdMap<Ends, FactId> children_of_right_;
    DenseIdMap<BlockEnds, FactId> blocked_;         // blocker -> its tuples, never empty
    DenseIdMap<BlockLink, TupleId> block_links_;    // blocked tuple -> its blocker and neighbours
    HashMap<TupleId, uint64_t> left_marks_;
    HashMap<TupleId, uint64_t> left_ranks_;
    HashMap<FactId, uint64_t> right_ranks_;
    uint32_t next_seq_ = 1;
};

template <class Pred>
std::optional<FactId> Node::first_candidate(const Key& probe, std::optional<FactId> start, Pred pred) const {
    using Pos = Memory<FactId>::Pos;
    constexpr Pos npos = Memory<FactId>::npos;
    switch (index_kind(probe_op())) {
        case IndexKind::None: {
            Pos from = start ? rights.pos_of(*start) : npos;
            if (from == npos) from = rights.first_pos();
            for (Pos p = from; p != npos; p = rights.next_pos(p)) {
                if (pred(rights.at(p).item)) return rights.at(p).item;
            }
            for (Pos p = rights.first_pos(); p != from; p = rights.next_pos(p)) {
                if (pred(rights.at(p).item)) return rights.at(p).item;
            }
            return std::nullopt;
        }
        case IndexKind::Equality: return rights.first_matching(probe, start, pred);
        case IndexKind::Range: break;
    }
    std::vector<FactId> cands = scan_rights(probe);
    size_t from = 0;
    if (start) {
        for (size_t k = 0; k < cands.size(); ++k) {
            if (cands[k] == *start) {
                from = k;
                break;
            }
        }
    }
    for (size_t n = 0; n < cands.size(); ++n) {
        FactId f = cands[(from + n) % cands.size()];
        if (pred(f)) return f;
    }
    return std::nullopt;
}

// Runs Node::verify after an evaluation in builds made with QUARN_VERIFY_NODES
// (the sanitizer build); nothing otherwise.
inline void verify_after_evaluation([[maybe_unused]] const Node& node) {
#ifdef QUARN_VERIFY_NODES
    node.verify();
#endif
}

}  // namespace quarn
