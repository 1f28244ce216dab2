// Side evaluators ("shadows") of rules of three patterns whose middle pattern
// is a not or exists gate over the third, positive one, with no test between
// the two: positive and not (PnShadow), positive and exists (PxShadow), and
// the same gates over the lifetime of event facts (BfShadow for the not,
// ExShadow for the exists). The gate does not depend on which positive fact
// is looked at, so the rule's answer is all or nothing: while the gate is open
// every positive fact seen so far matches, while it is shut none does.
//
// A shadow tracks the positive facts and the gate's members and lists the
// positive facts it emitted in this fire call (`out`), in emission order. The
// matches still come from the rule network; the agenda takes a marked rule's
// activations by the place its shadow emitted their positive fact, so that
// new arrivals fire in arrival order and, when a shut gate opens again, the
// earlier facts newest batch first.
//
// The engine feeds the shadows (shadows.cpp): outside inserts offer positive
// facts and the gate facts of the windowed shapes, propagation offers the
// gate facts of the others, deletes and updates drop and refresh facts, the
// clock queues expired gate facts, and the fire loop evaluates them before
// the first firing, forgets their output at its end and (exists gate) at
// quiescence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/hash.h"
#include "common/ids.h"

namespace quarn {

// The facts one side of a shadow takes: those of this type that came in
// through this entry point.
struct ShadowSide {
    TypeId type = 0;
    uint32_t entry_point = 0;
    bool operator==(const ShadowSide&) const = default;
};

// Facts in order, each held at most once, taken out in constant time: a
// removed fact leaves a hole that walks skip, and the holes are squeezed out
// once they outnumber the facts held.
class FactSeq {
public:
    size_t size() const { return where_.size(); }
    bool empty() const { return where_.empty(); }
    bool contains(FactId f) const { return where_.count(f) != 0; }
    // Appends f; a fact already held moves to the end.
    void push_back(FactId f);
    // Takes f out; false when it was not held.
    bool remove(FactId f);
    void clear();
    template <class F>
    void for_each(F f) const {
        for (FactId x : slots_)
            if (x != kHole) f(x);
    }
    template <class F>
    void for_each_reverse(F f) const {
        for (auto it = slots_.rbegin(); it != slots_.rend(); ++it)
            if (*it != kHole) f(*it);
    }
    std::vector<FactId> items() const;

private:
    static constexpr FactId kHole = ~FactId{0};
    void squeeze_if_sparse();
    std::vector<FactId> slots_;
    HashMap<FactId, uint32_t> where_;  // slot of each fact held
};

// Gate facts present. A fact pushed twice is held twice; taking it out takes
// every occurrence.
class GateMembers {
public:
    size_t size() const { return total_; }
    bool empty() const { return total_ == 0; }
    bool contains(FactId f) const { return counts_.count(f) != 0; }
    void push(FactId f);
    // Every occurrence of f; false when there was none.
    bool remove_all(FactId f);

private:
    HashMap<FactId, uint32_t> counts_;
    size_t total_ = 0;
};

// One change of a gate (not or exists without a window).
struct GateEvent {
    static constexpr uint8_t kLeft = 0, kArrived = 1, kStop = 2;
    FactId fact = 0;
    uint8_t op = kArrived;
    uint64_t stamp = 0;  // orders the engine's insertions; the shadow does not read it
};

// Gate changes not yet evaluated, in order. An arrival still waiting can be
// withdrawn in constant time: it leaves a hole that take() skips.
class GateEvents {
public:
    bool empty() const { return live_ == 0; }
    size_t size() const { return live_; }
    void push_back(GateEvent e);
    // Withdraws the waiting arrival of f; false when there is none.
    bool withdraw_arrival(FactId f);
    // A departure placed before the arrivals at the end of the list that carry
    // the same stamp (a retraction made while the same firing inserted them).
    void push_departure_before_arrivals(FactId f, uint64_t stamp);
    // The list in order, leaving it empty.
    std::vector<GateEvent> take();

private:
    static constexpr uint8_t kWithdrawn = 0xff;
    std::vector<GateEvent> list_;
    HashMap<FactId, uint32_t> arrival_at_;  // slot of each waiting arrival
    size_t live_ = 0;
};

// What every shadow keeps: its two sides, the positive facts taken in and
// the positive facts emitted in the current fire call.
struct ShadowCommon {
    ShadowSide gate, positive;
    // The positive facts taken in so far; each batch of fresh facts is
    // appended in reverse order of the batch; an updated fact moves to the end.
    FactSeq seen;
    // Positive facts that arrived since the last evaluation, in arrival order.
    FactSeq fresh;
    // The positive facts emitted in this fire call, in emission order. A
    // deleted fact leaves a hole (kNoFact), so that the places of the others
    // keep their order. Changed only through the members below, which keep
    // out_index: each fact's place in out, a later duplicate overwriting an
    // earlier one.
    std::vector<FactId> out;
    HashMap<FactId, uint32_t> out_index;
    // The agenda's walk over out (Engine::next_activation): no live
    // activation of the rule is keyed by a place before it. Lowered when an
    // activation is pushed for an earlier place, reset whenever out loses an
    // entry.
    mutable uint32_t order_cursor = 0;

