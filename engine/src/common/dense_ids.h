// A map and a set keyed by dense ids: numbers handed out ascending from 0
// (FactId, TupleId), which arrive in runs and are looked up mostly near the
// ids looked up last. Neither hashes: an id finds its page through a radix
// directory, so ids close in number share a cache line and a run of ids
// walks memory in order, where a hash table would scatter them.
//
// Pages are allocated when their first id arrives and handed out again once
// their last id has left, so memory follows the ids present, not the largest
// id ever seen. Both iterate ascending by id, and a walk costs the pages that
// hold ids, not the range of ids ever seen: a map whose ids keep rising while
// few stay (the tuples a rule holds between firings) is walked at every
// firing. Where there are many small maps or sets over one shared range of
// ids (one per rule), a page per id held apart would cost each of them the
// range rather than its ids: CompactIdMap and DenseIdSet keep a few ids in a
// sorted vector and take pages only once they hold many. Nothing here has an
// order of its own to leak.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

namespace quarn {

// Positions (page numbers) marked or not, walked ascending at a cost of the
// marked ones, never of the highest position ever marked: each level holds a
// bit per word of the level below that is not zero, up to a level of one
// word, so a walk descends only into words that hold a mark (at most the
// marked positions times the depth, which is 5 for 2^32 positions). Marking
// and unmarking change one word per level at most, and mostly one word.
class MarkedPositions {
public:
    bool marked(uint32_t pos) const {
        const size_t w = pos >> 6;
        return !levels_.empty() && w < levels_[0].size() && ((levels_[0][w] >> (pos & 63)) & 1);
    }
    void mark(uint32_t pos) {
        if (levels_.empty() || (pos >> 6) >= levels_[0].size()) grow_to(pos);
        size_t at = pos;
        for (std::vector<uint64_t>& level : levels_) {
            uint64_t& word = level[at >> 6];
            const bool was_empty = word == 0;
            word |= uint64_t{1} << (at & 63);
            if (!was_empty) return;
            at >>= 6;
        }
    }
    void unmark(uint32_t pos) {
        if (!marked(pos)) return;
        size_t at = pos;
        for (std::vector<uint64_t>& level : levels_) {
            uint64_t& word = level[at >> 6];
            word &= ~(uint64_t{1} << (at & 63));
            if (word != 0) return;
            at >>= 6;
        }
    }
    void clear() { levels_.clear(); }
    size_t bytes_held() const {
        size_t n = levels_.capacity() * sizeof(levels_[0]);
        for (const std::vector<uint64_t>& level : levels_) n += level.capacity() * sizeof(uint64_t);
        return n;
    }

    // f(pos) for every marked position, ascending. Returns the words read:
    // what the walk cost, which tests hold to the positions marked.
    template <class F>
    size_t for_each(F f) const {
        if (levels_.empty()) return 0;
        return walk(levels_.size() - 1, 0, f);
    }

private:
    // Makes room for `pos`, adding levels on top until one has a single word.
    [[gnu::noinline]] void grow_to(uint32_t pos) {
        const size_t need = (size_t{pos} >> 6) + 1;
        if (levels_.empty()) levels_.emplace_back();
        levels_[0].resize(need, 0);
        for (size_t k = 0; levels_[k].size() > 1; ++k) {
            const size_t up = (levels_[k].size() + 63) / 64;
            if (k + 1 < levels_.size()) {
                if (levels_[k + 1].size() < up) levels_[k + 1].resize(up, 0);
                continue;
            }
            // A new top over what was the top: its bits are read off that level.
            std::vector<uint64_t> top(up, 0);
            for (size_t w = 0; w < levels_[k].size(); ++w)
                if (levels_[k][w] != 0) top[w >> 6] |= uint64_t{1} << (w & 63);
            levels_.push_back(std::move(top));
        }
    }
    template <class F>
    size_t walk(size_t level, size_t word, F& f) const {
        size_t read = 1;
        for (uint64_t bits = levels_[level][word]; bits != 0; bits &= bits - 1) {
            const size_t below = (word << 6) | static_cast<size_t>(std::countr_zero(bits));
            if (level == 0) f(static_cast<uint32_t>(below));
            else read += walk(level - 1, below, f);
        }
        return read;
    }

