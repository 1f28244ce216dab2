// Tuples: one match of a rule's patterns, a fact per positive pattern in
// pattern order. An engine interns its tuples in one TupleTable and every
// network structure names them by TupleId.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>
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
// fact (the facts kept flat). An id names the same facts until the owner
// releases the tuple (release_tuples_with), which it does only once the tuple
// holds a fact that is gone for good and nothing can read the tuple any more;
// ids are never handed out again, so a stale id can never name other facts.
// A released tuple's record, its facts and its entries in the lookup pages go
// back by whole pages: a record chunk, a fact block or a lookup page is freed
// once every tuple it served is released, so that memory follows the tuples
// held, not every tuple ever made, and ids cost a few bytes each once gone.
//
// Finding a tuple again costs no hashing in the common cases: a one-fact
// tuple is found by its fact in a table by FactId, and a tuple's first
// extension in a table by TupleId; only the further extensions of a tuple
// that already has one go through a hash map.
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
    TupleId extend(TupleId parent, FactId f) {
        bool made;
        return extend(parent, f, made);
    }
    // The same, and whether this call made it: no call before returned it.
    // The commonest case, the first extension of a one-fact tuple while its
    // record and its facts have room where the last ones went, is made here
    // without a call; the rest out of line.
    [[gnu::always_inline]] TupleId extend(TupleId parent, FactId f, bool& made) {
        if (parent != empty_tuple) {
            TupleId& first = first_child_.at(static_cast<uint32_t>(parent));
            const Rec& from = rec(parent);
            if (first == empty_tuple && from.parent == empty_tuple && pair_room_ != 0) {
                --pair_room_;
                const uint64_t open = open_[2];
                const uint64_t offset = open & kBlockMask;
                const auto at = static_cast<uint32_t>(open);
                Block& b = blocks_[at >> kBlockShift];
                FactId* facts = b.facts.get() + offset;
                facts[0] = from.start;
                facts[1] = f;
                b.used = static_cast<uint32_t>(offset + 2);
                open_[2] = open + 2;
                const TupleId id{count_++};
                rec(id) = Rec{at, parent};
                first = id;
                made = true;
                return id;
            }
        }
        return extend_elsewhere(parent, f, made);
    }
    // The tuple holding exactly these facts.
    TupleId intern(TupleView facts);

    TupleView view(TupleId t) const {
        const Rec& r = held_rec(t);
        // The empty tuple and the one-fact tuples are the children of the
        // empty tuple; a one-fact tuple keeps its fact in its record.
        if (r.parent == empty_tuple) return {&r.start, t == empty_tuple ? 0u : 1u};
        return facts_at(r.start);
    }
    size_t size_of(TupleId t) const { return view(t).size(); }
    TupleId parent(TupleId t) const { return held_rec(t).parent; }
    // How many ids the table has handed out, the empty tuple's included;
    // released tuples still count.
    size_t count() const { return count_; }
    // Whether `t` is held: made and not released.
    bool holds(TupleId t) const {
        const uint32_t i = static_cast<uint32_t>(t);
        if (i >= count_) return false;
        const auto& chunk = recs_[i >> kRecShift];
        return chunk && chunk[i & kRecMask].parent != kReleased;
    }

    // Releases every held tuple that holds a fact `gone(f)` names: facts that
    // are dead and that nothing will read again, so that no tuple holding
    // one can be made, stored or read again. A tuple's extensions hold its
    // facts, so they go with it. Returns how many went. The caller vouches
    // that nothing reads a released tuple; reading one is a broken invariant
    // (checked in the verifying build).
    template <class Gone>
    size_t release_tuples_with(Gone gone) {
        size_t released = 0;
        for (uint32_t c = 0; c < recs_.size(); ++c) {
            if (!recs_[c]) continue;
            const uint32_t base = c << kRecShift;
            const auto end = static_cast<uint32_t>(std::min<uint64_t>(count_ - uint64_t{base}, kRecMask + 1));
            for (uint32_t k = base == 0 ? 1 : 0; k < end; ++k) {
                const Rec& r = recs_[c][k];
                if (r.parent == kReleased) continue;
                // Ascending ids meet a parent before its extensions: a
                // released parent's extensions go too.
                const FactId last = r.parent == empty_tuple ? r.start : facts_at(r.start).back();
                if (r.parent == empty_tuple ? !gone(last) : holds(r.parent) && !gone(last)) continue;
                release(TupleId{base | k});
                ++released;
            }
            if (chunk_released_[c] == kRecMask + 1) {
                recs_[c].reset();
                if (c < links_.size()) links_[c].reset();
            }
        }
        if (released != 0) free_emptied_blocks();
        return released;
    }

    // Releases every held tuple that holds one of `facts` (facts gone for
    // good, in any order, each once or more), as release_tuples_with does for
    // the facts it names, and returns them in the order released (a tuple's
    // extensions before it). The walk reads the tuples holding those facts
    // and the extensions of those, found through an index by last fact and
    // by parent; tuples made since the last call join the index first, each
    // once, so that the cost is what is released plus what was made, not
    // what is held.
    std::vector<TupleId> release_tuples_holding(std::span<const FactId> facts);
    // Records read by release_tuples_holding so far, the index's own filing
    // of new tuples aside: work that tests hold to what is released.
    uint64_t release_reads() const { return release_reads_; }

    // What the table holds, for tests that check memory follows the tuples
    // held: tuples (the empty one included), record chunks, fact blocks and
    // lookup pages.
    struct Footprint {
        size_t tuples = 0, record_chunks = 0, fact_blocks = 0, lookup_pages = 0;
    };
    Footprint footprint() const;

    // Starts loading the record of `t` into the cache (a batch loop asks a
    // few tuples ahead).
    void prefetch(TupleId t) const { __builtin_prefetch(&rec(t)); }

