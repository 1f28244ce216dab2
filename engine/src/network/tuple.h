// Tuples: one match of a rule's patterns, a fact per positive pattern in
// pattern order. An engine interns its tuples in one TupleTable and every
// network structure names them by TupleId.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>
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
//
// Finding a tuple again costs no hashing in the common cases: a one-fact
// tuple is found by its fact in a table by FactId, and a tuple's first
// extension is kept in its own record; only the further extensions of a
// tuple that already has one go through a hash map.
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

    TupleView view(TupleId t) const { return facts_of(rec(t)); }
    size_t size_of(TupleId t) const { return rec(t).size; }
    TupleId parent(TupleId t) const { return rec(t).parent; }
    // How many tuples the table holds, the empty one included.
    size_t count() const { return count_; }

    // Starts loading the record of `t` into the cache (a batch loop asks a
    // few tuples ahead).
    void prefetch(TupleId t) const { __builtin_prefetch(&rec(t)); }

private:
    // 16 bytes. Facts live at `start` of the flat fact storage: block
    // start >> kBlockShift, offset start & kBlockMask; a tuple never spans
    // blocks. A one-fact tuple keeps its fact in `start` itself and takes no
    // storage.
    struct Rec {
        uint32_t start = 0;
        uint32_t size = 0;
        TupleId parent{};
        TupleId first_child{};  // the first tuple made by extending this one; 0 for none
    };
    static constexpr uint32_t kRecShift = 14;  // records per chunk: 16384
    static constexpr uint32_t kRecMask = (uint32_t{1} << kRecShift) - 1;
    static constexpr uint32_t kBlockShift = 16;  // facts per block: 65536
    static constexpr uint32_t kBlockMask = (uint32_t{1} << kBlockShift) - 1;

    const Rec& rec(TupleId t) const {
        uint32_t i = static_cast<uint32_t>(t);
        return recs_[i >> kRecShift][i & kRecMask];
    }
    Rec& rec(TupleId t) {
        uint32_t i = static_cast<uint32_t>(t);
        return recs_[i >> kRecShift][i & kRecMask];
    }
    static_assert(std::is_same_v<FactId, uint32_t>, "a one-fact tuple's view points at its record's start");
    TupleView facts_of(const Rec& r) const {
        if (r.size <= 1) return {&r.start, r.size};
        return {block_of(r.start) + (r.start & kBlockMask), r.size};
    }
    const FactId* block_of(uint32_t start) const { return blocks_[start >> kBlockShift].get(); }
    FactId* block_of(uint32_t start) { return blocks_[start >> kBlockShift].get(); }
    // A new tuple `parent` + `f`.
    TupleId make(TupleId parent, FactId f);
    // Room for n facts: the start of a run that does not cross a block.
    uint32_t allocate(uint32_t n);

    std::vector<std::unique_ptr<Rec[]>> recs_;  // by id, in chunks that never move
    uint32_t count_ = 0;
    // Fact storage. A tuple longer than a block takes a run of consecutive
    // block numbers; its facts sit in the first, the others stay empty.
    std::vector<std::unique_ptr<FactId[]>> blocks_;
    std::vector<uint32_t> block_sizes_;  // facts allocated per block
    uint64_t next_fact_ = 0;             // where the next tuple's facts may start
    std::vector<TupleId> one_fact_;      // by FactId: the tuple [f], or 0 when not made yet
    HashMap<uint64_t, TupleId> children_;  // (parent << 32 | fact) -> tuple, but for first extensions
};

}  // namespace quarn