    std::vector<std::vector<uint64_t>> levels_;  // [0]: a bit per position; the last holds one word
};

// id -> V, for ids of type Id (an integer or an enum over uint32_t). V must be
// cheap to default-construct and to copy. An id is given V{} when it arrives;
// a V with nothing to construct or destroy is left raw in a page until then.
// A reference stays valid until its id is erased, the map is cleared or it is
// destroyed (pages never move).
template <class V, class Id = uint32_t>
class DenseIdMap {
public:
    DenseIdMap() = default;
    DenseIdMap(const DenseIdMap& o) { *this = o; }
    DenseIdMap& operator=(const DenseIdMap& o) {
        if (this == &o) return *this;
        clear();
        o.for_each([&](Id id, const V& v) { try_emplace(id).first = v; });
        return *this;
    }
    DenseIdMap(DenseIdMap&& o) noexcept { *this = std::move(o); }
    DenseIdMap& operator=(DenseIdMap&& o) noexcept {
        if (this == &o) return *this;
        blocks_ = std::move(o.blocks_);
        chunks_ = std::move(o.chunks_);
        free_ = std::move(o.free_);
        held_pages_ = std::move(o.held_pages_);
        pages_ = std::exchange(o.pages_, 0);
        size_ = std::exchange(o.size_, 0);
        hot_id_ = std::exchange(o.hot_id_, kNoPage);
        hot_ = std::exchange(o.hot_, nullptr);
        o.blocks_.clear();
        o.chunks_.clear();
        o.free_.clear();
        o.held_pages_.clear();
        return *this;
    }

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // Bytes of pages, directory and page index held: what tests hold to the
    // ids present.
    size_t bytes_held() const {
        size_t n = blocks_.capacity() * sizeof(blocks_[0]) + chunks_.capacity() * sizeof(chunks_[0]) +
                   chunks_.size() * kChunkPages * sizeof(Page) + free_.capacity() * sizeof(uint32_t) +
                   held_pages_.bytes_held();
        for (const std::unique_ptr<uint32_t[]>& block : blocks_)
            if (block) n += kBlockPages * sizeof(uint32_t);
        return n;
    }

    const V* find(Id key) const {
        const uint32_t id = static_cast<uint32_t>(key);
        const Page* p = page_of(id);
        if (p == nullptr || !((p->present >> (id & kSlotMask)) & 1)) return nullptr;
        return &p->values[id & kSlotMask];
    }
    V* find(Id key) { return const_cast<V*>(std::as_const(*this).find(key)); }
    bool contains(Id key) const { return find(key) != nullptr; }
    // Starts loading the id's value (its page's directory entry is read now).
    void prefetch(Id key) const {
        const uint32_t id = static_cast<uint32_t>(key);
        if (const Page* p = page_of(id)) __builtin_prefetch(&p->values[id & kSlotMask]);
    }

