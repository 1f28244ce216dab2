// One node of a rule's match network: the two memories of a join (left tuples,
// right facts), the held input deltas, the children it produced and the maps
// that let a later change reach them without scanning. All of it is private:
// the engine and the tests reach it through the named operations below, and
// only the network's own evaluations work on it directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/chunk_vector.h"
#include "common/internal_error.h"
#include "common/hash.h"
#include "common/dense_ids.h"
#include "network/index_spec.h"
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

struct NodeInternals;

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

// A node's two memories, in arrival order (an updated entry moves to the
// end). A join's memories with an equality index keep their buckets in
// key_index_, on the heap so that it stays where they point when the node
// moves; a copy copies the index too and points its memories at the copy.
struct NodeMemories {
    Memory<TupleId> lefts_;
    Memory<FactId> rights_;
    std::unique_ptr<SharedKeyIndex> key_index_;

    NodeMemories() = default;
    NodeMemories(const NodeMemories& o);
    NodeMemories& operator=(const NodeMemories& o);
    NodeMemories(NodeMemories&&) = default;
    NodeMemories& operator=(NodeMemories&&) = default;
    ~NodeMemories() = default;
};

class Node : private NodeMemories {
public:
    static Node new_ex(IndexSpec index_op, Kind kind, bool temporal);

    // What the node is: fixed by new_ex.
    Kind kind() const { return kind_; }
    bool temporal() const { return temporal_; }
    IndexSpec index_op() const { return index_op_; }
    // How the memories are actually probed. A temporal node's keys are event
    // times, which an update can move apart from the equality values, so a
    // temporal node never filters by key: no index. Otherwise index_op.
    IndexSpec probe_op() const { return temporal_ ? IndexSpec::none() : index_op_; }
    bool keyed() const { return probe_op().kind() == IndexKind::Equality; }
    // Whether several rules list the node; kept by the engine's stream flush.
    bool shared() const { return shared_; }
    void set_shared(bool shared) { shared_ = shared; }

    // --- Staged input: the deltas held at the node between evaluations, left
    // (tuples) and right (facts), each list newest first. Staging follows
    // Staged's rules (an insert, update and delete of one item cancel as they
    // arrive); the next evaluation takes both batches whole.
    void stage_left_insert(TupleId t, const Stamp& s, StagedFlag flag) { staged_lefts_.add_ins_ph(t, s, flag); }
    void stage_left_update(TupleId t, const Stamp& s, StagedFlag flag) { staged_lefts_.add_upd_ph(t, s, flag); }
    void stage_left_delete(TupleId t, const Stamp& s) { staged_lefts_.add_del(t, s); }
    void stage_right_insert(FactId f, const Stamp& s, StagedFlag flag) { staged_rights_.add_ins_ph(f, s, flag); }
    void stage_right_update(FactId f, const Stamp& s, StagedFlag flag) { staged_rights_.add_upd_ph(f, s, flag); }
    void stage_right_delete(FactId f, const Stamp& s) { staged_rights_.add_del(f, s); }
    // Appends a parent's output behind the held left delta, unchecked
    // (Staged::append_into_pending).
    void append_left_batch(Staged<TupleId> batch) { Staged<TupleId>::append_behind(staged_lefts_, std::move(batch)); }

    const Staged<TupleId>& staged_left() const { return staged_lefts_; }
    const Staged<FactId>& staged_right() const { return staged_rights_; }
    // Any staged entry on either side.
    bool holds_staged_input() const { return !staged_lefts_.empty() || !staged_rights_.empty(); }
    // The held deltas, whole, leaving fresh ones.
    Staged<TupleId> take_staged_left() { return staged_lefts_.take(); }
    Staged<FactId> take_staged_right() { return staged_rights_.take(); }
    // The held left delta in place, which the engine hands a parent's
    // evaluation to write its output into (Out::pending).
    Staged<TupleId>& held_left() { return staged_lefts_; }
    // Both held deltas in place, for an evaluation of the node where they are
    // held (the engine resets them once it has run).
    Staged<FactId>& held_right() { return staged_rights_; }
    // Puts back a held delta taken out by the engine (replacing what the node holds).
    void put_back_staged_left(Staged<TupleId>&& batch) { staged_lefts_ = std::move(batch); }
    void put_back_staged_right(Staged<FactId>&& batch) { staged_rights_ = std::move(batch); }
    // A held delta with no entry that still keeps withdrawn or refreshed
    // inserts (which an evaluation would drop with it) becomes a fresh one.
    void drop_spent_input();

