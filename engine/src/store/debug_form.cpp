// The debug forms of values, field types, operators and handles.
#include "store/debug_form.h"

#include "common/text.h"

namespace quarn {

std::string debug(const Value& v) {
    switch (v.tag()) {
        case ValueTag::I64: return fmt("I64({})", v.as_i64());
        case ValueTag::F64: return fmt("F64({})", float_debug_text(v.as_f64()));
        case ValueTag::Str: return fmt("Str({})", quoted(v.as_str()));
        case ValueTag::Bool: return fmt("Bool({})", v.as_bool());
        case ValueTag::Null: return "Null";
        case ValueTag::Dec: return fmt("Dec {{ u: {}, s: {} }}", v.as_dec().u, v.as_dec().s);
    }
    return "Null";
}

std::string debug(const FieldType& t) {
    switch (t.kind) {
        case FieldKind::I64: return "I64";
        case FieldKind::F64: return "F64";
        case FieldKind::Str: return "Str";
        case FieldKind::Bool: return "Bool";
        case FieldKind::Dec: return fmt("Dec {{ p: {}, s: {} }}", t.p, t.s);
    }
    return "I64";
}

std::string debug(CmpOp op) {
    static constexpr const char* names[] = {"Eq", "Ne", "Lt", "Le", "Gt", "Ge"};
    return names[static_cast<int>(op)];
}

std::string debug(const Literal& l) { return debug(lit_value(l)); }

std::string debug_fact_id(uint32_t id) { return fmt("FactId({})", id); }

const char* type_word(FieldKind k) {
    switch (k) {
        case FieldKind::I64: return "Long";
        case FieldKind::F64: return "Double";
        case FieldKind::Str: return "String";
        case FieldKind::Bool: return "Boolean";
        case FieldKind::Dec: return "Decimal";
    }
    return "Long";
}

}  // namespace quarn
