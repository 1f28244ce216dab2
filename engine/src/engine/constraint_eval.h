// Constraint evaluation: the pure services that the rule compiler's checks,
// the runtime's alpha tests and the join environment share. Nothing here
// changes the store; missing or wrongly typed data makes a test fail (or
// Unknown inside a group), never an error.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "engine/compiler/compiled_rule.h"
#include "store/fact_store.h"

namespace quarn {

// Three-valued truth of constraint groups; only True passes a fact.
enum class Truth : uint8_t { False = 0, True = 1, Unknown = 2 };

// The single-field tests: IsNull, Unknown, Matches (whole text), Contains.
// Cmp, Temporal and Group are evaluated by their callers; reaching here with
// one of those is an internal error.
bool eval_alpha_test(const Value& v, const Test& test);

// A group against the fact under test. A group that refers to bindings needs
// the left tuple; an operand whose position equals `self_position` reads the
// fact under test itself.
Truth eval_gexpr(const GExpr& g, const FactStore& store, FactId fact, std::optional<std::span<const FactId>> tuple,
                 std::optional<size_t> self_position);

// eval_cmp, except that I64 == F64 compares the integer with the float
// truncated toward zero (saturating, NaN as 0): 3 == 3.7 holds in a join.
bool eval_cmp_join(const Value& l, CmpOp op, const Value& r);

// The thirteen interval relations between this event (as, ae) and the other
// (bs, be), bounds inclusive, with the defaults for missing bounds. Differences
// are exact: times far apart never wrap into a spurious match.
bool eval_allen(AllenOp op, std::span<const int64_t> bounds, int64_t as, int64_t ae, int64_t bs, int64_t be);

// An exact decimal for a literal compared with, or assigned to, a decimal
// field: I64 n -> Dec n at scale 0; F64 through its shortest round-trip text;
// Dec unchanged; none for anything else or a float that is not exact in 38
// fraction digits.
std::optional<Value> lit_for_dec(const Value& v);

// None when `l op r` may be compiled; else the rule's error message.
std::optional<std::string> check_cmp_types(std::string_view rule, const FieldType& l, CmpOp op, const FieldType& r);

// The canonical key text of a scalar: equality and ordering key of groupby
// groups and CollectSet members. 1 and 1.0 differ, so do 1.5 and 1.50.
std::string scalar_canon_key(const Value& v);

// A scalar shown as a one-field pseudo fact ("Long", "Double", "String",
// "Boolean", "Null" or "Decimal" with the field "value"; id u32::MAX).
FactView scalar_view(Value v);

}  // namespace quarn
