// Table ingest: form detection, the Arrow stream form and the dict form.
#include "ingest.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "common/text.h"
#include "convert.h"
#include "names.h"
#include "store/debug_form.h"
#include "store/decimal.h"

namespace quarn::py {

using arrow::Kind;

std::string field_list_text(const FieldList& fields) {
    std::string out = "[";
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i) out += ", ";
        out += fmt("({}, {})", quoted(fields[i].first), debug(fields[i].second));
    }
    return out + "]";
}

namespace {

// An error found while foreign Arrow structures are still held. It is raised
// only after they were released: a producer's release callback may run Python
// code, which must not happen while an exception is set.
struct Refusal {
    PyObject* type;
    std::string message;
};
template <class T>
using ArrowResult = Result<T, Refusal>;
using ArrowStatus = Result<void, Refusal>;

Err<Refusal> refuse(PyObject* type, std::string message) { return err(Refusal{type, std::move(message)}); }

ArrowResult<FieldType> map_arrow_type(std::string_view type_name, const arrow::Column& column) {
    switch (column.kind) {
        case Kind::Boolean: return FieldType::boolean();
        case Kind::Int8: case Kind::Int16: case Kind::Int32: case Kind::Int64:
        case Kind::UInt8: case Kind::UInt16: case Kind::UInt32: return FieldType::i64();
        case Kind::Float32: case Kind::Float64: return FieldType::f64();
        case Kind::Utf8: case Kind::LargeUtf8: case Kind::Utf8View: return FieldType::str();
        case Kind::Decimal128:
            if (column.precision >= 1 && column.precision <= 38 && column.scale >= 0 && column.scale <= column.precision)
                return FieldType::dec(static_cast<uint8_t>(column.precision), static_cast<uint8_t>(column.scale));
            return refuse(PyExc_TypeError, fmt("{}.{}: decimal128({},{}) is outside Decimal128 limits", type_name,
                                               column.name, column.precision, column.scale));
        default: break;
    }
    return refuse(PyExc_TypeError,
                  fmt("{}.{}: Arrow type {} is outside the certified subset (supported: int8..int64/uint8..uint32 -> "
                      "i64, float32/64 -> f64, bool, utf8; cast or drop the column first)",
                      type_name, column.name, column.display));
}

}  // namespace

PyResult<FieldType> map_dtype(std::string_view type_name, const arrow::Column& column) {
    auto t = map_arrow_type(type_name, column);
    if (!t) return raise(t.error().type, t.error().message);
    return *t;
}

