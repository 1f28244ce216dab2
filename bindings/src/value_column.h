// A column of converted values, stored by variant: every row holds a value of
// the column's one variant, or Null. Five million rows of a table take five
// plain vectors instead of five million Values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "store/fact_store.h"
#include "store/value.h"

namespace quarn::py {

class ValueColumn {
public:
    size_t size() const { return size_; }
    // The variant of the column's values; Null while it holds only nulls.
    ValueTag tag() const { return tag_; }
    bool has_nulls() const { return !valid_.empty(); }
    bool is_null(size_t row) const { return !valid_.empty() && !valid_[row]; }

    Value get(size_t row) const;
    // Moves the row's value out (a text leaves an empty string behind).
    Value take(size_t row);
    // `v` must be Null or of the column's variant (any variant while the
    // column holds only nulls).
    void push(Value v);

    // Room for `n` more values of variant `t`, appended by the caller to the
    // returned vector; the column adopts `t` and counts them as present.
    CellVector<int64_t>& append_i64(size_t n) { return appending(ValueTag::I64, n, i64_); }
    CellVector<double>& append_f64(size_t n) { return appending(ValueTag::F64, n, f64_); }
    std::vector<std::string>& append_str(size_t n) { return appending(ValueTag::Str, n, str_); }
    std::vector<uint8_t>& append_bool(size_t n) { return appending(ValueTag::Bool, n, bool_); }
    std::vector<DecParts>& append_dec(size_t n) { return appending(ValueTag::Dec, n, dec_); }

    void reserve(size_t n);

    // The column in the engine's column form, its vectors moved, not copied:
    // cells of the column's variant (of `only_nulls` while it holds only
    // nulls), with validity when a row is null. The column is left empty.
    Column into_column(FieldKind only_nulls);

private:
    template <class Cells>
    Cells& appending(ValueTag t, size_t n, Cells& data) {
        adopt(t);
        if (!valid_.empty()) valid_.insert(valid_.end(), n, 1);
        size_ += n;
        grow(data, data.size() + n);
        return data;
    }
    template <class Cells>
    static void grow(Cells& data, size_t need) {
        // Geometric, so a stream of many small batches is not copied per batch.
        if (need > data.capacity()) data.reserve(std::max(need, data.capacity() * 2));
    }
    void adopt(ValueTag t);
    void push_default();

    ValueTag tag_ = ValueTag::Null;
    size_t size_ = 0;
    CellVector<int64_t> i64_;
    CellVector<double> f64_;
    std::vector<std::string> str_;
    std::vector<uint8_t> bool_;
    std::vector<DecParts> dec_;
    std::vector<uint8_t> valid_;  // empty while no row is null; else 1 per present row
};

}  // namespace quarn::py
