// The cells of a fixed-width column (integers, floats): a growable array whose
// block can be shared with readers outside the store, such as an exported
// table, without a copy.
//
// A shared block is never written again: the vector copies its cells into a
// block of its own before its next write (a changed cell, an appended one),
// so a holder of share() reads the cells as they were when it took them for
// as long as it holds them, whatever the store does later. A copy of the
// vector shares the block the same way.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

namespace quarn {

template <class T>
class CellVector {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    using value_type = T;

    CellVector() = default;
    // A copy of `cells`.
    CellVector(const std::vector<T>& cells) { append(cells.data(), cells.size()); }  // NOLINT: converting
    CellVector(const CellVector& o) noexcept : block_(o.block_), data_(o.data_), size_(o.size_), capacity_(o.capacity_) {
        o.shared_ = shared_ = block_ != nullptr;
    }
    CellVector(CellVector&& o) noexcept
        : block_(std::move(o.block_)),
          data_(std::exchange(o.data_, nullptr)),
          size_(std::exchange(o.size_, 0)),
          capacity_(std::exchange(o.capacity_, 0)),
          shared_(std::exchange(o.shared_, false)) {}
    CellVector& operator=(const CellVector& o) noexcept {
        if (this != &o) *this = CellVector(o);
        return *this;
    }
    CellVector& operator=(CellVector&& o) noexcept {
        if (this != &o) {
            block_ = std::move(o.block_);
            data_ = std::exchange(o.data_, nullptr);
            size_ = std::exchange(o.size_, 0);
            capacity_ = std::exchange(o.capacity_, 0);
            shared_ = std::exchange(o.shared_, false);
        }
        return *this;
    }

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    size_t capacity() const { return capacity_; }
    const T* data() const { return data_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }
    const T& operator[](size_t i) const { return data_[i]; }
    operator std::span<const T>() const { return {data_, size_}; }  // NOLINT: a view, as a vector gives

    void push_back(T v) {
        if (size_ == capacity_ || shared_) [[unlikely]]
            make_room(size_ + 1);
        data_[size_++] = v;
    }
    void append(const T* cells, size_t n) { append_bytes(cells, n); }
    // append of `n` cells stored at `bytes`, which need not be aligned.
    void append_bytes(const void* bytes, size_t n) {
        if (n == 0) return;
        if (n > capacity_ - size_ || shared_) make_room(size_ + n);
        std::memcpy(data_ + size_, bytes, n * sizeof(T));
        size_ += n;
    }
    void set(size_t i, T v) {
        if (shared_) [[unlikely]]
            make_room(size_);
        data_[i] = v;
    }
    // Room for `n` cells in all before the next regrowth.
    void reserve(size_t n) {
        if (n > capacity_) move_to(n);
    }
    // Keeps only the cells at `rows` (ascending), in that order. Closes them
    // up in place in a block of its own; one that is shared, or that would
    // keep far more room than the cells need, is left for a block of their
    // size (none when no cell is kept).
    void keep_rows(std::span<const uint32_t> rows) {
        const size_t n = rows.size();
        if (shared_ || capacity_ > 2 * n + 1024) {
            CellVector kept;
            if (n != 0) kept.move_to(n);
            for (size_t k = 0; k < n; ++k) kept.data_[k] = data_[rows[k]];
            kept.size_ = n;
            *this = std::move(kept);
            return;
        }
        for (size_t k = 0; k < n; ++k) data_[k] = data_[rows[k]];
        size_ = n;
    }

    // Keeps the cells as they are now alive and unchanged while the holder
    // lives; they are at data() and number size(). Null while there are none.
    std::shared_ptr<const void> share() const {
        if (block_) shared_ = true;
        return block_;
    }

private:
    // The memory of one block, freed when the vector and every holder of
    // share() have let go (from whichever thread lets go last).
    struct Block {
        explicit Block(size_t n) : cells(static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t{64}))) {}
        Block(const Block&) = delete;
        Block& operator=(const Block&) = delete;
        ~Block() { ::operator delete(cells, std::align_val_t{64}); }
        T* cells;
    };

    // Room for `need` cells in a block of the vector's own, grown
    // geometrically so that pushes stay amortised O(1).
    void make_room(size_t need) {
        const size_t capacity = need <= capacity_ ? capacity_ : std::max({need, 2 * capacity_, size_t{16}});
        if (shared_) {
            if (block_.use_count() != 1) return move_to(capacity);
            // Every other holder has let go; their reads happened before.
            std::atomic_thread_fence(std::memory_order_acquire);
            shared_ = false;
        }
        if (need > capacity_) move_to(capacity);
    }
    void move_to(size_t capacity) {
        auto block = std::make_shared<Block>(capacity);
        if (size_) std::memcpy(block->cells, data_, size_ * sizeof(T));
        data_ = block->cells;
        block_ = std::move(block);
        capacity_ = capacity;
        shared_ = false;
    }

    std::shared_ptr<Block> block_;
    T* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    // Whether the block may be held elsewhere (set by share() and copies).
    mutable bool shared_ = false;
};

}  // namespace quarn
