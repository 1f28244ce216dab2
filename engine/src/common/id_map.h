// A map keyed by dense ids: numbers handed out ascending from 0 (FactId,
// TupleId), which arrive in runs. Ids sit in pages of 32 consecutive ids, the
// pages found through a hash map of page numbers; a run of new ids fills one
// page after another, and a lookup on the page of the previous one hashes
// nothing. A page whose ids are all gone returns to a free list.
//
// The directory is unordered; for_each visits ids ascending by sorting the
// page numbers first. Values must be cheap to default-construct; an absent
// id's value is V{}. References stay valid until that id is erased, the map
// is cleared, or it is destroyed (pages never move).
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "common/hash.h"

namespace quarn {

template <class Id, class V>
class IdMap {
public:
    IdMap() = default;
    IdMap(const IdMap& o) { *this = o; }
    IdMap& operator=(const IdMap& o) {
        if (this == &o) return *this;
        clear();
        o.for_each([&](Id id, const V& v) { (*this)[id] = v; });
        return *this;
    }
    IdMap(IdMap&& o) noexcept { *this = std::move(o); }
    IdMap& operator=(IdMap&& o) noexcept {
        if (this == &o) return *this;
        chunks_ = std::move(o.chunks_);
        pages_ = std::exchange(o.pages_, 0);
        free_ = std::move(o.free_);
        dir_ = std::move(o.dir_);
        size_ = std::exchange(o.size_, 0);
        last_no_ = std::exchange(o.last_no_, kNoPage);
        last_ = std::exchange(o.last_, nullptr);
        o.chunks_.clear();
        o.free_.clear();
        o.dir_.clear();
        return *this;
    }

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    const V* find(Id id) const {
        const Page* p = page_of(key(id) >> kShift);
        if (p == nullptr) return nullptr;
        uint32_t at = key(id) & kMask;
        return (p->present >> at) & 1 ? &p->values[at] : nullptr;
    }
    V* find(Id id) { return const_cast<V*>(std::as_const(*this).find(id)); }
    bool contains(Id id) const { return find(id) != nullptr; }

    // The id's value, made (as V{}) when absent.
    V& operator[](Id id) {
        uint32_t no = key(id) >> kShift;
        Page* p = const_cast<Page*>(page_of(no));
        if (p == nullptr) p = add_page(no);
        uint32_t at = key(id) & kMask;
        uint32_t bit = uint32_t{1} << at;
        if (!(p->present & bit)) {
            p->present |= bit;
            ++size_;
        }
        return p->values[at];
    }
    // Marks the id absent (its value reset to V{}); false when it was absent.
    bool erase(Id id) {
        uint32_t no = key(id) >> kShift;
        Page* p = const_cast<Page*>(page_of(no));
        if (p == nullptr) return false;
        uint32_t at = key(id) & kMask;
        uint32_t bit = uint32_t{1} << at;
        if (!(p->present & bit)) return false;
        p->present &= ~bit;
        p->values[at] = V{};
        --size_;
        if (p->present == 0) drop_page(no, p);
        return true;
    }
    void clear() {
        chunks_.clear();
        pages_ = 0;
        free_.clear();
        dir_.clear();
        size_ = 0;
        last_no_ = kNoPage;
        last_ = nullptr;
    }

    // Every present id with its value, ascending by id.
    template <class Fn>
    void for_each(Fn fn) const {
        std::vector<std::pair<uint32_t, uint32_t>> pages;
        pages.reserve(dir_.size());
        for (const auto& [no, index] : dir_) pages.emplace_back(no, index);
        std::sort(pages.begin(), pages.end());
        for (const auto& [no, index] : pages) {
            const Page& p = page_at(index);
            for (uint32_t bits = p.present; bits != 0; bits &= bits - 1) {
                uint32_t at = static_cast<uint32_t>(std::countr_zero(bits));
                fn(static_cast<Id>((no << kShift) | at), p.values[at]);
            }
        }
    }

    // Starts loading the id's value into the cache, when its page exists.
    void prefetch(Id id) const {
        if (const Page* p = page_of(key(id) >> kShift)) __builtin_prefetch(&p->values[key(id) & kMask]);
    }

private:
    static constexpr uint32_t kShift = 5;  // 32 ids per page
    static constexpr uint32_t kMask = (uint32_t{1} << kShift) - 1;
    static constexpr uint32_t kChunkPages = 64;
    static constexpr uint32_t kNoPage = UINT32_MAX;
    struct Page {
        uint32_t present = 0;  // bit k: id (no << kShift) + k is present
        V values[uint32_t{1} << kShift]{};
    };

    static uint32_t key(Id id) { return static_cast<uint32_t>(id); }
    const Page& page_at(uint32_t index) const { return chunks_[index / kChunkPages][index % kChunkPages]; }
    Page& page_at(uint32_t index) { return chunks_[index / kChunkPages][index % kChunkPages]; }
    const Page* page_of(uint32_t no) const {
        if (no == last_no_) return last_;
        auto it = dir_.find(no);
        if (it == dir_.end()) return nullptr;
        last_no_ = no;
        last_ = &page_at(it->second);
        return last_;
    }
    Page* add_page(uint32_t no) {
        uint32_t index;
        if (!free_.empty()) {
            index = free_.back();
            free_.pop_back();
        } else {
            if (pages_ % kChunkPages == 0) chunks_.push_back(std::make_unique<Page[]>(kChunkPages));
            index = pages_++;
        }
        dir_.try_emplace(no, index);
        last_no_ = no;
        last_ = &page_at(index);
        return const_cast<Page*>(last_);
    }
    void drop_page(uint32_t no, Page* p) {
        auto it = dir_.find(no);
        free_.push_back(it->second);
        dir_.erase(it);
        *p = Page{};
        if (last_no_ == no) {
            last_no_ = kNoPage;
            last_ = nullptr;
        }
    }

    std::vector<std::unique_ptr<Page[]>> chunks_;  // pages, kChunkPages to a chunk
    uint32_t pages_ = 0;                           // pages handed out from the chunks
    std::vector<uint32_t> free_;                   // emptied pages, reused first
    HashMap<uint32_t, uint32_t> dir_;              // page number -> page index
    mutable uint32_t last_no_ = kNoPage;           // the page found last
    mutable const Page* last_ = nullptr;
    size_t size_ = 0;
};

}  // namespace quarn
