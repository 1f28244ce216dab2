// Tables from Python: any object exporting the Arrow C stream, or a dict of
// column lists, converted into engine values column by column.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arrow_stream.h"
#include "py_support.h"
#include "store/fact_store.h"
#include "value_column.h"

namespace quarn::py {

using FieldList = std::vector<std::pair<std::string, FieldType>>;

// One converted table: every column has as many values as there are rows.
// Nullability is not carried: the declared mask was enforced while converting.
struct IngestedTable {
    FieldList fields;
    std::vector<ValueColumn> columns;

    size_t rows() const { return columns.empty() ? 0 : columns[0].size(); }
};

// `declared`, when given, governs the types and nullability of the columns
// whose names it declares; other columns are typed from the data.
PyResult<IngestedTable> ingest_any(std::string_view type_name, PyObject* data, const TypeSchema* declared);

// The field type of an Arrow column of an undeclared field.
PyResult<FieldType> map_dtype(std::string_view type_name, const arrow::Column& column);

// "[(\"a\", I64), (\"b\", Dec { p: 10, s: 2 })]"
std::string field_list_text(const FieldList& fields);

}  // namespace quarn::py
