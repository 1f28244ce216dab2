// Values: coercion, ordering and comparison.
#include "store/value.h"

#include <cstring>

namespace quarn {

FieldType type_of(const Value& v) {
    switch (v.tag()) {
        case ValueTag::I64: return FieldType::i64();
        case ValueTag::F64: return FieldType::f64();
        case ValueTag::Str: return FieldType::str();
        case ValueTag::Bool: return FieldType::boolean();
        case ValueTag::Dec: return FieldType::dec(38, v.as_dec().s);
        case ValueTag::Null: break;
    }
    return FieldType::i64();
}

FieldType lit_type(const Literal& l) {
    switch (l.tag) {
        case LiteralTag::F64: return FieldType::f64();
        case LiteralTag::Str: return FieldType::str();
        case LiteralTag::Bool: return FieldType::boolean();
        case LiteralTag::I64:
        case LiteralTag::Null: break;
    }
    return FieldType::i64();
}

Value lit_value(const Literal& l) {
    switch (l.tag) {
        case LiteralTag::I64: return Value::i64(l.i);
        case LiteralTag::F64: return Value::f64(l.f);
        case LiteralTag::Str: return Value::str(l.s);
        case LiteralTag::Bool: return Value::boolean(l.b);
        case LiteralTag::Null: break;
    }
    return Value::null();
}

// Rescale to the target scale, then the precision check.
static std::optional<Value> to_decimal(i128 u, uint8_t from, const FieldType& t) {
    auto r = dec_rescale(u, from, t.s);
    if (!r || !dec_fits(*r, t.p)) return std::nullopt;
    return Value::dec(*r, t.s);
}

std::optional<Value> coerce(Value v, const FieldType& t) {
    if (v.is_null()) return v;
    switch (v.tag()) {
        case ValueTag::I64:
            if (t.kind == FieldKind::I64) return v;
            if (t.kind == FieldKind::F64) return Value::f64(static_cast<double>(v.as_i64()));
            if (t.kind == FieldKind::Dec) return to_decimal(v.as_i64(), 0, t);
            return std::nullopt;
        case ValueTag::F64:
            if (t.kind == FieldKind::F64) return v;
            return std::nullopt;
        case ValueTag::Str:
            if (t.kind == FieldKind::Str) return v;
            if (t.kind == FieldKind::Dec) {
                auto d = dec_parse(v.as_str());
                if (!d) return std::nullopt;
                return to_decimal(d->u, d->s, t);
            }
            return std::nullopt;
        case ValueTag::Bool:
            if (t.kind == FieldKind::Bool) return v;
            return std::nullopt;
        case ValueTag::Dec:
            if (t.kind == FieldKind::Dec) return to_decimal(v.as_dec().u, v.as_dec().s, t);
            return std::nullopt;
        case ValueTag::Null: break;
    }
    return std::nullopt;
}

bool coerce_in_place(Value& v, const FieldType& t) {
    // A null, or a value of the field's own kind, stands as it is; a decimal
    // is rescaled to the field's scale and any other value converted.
    const ValueTag tag = v.tag();
    const bool as_is = tag == ValueTag::Null || (tag == ValueTag::I64 && t.kind == FieldKind::I64) ||
                       (tag == ValueTag::F64 && t.kind == FieldKind::F64) ||
                       (tag == ValueTag::Str && t.kind == FieldKind::Str) ||
                       (tag == ValueTag::Bool && t.kind == FieldKind::Bool);
    if (as_is) return true;
    std::optional<Value> converted = coerce(v, t);
    if (!converted) return false;
    v = std::move(*converted);
    return true;
}

static std::optional<Ordering> double_order(double a, double b) {
    if (a < b) return Ordering::Less;
    if (a > b) return Ordering::Greater;
    if (a == b) return Ordering::Equal;
    return std::nullopt;  // NaN on either side
}

static Ordering byte_order(const std::string& a, const std::string& b) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
    if (c != 0) return c < 0 ? Ordering::Less : Ordering::Greater;
    if (a.size() == b.size()) return Ordering::Equal;
    return a.size() < b.size() ? Ordering::Less : Ordering::Greater;
}

std::optional<Ordering> value_order(const Value& l, const Value& r) {
    ValueTag lt = l.tag();
    ValueTag rt = r.tag();
    if (lt == ValueTag::I64) {
        if (rt == ValueTag::I64) {
            int64_t a = l.as_i64(), b = r.as_i64();
            return a < b ? Ordering::Less : a > b ? Ordering::Greater : Ordering::Equal;
        }
        if (rt == ValueTag::F64) return double_order(static_cast<double>(l.as_i64()), r.as_f64());
        if (rt == ValueTag::Dec) return dec_cmp(l.as_i64(), 0, r.as_dec().u, r.as_dec().s);
        return std::nullopt;
    }
    if (lt == ValueTag::F64) {
        if (rt == ValueTag::F64) return double_order(l.as_f64(), r.as_f64());
        if (rt == ValueTag::I64) return double_order(l.as_f64(), static_cast<double>(r.as_i64()));
        return std::nullopt;
    }
    if (lt == ValueTag::Dec) {
        if (rt == ValueTag::Dec) return dec_cmp(l.as_dec().u, l.as_dec().s, r.as_dec().u, r.as_dec().s);
        if (rt == ValueTag::I64) return dec_cmp(l.as_dec().u, l.as_dec().s, r.as_i64(), 0);
        return std::nullopt;
    }
    if (lt == ValueTag::Str && rt == ValueTag::Str) return byte_order(l.as_str(), r.as_str());
    if (lt == ValueTag::Bool && rt == ValueTag::Bool) {
        bool a = l.as_bool(), b = r.as_bool();
        return a == b ? Ordering::Equal : (!a ? Ordering::Less : Ordering::Greater);
    }
    return std::nullopt;
}

bool eval_cmp(const Value& l, CmpOp op, const Value& r) {
    auto o = value_order(l, r);
    if (!o) return false;
    switch (op) {
        case CmpOp::Eq: return *o == Ordering::Equal;
        case CmpOp::Ne: return *o != Ordering::Equal;
        case CmpOp::Lt: return *o == Ordering::Less;
        case CmpOp::Le: return *o != Ordering::Greater;
        case CmpOp::Gt: return *o == Ordering::Greater;
        case CmpOp::Ge: return *o != Ordering::Less;
    }
    return false;
}

}  // namespace quarn
