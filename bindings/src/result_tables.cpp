// Fact tables, the audit table and the JSON text of facts.
#include "result_tables.h"

#include <charconv>
#include <cmath>
#include <map>

#include "common/text.h"
#include "store/decimal.h"

namespace quarn::py {

namespace {

std::string arrow_format(const FieldType& t) {
    switch (t.kind) {
        case FieldKind::I64: return "l";
        case FieldKind::F64: return "g";
        case FieldKind::Str: return "u";
        case FieldKind::Bool: return "b";
        case FieldKind::Dec: return fmt("d:{},{}", unsigned(t.p), unsigned(t.s));
    }
    return "n";
}

void json_string(std::string& out, std::string_view s) {
    static const char hex[] = "0123456789abcdef";
    out += '"';
    for (char ch : s) {
        auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\f': out += "\\f"; break;
            case '\r': out += "\\r"; break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += hex[c >> 4];
                    out += hex[c & 15];
                } else {
                    out += ch;
                }
        }
    }
    out += '"';
}

std::string json_value(const Value& v) {
    switch (v.tag()) {
        case ValueTag::I64: return std::to_string(v.as_i64());
        case ValueTag::F64: return std::isfinite(v.as_f64()) ? json_float(v.as_f64()) : "null";
        case ValueTag::Str: {
            std::string out;
            json_string(out, v.as_str());
            return out;
        }
        case ValueTag::Bool: return v.as_bool() ? "true" : "false";
        case ValueTag::Null: return "null";
        case ValueTag::Dec: {
            std::string out;
            json_string(out, dec_render(v.as_dec().u, v.as_dec().s));
            return out;
        }
    }
    return "null";
}

// Appends one cell of `column` (whose field has `type`), or returns the error.
Result<void, std::string> push_cell(arrow::ColumnBuilder& b, const FieldType& type, const std::string& field,
                                    const Value& v) {
    if (v.is_null()) {
        b.push_null();
        return {};
    }
    auto drift = [&] { return err(fmt("{}: column type drift", field)); };
    switch (type.kind) {
        case FieldKind::I64:
            if (v.tag() != ValueTag::I64) return drift();
            b.push_i64(v.as_i64());
            return {};
        case FieldKind::F64:
            if (v.tag() != ValueTag::F64) return drift();
            b.push_f64(v.as_f64());
            return {};
        case FieldKind::Str:
            if (v.tag() != ValueTag::Str) return drift();
            if (!b.push_str(v.as_str())) return err(fmt("{}: text column exceeds 2147483647 bytes", field));
            return {};
        case FieldKind::Bool:
            if (v.tag() != ValueTag::Bool) return drift();
            b.push_bool(v.as_bool());
            return {};
        case FieldKind::Dec: {
            if (v.tag() != ValueTag::Dec) return drift();
            std::optional<i128> u = dec_rescale(v.as_dec().u, v.as_dec().s, type.s);
            if (!u) return err(fmt("{}: decimal rescale overflow", field));
            b.push_dec(*u);
            return {};
        }
    }
    return drift();
}

}  // namespace

std::string json_float(double v) {
    std::string out;
    if (std::signbit(v)) out += '-';
    v = std::fabs(v);
    if (v == 0) return out + "0.0";
    // Scientific with no precision: the shortest digits that read back.
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string_view sci(buf, size_t(r.ptr - buf));
    size_t epos = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, epos))
        if (c != '.') digits += c;
    int e = 0;
    std::from_chars(sci.data() + epos + (sci[epos + 1] == '+' ? 2 : 1), sci.data() + sci.size(), e);
    int n = static_cast<int>(digits.size());
    if (e >= -5 && e <= 15) {
        if (e < 0) return out + "0." + std::string(size_t(-e - 1), '0') + digits;
        if (n <= e + 1) return out + digits + std::string(size_t(e + 1 - n), '0') + ".0";
        return out + digits.substr(0, size_t(e + 1)) + "." + digits.substr(size_t(e + 1));
    }
    out += digits[0];
    if (n > 1) out += "." + digits.substr(1);
    out += e >= 0 ? "e+" : "e-";
    out += std::to_string(e >= 0 ? e : -e);
    return out;
}

std::string fact_json(const FactView& view) {
    std::map<std::string, std::string> entries;
    for (const auto& [name, value] : view.fields) entries[name] = json_value(value);
    if (view.members) {
        std::string arr = "[";
        for (size_t i = 0; i < view.members->size(); ++i) {
            if (i) arr += ',';
            const auto& m = (*view.members)[i];
            if (m) json_string(arr, fact_json(*m));
            else arr += "null";
        }
        arr += ']';
        entries["value"] = std::move(arr);
    }
    std::string out = "{";
    bool first = true;
    for (const auto& [k, v] : entries) {
        if (!first) out += ',';
        first = false;
        json_string(out, k);
        out += ':';
        out += v;
    }
    return out + "}";
}

Result<std::shared_ptr<const arrow::Batch>, std::string> batch_for_type(const TypeSchema& schema,
                                                                        const std::vector<const FactView*>& views) {
    auto batch = std::make_shared<arrow::Batch>();
    batch->rows = static_cast<int64_t>(views.size());
    arrow::ColumnBuilder handles("_handle", "l", false, views.size());
    for (const FactView* v : views) handles.push_i64(v->id);
    batch->columns.push_back(handles.finish());
    for (size_t f = 0; f < schema.fields.size(); ++f) {
        const auto& [name, type] = schema.fields[f];
        bool nullable = schema.is_nullable(f);
        arrow::ColumnBuilder b(name, arrow_format(type), nullable, views.size());
        for (const FactView* v : views) {
            if (v->fields.size() <= f) return err(fmt("{}: fact {} carries no value for this field", name, v->id));
            QUARN_CHECK(push_cell(b, type, name, v->fields[f].second));
        }
        auto column = b.finish();
        if (!nullable && column->null_count)
            return err(fmt("arrow batch build failed: Invalid argument error: Column '{}' is declared as non-nullable "
                           "but contains null values",
                           name));
        batch->columns.push_back(std::move(column));
    }
    return std::shared_ptr<const arrow::Batch>(std::move(batch));
}

Result<std::shared_ptr<const arrow::Batch>, std::string> audit_batch(const std::vector<Firing>& firings) {
    arrow::ColumnBuilder seq("seq", "l", false, 0), rule("rule", "u", false, 0), pos("pos", "l", false, 0),
        type("type", "u", false, 0), handle("handle", "l", false, 0), json("values_json", "u", false, 0);
    int64_t rows = 0;
    for (size_t i = 0; i < firings.size(); ++i) {
        const Firing& f = firings[i];
        for (size_t p = 0; p < f.facts.size(); ++p) {
            const FactView& v = f.facts[p];
            seq.push_i64(static_cast<int64_t>(i));
            pos.push_i64(static_cast<int64_t>(p));
            handle.push_i64(v.id);
            if (!rule.push_str(f.rule) || !type.push_str(v.type_name) || !json.push_str(fact_json(v)))
                return err(std::string("audit batch build failed: a text column exceeds 2147483647 bytes"));
            ++rows;
        }
    }
    auto batch = std::make_shared<arrow::Batch>();
    batch->rows = rows;
    for (auto* b : {&seq, &rule, &pos, &type, &handle, &json}) batch->columns.push_back(b->finish());
    return std::shared_ptr<const arrow::Batch>(std::move(batch));
}

}  // namespace quarn::py
