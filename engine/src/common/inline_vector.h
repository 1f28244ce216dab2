// A vector of trivially copyable elements whose first element lives inside
// the vector itself: a list that never holds more than one element allocates
// nothing. Staged batches are made, filled with one entry and dropped at most
// node evaluations, and the allocation and free of their one entry cost more
// than the evaluation's own work on it.
//
// The subset of std::vector the staged lists use. Growing past one element
// moves everything to the heap, where it stays (as std::vector keeps its
// capacity) until the vector is moved from or destroyed; clear() keeps it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace quarn {

template <class T>
class InlineVector {
    static_assert(std::is_trivially_copyable_v<T>, "elements are copied as bytes");

public:
    InlineVector() noexcept : data_(inline_ptr()) {}  // user-provided: a const empty list is well-formed
    InlineVector(const InlineVector& o) : data_(inline_ptr()) { assign_from(o); }
    InlineVector& operator=(const InlineVector& o) {
        if (this != &o) {
            size_ = 0;
            assign_from(o);
        }
        return *this;
    }
    InlineVector(InlineVector&& o) noexcept : data_(inline_ptr()) { take(o); }
    InlineVector& operator=(InlineVector&& o) noexcept {
        if (this == &o) return *this;
        release();
        take(o);
        return *this;
    }
    ~InlineVector() { release(); }

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    size_t capacity() const { return cap_; }
    T* data() { return data_; }
    const T* data() const { return data_; }
    T& operator[](size_t i) { return data_[i]; }
    const T& operator[](size_t i) const { return data_[i]; }
    T& back() { return data_[size_ - 1]; }
    const T& back() const { return data_[size_ - 1]; }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }

    // A value-initialized element at the end.
    T& emplace_back() {
        if (size_ == cap_) grow(size_ + 1);
        T* p = new (data_ + size_) T{};
        ++size_;
        return *p;
    }
    void push_back(const T& v) {
        if (size_ == cap_) grow(size_ + 1);
        new (data_ + size_) T(v);
        ++size_;
    }
    void pop_back() { --size_; }
    void clear() { size_ = 0; }
    void reserve(size_t n) {
        if (n > cap_) grow(n);
    }
    void resize(size_t n, const T& v) {
        reserve(n);
        for (size_t i = size_; i < n; ++i) new (data_ + i) T(v);
        size_ = static_cast<uint32_t>(n);
    }

private:
    T* inline_ptr() { return reinterpret_cast<T*>(inline_); }
    bool on_heap() const { return data_ != reinterpret_cast<const T*>(inline_); }
    void release() {
        if (on_heap()) ::operator delete(data_);
        data_ = inline_ptr();
        size_ = 0;
        cap_ = 1;
    }
    // Takes o's elements (its heap block, or a copy of its inline element),
    // leaving o empty; this one holds nothing of its own on entry.
    void take(InlineVector& o) {
        size_ = o.size_;
        cap_ = o.cap_;
        if (o.on_heap()) {
            data_ = o.data_;
        } else if (size_ > 0) {
            std::memcpy(inline_, o.inline_, sizeof(T));
        }
        o.data_ = o.inline_ptr();
        o.size_ = 0;
        o.cap_ = 1;
    }
    // At least n places, at least doubling.
    void grow(size_t n) {
        size_t cap = cap_ * size_t{2};
        if (cap < n) cap = n;
        if (cap > UINT32_MAX) throw std::bad_alloc();
        T* fresh = static_cast<T*>(::operator new(cap * sizeof(T)));
        // Element by element, as std::vector moves them when it grows.
        std::uninitialized_copy(data_, data_ + size_, fresh);
        if (on_heap()) ::operator delete(data_);
        data_ = fresh;
        cap_ = static_cast<uint32_t>(cap);
    }
    void assign_from(const InlineVector& o) {
        reserve(o.size_);
        std::uninitialized_copy(o.data_, o.data_ + o.size_, data_);
        size_ = o.size_;
    }

    T* data_;  // inline_, or an owned heap block once more than one element was wanted
    uint32_t size_ = 0;
    uint32_t cap_ = 1;
    alignas(T) unsigned char inline_[sizeof(T)]{};  // the element while there is at most one
};

}  // namespace quarn
