// Values, field types and the one comparison routine of the engine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "store/decimal.h"

namespace quarn {

// Tags 0 to 5, in this order; the order is relied on.
enum class ValueTag : uint8_t { I64 = 0, F64 = 1, Str = 2, Bool = 3, Null = 4, Dec = 5 };

struct NullValue {
    bool operator==(const NullValue&) const = default;
};

// A field value. A Dec keeps its own scale: (150, 2) and (15, 1) are distinct
// values that compare equal under eval_cmp.
class Value {
public:
    Value() : v_(NullValue{}) {}
    static Value i64(int64_t v) { return Value(Payload(std::in_place_index<0>, v)); }
    static Value f64(double v) { return Value(Payload(std::in_place_index<1>, v)); }
    static Value str(std::string v) { return Value(Payload(std::in_place_index<2>, std::move(v))); }
    static Value boolean(bool v) { return Value(Payload(std::in_place_index<3>, v)); }
    static Value null() { return Value(); }
    static Value dec(i128 u, uint8_t s) { return Value(Payload(std::in_place_index<5>, DecParts{u, s})); }

    ValueTag tag() const { return static_cast<ValueTag>(v_.index()); }
    bool is_null() const { return tag() == ValueTag::Null; }

    // Accessors; the tag must match.
    int64_t as_i64() const { return std::get<0>(v_); }
    double as_f64() const { return std::get<1>(v_); }
    const std::string& as_str() const { return std::get<2>(v_); }
    std::string& as_str_mut() { return std::get<2>(v_); }
    bool as_bool() const { return std::get<3>(v_); }
    const DecParts& as_dec() const { return std::get<5>(v_); }

    // Structural equality (same variant, same payload, same scale; NaN != NaN).
    // Not the rule-language comparison: see eval_cmp.
    bool operator==(const Value& o) const = default;

private:
    using Payload = std::variant<int64_t, double, std::string, bool, NullValue, DecParts>;
    explicit Value(Payload p) : v_(std::move(p)) {}
    Payload v_;
};

// Codes 0 to 4 in this order.
enum class FieldKind : uint8_t { I64 = 0, F64 = 1, Str = 2, Bool = 3, Dec = 4 };

// A declared field type; p and s are read only for Dec. Nullability belongs to
// the column, not to the type.
struct FieldType {
    FieldKind kind = FieldKind::I64;
    uint8_t p = 0;
    uint8_t s = 0;

    static FieldType i64() { return {FieldKind::I64, 0, 0}; }
    static FieldType f64() { return {FieldKind::F64, 0, 0}; }
    static FieldType str() { return {FieldKind::Str, 0, 0}; }
    static FieldType boolean() { return {FieldKind::Bool, 0, 0}; }
    static FieldType dec(uint8_t p, uint8_t s) { return {FieldKind::Dec, p, s}; }

    bool operator==(const FieldType& o) const {
        return kind == o.kind && (kind != FieldKind::Dec || (p == o.p && s == o.s));
    }
};

// Comparison operators, codes 0 to 5 in this order. Network nodes store the
// same codes, with 6 for "no index" and 7 for an equality key.
enum class CmpOp : uint8_t { Eq = 0, Ne = 1, Lt = 2, Le = 3, Gt = 4, Ge = 5 };

// A constant written in rule text; tags 0 to 4 in this order.
enum class LiteralTag : uint8_t { I64 = 0, F64 = 1, Str = 2, Bool = 3, Null = 4 };

struct Literal {
    LiteralTag tag = LiteralTag::Null;
    int64_t i = 0;
    double f = 0;
    std::string s;
    bool b = false;

    static Literal i64(int64_t v) { return {LiteralTag::I64, v, 0, {}, false}; }
    static Literal f64(double v) { return {LiteralTag::F64, 0, v, {}, false}; }
    static Literal str(std::string v) { return {LiteralTag::Str, 0, 0, std::move(v), false}; }
    static Literal boolean(bool v) { return {LiteralTag::Bool, 0, 0, {}, v}; }
    static Literal null() { return {}; }

    bool operator==(const Literal&) const = default;
};

// Null maps to I64: callers test for Null before relying on the type.
FieldType type_of(const Value& v);
FieldType lit_type(const Literal& l);
Value lit_value(const Literal& l);

// Converts a value to a field's type, or nothing (see the conversion table in
// value.cpp). Null converts to Null for every type.
std::optional<Value> coerce(Value v, const FieldType& target);
// coerce in place: `v` becomes the converted value, or stays as it was when
// it does not convert (false). A value of the field's own kind, and null,
// are left where they are without a copy.
bool coerce_in_place(Value& v, const FieldType& target);

// The ordering of two values, or nothing when the pair has no order (a Null,
// a NaN, text against numbers, F64 against Dec, ...).
std::optional<Ordering> value_order(const Value& l, const Value& r);

// Never fails: pairs without an order are false for every operator, Ne too.
bool eval_cmp(const Value& l, CmpOp op, const Value& r);

}  // namespace quarn
