// A node memory: items (left tuples or right facts) with their join keys, in
// arrival order, with the indexes a node probes it through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <vector>

#include "network/staged.h"
#include "store/value.h"

namespace quarn {

// A join key; a missing key and an empty key are distinct.
using Key = std::optional<std::vector<Value>>;

// How a memory is probed: 0 to 5 a range index on the first key value with that
// CmpOp, 6 no index (every entry), 7 an equality index on the whole key.
inline constexpr uint8_t kNoIndex = 6;
inline constexpr uint8_t kEqualityIndex = 7;

// The network's key equality (stored key first, probe second): same length,
// and pairwise: Null never matches; I64/Dec mixes compare exactly; I64 against
// F64, whichever side holds which, matches when the integer equals the float
// truncated toward zero (saturating, NaN as 0) or equals it as a double;
// otherwise same variant, equal payload (floats by ==).
bool keys_match(const std::vector<Value>& stored, const std::vector<Value>& probe);

template <class T>
class Memory {
public:
    struct Entry {
        T item;
        Key key;
    };
    // A position in memory order; valid until the next push_back (which may
    // compact the memory).
    using Pos = size_t;
    static constexpr Pos npos = static_cast<Pos>(-1);

    explicit Memory(uint8_t index_op = kNoIndex) : index_op_(index_op) {}

    size_t size() const { return live_; }
    bool empty() const { return live_ == 0; }
    uint8_t index_op() const { return index_op_; }

    void push_back(T item, Key key);
    // Remove the first entry holding `item`; false when there is none.
    bool remove_first(const T& item);
    std::optional<Entry> take_first(const T& item);
    // Moves the first entry holding `item` to the end, key unchanged.
    bool move_to_back(const T& item);
    void clear();

    bool contains(const T& item) const { return first_slot(item) != npos; }
    // The first entry holding `item`, or null.
    const Entry* find_first(const T& item) const;

    // Walking in memory order.
    Pos first_pos() const { return next_pos_from(0); }
    Pos last_pos() const { return prev_pos_from(slots_.size()); }
    Pos next_pos(Pos p) const { return next_pos_from(p + 1); }
    Pos prev_pos(Pos p) const { return prev_pos_from(p); }
    Pos pos_of(const T& item) const { return first_slot(item); }
    const Entry& at(Pos p) const { return slots_[p].entry; }

    class const_iterator {
    public:
        const Entry& operator*() const { return m_->at(p_); }
        const Entry* operator->() const { return &m_->at(p_); }
        const_iterator& operator++() { p_ = m_->next_pos(p_); return *this; }
        bool operator==(const const_iterator& o) const { return p_ == o.p_; }
    private:
        friend class Memory;
        const_iterator(const Memory* m, Pos p) : m_(m), p_(p) {}
        const Memory* m_;
        Pos p_;
    };
    const_iterator begin() const { return {this, first_pos()}; }
    const_iterator end() const { return {this, npos}; }

    std::vector<T> items() const;
    std::vector<Entry> entries() const;

    // Entries whose key keys_match accepts against `probe`, in memory order.
    // Uses the equality index when the memory has one, else tests every entry.
    std::vector<T> matching(const std::vector<Value>& probe) const;
    // Range index: entries whose first key value k satisfies eval_cmp(p, op, k),
    // ascending by k for Eq, Ne, Lt, Le and descending for Gt, Ge; entries with
    // equal k keep memory order. Only for memories built with a range index.
    std::vector<T> in_range(const Value& p, CmpOp op) const;

private:
    struct Slot {
        Entry entry;
        bool live;
    };
    // Range index element: the first key value and the slot (memory order).
    struct RangeItem {
        Value v;
        uint32_t slot;
    };
    struct RangeProbe {
        uint8_t rank;
        const Value* v;
        bool upper;  // position after the values equal to v, not before them
    };
    struct RangeLess {
        using is_transparent = void;
        bool operator()(const RangeItem& a, const RangeItem& b) const;
        bool operator()(const RangeItem& a, const RangeProbe& b) const;
        bool operator()(const RangeProbe& a, const RangeItem& b) const;
    };

    Pos next_pos_from(size_t s) const;
    Pos prev_pos_from(size_t s) const;
    Pos first_slot(const T& item) const;
    void index_slot(uint32_t s);
    void unindex_slot(uint32_t s);
    void kill_slot(uint32_t s);
    void compact();

    uint8_t index_op_;
    std::vector<Slot> slots_;  // append-only between compactions; dead slots are skipped
    size_t live_ = 0;
    HashMap<T, std::vector<uint32_t>> slots_of_;       // live slots of each item, ascending
    HashMap<uint64_t, std::vector<uint32_t>> by_key_;  // equality index: key class -> slots, ascending
    std::set<RangeItem, RangeLess> by_range_;          // range index
};

extern template class Memory<FactId>;
extern template class Memory<Tuple>;

}  // namespace quarn
