// The project's one hash map and hash set.
//
// Every map mixes a per-process random key into its hashes, so iteration order
// differs from run to run: no order that users can see may come from iterating
// one of these. Orders that matter come from sequence numbers and stable sorts.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <initializer_list>
#include <new>
#include <optional>
#include <stdexcept>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace quarn {

// Drawn once per process from the operating system's random source, or
// taken from the environment variable QUARN_HASH_SEED when it holds a key
// (hash_key_from_seed): a test that met an order bug under one key replays
// it under the same key. The test runners print the key they ran with.
uint64_t draw_process_hash_key();
// The key a QUARN_HASH_SEED text names: an unsigned 64-bit number, decimal or
// 0x-hex, nothing around it. None for any other text.
std::optional<uint64_t> hash_key_from_seed(std::string_view text);

// The key, drawn at the first call. Inline: every map's construction asks for
// it, and staged lists make and move empty maps at every node evaluation.
inline uint64_t process_hash_key() {
    // Immutable once drawn: the only process-wide datum, and it is read-only.
    static const uint64_t key = draw_process_hash_key();
    return key;
}

inline uint64_t mix64(uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

inline uint64_t hash_combine(uint64_t seed, uint64_t h) { return mix64(seed ^ (h + 0x9e3779b97f4a7c15ULL)); }

// The tables' own finish of a keyed hash: one multiply, its high half folded
// into the low half, where the tables take their slot (the top bits, which
// the multiply mixes best, make the slot's tag).
inline uint64_t mix_for_table(uint64_t x) {
    x *= 0x9e3779b97f4a7c15ULL;
    return x ^ (x >> 32);
}

// Unkeyed hash of a value; specialise or overload for the project's own types.
template <class T>
struct HashOf {
    uint64_t operator()(const T& v) const { return std::hash<T>{}(v); }
};

template <class A, class B>
struct HashOf<std::pair<A, B>> {
    uint64_t operator()(const std::pair<A, B>& p) const {
        return hash_combine(HashOf<A>{}(p.first), HashOf<B>{}(p.second));
    }
};

template <class T>
struct HashOf<std::vector<T>> {
    uint64_t operator()(const std::vector<T>& v) const {
        uint64_t h = v.size();
        for (const T& e : v) h = hash_combine(h, HashOf<T>{}(e));
        return h;
    }
};

template <class T>
struct KeyedHash {
    uint64_t key = process_hash_key();
    using is_transparent = void;
    size_t operator()(const T& v) const { return static_cast<size_t>(mix_for_table(key ^ HashOf<T>{}(v))); }
};

template <>
struct KeyedHash<std::string> {
    uint64_t key = process_hash_key();
    using is_transparent = void;
    size_t operator()(std::string_view v) const {
        return static_cast<size_t>(mix_for_table(key ^ std::hash<std::string_view>{}(v)));
    }
};

// Built with QUARN_HASH_STRESS (the sanitizer build), inserting a new key
// moves every element of the table to fresh storage and frees the old: at
// every insert while the table holds fewer than 1024 elements, beyond that at
// one insert in size/64, so that a large table pays a bounded factor per
// insert rather than its size.
#ifdef QUARN_HASH_STRESS
inline constexpr bool kHashStress = true;
#else
inline constexpr bool kHashStress = false;
#endif

namespace detail {

// Linear probing over a power-of-two table, at most 3/4 full; erasing shifts
// the following run back, so there are no tombstones. An empty table holds no
// memory. Inserting may move every element: references and iterators are valid
// only until the next insert or erase.
// Under kHashStress inserts move them all far more often (see above), so that
// code keeping a reference into a map across an insert reads freed memory,
// where AddressSanitizer reports it, and not only when a growth step happens
// to fall between the two.
template <class K, class V, class Hash>
class OpenTable {
public:
    using value_type = std::pair<K, V>;

    template <class Ref, class Ptr, class Table>
    class Iter {
    public:
        Ref operator*() const { return t_->slots_[i_]; }
        Ptr operator->() const { return &t_->slots_[i_]; }
        Iter& operator++() {
            i_ = t_->next_full(i_ + 1);
            return *this;
        }
        bool operator==(const Iter& o) const { return i_ == o.i_; }
        operator Iter<const value_type&, const value_type*, const OpenTable>() const { return {t_, i_}; }

    private:
        friend class OpenTable;
        template <class, class, class>
        friend class Iter;
        Iter(Table* t, size_t i) : t_(t), i_(i) {}
        Table* t_;
        size_t i_;
    };
    using iterator = Iter<value_type&, value_type*, OpenTable>;
    using const_iterator = Iter<const value_type&, const value_type*, const OpenTable>;

    OpenTable() = default;
    OpenTable(std::initializer_list<value_type> init) {
        for (const auto& e : init) insert_or_assign(e.first, e.second);
    }
    OpenTable(const OpenTable& o) : hash_(o.hash_) { copy_from(o); }
    OpenTable(OpenTable&& o) noexcept
        : hash_(o.hash_), slots_(std::exchange(o.slots_, nullptr)), full_(std::exchange(o.full_, nullptr)),
          cap_(std::exchange(o.cap_, 0)), size_(std::exchange(o.size_, 0)) {}
    OpenTable& operator=(const OpenTable& o) {
        if (this != &o) {
            release();
            hash_ = o.hash_;
            copy_from(o);
        }
        return *this;
    }
    OpenTable& operator=(OpenTable&& o) noexcept {
        if (this != &o) {
            release();
            hash_ = o.hash_;
            slots_ = std::exchange(o.slots_, nullptr);
            full_ = std::exchange(o.full_, nullptr);
            cap_ = std::exchange(o.cap_, 0);
            size_ = std::exchange(o.size_, 0);
        }
        return *this;
    }
    ~OpenTable() { release(); }

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // Slots allocated (0 or a power of two from 8): what the table occupies.
    size_t capacity() const { return cap_; }

    iterator begin() { return {this, next_full(0)}; }
    iterator end() { return {this, cap_}; }
    const_iterator begin() const { return {this, next_full(0)}; }
    const_iterator end() const { return {this, cap_}; }

    // Non-template overloads so that braced keys convert.
    iterator find(const K& k) { return {this, locate(k)}; }
    const_iterator find(const K& k) const { return {this, locate(k)}; }
    bool contains(const K& k) const { return locate(k) != cap_; }
    size_t count(const K& k) const { return contains(k) ? 1 : 0; }
    V& at(const K& k) { return value_at(locate(k)); }
    const V& at(const K& k) const { return const_cast<OpenTable*>(this)->value_at(locate(k)); }
    size_t erase(const K& k) { return erase_at(locate(k)); }
    // Heterogeneous lookups (a string_view in a map keyed by strings).
    template <class Q>
        requires(!std::is_convertible_v<const Q&, const K&>)
    iterator find(const Q& k) {
        return {this, locate(k)};
    }
    template <class Q>
        requires(!std::is_convertible_v<const Q&, const K&>)
    const_iterator find(const Q& k) const {
        return {this, locate(k)};
    }
    template <class Q>
        requires(!std::is_convertible_v<const Q&, const K&>)
    bool contains(const Q& k) const {
        return locate(k) != cap_;
    }
    template <class Q>
        requires(!std::is_convertible_v<const Q&, const K&>)
    size_t count(const Q& k) const {
        return contains(k) ? 1 : 0;
    }
    template <class Q>
        requires(!std::is_convertible_v<const Q&, const K&>)
    V& at(const Q& k) {
        return value_at(locate(k));
    }
    template <class Q>
        requires(!std::is_convertible_v<const Q&, const K&>)
    const V& at(const Q& k) const {
        return const_cast<OpenTable*>(this)->value_at(locate(k));
    }

    template <class... Args>
    std::pair<iterator, bool> try_emplace(const K& k, Args&&... args) {
        auto [i, found, tag] = slot_for_insert(k);
        if (found) return {iterator(this, i), false};
        new (&slots_[i]) value_type(std::piecewise_construct, std::forward_as_tuple(k),
                                    std::forward_as_tuple(std::forward<Args>(args)...));
        full_[i] = tag;
        ++size_;
        return {iterator(this, i), true};
    }
    template <class... Args>
    std::pair<iterator, bool> try_emplace(K&& k, Args&&... args) {
        auto [i, found, tag] = slot_for_insert(k);
        if (found) return {iterator(this, i), false};
        new (&slots_[i]) value_type(std::piecewise_construct, std::forward_as_tuple(std::move(k)),
                                    std::forward_as_tuple(std::forward<Args>(args)...));
        full_[i] = tag;
        ++size_;
        return {iterator(this, i), true};
    }
    template <class KK, class VV>
    std::pair<iterator, bool> emplace(KK&& k, VV&& v) {
        return try_emplace(K(std::forward<KK>(k)), std::forward<VV>(v));
    }
    std::pair<iterator, bool> insert(const value_type& e) { return try_emplace(e.first, e.second); }
    template <class VV>
    std::pair<iterator, bool> insert_or_assign(const K& k, VV&& v) {
        auto r = try_emplace(k, std::forward<VV>(v));
        if (!r.second) r.first->second = std::forward<VV>(v);
        return r;
    }
    V& operator[](const K& k) { return try_emplace(k).first->second; }

    template <class Q>
        requires(!std::is_convertible_v<const Q&, const K&>)
    size_t erase(const Q& k) {
        return erase_at(locate(k));
    }
    void erase(const_iterator it) { erase_slot(it.i_); }
    void erase(iterator it) { erase_slot(it.i_); }

    void clear() {
        if (size_ == 0) return;
        if constexpr (std::is_trivially_destructible_v<value_type>) {
            std::memset(full_, 0, cap_);
            size_ = 0;
            return;
        }
        for (size_t i = 0; i < cap_; ++i) {
            if (full_[i]) {
                slots_[i].~value_type();
                full_[i] = 0;
            }
        }
        size_ = 0;
    }
    // Starts loading the slot where k's probe begins.
    void prefetch(const K& k) const { prefetch_hashed(hash_(k)); }
    // The table's hash of k, for a caller that works it out once for both a
    // prefetch and a later insert (prefetch_hashed, emplace_hashed). It
    // outlives growth: only the slot it picks depends on the capacity.
    size_t hash_of(const K& k) const { return hash_(k); }
    void prefetch_hashed(size_t h) const {
        if (cap_ == 0) return;
        size_t i = h & mask();
        __builtin_prefetch(&full_[i]);
        __builtin_prefetch(&slots_[i]);
    }
    // Whether a new key goes in without the table growing.
    bool has_room() const { return (size_ + 1) * 4 <= cap_ * 3; }
    // try_emplace(k).first->second, for a table with room (has_room) and h
    // == hash_of(k): the same slot, found or taken. A key at its home slot,
    // or an empty home, is settled inline; anything else takes the probe.
    V& emplace_hashed(const K& k, size_t h) {
        const size_t i = h & mask();
        const uint8_t tag = tag_of(h);
        const uint8_t m = full_[i];
        if (m == tag && slots_[i].first == k) return slots_[i].second;
        if (m != 0 || stress_due()) return emplace_probing(k, h);
        new (&slots_[i]) value_type(std::piecewise_construct, std::forward_as_tuple(k), std::tuple<>());
        full_[i] = tag;
        ++size_;
        return slots_[i].second;
    }
    void reserve(size_t n) {
        size_t want = 8;
        while (want * 3 / 4 < n) want *= 2;
        if (want > cap_) rehash(want);
    }
    // Where the next new key would make the table grow, grows it now to hold
    // `more` keys beyond those it has, but at most fourfold (or `most`-fold,
    // a power of two): a long run of inserts moves the entries to a new table
    // half as often as doubling would (a third as often at eightfold), and a
    // run with fewer new keys than it has inserts leaves the table at most
    // most/2 times the size doubling would have.
    void grow_ahead(size_t more, size_t most = 4) {
        if (has_room()) return;
        grow_for(more, most);
    }

private:
    V& value_at(size_t i) {
        if (i == cap_) throw std::out_of_range("HashMap::at: no such key");
        return slots_[i].second;
    }
    size_t erase_at(size_t i) {
        if (i == cap_) return 0;
        erase_slot(i);
        return 1;
    }
    size_t mask() const { return cap_ - 1; }
    static constexpr bool kGroupProbe = [] {
        if constexpr (requires { Hash::kGroupProbe; }) {
            return Hash::kGroupProbe;
        } else {
            return false;
        }
    }();
    size_t next_full(size_t i) const {
        while (i < cap_ && !full_[i]) ++i;
        return i;
    }
    // A full slot's byte holds 0x80 and the top seven bits of its key's hash,
    // so a probe compares keys only where those agree.
    static uint8_t tag_of(size_t h) { return static_cast<uint8_t>(0x80 | (h >> (8 * sizeof(size_t) - 7))); }
    struct Probe {
        size_t slot;  // the key's slot, or the empty slot that ends its run
        bool found;
        uint8_t tag;
    };
    template <class Q>
    Probe probe(const Q& k) const {
        size_t h = hash_(k);
        uint8_t tag = tag_of(h);
        size_t i = h & mask();
#ifdef __SSE2__
        if constexpr (kGroupProbe) {
            if (cap_ >= 16) {
                // Most keys sit at their home slot, or it is empty.
                const uint8_t m = full_[i];
                if (m == 0) return {i, false, tag};
                if (m == tag && slots_[i].first == k) return {i, true, tag};
                return probe_groups(k, (i + 1) & mask(), tag);
            }
        }
#endif
        for (;; i = (i + 1) & mask()) {
            uint8_t m = full_[i];
            if (m == 0) return {i, false, tag};
            if (m == tag && slots_[i].first == k) return {i, true, tag};
        }
    }
    // probe of a key whose hash is h, worked out already; the groups from
    // the home slot's on, where probe checks the home slot alone first.
    Probe probe_hashed(const K& k, size_t h) const {
        const uint8_t tag = tag_of(h);
        size_t i = h & mask();
#ifdef __SSE2__
        if constexpr (kGroupProbe) {
            if (cap_ >= 16) return probe_groups(k, i, tag);
        }
#endif
        for (;; i = (i + 1) & mask()) {
            uint8_t m = full_[i];
            if (m == 0) return {i, false, tag};
            if (m == tag && slots_[i].first == k) return {i, true, tag};
        }
    }
#ifdef __SSE2__
    // probe from slot i on, for a hash that asks for it (kGroupProbe):
    // sixteen tag bytes at a time, an aligned group of slots per step, the
    // same slots in the same order as the loop in probe. Where keys counting up fill whole groups
    // (ClassHashBlocks), a probe landing in a full one walks past it. Other
    // tables keep the short loop alone, which inlines.
    template <class Q>
    Probe probe_groups(const Q& k, size_t i, uint8_t tag) const {
        const __m128i tags = _mm_set1_epi8(static_cast<char>(tag));
        const __m128i zero = _mm_setzero_si128();
        // The first group's slots before i are not the probe's.
        uint32_t from = ~0u << (i & 15);
        i &= ~size_t{15};
        for (;; i = (i + 16) & mask(), from = ~0u) {
            const __m128i group = _mm_loadu_si128(reinterpret_cast<const __m128i*>(full_ + i));
            const uint32_t empty = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(group, zero))) & from;
            uint32_t same = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(group, tags))) & from;
            // The probe's run ends at the first empty slot.
            if (empty != 0) same &= (empty & (0u - empty)) - 1;
            for (; same != 0; same &= same - 1) {
                const size_t j = i + static_cast<size_t>(std::countr_zero(same));
                if (slots_[j].first == k) return {j, true, tag};
            }
            if (empty != 0) return {i + static_cast<size_t>(std::countr_zero(empty)), false, tag};
        }
    }
