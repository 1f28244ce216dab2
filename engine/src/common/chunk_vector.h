// A vector that grows by fixed chunks: elements never move, so growing
// copies nothing and touches only the new chunk's pages, and a reference
// stays valid for the element's life. Indexing costs a shift and a mask;
// appending, a compare with the end of the last chunk's room, which is kept
// at hand. An element is constructed when it is appended, once: a chunk's
// storage is left raw until then.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace quarn {

template <class T, uint32_t kShift = 11>
class ChunkVector {
public:
    static constexpr size_t kChunk = size_t{1} << kShift;

    ChunkVector() = default;
    ~ChunkVector() { release(0); }
    ChunkVector(const ChunkVector& o) { *this = o; }
    ChunkVector& operator=(const ChunkVector& o) {
        if (this == &o) return *this;
        clear();
        for (size_t i = 0; i < o.size_; ++i) push_back(o[i]);
        return *this;
    }
    ChunkVector(ChunkVector&& o) noexcept
        : chunks_(std::move(o.chunks_)),
          size_(std::exchange(o.size_, 0)),
          next_(std::exchange(o.next_, nullptr)),
          room_end_(std::exchange(o.room_end_, nullptr)) {
        o.chunks_.clear();
    }
    ChunkVector& operator=(ChunkVector&& o) noexcept {
        if (this == &o) return *this;
        release(0);
        chunks_ = std::move(o.chunks_);
        size_ = std::exchange(o.size_, 0);
        next_ = std::exchange(o.next_, nullptr);
        room_end_ = std::exchange(o.room_end_, nullptr);
        o.chunks_.clear();
        return *this;
    }

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T& operator[](size_t i) { return chunks_[i >> kShift][i & (kChunk - 1)]; }
    const T& operator[](size_t i) const { return chunks_[i >> kShift][i & (kChunk - 1)]; }
    T& back() { return (*this)[size_ - 1]; }

    // Appends an element made from args (value-initialised without any)
    // and returns it.
    template <class... Args>
    [[gnu::always_inline]] T& emplace_back(Args&&... args) {
        if (next_ == room_end_) next_chunk();
        return emplace_back_in_room(std::forward<Args>(args)...);
    }
    void push_back(const T& v) { emplace_back(v); }
    // How many elements go in before the next needs a new chunk.
    size_t room() const { return static_cast<size_t>(room_end_ - next_); }
    // emplace_back where room() is known not to be 0: no test of it.
    template <class... Args>
    [[gnu::always_inline]] T& emplace_back_in_room(Args&&... args) {
        T* at = next_++;
        ::new (static_cast<void*>(at)) T(std::forward<Args>(args)...);
        ++size_;
        return *at;
    }
    // Drops the elements but keeps one chunk, so that a vector emptied and
    // filled again allocates nothing for its first elements.
    void clear() { release(1); }

private:
    static T* allocate() { return std::allocator<T>().allocate(kChunk); }
    static void deallocate(T* p) { std::allocator<T>().deallocate(p, kChunk); }
    // Moves the room on to the chunk after the full one (or the first),
    // allocating it unless a clear kept it.
    [[gnu::noinline]] void next_chunk() {
        const size_t c = size_ >> kShift;
        if (c == chunks_.size()) {
            chunks_.reserve(chunks_.size() + 1);
            chunks_.push_back(allocate());
        }
        next_ = chunks_[c];
        room_end_ = next_ + kChunk;
    }
    // Destroys every element and frees the chunks after the first `keep`.
    void release(size_t keep) {
        if constexpr (!std::is_trivially_destructible_v<T>) {
            for (size_t i = 0; i < size_; ++i) (*this)[i].~T();
        }
        size_ = 0;
        next_ = room_end_ = nullptr;
        while (chunks_.size() > keep) {
            deallocate(chunks_.back());
            chunks_.pop_back();
        }
    }

    std::vector<T*> chunks_;  // each of kChunk elements, the first size_ of them constructed
    size_t size_ = 0;
    // The room left in the chunk the last element went into: where the next
    // goes, and the chunk's end; equal when it is full (or none is in use).
    T* next_ = nullptr;
    T* room_end_ = nullptr;
};

}  // namespace quarn
