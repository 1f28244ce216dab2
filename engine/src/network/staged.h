// Staged deltas: the insert, update and delete batches that wait at a node input
// until the node is next evaluated, and the Out handle through which a node
// evaluation builds its child's batch.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/hash.h"
#include "common/inline_vector.h"
#include "common/ids.h"
#include "common/internal_error.h"
#include "network/tuple.h"

namespace quarn {

// Carried unchanged from the input entry that caused an output to that output.
using Stamp = std::optional<uint64_t>;
// A stamp as a staged list holds it: copied without the branch a Stamp's
// making takes, for walks that carry many (EntryList::BlockReader).
struct StampBits {
    uint64_t word = 0;
    bool set = false;
    Stamp stamp() const { return set ? Stamp(word) : std::nullopt; }
};

// What caused a staged entry. The network writes it on the entries a node
// stages for its child; the engine writes it on the entries it stages into a
// node's inputs (and into its own first-pattern inputs and windows). Among
// inputs the network reads it only on right inserts, and only in a join. Trace
// lines print the number, so the values are fixed.
enum class StagedFlag : uint8_t {
    // Network: a child made by a left insert, a parked tuple or an ordered
    // admission. Engine: a plain insert. Every delete and cancellation carries it.
    Insert = 0,
    // Network: a child made by a right insert. Engine: a right insert staged
    // while a delete of the same fact is still staged there (the fact left and
    // came back); a join takes such inserts after everything else.
    RightInsert = 1,
    // Network: a child made or re-emitted by an update, or a not/exists child
    // freed by a delete. Engine: an update.
    Change = 2,
    // Network: never written; a join that finds one among its right inserts
    // joins those first, as staged, then the plain ones oldest first. Engine: an
    // insert into a plain join node whose rule was not linked when the fact
    // arrived, in a session with event types.
    UnlinkedArrival = 4,
};

template <class T>
struct StagedEntry {
    T item;
    Stamp stamp;
    StagedFlag flag = StagedFlag::Insert;  // what caused the entry
    bool operator==(const StagedEntry&) const = default;
};

// A list of staged entries, newest first: the front is where adds land.
// Entries sit oldest first in a vector; a removed entry leaves a tombstone
// (dropped at the ends at once, elsewhere by a compaction once they outnumber
// the live entries), so adding at either end and removing an item cost O(1).
// An index from item to its frontmost entry makes membership tests and
// removals by item constant time. It is built by the first lookup that finds
// the list longer than a few entries (a short list is scanned), and kept from
// then on, so that a list only ever added to never hashes its items; and a
// lookup of an item outside the range of the items the list has held (ids are
// handed out ascending, so a new fact or tuple is above it, and a list walked
// newest first adds below it) needs neither index nor scan.
// An empty list holds no memory. Entries are read-only through the list;
// change a list only through its operations.
template <class T>
class EntryList {
public:
    using Entry = StagedEntry<T>;

    // User-provided, so that a list made by value-initialization (`{}`, a
    // batch's members) is not zero-filled before its members are set.
    EntryList() noexcept {}
    EntryList(const EntryList& o) { *this = o; }
    EntryList& operator=(const EntryList& o) {
        if (this == &o) return *this;
        clear();
        for (const Entry& e : o.oldest_first()) push_front(e);
        return *this;
    }
    // Member by member: a moved list is handed over often, and the default
    // construction that assignment would need first costs as much again.
    EntryList(EntryList&& o) noexcept
        : slots_(std::move(o.slots_)),
          head_(std::exchange(o.head_, 0)),
          base_(std::exchange(o.base_, 0)),
          live_(std::exchange(o.live_, 0)),
          index_(std::move(o.index_)),
          min_item_(std::move(o.min_item_)),
          max_item_(std::move(o.max_item_)),
          ranged_(std::exchange(o.ranged_, false)),
          flags_(std::exchange(o.flags_, 0)) {
        o.slots_.clear();
    }
    EntryList& operator=(EntryList&& o) noexcept {
        if (this == &o) return *this;
        slots_ = std::move(o.slots_);
        index_ = std::move(o.index_);
        head_ = std::exchange(o.head_, 0);
        base_ = std::exchange(o.base_, 0);
        live_ = std::exchange(o.live_, 0);
        min_item_ = std::move(o.min_item_);
        max_item_ = std::move(o.max_item_);
        ranged_ = std::exchange(o.ranged_, false);
        flags_ = std::exchange(o.flags_, 0);
        o.slots_.clear();
        return *this;
    }