#endif
    template <class Q>
    size_t locate(const Q& k) const {
        if (size_ == 0) return cap_;
        Probe p = probe(k);
        return p.found ? p.slot : cap_;
    }
    // Where k is, or where it goes (growing the table first when it is full).
    Probe slot_for_insert(const K& k) {
        if (cap_ != 0) {
            Probe p = probe(k);
            if (p.found) return p;
            if (has_room()) {
                if (stress_due()) {
                    rehash(cap_);
                    return probe(k);
                }
                return p;
            }
        }
        rehash(cap_ == 0 ? 8 : cap_ * 2);
        return probe(k);
    }
    // Whether, under the stress switch, the next new key moves every element.
    bool stress_due() const {
        if constexpr (kHashStress) {
            return size_ < 1024 || (size_ & (std::bit_floor(size_) / 64 - 1)) == 0;
        } else {
            return false;
        }
    }
    // emplace_hashed's other cases, out of line to keep its callers small:
    // slot_for_insert and try_emplace for a table with room.
    [[gnu::noinline]] V& emplace_probing(const K& k, size_t h) {
        Probe p = probe_hashed(k, h);
        if (!p.found) {
            if (stress_due()) {
                rehash(cap_);
                p = probe_hashed(k, h);
            }
            new (&slots_[p.slot]) value_type(std::piecewise_construct, std::forward_as_tuple(k), std::tuple<>());
            full_[p.slot] = p.tag;
            ++size_;
        }
        return slots_[p.slot].second;
    }
    // grow_ahead's growth, kept out of line so that the inserts calling it
    // keep their own code small.
    [[gnu::noinline]] void grow_for(size_t more, size_t most) {
        size_t want = cap_ == 0 ? 8 : cap_ * 2;
        while (want * 3 / 4 < size_ + more && want < cap_ * most) want *= 2;
        rehash(want);
    }
    void rehash(size_t cap) {
        value_type* old = slots_;
        uint8_t* old_full = full_;
        size_t old_cap = cap_;
        slots_ = static_cast<value_type*>(::operator new(cap * sizeof(value_type), std::align_val_t(alignof(value_type))));
        full_ = new uint8_t[cap]();
        cap_ = cap;
        for (size_t i = 0; i < old_cap; ++i) {
            if (!old_full[i]) continue;
            Probe p = probe(old[i].first);
            new (&slots_[p.slot]) value_type(std::move(old[i]));
            full_[p.slot] = p.tag;
            old[i].~value_type();
        }
        if (old != nullptr) ::operator delete(old, std::align_val_t(alignof(value_type)));
        delete[] old_full;
    }
    // Removes slot i and shifts back the entries of its probe run that may
    // now sit nearer their home slot.
    void erase_slot(size_t i) {
        slots_[i].~value_type();
        full_[i] = 0;
        --size_;
        size_t hole = i;
        for (size_t j = (i + 1) & mask(); full_[j]; j = (j + 1) & mask()) {
            size_t home = hash_(slots_[j].first) & mask();
            // j's entry may move into the hole when its home is not in (hole, j].
            bool stays = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
            if (stays) continue;
            new (&slots_[hole]) value_type(std::move(slots_[j]));
            full_[hole] = full_[j];
            slots_[j].~value_type();
            full_[j] = 0;
            hole = j;
        }
    }
    void copy_from(const OpenTable& o) {
        if (o.size_ == 0) return;
        reserve(o.size_);
        for (size_t i = 0; i < o.cap_; ++i) {
            if (o.full_[i]) try_emplace(o.slots_[i].first, o.slots_[i].second);
        }
    }
    void release() {
        if (slots_ == nullptr) return;
        clear();
        ::operator delete(slots_, std::align_val_t(alignof(value_type)));
        delete[] full_;
        slots_ = nullptr;
        full_ = nullptr;
        cap_ = 0;
    }

    Hash hash_;
    value_type* slots_ = nullptr;
    uint8_t* full_ = nullptr;  // 0 where a slot is empty, else its entry's tag (tag_of)
    size_t cap_ = 0;
    size_t size_ = 0;
};