namespace {

std::optional<size_t> declared_index(const TypeSchema* declared, std::string_view name) {
    if (!declared) return std::nullopt;
    for (size_t i = 0; i < declared->fields.size(); ++i)
        if (declared->fields[i].first == name) return i;
    return std::nullopt;
}

// A Decimal128 cell from a column of any stated scale to the target scale.
std::optional<i128> rescale_cell(i128 u, int32_t from, uint8_t to) {
    if (from < 0) {
        auto factor = pow10_i128(static_cast<unsigned>(-static_cast<int64_t>(from)));
        if (!factor) return u == 0 ? std::optional<i128>(0) : std::nullopt;
        auto scaled = checked_mul(u, *factor);
        if (!scaled) return std::nullopt;
        return dec_rescale(*scaled, 0, to);
    }
    return dec_rescale(u, static_cast<uint8_t>(from > 255 ? 255 : from), to);
}

bool is_float(Kind k) { return k == Kind::Float32 || k == Kind::Float64; }
bool is_text(Kind k) { return k == Kind::Utf8 || k == Kind::LargeUtf8 || k == Kind::Utf8View; }

// The integer at a row of one of the seven integer kinds, widened to i64.
int64_t int_at(const arrow::ColumnSlice& c, Kind k, int64_t row) {
    const void* b = c.buffer(1);
    int64_t p = c.start + row;
    switch (k) {
        case Kind::Int8: return arrow::load<int8_t>(b, p);
        case Kind::Int16: return arrow::load<int16_t>(b, p);
        case Kind::Int32: return arrow::load<int32_t>(b, p);
        case Kind::Int64: return arrow::load<int64_t>(b, p);
        case Kind::UInt8: return arrow::load<uint8_t>(b, p);
        case Kind::UInt16: return arrow::load<uint16_t>(b, p);
        case Kind::UInt32: return arrow::load<uint32_t>(b, p);
        default: unreachable("int_at on a non-integer column");
    }
}

bool is_int(Kind k) {
    switch (k) {
        case Kind::Int8: case Kind::Int16: case Kind::Int32: case Kind::Int64:
        case Kind::UInt8: case Kind::UInt16: case Kind::UInt32: return true;
        default: return false;
    }
}

// Widens every cell of a fixed-width column into `cells`; cells already of
// the stored width are copied in one piece.
template <class T, class Cells>
void append_cells(Cells& cells, const arrow::ColumnSlice& c) {
    using Cell = typename Cells::value_type;
    const auto* b = static_cast<const uint8_t*>(c.buffer(1));
    if constexpr (std::is_same_v<T, Cell>) {
        cells.append_bytes(b + c.start * int64_t{sizeof(Cell)}, static_cast<size_t>(c.rows));
    } else {
        for (int64_t i = 0; i < c.rows; ++i) cells.push_back(arrow::load<T>(b, c.start + i));
    }
}

template <class T>
void append_ints(ValueColumn& out, const arrow::ColumnSlice& c) {
    append_cells<T>(out.append_i64(static_cast<size_t>(c.rows)), c);
}

template <class T>
void append_floats(ValueColumn& out, const arrow::ColumnSlice& c) {
    append_cells<T>(out.append_f64(static_cast<size_t>(c.rows)), c);
}

// Every row of a column that holds no nulls, in one pass.
ArrowStatus convert_whole_column(std::string_view type_name, const arrow::Column& col, const arrow::ColumnSlice& c,
                                 ValueColumn& out) {
    size_t n = static_cast<size_t>(c.rows);
    switch (col.kind) {
        case Kind::Boolean: {
            std::vector<uint8_t>& v = out.append_bool(n);
            for (int64_t i = 0; i < c.rows; ++i) v.push_back(arrow::bit_at(c.buffer(1), c.start + i));
            return {};
        }
        case Kind::Int8: append_ints<int8_t>(out, c); return {};
        case Kind::Int16: append_ints<int16_t>(out, c); return {};
        case Kind::Int32: append_ints<int32_t>(out, c); return {};
        case Kind::Int64: append_ints<int64_t>(out, c); return {};
        case Kind::UInt8: append_ints<uint8_t>(out, c); return {};
        case Kind::UInt16: append_ints<uint16_t>(out, c); return {};
        case Kind::UInt32: append_ints<uint32_t>(out, c); return {};
        case Kind::Float32: append_floats<float>(out, c); return {};
        case Kind::Float64: append_floats<double>(out, c); return {};
        case Kind::Utf8: case Kind::LargeUtf8: case Kind::Utf8View: {
            std::vector<std::string>& v = out.append_str(n);
            for (int64_t i = 0; i < c.rows; ++i) v.emplace_back(arrow::string_at(c, col.kind, i));
            return {};
        }
        default: break;
    }
    return refuse(PyExc_TypeError, fmt("{}.{}: unsupported Arrow type {}", type_name, col.name, col.display));
}

// Row by row, for a nullable declared field: nulls and float NaNs become Null.
ArrowStatus convert_rows(std::string_view type_name, const arrow::Column& col, const arrow::ColumnSlice& c,
                         ValueColumn& out) {
    if (!(col.kind == Kind::Boolean || is_int(col.kind) || is_float(col.kind) || is_text(col.kind)))
        return refuse(PyExc_TypeError,
                      fmt("{}.{}: Arrow type {} is outside the certified subset", type_name, col.name, col.display));
    out.reserve(out.size() + static_cast<size_t>(c.rows));
    for (int64_t i = 0; i < c.rows; ++i) {
        if (c.is_null(i)) {
            out.push(Value::null());
        } else if (col.kind == Kind::Boolean) {
            out.push(Value::boolean(arrow::bit_at(c.buffer(1), c.start + i)));
        } else if (is_int(col.kind)) {
            out.push(Value::i64(int_at(c, col.kind, i)));
        } else if (is_float(col.kind)) {
            double d = col.kind == Kind::Float32 ? double(arrow::load<float>(c.buffer(1), c.start + i))
                                                  : arrow::load<double>(c.buffer(1), c.start + i);
            out.push(std::isnan(d) ? Value::null() : Value::f64(d));
        } else {
            out.push(Value::str(std::string(arrow::string_at(c, col.kind, i))));
        }
    }
    return {};
}

ArrowStatus convert_decimals(std::string_view type_name, const arrow::Column& col, const arrow::ColumnSlice& c,
                             FieldType target, ValueColumn& out) {
    i128 bound = pow10_i128(target.p).value_or(kI128Max) - 1;
    bool same_scale = col.scale == target.s;
    auto cell_at = [&](int64_t i) -> std::optional<i128> {
        i128 cell = arrow::load<i128>(c.buffer(1), c.start + i);
        auto u = same_scale ? std::optional<i128>(cell) : rescale_cell(cell, col.scale, target.s);
        if (!u || *u > bound || *u < -bound) return std::nullopt;
        return u;
    };
    auto overflow = [&] {
        return refuse(PyExc_ValueError,
                      fmt("{}.{}: decimal value overflows decimal({},{})", type_name, col.name, target.p, target.s));
    };
    if (c.nulls == 0) {
        std::vector<DecParts>& v = out.append_dec(static_cast<size_t>(c.rows));
        for (int64_t i = 0; i < c.rows; ++i) {
            auto u = cell_at(i);
            if (!u) return overflow();
            v.push_back({*u, target.s});
        }
        return {};
    }
    out.reserve(out.size() + static_cast<size_t>(c.rows));
    for (int64_t i = 0; i < c.rows; ++i) {
        if (c.is_null(i)) {
            out.push(Value::null());
            continue;
        }
        auto u = cell_at(i);
        if (!u) return overflow();
        out.push(Value::dec(*u, target.s));
    }
    return {};
}

// Reads the whole stream; the reader and its batches are released before the
// caller raises a refusal.
ArrowResult<IngestedTable> read_stream(std::string_view type_name, arrow::OwnedStream stream, const TypeSchema* declared) {
    auto opened = arrow::StreamReader::open(std::move(stream));
    if (!opened) return refuse(PyExc_ValueError, fmt("arrow stream import failed: {}", opened.error()));
    arrow::StreamReader reader = std::move(opened).value();

    const auto& cols = reader.columns();
    IngestedTable table;
    std::vector<std::optional<size_t>> matched;
    for (size_t i = 0; i < cols.size(); ++i) {
        const arrow::Column& col = cols[i];
        if (std::optional<std::string> bad = name_bytes_refusal(col.name, fmt("{}: column {}", type_name, i)))
            return refuse(PyExc_ValueError, std::move(*bad));
        auto index = declared_index(declared, col.name);
        matched.push_back(index);
        if (index) {
            table.fields.emplace_back(col.name, declared->fields[*index].second);
        } else {
            QUARN_TRY(FieldType t, map_arrow_type(type_name, col));
            table.fields.emplace_back(col.name, t);
        }
    }
    table.columns.resize(cols.size());

    arrow::RecordBatch batch;
    while (true) {
        auto more = reader.next(batch);
        if (!more) return refuse(PyExc_ValueError, fmt("arrow read: {}", more.error()));
        if (!*more) break;
        for (size_t i = 0; i < cols.size(); ++i) {
            const arrow::Column& col = cols[i];
            const arrow::ColumnSlice& c = batch.column(i);
            FieldHint hint = matched[i] ? FieldHint::of(*declared, *matched[i]) : FieldHint::none();
            bool nullable = hint.declared && hint.nullable;
            if (!nullable && c.nulls > 0)
                return refuse(PyExc_ValueError,
                              fmt("{}.{}: {} null(s) present — nulls are outside the certified subset; drop or fill "
                                  "them before insertion",
                                  type_name, col.name, c.nulls));
            ValueColumn& out = table.columns[i];
            if (col.kind == Kind::Decimal128) {
                if (hint.declared && hint.type.kind != FieldKind::Dec)
                    return refuse(PyExc_TypeError,
                                  fmt("{}.{}: decimal column for a {} field", type_name, col.name, debug(hint.type)));
                QUARN_CHECK(convert_decimals(type_name, col, c, table.fields[i].second, out));
            } else if (nullable && (c.nulls > 0 || is_float(col.kind))) {
                QUARN_CHECK(convert_rows(type_name, col, c, out));
            } else {
                QUARN_CHECK(convert_whole_column(type_name, col, c, out));
            }
        }
    }
    return table;
}

PyResult<IngestedTable> ingest_arrow(std::string_view type_name, PyObject* data, const TypeSchema* declared) {
    PyRef capsule = PyRef::steal(PyObject_CallMethod(data, "__arrow_c_stream__", nullptr));
    if (!capsule) return raised();
    if (!PyObject_TypeCheck(capsule.get(), &PyCapsule_Type))
        return raise(PyExc_TypeError, fmt("'{}' object cannot be converted to 'PyCapsule'", type_name_of(capsule.get())));
    const char* name = PyCapsule_GetName(capsule.get());
    if (!name) {
        if (PyErr_Occurred()) return raised();
        return raise(PyExc_ValueError, "capsule is not an arrow_array_stream");
    }
    if (std::string_view(name) != "arrow_array_stream") return raise(PyExc_ValueError, "capsule is not an arrow_array_stream");
    auto* raw = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.get(), name));
    if (!raw) return raised();
    // The capsule keeps a released shell; its destructor then releases nothing.
    auto table = read_stream(type_name, arrow::OwnedStream(raw), declared);
    if (!table) return raise(table.error().type, table.error().message);
    return std::move(table).value();
}

