// Constraint evaluation: single-field tests, three-valued groups, the join
// comparison, interval relations, decimal literals, comparison type checks and
// the canonical texts of scalars.
#include "engine/constraint_eval.h"

#include <cmath>
#include <limits>

#include "common/internal_error.h"
#include "common/text.h"
#include "store/debug_form.h"

namespace quarn {

namespace {

constexpr int64_t kI64Max = std::numeric_limits<int64_t>::max();

// |x| of an exact difference; i128 holds every difference of two i64 values.
i128 abs128(i128 x) { return x < 0 ? -x : x; }

bool within(i128 x, int64_t lo, int64_t hi) { return lo <= x && x <= hi; }

// Truncation toward zero, saturating at the i64 limits; NaN gives 0.
int64_t trunc_saturating(double x) {
    if (std::isnan(x)) return 0;
    if (x >= 9223372036854775808.0) return kI64Max;
    if (x < -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(x);
}

Truth truth_of(bool b) { return b ? Truth::True : Truth::False; }

}  // namespace

bool eval_alpha_test(const Value& v, const Test& test) {
    switch (test.kind) {
        case Test::Kind::IsNull: return v.is_null() != test.negated;
        case Test::Kind::Unknown: return false;
        case Test::Kind::Matches: return v.tag() == ValueTag::Str && test.regex && test.regex->accepts(v.as_str());
        case Test::Kind::Contains: return v.tag() == ValueTag::Str && v.as_str().find(test.text) != std::string::npos;
        case Test::Kind::Cmp:
        case Test::Kind::Temporal:
        case Test::Kind::Group: break;
    }
    unreachable("comparison, temporal and group tests are not single-field tests");
}

bool eval_cmp_join(const Value& l, CmpOp op, const Value& r) {
    if (op == CmpOp::Eq && l.tag() == ValueTag::I64 && r.tag() == ValueTag::F64)
        return l.as_i64() == trunc_saturating(r.as_f64());
    return eval_cmp(l, op, r);
}

Truth eval_gexpr(const GExpr& g, const FactStore& store, FactId fact, std::optional<std::span<const FactId>> tuple,
                 std::optional<size_t> self_position) {
    using K = GExpr::Kind;
    switch (g.kind) {
        case K::Cmp: {
            Value v = store.get(fact, g.field);
            if (v.is_null()) return Truth::Unknown;
            switch (g.operand.kind) {
                case Src::Kind::Lit: return truth_of(eval_cmp(v, g.op, g.operand.lit));
                case Src::Kind::FactField: {
                    FactId other = fact;
                    if (self_position != g.operand.position) {
                        if (!tuple || g.operand.position >= tuple->size())
                            invariant_broken("a group reads a binding outside the left tuple");
                        other = (*tuple)[g.operand.position];
                    }
                    Value w = store.get(other, g.operand.field);
                    if (w.is_null()) return Truth::Unknown;
                    return truth_of(eval_cmp_join(v, g.op, w));
                }
                case Src::Kind::SnapField: break;
            }
            unreachable("a constraint group never reads a snapshot value");
        }
        case K::IsNull: return truth_of(store.get(fact, g.field).is_null() != g.negated);
        case K::Unknown: return Truth::Unknown;
        case K::Matches:
        case K::Contains: {
            Value v = store.get(fact, g.field);
            if (v.is_null()) return Truth::Unknown;
            if (v.tag() != ValueTag::Str) return Truth::False;
            if (g.kind == K::Contains) return truth_of(v.as_str().find(g.text) != std::string::npos);
            return truth_of(g.regex && g.regex->accepts(v.as_str()));
        }
        case K::In: {
            Value v = store.get(fact, g.field);
            if (v.is_null()) return Truth::Unknown;
            bool saw_null = false;
            for (const Value& item : g.items) {
                if (item.is_null()) {
                    saw_null = true;
                } else if (eval_cmp(v, CmpOp::Eq, item)) {
                    return truth_of(!g.negated);
                }
            }
            if (saw_null) return Truth::Unknown;
            return truth_of(g.negated);
        }
        case K::And:
        case K::Or: {
            // And stops at the first False, Or at the first True; otherwise an
            // Unknown child makes the whole Unknown.
            Truth stop = g.kind == K::And ? Truth::False : Truth::True;
            bool unknown = false;
            for (const GExpr& c : g.children) {
                Truth t = eval_gexpr(c, store, fact, tuple, self_position);
                if (t == stop) return stop;
                unknown = unknown || t == Truth::Unknown;
            }
            if (unknown) return Truth::Unknown;
            return g.kind == K::And ? Truth::True : Truth::False;
        }
        case K::Not: {
            if (g.children.size() != 1) invariant_broken("a group negation has one child");
            Truth t = eval_gexpr(g.children[0], store, fact, tuple, self_position);
            if (t == Truth::Unknown) return t;
            return t == Truth::True ? Truth::False : Truth::True;
        }
    }
    unreachable("constraint group kind out of range");
}

bool eval_allen(AllenOp op, std::span<const int64_t> b, int64_t as, int64_t ae, int64_t bs, int64_t be) {
    // Differences are taken in 128 bits: two times up to 2^64 apart never wrap.
    auto d = [](int64_t x, int64_t y) { return static_cast<i128>(x) - static_cast<i128>(y); };
    int64_t t = b.empty() ? 0 : b[0];  // the one tolerance of meets .. finishedby
    // [lo, hi] of overlaps and overlappedby, and of each side of during and includes.
    auto range = [&](size_t which) -> std::pair<int64_t, int64_t> {
        switch (b.size()) {
            case 1: return {1, b[0]};
            case 2: return {b[0], b[1]};
            case 4:
                if (op == AllenOp::During || op == AllenOp::Includes) return {b[2 * which], b[2 * which + 1]};
                break;
            default: break;
        }
        return {1, kI64Max};
    };
    switch (op) {
        case AllenOp::After:
        case AllenOp::Before: {
            int64_t lo = b.size() >= 1 ? b[0] : 0;
            int64_t hi = b.size() >= 2 ? b[1] : kI64Max;
            return within(op == AllenOp::After ? d(as, be) : d(bs, ae), lo, hi);
        }
        case AllenOp::Coincides: {
            int64_t t1 = 0, t2 = 0;
            if (b.size() == 1) t1 = t2 = b[0];
            if (b.size() == 2) t1 = b[0], t2 = b[1];
            return abs128(d(as, bs)) <= t1 && abs128(d(ae, be)) <= t2;
        }
        case AllenOp::Meets: return abs128(d(ae, bs)) <= t;
        case AllenOp::MetBy: return abs128(d(as, be)) <= t;
        case AllenOp::Overlaps: {
            auto [lo, hi] = range(0);
            return as < bs && bs < ae && ae < be && within(d(ae, bs), lo, hi);
        }
        case AllenOp::OverlappedBy: {
            auto [lo, hi] = range(0);
            return bs < as && as < be && be < ae && within(d(be, as), lo, hi);
        }
        case AllenOp::During: {
            auto [slo, shi] = range(0);
            auto [elo, ehi] = range(1);
            return within(d(as, bs), slo, shi) && within(d(be, ae), elo, ehi);
        }
        case AllenOp::Includes: {
            auto [slo, shi] = range(0);
            auto [elo, ehi] = range(1);
            return within(d(bs, as), slo, shi) && within(d(ae, be), elo, ehi);
        }
        case AllenOp::Starts: return ae < be && abs128(d(as, bs)) <= t;
        case AllenOp::StartedBy: return ae > be && abs128(d(as, bs)) <= t;
        case AllenOp::Finishes: return as > bs && abs128(d(ae, be)) <= t;
        case AllenOp::FinishedBy: return as < bs && abs128(d(ae, be)) <= t;
    }
    unreachable("temporal operator out of range");
}

std::optional<Value> lit_for_dec(const Value& v) {
    switch (v.tag()) {
        case ValueTag::I64: return Value::dec(v.as_i64(), 0);
        case ValueTag::F64: {
            std::optional<DecParts> d = dec_parse(float_plain_text(v.as_f64()));
            if (!d) return std::nullopt;
            return Value::dec(d->u, d->s);
        }
        case ValueTag::Dec: return v;
        case ValueTag::Str:
        case ValueTag::Bool:
        case ValueTag::Null: break;
    }
    return std::nullopt;
}

std::optional<std::string> check_cmp_types(std::string_view rule, const FieldType& l, CmpOp op, const FieldType& r) {
    using F = FieldKind;
    auto numeric = [](F k) { return k == F::I64 || k == F::F64; };
    bool ok = false;
    if ((l.kind == F::F64 && r.kind == F::Dec) || (l.kind == F::Dec && r.kind == F::F64))
        return fmt("rule {}: decimal-vs-double comparison is WALLED (money never meets floats, D-097 ruling 4)", rule);
    if (numeric(l.kind) && numeric(r.kind)) ok = true;
    if ((l.kind == F::I64 || l.kind == F::Dec) && (r.kind == F::I64 || r.kind == F::Dec)) ok = true;
    if (l.kind == F::Str && r.kind == F::Str) ok = true;
    if (l.kind == F::Bool && r.kind == F::Bool && (op == CmpOp::Eq || op == CmpOp::Ne)) ok = true;
    if (ok) return std::nullopt;
    return fmt("rule {}: constraint type mismatch ({} {} {})", rule, debug(l), debug(op), debug(r));
}

std::string scalar_canon_key(const Value& v) {
    auto keyed = [](const char* word, const std::string& text) {
        return fmt("{{\"type\":\"{}\",\"fields\":{{\"value\":{}}}}}", word, text);
    };
    switch (v.tag()) {
        case ValueTag::I64: return keyed("Long", std::to_string(v.as_i64()));
        case ValueTag::F64: return keyed("Double", float_debug_text(v.as_f64()));
        case ValueTag::Str: return keyed("String", quoted(v.as_str()));
        case ValueTag::Bool: return keyed("Boolean", v.as_bool() ? "true" : "false");
        case ValueTag::Null:
        case ValueTag::Dec: break;
    }
    return debug(v);
}

FactView scalar_view(Value v) {
    static constexpr const char* names[] = {"Long", "Double", "String", "Boolean", "Null", "Decimal"};
    FactView view;
    view.type_name = names[static_cast<size_t>(v.tag())];
    view.fields.emplace_back("value", std::move(v));
    view.id = std::numeric_limits<uint32_t>::max();
    return view;
}

}  // namespace quarn