    size_t size() const { return live_; }
    bool empty() const { return live_ == 0; }
    // False when no entry carries `flag`; true when one may (one that did
    // may have been removed since), so that a caller looking for a flag
    // walks the list only when it may find one.
    bool may_hold(StagedFlag flag) const { return (flags_ & flag_bit(flag)) != 0; }
    Entry front() const { return slots_.back().entry(); }
    Entry back() const { return slots_[head_].entry(); }

private:
    struct Slot;

public:
    template <bool NewestFirst>
    class Iter {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = Entry;
        using difference_type = std::ptrdiff_t;
        struct Arrow {
            Entry e;
            const Entry* operator->() const { return &e; }
        };
        using pointer = Arrow;
        using reference = Entry;
        Iter() = default;
        Entry operator*() const { return slot().entry(); }
        Arrow operator->() const { return {slot().entry()}; }
        Iter& operator++() {
            step();
            return *this;
        }
        bool operator==(const Iter& o) const { return at_ == o.at_; }

    private:
        friend class EntryList;
        // Walks the slots themselves, skipping tombstones: a walk reads one
        // slot after another, and the list must not change while it does.
        // Newest first, at_ is one past the slot it stands on, so that the
        // walk ends at the first live slot rather than before it.
        Iter(const Slot* at, const Slot* stop) : at_(at), stop_(stop) { settle(); }
        const Slot& slot() const { return NewestFirst ? at_[-1] : *at_; }
        void settle() {
            while (at_ != stop_ && !slot().live) NewestFirst ? --at_ : ++at_;
        }
        void step() {
            NewestFirst ? --at_ : ++at_;
            settle();
        }
        const Slot* at_ = nullptr;
        const Slot* stop_ = nullptr;
    };
    using const_iterator = Iter<true>;

    // Front to back: newest first.
    const_iterator begin() const { return {first_slot() + slots_.size(), first_slot() + head_}; }
    const_iterator end() const { return {first_slot() + head_, first_slot() + head_}; }
    // Back to front: oldest first.
    struct OldestFirst {
        const EntryList* l;
        Iter<false> begin() const { return {l->first_slot() + l->head_, l->first_slot() + l->slots_.size()}; }
        Iter<false> end() const { return {l->first_slot() + l->slots_.size(), l->first_slot() + l->slots_.size()}; }
    };
    OldestFirst oldest_first() const { return {this}; }

    // A walk front to back that hands out the entries a block at a time as
    // their items and stamps, building no entry: for long batches
    // (walk_blocks_ahead). The list must not change while it is read.
    class BlockReader {
    public:
        // Every entry but those flagged `skip`, where it is given.
        BlockReader(const EntryList& l, std::optional<StagedFlag> skip)
            : at_(l.first_slot() + l.slots_.size()),
              stop_(l.first_slot() + l.head_),
              skip_(skip ? flag_bit(*skip) : 0),
              dense_(l.live_ == l.slots_.size() - l.head_ && (l.flags_ & skip_) == 0) {}
        // The next at most `max` entries, into items and stamps; how many
        // (0 at the end).
        size_t read(size_t max, T* items, StampBits* stamps) {
            const Slot* at = at_;
            size_t n = 0;
            if (dense_) {
                // No tombstone and nothing to skip: every slot is read.
                n = std::min(max, static_cast<size_t>(at - stop_));
                for (size_t k = 0; k < n; ++k) {
                    const Slot& s = at[-1 - static_cast<std::ptrdiff_t>(k)];
                    items[k] = s.item;
                    stamps[k] = {s.stamp, s.has_stamp};
                }
                at_ = at - n;
                return n;
            }
            for (; n < max && at != stop_; --at) {
                const Slot& s = at[-1];
                if (!s.live || (flag_bit(s.flag) & skip_) != 0) continue;
                items[n] = s.item;
                stamps[n] = {s.stamp, s.has_stamp};
                ++n;
            }
            at_ = at;
            return n;
        }

    private:
        const Slot* at_;  // one past the next slot, as Iter<true>'s
        const Slot* stop_;
        uint8_t skip_;
        bool dense_;
    };
    BlockReader blocks(std::optional<StagedFlag> skip = std::nullopt) const { return BlockReader(*this, skip); }