    // One list of a held delta, for the engine's stream flush, which sets
    // lists aside while it evaluates and then puts them back behind the
    // entries staged since (EntryList::put_behind).
    enum class StagedList : uint8_t { Inserts, Deletes };
    EntryList<TupleId> take_left_list(StagedList which) { return left_list(which).take(); }
    EntryList<FactId> take_right_list(StagedList which) { return right_list(which).take(); }
    void put_behind_left_list(StagedList which, EntryList<TupleId> older) {
        left_list(which).put_behind(std::move(older));
    }
    void put_behind_right_list(StagedList which, EntryList<FactId> older) {
        right_list(which).put_behind(std::move(older));
    }

    // --- Memories, in arrival order; an updated entry moves to the end.
    const Memory<TupleId>& left_memory() const { return lefts_; }
    const Memory<FactId>& right_memory() const { return rights_; }
    // Appends to a memory: for the kinds the engine evaluates itself
    // (accumulate, groupby), which keep their memories through these.
    void store_left(TupleId t, Key&& key) { lefts_.push_back(t, std::move(key)); }
    void store_left(TupleId t, const Key& key) { lefts_.push_back(t, key); }
    void store_right(FactId f, Key&& key) { rights_.push_back(f, std::move(key)); }
    void store_right(FactId f, const Key& key) { rights_.push_back(f, key); }
    void remove_left(TupleId t) { lefts_.remove_first(t); }
    // The tuple's entry goes to the end of the left memory, its key unchanged.
    void move_left_to_back(TupleId t) { lefts_.move_to_back(t); }
    void remove_right(FactId f) { rights_.remove_first(f); }
    // Starts loading what remove_right(f) reads, one step at a time (Memory::prefetch_removal).
    void prefetch_remove_right(FactId f, int step) const { rights_.prefetch_removal(f, step); }
    // Both memories, for an engine-side evaluation that puts them back should
    // it fail.
    using Memories = NodeMemories;
    Memories memories() const { return *this; }
    void restore_memories(Memories m) { static_cast<NodeMemories&>(*this) = std::move(m); }

    // --- Tuples waiting at the node.
    // Parked by the engine (released temporal-not tuples and the like),
    // drained by the next not/exists evaluation.
    void park(TupleId t, const Stamp& stamp) { parked_.push_back(ParkedEntry{t, stamp}); }
    bool holds_parked() const { return !parked_.empty(); }
    const std::vector<ParkedEntry>& parked() const { return parked_; }
    // Temporal not: tuples waiting for their fire time, which the engine takes
    // after each evaluation to schedule them.
    const std::vector<DeferredEntry>& deferred() const { return deferred_; }
    std::vector<DeferredEntry> take_deferred() { return std::exchange(deferred_, {}); }

    // --- Children. A child's position names it while it lives; a dead
    // child's position is handed out again once the evaluation (or node
    // operation) that killed it has ended.
    // How many children the node has made.
    size_t child_count() const { return static_cast<size_t>(made_); }
    // Memory entries a temporal join's inserts (in an evaluation or a
    // flush_ins_delta) have read as candidate partners, since the node was
    // made: an insert reads the other side's memory, never its own side's.
    uint64_t temporal_reads() const { return temporal_reads_; }
    Child child(size_t p) const {
        if (p >= children_.size()) invariant_broken("node child position out of range");
        const ChildRec& r = rec(static_cast<uint32_t>(p));
        Child c{r.tuple, r.parent, std::nullopt, r.dead()};
        if (r.has_right()) c.right = r.right;
        return c;
    }
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
    // The same at the end of both lists, the usual place: no anchor to look at.
    TupleId create_child(TupleTable& tuples, TupleId left, FactId right) {
        bool made;
        return create_child(tuples, left, right, made);
    }
    // The same, and whether the child's tuple was made just now
    // (TupleTable::extend). The record is made where it lands, then linked.
    [[gnu::always_inline]] TupleId create_child(TupleTable& tuples, TupleId left, FactId right, bool& made) {
        const TupleId tuple = tuples.extend(left, right, made);
        uint32_t p;
        ChildRec& c = place_child(ChildRec{tuple, left, right}, p);
        append(left_info_[left].children, p, c, true);
        append(children_of_right_[right], p, c, false);
        return tuple;
    }
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
    // order_children_of_right(f), then children_of_right(f, out) (and the
    // same for a tuple): a list already in order, as most are, is walked once.
    void ordered_children_of_right(FactId f, std::vector<size_t>& out);
    void ordered_children_of_left(TupleId t, std::vector<size_t>& out);
    // Moves an alive child to the end of its parent's (or right fact's) list.
    void move_child_to_end_of_left(size_t p);
    void move_child_to_end_of_right(size_t p);
    // Moves each of a right fact's children to the end of its parent's list,
    // in the fact's list order.
    void move_children_of_right_to_end_of_left(FactId f);

