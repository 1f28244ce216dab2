// The tuple table: interning tuples as a parent plus one fact.
#include "network/tuple.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "common/internal_error.h"
#include "common/text.h"

namespace quarn {

TupleTable::TupleTable() {
    recs_.push_back(std::make_unique<Rec[]>(size_t{1} << kRecShift));
    chunk_released_.push_back(0);
    count_ = 1;  // the empty tuple: no facts, its own parent
}

namespace {

// Deep copy of chunked per-tuple records, keeping the chunks never allocated
// unallocated.
template <class T>
void copy_chunks(std::vector<std::unique_ptr<T[]>>& to, const std::vector<std::unique_ptr<T[]>>& from,
                 size_t per_chunk) {
    to.clear();
    to.reserve(from.size());
    for (const auto& chunk : from) {
        to.emplace_back();
        if (!chunk) continue;
        to.back() = std::make_unique<T[]>(per_chunk);
        std::copy(chunk.get(), chunk.get() + per_chunk, to.back().get());
    }
}

}  // namespace

TupleTable::TupleTable(const TupleTable& o) { *this = o; }

TupleTable& TupleTable::operator=(const TupleTable& o) {
    if (this == &o) return *this;
    copy_chunks(recs_, o.recs_, size_t{1} << kRecShift);
    chunk_released_ = o.chunk_released_;
    count_ = o.count_;
    released_ = o.released_;
    blocks_.clear();
    blocks_.reserve(o.blocks_.size());
    for (const Block& from : o.blocks_) {
        Block& b = blocks_.emplace_back();
        b.tuple_size = from.tuple_size;
        b.used = from.used;
        b.capacity = from.capacity;
        b.released = from.released;
        if (!from.facts) continue;
        b.facts = std::make_unique_for_overwrite<FactId[]>(from.capacity);
        std::memcpy(b.facts.get(), from.facts.get(), size_t{from.used} * sizeof(FactId));
    }
    free_blocks_ = o.free_blocks_;
    std::copy(std::begin(o.open_), std::end(o.open_), std::begin(open_));
    pair_room_ = o.pair_room_;
    one_fact_ = o.one_fact_;
    first_child_ = o.first_child_;
    children_ = o.children_;
    copy_chunks(links_, o.links_, size_t{1} << kRecShift);
    indexed_ = o.indexed_;
    by_last_ = o.by_last_;
    by_parent_ = o.by_parent_;
    release_reads_ = o.release_reads_;
    return *this;
}

TupleTable::PagedIds& TupleTable::PagedIds::operator=(const PagedIds& o) {
    if (this == &o) return *this;
    pages_.clear();
    last_ = kNoPage;
    last_page_ = nullptr;
    pages_.resize(o.pages_.size());
    held_ = o.held_;
    for (size_t k = 0; k < o.pages_.size(); ++k) {
        if (!o.pages_[k]) continue;
        pages_[k] = std::make_unique_for_overwrite<TupleId[]>(size_t{1} << kShift);
        std::copy_n(o.pages_[k].get(), size_t{1} << kShift, pages_[k].get());
    }
    return *this;
}

TupleId& TupleTable::PagedIds::find_page(uint32_t i) {
    const uint32_t page = i >> kShift;
    if (page >= pages_.size()) grow(page);
    if (!pages_[page]) pages_[page] = std::make_unique<TupleId[]>(size_t{1} << kShift);
    last_ = page;
    last_page_ = pages_[page].get();
    return last_page_[i & kMask];
}

void TupleTable::PagedIds::grow(uint32_t page) {
    if (page >= pages_.size()) pages_.resize(size_t{page} + 1);
    if (page >= held_.size()) held_.resize(size_t{page} + 1, 0);
}

void TupleTable::PagedIds::free_page(uint32_t page) {
    pages_[page].reset();
    held_[page] = 0;
    if (last_ == page) {
        last_ = kNoPage;
        last_page_ = nullptr;
    }
}

size_t TupleTable::PagedIds::pages_held() const {
    return static_cast<size_t>(std::count_if(pages_.begin(), pages_.end(), [](const auto& p) { return p != nullptr; }));
}

void TupleTable::read_of_released(TupleId t) {
    invariant_broken(fmt("tuple {} read after it was released", static_cast<uint32_t>(t)));
}

void TupleTable::release(TupleId t) {
    Rec& r = rec(t);
    const TupleId parent = r.parent;
    if (parent == empty_tuple) {
        one_fact_.clear(r.start);
    } else {
        if (static_cast<uint32_t>(t) < indexed_) unlink(t, r);
        const TupleView facts = facts_at(r.start);
        const uint64_t edge = (static_cast<uint64_t>(static_cast<uint32_t>(parent)) << 32) | facts.back();
        TupleId* first = holds(parent) ? first_child_.find(static_cast<uint32_t>(parent)) : nullptr;
        if (first != nullptr && *first == t) {
            // The parent's other extensions stay in children_, where the
            // next extend looks once it finds this mark.
            *first = kFirstReleased;
        } else if (!children_.empty()) {
            // A released parent's first extension is not in children_: the
            // lookup finds nothing then.
            auto it = children_.find(edge);
            if (it != children_.end() && it->second == t) children_.erase(it);
        }
        Block& b = blocks_[r.start >> kBlockShift];
        b.released += static_cast<uint32_t>(facts.size()) + (b.tuple_size == 0 ? 1 : 0);
    }
    r.parent = kReleased;
    first_child_.retire(static_cast<uint32_t>(t));
    ++chunk_released_[static_cast<uint32_t>(t) >> kRecShift];
    ++released_;
}

void TupleTable::index_new_tuples() {
    for (uint32_t i = indexed_; i < count_; ++i) {
        const uint32_t c = i >> kRecShift;
        if (!recs_[c]) {
            // Every record of the chunk was released: none to file.
            i |= kRecMask;
            continue;
        }
        const Rec& r = recs_[c][i & kRecMask];
        if (r.parent == empty_tuple || r.parent == kReleased) continue;
        if (links_.size() <= c) links_.resize(size_t{c} + 1);
        if (!links_[c]) links_[c] = std::make_unique<Links[]>(size_t{1} << kRecShift);
        const TupleId t{i};
        Links& mine = links_[c][i & kRecMask];
        const FactId last = facts_at(r.start).back();
        TupleId& by_last = by_last_.at(last);
        if (by_last == empty_tuple) by_last_.note_set(last);
        else links(by_last).same_last_newer = t;
        mine.same_last_older = by_last;
        by_last = t;
        TupleId& by_parent = by_parent_.at(static_cast<uint32_t>(r.parent));
        if (by_parent == empty_tuple) by_parent_.note_set(static_cast<uint32_t>(r.parent));
        else links(by_parent).sibling_newer = t;
        mine.sibling_older = by_parent;
        by_parent = t;
    }
    indexed_ = count_;
}

void TupleTable::unlink(TupleId t, const Rec& r) {
    Links& mine = links(t);
    if (mine.same_last_older != empty_tuple) links(mine.same_last_older).same_last_newer = mine.same_last_newer;
    if (mine.same_last_newer != empty_tuple) {
        links(mine.same_last_newer).same_last_older = mine.same_last_older;
    } else {
        const FactId last = facts_at(r.start).back();
        if (mine.same_last_older != empty_tuple) by_last_.at(last) = mine.same_last_older;
        else by_last_.clear(last);
    }
    if (mine.sibling_older != empty_tuple) links(mine.sibling_older).sibling_newer = mine.sibling_newer;
    if (mine.sibling_newer != empty_tuple) {
        links(mine.sibling_newer).sibling_older = mine.sibling_older;
    } else {
        const auto parent = static_cast<uint32_t>(r.parent);
        if (mine.sibling_older != empty_tuple) by_parent_.at(parent) = mine.sibling_older;
        else by_parent_.clear(parent);
    }
    mine = Links{};
}

void TupleTable::held_children(TupleId t, std::vector<TupleId>& out) {
    const TupleId* newest = by_parent_.find(static_cast<uint32_t>(t));
    for (TupleId c = newest ? *newest : empty_tuple; c != empty_tuple; c = links(c).sibling_older) {
        ++release_reads_;
        out.push_back(c);
    }
}

std::vector<TupleId> TupleTable::release_tuples_holding(std::span<const FactId> facts) {
    std::vector<TupleId> released;
    if (facts.empty()) return released;
    index_new_tuples();
    // The tuples that take a fact in: [f], and those whose last fact is f.
    std::vector<TupleId> seeds;
    for (FactId f : facts) {
        if (const TupleId* one = one_fact_.find(f); one != nullptr && *one != empty_tuple) {
            ++release_reads_;
            seeds.push_back(*one);
        }
        const TupleId* newest = by_last_.find(f);
        for (TupleId t = newest ? *newest : empty_tuple; t != empty_tuple; t = links(t).same_last_older) {
            ++release_reads_;
            seeds.push_back(t);
        }
    }
    // Depth first, a tuple's extensions released before it, so that each
    // leaves its parent's chain while the parent is held. A tuple reached
    // twice (a seed that is also an extension of another) goes once.
    std::vector<std::pair<TupleId, bool>> stack;
    std::vector<TupleId> children;
    std::vector<uint32_t> chunks;
    for (TupleId seed : seeds) {
        stack.emplace_back(seed, false);
        while (!stack.empty()) {
            auto& [t, expanded] = stack.back();
            if (!holds(t)) {
                stack.pop_back();
                continue;
            }
            if (!expanded) {
                expanded = true;
                const TupleId parent_of_children = t;
                children.clear();
                if (static_cast<uint32_t>(parent_of_children) < indexed_) held_children(parent_of_children, children);
                for (TupleId c : children) stack.emplace_back(c, false);
                continue;
            }
            const TupleId done = t;
            stack.pop_back();
            release(done);
            released.push_back(done);
            chunks.push_back(static_cast<uint32_t>(done) >> kRecShift);
        }
    }
    std::sort(chunks.begin(), chunks.end());
    chunks.erase(std::unique(chunks.begin(), chunks.end()), chunks.end());
    for (uint32_t c : chunks) {
        if (chunk_released_[c] != kRecMask + 1) continue;
        recs_[c].reset();
        if (c < links_.size()) links_[c].reset();
    }
    if (!released.empty()) free_emptied_blocks();
    return released;
}

void TupleTable::free_emptied_blocks() {
    for (uint32_t k = 0; k < blocks_.size(); ++k) {
        Block& b = blocks_[k];
        if (!b.facts || b.released != b.used) continue;
        const bool open = std::any_of(std::begin(open_), std::end(open_), [&](uint64_t at) {
            return (at & kBlockMask) != 0 && (at >> kBlockShift) == k;
        });
        if (open) continue;
        // A long tuple's run of blocks keeps its numbers: only a block of
        // one block's size is handed out again.
        if (b.capacity == (uint32_t{1} << kBlockShift)) free_blocks_.push_back(k);
        b = Block{};
    }
}

TupleTable::Footprint TupleTable::footprint() const {
    Footprint f;
    f.tuples = count_ - released_;
    f.record_chunks = static_cast<size_t>(std::count_if(recs_.begin(), recs_.end(), [](const auto& c) { return c != nullptr; }));
    f.fact_blocks = static_cast<size_t>(std::count_if(blocks_.begin(), blocks_.end(), [](const Block& b) { return b.facts != nullptr; }));
    f.lookup_pages = one_fact_.pages_held() + first_child_.pages_held() + by_last_.pages_held() + by_parent_.pages_held();
    return f;
}

uint64_t TupleTable::add_blocks(uint64_t words, uint32_t tuple_size) {
    constexpr uint64_t block = uint64_t{1} << kBlockShift;
    const uint64_t count = (words + block - 1) / block;
    if (blocks_.size() + count > (uint64_t{1} << (32 - kBlockShift))) {
        invariant_broken("tuple table fact storage overflow");
    }
    uint64_t first = blocks_.size();
    if (count == 1 && !free_blocks_.empty()) {
        first = free_blocks_.back();
        free_blocks_.pop_back();
    } else {
        blocks_.emplace_back();
        for (uint64_t k = 1; k < count; ++k) blocks_.emplace_back();
    }
    Block& b = blocks_[first];
    b.capacity = static_cast<uint32_t>(std::max(block, words));
    // Not zero-filled: a block's pages are touched only as tuples fill them.
    b.facts = std::make_unique_for_overwrite<FactId[]>(b.capacity);
    b.tuple_size = tuple_size;
    return first << kBlockShift;
}

uint32_t TupleTable::allocate_elsewhere(uint32_t n) {
    constexpr uint64_t block = uint64_t{1} << kBlockShift;
    const bool pooled = n <= kPooledSize;
    const uint64_t words = pooled ? n : uint64_t{n} + 1;
    uint64_t at;
    if (words > block) {
        // A run of blocks of its own; the open block of long tuples stays open.
        at = add_blocks(words, 0);
    } else {
        uint64_t& open = open_[pooled ? n : 0];
        if ((open & kBlockMask) == 0 || (open & kBlockMask) + words > block) open = add_blocks(block, pooled ? n : 0);
        at = open;
        open += words;
    }
    Block& b = blocks_[at >> kBlockShift];
    b.used = static_cast<uint32_t>((at & kBlockMask) + words);
    if (pooled) return static_cast<uint32_t>(at);
    b.facts[at & kBlockMask] = n;
    return static_cast<uint32_t>(at + 1);
}

inline TupleId TupleTable::make(TupleId parent, FactId f) {
    const TupleId id = make_here(parent, f);
    pair_room_ = room_for_pairs();
    return id;
}

inline TupleId TupleTable::make_here(TupleId parent, FactId f) {
    TupleId id{count_};
    if ((count_ & kRecMask) == 0) {
        // The last chunk of ids is never opened, so that count_ cannot wrap
        // and every record that extend makes inline has its chunk.
        if (count_ == (std::numeric_limits<uint32_t>::max() & ~kRecMask)) invariant_broken("tuple table overflow");
        recs_.push_back(std::make_unique<Rec[]>(size_t{1} << kRecShift));
        chunk_released_.push_back(0);
    }
    ++count_;
    Rec r;
    r.parent = parent;
    if (parent == empty_tuple) {
        r.start = f;
        rec(id) = r;
        return id;
    }
    const Rec& from_rec = rec(parent);
    if (from_rec.parent == empty_tuple) {
        // A one-fact parent, the commonest: its fact is in its record.
        const FactId first = from_rec.start;
        r.start = allocate(2);
        FactId* facts = blocks_[r.start >> kBlockShift].facts.get() + (r.start & kBlockMask);
        facts[0] = first;
        facts[1] = f;
        rec(id) = r;
        return id;
    }
    // The parent's facts never move, whatever storage this tuple takes.
    const TupleView from = facts_at(from_rec.start);
    const uint32_t n = static_cast<uint32_t>(from.size()) + 1;
    r.start = allocate(n);
    Block* b = &blocks_[r.start >> kBlockShift];
    FactId* facts = b->facts.get() + (r.start & kBlockMask);
    if (n <= 5) {
        // Short tuples, the usual ones, without a call.
        for (uint32_t k = 0; k + 1 < n; ++k) facts[k] = from[k];
    } else {
        std::memcpy(facts, from.data(), (n - 1) * sizeof(FactId));
    }
    facts[n - 1] = f;
    rec(id) = r;
    return id;
}

TupleId TupleTable::extend_elsewhere(TupleId parent, FactId f, bool& made) {
    made = false;
    if (parent == empty_tuple) {
        TupleId& one = one_fact_.at(f);
        if (one == empty_tuple) {
            one = make(empty_tuple, f);
            one_fact_.note_set(f);
            made = true;
        }
        return one;
    }
#ifdef QUARN_VERIFY_ENGINE
    if (!holds(parent)) read_of_released(parent);
#endif
    // make() never touches the pages of first extensions.
    TupleId& first = first_child_.at(static_cast<uint32_t>(parent));
    if (first == empty_tuple) {
        first = make(parent, f);
        made = true;
        return first;
    }
    if (first == kFirstReleased) {
        // The first extension was released: the others are in children_,
        // and one made now takes its place.
        const uint64_t edge = (static_cast<uint64_t>(static_cast<uint32_t>(parent)) << 32) | f;
        if (auto it = children_.find(edge); it != children_.end()) return it->second;
        first = make(parent, f);
        made = true;
        return first;
    }
    if (facts_at(rec(first).start).back() == f) return first;
    return extend_again(parent, f, made);
}

TupleId TupleTable::extend_again(TupleId parent, FactId f, bool& made) {
    uint64_t edge = (static_cast<uint64_t>(static_cast<uint32_t>(parent)) << 32) | f;
    auto [it, fresh] = children_.try_emplace(edge, empty_tuple);
    made = fresh;
    if (!fresh) return it->second;
    TupleId t = make(parent, f);
    // make() may add a record chunk but never touches the map.
    it->second = t;
    return t;
}

TupleId TupleTable::intern(TupleView facts) {
    TupleId t = empty_tuple;
    for (FactId f : facts) t = extend(t, f);
    return t;
}

}  // namespace quarn