    bool contains(const T& item) const {
        if (outside_range(item)) return false;
        if (!ensure_index()) return scan_newest(item) != kNoSlot;
        return index_->contains(item);
    }
    // Index from the front of the first entry holding `item` (a walk).
    std::optional<size_t> index_of(const T& item) const {
        if (!contains(item)) return std::nullopt;
        size_t i = 0;
        for (const Entry& e : *this) {
            if (e.item == item) return i;
            ++i;
        }
        invariant_broken("staged list indexes an item it does not hold");
    }

    void push_front(Entry e) { push_front(std::move(e.item), e.stamp, e.flag); }
    // The same from the parts, which spares building an entry on the stack.
    // Inline: most lists have no index, and a batch pushes many entries.
    void push_front(T item, const Stamp& stamp, StagedFlag flag) {
        note_item(item);
        push_front_noted(std::move(item), stamp, flag);
    }
    // push_front of an item above every item the list has held since it was
    // last empty: the top of the range with no comparison.
    void push_front_above(T item, const Stamp& stamp, StagedFlag flag) {
        if (!ranged_) {
            min_item_ = item;
            ranged_ = true;
        }
        max_item_ = item;
        push_front_noted(std::move(item), stamp, flag);
    }
    void push_back(Entry e) {
        note_item(e.item);
        flags_ |= flag_bit(e.flag);
        if (head_ == 0) make_head_room();
        --head_;
        int64_t pos = static_cast<int64_t>(head_) + base_;
        if (indexed()) {
            auto [it, fresh] = index_->try_emplace(e.item, Where{pos, 0});
            ++it->second.count;
        }
        slots_[head_] = Slot::of(std::move(e));
        ++live_;
    }
    // Inserts so that the entry ends up at index `i` from the front (i <= size()).
    void insert_at(size_t i, Entry e) {
        if (i > live_) invariant_broken("staged list insert beyond its end");
        std::vector<Entry> all;  // newest first
        all.reserve(live_ + 1);
        for (const Entry& x : *this) all.push_back(x);
        all.insert(all.begin() + static_cast<std::ptrdiff_t>(i), std::move(e));
        clear();
        for (auto it = all.rbegin(); it != all.rend(); ++it) push_front(std::move(*it));
    }
    // Removes the first entry (from the front) holding `item` and returns it.
    std::optional<Entry> remove_first(const T& item) {
        if (outside_range(item)) return std::nullopt;
        if (!ensure_index()) {
            size_t s = scan_newest(item);
            if (s == kNoSlot) return std::nullopt;
            Entry out = slots_[s].take();
            --live_;
            trim();
            return out;
        }
        auto it = index_->find(item);
        if (it == index_->end()) return std::nullopt;
        size_t s = static_cast<size_t>(it->second.pos - base_);
        Entry out = slots_[s].take();
        --live_;
        if (--it->second.count == 0) {
            index_->erase(it);
        } else {
            // Duplicates only come from unchecked appends: walk to the next one.
            size_t t = s;
            while (t-- > head_) {
                if (slots_[t].live && slots_[t].item == item) break;
            }
            it->second.pos = static_cast<int64_t>(t) + base_;
        }
        trim();
        return out;
    }
    void clear() {
        slots_.clear();
        index_.reset();
        head_ = 0;
        base_ = 0;
        live_ = 0;
        ranged_ = false;
        flags_ = 0;
    }
    // Empties the list as a move out of it would (a long list gives its
    // room back; a short one keeps it, as most are refilled at once).
    void reset() {
        // An empty list keeps nothing but its room: its last entry to go
        // cleared the rest (trim).
        if (live_ == 0 && slots_.capacity() <= kKeptRoom) return;
        if (slots_.capacity() > kKeptRoom) {
            slots_ = Slots{};
        } else {
            slots_.clear();
        }
        if (index_) index_.reset();
        head_ = 0;
        base_ = 0;
        live_ = 0;
        ranged_ = false;
        flags_ = 0;
    }
    // Moves the whole list out, leaving this one empty.
    EntryList take() { return EntryList(std::move(*this)); }
    // Puts `older` behind this list's entries, both keeping their order;
    // costs the shorter of the two.
    void put_behind(EntryList older) {
        if (older.empty()) return;
        if (empty()) {
            *this = std::move(older);
            return;
        }
        if (older.size() <= size()) {
            for (const Entry& e : older) push_back(e);
            return;
        }
        EntryList newer = std::exchange(*this, std::move(older));
        for (const Entry& e : newer.oldest_first()) push_front(e);
    }

private:
    // An entry packed into 16 bytes (for 4-byte items), and whether it is live.
    struct Slot {
        T item{};
        StagedFlag flag = StagedFlag::Insert;
        bool live = false;
        bool has_stamp = false;
        uint64_t stamp = 0;