    // The id's value and whether it was absent (then V{}).
    std::pair<V&, bool> try_emplace(Id key) {
        const uint32_t id = static_cast<uint32_t>(key);
        Page* p = (id >> kPageBits) == hot_id_ ? hot_ : warm_page(id);
        bool fresh;
        V& v = claim(p, id, fresh, size_);
        return {v, fresh};
    }
    // try_emplace of ids[0], ..., ids[n - 1] in turn, each handed to
    // f(k, value, fresh) before the next is made. The page at hand is kept in
    // locals across the run, where stores through the values handed out would
    // make try_emplace read it again; f must not change this map.
    template <class F>
    void try_emplace_each(const Id* ids, size_t n, F f) {
        if (n > 1 && claim_run(ids, n, f)) return;
        uint32_t page_id = hot_id_;
        Page* p = hot_;
        size_t added = 0;
        for (size_t k = 0; k < n; ++k) {
            const uint32_t id = static_cast<uint32_t>(ids[k]);
            if ((id >> kPageBits) != page_id) {
                p = warm_page(id);
                page_id = id >> kPageBits;
            }
            bool fresh;
            V& v = claim(p, id, fresh, added);
            f(k, v, fresh);
        }
        size_ += added;
    }
    // The id's value, made (as V{}) when absent.
    V& operator[](Id key) { return try_emplace(key).first; }
    // Removes the id; false when it was absent.
    bool erase(Id key) {
        return erase_when(key, [](V&) { return true; });
    }
    // Removes the id when f(value) says so, the id found once for both;
    // false when it was absent (f not called). f must not change this map.
    template <class F>
    bool erase_when(Id key, F f) {
        const uint32_t id = static_cast<uint32_t>(key);
        Page* p = page_of(id);
        if (p == nullptr) return false;
        const uint64_t bit = uint64_t{1} << (id & kSlotMask);
        if (!(p->present & bit)) return false;
        if (!f(p->values[id & kSlotMask])) return true;
        p->present &= ~bit;
        if constexpr (!kRawValues) p->values[id & kSlotMask] = V{};
        --size_;
        if (p->present == 0) drop_page(id);
        return true;
    }
    void clear() { *this = DenseIdMap(); }
    // Removes every id that f(id, value) selects, walking as for_each does;
    // how many. f must not change this map.
    template <class F>
    size_t erase_if(F f) {
        size_t removed = 0;
        held_pages_.for_each([&](uint32_t page) {
            const uint32_t base = page << kPageBits;
            Page& p = *page_of(base);
            uint64_t gone = 0;
            for (uint64_t bits = p.present; bits != 0; bits &= bits - 1) {
                const uint32_t slot = static_cast<uint32_t>(std::countr_zero(bits));
                if (!f(static_cast<Id>(base | slot), std::as_const(p.values[slot]))) continue;
                gone |= uint64_t{1} << slot;
                if constexpr (!kRawValues) p.values[slot] = V{};
            }
            if (gone == 0) return;
            p.present &= ~gone;
            const size_t n = static_cast<size_t>(std::popcount(gone));
            removed += n;
            size_ -= n;
            // Unmarking the page leaves the walk's own copy of its word as it was.
            if (p.present == 0) drop_page(base);
        });
        return removed;
    }

    // Every present id with its value, ascending by id. Returns the words of
    // the page index read (see MarkedPositions::for_each).
    template <class F>
    size_t for_each(F f) const {
        return held_pages_.for_each([&](uint32_t page) {
            const Page& p = *page_of(page << kPageBits);
            const uint32_t base = page << kPageBits;
            for (uint64_t bits = p.present; bits != 0; bits &= bits - 1)
                f(static_cast<Id>(base | static_cast<uint32_t>(std::countr_zero(bits))), p.values[std::countr_zero(bits)]);
        });
    }

private:
    static constexpr uint32_t kPageBits = 6;  // 64 ids to a page: one presence word
    static constexpr uint32_t kSlotMask = (uint32_t{1} << kPageBits) - 1;
    static constexpr uint32_t kBlockBits = 10;  // a directory block names 1024 pages
    static constexpr uint32_t kBlockPages = uint32_t{1} << kBlockBits;
    static constexpr uint32_t kChunkPages = 16;  // pages are allocated 16 at a time
    static constexpr bool kRawValues = std::is_trivially_default_constructible_v<V> && std::is_trivially_destructible_v<V>;
    // An absent id's value is raw (kRawValues) or V{}.
    struct Page {
        uint64_t present = 0;
        V values[uint32_t{1} << kPageBits];
    };

