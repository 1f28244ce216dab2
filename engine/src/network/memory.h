// A node memory: items (left tuples or right facts) with their join keys, in
// arrival order, with the indexes a node probes it through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <set>
#include <span>
#include <type_traits>
#include <vector>

#include "common/chunk_vector.h"
#include "common/hash.h"
#include "common/dense_ids.h"
#include "common/internal_error.h"
#include "network/index_spec.h"
#include "network/key.h"
#include "network/tuple.h"
#include "store/value.h"

namespace quarn {

namespace detail {

inline constexpr uint64_t kNoKeyWord = ~uint64_t{0};

// A memory slot's key in 64 bits (Memory::KeyWord) kept as two words, so that
// a slot needs no 8-byte alignment.
struct KeyWord {
    uint32_t w[2] = {UINT32_MAX, UINT32_MAX};
    KeyWord() = default;
    explicit KeyWord(uint64_t v) { *this = v; }
    operator uint64_t() const {
        uint64_t v;
        std::memcpy(&v, w, sizeof v);
        return v;
    }
    KeyWord& operator=(uint64_t v) {
        std::memcpy(w, &v, sizeof v);
        return *this;
    }
};

// An equality bucket of a memory: its slots, and what a probe of a one-entry
// bucket needs of its head (item and key, so it reads nothing else). The next
// entry of a key equal to the head's shares the head's stored key. 20 bytes.
template <class T>
struct MemoryBucket {
    uint32_t head = UINT32_MAX, tail = UINT32_MAX;
    T head_item{};
    KeyWord head_key;
};

// The buckets of one key class in a join's two memories, side by side.
struct JoinBuckets {
    MemoryBucket<TupleId> lefts;
    MemoryBucket<FactId> rights;
};

}  // namespace detail

// One equality index for a node's left and right memories: an insert on
// either side finds, in the same probe, the bucket it joins and the bucket
// of its partners. An entry stays while either side's bucket holds a slot.
using SharedKeyIndex = detail::OpenTable<uint64_t, detail::JoinBuckets, ClassHashBlocks>;

template <class T>
class Memory {
public:
    struct Entry {
        T item;
        Key key;
    };
    // An entry as the memory holds it: the item and its key, which refers to
    // the memory's own record (valid until the entry is removed) or, for a
    // one-value key stored in the entry itself, to a copy made for the reader.
    // Neither copied nor moved: it lives where at() and find_first() make it.
    // Keep the EntryRef (auto e = m.at(p)), not a reference to its key, which
    // may belong to the EntryRef.
    class EntryRef {
    public:
        T item;
        const Key& key;

        EntryRef(T i, const Key& k) : item(i), key(k) {}
        // An entry whose one-value key is built here, in place.
        EntryRef(T i, const KeyValue& v) : item(i), key(own_) {
            if (v.tag == ValueTag::I64) {
                own_.push_i64(static_cast<int64_t>(v.a));
            } else {
                own_.push(v);
            }
        }
        EntryRef(const EntryRef&) = delete;
        EntryRef& operator=(const EntryRef&) = delete;

    private:
        Key own_;
    };
    // A slot of the memory. Stays valid, and keeps naming its entry, until
    // that entry is removed; slots are reused afterwards.
    using Pos = uint32_t;
    static constexpr Pos npos = UINT32_MAX;

    explicit Memory(IndexSpec index_op = IndexSpec::none()) : index_op_(index_op) {}

    // Keeps the equality index in `index`, beside the other memory of the
    // node (its other side), instead of in an index of its own; only while
    // empty. A copy of the memory refers to the same index: point it at a
    // copy of the index made with it (index_copied_to) before changing either.
    void share_index(SharedKeyIndex* index);
    void index_copied_to(SharedKeyIndex* index) { shared_ = index; }
    // Whether both keep their equality index in the same shared one.
    template <class U>
    bool shares_index_with(const Memory<U>& other) const {
        return shared_ != nullptr && shared_ == other.shared_;
    }

    size_t size() const { return live_; }
    bool empty() const { return live_ == 0; }
    IndexSpec index_op() const { return index_op_; }