        static Slot of(Entry e) {
            Slot s;
            s.item = std::move(e.item);
            s.flag = e.flag;
            s.live = true;
            s.has_stamp = e.stamp.has_value();
            s.stamp = e.stamp.value_or(0);
            return s;
        }
        Entry entry() const { return Entry{item, has_stamp ? Stamp(stamp) : std::nullopt, flag}; }
        // The entry, leaving a tombstone.
        Entry take() {
            live = false;
            return Entry{std::move(item), has_stamp ? Stamp(stamp) : std::nullopt, flag};
        }
    };
    // Most lists hold one entry for their whole life (a batch of one change):
    // with plain items that entry sits in the list itself.
    using Slots = std::conditional_t<std::is_trivially_copyable_v<Slot>, InlineVector<Slot>, std::vector<Slot>>;
    // Lists up to this many entries have no index.
    static constexpr size_t kScanLimit = 8;
    // The room reset() keeps for the next entries.
    static constexpr size_t kKeptRoom = 16;
    static constexpr size_t kNoSlot = static_cast<size_t>(-1);

    const Slot* first_slot() const { return slots_.data(); }
    bool indexed() const { return index_ != nullptr; }
    static uint8_t flag_bit(StagedFlag flag) { return static_cast<uint8_t>(1u << static_cast<unsigned>(flag)); }
    // Indexes the entry push_front is about to add.
    [[gnu::noinline]] void index_front(const T& item) {
        const int64_t pos = static_cast<int64_t>(slots_.size()) + base_;
        auto [it, fresh] = index_->try_emplace(item, Where{pos, 0});
        it->second.pos = pos;  // the newest entry of the item is now this one
        ++it->second.count;
    }
    // push_front once the item's range is noted.
    [[gnu::always_inline]] void push_front_noted(T item, const Stamp& stamp, StagedFlag flag) {
        flags_ |= flag_bit(flag);
        if (indexed()) index_front(item);
        Slot& s = slots_.emplace_back();
        s.item = std::move(item);
        s.flag = flag;
        s.live = true;
        s.has_stamp = stamp.has_value();
        s.stamp = stamp.value_or(0);
        ++live_;
    }
    void note_item(const T& item) {
        if (!ranged_) {
            min_item_ = max_item_ = item;
            ranged_ = true;
        } else if (max_item_ < item) {
            max_item_ = item;
        } else if (item < min_item_) {
            min_item_ = item;
        }
    }
    // True when `item` lies outside the range of the items held since the
    // list was last empty, so the list cannot hold it.
    bool outside_range(const T& item) const { return !ranged_ || max_item_ < item || item < min_item_; }
    // Whether lookups go through the index, building it for a long list.
    bool ensure_index() const {
        if (!indexed() && live_ > kScanLimit) build_index();
        return indexed();
    }
    // The slot of the frontmost live entry holding `item`, by a walk.
    size_t scan_newest(const T& item) const {
        for (size_t s = slots_.size(); s-- > head_;) {
            if (slots_[s].live && slots_[s].item == item) return s;
        }
        return kNoSlot;
    }
    void build_index() const {
        index_ = std::make_unique<HashMap<T, Where>>();
        for (size_t s = head_; s < slots_.size(); ++s) {
            if (!slots_[s].live) continue;
            auto [it, fresh] = index_->try_emplace(slots_[s].item, Where{0, 0});
            it->second.pos = static_cast<int64_t>(s) + base_;  // later slots are nearer the front
            ++it->second.count;
        }
    }

    struct Where {
        int64_t pos;     // the frontmost live entry holding the item (slot + base_)
        uint32_t count;  // live entries holding it
    };