    const Page& page_at(uint32_t index) const { return chunks_[index / kChunkPages][index % kChunkPages]; }
    Page& page_at(uint32_t index) { return chunks_[index / kChunkPages][index % kChunkPages]; }
    // The directory entry of the id's page: page index + 1, 0 for none; null
    // when the id's block has no directory yet.
    uint32_t* entry_of(uint32_t id) const {
        const uint32_t b = id >> (kBlockBits + kPageBits);
        if (b >= blocks_.size() || !blocks_[b]) return nullptr;
        return &blocks_[b][(id >> kPageBits) & (kBlockPages - 1)];
    }
    const Page* page_of(uint32_t id) const {
        const uint32_t* e = entry_of(id);
        return e == nullptr || *e == 0 ? nullptr : &page_at(*e - 1);
    }
    Page* page_of(uint32_t id) { return const_cast<Page*>(std::as_const(*this).page_of(id)); }
    Page* add_page(uint32_t id) {
        const uint32_t b = id >> (kBlockBits + kPageBits);
        if (b >= blocks_.size()) blocks_.resize(size_t{b} + 1);
        if (!blocks_[b]) blocks_[b] = std::make_unique<uint32_t[]>(kBlockPages);
        uint32_t index;
        if (!free_.empty()) {
            index = free_.back();
            free_.pop_back();
        } else {
            if (pages_ % kChunkPages == 0) chunks_.push_back(new_chunk());
            index = pages_++;
        }
        blocks_[b][(id >> kPageBits) & (kBlockPages - 1)] = index + 1;
        held_pages_.mark(id >> kPageBits);
        return &page_at(index);
    }
    static std::unique_ptr<Page[]> new_chunk() {
        if constexpr (kRawValues) {
            return std::make_unique_for_overwrite<Page[]>(kChunkPages);
        } else {
            return std::make_unique<Page[]>(kChunkPages);
        }
    }
    // The id's value on its page p, marked present (and set to V{} where
    // values are left raw) and counted in `count` when it was absent:
    // `fresh`. Tested by shifting
    // the word rather than making the mask first: one bit test, and the
    // mask only for a fresh id.
    [[gnu::always_inline]] static V& claim(Page* p, uint32_t id, bool& fresh, size_t& count) {
        const uint32_t slot = id & kSlotMask;
        fresh = !((p->present >> slot) & 1);
        V& v = p->values[slot];
        if (fresh) {
            p->present |= uint64_t{1} << slot;
            ++count;
            if constexpr (kRawValues) v = V{};
        }
        return v;
    }
    // try_emplace_each of a run of new ids one apart, counting up or down,
    // on one page, as a walk of ids made in sequence meets them: claimed
    // with one store to the page's presence word. False, claiming nothing,
    // for any other ids.
    template <class F>
    bool claim_run(const Id* ids, size_t n, F& f) {
        const uint32_t first = static_cast<uint32_t>(ids[0]);
        const uint32_t step = static_cast<uint32_t>(ids[1]) - first;
        if (step != 1 && step != UINT32_MAX) return false;
        const uint32_t last = first + step * static_cast<uint32_t>(n - 1);
        // A run past either end of the ids wraps onto another page.
        if ((first >> kPageBits) != (last >> kPageBits)) return false;
        for (size_t k = 2; k < n; ++k) {
            if (static_cast<uint32_t>(ids[k]) != first + step * static_cast<uint32_t>(k)) return false;
        }
        const uint32_t low = (step == 1 ? first : last) & kSlotMask;
        const uint64_t mask = (n == 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1) << low;
        Page* p = (first >> kPageBits) == hot_id_ ? hot_ : warm_page(first);
        if ((p->present & mask) != 0) return false;
        p->present |= mask;
        size_ += n;
        V* v = &p->values[first & kSlotMask];
        const ptrdiff_t d = step == 1 ? 1 : -1;
        for (size_t k = 0; k < n; ++k, v += d) {
            if constexpr (kRawValues) *v = V{};
            f(k, *v, true);
        }
        return true;
    }
    // The id's page, made when missing, and made the one at hand.
    [[gnu::noinline]] Page* warm_page(uint32_t id) {
        Page* p = page_of(id);
        if (p == nullptr) p = add_page(id);
        hot_id_ = id >> kPageBits;
        hot_ = p;
        return p;
    }
    // The page's values are all raw or V{} again: erase reset each.
    void drop_page(uint32_t id) {
        if ((id >> kPageBits) == hot_id_) {
            hot_id_ = kNoPage;
            hot_ = nullptr;
        }
        uint32_t* e = entry_of(id);
        free_.push_back(*e - 1);
        *e = 0;
        held_pages_.unmark(id >> kPageBits);
    }

