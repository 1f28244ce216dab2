// The tuple table: interning tuples as a parent plus one fact.
#include "network/tuple.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "common/internal_error.h"

namespace quarn {

namespace {

constexpr size_t kBlockFacts = size_t{1} << 14;

}  // namespace

TupleTable::TupleTable() { recs_.push_back(Rec{0, 0, 0, empty_tuple}); }

TupleTable::TupleTable(const TupleTable& o) { *this = o; }

TupleTable& TupleTable::operator=(const TupleTable& o) {
    if (this == &o) return *this;
    recs_ = o.recs_;
    block_sizes_ = o.block_sizes_;
    block_used_ = o.block_used_;
    children_ = o.children_;
    blocks_.clear();
    for (size_t b = 0; b < o.blocks_.size(); ++b) {
        blocks_.push_back(std::make_unique<FactId[]>(block_sizes_[b]));
        std::memcpy(blocks_[b].get(), o.blocks_[b].get(), block_sizes_[b] * sizeof(FactId));
    }
    return *this;
}

TupleTable::Rec TupleTable::allocate(uint32_t n, TupleId parent) {
    if (blocks_.empty() || block_used_ + n > block_sizes_.back()) {
        // A tuple never spans blocks, so its facts are contiguous.
        size_t size = std::max<size_t>(kBlockFacts, n);
        blocks_.push_back(std::make_unique<FactId[]>(size));
        block_sizes_.push_back(size);
        block_used_ = 0;
    }
    Rec r{static_cast<uint32_t>(blocks_.size() - 1), static_cast<uint32_t>(block_used_), n, parent};
    block_used_ += n;
    return r;
}

TupleId TupleTable::extend(TupleId parent, FactId f) {
    uint64_t edge = (static_cast<uint64_t>(static_cast<uint32_t>(parent)) << 32) | f;
    auto [it, fresh] = children_.try_emplace(edge, TupleId{0});
    if (!fresh) return it->second;
    if (recs_.size() >= std::numeric_limits<uint32_t>::max()) invariant_broken("tuple table overflow");
    TupleId id{static_cast<uint32_t>(recs_.size())};
    it->second = id;
    const Rec p = recs_[static_cast<uint32_t>(parent)];
    Rec r = allocate(p.size + 1, parent);
    FactId* facts = blocks_[r.block].get() + r.offset;
    if (p.size > 0) std::memcpy(facts, blocks_[p.block].get() + p.offset, p.size * sizeof(FactId));
    facts[p.size] = f;
    recs_.push_back(r);
    return id;
}

TupleId TupleTable::intern(TupleView facts) {
    TupleId t = empty_tuple;
    for (FactId f : facts) t = extend(t, f);
    return t;
}

}  // namespace quarn
