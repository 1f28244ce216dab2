// A vector that grows by fixed chunks: elements never move, so growing
// copies nothing and touches only the new chunk's pages, and a reference
// stays valid for the element's life. Indexing costs a shift and a mask.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace quarn {

template <class T, uint32_t kShift = 11>
class ChunkVector {
public:
    static constexpr size_t kChunk = size_t{1} << kShift;

    ChunkVector() = default;
    ChunkVector(const ChunkVector& o) { *this = o; }
    ChunkVector& operator=(const ChunkVector& o) {
        if (this == &o) return *this;
        chunks_.clear();
        size_ = 0;
        for (size_t i = 0; i < o.size_; ++i) push_back(o[i]);
        return *this;
    }
    ChunkVector(ChunkVector&& o) noexcept : chunks_(std::move(o.chunks_)), size_(o.size_) {
        o.chunks_.clear();
        o.size_ = 0;
    }
    ChunkVector& operator=(ChunkVector&& o) noexcept {
        if (this == &o) return *this;
        chunks_ = std::move(o.chunks_);
        size_ = o.size_;
        o.chunks_.clear();
        o.size_ = 0;
        return *this;
    }

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T& operator[](size_t i) { return chunks_[i >> kShift][i & (kChunk - 1)]; }
    const T& operator[](size_t i) const { return chunks_[i >> kShift][i & (kChunk - 1)]; }
    T& back() { return (*this)[size_ - 1]; }

    // Appends a value-initialised element and returns it.
    T& emplace_back() {
        if ((size_ & (kChunk - 1)) == 0 && (size_ >> kShift) == chunks_.size()) {
            chunks_.push_back(std::make_unique<T[]>(kChunk));
        }
        T& slot = (*this)[size_++];
        slot = T{};
        return slot;
    }
    void push_back(const T& v) { emplace_back() = v; }
    // Drops the elements but keeps one chunk, so that a vector emptied and
    // filled again allocates nothing for its first elements.
    void clear() {
        if (chunks_.size() > 1) chunks_.resize(1);
        size_ = 0;
    }

private:
    std::vector<std::unique_ptr<T[]>> chunks_;
    size_t size_ = 0;
};

}  // namespace quarn