    std::vector<std::unique_ptr<uint32_t[]>> blocks_;  // by id >> 16
    std::vector<std::unique_ptr<Page[]>> chunks_;
    uint32_t pages_ = 0;          // pages handed out from the chunks
    std::vector<uint32_t> free_;  // emptied pages, reused first
    MarkedPositions held_pages_;  // by id >> kPageBits: the pages handed out
    size_t size_ = 0;
    // The page last reached by try_emplace (its first id >> kPageBits), kept
    // at hand: new ids arrive in runs, mostly on the page of the one before.
    // Lookups go through the directory: they come in no such runs.
    static constexpr uint32_t kNoPage = UINT32_MAX;  // above any id >> kPageBits
    uint32_t hot_id_ = kNoPage;
    Page* hot_ = nullptr;
};

// id -> V, like DenseIdMap, for maps of which there are many and most hold a
// few ids drawn from a range that all of them share (a rule's activations by
// tuple id, where every rule's tuples are numbered from one counter): a
// DenseIdMap costs a page per id held apart from the others and a directory
// block per 65536 ids of range, so a thousand such maps holding twenty ids
// each would cost their pages, not their twenty records. This map keeps up to
// kSortedMost ids in a vector sorted by id, which costs what it holds, and
// moves them to a DenseIdMap past that, where runs of neighbouring ids share
// pages; it moves back once a quarter of that is left, so that an id
// arriving and leaving at the boundary does not move them every time.
// A reference stays valid until the next insert or erase, or clear. Walks
// are ascending by id, as DenseIdMap's.
template <class V, class Id = uint32_t>
class CompactIdMap {
public:
    static constexpr size_t kSortedMost = 64;

    CompactIdMap() = default;
    CompactIdMap(const CompactIdMap&) = default;
    CompactIdMap& operator=(const CompactIdMap&) = default;
    CompactIdMap(CompactIdMap&& o) noexcept { *this = std::move(o); }
    CompactIdMap& operator=(CompactIdMap&& o) noexcept {
        sorted_ = std::exchange(o.sorted_, true);
        entries_ = std::exchange(o.entries_, {});
        paged_ = std::move(o.paged_);
        return *this;
    }

    size_t size() const { return sorted_ ? entries_.size() : paged_.size(); }
    bool empty() const { return size() == 0; }
    // Whether the ids sit in the sorted vector (not in pages).
    bool sorted() const { return sorted_; }
    // Bytes held for the ids and their values.
    size_t bytes_held() const { return entries_.capacity() * sizeof(Entry) + paged_.bytes_held(); }

    // As in DenseIdSet, the paged path inline and the sorted one out of
    // line: a rule's list large enough to page is the one a hot path reads.
    const V* find(Id key) const {
        if (!sorted_) return paged_.find(key);
        return find_sorted(static_cast<uint32_t>(key));
    }
    V* find(Id key) { return const_cast<V*>(std::as_const(*this).find(key)); }
    bool contains(Id key) const { return find(key) != nullptr; }

