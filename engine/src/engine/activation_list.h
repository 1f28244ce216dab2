// One rule's pending activations: push order for whoever walks them, and an
// index so that the activation to fire next, the top salience and the
// activations of one tuple are found without a scan. The list also keeps each
// tuple's sequence number: it outlives the tuple's activations while the tuple
// stays matched, and one lookup serves both.
//
// Activations mostly arrive in firing order (same salience, rising sequence
// numbers) and the newest fires first: such pushes go on a sorted stack, and
// taking the newest drops its slot from the end, so that the common case needs
// no heap, no compaction and no lookup of its tuple. Pushes out of that order
// go to a heap. The stack's slots rise from bottom to top and mostly follow
// one another, so it holds runs of slots rather than a record per push.
//
// A tuple mostly has one pending activation: the links between the
// activations of one tuple are kept aside, for the tuples that have more.
//
// A rule whose activations fire in the order its side evaluator emitted a
// fact of the tuple (shadow order) hands that fact with each push: the list
// then also links the live activations of each such key fact in push order,
// so that the earliest one of a fact is found without a scan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/dense_ids.h"
#include "common/hash.h"
#include "common/ids.h"
#include "network/tuple.h"

namespace quarn {

// One pending activation.
struct Act {
    TupleId tuple;     // one fact per positive pattern, pattern order
    uint64_t seq = 0;  // larger = more recent
    int32_t salience = 0;
};

class ActivationList {
public:
    size_t size() const { return live_; }
    bool empty() const { return live_ == 0; }
    bool contains(TupleId t) const {
        const TupleRec* rec = tuples_.find(id(t));
        return rec != nullptr && rec->head != npos;
    }
    // Tuples holding a sequence number.
    size_t known_tuples() const { return tuples_.size(); }
    // Live activations linked aside with others of their tuple.
    size_t chained() const { return same_.size(); }

    static constexpr FactId kNoKey = ~FactId{0};

    // Appends an activation of `t` (push order) under the tuple's sequence
    // number; a tuple without one gets ++last_seq. `key`: the tuple's fact
    // that orders it (shadow order), kNoKey for none.
    void push_tuple(TupleId t, int32_t salience, uint64_t& last_seq, FactId key = kNoKey);
    // Appends `a`; a tuple without a sequence number takes a.seq as its own.
    void push(Act a, FactId key = kNoKey);
    // The earliest live activation in push order pushed with key fact `key`;
    // npos when there is none.
    uint32_t oldest_with_key(FactId key) const {
        const KeyRec* rec = keys_.find(key);
        return rec == nullptr ? npos : rec->oldest;
    }
    // Removes every activation of `t`; how many there were. The tuple keeps
    // its sequence number.
    size_t remove_tuple(TupleId t);
    // Removes the activations `drop` selects; how many.
    template <class Pred>
    size_t remove_if(Pred drop) {
        size_t n = 0;
        for (uint32_t s = 0; s < slots_.size(); ++s)
            if (slots_[s].alive && drop(slots_[s].act())) kill(s), ++n;
        trim_tail();
        maybe_compact();
        return n;
    }
    // Removes the activations of `t` and its sequence number; how many activations.
    size_t forget(TupleId t);
    // The same for every tuple `gone` selects. The walk costs what the list
    // holds (its slots and tuple records), not the tuples it ever held: an
    // unlinked rule is pruned at every firing that evaluates it.
    template <class Pred>
    size_t forget_if(Pred gone) {
        if (live_ == 0 && tuples_.empty()) return 0;
        forget_reads_ += slots_.size() + tuples_.size();
        // A list whose activations have all fired holds only sequence numbers.
        const size_t n = live_ == 0 ? 0 : remove_if([&](const Act& a) { return gone(a.tuple); });
        const bool high = !seq_high_.empty();
        tuples_.erase_if([&](uint32_t t, const TupleRec&) {
            if (!gone(TupleId{t})) return false;
            if (high) seq_high_.erase(t);
            return true;
        });
        return n;
    }
    // Drops the sequence numbers of the tuples `released` selects that hold
    // no activation: tuples released from the table, which can never match
    // again, so that a prune never reads them. How many.
    template <class Pred>
    size_t forget_released(Pred released) {
        return tuples_.erase_if([&](uint32_t t, const TupleRec& rec) {
            if (rec.head != npos || !released(TupleId{t})) return false;
            if (!seq_high_.empty()) seq_high_.erase(t);
            return true;
        });
    }
    // The same for the tuples `released` (those `is_released` selects),
    // walking the list only when it holds fewer tuples than went. Returns
    // the tuple records and list items read.
    template <class Pred>
    size_t forget_released(std::span<const TupleId> released, Pred is_released) {
        if (tuples_.empty()) return 0;
        if (tuples_.size() <= released.size()) {
            const size_t held = tuples_.size();
            forget_released(is_released);
            return held;
        }
        for (TupleId t : released) {
            const TupleRec* rec = tuples_.find(id(t));
            if (rec != nullptr && rec->head == npos) erase_tuple(id(t));
        }
        return released.size();
    }
    // Slots and tuple records the forget_if walks have read so far: work
    // that tests hold to what the list holds.
    uint64_t forget_reads() const { return forget_reads_; }