    // Appends; the stored key is made to own its texts.
    void push_back(T item, Key&& key);
    void push_back(T item, const Key& key);
    // Remove the first entry holding `item`; false when there is none.
    bool remove_first(const T& item);
    std::optional<Entry> take_first(const T& item);
    // Moves the first entry holding `item` to the end, key unchanged.
    bool move_to_back(const T& item);
    // Moves the first entry holding `item` to the end under `key`, as
    // remove_first and push_back would (its slot kept when it is the item's
    // only one); false, changing nothing, when there is none.
    bool rekey_to_back(const T& item, const Key& key);
    // rekey_to_back under the key holding the integer v alone, given as the
    // integer: an entry that holds that key already only moves.
    bool rekey_to_back_int(const T& item, int64_t v);
    void clear();
    // The next n pushes come as one batch: the equality index grows ahead of
    // them rather than doubling as they arrive. 0 ends the batch.
    void expect_pushes(size_t n) { batch_end_ = n == 0 ? 0 : next_seq_ + uint64_t{n}; }

    bool contains(const T& item) const { return items_.contains(item); }
    // No item is held by more than one entry: an item's entry is its first.
    bool holds_items_once() const { return items_.size() == live_; }
    // The first entry holding `item`, or none.
    std::optional<EntryRef> find_first(const T& item) const;

    // Walking in memory order.
    Pos first_pos() const { return head_; }
    Pos last_pos() const { return tail_; }
    Pos next_pos(Pos p) const { return slots_[p].next; }
    Pos prev_pos(Pos p) const { return slots_[p].prev; }
    Pos pos_of(const T& item) const;
    EntryRef at(Pos p) const {
        const Slot& sl = slots_[p];
        const uint64_t k = sl.key;
        if (is_small(k)) return EntryRef(sl.item, small_value(k));
        return EntryRef(sl.item, k == kNoKey ? none_ : keys_[record_of(k)].key);
    }
    // Arrival number of the entry at p: increases along memory order.
    uint64_t order_of(Pos p) const { return slots_[p].seq; }

    class const_iterator {
    public:
        struct Arrow {
            EntryRef e;
            const EntryRef* operator->() const { return &e; }
        };
        EntryRef operator*() const { return m_->at(p_); }
        Arrow operator->() const { return Arrow{m_->at(p_)}; }
        const_iterator& operator++() {
            p_ = m_->next_pos(p_);
            return *this;
        }
        bool operator==(const const_iterator& o) const { return p_ == o.p_; }

    private:
        friend class Memory;
        const_iterator(const Memory* m, Pos p) : m_(m), p_(p) {}
        const Memory* m_;
        Pos p_;
    };
    const_iterator begin() const { return {this, head_}; }
    const_iterator end() const { return {this, npos}; }

    std::vector<T> items() const;
    void items(std::vector<T>& out) const;

