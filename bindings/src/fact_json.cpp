// The JSON text of facts: key order, escapes, and the rendering of numbers.
#include "fact_json.h"

#include <array>
#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

#include "store/decimal.h"

namespace quarn::py {

void JsonText::put(std::string_view s) {
    char* p = room(s.size());
    if (!s.empty()) std::memcpy(p, s.data(), s.size());
    size_ += s.size();
}

void CaptureBytes::add_chunk() { chunks_.push_back(std::make_unique_for_overwrite<uint8_t[]>(kChunk)); }

void JsonText::grow(size_t n) { buf_.resize(std::max(buf_.size() * 2, size_ + n + 64)); }

namespace {

// Writes the bytes of `s` escaped, without quotes.
void json_escaped(JsonText& out, std::string_view s) {
    static const char hex[] = "0123456789abcdef";
    // The longest escape, \u00XX, takes six bytes; long texts go in pieces.
    constexpr size_t kPiece = 4096;
    if (s.size() > kPiece) {
        for (size_t at = 0; at < s.size(); at += kPiece) json_escaped(out, s.substr(at, kPiece));
        return;
    }
    char* p = out.room(s.size() * 6);
    for (char ch : s) {
        auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c != '"' && c != '\\') {
            *p++ = ch;
            continue;
        }
        *p++ = '\\';
        switch (c) {
            case '"': *p++ = '"'; break;
            case '\\': *p++ = '\\'; break;
            case '\b': *p++ = 'b'; break;
            case '\t': *p++ = 't'; break;
            case '\n': *p++ = 'n'; break;
            case '\f': *p++ = 'f'; break;
            case '\r': *p++ = 'r'; break;
            default:
                *p++ = 'u';
                *p++ = '0';
                *p++ = '0';
                *p++ = hex[c >> 4];
                *p++ = hex[c & 15];
        }
    }
    out.wrote(p);
}

void json_string(JsonText& out, std::string_view s) {
    out.put('"');
    json_escaped(out, s);
    out.put('"');
}

void json_i64(JsonText& out, int64_t v) {
    // Small numbers, the usual ones, need no conversion loop.
    if (v >= 0 && v < 10) {
        out.put(static_cast<char>('0' + v));
        return;
    }
    char* p = out.room(20);
    out.wrote(std::to_chars(p, p + 20, v).ptr);
}

void json_float_into(JsonText& out, double v) {
    if (std::signbit(v)) out.put('-');
    v = std::fabs(v);
    if (v == 0) {
        out.put("0.0");
        return;
    }
    // Scientific with no precision: the shortest digits that read back.
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string_view sci(buf, size_t(r.ptr - buf));
    size_t epos = sci.find('e');
    char digit_buf[32];
    size_t n = 0;
    for (char c : sci.substr(0, epos))
        if (c != '.') digit_buf[n++] = c;
    std::string_view digits(digit_buf, n);
    int e = 0;
    std::from_chars(sci.data() + epos + (sci[epos + 1] == '+' ? 2 : 1), sci.data() + sci.size(), e);
    if (e >= -5 && e <= 15) {
        if (e < 0) {
            out.put("0.");
            for (int i = 0; i < -e - 1; ++i) out.put('0');
            out.put(digits);
        } else if (n <= size_t(e) + 1) {
            out.put(digits);
            for (size_t i = n; i < size_t(e) + 1; ++i) out.put('0');
            out.put(".0");
        } else {
            out.put(digits.substr(0, size_t(e) + 1));
            out.put('.');
            out.put(digits.substr(size_t(e) + 1));
        }
        return;
    }
    out.put(digits[0]);
    if (n > 1) {
        out.put('.');
        out.put(digits.substr(1));
    }
    out.put(e >= 0 ? "e+" : "e-");
    json_i64(out, e >= 0 ? e : -e);
}

void json_value(JsonText& out, const Value& v) {
    switch (v.tag()) {
        case ValueTag::I64: json_i64(out, v.as_i64()); return;
        case ValueTag::F64:
            if (std::isfinite(v.as_f64())) json_float_into(out, v.as_f64());
            else out.put("null");
            return;
        case ValueTag::Str: json_string(out, v.as_str()); return;
        case ValueTag::Bool: out.put(v.as_bool() ? "true" : "false"); return;
        case ValueTag::Null: out.put("null"); return;
        case ValueTag::Dec: json_string(out, dec_render(v.as_dec().u, v.as_dec().s)); return;
    }
    out.put("null");
}

// The cell's value as json_value renders Column::get of it.
void json_cell(JsonText& out, const ColumnView& column, uint32_t row) {
    if (column.is_null(row)) {
        out.put("null");
        return;
    }
    switch (column.kind()) {
        case FieldKind::I64: json_i64(out, column.i64s()[row]); return;
        case FieldKind::F64: {
            const double v = column.f64s()[row];
            if (std::isfinite(v)) json_float_into(out, v);
            else out.put("null");
            return;
        }
        case FieldKind::Str: json_string(out, column.strs()[row]); return;
        case FieldKind::Bool: out.put(column.bools()[row] != 0 ? "true" : "false"); return;
        case FieldKind::Dec: {
            const DecParts& d = column.decs()[row];
            json_string(out, dec_render(d.u, d.s));
        }
    }
}

}  // namespace

