// Node memories: arrival order, equality-key and range indexes.
#include "network/memory.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <type_traits>

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
KeyValue Memory<T>::small_value(uint64_t k) {
    KeyValue v;
    switch (k & kTagMask) {
        case kTagI64:
            v.tag = ValueTag::I64;
            v.a = static_cast<uint64_t>(static_cast<int64_t>(k) >> 2);
            break;
        case kTagBool:
            v.tag = ValueTag::Bool;
            v.a = k >> 2;
            break;
        default:
            v.tag = ValueTag::F64;
            v.a = k & ~kTagMask;
            break;
    }
    return v;
}

template <class T>
Key Memory<T>::small_key(const Slot& sl) {
    Key k;
    const KeyValue v = small_value(sl.key);
    if (v.tag == ValueTag::I64) {
        k.push_i64(v.as_i64());
    } else {
        k.push(v);
    }
    return k;
}

template <class T>
bool Memory<T>::small_matches(uint64_t k, const Key& probe, bool* equal) {
    if (!probe.present() || probe.size() != 1) return false;
    const KeyValue& p = probe[0];
    const KeyValue v = small_value(k);
    if (v.tag == ValueTag::I64 && p.tag == ValueTag::I64) {
        bool ok = v.a == p.a;
        if (equal != nullptr) *equal = ok;
        return ok;
    }
    if (!key_values_match(v, p)) return false;
    if (equal != nullptr) {
        // As Key::operator== has it: floats by ==, others by their bits.
        *equal = v.tag == p.tag && (v.tag == ValueTag::F64 ? v.as_f64() == p.as_f64() : v.a == p.a);
    }
    return true;
}

template <class T>
std::optional<uint64_t> Memory<T>::class_hash_of(const Slot& sl) const {
    const uint64_t k = sl.key;
    if (k == kNoKey) return std::nullopt;
    if (!is_small(k)) return keys_[record_of(k)].key.class_hash();
    const KeyValue v = small_value(k);
    if (v.tag == ValueTag::I64) return int_key_class_hash(v.as_i64());
    return single_value_class_hash(v);
}

template <class T>
bool Memory<T>::range_indexed(const Slot& sl) const {
    const uint64_t w = sl.key;
    if (index_op_.kind() != IndexKind::Range || w == kNoKey) return false;
    if (is_small(w)) return rankable(small_value(w));
    const Key& k = keys_[record_of(w)].key;
    return k && k.size() > 0 && rankable(k[0]);
}

template <class T>
bool Memory<T>::bucketed(const Slot& sl) const {
    const uint64_t k = sl.key;
    if (index_op_.kind() != IndexKind::Equality || k == kNoKey) return false;
    return is_small(k) || keys_[record_of(k)].key.class_hash().has_value();
}

template <class T>
typename Memory<T>::Pos Memory<T>::pos_of(const T& item) const {
    const Pos* first = items_.find(item);
    return first == nullptr ? npos : *first;
}

template <class T>
std::optional<typename Memory<T>::EntryRef> Memory<T>::find_first(const T& item) const {
    Pos p = pos_of(item);
    if (p == npos) return std::nullopt;
    const Slot& sl = slots_[p];
    const uint64_t k = sl.key;
    if (is_small(k)) return std::optional<EntryRef>(std::in_place, sl.item, small_value(k));
    return std::optional<EntryRef>(std::in_place, sl.item, k == kNoKey ? none_ : keys_[record_of(k)].key);
}

template <class T>
uint64_t Memory<T>::new_key(Key&& key) {
    uint32_t k;
    if (!free_keys_.empty()) {
        k = free_keys_.back();
        free_keys_.pop_back();
    } else {
        if (keys_.size() >= kKeyLimit) invariant_broken("node memory key count overflow");
        k = static_cast<uint32_t>(keys_.size());
        keys_.emplace_back();
    }
    KeyRec& r = keys_[k];
    r.key = std::move(key);
    r.key.own_texts();
    r.refs = 1;
    return record_word(k);
}

