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

TupleTable::TupleTable() { recs_.push_back(Rec{nullptr, 0, empty_tuple}); }

FactId* TupleTable::allocate(size_t n) {
    if (blocks_.empty() || block_used_ + n > block_size_) {
        // A tuple never spans blocks, so its facts are contiguous.
        block_size_ = std::max(kBlockFacts, n);
        blocks_.push_back(std::make_unique<FactId[]>(block_size_));
        block_used_ = 0;
    }
    FactId* at = blocks_.back().get() + block_used_;
    block_used_ += n;
    return at;
}

TupleId TupleTable::extend(TupleId parent, FactId f) {
    uint64_t edge = (static_cast<uint64_t>(static_cast<uint32_t>(parent)) << 32) | f;
    auto [it, fresh] = children_.try_emplace(edge, TupleId{0});
    if (!fresh) return it->second;
    if (recs_.size() >= std::numeric_limits<uint32_t>::max()) invariant_broken("tuple table overflow");
    TupleId id{static_cast<uint32_t>(recs_.size())};
    it->second = id;
    const Rec p = recs_[static_cast<uint32_t>(parent)];
    FactId* facts = allocate(p.size + 1);
    if (p.size > 0) std::memcpy(facts, p.facts, p.size * sizeof(FactId));
    facts[p.size] = f;
    recs_.push_back(Rec{facts, p.size + 1, parent});
    return id;
}

TupleId TupleTable::intern(TupleView facts) {
    TupleId t = empty_tuple;
    for (FactId f : facts) t = extend(t, f);
    return t;
}

}  // namespace quarn