    // The id's value and whether it was absent (then V{}).
    std::pair<V&, bool> try_emplace(Id key) {
        if (!sorted_) return paged_.try_emplace(key);
        return try_emplace_sorted(key);
    }
    V& operator[](Id key) { return try_emplace(key).first; }
    // Removes the id; false when it was absent.
    bool erase(Id key) {
        if (!sorted_) {
            if (!paged_.erase(key)) return false;
            if (paged_.size() <= kSortedMost / 4) to_sorted();
            return true;
        }
        const uint32_t id = static_cast<uint32_t>(key);
        auto it = lower(id);
        if (it == entries_.end() || it->id != id) return false;
        entries_.erase(it);
        release_room();
        return true;
    }
    // Removes every id that f(id, value) selects; how many. f must not
    // change this map.
    template <class F>
    size_t erase_if(F f) {
        if (!sorted_) {
            const size_t n = paged_.erase_if(f);
            if (paged_.size() <= kSortedMost / 4) to_sorted();
            return n;
        }
        const size_t before = entries_.size();
        std::erase_if(entries_, [&](const Entry& e) { return f(static_cast<Id>(e.id), std::as_const(e.value)); });
        release_room();
        return before - entries_.size();
    }
    void clear() { *this = CompactIdMap(); }

    // Every present id with its value, ascending by id. Returns what the
    // walk read: entries while sorted, else the words of the page index
    // (see DenseIdMap::for_each).
    template <class F>
    size_t for_each(F f) const {
        if (!sorted_) return paged_.for_each(f);
        for (const Entry& e : entries_) f(static_cast<Id>(e.id), e.value);
        return entries_.size();
    }

private:
    struct Entry {
        uint32_t id;
        V value;
    };
    [[gnu::noinline]] const V* find_sorted(uint32_t id) const {
        auto it = lower(id);
        return it != entries_.end() && it->id == id ? &it->value : nullptr;
    }
    [[gnu::noinline]] std::pair<V&, bool> try_emplace_sorted(Id key) {
        const uint32_t id = static_cast<uint32_t>(key);
        // Ids mostly arrive ascending: the end is tried before a search.
        if (entries_.empty() || entries_.back().id < id) {
            if (entries_.size() == kSortedMost) return to_pages().try_emplace(key);
            entries_.push_back(Entry{id, V{}});
            return {entries_.back().value, true};
        }
        auto it = lower(id);
        if (it->id == id) return {it->value, false};
        if (entries_.size() == kSortedMost) return to_pages().try_emplace(key);
        it = entries_.insert(it, Entry{id, V{}});
        return {it->value, true};
    }
    typename std::vector<Entry>::const_iterator lower(uint32_t id) const {
        return std::lower_bound(entries_.begin(), entries_.end(), id,
                                [](const Entry& e, uint32_t i) { return e.id < i; });
    }
    typename std::vector<Entry>::iterator lower(uint32_t id) {
        return std::lower_bound(entries_.begin(), entries_.end(), id,
                                [](const Entry& e, uint32_t i) { return e.id < i; });
    }
    [[gnu::noinline]] DenseIdMap<V, Id>& to_pages() {
        for (const Entry& e : entries_) paged_.try_emplace(static_cast<Id>(e.id)).first = e.value;
        std::vector<Entry>().swap(entries_);
        sorted_ = false;
        return paged_;
    }
    [[gnu::noinline]] void to_sorted() {
        entries_.reserve(paged_.size());
        paged_.for_each([&](Id id, const V& v) { entries_.push_back(Entry{static_cast<uint32_t>(id), v}); });
        paged_.clear();
        sorted_ = true;
    }
    // A vector emptied to under a quarter of its room gives the rest back.
    void release_room() {
        if (entries_.capacity() >= 16 && entries_.size() < entries_.capacity() / 4) entries_.shrink_to_fit();
    }

