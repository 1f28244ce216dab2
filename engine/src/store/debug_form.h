// Debug forms of the engine's values, as messages and keys embed them:
// I64(5), F64(1.0), Str("x"), Bool(true), Null, Dec { u: 150, s: 2 },
// the field types I64 .. Dec { p: 10, s: 2 }, the operators Eq .. Ge and
// FactId(3). Every message and key that shows one of these renders it here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "store/value.h"

namespace quarn {

std::string debug(const Value& v);
std::string debug(const FieldType& t);
std::string debug(CmpOp op);
std::string debug(const Literal& l);
std::string debug_fact_id(uint32_t id);

// Some(<form>) or None, for optional values shown in messages.
template <class T>
std::string debug(const std::optional<T>& v) {
    return v ? "Some(" + debug(*v) + ")" : "None";
}

// The rule language's word for a type: Long, Double, String, Boolean, Decimal.
const char* type_word(FieldKind k);

}  // namespace quarn