private:
    // 8 bytes. A tuple of two facts or more keeps them at `start` of the
    // flat fact storage (block start >> kBlockShift, offset start &
    // kBlockMask), and its length is its block's: a block holds tuples of
    // one length only, up to kPooledSize, so that no tuple spends a word on
    // it. Longer tuples share blocks of their own and keep their length in
    // the word before their facts. A one-fact tuple keeps its fact in
    // `start` itself and takes no storage.
    struct Rec {
        uint32_t start = 0;
        TupleId parent{};
    };
    // The parent of a released tuple: no id reaches it (the last chunk of
    // ids is never opened).
    static constexpr TupleId kReleased{UINT32_MAX};
    // A first extension's place once that extension is released while its
    // parent is held: the parent's other extensions are in children_.
    static constexpr TupleId kFirstReleased{UINT32_MAX};
    static constexpr uint32_t kRecShift = 14;  // records per chunk: 16384
    static constexpr uint32_t kRecMask = (uint32_t{1} << kRecShift) - 1;
    static constexpr uint32_t kBlockShift = 16;  // facts per block: 65536
    static constexpr uint32_t kBlockMask = (uint32_t{1} << kBlockShift) - 1;
    static constexpr uint32_t kPooledSize = 8;  // longer tuples keep their length beside their facts

    // A block of fact storage. Its words are written only as tuples take
    // them (a block's untouched pages cost nothing). A tuple longer than a
    // block takes a run of consecutive block numbers; its facts sit in the
    // first, the others stay empty.
    struct Block {
        std::unique_ptr<FactId[]> facts;
        uint32_t tuple_size = 0;  // every tuple's length here; 0 where each keeps its own
        uint32_t used = 0;        // words written, from the start
        uint32_t capacity = 0;
        uint32_t released = 0;    // words of released tuples; all of them once released == used
    };

    const Rec& rec(TupleId t) const {
        uint32_t i = static_cast<uint32_t>(t);
        return recs_[i >> kRecShift][i & kRecMask];
    }
    Rec& rec(TupleId t) {
        uint32_t i = static_cast<uint32_t>(t);
        return recs_[i >> kRecShift][i & kRecMask];
    }
    // rec of a tuple a caller reads: in the verifying build, one released
    // (or never made) fails here rather than reading freed memory.
    const Rec& held_rec(TupleId t) const {
#ifdef QUARN_VERIFY_ENGINE
        if (!holds(t)) read_of_released(t);
#endif
        return rec(t);
    }
    [[noreturn]] static void read_of_released(TupleId t);
    // Releases a held tuple whose parent, if released, went before it.
    void release(TupleId t);
    // Frees the fact blocks whose tuples are all released, but for those
    // that tuples still go into.
    void free_emptied_blocks();
    // Files the tuples made since the last call in the index by last fact
    // and by parent (below).
    void index_new_tuples();
    // Takes a filed tuple out of both chains of the index.
    void unlink(TupleId t, const Rec& r);
    // Appends to `out` the held extensions of `t` (the index's children).
    void held_children(TupleId t, std::vector<TupleId>& out);
    static_assert(std::is_same_v<FactId, uint32_t>, "a one-fact tuple's view points at its record's start");
    // The facts of a tuple of two or more at `start` of the storage.
    TupleView facts_at(uint32_t start) const {
        const Block& b = blocks_[start >> kBlockShift];
        const FactId* facts = b.facts.get() + (start & kBlockMask);
        return {facts, b.tuple_size != 0 ? b.tuple_size : facts[-1]};
    }
    // A new tuple `parent` + `f`.
    [[gnu::always_inline]] inline TupleId make(TupleId parent, FactId f);
    // make, but for pair_room_.
    [[gnu::always_inline]] inline TupleId make_here(TupleId parent, FactId f);
    // How many two-fact tuples fit from here on where extend makes them
    // inline: records left in the open chunk and pairs left in the open
    // block of pairs, the fewer.
    uint32_t room_for_pairs() const {
        const uint32_t in_chunk = count_ & kRecMask;
        const uint64_t offset = open_[2] & kBlockMask;
        if (in_chunk == 0 || offset == 0) return 0;
        const uint64_t pairs = ((uint64_t{1} << kBlockShift) - offset) / 2;
        return static_cast<uint32_t>(std::min<uint64_t>(kRecMask + 1 - in_chunk, pairs));
    }
    // extend, but for the case it makes inline.
    TupleId extend_elsewhere(TupleId parent, FactId f, bool& made);
    // extend for a parent already extended by another fact: kept out of
    // line, so that the usual first extension saves no registers for it.
    [[gnu::noinline]] TupleId extend_again(TupleId parent, FactId f, bool& made);
    // Room for a tuple of n >= 2 facts: where its facts start.
    uint32_t allocate(uint32_t n) {
        // Most tuples fit behind the last one of their length: no call.
        if (n <= kPooledSize) {
            uint64_t& open = open_[n];
            const uint64_t offset = open & kBlockMask;
            if (offset != 0 && offset + n <= (uint64_t{1} << kBlockShift)) {
                const auto at = static_cast<uint32_t>(open);
                open += n;
                blocks_[at >> kBlockShift].used = static_cast<uint32_t>(offset + n);
                return at;
            }
        }
        return allocate_elsewhere(n);
    }
    // allocate, for a tuple that takes a fresh block or keeps its length.
    uint32_t allocate_elsewhere(uint32_t n);
    // A fresh block (or a run of them) of at least `words` words for tuples
    // of length `tuple_size` (0: each its own); its first storage index.
    uint64_t add_blocks(uint64_t words, uint32_t tuple_size);

    std::vector<std::unique_ptr<Rec[]>> recs_;  // by id, in chunks that never move; null once all released
    std::vector<uint32_t> chunk_released_;       // by chunk: its released records
    uint32_t count_ = 0;
    size_t released_ = 0;  // tuples released
    std::vector<Block> blocks_;  // a freed block has no facts
    // Freed blocks of one block's size, whose numbers a fresh block takes
    // again (a storage index has room for 2^16 block numbers).
    std::vector<uint32_t> free_blocks_;
    // Where the next tuple of each length up to kPooledSize goes (index 0:
    // the longer ones); an offset of 0 in its block means a fresh block is
    // needed.
    uint64_t open_[kPooledSize + 1] = {};
    // At most room_for_pairs(): set by every tuple make() makes, counted
    // down by those extend makes inline.
    uint32_t pair_room_ = 0;
    // Tuples by a dense number (a FactId, a TupleId), in pages made when one
    // of their numbers is first asked for, so that the table grows without
    // copying and keeps no room for numbers never asked for; 0 for none.
    class PagedIds {
    public:
        PagedIds() = default;
        PagedIds(const PagedIds& o) { *this = o; }
        PagedIds& operator=(const PagedIds& o);
        PagedIds(PagedIds&& o) noexcept { *this = std::move(o); }
        PagedIds& operator=(PagedIds&& o) noexcept {
            if (this == &o) return *this;
            pages_ = std::move(o.pages_);
            held_ = std::move(o.held_);
            o.pages_.clear();
            o.held_.clear();
            // Pages keep their place when their owner moves.
            last_ = std::exchange(o.last_, kNoPage);
            last_page_ = std::exchange(o.last_page_, nullptr);
            return *this;
        }

        // The tuple of number i, which may be written. Numbers asked for
        // come in runs: the page of the last one is at hand.
        TupleId& at(uint32_t i) {
            if ((i >> kShift) != last_) return find_page(i);
            return last_page_[i & kMask];
        }
        // The entry of number i, none when its page is not held.
        TupleId* find(uint32_t i) {
            const uint32_t page = i >> kShift;
            return page < pages_.size() && pages_[page] ? &pages_[page][i & kMask] : nullptr;
        }
        // The number i has been set to a tuple (its entry counts toward its
        // page's), and i's entry is cleared: its page goes once no entry is
        // set. For a table by FactId, whose numbers are mostly never set.
        void note_set(uint32_t i) { ++held_[i >> kShift]; }  // after at(i)
        void clear(uint32_t i) {
            at(i) = TupleId{};
            if (--held_[i >> kShift] == 0) free_page(i >> kShift);
        }
        // Number i will never be asked for again: its page goes once all
        // its numbers are. For a table by TupleId, whose ids are released
        // once each.
        void retire(uint32_t i) {
            const uint32_t page = i >> kShift;
            if (page >= held_.size()) grow(page);
            if (++held_[page] == kMask + 1) free_page(page);
        }
        size_t pages_held() const;

    private:
        TupleId& find_page(uint32_t i);
        void grow(uint32_t page);
        void free_page(uint32_t page);

        static constexpr uint32_t kShift = 12;
        static constexpr uint32_t kMask = (uint32_t{1} << kShift) - 1;
        static constexpr uint32_t kNoPage = UINT32_MAX;
        std::vector<std::unique_ptr<TupleId[]>> pages_;
        // By page: the entries set (note_set, clear) or the numbers retired.
        std::vector<uint32_t> held_;
        uint32_t last_ = kNoPage;  // the page asked for last, and where it is
        TupleId* last_page_ = nullptr;
    };
    PagedIds one_fact_;     // by FactId: the tuple [f]; entries counted by note_set
    // By TupleId: the first tuple made by extending it, or kFirstReleased.
    // Tuples never extended (the longest of each rule, usually made
    // together) take no page. Ids retired as released.
    PagedIds first_child_;
    HashMap<uint64_t, TupleId> children_;  // (parent << 32 | fact) -> tuple, but for first extensions

    // The index a release finds its tuples by. Every filed tuple (one of two
    // facts or more, id below indexed_) sits on two chains, doubly linked, no
    // order: the tuples whose last fact is f (headed in by_last_) and the
    // extensions of its parent (headed in by_parent_). A tuple holding f is
    // [f] or a tuple whose last fact is f, or an extension of one of those,
    // so that the chains reach every tuple a release takes. A released tuple
    // leaves both chains, so a chain holds held tuples only. Links sit in
    // chunks beside the records, made when the first tuple of their chunk
    // is filed and freed with the records; 0 (the empty tuple, never filed)
    // ends a chain. Filing happens in the release, not as tuples are made:
    // making a tuple stays as cheap as it was.
    struct Links {
        TupleId same_last_older{}, same_last_newer{};
        TupleId sibling_older{}, sibling_newer{};
    };
    std::vector<std::unique_ptr<Links[]>> links_;  // by record chunk; null while none filed or once freed
    uint32_t indexed_ = 1;                         // tuples below are filed (if held and of two facts or more)
    PagedIds by_last_;    // by FactId: the newest filed tuple ending in it; entries counted by note_set
    PagedIds by_parent_;  // by TupleId: its newest filed extension; entries counted by note_set
    uint64_t release_reads_ = 0;
    Links& links(TupleId t) {
        const uint32_t i = static_cast<uint32_t>(t);
        return links_[i >> kRecShift][i & kRecMask];
    }
};

}  // namespace quarn