KeyPlan key_plan(const std::vector<std::string_view>& names, bool members) {
    std::vector<std::pair<std::string_view, size_t>> entries;
    for (size_t i = 0; i < names.size(); ++i) entries.emplace_back(names[i], i);
    if (members) entries.emplace_back("value", names.size());
    std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    KeyPlan plan;
    JsonText key;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (i + 1 < entries.size() && entries[i + 1].first == entries[i].first) continue;
        key.clear();
        key.put(plan.keys.empty() ? '{' : ',');
        json_string(key, entries[i].first);
        key.put(':');
        plan.keys.emplace_back(entries[i].second, std::string(key.view()));
    }
    return plan;
}

namespace {

void write_view(JsonText& out, const FactView& view) {
    std::vector<std::string_view> names;
    names.reserve(view.fields.size());
    for (const auto& field : view.fields) names.push_back(field.first);
    KeyPlan plan = key_plan(names, view.members.has_value());
    if (plan.keys.empty()) out.put('{');
    for (const auto& [index, key] : plan.keys) {
        out.put(key);
        if (index < view.fields.size()) {
            json_value(out, view.fields[index].second);
            continue;
        }
        out.put('[');
        for (size_t m = 0; m < view.members->size(); ++m) {
            if (m) out.put(',');
            const auto& member = (*view.members)[m];
            if (member) json_string(out, fact_json(*member));
            else out.put("null");
        }
        out.put(']');
    }
    out.put('}');
}

// A collected value as a one-field fact: {"value": v}.
FactView pseudo_fact(const Value& v) {
    FactView view;
    view.fields.emplace_back("value", v);
    return view;
}

}  // namespace

TypeId StoredFactJson::write(JsonText& out, const FactStore& store, FactId f, const std::vector<FactId>* members,
                             const std::vector<Value>* values) {
    TypeId t = store.fact_type(f);
    const TypeSchema& schema = store.schema(t);
    const bool listed = members || values;
    std::vector<std::unique_ptr<KeyPlan>>& plans = plans_[listed ? 1 : 0];
    if (plans.size() <= t) plans.resize(size_t(t) + 1);
    if (!plans[t]) {
        std::vector<std::string_view> names;
        for (const auto& field : schema.fields) names.push_back(field.first);
        plans[t] = std::make_unique<KeyPlan>(key_plan(names, listed));
    }
    const KeyPlan& plan = *plans[t];
    uint32_t row = store.row_of(f);
    if (plan.keys.empty()) out.put('{');
    for (const auto& [index, key] : plan.keys) {
        out.put(key);
        if (index < schema.fields.size()) {
            json_cell(out, store.column_view(t, index), row);
            continue;
        }
        // Each member as the store renders it (a value as its pseudo fact),
        // its text a JSON string.
        out.put('[');
        const size_t count = members ? members->size() : values->size();
        for (size_t m = 0; m < count; ++m) {
            if (m) out.put(',');
            json_string(out, fact_json(members ? store.render((*members)[m]) : pseudo_fact((*values)[m])));
        }
        out.put(']');
    }
    out.put('}');
    return t;
}