    // Entries whose key keys_match accepts against `probe`, in memory order,
    // appended to out. Uses the equality index when the memory has one, else
    // tests every entry. With `all_equal`, also says whether every entry it
    // appended holds a key structurally equal to the probe.
    void matching(const Key& probe, std::vector<T>& out, bool* all_equal = nullptr) const;
    std::vector<T> matching(const Key& probe) const;
    // What other.matching(k, out, all_equal) appends, k being the key of
    // the first entry holding `item`; false, appending nothing, when there
    // is none. `exact` says whether k is present and its equality exact
    // (key_equality_is_exact). An integer key held in the entry probes an
    // index the memories share by its word, without a Key.
    template <class U>
    bool stored_key_matching(const T& item, const Memory<U>& other, std::vector<U>& out, bool* all_equal,
                             bool* exact) const;
    // push_back(item, key), having first appended to `out` what
    // other.matching(key, out, all_equal) would: where both memories share
    // one equality index, one probe of it does both.
    template <class U>
    void push_back_matching(T item, Key&& key, const Memory<U>& other, std::vector<U>& out, bool* all_equal);
    // push_back_matching of a key holding the integer v alone, given as the
    // integer, its class hash (int_key_class_hash) and the index's hash of
    // that (what prefetch_class gives): the same entries found, the same
    // entry stored, without a Key. Only where both memories share one
    // equality index (shares_index_with), which the caller knows; U is the
    // other side's item. The entries found come back as a span: over `out`
    // (cleared here, and only when the span is over it: most probes find
    // one entry or none and leave it be), or, for the one entry of a bucket,
    // over the index's own copy of it, valid until either memory next changes.
    template <class U>
    std::span<const U> push_back_matching_int(T item, int64_t v, uint64_t h, size_t slot_hash,
                                              const Memory<U>& other, std::vector<U>& out, bool* all_equal);
    // Equality index: the first slot of the bucket `probe` falls in, npos when
    // there is none; the bucket holds the candidates in memory order, which
    // keys_match still has to confirm.
    Pos bucket_first(const Key& probe) const;
    Pos bucket_next(Pos p) const { return slots_[p].bnext; }
    // Starts loading the bucket `probe` falls in (equality index only).
    void prefetch_bucket(const Key& probe) const;
    // The same for a key of class hash h. Gives the index's own hash of h,
    // which push_back_matching_int takes rather than working it out again.
    size_t prefetch_class(uint64_t h) const {
        const size_t slot_hash = shared_ != nullptr ? shared_->hash_of(h) : by_key_.hash_of(h);
        if (shared_ != nullptr) {
            shared_->prefetch_hashed(slot_hash);
        } else {
            by_key_.prefetch_hashed(slot_hash);
        }
        return slot_hash;
    }
    // Starts loading what remove_first(item) reads, one step of its chain at
    // a time, so that a batch of removals can issue them ahead: step 0 the
    // item's record, 1 its first slot (reading the record), 2 the slots
    // before and after it in its equality bucket (reading the slot).
    void prefetch_removal(const T& item, int step) const;
    // Equality index: the first item of the bucket `probe` falls in whose key
    // keys_match accepts and that `pred` accepts, in memory order from the
    // entry of `start` (when it is such a candidate, else from the bucket's
    // head) and wrapping around. A `pred` taking (item, bool) is also told
    // whether the item's key is structurally equal to the probe.
    template <class Pred>
    std::optional<T> first_matching(const Key& probe, std::optional<T> start, Pred pred) const;
    // Range index: entries whose first key value k satisfies eval_cmp(p, op, k),
    // ascending by k for Eq, Ne, Lt, Le and descending for Gt, Ge; entries with
    // equal k keep memory order. Only for memories built with a range index.
    void in_range(const Value& p, CmpOp op, std::vector<T>& out) const;

    // Checks the links and indexes against each other; throws InternalError.
    void verify() const;
    // Moves the next arrival number on by n (for tests: arrival numbers are
    // 32 bits, and running out of them renumbers the entries).
    void skip_arrival_numbers(uint32_t n);

private:
    template <class U>
    friend class Memory;

    // A slot's key in one word (KeyWord): none (all ones), or by its low two
    // bits the index of a key record (0, the index above them), or a
    // one-value key held in the word itself: an integer of 62 bits (1, the
    // integer above them), a boolean (2), or a float whose lowest two bits
    // are zero (3, its bits but for those), which holds every float made from
    // an integer of up to 51 bits. Other one-value keys take a record.
    using KeyWord = detail::KeyWord;
    static constexpr uint64_t kNoKey = detail::kNoKeyWord;
    static constexpr uint64_t kTagMask = 3, kTagRecord = 0, kTagI64 = 1, kTagBool = 2, kTagF64 = 3;
    static constexpr uint32_t kKeyLimit = UINT32_MAX - 1;  // key records are numbered below it
    static bool is_small(uint64_t k) { return k != kNoKey && (k & kTagMask) != kTagRecord; }
    static uint32_t record_of(uint64_t k) { return static_cast<uint32_t>(k >> 2); }
    static uint64_t record_word(uint32_t r) { return uint64_t{r} << 2; }
    // The word holding a key of the integer n alone, kNoKey when it takes a record.
    static uint64_t int_word(int64_t n) {
        if (n < -(int64_t{1} << 61) || n >= (int64_t{1} << 61)) return kNoKey;
        return (static_cast<uint64_t>(n) << 2) | kTagI64;
    }
    // The word holding a one-value key of v itself, if one does.
    static std::optional<uint64_t> small_word(const KeyValue& v) {
        switch (v.tag) {
            case ValueTag::I64: {
                const uint64_t w = int_word(v.as_i64());
                if (w == kNoKey) return std::nullopt;
                return w;
            }
            case ValueTag::Bool: return (v.a << 2) | kTagBool;
            case ValueTag::F64:
                if ((v.a & kTagMask) != 0 || (v.a | kTagF64) == kNoKey) return std::nullopt;
                return v.a | kTagF64;
            default: return std::nullopt;
        }
    }
    // 32 bytes. A dead slot has seq 0. The slots after an item's first one
    // are chained in same_next_, which only items held more than once use.
    struct Slot {
        T item{};
        KeyWord key;
        Pos bprev = npos, bnext = npos;  // equality bucket, memory order
        Pos prev = npos, next = npos;    // memory order
        uint32_t seq = 0;
    };
    static_assert(sizeof(T) != 4 || sizeof(Slot) == 32);
    // Keys of more than one value, or of texts and decimals, are stored once:
    // entries with equal keys share one record.
    struct KeyRec {
        Key key;
        uint32_t refs = 0;  // slots holding it
    };
    // 20 bytes, 32 with its hash in the index (48 for both sides' in a shared one).
    using Bucket = detail::MemoryBucket<T>;
    static_assert(sizeof(T) != 4 || sizeof(Bucket) == 20);
    // Range index element: the first key value and the arrival number.
    struct RangeItem {
        Value v;
        uint64_t seq;
        Pos slot;
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

