// Record batches built here and handed out through the Arrow C stream
// interface without copying: every exported array keeps the buffers it points
// into alive by a reference count, however long its consumer holds it.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "arrow_abi.h"

namespace quarn::arrow {

// A 64-byte aligned, growable byte buffer (Arrow's recommended alignment).
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& o) noexcept;
    Buffer& operator=(Buffer&& o) noexcept;
    ~Buffer() { std::free(data_); }

    // Capacity for at least `bytes`; throws std::bad_alloc.
    void reserve(size_t bytes);
    // Grows to `bytes`, the new bytes zeroed.
    void resize(size_t bytes);
    void append(const void* p, size_t n) {
        if (n > capacity_ - size_) reserve(size_ + n);
        if (n) std::memcpy(data_ + size_, p, n);
        size_ += n;
    }
    template <class T>
    void push(T v) {
        append(&v, sizeof v);
    }
    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// One finished column: its Arrow format, nullability and up to three buffers
// (validity or none, then values or offsets, then text bytes).
struct ColumnData {
    std::string name;
    std::string format;  // "l", "g", "u", "b", "d:p,s"
    bool nullable = false;
    int64_t length = 0;
    int64_t null_count = 0;
    bool has_validity = false;
    Buffer validity;
    Buffer values;
    Buffer text;  // Utf8 only
    // Values kept elsewhere in place of `values`, alive and unchanged while
    // `keeper` lives (cells shared with the store).
    const void* shared_values = nullptr;
    std::shared_ptr<const void> keeper;

    const void* values_data() const { return shared_values ? shared_values : values.data(); }
};

// A column of `length` fixed-width values without nulls that another owner
// keeps at `values` while `keeper` lives; `nullable` is the schema's flag.
std::shared_ptr<const ColumnData> shared_column(std::string name, std::string format, bool nullable, int64_t length,
                                                const void* values, std::shared_ptr<const void> keeper);

// Builds one column in one pass. The validity bitmap appears at the first
// null: until then every row is valid and no bitmap is kept.
class ColumnBuilder {
public:
    ColumnBuilder(std::string name, std::string format, bool nullable, size_t expected_rows);
    void push_null();
    void push_i64(int64_t v) {
        c_->values.push(v);
        mark_valid();
    }
    void push_f64(double v) {
        c_->values.push(v);
        mark_valid();
    }
    void push_bool(bool v);
    void push_dec(__int128 v);
    // False when the column's text would pass 2^31 - 1 bytes.
    bool push_str(std::string_view s) {
        if (s.size() > size_t(INT32_MAX) - c_->text.size()) return false;
        c_->text.append(s.data(), s.size());
        c_->values.push<int32_t>(static_cast<int32_t>(c_->text.size()));
        mark_valid();
        return true;
    }
    std::shared_ptr<const ColumnData> finish();

private:
    void mark_valid() {
        if (c_->has_validity) set_valid_bit();
        ++c_->length;
    }
    void set_valid_bit();
    std::shared_ptr<ColumnData> c_;
};

// An immutable record batch; tables and exported arrays share it.
struct Batch {
    std::vector<std::shared_ptr<const ColumnData>> columns;
    int64_t rows = 0;
};

// A stream over the batch: its schema, then the batch once, then the end.
// The stream and every array it yields hold the batch's columns by count.
void export_stream(std::shared_ptr<const Batch> batch, ArrowArrayStream* out);

}  // namespace quarn::arrow