template <class T>
template <class K>
inline uint64_t Memory<T>::key_for(K&& key, Bucket* bucket) {
    if (!key.present()) return kNoKey;
    if (key.size() == 1) {
        if (auto w = small_word(key[0])) return *w;
    }
    // An equal key at the head of the same bucket, or else on the entry last
    // appended (runs of equal keys, in memories without an equality index).
    // (Equal keys of one float value are equal bit for bit: only zeros
    // differ in their bits and compare equal, and they take no record.)
    const uint64_t near = bucket != nullptr ? (bucket->head == npos ? kNoKey : uint64_t{bucket->head_key})
                          : tail_ == npos ? kNoKey
                                          : uint64_t{slots_[tail_].key};
    if (near != kNoKey && !is_small(near) && keys_[record_of(near)].key == key) {
        ++keys_[record_of(near)].refs;
        return near;
    }
    uint64_t k;
    if constexpr (std::is_same_v<std::remove_cvref_t<K>, Key> && !std::is_const_v<std::remove_reference_t<K>> &&
                  std::is_rvalue_reference_v<K&&>) {
        k = new_key(std::move(key));
    } else {
        k = new_key(Key(key));
    }
    return k;
}

template <class T>
void Memory<T>::release_key(uint64_t k) {
    if (k == kNoKey || is_small(k)) return;
    KeyRec& r = keys_[record_of(k)];
    if (--r.refs > 0) return;
    r.key.reset();
    free_keys_.push_back(record_of(k));
}

template <class T>
void Memory<T>::share_index(SharedKeyIndex* index) {
    if (live_ != 0 || !by_key_.empty()) invariant_broken("node memory shares its index while it holds entries");
    shared_ = index;
}

template <class T>
const typename Memory<T>::Bucket* Memory<T>::find_bucket(uint64_t h) const {
    if (shared_ != nullptr) {
        auto it = shared_->find(h);
        if (it == shared_->end()) return nullptr;
        const Bucket& b = side_of(it->second);
        return b.head == npos ? nullptr : &b;
    }
    auto it = by_key_.find(h);
    return it == by_key_.end() ? nullptr : &it->second;
}

template <class T>
typename Memory<T>::Bucket& Memory<T>::bucket_of(uint64_t h) {
    if (shared_ != nullptr) {
        auto it = shared_->find(h);
        if (it == shared_->end()) invariant_broken("node memory lost an equality bucket");
        return side_of(it->second);
    }
    auto it = by_key_.find(h);
    if (it == by_key_.end()) invariant_broken("node memory lost an equality bucket");
    return it->second;
}

template <class T>
void Memory<T>::unbucket(uint64_t h, Pos s) {
    if (shared_ != nullptr) {
        auto it = shared_->find(h);
        if (it == shared_->end()) invariant_broken("node memory lost an equality bucket");
        take_from_bucket(side_of(it->second), s);
        if (!holds_slots(it->second)) shared_->erase(it);
        return;
    }
    auto it = by_key_.find(h);
    if (it == by_key_.end()) invariant_broken("node memory lost an equality bucket");
    take_from_bucket(it->second, s);
    if (it->second.head == npos) by_key_.erase(it);
}

template <class T>
detail::JoinBuckets& Memory<T>::shared_entry_growing(uint64_t h) {
    if (const size_t more = pushes_expected(); more != 0) shared_->grow_ahead(more, 8);
    return shared_->try_emplace(h).first->second;
}

template <class T>
template <class K>
void Memory<T>::push(T item, K&& key) {
    Bucket* bucket = bucket_for(key);
    append_slot(item, key_for(std::forward<K>(key), bucket), bucket);
}

template <class T>
void Memory<T>::push_into(T item, Key&& key, Bucket* bucket) {
    append_slot(item, key_for(std::move(key), bucket), bucket);
}

template <class T>
std::span<const T> Memory<T>::int_bucket_matching(const Bucket& b, int64_t v, std::vector<T>& out,
                                                  bool* all_equal) const {
    Key probe;
    probe.push_i64(v);
    bucket_matching(b, probe, out, all_equal);
    return out;
}

template <class T>
void Memory<T>::push_wide_int(T item, int64_t v, Bucket* bucket) {
    Key key;
    key.push_i64(v);
    push_into(std::move(item), std::move(key), bucket);
}