    bool sorted_ = true;
    std::vector<Entry> entries_;  // while sorted_: ascending by id, at most kSortedMost
    DenseIdMap<V, Id> paged_;     // while !sorted_: the ids, more than kSortedMost / 4
};

// A set of ids: one bit per id in pages of 4096 ids, found through a flat
// directory (4 bytes per 4096 ids up to the largest id held). A set holding
// at most kSortedMost ids keeps them in a sorted vector instead: sets of
// which there are many (a rule's first-pattern input) hold a few ids drawn
// from a range that all of them share, and a page each would cost 512 bytes
// per id held apart. Past kSortedMost the ids move to pages; they move back
// once a quarter of that is left.
class DenseIdSet {
public:
    static constexpr size_t kSortedMost = 64;

    DenseIdSet() = default;
    DenseIdSet(const DenseIdSet&) = default;
    DenseIdSet& operator=(const DenseIdSet&) = default;
    DenseIdSet(DenseIdSet&& o) noexcept { *this = std::move(o); }
    DenseIdSet& operator=(DenseIdSet&& o) noexcept {
        if (this == &o) return *this;
        dir_ = std::move(o.dir_);
        words_ = std::move(o.words_);
        counts_ = std::move(o.counts_);
        free_ = std::move(o.free_);
        held_pages_ = std::move(o.held_pages_);
        sorted_ids_ = std::move(o.sorted_ids_);
        paged_ = std::exchange(o.paged_, false);
        size_ = std::exchange(o.size_, 0);
        o.dir_.clear();
        o.words_.clear();
        o.counts_.clear();
        o.free_.clear();
        o.held_pages_.clear();
        o.sorted_ids_.clear();
        return *this;
    }

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // Whether the ids sit in the sorted vector (not in pages).
    bool sorted() const { return !paged_; }
    // Bytes held for the ids: what tests hold to the ids present.
    size_t bytes_held() const {
        return sorted_ids_.capacity() * sizeof(uint32_t) + dir_.capacity() * sizeof(uint32_t) +
               words_.capacity() * sizeof(uint64_t) + counts_.capacity() * sizeof(uint32_t) +
               free_.capacity() * sizeof(uint32_t) + held_pages_.bytes_held();
    }
    // The paged path is inline, the sorted one out of line: a set large
    // enough to page is the one a hot path reads (a type's passing facts),
    // and the mode test stays one branch there.
    bool contains(uint32_t id) const {
        if (!paged_) return contains_sorted(id);
        const uint32_t p = id >> kPageBits;
        if (p >= dir_.size() || dir_[p] == 0) return false;
        return (words_[word_index(dir_[p] - 1, id)] >> (id & 63)) & 1;
    }
    size_t count(uint32_t id) const { return contains(id) ? 1 : 0; }
    // Whether the id was absent.
    bool insert(uint32_t id) {
        if (paged_) return insert_paged(id);
        return insert_sorted(id);
    }
    // How many were removed: 0 or 1.
    size_t erase(uint32_t id) {
        if (!paged_) return erase_sorted(id);
        const uint32_t p = id >> kPageBits;
        if (p >= dir_.size() || dir_[p] == 0) return 0;
        const uint32_t page = dir_[p] - 1;
        uint64_t& w = words_[word_index(page, id)];
        const uint64_t bit = uint64_t{1} << (id & 63);
        if (!(w & bit)) return 0;
        w &= ~bit;
        --size_;
        if (--counts_[page] == 0) {
            free_.push_back(page);
            dir_[p] = 0;
            held_pages_.unmark(p);
        }
        if (size_ <= kSortedMost / 4) to_sorted();
        return 1;
    }
    void clear() { *this = DenseIdSet(); }