CapturedForm captured_form(const FactStore& store, TypeId type) {
    const TypeSchema& schema = store.schema(type);
    CapturedForm form;
    std::vector<std::string_view> names;
    for (const auto& field : schema.fields) names.push_back(field.first);
    form.plan = key_plan(names, false);
    // "{" when there is no key, "}" always.
    form.fixed_bound = 2;
    for (const auto& key : form.plan.keys) form.fixed_bound += key.second.size();
    for (size_t i = 0; i < schema.fields.size(); ++i) {
        const ColumnView column = store.column_view(type, i);
        form.kinds.push_back(column.kind());
        form.nullable = form.nullable || column.nullable();
        const bool plain = (column.kind() == FieldKind::I64 || column.kind() == FieldKind::Bool) && !column.nullable();
        (plain ? form.plain : form.others).push_back(static_cast<uint32_t>(i));
        switch (column.kind()) {
            case FieldKind::I64: form.fixed_bound += 20; break;  // -9223372036854775808
            case FieldKind::F64: form.fixed_bound += 32; break;  // 17 digits, sign, point, exponent
            case FieldKind::Str: form.fixed_bound += 2; break;   // the quotes; the text counts per capture
            case FieldKind::Bool: form.fixed_bound += 5; break;
            case FieldKind::Dec: form.fixed_bound += 64;         // 39 digits, sign, point, quotes
        }
    }
    form.word_at.resize(form.kinds.size());
    for (uint32_t i : form.plain) form.word_at[i] = static_cast<uint32_t>(form.codes.size()), form.codes.push_back(WordCode::Step);
    for (uint32_t i : form.others) {
        form.word_at[i] = static_cast<uint32_t>(form.codes.size());
        const FieldKind kind = form.kinds[i];
        const size_t n = kind == FieldKind::Str ? 2 : kind == FieldKind::Dec ? 3 : 1;
        form.codes.insert(form.codes.end(), n, kind == FieldKind::F64 ? WordCode::Raw : WordCode::Step);
    }
    if (form.nullable) form.codes.push_back(WordCode::Step);
    form.words = form.codes.size();
    form.plain_only = form.others.empty() && !form.nullable;
    return form;
}

uint8_t* pack_words(std::span<const WordCode> codes, const uint64_t* words, uint64_t* prev, uint8_t* end) {
    for (size_t k = 0; k < codes.size(); ++k) {
        const uint64_t w = words[k];
        if (codes[k] == WordCode::Raw) {
            for (int b = 0; b < 8; ++b) *end++ = static_cast<uint8_t>(w >> (8 * b));
        } else {
            end = pack_step(w, prev[k], end);
        }
        prev[k] = w;
    }
    return end;
}

uint64_t unpack_step(const CaptureBytes& in, size_t& at, uint64_t prev) {
    uint64_t step = 0;
    for (int shift = 0;; shift += 7) {
        const uint8_t byte = in[at++];
        step |= uint64_t{byte & 0x7fu} << shift;
        if (byte < 0x80) break;
    }
    return prev + ((step >> 1) ^ (0 - (step & 1)));
}

size_t unpack_words(std::span<const WordCode> codes, const CaptureBytes& in, size_t at, uint64_t* words) {
    for (size_t k = 0; k < codes.size(); ++k) {
        if (codes[k] == WordCode::Raw) {
            uint64_t w = 0;
            for (int b = 0; b < 8; ++b) w |= uint64_t{in[at++]} << (8 * b);
            words[k] = w;
        } else {
            words[k] = unpack_step(in, at, words[k]);
        }
    }
    return at;
}

namespace {

// memcmp(a, b, n) == 0 without a call for the short texts a state field
// holds: two loads of each side that overlap in the middle.
bool same_bytes(const char* a, const char* b, size_t n) {
    auto load8 = [](const char* p) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        return v;
    };
    auto load4 = [](const char* p) {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
    };
    if (n > 16) return std::memcmp(a, b, n) == 0;
    if (n >= 8) return load8(a) == load8(b) && load8(a + n - 8) == load8(b + n - 8);
    if (n >= 4) return load4(a) == load4(b) && load4(a + n - 4) == load4(b + n - 4);
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

}  // namespace

