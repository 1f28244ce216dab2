// Staged deltas: the insert, update and delete batches that wait at a node input
// until the node is next evaluated, and the Out handle through which a node
// evaluation builds its child's batch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

#include "common/hash.h"
#include "common/ids.h"

namespace quarn {

// One match of a rule's patterns: a fact per positive pattern, in pattern order.
using Tuple = std::vector<FactId>;
// Carried unchanged from the input entry that caused an output to that output.
using Stamp = std::optional<uint64_t>;

template <class T>
struct StagedEntry {
    T item;
    Stamp stamp;
    uint8_t flag = 0;  // what caused the entry; always 0 on deletes and cancellations
    bool operator==(const StagedEntry&) const = default;
};

// A list of staged entries, newest first: index 0 is the front, where every add
// lands. Stored back to front in a deque so that adding at either end costs
// O(1), with a count per item beside it so that membership tests do not scan. Entries are
// read-only through the list; change a list only through its operations so the
// counts stay true.
template <class T>
class EntryList {
public:
    using Entry = StagedEntry<T>;
    using const_iterator = typename std::deque<Entry>::const_reverse_iterator;

    size_t size() const { return rev_.size(); }
    bool empty() const { return rev_.empty(); }
    // The i-th entry counted from the front (newest first).
    const Entry& operator[](size_t i) const { return rev_[rev_.size() - 1 - i]; }
    const Entry& front() const { return rev_.back(); }
    const Entry& back() const { return rev_.front(); }

    // Front to back: newest first.
    const_iterator begin() const { return rev_.crbegin(); }
    const_iterator end() const { return rev_.crend(); }
    // Back to front: oldest first.
    const std::deque<Entry>& oldest_first() const { return rev_; }

    bool contains(const T& item) const { return counts_.find(item) != counts_.end(); }
    // Index from the front of the first entry holding `item`.
    std::optional<size_t> find(const T& item) const;

    void push_front(Entry e);
    void push_back(Entry e);
    // Inserts so that the entry ends up at index `i` (i <= size()).
    void insert_at(size_t i, Entry e);
    Entry erase_at(size_t i);
    // Removes the first entry holding `item` and returns it.
    std::optional<Entry> remove_first(const T& item);
    void clear();
    // Moves the whole list out, leaving this one empty.
    EntryList take() { return std::exchange(*this, EntryList{}); }

private:
    void count_in(const T& item) { ++counts_[item]; }
    void count_out(const T& item);

    std::deque<Entry> rev_;           // oldest first; rev_.back() is the front
    HashMap<T, uint32_t> counts_;     // entries per item; no zero counts
};

template <class T>
struct Staged {
    EntryList<T> ins;
    EntryList<T> upd;
    EntryList<T> del;
    EntryList<T> cancelled;                       // deletes that withdrew a pending child insert
    std::vector<T> reinserted;                    // pending child inserts refreshed by an update
    std::vector<std::pair<T, size_t>> placeholders;  // (item, index into ins) of withdrawn inserts
    bool placeholders_on = false;

    bool empty() const { return ins.empty() && upd.empty() && del.empty() && cancelled.empty(); }

    void add_ins_ph(T item, Stamp stamp, uint8_t flag);
    void add_upd_ph(T item, Stamp stamp, uint8_t flag);
    void add_del(T item, Stamp stamp);
    bool remove_ins(const T& item);
    bool remove_upd(const T& item);

    // The pending batch absorbs the incoming one with cancellation (deletes, then
    // updates, then inserts); incoming cancelled/reinserted/placeholders are dropped.
    static Staged merge_into_pending(Staged pending, Staged incoming);
    // Appends incoming ins, del, upd and reinserted behind pending's, unchecked.
    static Staged append_into_pending(Staged pending, Staged incoming);
};

// The output handle of one node evaluation: `trg` is the batch built for the
// child, `pending` the child's batch that has not been consumed yet.
struct Out {
    Staged<Tuple> trg;
    Staged<Tuple>& pending;

    explicit Out(Staged<Tuple>& pending_batch) : pending(pending_batch) {}

    void child_del(Tuple tuple, Stamp stamp);
    void child_upd(Tuple tuple, Stamp stamp, uint8_t flag);
};

extern template class EntryList<FactId>;
extern template class EntryList<Tuple>;
extern template struct Staged<FactId>;
extern template struct Staged<Tuple>;

}  // namespace quarn