    // --- Left tuple bookkeeping.
    // First-storage order, from 1; 0 for a tuple never stored. Never shrinks.
    uint64_t left_seq(TupleId t) const;
    // The next number when t has none. Inline: a batch of left inserts numbers each.
    void record_left_seq(TupleId t) {
        LeftInfo& info = left_info_[t];
        if (info.seq != 0) return;
        if (next_seq_ == UINT32_MAX) invariant_broken("node left sequence overflow");
        info.seq = next_seq_++;
    }
    // record_left_seq over a batch of n tuples oldest first, done during a
    // walk of the batch newest first: begin_left_seqs(n), then
    // note_left_seq(t, k) for the entry k places from the front (or
    // note_left_seqs for a run of them), in any order, then end_left_seqs
    // with the batch oldest first. In between, a tuple first numbered by
    // the batch holds next_seq_ + the place of its oldest entry counted from
    // the back, so numbers keep the oldest-first order but may leave gaps,
    // where an entry was numbered before or its tuple repeats; end closes
    // the gaps. False from begin when the numbers could run out: number the
    // batch with record_left_seq then.
    bool begin_left_seqs(size_t n) {
        if (n > UINT32_MAX - next_seq_) return false;
        seq_batch_ = static_cast<uint32_t>(n);
        seq_gaps_ = false;
        return true;
    }
    void note_left_seq(TupleId t, size_t k) { note_left_seqs(&t, 1, k); }
    // note_left_seq of ts[j] for the entry first + j places from the front,
    // for j below n: a block of the walk noted in one call, which reaches
    // the tuples' records in one run.
    void note_left_seqs(const TupleId* ts, size_t n, size_t first);
    template <class OldestFirst>
    void end_left_seqs(const OldestFirst& batch) {
        if (!seq_gaps_) {
            next_seq_ += seq_batch_;
            return;
        }
        // A tuple's oldest entry is the one whose place its number holds; a
        // number handed out here is below every later entry's place.
        uint32_t next = next_seq_, place = next_seq_;
        for (const auto& e : batch) {
            LeftInfo& info = left_info_[e.item];
            if (info.seq == place++) info.seq = next++;
        }
        next_seq_ = next;
    }
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

    // Drops what the node keeps of the tuples `released` (no longer held by
    // the table: their numbers, marks and ranks) and of the right facts
    // `gone` (ascending: their ranks and emptied children lists): neither
    // can come back, and nothing held names them. Each map is walked when it
    // holds fewer entries than the list it would be searched for, else
    // searched for each: the cost is at most what went. Returns the entries
    // and list items read.
    size_t forget_released(const TupleTable& tuples, std::span<const TupleId> released, std::span<const FactId> gone);

    // Checks the node's own invariants (children lists against the children,
    // blocking maps against the memories, counts against lists); throws
    // InternalError naming the first one broken. The sanitizer build runs it
    // after every evaluation.
    void verify() const;

private:
    // The network's own evaluations work on the memories and lists directly
    // (network/node_eval.h).
    friend struct NodeInternals;

    EntryList<TupleId>& left_list(StagedList which) {
        return which == StagedList::Inserts ? staged_lefts_.ins : staged_lefts_.del;
    }
    EntryList<FactId>& right_list(StagedList which) {
        return which == StagedList::Inserts ? staged_rights_.ins : staged_rights_.del;
    }

    // Deltas held at the node between evaluations.
    Staged<TupleId> staged_lefts_;
    Staged<FactId> staged_rights_;
    std::vector<DeferredEntry> deferred_;
    std::vector<ParkedEntry> parked_;
    // Kept at the node by the engine between evaluations.
    std::vector<StagedEntry<TupleId>> held_;
    bool temporal_ = false;
    bool shared_ = false;
    Kind kind_ = Kind::Join;
    IndexSpec index_op_;

    // Scratch lists reused across evaluations, so that small ones allocate
    // nothing; each evaluation borrows them whole.
    std::vector<TupleId> scratch_tuples_;
    std::vector<FactId> scratch_facts_;
    std::vector<size_t> scratch_children_[2];  // children positions

    static constexpr uint32_t kNone = UINT32_MAX;
    // The parent-list next link of a dead child, which is in no list; no
    // position reaches it.
    static constexpr uint32_t kDead = UINT32_MAX - 1;
    // A child in 28 bytes: what it is, and its places in its parent's and its
    // right fact's lists. A join child's tuple extends its parent, so differs
    // from it; a not/exists child is its parent and has no right fact.
    struct ChildRec {
        TupleId tuple{};
        TupleId parent{};
        FactId right = 0;
        uint32_t left_prev = kNone, left_next = kNone;
        uint32_t right_prev = kNone, right_next = kNone;

