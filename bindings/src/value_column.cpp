// Columns of converted values stored by variant.
#include "value_column.h"

#include <algorithm>

#include "common/internal_error.h"

namespace quarn::py {

Value ValueColumn::get(size_t row) const {
    if (is_null(row)) return Value::null();
    switch (tag_) {
        case ValueTag::I64: return Value::i64(i64_[row]);
        case ValueTag::F64: return Value::f64(f64_[row]);
        case ValueTag::Str: return Value::str(str_[row]);
        case ValueTag::Bool: return Value::boolean(bool_[row] != 0);
        case ValueTag::Dec: return Value::dec(dec_[row].u, dec_[row].s);
        case ValueTag::Null: break;
    }
    return Value::null();
}

Value ValueColumn::take(size_t row) {
    if (tag_ == ValueTag::Str && !is_null(row)) return Value::str(std::move(str_[row]));
    return get(row);
}

void ValueColumn::adopt(ValueTag t) {
    if (tag_ == t) return;
    if (tag_ != ValueTag::Null) invariant_broken("a column of one variant takes a value of another");
    tag_ = t;
    // The rows so far are nulls; give them placeholder cells.
    size_t rows = size_;
    size_ = 0;
    for (size_t i = 0; i < rows; ++i) push_default();
}

void ValueColumn::push_default() {
    switch (tag_) {
        case ValueTag::I64: i64_.push_back(0); break;
        case ValueTag::F64: f64_.push_back(0); break;
        case ValueTag::Str: str_.emplace_back(); break;
        case ValueTag::Bool: bool_.push_back(0); break;
        case ValueTag::Dec: dec_.push_back({0, 0}); break;
        case ValueTag::Null: break;
    }
    ++size_;
}

void ValueColumn::push(Value v) {
    if (v.is_null()) {
        if (valid_.empty()) valid_.assign(size_, 1);
        valid_.push_back(0);
        push_default();
        return;
    }
    adopt(v.tag());
    if (!valid_.empty()) valid_.push_back(1);
    switch (v.tag()) {
        case ValueTag::I64: grow(i64_, i64_.size() + 1); i64_.push_back(v.as_i64()); break;
        case ValueTag::F64: grow(f64_, f64_.size() + 1); f64_.push_back(v.as_f64()); break;
        case ValueTag::Str: grow(str_, str_.size() + 1); str_.push_back(std::move(v.as_str_mut())); break;
        case ValueTag::Bool: grow(bool_, bool_.size() + 1); bool_.push_back(v.as_bool()); break;
        case ValueTag::Dec: grow(dec_, dec_.size() + 1); dec_.push_back(v.as_dec()); break;
        case ValueTag::Null: break;
    }
    ++size_;
}

void ValueColumn::reserve(size_t n) {
    switch (tag_) {
        case ValueTag::I64: grow(i64_, n); break;
        case ValueTag::F64: grow(f64_, n); break;
        case ValueTag::Str: grow(str_, n); break;
        case ValueTag::Bool: grow(bool_, n); break;
        case ValueTag::Dec: grow(dec_, n); break;
        case ValueTag::Null: break;
    }
}

Column ValueColumn::into_column(FieldKind only_nulls) {
    if (tag_ == ValueTag::Null) {
        switch (only_nulls) {
            case FieldKind::I64: adopt(ValueTag::I64); break;
            case FieldKind::F64: adopt(ValueTag::F64); break;
            case FieldKind::Str: adopt(ValueTag::Str); break;
            case FieldKind::Bool: adopt(ValueTag::Bool); break;
            case FieldKind::Dec: adopt(ValueTag::Dec); break;
        }
    }
    Column out;
    switch (tag_) {
        case ValueTag::I64: out.cells = std::move(i64_); break;
        case ValueTag::F64: out.cells = std::move(f64_); break;
        case ValueTag::Str: out.cells = std::move(str_); break;
        case ValueTag::Bool: out.cells = std::move(bool_); break;
        case ValueTag::Dec: out.cells = std::move(dec_); break;
        case ValueTag::Null: break;
    }
    if (!valid_.empty()) out.validity = std::move(valid_);
    *this = ValueColumn();
    return out;
}

}  // namespace quarn::py
