// Join keys: the values a node's index compares, computed by the engine into
// storage the network owns. Plain values sit inline, texts are referred to
// until a memory keeps the key, and the hash is computed once, as the values
// are added.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/hash.h"
#include "store/value.h"

namespace quarn {

// Folds one word into a key's class hash; order matters. The hash tables mix
// their keys again, so this only has to keep distinct words apart.
inline uint64_t key_hash_fold(uint64_t h, uint64_t w) { return ((h << 7 | h >> 57) ^ w) * 0x9e3779b97f4a7c15ULL; }

// The low bits of a class hash that a last integer gives as they are (see
// Key::class_hash and ClassHashBlocks).
inline constexpr uint64_t kClassBlockMask = 15;

// Folds in the integer bits the value before held back, if any.
inline void key_hash_fold_held(uint64_t& h, int8_t& low) {
    if (low < 0) return;
    h = key_hash_fold(h, static_cast<uint64_t>(low));
    low = -1;
}
// Folds an integer class into a class hash but for its low 4 bits, which it
// holds back in `low`: the next value folds them in first, and a key whose
// last value is an integer gives them as its class hash's own.
inline void key_hash_fold_int(uint64_t& h, int8_t& low, uint64_t c) {
    key_hash_fold_held(h, low);
    h = key_hash_fold(key_hash_fold(h, 1), c & ~kClassBlockMask);
    low = static_cast<int8_t>(c & kClassBlockMask);
}
// The class hash of `size` values folded into h, the last one's held-back
// integer bits in `low`.
inline uint64_t key_hash_finish(uint64_t h, int8_t low, uint64_t size) {
    const uint64_t mixed = key_hash_fold(h, size);
    return low < 0 ? mixed : (mixed & ~kClassBlockMask) | static_cast<uint64_t>(low);
}

// The hash class of an integer key value (see value_class_hash): itself while
// a double holds it exactly, else the saturating truncation of the double it
// rounds to.
uint64_t key_int_class_far(int64_t n);
inline uint64_t key_int_class(int64_t n) {
    constexpr int64_t exact = int64_t{1} << 53;
    if (n >= -exact && n <= exact) return static_cast<uint64_t>(n);
    return key_int_class_far(n);
}

// The class hash of a key holding the integer n alone (Key::class_hash of
// it), without building the key: a join whose key is one integer field
// hashes it once and carries the hash along.
inline uint64_t int_key_class_hash(int64_t n) {
    uint64_t h = 0;
    int8_t low = -1;
    key_hash_fold_int(h, low, key_int_class(n));
    return key_hash_finish(h, low, 1);
}

// One key value: a Value without its string, 24 bytes.
struct KeyValue {
    ValueTag tag = ValueTag::Null;
    uint8_t scale = 0;  // Dec
    uint32_t len = 0;   // Str: length of the text at `a`
    uint64_t a = 0;     // I64, F64 (bits), Bool, Dec (low word), Str (text address)
    uint64_t b = 0;     // Dec (high word)

    // Refers to v's text, if it has one.
    static KeyValue of(const Value& v);
    // A text value referring to `s`.
    static KeyValue text(std::string_view s) {
        KeyValue k;
        k.tag = ValueTag::Str;
        k.a = reinterpret_cast<uint64_t>(s.data());
        k.len = static_cast<uint32_t>(s.size());
        return k;
    }
    int64_t as_i64() const { return static_cast<int64_t>(a); }
    double as_f64() const {
        double f;
        std::memcpy(&f, &a, sizeof f);
        return f;
    }
    bool as_bool() const { return a != 0; }
    i128 dec_u() const { return static_cast<i128>((static_cast<u128>(b) << 64) | a); }
    std::string_view as_str() const { return {reinterpret_cast<const char*>(a), len}; }
    Value value() const;
};

// A join key; a missing key (none) and an empty key (present, no values) are
// distinct. Keys made by the engine refer to texts it owns for the duration of
// the call; a memory makes the keys it keeps own their texts.
class Key {
public:
    Key() = default;
    Key(std::nullopt_t) {}
    // A present key of these values, owning its texts.
    Key(const std::vector<Value>& values);
    Key(const Key& o);
    Key& operator=(const Key& o);
    Key(Key&& o) noexcept : s_(o.s_) {
        if (s_.texts_inline) point_texts_here(o);
        o.clear_state();
    }
    Key& operator=(Key&& o) noexcept {
        if (this != &o) {
            release();
            s_ = o.s_;
            if (s_.texts_inline) point_texts_here(o);
            o.clear_state();
        }
        return *this;
    }
    ~Key() { release(); }

    bool present() const { return s_.present; }
    explicit operator bool() const { return s_.present; }
    size_t size() const { return s_.size; }
    const KeyValue& operator[](size_t k) const { return data()[k]; }
    const KeyValue* begin() const { return data(); }
    const KeyValue* end() const { return data() + s_.size; }

    // Building. A key starts as none; set_present makes it present with no
    // values, and push appends (implying present). push(Value) refers to the
    // value's text, which must outlive the key's use in this call.
    void reset() {
        release();
        clear_state();
    }
    void set_present() { s_.present = true; }
    void push(const Value& v) { push(KeyValue::of(v)); }
    // Integers, the common key, take the inline path; the rest push_value.
    void push(const KeyValue& v) {
        if (v.tag == ValueTag::I64) return push_i64(v.as_i64());
        push_value(v);
    }
    // push of an integer, built in place.
    void push_i64(int64_t v) {
        if (s_.size == s_.cap) return push_value(i64_value(v));
        s_.present = true;
        KeyValue& d = data()[s_.size++];
        d.tag = ValueTag::I64;
        d.scale = 0;
        d.len = 0;
        d.a = static_cast<uint64_t>(v);
        d.b = 0;
        if (s_.matchable) key_hash_fold_int(s_.hash, s_.low, key_int_class(v));
    }
    // Copies referred texts into storage of the key's own: the inline
    // values the key leaves unused where they hold them all (a stored text
    // key is then one record, its text beside its value), else the heap.
    void own_texts();
    // Whether the key's texts live in its own inline values.
    bool holds_texts_inline() const { return s_.texts_inline; }