template <class T>
typename Memory<T>::Bucket* Memory<T>::bucket_for(const Key& key) {
    if (index_op_.kind() != IndexKind::Equality || !key.present()) return nullptr;
    auto h = key.class_hash();
    if (!h) return nullptr;
    return bucket_of_hash(*h);
}

template <class T>
inline typename Memory<T>::Bucket* Memory<T>::bucket_of_hash(uint64_t h) {
    // Up to eightfold: a long batch of new keys moves its buckets a third as
    // often as doubling would, and the index's entries (32 bytes, 48 in a
    // shared index) stay small beside the 32-byte slots even when the batch's
    // keys repeat.
    if (shared_ != nullptr) return &side_of(shared_entry(h));
    if (const size_t more = pushes_expected(); more != 0) by_key_.grow_ahead(more, 8);
    return &by_key_.try_emplace(h).first->second;
}

template <class T>
bool Memory<T>::rekey_to_word(Pos s, int64_t v, uint64_t w) {
    // A new integer word takes no record: the entry goes to the bucket of
    // the integer's class hash, as bucket_for would find it.
    unlink_slot(s);
    --live_;
    const uint64_t old = slots_[s].key;
    Bucket* bucket = index_op_.kind() == IndexKind::Equality ? bucket_of_hash(int_key_class_hash(v)) : nullptr;
    link_slot(s, w, bucket);
    release_key(old);
    return true;
}

template <class T>
bool Memory<T>::rekey_to_back_int(const T& item, int64_t v) {
    const Pos s = pos_of(item);
    if (s == npos) return false;
    const uint64_t w = int_word(v);
    if (w != kNoKey && same_next(s) == npos) {
        if (slots_[s].key != w) return rekey_to_word(s, v, w);
        relink_to_back(s);
        return true;
    }
    Key key;
    key.push_i64(v);
    return rekey_to_back(item, key);
}

template <class T>
bool Memory<T>::rekey_to_back(const T& item, const Key& key) {
    Pos s = pos_of(item);
    if (s == npos) return false;
    if (same_next(s) != npos) {
        // The item's later entries keep their places: the moved one joins
        // the end of its list as a new slot. (The key is copied first: it
        // may be the record the removal frees.)
        Key kept(key);
        kill_slot(s, nullptr);
        push(item, std::move(kept));
        return true;
    }
    if (holds_identical(slots_[s], key)) {
        // Only the arrival order moves: the slot keeps its key and its bucket.
        relink_to_back(s);
        return true;
    }
    unlink_slot(s);
    --live_;
    // The old key goes once the new one is stored: `key` may be a record of
    // this memory's own, or the same record.
    const uint64_t old = slots_[s].key;
    Bucket* bucket = bucket_for(key);
    link_slot(s, key_for(key, bucket), bucket);
    release_key(old);
    return true;
}

template <class T>
void Memory<T>::push_back(T item, Key&& key) {
    push(std::move(item), std::move(key));
}

template <class T>
void Memory<T>::push_back(T item, const Key& key) {
    // Keys never move once stored, and a push frees none: a key of this
    // memory's own can be passed.
    push(std::move(item), key);
}

template <class T>
void Memory<T>::append_slot_rare(T item, uint64_t k, Bucket* bucket) {
    if (next_seq_ == UINT32_MAX) renumber();
    const Slot fresh{item, KeyWord(k), bucket != nullptr ? bucket->tail : npos, npos, tail_, npos, next_seq_++};
    Pos s;
    if (!free_.empty()) {
        s = free_.back();
        free_.pop_back();
        slots_[s] = fresh;
    } else {
        constexpr uint64_t kPosLimit = std::numeric_limits<uint32_t>::max() - 1;
        if (slots_.size() >= kPosLimit) invariant_broken("node memory slot count overflow");
        s = static_cast<Pos>(slots_.size());
        slots_.emplace_back(fresh);
        // The pushes after this one that can take a new slot on the plain
        // path: as many as the numbers, the positions and the arena's chunk
        // in use all have left.
        const uint64_t room =
            std::min<uint64_t>({UINT32_MAX - next_seq_, kPosLimit - slots_.size(), slots_.room()});
        plain_seq_end_ = static_cast<uint32_t>(next_seq_ + room);
    }
    enter_slot(s, item, k, bucket);
}

