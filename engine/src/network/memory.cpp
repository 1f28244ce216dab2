// Node memories: arrival order, equality-key and range indexes.
#include "network/memory.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "common/internal_error.h"

namespace quarn {

namespace {

// A float truncated toward zero, saturating at the integer range; NaN gives 0.
int64_t trunc_saturating(double f) {
    if (std::isnan(f)) return 0;
    if (f >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
    if (f < -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(f);
}

bool int_meets_float(int64_t i, double f) {
    return i == trunc_saturating(f) || static_cast<double>(i) == f;
}

// The integer class of an exact integer: itself while doubles hold it exactly,
// else where it lands as a double. Integers that can equal one float, and the
// truncations of floats, thereby share a class.
int64_t int_class_of(i128 n) {
    constexpr i128 exact = static_cast<i128>(1) << 53;
    if (n >= -exact && n <= exact) return static_cast<int64_t>(n);
    return trunc_saturating(static_cast<double>(n));
}

bool values_match(const Value& s, const Value& p) {
    ValueTag st = s.tag(), pt = p.tag();
    if (st == ValueTag::Null || pt == ValueTag::Null) return false;
    bool s_exact = st == ValueTag::I64 || st == ValueTag::Dec;
    bool p_exact = pt == ValueTag::I64 || pt == ValueTag::Dec;
    if (s_exact && p_exact && (st == ValueTag::Dec || pt == ValueTag::Dec)) {
        return value_order(s, p) == Ordering::Equal;
    }
    // One rule for both sides, so a match never depends on which side arrived
    // first. The float is truncated as the equality join does; beyond 2^53 an
    // integer can also equal a float only as doubles, which the join test of a
    // float field accepts, so that counts too (keys only narrow the candidates).
    if (st == ValueTag::I64 && pt == ValueTag::F64) return int_meets_float(s.as_i64(), p.as_f64());
    if (st == ValueTag::F64 && pt == ValueTag::I64) return int_meets_float(p.as_i64(), s.as_f64());
    if (st != pt) return false;
    switch (st) {
        case ValueTag::I64: return s.as_i64() == p.as_i64();
        case ValueTag::F64: return s.as_f64() == p.as_f64();
        case ValueTag::Str: return s.as_str() == p.as_str();
        case ValueTag::Bool: return s.as_bool() == p.as_bool();
        default: return false;
    }
}

// The hash class of a value: values that keys_match accepts against each other
// share a class. Numbers that can match an integer hash by int_class_of that
// integer (a float by its truncation, so all floats with one integer part share
// a bucket); other decimals by their value with trailing zeros stripped.
// Returns false for Null, which never matches.
bool class_hash(const Value& v, uint64_t& h) {
    auto int_class = [&](i128 n) { h = hash_combine(h, hash_combine(1, static_cast<uint64_t>(int_class_of(n)))); };
    switch (v.tag()) {
        case ValueTag::Null: return false;
        case ValueTag::I64: int_class(v.as_i64()); return true;
        case ValueTag::F64: int_class(trunc_saturating(v.as_f64())); return true;
        case ValueTag::Dec: {
            i128 u = v.as_dec().u;
            uint8_t s = v.as_dec().s;
            while (s > 0 && u % 10 == 0) {
                u /= 10;
                --s;
            }
            if (s == 0) {
                int_class(u);
            } else {
                u128 uu = static_cast<u128>(u);
                h = hash_combine(h, hash_combine(2, hash_combine(static_cast<uint64_t>(uu),
                                                                 hash_combine(static_cast<uint64_t>(uu >> 64), s))));
            }
            return true;
        }
        case ValueTag::Str:
            h = hash_combine(h, hash_combine(3, std::hash<std::string>{}(v.as_str())));
            return true;
        case ValueTag::Bool: h = hash_combine(h, v.as_bool() ? 5 : 4); return true;
    }
    return false;
}

bool key_class(const std::vector<Value>& key, uint64_t& h) {
    h = key.size();
    for (const Value& v : key) {
        if (!class_hash(v, h)) return false;
    }
    return true;
}

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

bool rankable(const Value& v) {
    if (v.is_null()) return false;
    if (v.tag() == ValueTag::F64 && std::isnan(v.as_f64())) return false;
    return true;
}

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

bool keys_match(const std::vector<Value>& stored, const std::vector<Value>& probe) {
    if (stored.size() != probe.size()) return false;
    for (size_t k = 0; k < stored.size(); ++k) {
        if (!values_match(stored[k], probe[k])) return false;
    }
    return true;
}

template <class T>
bool Memory<T>::RangeLess::operator()(const RangeItem& a, const RangeItem& b) const {
    uint8_t ra = range_rank(a.v), rb = range_rank(b.v);
    if (ra != rb) return ra < rb;
    auto o = value_order(a.v, b.v);
    if (o && *o != Ordering::Equal) return *o == Ordering::Less;
    return a.slot < b.slot;
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
typename Memory<T>::Pos Memory<T>::next_pos_from(size_t s) const {
    for (; s < slots_.size(); ++s) {
        if (slots_[s].live) return s;
    }
    return npos;
}

template <class T>
typename Memory<T>::Pos Memory<T>::prev_pos_from(size_t s) const {
    while (s > 0) {
        --s;
        if (slots_[s].live) return s;
    }
    return npos;
}

template <class T>
typename Memory<T>::Pos Memory<T>::first_slot(const T& item) const {
    auto it = slots_of_.find(item);
    if (it == slots_of_.end() || it->second.empty()) return npos;
    return it->second.front();
}

template <class T>
void Memory<T>::index_slot(uint32_t s) {
    const Entry& e = slots_[s].entry;
    slots_of_[e.item].push_back(s);
    if (!e.key) return;
    if (index_op_ == kEqualityIndex) {
        uint64_t h;
        if (key_class(*e.key, h)) by_key_[h].push_back(s);
    } else if (index_op_ < kNoIndex) {
        if (!e.key->empty() && rankable(e.key->front())) by_range_.insert(RangeItem{e.key->front(), s});
    }
}

template <class T>
void Memory<T>::unindex_slot(uint32_t s) {
    const Entry& e = slots_[s].entry;
    auto it = slots_of_.find(e.item);
    if (it != slots_of_.end()) {
        auto& v = it->second;
        auto at = std::find(v.begin(), v.end(), s);
        if (at != v.end()) v.erase(at);
        if (v.empty()) slots_of_.erase(it);
    }
    // Equality buckets keep dead slots until the next compaction; readers skip them.
    if (e.key && index_op_ < kNoIndex && !e.key->empty() && rankable(e.key->front())) {
        by_range_.erase(RangeItem{e.key->front(), s});
    }
}

template <class T>
void Memory<T>::kill_slot(uint32_t s) {
    unindex_slot(s);
    slots_[s].live = false;
    --live_;
}

template <class T>
void Memory<T>::compact() {
    std::vector<Slot> old = std::move(slots_);
    slots_.clear();
    slots_.reserve(live_ * 2 + 16);
    slots_of_.clear();
    by_key_.clear();
    by_range_.clear();
    for (Slot& sl : old) {
        if (!sl.live) continue;
        slots_.push_back(std::move(sl));
        index_slot(static_cast<uint32_t>(slots_.size() - 1));
    }
}

template <class T>
void Memory<T>::push_back(T item, Key key) {
    // Dead slots are reclaimed once they outnumber the live ones, so walks and
    // equality buckets stay proportional to the live entries.
    if (slots_.size() - live_ > live_ + 32) compact();
    if (slots_.size() >= std::numeric_limits<uint32_t>::max()) invariant_broken("node memory slot count overflow");
    slots_.push_back(Slot{Entry{std::move(item), std::move(key)}, true});
    ++live_;
    index_slot(static_cast<uint32_t>(slots_.size() - 1));
}

template <class T>
bool Memory<T>::remove_first(const T& item) {
    Pos s = first_slot(item);
    if (s == npos) return false;
    kill_slot(static_cast<uint32_t>(s));
    return true;
}

template <class T>
std::optional<typename Memory<T>::Entry> Memory<T>::take_first(const T& item) {
    Pos s = first_slot(item);
    if (s == npos) return std::nullopt;
    kill_slot(static_cast<uint32_t>(s));
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
    live_ = 0;
    slots_of_.clear();
    by_key_.clear();
    by_range_.clear();
}

template <class T>
const typename Memory<T>::Entry* Memory<T>::find_first(const T& item) const {
    Pos s = first_slot(item);
    return s == npos ? nullptr : &slots_[s].entry;
}

template <class T>
std::vector<T> Memory<T>::items() const {
    std::vector<T> out;
    out.reserve(live_);
    for (const Entry& e : *this) out.push_back(e.item);
    return out;
}

template <class T>
std::vector<typename Memory<T>::Entry> Memory<T>::entries() const {
    std::vector<Entry> out;
    out.reserve(live_);
    for (const Entry& e : *this) out.push_back(e);
    return out;
}

template <class T>
std::vector<T> Memory<T>::matching(const std::vector<Value>& probe) const {
    std::vector<T> out;
    if (index_op_ == kEqualityIndex) {
        uint64_t h;
        if (!key_class(probe, h)) return out;
        auto it = by_key_.find(h);
        if (it == by_key_.end()) return out;
        for (uint32_t s : it->second) {
            const Slot& sl = slots_[s];
            if (sl.live && sl.entry.key && keys_match(*sl.entry.key, probe)) out.push_back(sl.entry.item);
        }
        return out;
    }
    for (const Entry& e : *this) {
        if (e.key && keys_match(*e.key, probe)) out.push_back(e.item);
    }
    return out;
}

template <class T>
std::vector<T> Memory<T>::in_range(const Value& p, CmpOp op) const {
    if (index_op_ >= kNoIndex) invariant_broken("range scan of a memory without a range index");
    std::vector<T> out;
    if (!rankable(p)) return out;
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
            case CmpOp::Eq: take(lo, hi); break;                                    // p == k
            case CmpOp::Ne: take(sec_begin, lo); take(hi, sec_end); break;           // p != k
            case CmpOp::Lt: take(hi, sec_end); break;                                // p < k
            case CmpOp::Le: take(lo, sec_end); break;                                // p <= k
            case CmpOp::Gt: take(sec_begin, lo); break;                              // p > k
            case CmpOp::Ge: take(sec_begin, hi); break;                              // p >= k
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
    out.reserve(reached.size());
    for (const RangeItem* r : reached) out.push_back(slots_[r->slot].entry.item);
    return out;
}

template class Memory<FactId>;
template class Memory<Tuple>;

}  // namespace quarn