PyResult<IngestedTable> ingest_dict(std::string_view type_name, PyObject* data, const TypeSchema* declared) {
    // A snapshot of the items: conversion may run Python code that changes the dict.
    PyRef items = PyRef::steal(PyDict_Items(data));
    if (!items) return raised();
    IngestedTable table;
    Py_ssize_t n = PyList_Size(items.get());
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* item = PyList_GetItem(items.get(), k);
        if (!item) return raised();
        PyObject* key = PyTuple_GetItem(item, 0);
        PyObject* values = PyTuple_GetItem(item, 1);
        if (!key || !values) return raised();
        QUARN_TRY(std::string name, name_text(key, fmt("{}: column {}", type_name, k)));
        if (!PyList_Check(values)) return raise(PyExc_TypeError, fmt("{}.{}: expected a list of values", type_name, name));

        auto index = declared_index(declared, name);
        FieldHint hint = index ? FieldHint::of(*declared, *index) : FieldHint::none();
        std::optional<FieldType> kind;
        if (index) kind = hint.type;
        std::vector<Value> column;
        bool widen = false;
        for (Py_ssize_t i = 0; i < PyList_Size(values); ++i) {
            PyRef element = PyRef::borrow(PyList_GetItem(values, i));
            if (!element) return raised();
            QUARN_TRY(Value v, py_scalar(type_name, name, element.get(), hint));
            if (v.tag() != ValueTag::Null && v.tag() != ValueTag::Dec) {
                FieldType t = type_of(v);
                if (!kind) {
                    kind = t;
                } else if (kind->kind == FieldKind::I64 && t.kind == FieldKind::F64) {
                    kind = t;
                    widen = true;
                } else if (kind->kind == FieldKind::F64 && t.kind == FieldKind::I64) {
                    widen = true;
                } else if (kind->kind != t.kind) {
                    return raise(PyExc_TypeError,
                                 fmt("{}.{}: mixed types {} vs {}", type_name, name, debug(*kind), debug(t)));
                }
            }
            column.push_back(std::move(v));
        }
        if (!kind)
            return raise(PyExc_TypeError, fmt("{}.{}: empty column — schema cannot be inferred; pass an Arrow table "
                                              "with an explicit schema instead",
                                              type_name, name));
        if (widen && kind->kind == FieldKind::F64)
            for (Value& v : column)
                if (v.tag() == ValueTag::I64) v = Value::f64(static_cast<double>(v.as_i64()));
        if (!table.columns.empty() && column.size() != table.columns[0].size())
            return raise(PyExc_ValueError,
                         fmt("{}: ragged columns ({} vs {} rows)", type_name, table.columns[0].size(), column.size()));
        ValueColumn converted;
        for (Value& v : column) converted.push(std::move(v));
        table.fields.emplace_back(std::move(name), *kind);
        table.columns.push_back(std::move(converted));
    }
    return table;
}

}  // namespace

PyResult<IngestedTable> ingest_any(std::string_view type_name, PyObject* data, const TypeSchema* declared) {
    if (PyDict_Check(data)) return ingest_dict(type_name, data, declared);
    PyRef attr = PyRef::steal(PyObject_GetAttrString(data, "__arrow_c_stream__"));
    if (!attr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return raised();
        PyErr_Clear();
        return raise(PyExc_TypeError,
                     "expected an Arrow-compatible table (anything implementing __arrow_c_stream__: polars.DataFrame, "
                     "pyarrow.Table, ...) or a dict of column lists");
    }
    return ingest_arrow(type_name, data, declared);
}

}  // namespace quarn::py
