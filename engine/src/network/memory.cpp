// Node memories: arrival order, equality-key and range indexes.
#include "network/memory.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

#include "common/internal_error.h"

namespace quarn {

namespace {

// Sections of the range index: values of one rank are totally ordered among
// themselves by value_order.
uint8_t range_rank(const Value& v) {
    switch (v.tag()) {
        case ValueTag::I64: return 0;
        case ValueTag::F64: return 1;
        case ValueTag::Dec: return 2;
        case ValueTag::Str: return 3;
        case ValueTag::Bool: return 4;
        case ValueTag::Null: return 5;
    }
    return 5;
}

bool rankable(const KeyValue& v) {
    if (v.tag == ValueTag::Null) return false;
    if (v.tag == ValueTag::F64 && std::isnan(v.as_f64())) return false;
    return true;
}

bool rankable(const Value& v) { return rankable(KeyValue::of(v)); }

// The sections whose values a probe of this variant can compare with.
std::vector<uint8_t> comparable_ranks(const Value& p) {
    switch (p.tag()) {
        case ValueTag::I64: return {0, 1, 2};
        case ValueTag::F64: return {0, 1};
        case ValueTag::Dec: return {0, 2};
        case ValueTag::Str: return {3};
        case ValueTag::Bool: return {4};
        case ValueTag::Null: return {};
    }
    return {};
}

}  // namespace

template <class T>
bool Memory<T>::RangeLess::operator()(const RangeItem& a, const RangeItem& b) const {
    uint8_t ra = range_rank(a.v), rb = range_rank(b.v);
    if (ra != rb) return ra < rb;
    auto o = value_order(a.v, b.v);
    if (o && *o != Ordering::Equal) return *o == Ordering::Less;
    return a.seq < b.seq;
}

template <class T>
bool Memory<T>::RangeLess::operator()(const RangeItem& a, const RangeProbe& b) const {
    uint8_t ra = range_rank(a.v);
    if (ra != b.rank) return ra < b.rank;
    if (!b.v) return false;  // the start of a section
    auto o = value_order(a.v, *b.v);
    if (!o) return false;
    return *o == Ordering::Less || (b.upper && *o == Ordering::Equal);
}

template <class T>
bool Memory<T>::RangeLess::operator()(const RangeProbe& a, const RangeItem& b) const {
    uint8_t rb = range_rank(b.v);
    if (a.rank != rb) return a.rank < rb;
    if (!a.v) return true;
    auto o = value_order(*a.v, b.v);
    if (!o) return false;
    return *o == Ordering::Less || (!a.upper && *o == Ordering::Equal);
}

template <class T>
bool Memory<T>::range_indexed(const Entry& e) const {
    return index_kind(index_op_) == IndexKind::Range && e.key && e.key.size() > 0 && rankable(e.key[0]);
}

template <class T>
typename Memory<T>::Pos Memory<T>::pos_of(const T& item) const {
    auto it = items_.find(item);
    return it == items_.end() ? npos : it->second.head;
}

template <class T>
const typename Memory<T>::Entry* Memory<T>::find_first(const T& item) const {
    Pos p = pos_of(item);
    return p == npos ? nullptr : &slots_[p].entry;
}

template <class T>
void Memory<T>::push_back(T item, Key&& key) {
    Pos s = claim_slot(std::move(item));
    slots_[s].entry.key = std::move(key);
    link_slot(s);
}

template <class T>
void Memory<T>::push_back(T item, const Key& key) {
    // A key of this memory's own would move with its slots if they regrow.
    std::less<const void*> before;
    if (!slots_.empty() && !before(&key, &slots_.front()) && before(&key, &slots_.back() + 1)) {
        Key copy = key;
        push_back(std::move(item), std::move(copy));
        return;
    }
    Pos s = claim_slot(std::move(item));
    slots_[s].entry.key = key;
    link_slot(s);
}

template <class T>
typename Memory<T>::Pos Memory<T>::claim_slot(T item) {
    Pos s;
    if (!free_.empty()) {
        s = free_.back();
        free_.pop_back();
    } else {
        if (slots_.size() >= std::numeric_limits<uint32_t>::max() - 1) invariant_broken("node memory slot count overflow");
        s = static_cast<Pos>(slots_.size());
        slots_.emplace_back();
    }
    slots_[s].entry.item = std::move(item);
    return s;
}

template <class T>
void Memory<T>::link_slot(Pos s) {
    Slot& sl = slots_[s];
    sl.entry.key.own_texts();
    sl.seq = next_seq_++;
    sl.live = true;
    sl.prev = tail_;
    sl.next = npos;
    sl.same_next = npos;
    sl.bprev = sl.bnext = npos;
    sl.bucketed = false;
    if (tail_ == npos) {
        head_ = s;
    } else {
        slots_[tail_].next = s;
    }
    tail_ = s;
    ++live_;

    auto [it, fresh] = items_.try_emplace(sl.entry.item, Ends{s, s});
    if (!fresh) {
        slots_[it->second.tail].same_next = s;
        it->second.tail = s;
    }
    if (index_kind(index_op_) == IndexKind::Equality) {
        if (auto h = sl.entry.key.class_hash()) {
            sl.bucketed = true;
            auto [b, new_bucket] = by_key_.try_emplace(*h, Ends{s, s});
            if (!new_bucket) {
                slots_[b->second.tail].bnext = s;
                sl.bprev = b->second.tail;
                b->second.tail = s;
            }
        }
    } else if (range_indexed(sl.entry)) {
        by_range_.insert(RangeItem{sl.entry.key[0].value(), sl.seq, s});
    }
}

template <class T>
void Memory<T>::kill_slot(Pos s) {
    Slot& sl = slots_[s];
    // Only ever the first slot of its item is removed.
    auto it = items_.find(sl.entry.item);
    if (it == items_.end() || it->second.head != s) invariant_broken("node memory removes an entry out of item order");
    if (sl.same_next == npos) {
        items_.erase(it);
    } else {
        it->second.head = sl.same_next;
    }
    if (sl.bucketed) {
        auto b = by_key_.find(*sl.entry.key.class_hash());
        if (b == by_key_.end()) invariant_broken("node memory lost an equality bucket");
        if (sl.bprev == npos) {
            b->second.head = sl.bnext;
        } else {
            slots_[sl.bprev].bnext = sl.bnext;
        }
        if (sl.bnext == npos) {
            b->second.tail = sl.bprev;
        } else {
            slots_[sl.bnext].bprev = sl.bprev;
        }
        if (b->second.head == npos) by_key_.erase(b);
    } else if (range_indexed(sl.entry)) {
        by_range_.erase(RangeItem{sl.entry.key[0].value(), sl.seq, s});
    }
    if (sl.prev == npos) {
        head_ = sl.next;
    } else {
        slots_[sl.prev].next = sl.next;
    }
    if (sl.next == npos) {
        tail_ = sl.prev;
    } else {
        slots_[sl.next].prev = sl.prev;
    }
    sl.live = false;
    --live_;
    free_.push_back(s);
}

template <class T>
bool Memory<T>::remove_first(const T& item) {
    Pos s = pos_of(item);
    if (s == npos) return false;
    kill_slot(s);
    slots_[s].entry.key.reset();
    return true;
}

template <class T>
std::optional<typename Memory<T>::Entry> Memory<T>::take_first(const T& item) {
    Pos s = pos_of(item);
    if (s == npos) return std::nullopt;
    kill_slot(s);
    return std::move(slots_[s].entry);
}

template <class T>
bool Memory<T>::move_to_back(const T& item) {
    auto e = take_first(item);
    if (!e) return false;
    push_back(std::move(e->item), std::move(e->key));
    return true;
}

template <class T>
void Memory<T>::clear() {
    slots_.clear();
    free_.clear();
    head_ = tail_ = npos;
    live_ = 0;
    items_.clear();
    by_key_.clear();
    by_range_.clear();
}

template <class T>
std::vector<T> Memory<T>::items() const {
    std::vector<T> out;
    items(out);
    return out;
}

template <class T>
void Memory<T>::items(std::vector<T>& out) const {
    out.reserve(out.size() + live_);
    for (Pos p = head_; p != npos; p = slots_[p].next) out.push_back(slots_[p].entry.item);
}

template <class T>
void Memory<T>::matching(const Key& probe, std::vector<T>& out) const {
    if (!probe) return;
    if (index_kind(index_op_) == IndexKind::Equality) {
        auto h = probe.class_hash();
        if (!h) return;
        auto it = by_key_.find(*h);
        if (it == by_key_.end()) return;
        for (Pos s = it->second.head; s != npos; s = slots_[s].bnext) {
            const Entry& e = slots_[s].entry;
            if (keys_match(e.key, probe)) out.push_back(e.item);
        }
        return;
    }
    for (Pos p = head_; p != npos; p = slots_[p].next) {
        const Entry& e = slots_[p].entry;
        if (e.key && keys_match(e.key, probe)) out.push_back(e.item);
    }
}

template <class T>
typename Memory<T>::Pos Memory<T>::bucket_first(const Key& probe) const {
    if (index_kind(index_op_) != IndexKind::Equality) invariant_broken("bucket walk of a memory without an equality index");
    auto h = probe.class_hash();
    if (!h) return npos;
    auto it = by_key_.find(*h);
    return it == by_key_.end() ? npos : it->second.head;
}

template <class T>
std::vector<T> Memory<T>::matching(const Key& probe) const {
    std::vector<T> out;
    matching(probe, out);
    return out;
}

template <class T>
void Memory<T>::in_range(const Value& p, CmpOp op, std::vector<T>& out) const {
    if (index_kind(index_op_) != IndexKind::Range) invariant_broken("range scan of a memory without a range index");
    if (!rankable(p)) return;
    std::vector<const RangeItem*> reached;
    auto take = [&](auto from, auto to) {
        for (auto it = from; it != to; ++it) reached.push_back(&*it);
    };
    for (uint8_t rank : comparable_ranks(p)) {
        auto sec_begin = by_range_.lower_bound(RangeProbe{rank, nullptr, false});
        auto sec_end = by_range_.lower_bound(RangeProbe{static_cast<uint8_t>(rank + 1), nullptr, false});
        auto lo = by_range_.lower_bound(RangeProbe{rank, &p, false});  // first k >= p
        auto hi = by_range_.lower_bound(RangeProbe{rank, &p, true});   // first k > p
        switch (op) {
            case CmpOp::Eq: take(lo, hi); break;                           // p == k
            case CmpOp::Ne: take(sec_begin, lo); take(hi, sec_end); break;  // p != k
            case CmpOp::Lt: take(hi, sec_end); break;                       // p < k
            case CmpOp::Le: take(lo, sec_end); break;                       // p <= k
            case CmpOp::Gt: take(sec_begin, lo); break;                     // p > k
            case CmpOp::Ge: take(sec_begin, hi); break;                     // p >= k
        }
    }
    // Ascending by k with ties in memory order; descending keeps ties in memory order.
    if (op == CmpOp::Gt || op == CmpOp::Ge) {
        std::reverse(reached.begin(), reached.end());
        auto run = reached.begin();
        while (run != reached.end()) {
            auto next = run + 1;
            while (next != reached.end() && range_rank((*next)->v) == range_rank((*run)->v) &&
                   value_order((*next)->v, (*run)->v) == Ordering::Equal) {
                ++next;
            }
            std::reverse(run, next);
            run = next;
        }
    }
    out.reserve(out.size() + reached.size());
    for (const RangeItem* r : reached) out.push_back(slots_[r->slot].entry.item);
}

template <class T>
void Memory<T>::verify() const {
    size_t n = 0;
    uint64_t last_seq = 0;
    Pos prev = npos;
    for (Pos p = head_; p != npos; p = slots_[p].next) {
        const Slot& sl = slots_[p];
        if (!sl.live || sl.prev != prev || sl.seq <= last_seq) invariant_broken("node memory order links are broken");
        if (!items_.contains(sl.entry.item)) invariant_broken("node memory item index misses an entry");
        last_seq = sl.seq;
        prev = p;
        if (++n > live_) invariant_broken("node memory order list is longer than its count");
    }
    if (n != live_ || prev != tail_) invariant_broken("node memory count disagrees with its order list");
    if (free_.size() + live_ != slots_.size()) invariant_broken("node memory loses slots");
    size_t listed = 0;
    for (const auto& [item, ends] : items_) {
        Pos last = npos;
        for (Pos s = ends.head; s != npos; s = slots_[s].same_next) {
            if (!slots_[s].live || !(slots_[s].entry.item == item)) invariant_broken("node memory item chain is broken");
            last = s;
            ++listed;
        }
        if (last != ends.tail) invariant_broken("node memory item chain ends elsewhere");
    }
    if (listed != live_) invariant_broken("node memory item chains disagree with its count");
    size_t bucketed = 0;
    for (const auto& [h, ends] : by_key_) {
        uint64_t seq = 0;
        for (Pos s = ends.head; s != npos; s = slots_[s].bnext) {
            const Slot& sl = slots_[s];
            if (!sl.live || !sl.bucketed || sl.entry.key.class_hash() != h || sl.seq <= seq) {
                invariant_broken("node memory equality bucket is broken");
            }
            seq = sl.seq;
            ++bucketed;
        }
    }
    size_t ranged = 0;
    for (Pos p = head_; p != npos; p = slots_[p].next) {
        if (slots_[p].bucketed) --bucketed;
        if (range_indexed(slots_[p].entry)) ++ranged;
    }
    if (bucketed != 0 || ranged != by_range_.size()) invariant_broken("node memory indexes disagree with its entries");
}

template class Memory<FactId>;
template class Memory<TupleId>;

}  // namespace quarn
