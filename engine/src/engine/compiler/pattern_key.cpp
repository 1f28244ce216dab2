// Pattern keys: the canonical text of what a compiled pattern tests and how it
// feeds the network. Equal keys mean interchangeable patterns; node sharing
// follows from them alone.
#include <cmath>
#include <string>

#include "common/text.h"
#include "engine/engine.h"
#include "store/debug_form.h"

namespace quarn {

namespace {

template <class T>
std::string debug_opt_number(const std::optional<T>& v) {
    return v ? fmt("Some({})", *v) : std::string("None");
}

std::string debug_params(const std::vector<int64_t>& params) {
    std::string out = "[";
    for (size_t i = 0; i < params.size(); ++i) out += fmt(i ? ", {}" : "{}", params[i]);
    return out + "]";
}

void append_test_key(std::string& key, const Test& t, const FieldType& field_type) {
    switch (t.kind) {
        case Test::Kind::Cmp:
            switch (t.rhs.kind) {
                case Src::Kind::Lit: {
                    const Value lit = t.op == CmpOp::Eq ? canonical_eq_literal(t.rhs.lit, field_type) : t.rhs.lit;
                    key += debug(t.op) + debug(lit);
                    return;
                }
                case Src::Kind::FactField:
                    // Only temporal tests carry a label, so a comparison's is empty.
                    key += fmt("{}@{}.{}", debug(t.op), t.rhs.position, t.rhs.field);
                    return;
                case Src::Kind::SnapField:
                    // Never compiled into a condition; keyed apart from every
                    // other test all the same, so two such patterns never share.
                    key += fmt("{}${}.{}", debug(t.op), t.rhs.position, t.rhs.field);
                    return;
            }
            unreachable("comparison operand kind out of range");
        case Test::Kind::IsNull: key += fmt("isnull{}", t.negated); return;
        case Test::Kind::Unknown: key += "unk3"; return;
        case Test::Kind::Temporal:
            if ((t.allen == AllenOp::After || t.allen == AllenOp::Before) && t.params.size() == 2) {
                key += fmt("tmp{}{}:{}@{}.{}", t.allen == AllenOp::After, t.params[0], t.params[1], t.anchor,
                           t.anchor_ts_field);
            } else {
                key += fmt("aln{}{}@{}.{}d{}/{}", debug(t.allen), debug_params(t.params), t.anchor, t.anchor_ts_field,
                           debug_opt_number(t.own_duration_field), debug_opt_number(t.anchor_duration_field));
            }
            return;
        // Quoted with escapes: a bare text could run on into the next test's
        // key, and `name matches "x;1EqI64(5)"` would then key like
        // `name matches "x", age == 5`.
        case Test::Kind::Matches: key += "m" + quoted(t.source); return;
        case Test::Kind::Contains: key += "c" + quoted(t.text); return;
        case Test::Kind::Group: key += t.key; return;
    }
    unreachable("test kind out of range");
}

}  // namespace

std::string pattern_test_key(const Test& t, const FieldType& field_type) {
    std::string key;
    append_test_key(key, t, field_type);
    return key;
}

Value canonical_eq_literal(const Value& lit, const FieldType& field) {
    if (lit.tag() == ValueTag::I64 && field.kind == FieldKind::F64) return Value::f64(static_cast<double>(lit.as_i64()));
    if (lit.tag() == ValueTag::F64 && field.kind == FieldKind::I64) {
        const double d = lit.as_f64();
        // Only a whole number that an i64 holds exactly: 30.5 must keep never
        // matching 30, and a truncated 1e300 would be a different number.
        if (std::isfinite(d) && d == std::trunc(d) && d >= -9223372036854775808.0 && d < 9223372036854775808.0)
            return Value::i64(static_cast<int64_t>(d));
    }
    return lit;
}

std::string Engine::pattern_key(const CompiledPattern& p, size_t rule, size_t pattern) const {
    if (p.qce) {
        for (const CeArg& a : p.qce->args)
            if (a.kind != Src::Kind::SnapField) return fmt("QCE|{}|priv{}.{}", p.qce->query, rule, pattern);
        // Calls that name one variable twice answer fewer rows than the plain
        // call: they share a node only with calls repeating the same places.
        std::string key = fmt("QCE|{}|U{}", p.qce->query, p.qce->args.size());
        for (const auto& [arg, first] : p.qce->repeats) key += fmt("|R{}={}", arg, first);
        return key;
    }
    if (p.role.kind == SubRole::Kind::Group)
        return fmt("SN|{}|{}|{}", debug(p.ce), p.role.member_count, p.role.base);

    std::string key = fmt("{}|{}|b{}|e{}", p.type_id, debug(p.ce), p.bound_mask, p.entry_point_id);
    const TypeSchema& schema = store.schema(p.type_id);
    for (const CompiledCmp& c : p.cmps) {
        key += fmt(";{}", c.field);
        if (c.field >= schema.fields.size()) invariant_broken("pattern test on a field its type lacks");
        append_test_key(key, c.test, schema.fields[c.field].second);
    }
    if (p.acc) {
        key += fmt("|acc{}:{}:{}:w{}:g{}", debug(p.acc->func), p.acc->arg_name.value_or(""),
                   debug_opt_number(p.acc->arg_field), debug_opt_number(p.acc->window_ms),
                   debug_opt_number(p.acc->key_field));
    }
    return key;
}

}  // namespace quarn