    // The default order: the highest salience first, then the larger sequence
    // number, then the later push. `best_slot` names that activation.
    uint32_t best_slot() const;
    // The salience of that activation; 0 when there is none.
    int32_t top_salience() const { return empty() ? 0 : slots_[best_slot()].salience; }
    // The earliest live activation in push order.
    uint32_t first_slot() const;
    // Removes the activation in `slot` (a live one) and returns it.
    Act take_slot(uint32_t slot);

    // Live activations in push order, with their slots.
    template <class F>
    void for_each_slot(F f) const {
        for (uint32_t s = 0; s < slots_.size(); ++s)
            if (slots_[s].alive) f(s, slots_[s].act());
    }
    std::vector<Act> items() const;

    static constexpr uint32_t npos = ~uint32_t{0};

    // Bytes held for slots and their order, live or not.
    size_t reserved_bytes() const;
    // Bytes held by the indices by tuple and by key fact: they follow what
    // the list holds, not how far apart its ids lie.
    size_t index_bytes() const { return tuples_.bytes_held() + keys_.bytes_held(); }

private:
    // 16 bytes: the activation's fields and two flags beside its sequence
    // number (numbers count activations, far below 2^62). Slots hold no
    // stamp: among the slots held, slot order is push order (pushes go at
    // the end, trimming and compaction keep the order), and that order
    // breaks the ties the stamp broke.
    struct Slot {
        TupleId tuple{};
        int32_t salience = 0;
        uint64_t seq : 62 = 0;
        uint64_t alive : 1 = 1;
        uint64_t chained : 1 = 0;  // linked in same_ with other activations of its tuple
        Act act() const { return Act{tuple, seq, salience}; }
    };
    // The neighbours of a chained slot among the live slots of its tuple.
    struct SameLinks {
        uint32_t older = npos;
        uint32_t newer = npos;
    };
    // A tuple's newest live activation (npos: none) and the low half of its
    // sequence number: a list keeps one for every tuple still matched, fired
    // or not, so it takes 8 bytes. High halves, which only a list that has
    // numbered 2^32 activations meets, are kept aside (seq_high_).
    struct TupleRec {
        uint32_t head = npos;
        uint32_t seq_low = 0;
    };
    uint64_t seq_of(uint32_t t, const TupleRec& rec) const {
        if (seq_high_.empty()) return rec.seq_low;
        auto high = seq_high_.find(t);
        return high == seq_high_.end() ? rec.seq_low : (uint64_t{high->second} << 32) | rec.seq_low;
    }
    void set_seq(uint32_t t, TupleRec& rec, uint64_t seq) {
        rec.seq_low = static_cast<uint32_t>(seq);
        if (seq >> 32) seq_high_[t] = static_cast<uint32_t>(seq >> 32);
        else if (!seq_high_.empty()) seq_high_.erase(t);
    }
    // Drops the tuple's record and its number.
    void erase_tuple(uint32_t t) {
        tuples_.erase(t);
        if (!seq_high_.empty()) seq_high_.erase(t);
    }
    static uint32_t id(TupleId t) { return static_cast<uint32_t>(t); }
    // A slot as the heap holds it, with its order key: stale once the slot
    // died or was handed to a later push with another key. Stale refs are
    // dropped when they surface; their keys never change, so they keep the
    // heap in order until then. A ref whose slot went to a push with the
    // same key names that push as well as its own ref does.
    struct Ref {
        int32_t salience;
        uint32_t slot;  // push order among live slots
        uint64_t seq;
    };
    // Firing order: a fires after b.
    static bool before(const Ref& a, const Ref& b) {
        if (a.salience != b.salience) return a.salience < b.salience;
        if (a.seq != b.seq) return a.seq < b.seq;
        return a.slot < b.slot;
    }
    Ref ref(uint32_t s) const { return Ref{slots_[s].salience, s, slots_[s].seq}; }
    bool live(const Ref& r) const {
        if (r.slot >= slots_.size()) return false;
        const Slot& s = slots_[r.slot];
        return s.alive && s.salience == r.salience && s.seq == r.seq;
    }
    // The live slots pushed with one key fact, linked oldest to newest.
    struct KeyRec {
        uint32_t oldest = npos;
        uint32_t newest = npos;
    };
    // A slot's key fact and its neighbours among the live slots of that key;
    // parallel to slots_ once some push carried a key, empty before.
    struct KeyLink {
        FactId key = kNoKey;
        uint32_t older = npos;
        uint32_t newer = npos;
    };
    void push_into(TupleRec& rec, Act a, FactId key);
    // Links slot `s`, the tuple's newest, in front of `older`, its previous
    // newest, in same_.
    void chain_same(uint32_t s, uint32_t older);
    // Takes live chained slot `s` out of its tuple's activations.
    void unlink_same(uint32_t s);
    // Keys the slot (grows key_links_ to cover it); a slot of kNoKey joins no chain.
    void link_key(uint32_t slot, FactId key);
    // Takes a slot covered by key_links_ out of its key's chain.
    void unlink_key(uint32_t slot);
    void kill(uint32_t slot);
    // Dead slots at the end leave, and their indices are free for the next
    // pushes: a ref left naming one is stale unless the push that takes the
    // index has its key (see Ref).
    void trim_tail();
    // Hands back the room of vectors mostly emptied by takes.
    void release_slack();
    void maybe_compact();

