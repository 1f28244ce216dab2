// Activations: their salience, their sequence numbers and the order in which one rule's activations fire.
#include <cmath>
#include <limits>

#include "common/internal_error.h"
#include "engine/engine.h"

namespace quarn {

namespace {

// One salience term read from a tuple: its value as a float and as an integer,
// and whether the float decides.
struct TermValue {
    double f = 0;
    int64_t i = 0;
    bool is_float = false;
};

// Truncation toward zero, saturating at the i64 range; NaN gives 0.
int64_t saturating_i64(double x) {
    if (std::isnan(x)) return 0;
    if (x >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
    if (x < -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(x);
}

// The float rule: NaN gives 0, otherwise truncated and clamped to the i32 range.
int32_t float_salience(double f) {
    if (std::isnan(f)) return 0;
    const double t = std::trunc(f);
    if (t <= -2147483648.0) return std::numeric_limits<int32_t>::min();
    if (t >= 2147483647.0) return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(t);
}

// The low 32 bits of a wrapped 64-bit result.
int32_t low_bits(uint64_t u) { return static_cast<int32_t>(static_cast<uint32_t>(u)); }

// Reads the live value: a setter that ran before the activation was made counts.
TermValue eval_salience(const FactStore& store, TupleView tuple, const SalOperand& term) {
    if (term.kind == SalOperand::Kind::Int)
        return {static_cast<double>(term.value), term.value, false};
    if (term.position >= tuple.size()) invariant_broken("a salience term reads past the tuple");
    const Value v = store.get(tuple[term.position], term.field);
    switch (v.tag()) {
        case ValueTag::I64: return {static_cast<double>(v.as_i64()), v.as_i64(), term.is_f64};
        case ValueTag::F64: return {v.as_f64(), saturating_i64(v.as_f64()), true};
        default: return {0, 0, term.is_f64};  // counts as 0
    }
}


}  // namespace

int32_t Engine::activation_salience(size_t r, TupleId id) const {
    const CompiledSalience& s = rules[r].salience;
    if (s.kind == CompiledSalience::Kind::Const) return s.value;
    const TupleView tuple = tuples.view(id);
    const TermValue a = eval_salience(store, tuple, s.first);
    if (!s.op) return a.is_float ? float_salience(a.f) : low_bits(static_cast<uint64_t>(a.i));
    const TermValue b = eval_salience(store, tuple, s.second);
    const uint64_t ua = static_cast<uint64_t>(a.i), ub = static_cast<uint64_t>(b.i);
    double f;
    uint64_t i;
    switch (*s.op) {
        case '+': f = a.f + b.f, i = ua + ub; break;
        case '-': f = a.f - b.f, i = ua - ub; break;
        default: f = a.f * b.f, i = ua * ub; break;
    }
    return a.is_float || b.is_float ? float_salience(f) : low_bits(i);
}

void Engine::push_activation(size_t r, TupleId tuple) {
    if (r >= nets.size()) invariant_broken("an activation of an unknown rule");
    const bool constant = rules[r].salience.kind == CompiledSalience::Kind::Const;
    const int32_t salience = constant ? rules[r].salience.value : activation_salience(r, tuple);
    RuleNet& net = nets[r];
    const int32_t old_top = constant ? 0 : net.acts.top_salience();
    // In shadow order the activation is found by its positive fact; one
    // keyed before the agenda's walk over the shadow's output sends the walk
    // back to it.
    FactId key = ActivationList::kNoKey;
    std::optional<ShadowOrder> order = net.shadow_ordered ? shadow_order(r) : std::nullopt;
    if (order && order->shadow) {
        const TupleView t = tuples.view(tuple);
        if (order->position < t.size()) {
            key = t[order->position];
            std::optional<size_t> place = order->shadow->out_place(key);
            if (place && *place < order->shadow->order_cursor)
                order->shadow->order_cursor = static_cast<uint32_t>(*place);
        }
    }
    net.acts.push_tuple(tuple, salience, act_seq, key);
    if (constant) return;
    const int32_t new_top = net.acts.size() == 1 ? salience : std::max(old_top, salience);
    if (new_top == old_top && net.on_agenda) return;
    net.top_salience = new_top;
    put_on_agenda(r);
}

uint32_t Engine::next_activation(size_t r) const {
    const ActivationList& acts = nets[r].acts;
    if (!nets[r].shadow_ordered) return acts.best_slot();
    const std::optional<ShadowOrder> order = shadow_order(r);
    // Without its evaluator every key is the same: push order decides.
    if (!order->shadow) return acts.first_slot();
    // The activation whose positive fact the evaluator emitted earliest, the
    // earliest pushed among those of one fact; when none of the remaining
    // facts was emitted, the earliest pushed. The walk resumes where the last
    // one stopped: no activation is keyed before that place.
    const ShadowCommon& s = *order->shadow;
    for (uint32_t p = s.order_cursor; p < s.out.size(); ++p) {
        const FactId f = s.out[p];
        if (f == ShadowCommon::kNoFact) continue;
        // A fact emitted twice is keyed by its later place.
        if (s.out_place(f) != p) continue;
        const uint32_t slot = acts.oldest_with_key(f);
        if (slot == ActivationList::npos) continue;
        s.order_cursor = p;
        return slot;
    }
    s.order_cursor = static_cast<uint32_t>(s.out.size());
    return acts.first_slot();
}

Act Engine::take_activation(size_t r) { return nets[r].acts.take_slot(next_activation(r)); }

}  // namespace quarn