size_t capture_fields(const CapturedForm& form, const std::vector<Column>& columns, uint32_t row, uint64_t* prev,
                      uint8_t*& out, std::string& text) {
    uint8_t* end = capture_plain(form, columns, row, prev, out);
    size_t bound = form.fixed_bound;
    // Each word packed as it is read; a null cell's words are those of `prev`
    // (steps of zero), so that a text after a null still finds its match.
    uint64_t* w = prev + form.plain.size();
    auto step = [&](uint64_t v) {
        end = pack_step(v, *w, end);
        *w++ = v;
    };
    uint64_t nulls = 0;
    const Column* const column = columns.data();
    for (uint32_t i : form.others) {
        const ColumnView cells(column[i]);
        const FieldKind kind = form.kinds[i];
        if (cells.is_null(row)) {
            nulls |= uint64_t{1} << i;
            if (kind == FieldKind::F64) {
                for (int b = 0; b < 8; ++b) *end++ = static_cast<uint8_t>(*w >> (8 * b));
                ++w;
                continue;
            }
            const size_t n = kind == FieldKind::Str ? 2 : kind == FieldKind::Dec ? 3 : 1;
            std::memset(end, 0, n);
            end += n, w += n;
            continue;
        }
        switch (kind) {
            case FieldKind::I64: step(static_cast<uint64_t>(cells.i64s()[row])); break;
            case FieldKind::F64: {
                const auto bits = std::bit_cast<uint64_t>(cells.f64s()[row]);
                for (int b = 0; b < 8; ++b) *end++ = static_cast<uint8_t>(bits >> (8 * b));
                *w++ = bits;
                break;
            }
            case FieldKind::Str: {
                const std::string& s = cells.strs()[row];
                // The same text as the capture this one follows keeps its
                // place: a field that takes a few values adds no text.
                uint64_t place = w[0];
                if (s.size() != w[1] || !same_bytes(text.data() + place, s.data(), s.size())) {
                    place = text.size();
                    text += s;
                }
                step(place);
                step(s.size());
                // Each byte escapes to at most six.
                bound += 6 * s.size();
                break;
            }
            case FieldKind::Bool: step(cells.bools()[row]); break;
            case FieldKind::Dec: {
                const DecParts& d = cells.decs()[row];
                const auto bits = static_cast<unsigned __int128>(d.u);
                step(static_cast<uint64_t>(bits));
                step(static_cast<uint64_t>(bits >> 64));
                step(d.s);
            }
        }
    }
    if (form.nullable) step(nulls);
    out = end;
    return bound;
}

void write_captured(JsonText& out, const CapturedForm& form, const uint64_t* at, std::string_view text) {
    const uint64_t nulls = form.nullable ? at[form.words - 1] : 0;
    if (form.plan.keys.empty()) out.put('{');
    for (const auto& [index, key] : form.plan.keys) {
        out.put(key);
        if ((nulls >> index) & 1) {
            out.put("null");
            continue;
        }
        const uint64_t* w = at + form.word_at[index];
        switch (form.kinds[index]) {
            case FieldKind::I64: json_i64(out, static_cast<int64_t>(w[0])); break;
            case FieldKind::F64: {
                const double v = std::bit_cast<double>(w[0]);
                if (std::isfinite(v)) json_float_into(out, v);
                else out.put("null");
                break;
            }
            case FieldKind::Str: json_string(out, text.substr(w[0], w[1])); break;
            case FieldKind::Bool: out.put(w[0] != 0 ? "true" : "false"); break;
            case FieldKind::Dec: {
                const auto bits = (static_cast<unsigned __int128>(w[1]) << 64) | w[0];
                json_string(out, dec_render(static_cast<i128>(bits), static_cast<uint8_t>(w[2])));
            }
        }
    }
    out.put('}');
}

std::string fact_json(const FactView& view) {
    JsonText out;
    write_view(out, view);
    return std::string(out.view());
}

std::string json_float(double v) {
    JsonText out;
    json_float_into(out, v);
    return std::string(out.view());
}

}  // namespace quarn::py
