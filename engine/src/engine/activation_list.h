// One rule's pending activations: push order for whoever walks them, and an
// index so that the activation to fire next, the top salience and the
// activations of one tuple are found without a scan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/hash.h"
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
    bool contains(TupleId t) const { return head_of_.find(t) != head_of_.end(); }

    // Appends an activation (push order).
    void push(Act a);
    // Removes every activation of `t`; how many there were.
    size_t remove_tuple(TupleId t);
    // Removes the activations `drop` selects; how many.
    template <class Pred>
    size_t remove_if(Pred drop) {
        size_t n = 0;
        for (uint32_t s = 0; s < slots_.size(); ++s)
            if (slots_[s].alive && drop(static_cast<const Act&>(slots_[s].act))) kill(s), ++n;
        maybe_compact();
        return n;
    }

    // The default order: the highest salience first, then the larger sequence
    // number, then the later push. `best_slot` names that activation.
    uint32_t best_slot() const;
    // The salience of that activation; 0 when there is none.
    int32_t top_salience() const { return empty() ? 0 : slots_[best_slot()].act.salience; }
    // The earliest live activation in push order.
    uint32_t first_slot() const;
    // Removes the activation in `slot` (a live one) and returns it.
    Act take_slot(uint32_t slot);

    // Live activations in push order, with their slots.
    template <class F>
    void for_each_slot(F f) const {
        for (uint32_t s = 0; s < slots_.size(); ++s)
            if (slots_[s].alive) f(s, static_cast<const Act&>(slots_[s].act));
    }
    std::vector<Act> items() const;

private:
    static constexpr uint32_t npos = ~uint32_t{0};
    struct Slot {
        Act act;
        uint32_t next_same = npos;  // the next older live slot of the same tuple
        bool alive = true;
    };
    bool before(uint32_t a, uint32_t b) const;  // heap order: a fires after b
    void kill(uint32_t slot);
    void maybe_compact();

    std::vector<Slot> slots_;          // push order; dead slots stay until compaction
    size_t live_ = 0;
    HashMap<TupleId, uint32_t> head_of_;  // tuple -> its newest live slot
    mutable std::vector<uint32_t> heap_;  // slots, best on top; dead ones are dropped when they surface
    mutable uint32_t first_live_ = 0;     // no live slot lies before it
};

}  // namespace quarn
