// The tuple table: interning tuples as a parent plus one fact.
#include "network/tuple.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "common/internal_error.h"

namespace quarn {

TupleTable::TupleTable() {
    recs_.push_back(std::make_unique<Rec[]>(size_t{1} << kRecShift));
    count_ = 1;  // the empty tuple: no facts, its own parent
}

TupleTable::TupleTable(const TupleTable& o) { *this = o; }

TupleTable& TupleTable::operator=(const TupleTable& o) {
    if (this == &o) return *this;
    recs_.clear();
    for (const auto& chunk : o.recs_) {
        recs_.push_back(std::make_unique<Rec[]>(size_t{1} << kRecShift));
        std::copy(chunk.get(), chunk.get() + (size_t{1} << kRecShift), recs_.back().get());
    }
    count_ = o.count_;
    blocks_.clear();
    for (size_t b = 0; b < o.blocks_.size(); ++b) {
        if (!o.blocks_[b]) {
            blocks_.emplace_back();
            continue;
        }
        blocks_.push_back(std::make_unique<FactId[]>(o.block_sizes_[b]));
        std::memcpy(blocks_[b].get(), o.blocks_[b].get(), o.block_sizes_[b] * sizeof(FactId));
    }
    block_sizes_ = o.block_sizes_;
    next_fact_ = o.next_fact_;
    one_fact_ = o.one_fact_;
    children_ = o.children_;
    return *this;
}

uint32_t TupleTable::allocate(uint32_t n) {
    constexpr uint64_t block = uint64_t{1} << kBlockShift;
    uint64_t start = next_fact_;
    if ((start & kBlockMask) + n > block) start = (start + block - 1) & ~(block - 1);  // the next block
    uint64_t blocks_needed = n <= block ? 1 : (n + block - 1) / block;
    uint64_t end_block = (start >> kBlockShift) + blocks_needed;
    if (end_block > (uint64_t{1} << (32 - kBlockShift))) invariant_broken("tuple table fact storage overflow");
    if ((start & kBlockMask) == 0 && blocks_.size() <= (start >> kBlockShift)) {
        // A fresh block (or a run of them for a long tuple, all in the first).
        size_t size = std::max<size_t>(block, n);
        blocks_.push_back(std::make_unique<FactId[]>(size));
        block_sizes_.push_back(static_cast<uint32_t>(size));
        for (uint64_t k = 1; k < blocks_needed; ++k) {
            blocks_.emplace_back();
            block_sizes_.push_back(0);
        }
    }
    next_fact_ = n <= block ? start + n : end_block << kBlockShift;
    return static_cast<uint32_t>(start);
}

TupleId TupleTable::make(TupleId parent, FactId f) {
    if (count_ == std::numeric_limits<uint32_t>::max()) invariant_broken("tuple table overflow");
    TupleId id{count_};
    if ((count_ & kRecMask) == 0) recs_.push_back(std::make_unique<Rec[]>(size_t{1} << kRecShift));
    ++count_;
    const Rec p = rec(parent);
    Rec r;
    r.size = p.size + 1;
    r.parent = parent;
    if (r.size == 1) {
        r.start = f;
        rec(id) = r;
        return id;
    }
    // Most tuples fit behind the previous one in its block.
    const uint64_t offset = next_fact_ & kBlockMask;
    if (offset != 0 && offset + r.size <= (uint64_t{1} << kBlockShift)) {
        r.start = static_cast<uint32_t>(next_fact_);
        next_fact_ += r.size;
    } else {
        r.start = allocate(r.size);
    }
    FactId* facts = block_of(r.start) + (r.start & kBlockMask);
    const FactId* from = facts_of(p).data();
    if (p.size <= 4) {
        // Short tuples, the usual ones, without a call.
        for (uint32_t k = 0; k < p.size; ++k) facts[k] = from[k];
    } else {
        std::memcpy(facts, from, p.size * sizeof(FactId));
    }
    facts[p.size] = f;
    rec(id) = r;
    return id;
}

TupleId TupleTable::extend(TupleId parent, FactId f) {
    if (parent == empty_tuple) {
        if (f < one_fact_.size() && one_fact_[f] != empty_tuple) return one_fact_[f];
        if (f >= one_fact_.size()) {
            // Facts are numbered densely from 0: grow geometrically.
            size_t grown = std::max<size_t>(size_t{f} + 1, one_fact_.size() + one_fact_.size() / 2);
            one_fact_.resize(grown, empty_tuple);
        }
        TupleId t = make(empty_tuple, f);
        one_fact_[f] = t;
        return t;
    }
    TupleId first = rec(parent).first_child;
    if (first == empty_tuple) {
        TupleId t = make(parent, f);
        rec(parent).first_child = t;
        return t;
    }
    const Rec& fr = rec(first);
    if (facts_of(fr).back() == f) return first;
    uint64_t edge = (static_cast<uint64_t>(static_cast<uint32_t>(parent)) << 32) | f;
    auto [it, fresh] = children_.try_emplace(edge, empty_tuple);
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