struct NoValue {};

}  // namespace detail

// The project's hash map: open addressing keyed per process (see above).
template <class K, class V>
using HashMap = detail::OpenTable<K, V, KeyedHash<K>>;

// A set over the same table; iteration yields the keys.
template <class K>
class HashSet {
    using Table = detail::OpenTable<K, detail::NoValue, KeyedHash<K>>;

public:
    class const_iterator {
    public:
        const K& operator*() const { return it_->first; }
        const K* operator->() const { return &it_->first; }
        const_iterator& operator++() {
            ++it_;
            return *this;
        }
        bool operator==(const const_iterator& o) const { return it_ == o.it_; }

    private:
        friend class HashSet;
        explicit const_iterator(typename Table::const_iterator it) : it_(it) {}
        typename Table::const_iterator it_;
    };
    using iterator = const_iterator;

    HashSet() = default;
    HashSet(std::initializer_list<K> init) {
        for (const K& k : init) insert(k);
    }

    size_t size() const { return t_.size(); }
    bool empty() const { return t_.empty(); }
    const_iterator begin() const { return const_iterator(t_.begin()); }
    const_iterator end() const { return const_iterator(t_.end()); }
    bool contains(const K& k) const { return t_.contains(k); }
    size_t count(const K& k) const { return t_.count(k); }
    const_iterator find(const K& k) const { return const_iterator(t_.find(k)); }
    size_t erase(const K& k) { return t_.erase(k); }
    template <class Q>
        requires(!std::is_convertible_v<const Q&, const K&>)
    bool contains(const Q& k) const {
        return t_.contains(k);
    }
    template <class Q>
        requires(!std::is_convertible_v<const Q&, const K&>)
    size_t count(const Q& k) const {
        return t_.count(k);
    }
    template <class Q>
        requires(!std::is_convertible_v<const Q&, const K&>)
    const_iterator find(const Q& k) const {
        return const_iterator(t_.find(k));
    }
    std::pair<const_iterator, bool> insert(const K& k) {
        auto [it, fresh] = t_.try_emplace(k);
        return {const_iterator(typename Table::const_iterator(it)), fresh};
    }
    template <class It>
    void insert(It first, It last) {
        for (; first != last; ++first) insert(*first);
    }
    template <class Q>
        requires(!std::is_convertible_v<const Q&, const K&>)
    size_t erase(const Q& k) {
        return t_.erase(k);
    }
    void clear() { t_.clear(); }
    void prefetch(const K& k) const { t_.prefetch(k); }
    void reserve(size_t n) { t_.reserve(n); }

private:
    Table t_;
};

}  // namespace quarn
