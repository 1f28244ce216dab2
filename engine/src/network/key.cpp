// Join keys: inline values, their class hash and the key equality.
#include "network/key.h"

#include <cmath>
#include <limits>

#include "common/hash.h"
#include "store/debug_form.h"

namespace quarn {

namespace {

// A float truncated toward zero, saturating at the integer range; NaN gives 0.
int64_t trunc_saturating(double f) {
    if (std::isnan(f)) return 0;
    if (f >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
    if (f < -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(f);
}

bool int_meets_float(int64_t i, double f) { return i == trunc_saturating(f) || static_cast<double>(i) == f; }

// The integer class of an exact integer: itself while doubles hold it exactly,
// else where it lands as a double. Integers that can equal one float, and the
// truncations of floats, thereby share a class.
int64_t int_class_of(i128 n) {
    constexpr i128 exact = static_cast<i128>(1) << 53;
    if (n >= -exact && n <= exact) return static_cast<int64_t>(n);
    return trunc_saturating(static_cast<double>(n));
}

uint64_t fold(uint64_t h, uint64_t w) { return key_hash_fold(h, w); }

// The hash class of a value: values that key_values_match accepts against
// each other share a class. Numbers that can match an integer hash by
// int_class_of that integer (a float by its truncation, so all floats with one
// integer part share a bucket); other decimals by their value with trailing
// zeros stripped. False for Null, which never matches. An integer class's
// low bits are held back in `low` (key_hash_fold_int).
bool value_class_hash(const KeyValue& v, uint64_t& h, int8_t& low) {
    key_hash_fold_held(h, low);
    auto int_class = [&](i128 n) { key_hash_fold_int(h, low, static_cast<uint64_t>(int_class_of(n))); };
    switch (v.tag) {
        case ValueTag::Null: return false;
        case ValueTag::I64: int_class(v.as_i64()); return true;
        case ValueTag::F64: int_class(trunc_saturating(v.as_f64())); return true;
        case ValueTag::Dec: {
            i128 u = v.dec_u();
            uint8_t s = v.scale;
            while (s > 0 && u % 10 == 0) {
                u /= 10;
                --s;
            }
            if (s == 0) {
                int_class(u);
            } else {
                u128 uu = static_cast<u128>(u);
                h = fold(fold(fold(fold(h, 2), static_cast<uint64_t>(uu)), static_cast<uint64_t>(uu >> 64)), s);
            }
            return true;
        }
        case ValueTag::Str: h = fold(fold(h, 3), std::hash<std::string_view>{}(v.as_str())); return true;
        case ValueTag::Bool: h = fold(h, v.as_bool() ? 5 : 4); return true;
    }
    return false;
}

Ordering dec_order(const KeyValue& x, const KeyValue& y) {
    i128 xu = x.tag == ValueTag::Dec ? x.dec_u() : static_cast<i128>(x.as_i64());
    i128 yu = y.tag == ValueTag::Dec ? y.dec_u() : static_cast<i128>(y.as_i64());
    return dec_cmp(xu, x.tag == ValueTag::Dec ? x.scale : 0, yu, y.tag == ValueTag::Dec ? y.scale : 0);
}

}  // namespace

KeyValue KeyValue::of(const Value& v) {
    KeyValue k;
    k.tag = v.tag();
    switch (k.tag) {
        case ValueTag::I64: k.a = static_cast<uint64_t>(v.as_i64()); break;
        case ValueTag::F64: {
            double f = v.as_f64();
            std::memcpy(&k.a, &f, sizeof f);
            break;
        }
        case ValueTag::Str:
            k.a = reinterpret_cast<uint64_t>(v.as_str().data());
            k.len = static_cast<uint32_t>(v.as_str().size());
            break;
        case ValueTag::Bool: k.a = v.as_bool() ? 1 : 0; break;
        case ValueTag::Dec: {
            u128 u = static_cast<u128>(v.as_dec().u);
            k.a = static_cast<uint64_t>(u);
            k.b = static_cast<uint64_t>(u >> 64);
            k.scale = v.as_dec().s;
            break;
        }
        case ValueTag::Null: break;
    }
    return k;
}

Value KeyValue::value() const {
    switch (tag) {
        case ValueTag::I64: return Value::i64(as_i64());
        case ValueTag::F64: return Value::f64(as_f64());
        case ValueTag::Str: return Value::str(std::string(as_str()));
        case ValueTag::Bool: return Value::boolean(as_bool());
        case ValueTag::Dec: return Value::dec(dec_u(), scale);
        case ValueTag::Null: break;
    }
    return Value::null();
}

Key::Key(const std::vector<Value>& values) {
    s_.present = true;
    for (const Value& v : values) push(v);
    own_texts();
}

Key::Key(const Key& o) { *this = o; }

Key& Key::operator=(const Key& o) {
    if (this == &o) return *this;
    release();
    if (!o.s_.heap && !o.s_.texts) {
        // Values inline and no texts of its own elsewhere: the state is the
        // whole key, but for where inline texts are referred to from.
        s_ = o.s_;
        if (s_.texts_inline) point_texts_here(o);
        return *this;
    }
    State copy = o.s_;
    copy.heap = nullptr;
    copy.texts = nullptr;
    if (o.s_.heap) {
        copy.heap = new KeyValue[o.s_.cap];
        std::memcpy(static_cast<void*>(copy.heap), o.s_.heap, o.s_.size * sizeof(KeyValue));
    }
    s_ = copy;
    // The copy's texts still refer to o's: a key that owned them owns copies.
    if (o.s_.owns_texts) {
        s_.owns_texts = false;
        own_texts();
    }
    return *this;
}

void Key::point_texts_here(const Key& o) {
    // The bytes themselves too: a copy of the state copies the values
    // field by field, and the texts overlay their padding.
    std::memcpy(static_cast<void*>(&s_.inline_[s_.size]), &o.s_.inline_[s_.size],
                (kInline - s_.size) * sizeof(KeyValue));
    const auto from = reinterpret_cast<uint64_t>(&o.s_.inline_[0]);
    const auto to = reinterpret_cast<uint64_t>(&s_.inline_[0]);
    for (uint32_t k = 0; k < s_.size; ++k) {
        KeyValue& v = s_.inline_[k];
        if (v.tag == ValueTag::Str) v.a = v.a - from + to;
    }
}

void Key::texts_to_heap() {
    s_.texts_inline = false;
    s_.cap = kInline;
    size_t total = 0;
    for (const KeyValue& v : *this) {
        if (v.tag == ValueTag::Str) total += v.len;
    }
    char* texts = new char[total];
    copy_texts_to(texts);
    s_.texts = texts;
}

void Key::copy_texts_to(char* to) {
    for (KeyValue* v = data(); v != data() + s_.size; ++v) {
        if (v->tag != ValueTag::Str) continue;
        if (v->len > 0) std::memmove(to, v->as_str().data(), v->len);
        v->a = reinterpret_cast<uint64_t>(to);
        to += v->len;
    }
}

void Key::push_value(const KeyValue& v) {
    s_.present = true;
    if (s_.texts_inline) texts_to_heap();
    if (s_.size == s_.cap) {
        auto* grown = new KeyValue[s_.cap * 2];
        std::memcpy(static_cast<void*>(grown), data(), s_.size * sizeof(KeyValue));
        if (s_.heap) delete[] s_.heap;
        s_.heap = grown;
        s_.cap *= 2;
    }
    // Field by field: the caller has usually just built v with narrow
    // stores, which a copy in wide loads would wait on.
    KeyValue& d = data()[s_.size++];
    d.tag = v.tag;
    d.scale = v.scale;
    d.len = v.len;
    d.a = v.a;
    d.b = v.b;
    if (v.tag == ValueTag::Str) {
        s_.owns_texts = false;
        s_.has_texts = true;
    }
    if (s_.matchable && !value_class_hash(v, s_.hash, s_.low)) s_.matchable = false;
}

void Key::own_texts() {
    if (!s_.has_texts) {
        s_.owns_texts = true;
        return;
    }
    if (s_.owns_texts && !s_.texts) return;  // owned inline, or no texts to own
    size_t total = 0;
    for (const KeyValue& v : *this) {
        if (v.tag == ValueTag::Str) total += v.len;
    }
    s_.owns_texts = true;
    char* const old = s_.texts;
    s_.texts = nullptr;
    if (total == 0) {
        delete[] old;
        return;
    }
    // The values past the last are free while none is on the heap: texts
    // that fit there are read with their value, a line or two of one record
    // rather than a line elsewhere.
    const size_t room = s_.heap != nullptr ? 0 : (kInline - s_.size) * sizeof(KeyValue);
    if (total <= room) {
        copy_texts_to(reinterpret_cast<char*>(&s_.inline_[s_.size]));
        s_.texts_inline = true;
        s_.cap = s_.size;
    } else {
        s_.texts = new char[total];
        copy_texts_to(s_.texts);
    }
    delete[] old;
}

uint64_t key_int_class_far(int64_t n) { return static_cast<uint64_t>(int_class_of(n)); }

std::optional<uint64_t> single_value_class_hash(const KeyValue& v) {
    uint64_t h = 0;
    int8_t low = -1;
    if (!value_class_hash(v, h, low)) return std::nullopt;
    return key_hash_finish(h, low, 1);
}

std::vector<Value> Key::values() const {
    std::vector<Value> out;
    out.reserve(s_.size);
    for (const KeyValue& v : *this) out.push_back(v.value());
    return out;
}

bool Key::operator==(const Key& o) const {
    if (s_.present != o.s_.present || s_.size != o.s_.size) return false;
    for (uint32_t k = 0; k < s_.size; ++k) {
        const KeyValue& x = (*this)[k];
        const KeyValue& y = o[k];
        if (x.tag != y.tag) return false;
        switch (x.tag) {
            case ValueTag::F64:
                if (!(x.as_f64() == y.as_f64())) return false;
                break;
            case ValueTag::Str:
                if (x.as_str() != y.as_str()) return false;
                break;
            case ValueTag::Dec:
                if (x.a != y.a || x.b != y.b || x.scale != y.scale) return false;
                break;
            case ValueTag::Null: break;
            default:
                if (x.a != y.a) return false;
        }
    }
    return true;
}

bool key_values_match(const KeyValue& s, const KeyValue& p) {
    ValueTag st = s.tag, pt = p.tag;
    if (st == ValueTag::Null || pt == ValueTag::Null) return false;
    bool s_exact = st == ValueTag::I64 || st == ValueTag::Dec;
    bool p_exact = pt == ValueTag::I64 || pt == ValueTag::Dec;
    if (s_exact && p_exact && (st == ValueTag::Dec || pt == ValueTag::Dec)) return dec_order(s, p) == Ordering::Equal;
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

bool keys_match(const Key& stored, const Key& probe) {
    if (!stored.present() || !probe.present() || stored.size() != probe.size()) return false;
    for (size_t k = 0; k < stored.size(); ++k) {
        if (!key_values_match(stored[k], probe[k])) return false;
    }
    return true;
}

std::string debug_key(const Key& k) {
    if (!k) return "None";
    std::string out = "Some([";
    for (size_t j = 0; j < k.size(); ++j) {
        if (j > 0) out += ", ";
        out += debug(k[j].value());
    }
    return out + "])";
}

}  // namespace quarn