    // The value of a slot's one-value key.
    static KeyValue small_value(uint64_t k);
    static Key small_key(const Slot& sl);
    // Whether a one-value key held in a slot matches the probe (and, through
    // `equal`, whether it equals it value for value).
    static bool small_matches(uint64_t k, const Key& probe, bool* equal);
    // Whether the key named `k` (of a slot holding `bits`) matches the probe.
    // Always inlined: left to the inlining budget of memory.cpp, where
    // bucket_matching calls it, it comes and goes with unrelated changes.
    [[gnu::always_inline]] bool key_matches(uint64_t k, const Key& probe, bool* equal) const {
        if (is_small(k)) return small_matches(k, probe, equal);
        if (k == kNoKey) return false;
        const Key& key = keys_[record_of(k)].key;
        if (!keys_match(key, probe)) return false;
        if (equal != nullptr) *equal = key == probe;
        return true;
    }
    std::optional<uint64_t> class_hash_of(const Slot& sl) const;
    bool bucketed(const Slot& sl) const;
    // The key of an entry about to be appended: held in the slot when it is
    // one plain value, else shared with an equal stored key where the memory
    // has one at hand, else a new record. Inline, as append_slot: every
    // push asks both once.
    template <class K>
    [[gnu::always_inline]] uint64_t key_for(K&& key, Bucket* bucket);
    uint64_t new_key(Key&& key);
    void release_key(uint64_t k);
    // Links slot s, its item's slots already naming it, at the end of memory
    // order and its bucket, under `key` and the next arrival number.
    void link_slot(Pos s, uint64_t key, Bucket* bucket);
    // Stores a new entry of `item` under the key word `key` at the end of
    // memory order, its bucket and its item's slots. The slot is written
    // once, whole: a push is the memories' hottest store. One test sends
    // every push but a new slot's with numbers to spare to append_slot_rare.
    [[gnu::always_inline]] void append_slot(T item, uint64_t key, Bucket* bucket);
    [[gnu::noinline]] void append_slot_rare(T item, uint64_t key, Bucket* bucket);
    // The end of append_slot: the slot s holds the entry, its number taken.
    [[gnu::always_inline]] void enter_slot(Pos s, T item, uint64_t key, Bucket* bucket);
    // Links the slot s (holding `item` under the key word `key`), whose links
    // already name tail_ and the bucket's tail, as the last of memory order
    // and of its bucket (or enters it in the range index).
    [[gnu::always_inline]] void attach(Pos s, T item, uint64_t key, Bucket* bucket);
    // Whether slot s holds `key` bit for bit (floats too), so that re-keying
    // it changes nothing but its place.
    bool holds_identical(const Slot& sl, const Key& key) const;
    // Moves the live slot s, its item's only one, to the end of memory order
    // and of its bucket with the next arrival number, as a removal and an
    // append would place it, keeping its key.
    void relink_to_back(Pos s);
    // rekey_to_back_int's move of a slot, the last of its item's, to the
    // word w of the integer v: out of line, as the word mostly stays.
    [[gnu::noinline]] bool rekey_to_word(Pos s, int64_t v, uint64_t w);
    // Takes slot s out of its bucket (or the range index) and memory order.
    void unlink_slot(Pos s);
    // Takes slot s out of bucket bk's chain (the bucket stays, even empty),
    // and out of memory order.
    void take_from_bucket(Bucket& bk, Pos s);
    void take_from_order(Pos s);
    // The slot after s holding the same item, npos when s is its item's last.
    Pos same_next(Pos s) const { return same_next_.empty() ? npos : chained_next(s); }
    [[gnu::noinline]] Pos chained_next(Pos s) const {
        auto it = same_next_.find(s);
        return it == same_next_.end() ? npos : it->second;
    }
    // Items held more than once, kept out of line as the rare path: slot s
    // joins the end of the chain of `item`, whose first slot is `first`; and
    // the first slot leaves its chain, `first` naming the next one (false,
    // changing nothing, when the item is held once).
    [[gnu::noinline]] void chain_again(const T& item, Pos first, Pos s);
    [[gnu::noinline]] bool unchain_first(const T& item, Pos& first);
    // The equality bucket an entry of `key` goes into, made when missing.
    Bucket* bucket_for(const Key& key);
    // The equality bucket of the class hash h, made when missing.
    Bucket* bucket_of_hash(uint64_t h);
    // This memory's side of a shared index's entry.
    static Bucket& side_of(detail::JoinBuckets& b) {
        if constexpr (std::is_same_v<T, TupleId>) {
            return b.lefts;
        } else {
            return b.rights;
        }
    }
    static const Bucket& side_of(const detail::JoinBuckets& b) { return side_of(const_cast<detail::JoinBuckets&>(b)); }
    static bool holds_slots(const detail::JoinBuckets& b) { return b.lefts.head != npos || b.rights.head != npos; }
    // The bucket of class hash h, none when it holds no slot.
    const Bucket* find_bucket(uint64_t h) const;
    // The bucket holding the live slot s, its class hash h.
    Bucket& bucket_of(uint64_t h);
    // Takes the live slot s out of its bucket (class hash h), and the
    // bucket out of the index once it, and in a shared index the other
    // side's too, holds nothing.
    void unbucket(uint64_t h, Pos s);
    // Appends to out the entries of bucket b whose key keys_match accepts.
    // Out of line, one copy for all its callers, which keeps key_matches
    // inlined into it.
    [[gnu::noinline]] void bucket_matching(const Bucket& b, const Key& probe, std::vector<T>& out, bool* all_equal) const;
    // The same from slot `from` along the bucket's links or memory order.
    void walk_matching(Pos from, bool by_bucket, const Key& probe, std::vector<T>& out, bool* all_equal) const;
    // Unlinks and frees slot s; its key is moved or copied into *taken when given.
    void kill_slot(Pos s, Key* taken);
    // Numbers the live entries afresh from 1, when the arrival numbers run out.
    void renumber();
    bool range_indexed(const Slot& sl) const;
    // push_back_matching_int's rarer cases, out of line: the entries of
    // bucket b matching the integer v, appended to out (and spanned there);
    // an integer too wide for a word stored with a key record.
    [[gnu::noinline]] std::span<const T> int_bucket_matching(const Bucket& b, int64_t v, std::vector<T>& out,
                                                             bool* all_equal) const;
    [[gnu::noinline]] void push_wide_int(T item, int64_t v, Bucket* bucket);
    // The shared index's entry of class hash h (its index hash slot_hash),
    // made when missing (growing the index ahead of an announced batch, as
    // bucket_for does). Inline while the index has room for a new key, as
    // it has at all but a few pushes: growing is shared_entry_growing's.
    detail::JoinBuckets& shared_entry(uint64_t h, size_t slot_hash) {
        // With room, growing ahead would leave the index as it is.
        if (!shared_->has_room()) return shared_entry_growing(h);
        return shared_->emplace_hashed(h, slot_hash);
    }
    detail::JoinBuckets& shared_entry(uint64_t h) { return shared_entry(h, shared_->hash_of(h)); }
    [[gnu::noinline]] detail::JoinBuckets& shared_entry_growing(uint64_t h);
    // The pushes of an announced batch still to come, this one included.
    size_t pushes_expected() const { return batch_end_ > next_seq_ ? static_cast<size_t>(batch_end_ - next_seq_) : 0; }
    template <class K>
    void push(T item, K&& key);
    // push, into the bucket the key goes into (none without an equality index).
    void push_into(T item, Key&& key, Bucket* bucket);