    void make_head_room() {
        size_t room = std::max<size_t>(4, slots_.size());
        Slots grown;
        grown.reserve(room + slots_.size());
        grown.resize(room, Slot{});
        for (Slot& s : slots_) grown.push_back(std::move(s));
        slots_ = std::move(grown);
        head_ += room;
        base_ -= static_cast<int64_t>(room);
    }
    // Drops tombstones at both ends; compacts when they dominate.
    void trim() {
        while (!slots_.empty() && slots_.size() > head_ && !slots_.back().live) slots_.pop_back();
        while (head_ < slots_.size() && !slots_[head_].live) ++head_;
        if (slots_.size() == head_) {
            clear();
            return;
        }
        size_t dead = slots_.size() - head_ - live_;
        if (dead > live_ + 16) compact();
    }
    void compact() {
        Slots kept;
        kept.reserve(live_);
        for (size_t s = head_; s < slots_.size(); ++s) {
            if (slots_[s].live) kept.push_back(std::move(slots_[s]));
        }
        slots_ = std::move(kept);
        head_ = 0;
        base_ = 0;
        if (!indexed()) return;
        for (size_t s = 0; s < slots_.size(); ++s) index_->at(slots_[s].item).pos = static_cast<int64_t>(s);
        // Frontmost wins: later slots are nearer the front, so the loop above
        // leaves each item at its newest entry.
    }

    Slots slots_;              // oldest first from head_; slots_.back() is the front
    size_t head_ = 0;          // slots before it are free room for push_back
    int64_t base_ = 0;         // slot index + base_ = the position kept in index_
    size_t live_ = 0;
    // index_ is kept once built, until the list is cleared; built on lookup.
    // Held by pointer: most lists never build one, and a list without one is
    // small (a rule keeps a list per kind of change in each of its windows).
    mutable std::unique_ptr<HashMap<T, Where>> index_;  // item -> its frontmost entry and count
    // The range of the items held since the list was last empty (none
    // while ranged_ is false), and flag_bit of every flag held since: kept
    // apart rather than as optionals, so that the flags fit the room the
    // range leaves.
    T min_item_{}, max_item_{};
    bool ranged_ = false;
    uint8_t flags_ = 0;
};

template <class T>
struct Staged {
    // User-provided, as EntryList's: a batch is made at most evaluations, and
    // value-initializing one would zero its ~370 bytes first.
    Staged() noexcept {}

    EntryList<T> ins;
    EntryList<T> upd;
    EntryList<T> del;
    EntryList<T> cancelled;                          // deletes that withdrew a pending child insert
    std::vector<T> reinserted;                       // pending child inserts refreshed by an update
    std::vector<std::pair<T, size_t>> placeholders;  // (item, index into ins) of withdrawn inserts
    bool placeholders_on = false;

    bool empty() const { return ins.empty() && upd.empty() && del.empty() && cancelled.empty(); }
    // Nothing at all: no entry, no withdrawn or refreshed insert.
    bool fresh() const { return empty() && reinserted.empty() && placeholders.empty() && !placeholders_on; }
    // Leaves a fresh batch in place, as take() leaves one behind: for a
    // batch evaluated where it is held.
    void reset() {
        ins.reset();
        upd.reset();
        del.reset();
        cancelled.reset();
        if (reinserted.capacity() != 0) std::vector<T>().swap(reinserted);
        if (placeholders.capacity() != 0) std::vector<std::pair<T, size_t>>().swap(placeholders);
        placeholders_on = false;
    }
    // Moves the whole batch out, leaving this one as a fresh batch (a moved
    // list or vector is left empty), without a temporary to assign from.
    Staged take() {
        Staged out(std::move(*this));
        placeholders_on = false;
        return out;
    }

    void add_ins_ph(T item, Stamp stamp, StagedFlag flag) {
        if (upd.contains(item) || ins.contains(item)) return;
        if (placeholders_on) {
            for (size_t k = 0; k < placeholders.size(); ++k) {
                if (placeholders[k].first != item) continue;
                size_t at = placeholders[k].second;
                placeholders.erase(placeholders.begin() + static_cast<std::ptrdiff_t>(k));
                if (at > ins.size()) at = ins.size();
                ins.insert_at(at, {std::move(item), stamp, flag});
                return;
            }
        }
        ins.push_front(std::move(item), stamp, flag);
    }
    // add_ins_ph for an item no list anywhere has held yet (a tuple just
    // made): nothing staged can cancel it or keep a place for it. Tuples
    // are numbered ascending and never renumbered, so it is above every
    // item held too.
    void add_ins_new(T item, const Stamp& stamp, StagedFlag flag) { ins.push_front_above(std::move(item), stamp, flag); }
    void add_upd_ph(T item, Stamp stamp, StagedFlag flag) {
        if (ins.contains(item) || upd.contains(item) || del.contains(item)) return;
        upd.push_front(std::move(item), stamp, flag);
    }
    void add_del(T item, Stamp stamp) {
        if (ins.contains(item)) {
            if (!placeholders_on) {
                ins.remove_first(item);
                return;
            }
            size_t at = ins.index_of(item).value_or(0);
            ins.remove_first(item);
            placeholders.emplace_back(std::move(item), at);
            return;
        }
        upd.remove_first(item);
        if (del.contains(item)) return;
        del.push_front(std::move(item), stamp, StagedFlag::Insert);
    }
    bool remove_ins(const T& item) { return ins.remove_first(item).has_value(); }
    bool remove_upd(const T& item) { return upd.remove_first(item).has_value(); }

