// Long batches of a keyed node: each entry's key is made a few entries
// before its turn, so that the memory lookups it leads to can be started
// early and overlap.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "network/key.h"

namespace quarn {

// A join key made ahead: one integer, with its class hash, where the
// environment hands the key over as a word (JoinEnv::int_key_of_left), else
// a Key. A word leaves the Key as it was.
struct WalkKey {
    Key key;
    int64_t word = 0;
    uint64_t hash = 0;  // int_key_class_hash(word)
    size_t slot_hash = 0;  // the index's hash of `hash` (Memory::prefetch_class, WordHashes)
    bool is_word = false;

    void set_word(int64_t v) {
        word = v;
        hash = int_key_class_hash(v);
        is_word = true;
    }
    // Readies the key for a Key. The Key may still hold what it held before
    // the words since (a store need not move a key from it), so it is reset
    // whatever the key was last: only keys that are not words come here.
    void reset() {
        is_word = false;
        key.reset();
    }
};

// The hashes of integer words met one after another. Words in one block of
// 16 integers, where a double holds each exactly, share all but the low 4
// bits of their class hashes, which are the integers' own, and their index
// hashes but for what those 4 bits give (ClassHashBlocks): ids made in
// sequence come so, and have each block's worked out once. Every index's
// hash is keyed by the process's key, so this one places as they do.
class WordHashes {
public:
    // keys[j] set to the word v[j], with its class hash and the index's hash
    // of that, for each j < n whose bit is set in `which`.
    void set(WalkKey* keys, const int64_t* v, size_t n, uint32_t which) {
        uint64_t block = block_, class_high = class_high_, slot_high = slot_high_;
        for (size_t j = 0; j < n; ++j) {
            if (((which >> j) & 1u) == 0) continue;
            WalkKey& k = keys[j];
            const uint64_t w = static_cast<uint64_t>(v[j]);
            k.word = v[j];
            k.is_word = true;
            if ((w & ~kClassBlockMask) != block) {
                k.hash = int_key_class_hash(v[j]);
                k.slot_hash = index_(k.hash);
                if (!exact_block(w)) continue;
                block = w & ~kClassBlockMask;
                class_high = k.hash & ~kClassBlockMask;
                slot_high = (k.slot_hash & ~kClassBlockMask) ^ (w & kClassBlockMask) << 57;
                continue;
            }
            const uint64_t low = w & kClassBlockMask;
            k.hash = class_high | low;
            k.slot_hash = slot_high ^ low * kSpread;
        }
        block_ = block;
        class_high_ = class_high;
        slot_high_ = slot_high;
    }

private:
    // The index hash takes the low 4 bits as they are and into its top bits
    // (ClassHashBlocks).
    static constexpr uint64_t kSpread = (uint64_t{1} << 57) | 1;
    // Whether a double holds every integer of w's block exactly, so that its
    // integer classes are the integers themselves (key_int_class).
    static bool exact_block(uint64_t w) {
        const int64_t first = static_cast<int64_t>(w & ~kClassBlockMask);
        return first >= -(int64_t{1} << 53) && first + 15 <= (int64_t{1} << 53);
    }

    ClassHashBlocks index_;
    uint64_t block_ = 1;  // none yet: blocks are multiples of 16
    uint64_t class_high_ = 0, slot_high_ = 0;
};

// Entries whose keys a walk makes at once.
constexpr size_t kWalkBlock = 16;

// Calls body(entry, key) on the entries of `list` that `pass` accepts, in
// list order, each with its key (which body may move from). Keys are made a
// block of kWalkBlock passing entries at a time, a block ahead of the bodies
// that use them, and `warm` starts loading what each key will be looked up
// in, so that the lookups of a long batch overlap: past the first two
// blocks, a key is warmed kWalkBlock to 2 * kWalkBlock - 1 bodies before its
// own. A key is a Key, or anything with reset() (WalkKey). key_of fills one
// key, key_of(entry, key), which arrives reset; or a block of them,
// key_of(entries, keys, n) with 0 < n <= kWalkBlock, which arrive as the
// bodies left them, so that a key set whole is not reset first. The list is
// walked once, and must not change during the walk. Kept out of line:
// inlined into a long caller, the body runs short of registers.
template <class K = Key, class List, class Pass, class KeyOf, class Warm, class Body>
[[gnu::noinline]] void walk_keys_ahead(const List& list, Pass pass, KeyOf key_of, Warm warm, Body body) {
    using Entry = std::decay_t<decltype(*list.begin())>;
    struct Block {
        std::array<Entry, kWalkBlock> entries;
        std::array<K, kWalkBlock> keys;
        size_t n = 0;
    };
    std::array<Block, 2> blocks;
    auto at = list.begin();
    const auto end = list.end();
    auto fill = [&](Block& b) {
        size_t n = 0;
        for (; n < kWalkBlock && at != end; ++at) {
            b.entries[n] = *at;
            if (pass(b.entries[n])) ++n;
        }
        b.n = n;
        if (n == 0) return;
        if constexpr (std::is_invocable_v<KeyOf&, const Entry&, K&>) {
            for (size_t j = 0; j < n; ++j) {
                b.keys[j].reset();
                key_of(b.entries[j], b.keys[j]);
            }
        } else {
            key_of(b.entries.data(), b.keys.data(), n);
        }
        for (size_t j = 0; j < n; ++j) warm(b.keys[j]);
    };
    fill(blocks[0]);
    fill(blocks[1]);
    for (size_t cur = 0; blocks[cur].n != 0; cur ^= 1) {
        Block& b = blocks[cur];
        for (size_t j = 0, n = b.n; j < n; ++j) body(b.entries[j], b.keys[j]);
        fill(b);
    }
}

// Batches at least this long walk their keys ahead.
constexpr size_t kWalkAheadFrom = 32;

}  // namespace quarn
