// Long batches of a keyed node: each entry's key is made a few entries
// before its turn, so that the memory lookups it leads to can be started
// early and overlap.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "network/key.h"

namespace quarn {

// A join key made ahead: one integer, with its class hash, where the
// environment hands the key over as a word (JoinEnv::int_key_of_left), else
// a Key. A word leaves the Key none.
struct WalkKey {
    Key key;
    int64_t word = 0;
    uint64_t hash = 0;  // int_key_class_hash(word)
    size_t slot_hash = 0;  // the index's hash of `hash`, from the prefetch (Memory::prefetch_class)
    bool is_word = false;

    void set_word(int64_t v) {
        word = v;
        hash = int_key_class_hash(v);
        is_word = true;
    }
    // The Key is reset only when it was used: a word never touches it.
    void reset() {
        if (is_word) {
            is_word = false;
        } else {
            key.reset();
        }
    }
};

// Calls body(entry, key) on the entries of `list` that `pass` accepts, in
// list order, each with its key (which body may move from). Keys are made
// kAhead passing entries before their turn, and `warm` starts loading what a
// key will be looked up in, so that the lookups of a long batch overlap. A
// key is a Key, or anything with reset() that key_of fills (WalkKey). Kept
// out of line: inlined into a long caller, the body runs short of registers.
template <class K = Key, class List, class Pass, class KeyOf, class Warm, class Body>
[[gnu::noinline]] void walk_keys_ahead(const List& list, Pass pass, KeyOf key_of, Warm warm, Body body) {
    constexpr size_t kAhead = 8;
    std::array<K, kAhead> ring;
    auto ahead = list.begin();
    const auto end = list.end();
    size_t made = 0, used = 0;
    auto advance = [&] {
        while (ahead != end && !pass(*ahead)) ++ahead;
        if (ahead == end) return false;
        K& k = ring[made++ % kAhead];
        k.reset();
        key_of(*ahead, k);
        warm(k);
        ++ahead;
        return true;
    };
    while (made < kAhead && advance()) {
    }
    for (const auto& e : list) {
        if (!pass(e)) continue;
        body(e, ring[used++ % kAhead]);
        advance();
    }
}

// Batches at least this long walk their keys ahead.
constexpr size_t kWalkAheadFrom = 32;

}  // namespace quarn