    static constexpr FactId kNoFact = ~FactId{0};

    void emit(FactId f);
    // Appends all of seen, newest first.
    void emit_seen_reversed();
    void clear_out();
    // Cuts out back to its first n entries.
    void cut_out(size_t n);
    // Every occurrence of f leaves out.
    void drop_from_out(FactId f);
    // f's place in out, none when it was not emitted.
    std::optional<size_t> out_place(FactId f) const;
    // Takes a deleted positive fact out of seen, fresh and out.
    void drop_positive(FactId f);

private:
    void rebuild_out_index();
    uint32_t out_dups_ = 0;  // emissions of a fact out_index already held
};

// Positive and not.
struct PnShadow : ShadowCommon {
    GateEvents events;
    GateMembers members;
    bool armed = false;
    bool blocked = false;  // some gate fact present
    bool seeded = false;   // fresh was taken in once
    bool dirty = false;

    // Takes in the gate events and the fresh facts and emits what opened.
    void eval(bool arm);
    // The gate opens: the fresh facts in arrival order, then every earlier
    // fact, newest batch first.
    void join_left_ins(std::vector<FactId>& out_add);
};

// Positive and exists.
struct PxShadow : ShadowCommon {
    GateEvents events;
    GateMembers members;
    // Whether each gate-side fact passed the gate's own tests when last
    // tested; an entry lives until the fact's delete reads it.
    HashMap<FactId, bool> answers;
    uint32_t count = 0;  // gate facts after the last evaluation, moved by intake in between
    bool armed = false;
    bool gated = true;  // no gate fact present
    // Set when the gate count rises from 0 with positive facts about, or a
    // positive fact arrives while it is at least 1; cleared when it falls to 0.
    bool dirty_count = false;
    // Set when the engine's delete of a gate fact takes it away.
    bool dirty_departure = false;

    bool holds_positives() const { return !seen.empty() || !fresh.empty(); }
    // Takes in the gate events and the fresh facts and emits what opened;
    // arms itself on its first call.
    void eval();
    void join_left_ins(std::vector<FactId>& out_add);
};

// What the windowed shapes share: the gate facts inside the window, the
// members the clock expired (taken by the next fire), and how many positive
// facts were ever taken in.
struct WindowShadowCommon : ShadowCommon {
    GateMembers members;
    FactSeq expired;
    uint32_t positives = 0;
    bool dirty = false;
};

// Positive and not over a window.
struct BfShadow : WindowShadowCommon {
    bool armed = false;
    bool blocked = false;  // some gate fact inside the window
    // Set at the start and whenever the window loses its last gate fact,
    // cleared when a gate fact arrives after positive facts: while it is
    // clear, arriving positive facts wait in fresh for the gate to open.
    bool open_hint = true;
    bool has_positives = false;  // the positive count rose from 0

    // op 0: `fact` left the window; op 2: re-evaluate; any other op: a gate
    // fact arrived (already in members).
    void eval_window(uint8_t op, FactId fact, bool arm);
};

// Positive and exists over a window.
struct ExShadow : WindowShadowCommon {
    bool open = false;         // some gate fact inside the window
    bool arm_pending = true;   // not yet armed: an arriving member does not open the gate
    // While the fire loop takes the expired members: the length out had
    // before, below which a shutting gate does not cut it. 0 otherwise.
    size_t out_base = 0;

    void eval_window(uint8_t op, FactId fact, bool arm);
};

// The rules whose shadow one fact type can reach (as gate or as positive
// fact), ascending; derived from the network, rebuilt with it.
struct ShadowRoutes {
    std::vector<std::vector<uint32_t>> rules_by_type;
    std::vector<uint32_t> rules;  // every rule with a shadow, ascending

    const std::vector<uint32_t>& of_type(TypeId t) const { return t < rules_by_type.size() ? rules_by_type[t] : none_; }

private:
    std::vector<uint32_t> none_;
};

}  // namespace quarn