template <class T>
void Memory<T>::link_slot(Pos s, uint64_t k, Bucket* bucket) {
    if (next_seq_ == UINT32_MAX) renumber();
    Slot& sl = slots_[s];
    sl.key = k;
    sl.seq = next_seq_++;
    sl.prev = tail_;
    sl.next = npos;
    sl.bprev = bucket != nullptr ? bucket->tail : npos;
    sl.bnext = npos;
    attach(s, sl.item, k, bucket);
}

template <class T>
void Memory<T>::chain_again(const T& item, Pos first, Pos s) {
    auto [tail, one] = same_tail_.try_emplace(item, first);
    same_next_.insert_or_assign(tail->second, s);
    tail->second = s;
}

template <class T>
bool Memory<T>::unchain_first(const T& item, Pos& first) {
    auto next = same_next_.find(first);
    if (next == same_next_.end()) return false;
    first = next->second;
    same_next_.erase(next);
    auto tail = same_tail_.find(item);
    if (tail == same_tail_.end()) invariant_broken("node memory item chain has no end");
    if (tail->second == first) same_tail_.erase(tail);
    return true;
}

template <class T>
void Memory<T>::kill_slot(Pos s, Key* taken) {
    Slot& sl = slots_[s];
    // Only ever the first slot of its item is removed.
    const bool held = items_.erase_when(sl.item, [&](Pos& first) {
        if (first != s) invariant_broken("node memory removes an entry out of item order");
        return same_next_.empty() || !unchain_first(sl.item, first);
    });
    if (!held) invariant_broken("node memory removes an entry out of item order");
    unlink_slot(s);
    if (taken != nullptr) {
        if (sl.key == kNoKey) {
            taken->reset();
        } else if (is_small(sl.key)) {
            *taken = small_key(sl);
        } else if (KeyRec& r = keys_[record_of(sl.key)]; r.refs == 1) {
            *taken = std::move(r.key);
        } else {
            *taken = r.key;
        }
    }
    release_key(sl.key);
    sl.key = kNoKey;
    sl.seq = 0;
    --live_;
    free_.push_back(s);
    plain_seq_end_ = 0;
}

template <class T>
void Memory<T>::unlink_slot(Pos s) {
    Slot& sl = slots_[s];
    if (bucketed(sl)) {
        unbucket(*class_hash_of(sl), s);
    } else if (range_indexed(sl)) {
        by_range_.erase(RangeItem{at(s).key[0].value(), sl.seq, s});
    }
    take_from_order(s);
}

template <class T>
void Memory<T>::take_from_bucket(Bucket& bk, Pos s) {
    const Slot& sl = slots_[s];
    if (sl.bprev == npos) {
        bk.head = sl.bnext;
        if (bk.head != npos) {
            const Slot& h = slots_[bk.head];
            bk.head_item = h.item;
            bk.head_key = h.key;
        }
    } else {
        slots_[sl.bprev].bnext = sl.bnext;
    }
    if (sl.bnext == npos) {
        bk.tail = sl.bprev;
    } else {
        slots_[sl.bnext].bprev = sl.bprev;
    }
}

template <class T>
void Memory<T>::take_from_order(Pos s) {
    const Slot& sl = slots_[s];
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
}

template <class T>
void Memory<T>::renumber() {
    const size_t expected = pushes_expected();
    uint32_t seq = 1;
    for (Pos p = head_; p != npos; p = slots_[p].next) slots_[p].seq = seq++;
    batch_end_ = expected == 0 ? 0 : seq + uint64_t{expected};
    next_seq_ = seq;
    plain_seq_end_ = 0;
    if (index_op_.kind() != IndexKind::Range) return;
    // The range index breaks ties by arrival number: it is rebuilt with the new ones.
    by_range_.clear();
    for (Pos p = head_; p != npos; p = slots_[p].next) {
        if (range_indexed(slots_[p])) by_range_.insert(RangeItem{at(p).key[0].value(), slots_[p].seq, p});
    }
}

