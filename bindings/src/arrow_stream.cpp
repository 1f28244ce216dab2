// Arrow C stream reader: schema formats, batch and column validation, reads.
#include "arrow_stream.h"

#include <cerrno>
#include <cstring>

#include "common/text.h"
#include "common/utf8.h"

namespace quarn::arrow {

namespace {

struct FormatInfo {
    Kind kind = Kind::Other;
    int32_t precision = 0;
    int32_t scale = 0;
    std::string display;
};

bool parse_i32(std::string_view s, int32_t& out) {
    if (s.empty()) return false;
    bool neg = false;
    size_t i = 0;
    if (s[0] == '-' || s[0] == '+') {
        neg = s[0] == '-';
        i = 1;
    }
    if (i == s.size()) return false;
    int64_t v = 0;
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + (s[i] - '0');
        if (v > INT32_MAX) return false;
    }
    out = static_cast<int32_t>(neg ? -v : v);
    return true;
}

const char* time_unit(char c) {
    switch (c) {
        case 's': return "Second";
        case 'm': return "Millisecond";
        case 'u': return "Microsecond";
        case 'n': return "Nanosecond";
    }
    return nullptr;
}

// The format string of one field (its dictionary aside), or an error text.
Result<FormatInfo, std::string> parse_format(std::string_view f) {
    struct Simple {
        const char* format;
        Kind kind;
        const char* display;
    };
    static constexpr Simple simple[] = {
        {"n", Kind::Null, "Null"},          {"b", Kind::Boolean, "Boolean"},      {"c", Kind::Int8, "Int8"},
        {"C", Kind::UInt8, "UInt8"},        {"s", Kind::Int16, "Int16"},          {"S", Kind::UInt16, "UInt16"},
        {"i", Kind::Int32, "Int32"},        {"I", Kind::UInt32, "UInt32"},        {"l", Kind::Int64, "Int64"},
        {"L", Kind::UInt64, "UInt64"},      {"e", Kind::Float16, "Float16"},      {"f", Kind::Float32, "Float32"},
        {"g", Kind::Float64, "Float64"},    {"u", Kind::Utf8, "Utf8"},            {"U", Kind::LargeUtf8, "LargeUtf8"},
        {"vu", Kind::Utf8View, "Utf8View"}, {"z", Kind::Other, "Binary"},         {"Z", Kind::Other, "LargeBinary"},
        {"vz", Kind::Other, "BinaryView"},  {"tdD", Kind::Other, "Date32"},       {"tdm", Kind::Other, "Date64"},
        {"tts", Kind::Other, "Time32(Second)"}, {"ttm", Kind::Other, "Time32(Millisecond)"},
        {"ttu", Kind::Other, "Time64(Microsecond)"}, {"ttn", Kind::Other, "Time64(Nanosecond)"},
        {"tiM", Kind::Other, "Interval(YearMonth)"}, {"tiD", Kind::Other, "Interval(DayTime)"},
        {"tin", Kind::Other, "Interval(MonthDayNano)"}, {"+l", Kind::Other, "List"},
        {"+L", Kind::Other, "LargeList"},   {"+vl", Kind::Other, "ListView"},     {"+vL", Kind::Other, "LargeListView"},
        {"+s", Kind::Other, "Struct"},      {"+m", Kind::Other, "Map"},           {"+r", Kind::Other, "RunEndEncoded"},
    };
    for (const Simple& s : simple)
        if (f == s.format) return FormatInfo{s.kind, 0, 0, s.display};

    auto bad = [&]() { return err(fmt("unsupported or malformed format string {}", quoted(f))); };
    if (f.starts_with("d:")) {
        // d:precision,scale[,bitwidth]
        std::string_view rest = f.substr(2);
        size_t c1 = rest.find(',');
        if (c1 == std::string_view::npos) return bad();
        std::string_view ps = rest.substr(0, c1);
        std::string_view tail = rest.substr(c1 + 1);
        size_t c2 = tail.find(',');
        std::string_view ss = tail.substr(0, c2);
        int32_t width = 128;
        if (c2 != std::string_view::npos && !parse_i32(tail.substr(c2 + 1), width)) return bad();
        int32_t p = 0, s = 0;
        if (!parse_i32(ps, p) || !parse_i32(ss, s)) return bad();
        if (width != 32 && width != 64 && width != 128 && width != 256) return bad();
        FormatInfo info{width == 128 ? Kind::Decimal128 : Kind::Other, p, s,
                        fmt("Decimal{}({}, {})", width, p, s)};
        return info;
    }
    if (f.starts_with("w:")) {
        int32_t n = 0;
        if (!parse_i32(f.substr(2), n)) return bad();
        return FormatInfo{Kind::Other, 0, 0, fmt("FixedSizeBinary({})", n)};
    }
    if (f.starts_with("+w:")) {
        int32_t n = 0;
        if (!parse_i32(f.substr(3), n)) return bad();
        return FormatInfo{Kind::Other, 0, 0, fmt("FixedSizeList({})", n)};
    }
    if (f.starts_with("+ud:") || f.starts_with("+us:"))
        return FormatInfo{Kind::Other, 0, 0, f[2] == 'd' ? "Union(Dense)" : "Union(Sparse)"};
    if (f.size() >= 4 && f.starts_with("ts") && f[3] == ':' && time_unit(f[2])) {
        std::string_view tz = f.substr(4);
        return FormatInfo{Kind::Other, 0, 0,
                          fmt("Timestamp({}, {})", time_unit(f[2]), tz.empty() ? std::string("None") : fmt("Some({})", quoted(tz)))};
    }
    if (f.size() == 3 && f.starts_with("tD") && time_unit(f[2]))
        return FormatInfo{Kind::Other, 0, 0, fmt("Duration({})", time_unit(f[2]))};
    return bad();
}

Result<Column, std::string> describe(const ArrowSchema* s, int depth = 0) {
    if (!s || !s->format) return err(std::string("field without a format string"));
    if (depth > 64) return err(std::string("dictionary nesting too deep"));
    QUARN_TRY(FormatInfo info, parse_format(s->format));
    Column col;
    col.name = s->name ? s->name : "";
    col.format = s->format;
    col.kind = info.kind;
    col.precision = info.precision;
    col.scale = info.scale;
    col.display = info.display;
    if (s->dictionary) {
        QUARN_TRY(Column values, describe(s->dictionary, depth + 1));
        col.kind = Kind::Other;
        col.display = fmt("Dictionary({}, {})", info.display, values.display);
    }
    return col;
}

// Zero bits of a bitmap in [start, start + count).
int64_t count_zero_bits(const uint8_t* bits, int64_t start, int64_t count) {
    int64_t zeros = 0;
    int64_t i = start;
    int64_t end = start + count;
    while (i < end && (i & 7)) zeros += bit_at(bits, i++) ? 0 : 1;
    while (end - i >= 64) {
        uint64_t w;
        std::memcpy(&w, bits + (i >> 3), 8);
        zeros += 64 - __builtin_popcountll(w);
        i += 64;
    }
    while (i < end) zeros += bit_at(bits, i++) ? 0 : 1;
    return zeros;
}

bool valid_utf8(std::string_view s) {
    size_t i = 0;
    // Most text is ASCII: skip it eight bytes at a time.
    while (i + 8 <= s.size()) {
        uint64_t w;
        std::memcpy(&w, s.data() + i, 8);
        if (w & 0x8080808080808080ULL) break;
        i += 8;
    }
    while (i < s.size() && static_cast<unsigned char>(s[i]) < 0x80) ++i;
    return i == s.size() || first_invalid_utf8(s.substr(i)) == std::string_view::npos;
}

size_t fixed_width(Kind k) {
    switch (k) {
        case Kind::Int8: case Kind::UInt8: return 1;
        case Kind::Int16: case Kind::UInt16: case Kind::Float16: return 2;
        case Kind::Int32: case Kind::UInt32: case Kind::Float32: return 4;
        case Kind::Int64: case Kind::UInt64: case Kind::Float64: return 8;
        case Kind::Decimal128: return 16;
        default: return 0;
    }
}

}  // namespace