    IndexSpec index_op_;
    ChunkVector<Slot> slots_;
    std::vector<Pos> free_;  // dead slots, reused by push_back
    ChunkVector<KeyRec> keys_;
    std::vector<uint32_t> free_keys_;
    Pos head_ = npos, tail_ = npos;
    size_t live_ = 0;
    uint32_t next_seq_ = 1;
    // While next_seq_ is below it, a push takes a new slot at the end with
    // no test of its own: no dead slot waits to be reused, neither the
    // arrival numbers nor the positions can run out, and the arena's chunk
    // in use has room for it. 0 (every push takes
    // append_slot_rare, which sets it again) once a slot dies or the numbers
    // start over; other numbers taken only bring the end nearer.
    uint32_t plain_seq_end_ = 0;
    // Each item's first slot. An item held more than once has its further
    // slots chained, in memory order, by same_next_ (slot -> the item's next
    // slot), and its last one in same_tail_: both stay empty while every item
    // is held once.
    DenseIdMap<Pos, T> items_;
    HashMap<Pos, Pos> same_next_;
    HashMap<T, Pos> same_tail_;
    // Equality index: key class -> bucket; keys counting up share blocks of
    // slots. Unused where the memory keeps its buckets in a shared index.
    detail::OpenTable<uint64_t, Bucket, ClassHashBlocks> by_key_;
    SharedKeyIndex* shared_ = nullptr;
    std::set<RangeItem, RangeLess> by_range_;
    Key none_;                          // the key of entries stored without one
    // Where next_seq_ stands once the pushes announced (expect_pushes) are
    // in, each taking one number: the pushes still expected are counted
    // from it at a growth alone, rather than by every push. Other numbers
    // taken only make the count low, which makes a growth smaller.
    uint64_t batch_end_ = 0;
};

template <class T>
template <class Pred>
std::optional<T> Memory<T>::first_matching(const Key& probe, std::optional<T> start, Pred pred) const {
    if (!probe) return std::nullopt;
    auto h = probe.class_hash();
    if (!h) return std::nullopt;
    const Bucket* found = find_bucket(*h);
    if (found == nullptr) return std::nullopt;
    const Bucket& b = *found;
    constexpr bool kTellsEqual = std::is_invocable_v<Pred&, T, bool>;
    bool equal = false;
    auto accepts = [&](T item) {
        if constexpr (kTellsEqual) {
            return pred(item, equal);
        } else {
            return pred(item);
        }
    };
    if (b.head == b.tail) {
        if (key_matches(b.head_key, probe, kTellsEqual ? &equal : nullptr) && accepts(b.head_item))
            return b.head_item;
        return std::nullopt;
    }
    // Entries sharing a key record share the answer.
    uint64_t last = kNoKey;
    bool last_ok = false, last_equal = false;
    auto matches = [&](uint64_t k) {
        equal = false;
        if (is_small(k)) return small_matches(k, probe, kTellsEqual ? &equal : nullptr);
        if (k == kNoKey) return false;
        if (k != last) {
            last = k;
            const Key& stored = keys_[record_of(k)].key;
            last_ok = keys_match(stored, probe);
            last_equal = kTellsEqual && last_ok && stored == probe;
        }
        equal = last_equal;
        return last_ok;
    };
    Pos from = b.head;
    if (start) {
        Pos s = pos_of(*start);
        if (s != npos && matches(slots_[s].key)) from = s;
    }
    Pos p = from;
    if (from == b.head) {
        // The head's item and key are the bucket's own: a head that answers
        // (most probes of a key that decides) reads none of its slots.
        if (matches(b.head_key) && accepts(b.head_item)) return b.head_item;
        p = slots_[from].bnext;
    }
    for (; p != npos; p = slots_[p].bnext) {
        if (matches(slots_[p].key) && accepts(slots_[p].item)) return slots_[p].item;
    }
    for (p = b.head; p != from; p = slots_[p].bnext) {
        if (matches(slots_[p].key) && accepts(slots_[p].item)) return slots_[p].item;
    }
    return std::nullopt;
}

template <class T>
template <class U>
void Memory<T>::push_back_matching(T item, Key&& key, const Memory<U>& other, std::vector<U>& out, bool* all_equal) {
    if (!shares_index_with(other) || !key.present()) {
        other.matching(key, out, all_equal);
        push_back(std::move(item), std::move(key));
        return;
    }
    if (all_equal != nullptr) *all_equal = true;
    auto h = key.class_hash();
    if (!h) {
        push_back(std::move(item), std::move(key));
        return;
    }
    // The one probe: the entry both sides' buckets live in, made when missing.
    // Nothing below inserts into or erases from the index, so it stays put.
    detail::JoinBuckets& entry = shared_entry(*h);
    const auto& theirs = Memory<U>::side_of(entry);
    if (theirs.head != npos) other.bucket_matching(theirs, key, out, all_equal);
    push_into(std::move(item), std::move(key), &side_of(entry));
}

template <class T>
template <class U>
bool Memory<T>::stored_key_matching(const T& item, const Memory<U>& other, std::vector<U>& out, bool* all_equal,
                                    bool* exact) const {
    *all_equal = true;
    *exact = false;
    const Pos s = pos_of(item);
    if (s == npos) return false;
    const uint64_t k = slots_[s].key;
    if ((k & kTagMask) == kTagI64 && shares_index_with(other)) {
        *exact = true;
        const auto it = shared_->find(int_key_class_hash(static_cast<int64_t>(k) >> 2));
        if (it == shared_->end()) return true;
        const auto& theirs = Memory<U>::side_of(it->second);
        if (theirs.head == npos) return true;
        // A one-entry bucket holding an integer word matches when the words
        // are equal, as in push_back_matching_int.
        const uint64_t head = theirs.head_key;
        if (theirs.head == theirs.tail && (head & kTagMask) == kTagI64) {
            if (head == k) out.push_back(theirs.head_item);
            return true;
        }
        other.bucket_matching(theirs, at(s).key, out, all_equal);
        return true;
    }
    const EntryRef e = at(s);
    *exact = e.key && key_equality_is_exact(e.key);
    other.matching(e.key, out, all_equal);
    return true;
}

template <class T>
inline void Memory<T>::append_slot(T item, uint64_t k, Bucket* bucket) {
    if (next_seq_ >= plain_seq_end_) [[unlikely]] {
        append_slot_rare(item, k, bucket);
        return;
    }
    const Pos s = static_cast<Pos>(slots_.size());
    slots_.emplace_back_in_room(Slot{item, KeyWord(k), bucket != nullptr ? bucket->tail : npos, npos, tail_, npos, next_seq_++});
    enter_slot(s, item, k, bucket);
}

template <class T>
inline void Memory<T>::enter_slot(Pos s, T item, uint64_t k, Bucket* bucket) {
    auto [first, new_item] = items_.try_emplace(item);
    if (new_item) {
        first = s;
    } else {
        chain_again(item, first, s);
    }
    attach(s, item, k, bucket);
}

template <class T>
inline void Memory<T>::attach(Pos s, T item, uint64_t k, Bucket* bucket) {
    if (tail_ == npos) {
        head_ = s;
    } else {
        slots_[tail_].next = s;
    }
    tail_ = s;
    ++live_;
    if (bucket != nullptr) {
        if (bucket->head == npos) {
            bucket->head = s;
            bucket->head_item = item;
            bucket->head_key = k;
        } else {
            slots_[bucket->tail].bnext = s;
        }
        bucket->tail = s;
    } else if (range_indexed(slots_[s])) {
        by_range_.insert(RangeItem{at(s).key[0].value(), slots_[s].seq, s});
    }
}

template <class T>
template <class U>
inline std::span<const U> Memory<T>::push_back_matching_int(T item, int64_t v, uint64_t h, size_t slot_hash,
                                                            const Memory<U>& other, std::vector<U>& out,
                                                            bool* all_equal) {
    if (all_equal != nullptr) *all_equal = true;
    detail::JoinBuckets& entry = shared_entry(h, slot_hash);
    const auto& theirs = Memory<U>::side_of(entry);
    const uint64_t w = int_word(v);
    std::span<const U> found;
    if (theirs.head != npos) {
        // A one-entry bucket whose key is an integer word too matches when
        // the words are equal (and then equals the probe): its entry is
        // handed back where the bucket holds it. Anything else takes the
        // general comparison.
        const uint64_t head = theirs.head_key;
        if (theirs.head == theirs.tail && w != kNoKey && (head & kTagMask) == kTagI64) {
            if (head == w) found = {&theirs.head_item, 1};
        } else {
            out.clear();
            found = other.int_bucket_matching(theirs, v, out, all_equal);
        }
    }
    // Storing on this side changes only this side's bucket: `found` stays.
    Bucket* mine = &side_of(entry);
    if (w == kNoKey) {
        push_wide_int(item, v, mine);
    } else {
        append_slot(item, w, mine);
    }
    return found;
}

extern template class Memory<FactId>;
extern template class Memory<TupleId>;

}  // namespace quarn