template <class T>
void Memory<T>::skip_arrival_numbers(uint32_t n) {
    next_seq_ = n > UINT32_MAX - next_seq_ ? UINT32_MAX : next_seq_ + n;
}

template <class T>
bool Memory<T>::remove_first(const T& item) {
    Pos s = pos_of(item);
    if (s == npos) return false;
    kill_slot(s, nullptr);
    return true;
}

template <class T>
std::optional<typename Memory<T>::Entry> Memory<T>::take_first(const T& item) {
    Pos s = pos_of(item);
    if (s == npos) return std::nullopt;
    Entry e{item, Key{}};
    kill_slot(s, &e.key);
    return e;
}

template <class T>
bool Memory<T>::move_to_back(const T& item) {
    const Pos* first = items_.find(item);
    if (first == nullptr) return false;
    if (same_next(*first) != npos) {
        // The item's first entry goes behind its others: taken out and put back.
        auto e = take_first(item);
        push_back(std::move(e->item), std::move(e->key));
        return true;
    }
    relink_to_back(*first);
    return true;
}

template <class T>
bool Memory<T>::holds_identical(const Slot& sl, const Key& key) const {
    if (!key.present()) return sl.key == kNoKey;
    if (sl.key == kNoKey) return false;
    if (is_small(sl.key)) {
        if (key.size() != 1) return false;
        const auto w = small_word(key[0]);
        return w && *w == sl.key;
    }
    const Key& stored = keys_[record_of(sl.key)].key;
    if (!(stored == key)) return false;
    // Equal floats may still differ in their bits (0.0 and -0.0).
    for (size_t v = 0; v < key.size(); ++v) {
        if (key[v].tag == ValueTag::F64 && key[v].a != stored[v].a) return false;
    }
    return true;
}

template <class T>
void Memory<T>::relink_to_back(Pos s) {
    if (next_seq_ == UINT32_MAX) renumber();
    Slot& sl = slots_[s];
    const bool ranged = range_indexed(sl);
    if (ranged) by_range_.erase(RangeItem{at(s).key[0].value(), sl.seq, s});
    // The last slot of its bucket (the only one, often) stays where it is:
    // the bucket is looked up only when the slot has to move inside it.
    if (sl.bnext != npos && bucketed(sl)) {
        Bucket& bk = bucket_of(*class_hash_of(sl));
        take_from_bucket(bk, s);
        slots_[bk.tail].bnext = s;
        sl.bprev = bk.tail;
        sl.bnext = npos;
        bk.tail = s;
    }
    if (tail_ != s) {
        take_from_order(s);
        slots_[tail_].next = s;
        sl.prev = tail_;
        sl.next = npos;
        tail_ = s;
    }
    sl.seq = next_seq_++;
    if (ranged) by_range_.insert(RangeItem{at(s).key[0].value(), sl.seq, s});
}

template <class T>
void Memory<T>::clear() {
    slots_.clear();
    free_.clear();
    keys_.clear();
    free_keys_.clear();
    head_ = tail_ = npos;
    live_ = 0;
    next_seq_ = 1;
    plain_seq_end_ = 0;
    items_.clear();
    same_next_.clear();
    same_tail_.clear();
    by_key_.clear();
    by_range_.clear();
    if (shared_ != nullptr) {
        // This side's buckets empty out; entries the other side holds stay.
        std::vector<uint64_t> spent;
        for (auto& [h, b] : *shared_) {
            side_of(b) = Bucket{};
            if (!holds_slots(b)) spent.push_back(h);
        }
        for (uint64_t h : spent) shared_->erase(h);
    }
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
    for (Pos p = head_; p != npos; p = slots_[p].next) out.push_back(slots_[p].item);
}

template <class T>
void Memory<T>::matching(const Key& probe, std::vector<T>& out, bool* all_equal) const {
    if (all_equal != nullptr) *all_equal = true;
    if (!probe) return;
    if (index_op_.kind() == IndexKind::Equality) {
        auto h = probe.class_hash();
        if (!h) return;
        if (const Bucket* b = find_bucket(*h)) bucket_matching(*b, probe, out, all_equal);
        return;
    }
    walk_matching(head_, false, probe, out, all_equal);
}

