// The project's one hash map and hash set.
//
// Every map mixes a per-process random key into its hashes, so iteration order
// differs from run to run: no order that users can see may come from iterating
// one of these. Orders that matter come from sequence numbers and stable sorts.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace quarn {

// Drawn once per process from the operating system's random source.
uint64_t process_hash_key();

inline uint64_t mix64(uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

inline uint64_t hash_combine(uint64_t seed, uint64_t h) { return mix64(seed ^ (h + 0x9e3779b97f4a7c15ULL)); }

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
    size_t operator()(const T& v) const { return static_cast<size_t>(mix64(key ^ HashOf<T>{}(v))); }
};

template <>
struct KeyedHash<std::string> {
    uint64_t key = process_hash_key();
    using is_transparent = void;
    size_t operator()(std::string_view v) const {
        return static_cast<size_t>(mix64(key ^ std::hash<std::string_view>{}(v)));
    }
};

template <class K, class V>
using HashMap = std::unordered_map<K, V, KeyedHash<K>, std::equal_to<>>;

template <class K>
using HashSet = std::unordered_set<K, KeyedHash<K>, std::equal_to<>>;

}  // namespace quarn