bool has_validity(Kind k, std::string_view format) {
    if (k == Kind::Null) return false;
    return !(format.starts_with("+u") || format == "+r");
}

std::string_view string_at(const ColumnSlice& c, Kind kind, int64_t row) {
    int64_t p = c.start + row;
    const char* data = static_cast<const char*>(c.buffer(2));
    if (kind == Kind::Utf8) {
        int32_t o0 = load<int32_t>(c.buffer(1), p), o1 = load<int32_t>(c.buffer(1), p + 1);
        return {data + o0, static_cast<size_t>(o1 - o0)};
    }
    if (kind == Kind::LargeUtf8) {
        int64_t o0 = load<int64_t>(c.buffer(1), p), o1 = load<int64_t>(c.buffer(1), p + 1);
        return {data + o0, static_cast<size_t>(o1 - o0)};
    }
    const uint8_t* view = static_cast<const uint8_t*>(c.buffer(1)) + p * 16;
    int32_t len = load<int32_t>(view, 0);
    if (len <= 12) return {reinterpret_cast<const char*>(view + 4), static_cast<size_t>(len)};
    int32_t index = load<int32_t>(view + 8, 0), offset = load<int32_t>(view + 12, 0);
    return {static_cast<const char*>(c.buffer(2 + index)) + offset, static_cast<size_t>(len)};
}

