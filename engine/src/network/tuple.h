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
    TupleTable(const TupleTable&) = delete;
    TupleTable& operator=(const TupleTable&) = delete;

    // The tuple with no facts; the parent of every one-fact tuple.
    static constexpr TupleId empty_tuple = TupleId{0};

    // The tuple `parent` followed by `f`.
    TupleId extend(TupleId parent, FactId f);
    // The tuple holding exactly these facts.
    TupleId intern(TupleView facts);

    TupleView view(TupleId t) const {
        const Rec& r = recs_[static_cast<uint32_t>(t)];
        return {r.facts, r.size};
    }
    size_t size_of(TupleId t) const { return recs_[static_cast<uint32_t>(t)].size; }
    TupleId parent(TupleId t) const { return recs_[static_cast<uint32_t>(t)].parent; }
    // How many tuples the table holds, the empty one included.
    size_t count() const { return recs_.size(); }

private:
    struct Rec {
        const FactId* facts;
        uint32_t size;
        TupleId parent;
    };
    FactId* allocate(size_t n);

    std::vector<Rec> recs_;                          // by id
    std::vector<std::unique_ptr<FactId[]>> blocks_;  // fact storage; never moves
    size_t block_used_ = 0;
    size_t block_size_ = 0;
    HashMap<uint64_t, TupleId> children_;  // (parent << 32 | fact) -> tuple
};

}  // namespace quarn
