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
// A rule whose activations fire in the order its side evaluator emitted a
// fact of the tuple (shadow order) hands that fact with each push: the list
// then also links the live activations of each such key fact in push order,
// so that the earliest one of a fact is found without a scan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/dense_ids.h"
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
    // The same for every tuple `gone` selects.
    template <class Pred>
    size_t forget_if(Pred gone) {
        const size_t n = remove_if([&](const Act& a) { return gone(a.tuple); });
        std::vector<uint32_t> dropped;
        tuples_.for_each([&](uint32_t t, const TupleRec&) {
            if (gone(TupleId{t})) dropped.push_back(t);
        });
        for (uint32_t t : dropped) tuples_.erase(t);
        return n;
    }

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

private:
    // 32 bytes: the activation's fields laid out without padding, the alive
    // flag beside the stamp (stamps count pushes, far below 2^63).
    struct Slot {
        TupleId tuple{};
        int32_t salience = 0;
        uint64_t seq = 0;
        uint32_t next_same = npos;  // the next older live slot of the same tuple
        uint32_t prev_same = npos;  // the next newer one
        uint64_t stamp : 63 = 0;    // names this occupant of the slot
        uint64_t alive : 1 = 1;
        Act act() const { return Act{tuple, seq, salience}; }
    };
    // A tuple's sequence number and its newest live activation (npos: none).
    // The number is kept as two halves so that a record takes 12 bytes: a
    // list keeps one for every tuple still matched, fired or not.
    struct TupleRec {
        uint32_t head = npos;
        uint32_t seq_low = 0;
        uint32_t seq_high = 0;
        uint64_t seq() const { return (uint64_t{seq_high} << 32) | seq_low; }
        void set_seq(uint64_t s) {
            seq_low = static_cast<uint32_t>(s);
            seq_high = static_cast<uint32_t>(s >> 32);
        }
    };
    static uint32_t id(TupleId t) { return static_cast<uint32_t>(t); }
    // A slot as the heap holds it, with its order key: stale once the slot
    // died or was handed to a later push (another stamp). Stale refs are
    // dropped when they surface; their keys never change, so they keep the
    // heap in order until then.
    struct Ref {
        int32_t salience;
        uint32_t slot;
        uint64_t seq;
        uint64_t stamp;  // push order
    };
    // Firing order: a fires after b.
    static bool before(const Ref& a, const Ref& b) {
        if (a.salience != b.salience) return a.salience < b.salience;
        if (a.seq != b.seq) return a.seq < b.seq;
        return a.stamp < b.stamp;
    }
    Ref ref(uint32_t s) const { return Ref{slots_[s].salience, s, slots_[s].seq, slots_[s].stamp}; }
    bool occupied(uint32_t s, uint64_t stamp) const {
        return s < slots_.size() && slots_[s].alive && slots_[s].stamp == stamp;
    }
    bool live(const Ref& r) const { return occupied(r.slot, r.stamp); }
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
    // Keys the slot (grows key_links_ to cover it); a slot of kNoKey joins no chain.
    void link_key(uint32_t slot, FactId key);
    // Takes a slot covered by key_links_ out of its key's chain.
    void unlink_key(uint32_t slot);
    void kill(uint32_t slot);
    // Dead slots at the end leave; no ref can name them afterwards (stamps
    // differ), so their indices are free for the next pushes.
    void trim_tail();
    // Hands back the room of vectors mostly emptied by takes.
    void release_slack();
    void maybe_compact();

    std::vector<Slot> slots_;  // push order; dead slots stay until compaction or trimming
    size_t live_ = 0;
    uint64_t next_stamp_ = 0;
    // By tuple: ids are dense and a rule's activations arrive in runs of
    // them, so the records of neighbouring tuples share pages.
    DenseIdMap<TupleRec> tuples_;
    std::vector<KeyLink> key_links_;
    DenseIdMap<KeyRec> keys_;  // live keyed slots only
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