    // Keys that keys_match accepts against each other have the same class
    // hash; none when a value is Null (a Null never matches). When the last
    // value is a number of an integer class, the hash's low 4 bits are that
    // integer's own (see ClassHashBlocks). Inline: a keyed insert asks it of
    // one key several times (prefetch, probe, store).
    std::optional<uint64_t> class_hash() const {
        if (!s_.present || !s_.matchable) return std::nullopt;
        return key_hash_finish(s_.hash, s_.low, s_.size);
    }
    std::vector<Value> values() const;

    // Structural equality: same presence and the same values (same variant,
    // payload and scale; NaN differs from itself).
    bool operator==(const Key& o) const;

private:
    static constexpr uint32_t kInline = 2;
    // Everything but what the pointers own, copied as a whole on a move.
    struct State {
        KeyValue inline_[kInline];
        KeyValue* heap = nullptr;  // owned, when more than kInline values
        char* texts = nullptr;     // owned texts, when own_texts ran and texts exist
        uint64_t hash = 0;         // running class hash of the values
        uint32_t size = 0;
        uint32_t cap = kInline;
        bool present = false;
        bool matchable = true;  // no Null among the values
        bool owns_texts = false;
        bool has_texts = false;  // a Str among the values
        // Owned texts stored in inline_[size..kInline), packed in value
        // order, rather than at `texts` (which is then null). While set, cap
        // is size, so that a push takes push_value, which moves the texts
        // out before a value takes their place.
        bool texts_inline = false;
        int8_t low = -1;  // the last value's low integer class bits, not yet in hash
    };
    // A key moved or copied from o whose texts lived in o's inline values:
    // its Str values are made to refer to the same bytes in its own.
    void point_texts_here(const Key& o);
    // Moves inline texts to the heap, giving their values back to the key.
    void texts_to_heap();
    // Copies the texts the Str values refer to into `to`, packed in value
    // order, and makes the values refer to the copies there.
    void copy_texts_to(char* to);
    // Appends any value, growing the storage when it is full.
    void push_value(const KeyValue& v);
    static KeyValue i64_value(int64_t v) {
        KeyValue k;
        k.tag = ValueTag::I64;
        k.a = static_cast<uint64_t>(v);
        return k;
    }
    const KeyValue* data() const { return s_.heap ? s_.heap : s_.inline_; }
    KeyValue* data() { return s_.heap ? s_.heap : s_.inline_; }
    // Always inlined: two tests, which every destroyed key makes, where a
    // call would cost more than they do.
    [[gnu::always_inline]] void release() {
        if (s_.heap) delete[] s_.heap;
        if (s_.texts) delete[] s_.texts;
    }
    // The state of a key that is none, field by field (the values past size
    // are never read): a whole fresh State would be built on the stack and
    // copied, which stalls on the narrow stores just made.
    void clear_state() {
        s_.heap = nullptr;
        s_.texts = nullptr;
        s_.hash = 0;
        s_.size = 0;
        s_.cap = kInline;
        s_.present = false;
        s_.matchable = true;
        s_.owns_texts = false;
        s_.has_texts = false;
        s_.texts_inline = false;
        s_.low = -1;
    }

    State s_;
};

// The network's key equality (stored key first, probe second): both present,
// same length, and pairwise: Null never matches; I64/Dec mixes compare
// exactly; I64 against F64, whichever side holds which, matches when the
// integer equals the float truncated toward zero (saturating, NaN as 0) or
// equals it as a double; otherwise same variant, equal payload (floats by ==).
bool keys_match(const Key& stored, const Key& probe);
bool key_values_match(const KeyValue& stored, const KeyValue& probe);
// Whether two keys of only these values match exactly when they are equal
// value for value: integers, texts and booleans (a float or a decimal can
// match a value of another kind, or fail to match its own).
inline bool key_equality_is_exact(const Key& k) {
    for (const KeyValue& v : k) {
        if (v.tag != ValueTag::I64 && v.tag != ValueTag::Str && v.tag != ValueTag::Bool) return false;
    }
    return true;
}

// Hashes class hashes into a table's slots. The low 4 bits stay as they are
// and the rest is mixed with the process key: keys whose last integers count
// up (ids made in sequence) land side by side in one block of 16 slots, so a
// long batch of them reads the table a few cache lines at a time rather than
// a random line per key, while which block is still a keyed choice. The low
// bits also go into the top bits, where the table takes its tags, so that
// neighbours in a block do not share one. At most 16 class hashes share the
// mixed bits.
struct ClassHashBlocks {
    // The table probes a group of 16 slots at a time (OpenTable::probe).
    static constexpr bool kGroupProbe = true;
    uint64_t key = process_hash_key();
    size_t operator()(uint64_t h) const {
        const uint64_t low = h & kClassBlockMask;
        const uint64_t mixed = mix_for_table(key ^ (h & ~kClassBlockMask));
        return static_cast<size_t>(((mixed ^ (low << 57)) & ~kClassBlockMask) | low);
    }
};

// The class hash of a key holding `v` alone (Key::class_hash of it).
std::optional<uint64_t> single_value_class_hash(const KeyValue& v);

// Some([I64(5)]) or None, as trace lines print keys.
std::string debug_key(const Key& k);

}  // namespace quarn