Result<StreamReader, std::string> StreamReader::open(OwnedStream stream) {
    StreamReader r;
    r.stream_ = std::move(stream);
    if (!r.stream_.live()) return err(std::string("the stream is already released"));
    if (!r.stream_->get_schema || !r.stream_->get_next)
        return err(std::string("the stream lacks its get_schema or get_next callback"));
    ArrowSchema raw{};
    int code = r.stream_->get_schema(r.stream_.get(), &raw);
    if (code != 0) return err(r.last_error(code));
    if (!raw.release) return err(std::string("get_schema returned a released schema"));
    OwnedSchema schema(&raw);
    if (!schema->format || std::string_view(schema->format) != "+s") {
        std::string shown = schema->format ? std::string(schema->format) : std::string();
        return err(fmt("the stream's schema has format {}, not a struct of columns", quoted(shown)));
    }
    if (schema->n_children < 0 || (schema->n_children > 0 && !schema->children))
        return err(std::string("the stream's schema has malformed children"));
    for (int64_t i = 0; i < schema->n_children; ++i) {
        auto col = describe(schema->children[i]);
        if (!col) return err(fmt("column {}: {}", i, col.error()));
        r.columns_.push_back(std::move(col).value());
    }
    return r;
}

std::string StreamReader::last_error(int code) {
    const char* text = stream_->get_last_error ? stream_->get_last_error(stream_.get()) : nullptr;
    if (text) return text;
    return fmt("{} (error code {})", std::strerror(code), code);
}