template <class T>
void Memory<T>::bucket_matching(const Bucket& b, const Key& probe, std::vector<T>& out, bool* all_equal) const {
    if (b.head == b.tail) {
        bool equal = true;
        if (key_matches(b.head_key, probe, all_equal != nullptr ? &equal : nullptr)) {
            out.push_back(b.head_item);
            if (all_equal != nullptr) *all_equal = equal;
        }
        return;
    }
    walk_matching(b.head, true, probe, out, all_equal);
}

template <class T>
void Memory<T>::walk_matching(Pos from, bool by_bucket, const Key& probe, std::vector<T>& out, bool* all_equal) const {
    // Entries sharing a key record share the answer: test each record once in a row.
    uint64_t last = kNoKey;
    bool last_ok = false;
    for (Pos p = from; p != npos; p = by_bucket ? slots_[p].bnext : slots_[p].next) {
        const Slot& sl = slots_[p];
        const uint64_t k = sl.key;
        bool equal = true;
        bool ok;
        if (is_small(k) || k == kNoKey) {
            ok = key_matches(k, probe, all_equal != nullptr ? &equal : nullptr);
        } else if (k == last) {
            ok = last_ok;  // its equality was told when the record was first tested
        } else {
            last = k;
            ok = last_ok = key_matches(k, probe, all_equal != nullptr ? &equal : nullptr);
        }
        if (!ok) continue;
        if (!equal) *all_equal = false;
        out.push_back(sl.item);
    }
}

template <class T>
typename Memory<T>::Pos Memory<T>::bucket_first(const Key& probe) const {
    if (index_op_.kind() != IndexKind::Equality) invariant_broken("bucket walk of a memory without an equality index");
    auto h = probe.class_hash();
    if (!h) return npos;
    const Bucket* b = find_bucket(*h);
    return b == nullptr ? npos : b->head;
}

template <class T>
void Memory<T>::prefetch_bucket(const Key& probe) const {
    if (auto h = probe.class_hash()) {
        if (shared_ != nullptr) {
            shared_->prefetch(*h);
        } else {
            by_key_.prefetch(*h);
        }
    }
}

template <class T>
void Memory<T>::prefetch_removal(const T& item, int step) const {
    if (step == 0) {
        items_.prefetch(item);
        return;
    }
    const Pos s = pos_of(item);
    if (s == npos) return;
    const Slot& sl = slots_[s];
    if (step == 1) {
        __builtin_prefetch(&sl);
        return;
    }
    // The neighbours in memory order are mostly the slot's own neighbours
    // in the array, and the bucket table is small next to the slots: only
    // the bucket neighbours are worth the instructions.
    if (sl.bprev != npos) __builtin_prefetch(&slots_[sl.bprev]);
    if (sl.bnext != npos) __builtin_prefetch(&slots_[sl.bnext]);
}

template <class T>
std::vector<T> Memory<T>::matching(const Key& probe) const {
    std::vector<T> out;
    matching(probe, out);
    return out;
}

template <class T>
void Memory<T>::in_range(const Value& p, CmpOp op, std::vector<T>& out) const {
    if (index_op_.kind() != IndexKind::Range) invariant_broken("range scan of a memory without a range index");
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
    for (const RangeItem* r : reached) out.push_back(slots_[r->slot].item);
}

