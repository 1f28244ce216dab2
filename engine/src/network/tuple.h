// Tuples: one match of a rule's patterns, a fact per positive pattern in
// pattern order. An engine interns its tuples in one TupleTable and every
// network structure names them by TupleId.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "common/hash.h"
#include "common/ids.h"

namespace quarn {

// A tuple's number in its engine's TupleTable. Equal tuples have equal ids.
// Ids follow creation order, which says nothing about arrival: nothing may be
// ordered by them.
enum class TupleId : uint32_t {};

template <>
struct HashOf<TupleId> {
    uint64_t operator()(TupleId t) const { return static_cast<uint32_t>(t); }
};

// The facts of a tuple in pattern order. Stays valid while its table lives.
using TupleView = std::span<const FactId>;

// Every tuple an engine has made, each stored once as a parent tuple plus one
// fact (the facts kept flat). Tuples are never removed: an id stays valid, and
// names the same facts, for the table's lifetime.
class TupleTable {
public:
    TupleTable();
    // A copy holds the same tuples under the same ids. Moving keeps every
    // view valid: the facts stay where they are.
    TupleTable(const TupleTable& o);
    TupleTable& operator=(const TupleTable& o);
    TupleTable(TupleTable&&) noexcept = default;
    TupleTable& operator=(TupleTable&&) noexcept = default;

    // The tuple with no facts; the parent of every one-fact tuple.
    static constexpr TupleId empty_tuple = TupleId{0};

    // The tuple `parent` followed by `f`.
    TupleId extend(TupleId parent, FactId f);
    // The tuple holding exactly these facts.
    TupleId intern(TupleView facts);

    TupleView view(TupleId t) const {
        const Rec& r = recs_[static_cast<uint32_t>(t)];
        if (r.size == 0) return {};
        return {blocks_[r.block].get() + r.offset, r.size};
    }
    size_t size_of(TupleId t) const { return recs_[static_cast<uint32_t>(t)].size; }
    TupleId parent(TupleId t) const { return recs_[static_cast<uint32_t>(t)].parent; }
    // How many tuples the table holds, the empty one included.
    size_t count() const { return recs_.size(); }

private:
    struct Rec {
        uint32_t block;
        uint32_t offset;
        uint32_t size;
        TupleId parent;
    };
    // Room for n facts in the last block (a new one when they do not fit).
    Rec allocate(uint32_t n, TupleId parent);

    std::vector<Rec> recs_;                          // by id
    std::vector<std::unique_ptr<FactId[]>> blocks_;  // fact storage; never moves
    std::vector<size_t> block_sizes_;
    size_t block_used_ = 0;
    HashMap<uint64_t, TupleId> children_;  // (parent << 32 | fact) -> tuple
};

}  // namespace quarn
