// Python values to engine values, under the declared field they are meant for.
#pragma once

#include <string>
#include <string_view>

#include "py_support.h"
#include "store/fact_store.h"
#include "store/value.h"

namespace quarn::py {

// The declared field a value is converted for, or none (`declared` false),
// which counts as non-nullable and not decimal.
struct FieldHint {
    bool declared = false;
    FieldType type;
    bool nullable = false;

    static FieldHint none() { return {}; }
    static FieldHint of(const TypeSchema& schema, size_t field) {
        return {true, schema.fields[field].second, schema.is_nullable(field)};
    }
    bool is_dec() const { return declared && type.kind == FieldKind::Dec; }
};

// Messages name the value's place as "{type}.{field}: ".
PyResult<Value> py_scalar(std::string_view type_name, std::string_view field, PyObject* value, FieldHint hint);
// Text to a decimal of the hint's scale and precision; the hint must be a decimal.
PyResult<Value> py_dec_from_str(std::string_view type_name, std::string_view field, std::string_view text,
                                FieldHint hint);

}  // namespace quarn::py