    // Every id held, ascending. Returns what the walk read: ids while
    // sorted, else the words of the page index (see
    // MarkedPositions::for_each).
    template <class F>
    size_t for_each(F f) const {
        if (!paged_) {
            for (uint32_t id : sorted_ids_) f(id);
            return sorted_ids_.size();
        }
        return held_pages_.for_each([&](uint32_t p) {
            const size_t first = size_t{dir_[p] - 1} * kPageWords;
            for (uint32_t k = 0; k < kPageWords; ++k)
                for (uint64_t bits = words_[first + k]; bits != 0; bits &= bits - 1)
                    f((p << kPageBits) | (k << 6) | static_cast<uint32_t>(std::countr_zero(bits)));
        });
    }

private:
    static constexpr uint32_t kPageBits = 12;
    static constexpr uint32_t kPageWords = (uint32_t{1} << kPageBits) / 64;
    static size_t word_index(uint32_t page, uint32_t id) {
        return size_t{page} * kPageWords + ((id >> 6) & (kPageWords - 1));
    }
    [[gnu::noinline]] bool contains_sorted(uint32_t id) const {
        return std::binary_search(sorted_ids_.begin(), sorted_ids_.end(), id);
    }
    [[gnu::noinline]] bool insert_sorted(uint32_t id) {
        // Ids mostly arrive ascending: the end is tried before a search.
        auto it = sorted_ids_.empty() || sorted_ids_.back() < id
                      ? sorted_ids_.end()
                      : std::lower_bound(sorted_ids_.begin(), sorted_ids_.end(), id);
        if (it != sorted_ids_.end() && *it == id) return false;
        if (sorted_ids_.size() == kSortedMost) {
            to_pages();
            return insert_paged(id);
        }
        sorted_ids_.insert(it, id);
        ++size_;
        return true;
    }
    [[gnu::noinline]] size_t erase_sorted(uint32_t id) {
        auto it = std::lower_bound(sorted_ids_.begin(), sorted_ids_.end(), id);
        if (it == sorted_ids_.end() || *it != id) return 0;
        sorted_ids_.erase(it);
        --size_;
        if (sorted_ids_.capacity() >= 16 && size_ < sorted_ids_.capacity() / 4) sorted_ids_.shrink_to_fit();
        return 1;
    }
    bool insert_paged(uint32_t id) {
        const uint32_t p = id >> kPageBits;
        if (p >= dir_.size()) dir_.resize(size_t{p} + 1, 0);
        if (dir_[p] == 0) {
            dir_[p] = add_page() + 1;
            held_pages_.mark(p);
        }
        const uint32_t page = dir_[p] - 1;
        uint64_t& w = words_[word_index(page, id)];
        const uint64_t bit = uint64_t{1} << (id & 63);
        if (w & bit) return false;
        w |= bit;
        ++counts_[page];
        ++size_;
        return true;
    }
    // An emptied page's words are all zero again.
    uint32_t add_page() {
        if (!free_.empty()) {
            const uint32_t page = free_.back();
            free_.pop_back();
            return page;
        }
        const uint32_t page = static_cast<uint32_t>(counts_.size());
        counts_.push_back(0);
        words_.resize(words_.size() + kPageWords, 0);
        return page;
    }
    [[gnu::noinline]] void to_pages() {
        paged_ = true;
        size_ = 0;
        for (uint32_t id : sorted_ids_) insert_paged(id);
        std::vector<uint32_t>().swap(sorted_ids_);
    }
    [[gnu::noinline]] void to_sorted() {
        std::vector<uint32_t> ids;
        ids.reserve(size_);
        for_each([&](uint32_t id) { ids.push_back(id); });
        *this = DenseIdSet();
        size_ = ids.size();
        sorted_ids_ = std::move(ids);
    }

    std::vector<uint32_t> dir_;     // by id >> 12: page + 1, 0 for none
    std::vector<uint64_t> words_;   // kPageWords per page
    std::vector<uint32_t> counts_;  // ids held, per page
    std::vector<uint32_t> free_;    // emptied pages, reused first
    MarkedPositions held_pages_;    // by id >> 12: the entries of dir_ that name a page
    // While !paged_: the ids, ascending, at most kSortedMost; the pages are
    // empty. While paged_: empty, and the pages hold more than kSortedMost / 4.
    std::vector<uint32_t> sorted_ids_;
    bool paged_ = false;
    size_t size_ = 0;
};

}  // namespace quarn