        bool has_right() const { return tuple != parent; }
        bool dead() const { return left_next == kDead; }
    };
    // A children list: its first position. The first child's prev link
    // names the list's last child, so that an append needs no tail here;
    // every other prev link names its predecessor, and the last child's next
    // link is kNone.
    struct ChildList {
        uint32_t head = kNone;
    };
    // What the node keeps of a left tuple: its children list and the number
    // of its first storage.
    struct LeftInfo {
        ChildList children;
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
    void link_before(ChildList& list, uint32_t p, std::optional<size_t> anchor, bool left);
    // link_before without an anchor: p, whose record `c` is, goes at the end
    // of the list.
    void append(ChildList& list, uint32_t p, ChildRec& c, bool left) {
        (left ? c.left_next : c.right_next) = kNone;
        if (list.head == kNone) {
            list.head = p;
            (left ? c.left_prev : c.right_prev) = p;
            return;
        }
        ChildRec& head = rec(list.head);
        uint32_t& last = left ? head.left_prev : head.right_prev;
        ChildRec& tail = rec(last);
        (left ? tail.left_next : tail.right_next) = p;
        (left ? c.left_prev : c.right_prev) = last;
        last = p;
    }
    void unlink(ChildList& list, uint32_t p, bool left);
    uint32_t tail_of(const ChildList& list, bool left) const {
        if (list.head == kNone) return kNone;
        return left ? rec(list.head).left_prev : rec(list.head).right_prev;
    }
    // A join child's record: `tuple`, made from `left` and `right`, not yet
    // in either list.
    uint32_t new_join_child(TupleId tuple, TupleId left, FactId right) {
        uint32_t p;
        place_child(ChildRec{tuple, left, right}, p);
        return p;
    }
    // A position for a new child, its record fresh.
    uint32_t new_child_slot() {
        uint32_t p;
        place_child(ChildRec{}, p);
        return p;
    }
    // Stores `c`, a record in no list, as a new child's, at the position
    // the next child takes (`p`): the last reclaimed, else a new one.
    [[gnu::always_inline]] ChildRec& place_child(const ChildRec& c, uint32_t& p) {
        if (!free_children_.empty()) {
            p = free_children_.back();
            free_children_.pop_back();
            ++made_;
            return rec(p) = c;
        }
        const size_t n = children_.size();
        if (n >= kDead) invariant_broken("node child count overflow");
        p = static_cast<uint32_t>(n);
        ++made_;
        return children_.emplace_back(c);
    }

    ChunkVector<ChildRec> children_;        // by position
    std::vector<uint32_t> free_children_;   // dead positions to hand out again
    std::vector<uint32_t> dying_children_;  // killed since the last reclaim_children
    uint64_t made_ = 0;
    uint64_t temporal_reads_ = 0;
    // Alive children of each parent and right fact, in list order; a right
    // fact stays once it has had a child, with an empty list when they are
    // gone.
    DenseIdMap<LeftInfo, TupleId> left_info_;
    DenseIdMap<ChildList, FactId> children_of_right_;
    DenseIdMap<BlockEnds, FactId> blocked_;         // blocker -> its tuples, never empty
    DenseIdMap<BlockLink, TupleId> block_links_;    // blocked tuple -> its blocker and neighbours
    HashMap<TupleId, uint64_t> left_marks_;
    HashMap<TupleId, uint64_t> left_ranks_;
    HashMap<FactId, uint64_t> right_ranks_;
    uint32_t next_seq_ = 1;
    uint32_t seq_batch_ = 0;  // the batch begin_left_seqs numbers
    bool seq_gaps_ = false;   // an entry of it was numbered already
};

template <class Pred>
std::optional<FactId> Node::first_candidate(const Key& probe, std::optional<FactId> start, Pred pred) const {
    using Pos = Memory<FactId>::Pos;
    constexpr Pos npos = Memory<FactId>::npos;
    switch (probe_op().kind()) {
        case IndexKind::None: {
            Pos from = start ? rights_.pos_of(*start) : npos;
            if (from == npos) from = rights_.first_pos();
            for (Pos p = from; p != npos; p = rights_.next_pos(p)) {
                if (pred(rights_.at(p).item)) return rights_.at(p).item;
            }
            for (Pos p = rights_.first_pos(); p != from; p = rights_.next_pos(p)) {
                if (pred(rights_.at(p).item)) return rights_.at(p).item;
            }
            return std::nullopt;
        }
        case IndexKind::Equality: return rights_.first_matching(probe, start, pred);
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
