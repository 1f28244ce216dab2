// Reading an Arrow C stream without an Arrow library: the stream's schema as
// column descriptions, and record batches whose columns have been checked
// against the format before a single value is read.
//
// A producer is foreign code: every length, offset, buffer count, offsets
// buffer, validity bitmap and string view is validated first, so that a
// malformed stream becomes an error text and never a read out of bounds.
// The C interface does not tell the size of a variable-length data buffer;
// for Utf8 and LargeUtf8 the offsets are its only description, so they are
// checked to be non-negative and monotone and the bytes they span to be UTF-8.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "arrow_abi.h"
#include "common/result.h"

namespace quarn::arrow {

// The Arrow types the reader tells apart; Other is every type it only names.
enum class Kind : uint8_t {
    Null, Boolean, Int8, Int16, Int32, Int64, UInt8, UInt16, UInt32, UInt64,
    Float16, Float32, Float64, Utf8, LargeUtf8, Utf8View, Decimal128, Other
};

// Whether a column of this type has a validity bitmap as buffer 0.
bool has_validity(Kind k, std::string_view format);

struct Column {
    std::string name;
    std::string format;
    Kind kind = Kind::Other;
    // Decimal128 only, as the format states them (not yet checked for range).
    int32_t precision = 0;
    int32_t scale = 0;
    // The Arrow type's name as messages show it: "Int64", "LargeUtf8",
    // "Decimal128(12, 4)", "Timestamp(Millisecond, None)", ...
    std::string display;
};

// One column of one batch, validated: `start` is the physical index of the
// column's first row inside its buffers, `nulls` the counted null rows.
struct ColumnSlice {
    const ArrowArray* array = nullptr;
    int64_t start = 0;
    int64_t rows = 0;
    int64_t nulls = 0;
    const uint8_t* validity = nullptr;  // null when the column has no nulls

    bool is_null(int64_t row) const {
        if (!validity) return false;
        int64_t bit = start + row;
        return ((validity[bit >> 3] >> (bit & 7)) & 1) == 0;
    }
    const void* buffer(int64_t i) const { return array->buffers[i]; }
};

// Unaligned-safe load of one fixed-width element.
template <class T>
inline T load(const void* buf, int64_t index) {
    T v;
    std::memcpy(&v, static_cast<const uint8_t*>(buf) + index * static_cast<int64_t>(sizeof(T)), sizeof(T));
    return v;
}

inline bool bit_at(const void* buf, int64_t bit) {
    return ((static_cast<const uint8_t*>(buf)[bit >> 3] >> (bit & 7)) & 1) != 0;
}

// The text of row `row` of a validated Utf8, LargeUtf8 or Utf8View column.
std::string_view string_at(const ColumnSlice& c, Kind kind, int64_t row);

class RecordBatch {
public:
    int64_t rows() const { return rows_; }
    const ColumnSlice& column(size_t i) const { return columns_[i]; }

private:
    friend class StreamReader;
    OwnedArray array_;
    int64_t rows_ = 0;
    std::vector<ColumnSlice> columns_;
};

class StreamReader {
public:
    // Takes the stream over (it is released by the reader, exactly once) and
    // reads its schema; the error text follows "arrow stream import failed: ".
    static Result<StreamReader, std::string> open(OwnedStream stream);

    const std::vector<Column>& columns() const { return columns_; }

    // The next batch, or false at the end of the stream. The error text
    // follows "arrow read: ".
    Result<bool, std::string> next(RecordBatch& out);

private:
    std::string last_error(int code);
    Result<ColumnSlice, std::string> check_column(const Column& col, const ArrowArray* a, int64_t parent_start,
                                                  int64_t rows) const;

    OwnedStream stream_;
    std::vector<Column> columns_;
};

}  // namespace quarn::arrow
