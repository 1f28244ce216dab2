// Shadow evaluators: their lists and algorithms (shadows.h), and the engine's
// hooks that feed, evaluate and empty them.
#include "engine/shadows.h"

#include <algorithm>
#include <limits>

#include "common/internal_error.h"
#include "engine/engine.h"

namespace quarn {

// --- FactSeq, GateMembers, GateEvents

void FactSeq::push_back(FactId f) {
    if (f == kHole) invariant_broken("a fact id that names no fact");
    auto [it, fresh] = where_.try_emplace(f, static_cast<uint32_t>(slots_.size()));
    slots_.push_back(f);
    if (fresh) return;
    slots_[it->second] = kHole;
    it->second = static_cast<uint32_t>(slots_.size() - 1);
    squeeze_if_sparse();
}

bool FactSeq::remove(FactId f) {
    auto it = where_.find(f);
    if (it == where_.end()) return false;
    slots_[it->second] = kHole;
    where_.erase(it);
    squeeze_if_sparse();
    return true;
}

void FactSeq::squeeze_if_sparse() {
    const size_t holes = slots_.size() - where_.size();
    if (holes < 64 || holes <= where_.size()) return;
    size_t k = 0;
    for (FactId x : slots_) {
        if (x == kHole) continue;
        where_[x] = static_cast<uint32_t>(k);
        slots_[k++] = x;
    }
    slots_.resize(k);
}

void FactSeq::clear() {
    slots_.clear();
    where_.clear();
}

std::vector<FactId> FactSeq::items() const {
    std::vector<FactId> v;
    v.reserve(size());
    for_each([&](FactId f) { v.push_back(f); });
    return v;
}

void GateMembers::push(FactId f) {
    ++counts_[f];
    ++total_;
}

bool GateMembers::remove_all(FactId f) {
    auto it = counts_.find(f);
    if (it == counts_.end()) return false;
    total_ -= it->second;
    counts_.erase(it);
    return true;
}

void GateEvents::push_back(GateEvent e) {
    if (e.op == GateEvent::kArrived) arrival_at_[e.fact] = static_cast<uint32_t>(list_.size());
    list_.push_back(e);
    ++live_;
}

bool GateEvents::withdraw_arrival(FactId f) {
    auto it = arrival_at_.find(f);
    if (it == arrival_at_.end()) return false;
    list_[it->second].op = kWithdrawn;
    arrival_at_.erase(it);
    --live_;
    return true;
}

void GateEvents::push_departure_before_arrivals(FactId f, uint64_t stamp) {
    size_t at = list_.size();
    while (at > 0) {
        const GateEvent& prev = list_[at - 1];
        if (prev.op != kWithdrawn && !(prev.op == GateEvent::kArrived && prev.stamp == stamp)) break;
        --at;
    }
    list_.insert(list_.begin() + static_cast<std::ptrdiff_t>(at), GateEvent{f, GateEvent::kLeft, stamp});
    ++live_;
    for (size_t k = at + 1; k < list_.size(); ++k)
        if (list_[k].op == GateEvent::kArrived) arrival_at_[list_[k].fact] = static_cast<uint32_t>(k);
}

std::vector<GateEvent> GateEvents::take() {
    std::vector<GateEvent> taken;
    taken.reserve(live_);
    for (const GateEvent& e : list_)
        if (e.op != kWithdrawn) taken.push_back(e);
    list_.clear();
    arrival_at_.clear();
    live_ = 0;
    return taken;
}

// --- What every shadow keeps

void ShadowCommon::emit(FactId f) {
    const uint32_t place = static_cast<uint32_t>(out.size());
    out.push_back(f);
    auto [it, fresh] = out_index.try_emplace(f, place);
    if (!fresh) {
        it->second = place;
        ++out_dups_;
    }
}

void ShadowCommon::emit_seen_reversed() {
    seen.for_each_reverse([&](FactId f) { emit(f); });
}

void ShadowCommon::clear_out() {
    out.clear();
    out_index.clear();
    out_dups_ = 0;
    order_cursor = 0;
}

void ShadowCommon::cut_out(size_t n) {
    if (n >= out.size()) return;
    if (out_dups_ == 0) {
        for (size_t k = n; k < out.size(); ++k)
            if (out[k] != kNoFact) out_index.erase(out[k]);
        out.resize(n);
        order_cursor = std::min<uint32_t>(order_cursor, static_cast<uint32_t>(n));
        return;
    }
    // A fact cut from the end may have been emitted earlier too: its earlier
    // place keys it again, which may lie before the agenda's cursor.
    out.resize(n);
    rebuild_out_index();
    order_cursor = 0;
}

void ShadowCommon::drop_from_out(FactId f) {
    auto it = out_index.find(f);
    if (it == out_index.end()) return;
    if (out_dups_ == 0) {
        out[it->second] = kNoFact;
        out_index.erase(it);
        return;
    }
    for (FactId& x : out)
        if (x == f) x = kNoFact;
    rebuild_out_index();
}

std::optional<size_t> ShadowCommon::out_place(FactId f) const {
    auto it = out_index.find(f);
    if (it == out_index.end()) return std::nullopt;
    return it->second;
}

void ShadowCommon::drop_positive(FactId f) {
    seen.remove(f);
    fresh.remove(f);
    drop_from_out(f);
}

void ShadowCommon::rebuild_out_index() {
    out_index.clear();
    out_dups_ = 0;
    for (size_t k = 0; k < out.size(); ++k) {
        if (out[k] == kNoFact) continue;
        auto [it, fresh] = out_index.try_emplace(out[k], static_cast<uint32_t>(k));
        if (!fresh) {
            it->second = static_cast<uint32_t>(k);
            ++out_dups_;
        }
    }
}

namespace {

// Appends the fresh facts to seen, newest first, and empties fresh.
void take_fresh_into_seen(ShadowCommon& s) {
    s.fresh.for_each_reverse([&](FactId f) { s.seen.push_back(f); });
    s.fresh.clear();
}

// join_left_ins of the gates without a window: the gate opens, and out_add
// gets the fresh facts in arrival order, then the earlier ones newest batch
// first; the fresh facts join seen as one batch.
void join_left_ins_common(ShadowCommon& s, std::vector<FactId>& out_add) {
    s.fresh.for_each([&](FactId f) { out_add.push_back(f); });
    s.seen.for_each_reverse([&](FactId f) { out_add.push_back(f); });
    take_fresh_into_seen(s);
}

}  // namespace

// --- Positive and not

void PnShadow::join_left_ins(std::vector<FactId>& out_add) { join_left_ins_common(*this, out_add); }

void PnShadow::eval(bool arm) {
    const bool was_armed = armed, was_blocked = blocked;
    if (!seeded) {
        seeded = true;
        take_fresh_into_seen(*this);
    }
    std::vector<FactId> out_add;
    for (const GateEvent& e : events.take()) {
        if (e.op == GateEvent::kStop) break;
        if (e.op == GateEvent::kLeft) {
            members.remove_all(e.fact);
            if (members.empty() && armed && blocked) {
                blocked = false;
                join_left_ins(out_add);
            }
            continue;
        }
        members.push(e.fact);
        if (armed && !blocked) {
            // Everything emitted is withdrawn.
            blocked = true;
            out_add.clear();
            clear_out();
        }
    }
    if (was_armed && !was_blocked && !fresh.empty()) {
        if (!blocked) fresh.for_each([&](FactId f) { out_add.push_back(f); });
        take_fresh_into_seen(*this);
    }
    if (arm && !armed) {
        armed = true;
        blocked = !members.empty();
        if (!blocked) join_left_ins(out_add);
    }
    for (FactId f : out_add) emit(f);
}

// --- Positive and exists

void PxShadow::join_left_ins(std::vector<FactId>& out_add) { join_left_ins_common(*this, out_add); }

void PxShadow::eval() {
    const size_t before = members.size();
    for (const GateEvent& e : events.take()) {
        if (e.op == GateEvent::kStop) break;
        if (e.op == GateEvent::kLeft) members.remove_all(e.fact);
        else members.push(e.fact);
    }
    count = static_cast<uint32_t>(std::min<size_t>(members.size(), std::numeric_limits<uint32_t>::max()));
    std::vector<FactId> out_add;
    if (armed) {
        if (before == 0 && !members.empty() && gated) {
            gated = false;
            join_left_ins(out_add);
        } else if (before != 0 && members.empty() && !gated) {
            gated = true;
            clear_out();
        }
    }
    if (!fresh.empty()) {
        if (armed && !gated) fresh.for_each([&](FactId f) { out_add.push_back(f); });
        take_fresh_into_seen(*this);
    }
    if (!armed) {
        armed = true;
        gated = members.empty();
        if (!gated) join_left_ins(out_add);
    }
    for (FactId f : out_add) emit(f);
}

// --- Positive and not over a window

void BfShadow::eval_window(uint8_t op, FactId fact, bool arm) {
    bool reopened = false;
    if (op == 0) {
        members.remove_all(fact);
        reopened = armed && blocked && members.empty();
    } else if (op != 2) {
        if (open_hint && has_positives) open_hint = false;
        if (armed && !blocked) {
            blocked = true;
            clear_out();
        }
    }
    const bool emits = armed && !blocked;
    if (emits) fresh.for_each([&](FactId f) { emit(f); });
    take_fresh_into_seen(*this);
    if (reopened) {
        blocked = false;
        emit_seen_reversed();
    }
    if (arm && !armed) {
        armed = true;
        blocked = !members.empty();
        if (!blocked) emit_seen_reversed();
    }
}

// --- Positive and exists over a window

void ExShadow::eval_window(uint8_t op, FactId fact, bool arm) {
    // The fresh facts join seen, and out while the gate is open.
    auto take_in = [&] {
        if (open) fresh.for_each([&](FactId f) { emit(f); });
        take_fresh_into_seen(*this);
    };
    if (op == 0) {
        members.remove_all(fact);
        if (open && members.empty()) {
            open = false;
            cut_out(out_base);
        }
        take_in();
    } else if (op == 2 || open || arm_pending) {
        take_in();
    } else if (members.size() == 1) {
        // The first member opens the gate: every fact seen so far.
        take_fresh_into_seen(*this);
        open = true;
        emit_seen_reversed();
    } else {
        take_fresh_into_seen(*this);
    }
    if (arm && arm_pending) {
        arm_pending = false;
        if (!members.empty()) {
            open = true;
            emit_seen_reversed();
        }
    }
}

// --- The engine's hooks

namespace {

ShadowSide side_of(const Engine& e, FactId f) {
    return ShadowSide{e.store.fact_type(f), e.entry_point_of(f)};
}

template <class S>
S* slot(std::optional<S>& s) {
    return s ? &*s : nullptr;
}

// The clock expired gate fact f: the next fire takes it out of the window.
void note_expired_member(WindowShadowCommon& s, FactId f) {
    if (s.expired.contains(f)) return;
    s.expired.push_back(f);
    s.dirty = true;
}

uint32_t count_up(uint32_t n) { return n == std::numeric_limits<uint32_t>::max() ? n : n + 1; }

}  // namespace

void Engine::shadow_intake(FactId f, uint8_t expiry) {
    const ShadowSide side = side_of(*this, f);
    for (uint32_t r : shadow_routes.of_type(side.type)) {
        RuleNet& net = nets[r];
        if (BfShadow* s = slot(net.bf_shadow)) {
            if (s->gate == side) {
                s->members.push(f);
                if (s->open_hint && s->has_positives) s->dirty = true;
                // Arrival and the taking in of fresh facts, in place.
                s->eval_window(1, f, false);
                if (expiry == 0) note_expired_member(*s, f);
            } else if (s->positive == side) {
                const bool fresh_was_empty = s->fresh.empty();
                s->fresh.push_back(f);
                if (s->positives == 0) {
                    s->has_positives = true;
                    if (s->open_hint) s->dirty = true;
                } else if (fresh_was_empty && s->open_hint && s->has_positives) {
                    s->dirty = true;
                }
                s->positives = count_up(s->positives);
            }
        }
        if (ExShadow* s = slot(net.ex_shadow)) {
            if (s->gate == side) {
                if (s->members.empty() && s->positives != 0) s->dirty = true;
                s->members.push(f);
                s->eval_window(1, f, false);
                if (expiry == 0) note_expired_member(*s, f);
            } else if (s->positive == side) {
                s->fresh.push_back(f);
                s->positives = count_up(s->positives);
                if (!s->members.empty()) s->dirty = true;
            }
        }
        if (PnShadow* s = slot(net.pn_shadow); s && s->positive == side) {
            s->fresh.push_back(f);
            if (s->armed && !s->blocked) s->dirty = true;
        }
        if (PxShadow* s = slot(net.px_shadow); s && s->positive == side) {
            s->fresh.push_back(f);
            if (s->count >= 1) s->dirty_count = true;
        }
    }
}

void Engine::shadow_refresh(FactId f) {
    const ShadowSide side = side_of(*this, f);
    for (uint32_t r : shadow_routes.of_type(side.type)) {
        RuleNet& net = nets[r];
        auto move_to_end = [&](ShadowCommon* s) {
            // An updated positive fact counts as the latest arrival.
            if (s && s->positive == side && s->seen.contains(f)) s->seen.push_back(f);
        };
        move_to_end(slot(net.bf_shadow));
        move_to_end(slot(net.ex_shadow));
        move_to_end(slot(net.pn_shadow));
        move_to_end(slot(net.px_shadow));
        PxShadow* s = slot(net.px_shadow);
        // Gate answers are recorded by propagation, which starts with the
        // first fire: before it, that fire's intake of every live fact tests
        // the fact as it then is.
        if (!s || !(s->gate == side) || !immediate) continue;
        const bool passes = alpha_passes_fields(r, 1, f);
        bool& answer = s->answers[f];
        const bool passed = answer;
        answer = passes;
        if (passes && !passed) {
            s->events.push_back(GateEvent{f, GateEvent::kArrived, shadow_seq});
            if (s->count == 0 && s->holds_positives()) s->dirty_count = true;
            s->count = count_up(s->count);
        } else if (!passes && passed) {
            if (s->events.withdraw_arrival(f)) {
                if (s->count > 0) --s->count;
                if (s->count == 0) s->dirty_count = false;
            } else if (s->members.contains(f)) {
                s->events.push_back(GateEvent{f, GateEvent::kLeft, shadow_seq});
            }
        }
    }
}

void Engine::shadow_drop(FactId f) {
    const ShadowSide side = side_of(*this, f);
    for (uint32_t r : shadow_routes.of_type(side.type)) {
        RuleNet& net = nets[r];
        if (BfShadow* s = slot(net.bf_shadow)) {
            if (s->gate == side) {
                const bool was_member = s->members.remove_all(f);
                s->expired.remove(f);
                // The window lost its last gate fact: positive facts arriving
                // from now on are emitted as they come.
                if (was_member && s->members.empty()) s->open_hint = true;
                s->eval_window(0, f, false);
            } else if (s->positive == side) {
                s->drop_positive(f);
                s->eval_window(0, f, false);
            }
        }
        if (ExShadow* s = slot(net.ex_shadow)) {
            if (s->gate == side) {
                s->members.remove_all(f);
                s->expired.remove(f);
                s->eval_window(0, f, false);
            } else if (s->positive == side) {
                s->drop_positive(f);
                s->eval_window(0, f, false);
            }
        }
        if (PnShadow* s = slot(net.pn_shadow)) {
            if (s->gate == side) s->members.remove_all(f);
            else if (s->positive == side) s->drop_positive(f);
        }
        // An exists gate keeps its members: the departure that propagation
        // queues takes the fact out, and the evaluation that sees the gate
        // empty afterwards is the one that shuts it.
        if (PxShadow* s = slot(net.px_shadow); s && s->positive == side) s->drop_positive(f);
    }
}

void Engine::shadow_gate_insert(FactId f, uint64_t seq) {
    const ShadowSide side = side_of(*this, f);
    for (uint32_t r : shadow_routes.of_type(side.type)) {
        RuleNet& net = nets[r];
        if (PnShadow* s = slot(net.pn_shadow); s && s->gate == side) {
            s->events.push_back(GateEvent{f, GateEvent::kArrived, seq});
            if (s->armed && !s->blocked) s->dirty = true;
            if (firing && s->dirty) {
                s->eval(false);
                s->dirty = false;
            }
        }
        if (PxShadow* s = slot(net.px_shadow); s && s->gate == side) {
            const bool passes = alpha_passes_fields(r, 1, f);
            s->answers[f] = passes;
            if (passes) {
                s->events.push_back(GateEvent{f, GateEvent::kArrived, seq});
                if (s->count == 0 && s->holds_positives()) s->dirty_count = true;
                s->count = count_up(s->count);
            }
            if (firing && !s->events.empty() && (s->dirty_count || s->dirty_departure || !net.acts.empty())) {
                s->eval();
                s->dirty_count = s->dirty_departure = false;
            }
        }
    }
}

void Engine::shadow_gate_delete(FactId f, uint64_t seq) {
    const ShadowSide side = side_of(*this, f);
    for (uint32_t r : shadow_routes.of_type(side.type)) {
        RuleNet& net = nets[r];
        if (PnShadow* s = slot(net.pn_shadow); s && s->gate == side) {
            if (s->events.withdraw_arrival(f)) s->members.remove_all(f);
            else if (tms_retracting) s->events.push_departure_before_arrivals(f, seq);
            else s->events.push_back(GateEvent{f, GateEvent::kLeft, seq});
            s->dirty = true;
            if (firing) {
                s->eval(false);
                s->dirty = false;
            }
        }
        if (PxShadow* s = slot(net.px_shadow); s && s->gate == side) {
            auto it = s->answers.find(f);
            if (it == s->answers.end()) continue;
            const bool passed = it->second;
            s->answers.erase(it);
            if (!passed) continue;
            if (!s->events.withdraw_arrival(f)) {
                if (tms_retracting) s->events.push_departure_before_arrivals(f, seq);
                else s->events.push_back(GateEvent{f, GateEvent::kLeft, seq});
            }
            if (s->count > 0) --s->count;
            if (s->count == 0) s->dirty_count = false;
            if (deleting_fact == f) s->dirty_departure = true;
            if (firing && !s->events.empty() && (s->dirty_count || s->dirty_departure || !net.acts.empty())) {
                s->eval();
                s->dirty_count = s->dirty_departure = false;
            }
        }
    }
}

void Engine::shadow_note_expired(FactId f) {
    const ShadowSide side = side_of(*this, f);
    for (uint32_t r : shadow_routes.of_type(side.type)) {
        RuleNet& net = nets[r];
        if (BfShadow* s = slot(net.bf_shadow); s && s->members.contains(f)) note_expired_member(*s, f);
        if (ExShadow* s = slot(net.ex_shadow); s && s->members.contains(f)) note_expired_member(*s, f);
    }
}

void Engine::shadow_catch_up() {
    for (uint32_t r : shadow_routes.rules) {
        RuleNet& net = nets[r];
        if (BfShadow* s = slot(net.bf_shadow); s && s->dirty) {
            s->eval_window(2, 0, true);
            for (FactId f : s->expired.items()) {
                const bool was_member = s->members.contains(f);
                s->eval_window(0, f, false);
                if (was_member && s->members.empty()) s->open_hint = true;
            }
            s->expired.clear();
            s->dirty = false;
        }
        if (ExShadow* s = slot(net.ex_shadow); s && s->dirty) {
            s->eval_window(2, 0, true);
            // What the network still fires before the expired members are
            // deleted stays emitted.
            s->out_base = s->out.size();
            for (FactId f : s->expired.items()) s->eval_window(0, f, false);
            s->out_base = 0;
            s->expired.clear();
            s->dirty = false;
        }
        if (PnShadow* s = slot(net.pn_shadow)) {
            if (s->dirty || !s->armed || !net.acts.empty()) s->eval(true);
            s->dirty = false;
        }
        if (PxShadow* s = slot(net.px_shadow); s && (s->dirty_count || s->dirty_departure)) {
            s->eval();
            s->dirty_count = s->dirty_departure = false;
        }
    }
}

void Engine::shadow_quiescence() {
    for (uint32_t r : shadow_routes.rules) {
        PxShadow* s = slot(nets[r].px_shadow);
        if (!s || s->events.empty()) continue;
        s->eval();
        s->dirty_count = s->dirty_departure = false;
    }
}

void Engine::shadow_end_of_fire() {
    for (uint32_t r : shadow_routes.rules) {
        RuleNet& net = nets[r];
        if (BfShadow* s = slot(net.bf_shadow)) s->clear_out();
        if (ExShadow* s = slot(net.ex_shadow)) {
            s->clear_out();
            s->out_base = 0;
        }
        if (PnShadow* s = slot(net.pn_shadow)) s->clear_out();
        if (PxShadow* s = slot(net.px_shadow)) s->clear_out();
    }
}

std::optional<size_t> Engine::shadow_out_place(size_t rule, ShadowKind kind, FactId fact) const {
    const RuleNet& net = nets.at(rule);
    const ShadowCommon* s = nullptr;
    switch (kind) {
        case ShadowKind::Bf: s = net.bf_shadow ? &*net.bf_shadow : nullptr; break;
        case ShadowKind::Ex: s = net.ex_shadow ? &*net.ex_shadow : nullptr; break;
        case ShadowKind::Pn: s = net.pn_shadow ? &*net.pn_shadow : nullptr; break;
        case ShadowKind::Px: s = net.px_shadow ? &*net.px_shadow : nullptr; break;
    }
    return s ? s->out_place(fact) : std::nullopt;
}

std::optional<Engine::ShadowOrder> Engine::shadow_order(size_t r) const {
    const RuleNet& net = nets[r];
    if (!net.shadow_ordered) return std::nullopt;
    ShadowOrder order{nullptr, net.order_position};
    if (net.order_shadow) {
        switch (*net.order_shadow) {
            case ShadowKind::Bf: order.shadow = &*net.bf_shadow; break;
            case ShadowKind::Ex: order.shadow = &*net.ex_shadow; break;
            case ShadowKind::Pn: order.shadow = &*net.pn_shadow; break;
            case ShadowKind::Px: order.shadow = &*net.px_shadow; break;
        }
    }
    return order;
}

void Engine::decide_shadow_order(size_t r) {
    const CompiledRule& rule = rules[r];
    RuleNet& net = nets[r];
    net.shadow_ordered = false;
    net.order_shadow.reset();
    if (rule.salience.kind != CompiledSalience::Kind::Const) return;
    std::optional<size_t> position;
    ShadowKind kind = ShadowKind::Pn;
    bool built = false;
    if (rule.ce_event_tail) {
        position = rule.ce_event_tail;
        kind = rule.ce_event_exists ? ShadowKind::Ex : ShadowKind::Bf;
        built = rule.ce_event_exists ? net.ex_shadow.has_value() : net.bf_shadow.has_value();
    } else if (rule.not_tail) {
        position = rule.not_tail;
        built = net.pn_shadow.has_value();
    } else if (rule.exists_tail) {
        position = rule.exists_tail;
        kind = ShadowKind::Px;
        built = net.px_shadow.has_value();
    }
    if (!position) return;
    if (*position > UINT32_MAX) invariant_broken("a tuple position beyond 32 bits");
    net.shadow_ordered = true;
    net.order_position = static_cast<uint32_t>(*position);
    if (built) net.order_shadow = kind;
}

}  // namespace quarn