    // The pending batch absorbs the incoming one with cancellation (deletes, then
    // updates, then inserts); incoming cancelled/reinserted/placeholders are dropped.
    static Staged merge_into_pending(Staged pending, Staged incoming) {
        // Each pass walks incoming oldest first and puts survivors at the front, so
        // they end up ahead of pending's entries in their incoming order.
        for (const auto& e : incoming.del.oldest_first()) pending.add_del(e.item, e.stamp);
        for (const auto& e : incoming.upd.oldest_first()) {
            if (auto moved = pending.ins.remove_first(e.item)) {
                pending.ins.push_front(std::move(*moved));
                continue;
            }
            pending.upd.remove_first(e.item);
            if (pending.del.contains(e.item)) continue;
            pending.upd.push_front(e);
        }
        for (const auto& e : incoming.ins.oldest_first()) {
            if (pending.ins.contains(e.item)) continue;
            pending.ins.push_front(e);
        }
        return pending;
    }
    // Appends incoming ins, del, upd and reinserted behind pending's, unchecked.
    static Staged append_into_pending(Staged pending, Staged incoming) {
        append_behind(pending, std::move(incoming));
        return pending;
    }
    // The same in place.
    static void append_behind(Staged& pending, Staged&& incoming) {
        append_list(pending.ins, std::move(incoming.ins));
        append_list(pending.del, std::move(incoming.del));
        append_list(pending.upd, std::move(incoming.upd));
        if (pending.reinserted.empty()) {
            pending.reinserted = std::move(incoming.reinserted);
        } else {
            for (auto& t : incoming.reinserted) pending.reinserted.push_back(std::move(t));
        }
    }

private:
    // Appending to an empty list is taking the other one whole.
    static void append_list(EntryList<T>& to, EntryList<T>&& from) {
        if (to.empty()) {
            to = std::move(from);
            return;
        }
        for (const auto& e : from) to.push_back(e);
    }
};

// The output handle of one node evaluation: `trg` is the batch built for the
// child, `pending` the child's batch that has not been consumed yet.
struct Out {
private:
    // trg, unless it is the child's batch itself: made only then. (Not an
    // optional: an empty one zero-fills all of its room.)
    union Own {
        Own() noexcept {}
        ~Own() {}
        Staged<TupleId> batch;
    } own_;
    bool owns_ = false;

public:
    Staged<TupleId>& trg;
    Staged<TupleId>& pending;

    explicit Out(Staged<TupleId>& pending_batch) : Out(pending_batch, false) {}
    // Writes the output straight into the child's batch, which must be fresh
    // (Staged::fresh): against a batch with nothing pending, an evaluation
    // stages what it would stage into a batch of its own, and that batch
    // would be taken whole. Nothing is cancelled or re-inserted, as there is
    // nothing pending to meet.
    struct Into {};
    Out(Staged<TupleId>& fresh_batch, Into) : Out(fresh_batch, true) {}
    // The one or the other, as `into` says.
    Out(Staged<TupleId>& batch, bool into)
        : owns_(!into), trg(into ? batch : *new (&own_.batch) Staged<TupleId>()), pending(batch), into_pending_(into) {}
    ~Out() {
        if (owns_) own_.batch.~Staged();
    }
    Out(const Out&) = delete;
    Out& operator=(const Out&) = delete;

    void child_del(TupleId tuple, Stamp stamp);
    void child_upd(TupleId tuple, Stamp stamp, StagedFlag flag);

private:
    bool into_pending_ = false;
};

}  // namespace quarn