    std::vector<Slot> slots_;  // push order; dead slots stay until compaction or trimming
    size_t live_ = 0;
    uint64_t forget_reads_ = 0;
    // By slot, for the chained ones only: most tuples have one activation
    // pending, and then their record's head is all there is to link.
    HashMap<uint32_t, SameLinks> same_;
    // By tuple. Every rule's tuples are numbered from one counter: a rule
    // that holds a few of them holds ids far apart, kept in a short sorted
    // vector; one that holds many holds runs of them, whose records share
    // pages (CompactIdMap).
    CompactIdMap<TupleRec> tuples_;
    HashMap<uint32_t, uint32_t> seq_high_;  // by tuple, for numbers past 32 bits
    std::vector<KeyLink> key_links_;
    CompactIdMap<KeyRec> keys_;  // live keyed slots only
    // Slots lo .. hi-1 went on the stack one after another. Every slot named
    // lies below slots_.size() and the runs rise, so a slot named is still
    // the push that went on the stack, alive or dead: the slots cut off the
    // end leave the runs with them (trim_tail) before their indices come
    // back. The live ones are ascending in firing order, the best on top.
    struct Run {
        uint32_t lo;
        uint32_t hi;
    };
    // Drops dead slots off the top of the stack; npos when it is empty, else
    // its top slot.
    uint32_t stack_top() const;
    // Leaves out of the runs the slots at or past slots_.size().
    void cut_stack();

    mutable std::vector<Run> stack_;
    mutable std::vector<Ref> heap_;    // the rest, best on top
    mutable uint32_t first_live_ = 0;  // no live slot lies before it
};

}  // namespace quarn