template <class T>
void Memory<T>::verify() const {
    size_t n = 0;
    uint64_t last_seq = 0;
    Pos prev = npos;
    std::vector<uint32_t> refs(keys_.size(), 0);
    for (Pos p = head_; p != npos; p = slots_[p].next) {
        const Slot& sl = slots_[p];
        if (sl.seq == 0 || sl.prev != prev || sl.seq <= last_seq || sl.seq >= next_seq_) {
            invariant_broken("node memory order links are broken");
        }
        if (!items_.contains(sl.item)) invariant_broken("node memory item index misses an entry");
        if (sl.key != kNoKey && !is_small(sl.key)) {
            const uint32_t r = record_of(sl.key);
            if (r >= keys_.size()) invariant_broken("node memory entry names a key it does not hold");
            ++refs[r];
            const Key& k = keys_[r].key;
            if (k.size() == 1 && small_word(k[0])) {
                invariant_broken("node memory keeps a record of a key its entry could hold");
            }
        }
        last_seq = sl.seq;
        prev = p;
        if (++n > live_) invariant_broken("node memory order list is longer than its count");
    }
    if (n != live_ || prev != tail_) invariant_broken("node memory count disagrees with its order list");
    if (free_.size() + live_ != slots_.size()) invariant_broken("node memory loses slots");
    // The plain path's run of pushes needs, for each, a new slot in the chunk in use.
    if (next_seq_ < plain_seq_end_ && (!free_.empty() || plain_seq_end_ - next_seq_ > slots_.room()))
        invariant_broken("node memory lets a push take a slot it does not have");
    for (Pos p : free_) {
        if (slots_[p].seq != 0) invariant_broken("node memory frees a live slot");
    }
    size_t unused = 0;
    for (uint32_t k = 0; k < keys_.size(); ++k) {
        if (keys_[k].refs != refs[k]) invariant_broken("node memory key counts disagree with its entries");
        unused += refs[k] == 0;
    }
    if (unused != free_keys_.size()) invariant_broken("node memory loses keys");
    size_t listed = 0, held = 0, chained = 0;
    items_.for_each([&](const T& item, const Pos& first) {
        ++held;
        Pos last = npos;
        size_t n = 0;
        for (Pos s = first; s != npos; s = same_next(s)) {
            if (slots_[s].seq == 0 || !(slots_[s].item == item)) invariant_broken("node memory item chain is broken");
            if (++n > live_) invariant_broken("node memory item chain is broken");
            last = s;
            ++listed;
        }
        auto tail = same_tail_.find(item);
        if (n > 1) ++chained;
        if (n > 1 ? tail == same_tail_.end() || tail->second != last : tail != same_tail_.end()) {
            invariant_broken("node memory item chain ends elsewhere");
        }
    });
    if (listed != live_) invariant_broken("node memory item chains disagree with its count");
    if (held != items_.size()) invariant_broken("node memory miscounts its items");
    if (same_next_.size() != live_ - held || same_tail_.size() != chained) {
        invariant_broken("node memory item chains disagree with its count");
    }
    size_t in_buckets = 0;
    auto check_bucket = [&](uint64_t h, const Bucket& b) {
        uint64_t seq = 0;
        Pos back = npos;
        for (Pos s = b.head; s != npos; s = slots_[s].bnext) {
            const Slot& sl = slots_[s];
            if (sl.seq == 0 || !bucketed(sl) || class_hash_of(sl) != h || sl.seq <= seq || sl.bprev != back) {
                invariant_broken("node memory equality bucket is broken");
            }
            seq = sl.seq;
            back = s;
            ++in_buckets;
        }
        if (back != b.tail || b.head == npos) invariant_broken("node memory equality bucket is broken");
        const Slot& head = slots_[b.head];
        if (!(b.head_item == head.item) || uint64_t{b.head_key} != uint64_t{head.key}) {
            invariant_broken("node memory bucket misreads its head");
        }
    };
    for (const auto& [h, b] : by_key_) check_bucket(h, b);
    if (shared_ != nullptr) {
        if (!by_key_.empty()) invariant_broken("node memory keeps buckets beside its shared index");
        for (const auto& [h, b] : *shared_) {
            if (!holds_slots(b)) invariant_broken("node memory shared index keeps an empty entry");
            if (side_of(b).head != npos) {
                check_bucket(h, side_of(b));
            } else if (side_of(b).tail != npos) {
                invariant_broken("node memory equality bucket is broken");
            }
        }
    }
    size_t ranged = 0;
    for (Pos p = head_; p != npos; p = slots_[p].next) {
        if (bucketed(slots_[p])) --in_buckets;
        if (range_indexed(slots_[p])) ++ranged;
    }
    if (in_buckets != 0 || ranged != by_range_.size()) invariant_broken("node memory indexes disagree with its entries");
}

template class Memory<FactId>;
template class Memory<TupleId>;

}  // namespace quarn