Result<ColumnSlice, std::string> StreamReader::check_column(const Column& col, const ArrowArray* a,
                                                            int64_t parent_start, int64_t rows) const {
    auto bad = [&](const std::string& what) { return err(fmt("column {}: {}", quoted(col.name), what)); };
    if (!a || !a->release) return bad("array missing or released");
    if (a->length < 0 || a->offset < 0 || a->n_buffers < 0) return bad("negative length, offset or buffer count");
    if (parent_start > a->length || rows > a->length - parent_start)
        return bad(fmt("{} rows from row {} exceed the array's length {}", rows, parent_start, a->length));
    ColumnSlice c;
    c.array = a;
    c.rows = rows;
    if (__builtin_add_overflow(a->offset, parent_start, &c.start) || c.start > INT64_MAX - a->length)
        return bad("offset overflows");
    if (a->n_buffers > 0 && !a->buffers) return bad("buffer list missing");

    int64_t want = 0;
    switch (col.kind) {
        case Kind::Null: want = 0; break;
        case Kind::Utf8: case Kind::LargeUtf8: want = 3; break;
        case Kind::Utf8View: want = -1; break;
        case Kind::Other: want = -2; break;
        default: want = 2; break;
    }
    if (want >= 0 && a->n_buffers != want) return bad(fmt("{} buffers for {}, expected {}", a->n_buffers, col.display, want));
    if (want == -1 && a->n_buffers < 3) return bad(fmt("{} buffers for Utf8View, expected at least 3", a->n_buffers));

    if (col.kind == Kind::Null) {
        c.nulls = rows;
        return c;
    }
    if (has_validity(col.kind, col.format)) {
        if (a->n_buffers < 1) return bad("validity buffer missing");
        auto validity = static_cast<const uint8_t*>(a->buffers[0]);
        if (validity) {
            c.nulls = count_zero_bits(validity, c.start, rows);
            // The stated count covers the whole array; compare when the slice is the whole array.
            bool whole = parent_start == 0 && rows == a->length;
            if (whole && a->null_count >= 0 && a->null_count != c.nulls)
                return bad(fmt("null_count {} disagrees with the validity bitmap ({} nulls)", a->null_count, c.nulls));
            if (c.nulls > 0) c.validity = validity;
        } else if (a->null_count > 0) {
            return bad(fmt("null_count {} without a validity bitmap", a->null_count));
        }
    }
    if (col.kind == Kind::Other || rows == 0) return c;

    size_t width = fixed_width(col.kind);
    if (col.kind == Kind::Boolean || width > 0) {
        if (!a->buffers[1]) return bad("values buffer missing");
        return c;
    }
    if (col.kind == Kind::Utf8 || col.kind == Kind::LargeUtf8) {
        const void* offsets = a->buffers[1];
        const char* data = static_cast<const char*>(a->buffers[2]);
        if (!offsets) return bad("offsets buffer missing");
        bool large = col.kind == Kind::LargeUtf8;
        auto at = [&](int64_t i) { return large ? load<int64_t>(offsets, i) : int64_t(load<int32_t>(offsets, i)); };
        int64_t first = at(c.start);
        if (first < 0) return bad(fmt("negative offset {}", first));
        int64_t prev = first;
        for (int64_t i = 1; i <= rows; ++i) {
            int64_t o = at(c.start + i);
            if (o < prev) return bad(fmt("offsets decrease at row {} ({} after {})", i - 1, o, prev));
            prev = o;
        }
        if (prev > first && !data) return bad("data buffer missing");
        if (prev > first && !valid_utf8(std::string_view(data + first, static_cast<size_t>(prev - first))))
            return bad("text is not valid UTF-8");
        return c;
    }
    // Utf8View: views, then the variadic data buffers, then their sizes.
    const uint8_t* views = static_cast<const uint8_t*>(a->buffers[1]);
    int64_t data_buffers = a->n_buffers - 3;
    auto sizes = a->buffers[a->n_buffers - 1];
    if (!views) return bad("views buffer missing");
    if (data_buffers > 0 && !sizes) return bad("buffer sizes missing");
    for (int64_t i = 0; i < rows; ++i) {
        if (c.is_null(i)) continue;
        const uint8_t* v = views + (c.start + i) * 16;
        int32_t len = load<int32_t>(v, 0);
        if (len < 0) return bad(fmt("negative string length at row {}", i));
        std::string_view text;
        if (len <= 12) {
            text = std::string_view(reinterpret_cast<const char*>(v + 4), static_cast<size_t>(len));
        } else {
            int32_t index = load<int32_t>(v + 8, 0), offset = load<int32_t>(v + 12, 0);
            if (index < 0 || index >= data_buffers) return bad(fmt("row {} refers to data buffer {} of {}", i, index, data_buffers));
            int64_t size = load<int64_t>(sizes, index);
            const char* data = static_cast<const char*>(a->buffers[2 + index]);
            if (offset < 0 || int64_t(offset) + len > size)
                return bad(fmt("row {} reads bytes {}..{} of a data buffer of {} bytes", i, offset, int64_t(offset) + len, size));
            if (!data) return bad(fmt("data buffer {} missing", index));
            text = std::string_view(data + offset, static_cast<size_t>(len));
        }
        if (!valid_utf8(text)) return bad(fmt("text at row {} is not valid UTF-8", i));
    }
    return c;
}

Result<bool, std::string> StreamReader::next(RecordBatch& out) {
    ArrowArray raw{};
    int code = stream_->get_next(stream_.get(), &raw);
    if (code != 0) return err(last_error(code));
    if (!raw.release) return false;
    out.array_ = OwnedArray(&raw);
    out.columns_.clear();
    const ArrowArray* a = out.array_.get();
    if (a->length < 0 || a->offset < 0 || a->n_buffers < 0 || a->n_children < 0)
        return err(std::string("record batch has a negative length, offset or count"));
    if (a->n_children != static_cast<int64_t>(columns_.size()))
        return err(fmt("record batch has {} columns, the schema {}", a->n_children, columns_.size()));
    if (a->n_children > 0 && !a->children) return err(std::string("record batch lacks its columns"));
    if (a->n_buffers > 0 && !a->buffers) return err(std::string("record batch lacks its buffer list"));
    if (a->offset > INT64_MAX - a->length) return err(std::string("record batch offset overflows"));
    if (a->n_buffers >= 1 && a->buffers[0]) {
        int64_t nulls = count_zero_bits(static_cast<const uint8_t*>(a->buffers[0]), a->offset, a->length);
        if (nulls > 0) return err(fmt("record batch has {} null rows", nulls));
    }
    out.rows_ = a->length;
    out.columns_.reserve(columns_.size());
    for (size_t i = 0; i < columns_.size(); ++i) {
        QUARN_TRY(ColumnSlice c, check_column(columns_[i], a->children[i], a->offset, a->length));
        out.columns_.push_back(c);
    }
    return true;
}

}  // namespace quarn::arrow
