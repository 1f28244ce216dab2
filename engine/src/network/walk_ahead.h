// Long batches of a keyed node: each entry's key is made a few entries
// before its turn, so that the memory lookups it leads to can be started
// early and overlap.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "network/key.h"

namespace quarn {

// Entries whose keys a walk makes at once.
constexpr size_t kWalkBlock = 16;
static_assert(kWalkBlock < 32, "a block's words are flagged in 32 bits, its mask of all with a bit to spare");

// The keys of a block of entries walked ahead by walk_blocks_ahead: the
// integer word, its class hash and the index's hash of that, for each entry
// j whose bit is set in `words` (the environment hands the key over as a
// word, JoinEnv::int_keys_of_left); a Key in keys[j] for the others. Apart
// arrays, so that a block of words is hashed in one loop and the Keys,
// seldom used, stay out of the way. A body may move from keys[j], or leave
// it as it was (a store need not move a key): a Key is reset before it is
// made again.
struct WordKeys {
    std::array<int64_t, kWalkBlock> word;
    std::array<uint64_t, kWalkBlock> hash;
    std::array<size_t, kWalkBlock> slot_hash;
    uint32_t words = 0;
    std::array<Key, kWalkBlock> keys;

    bool is_word(size_t j) const { return ((words >> j) & 1u) != 0; }
};

// The hashes of integer words met one after another. Words in one block of
// 16 integers, where a double holds each exactly, share all but the low 4
// bits of their class hashes, which are the integers' own, and their index
// hashes but for what those 4 bits give (ClassHashBlocks): ids made in
// sequence come so, and have each block's worked out once. Every index's
// hash is keyed by the process's key, so this one places as they do.
class WordHashes {
public:
    // keys.hash[j] and keys.slot_hash[j] of keys.word[j], for each j < n
    // whose bit is set in `which`, which becomes keys.words.
    void set(WordKeys& keys, size_t n, uint32_t which) {
        which &= (uint32_t{1} << n) - 1;
        keys.words = which;
        if (n != 0 && which == (uint32_t{1} << n) - 1 && set_run(keys, n)) return;
        for (size_t j = 0; j < n; ++j) {
            if (((which >> j) & 1u) == 0) continue;
            const uint64_t w = static_cast<uint64_t>(keys.word[j]);
            if (!exact_block(w & ~kClassBlockMask)) {
                keys.hash[j] = int_key_class_hash(keys.word[j]);
                keys.slot_hash[j] = index_(keys.hash[j]);
                continue;
            }
            const Highs& b = highs(w & ~kClassBlockMask);
            const uint64_t low = w & kClassBlockMask;
            keys.hash[j] = b.class_high | low;
            keys.slot_hash[j] = b.slot_high ^ low * kSpread;
        }
    }

private:
    // What a block's words share: its first word, and the class hash and
    // index hash of that, but for the low 4 bits (which are 0 there).
    struct Highs {
        uint64_t first = 1;  // none: blocks start at multiples of 16
        uint64_t class_high = 0, slot_high = 0;
    };
    // The index hash takes the low 4 bits as they are and into its top bits
    // (ClassHashBlocks).
    static constexpr uint64_t kSpread = (uint64_t{1} << 57) | 1;
    // Whether a double holds every integer of the block from `first`
    // exactly, so that its integer classes are the integers themselves
    // (key_int_class).
    static bool exact_block(uint64_t first) {
        const int64_t f = static_cast<int64_t>(first);
        return f >= -(int64_t{1} << 53) && f + 15 <= (int64_t{1} << 53);
    }
    // The block from `first` (exact), from the last two met: a run of
    // words up or down that does not start a block meets each twice.
    const Highs& highs(uint64_t first) {
        if (last_[0].first == first) return last_[0];
        if (last_[1].first != first) {
            const uint64_t h = int_key_class_hash(static_cast<int64_t>(first));
            last_[1] = Highs{first, h & ~kClassBlockMask, index_(h) & ~kClassBlockMask};
        }
        std::swap(last_[0], last_[1]);
        return last_[0];
    }
    // set for n > 0 words all set, where they lie in one block, or in two
    // where they count up or down by one from the first: false, having
    // written garbage, otherwise.
    bool set_run(WordKeys& keys, size_t n) {
        const uint64_t w0 = static_cast<uint64_t>(keys.word[0]);
        const uint64_t low0 = w0 & kClassBlockMask;
        // Where a run by one leaves the first word's block.
        size_t k = n;
        if (n > 1 && static_cast<uint64_t>(keys.word[1]) - w0 == 1) k = std::min(n, kClassBlockMask + 1 - low0);
        if (n > 1 && w0 - static_cast<uint64_t>(keys.word[1]) == 1) k = std::min(n, low0 + 1);
        if (!exact_block(w0 & ~kClassBlockMask) || !set_in_block(keys, 0, k, highs(w0 & ~kClassBlockMask))) return false;
        if (k == n) return true;
        const uint64_t next = static_cast<uint64_t>(keys.word[k]) & ~kClassBlockMask;
        return exact_block(next) && set_in_block(keys, k, n, highs(next));
    }
    // The hashes of words [from, to), if all lie in block b; false otherwise.
    // A word's bits past the block's first are its low 4 bits while it lies
    // there: no branch, so that the loop runs as one straight stream.
    static bool set_in_block(WordKeys& keys, size_t from, size_t to, Highs b) {
        uint64_t past = 0;
        for (size_t j = from; j < to; ++j) {
            const uint64_t x = static_cast<uint64_t>(keys.word[j]) ^ b.first;
            past |= x;
            keys.hash[j] = b.class_high ^ x;
            keys.slot_hash[j] = b.slot_high ^ x ^ (x << 57);
        }
        return (past & ~kClassBlockMask) == 0;
    }

    ClassHashBlocks index_;
    std::array<Highs, 2> last_;  // the block met last first
};

// Calls body(item, stamp, key...) on the entries `read` hands over, in its
// order, with the key made for each (WordKeys): body(item, stamp, word,
// hash, slot_hash) for an integer word, body(item, stamp, Key&) for a Key,
// which body may move from. read(items, stamps) gives the next at most
// kWalkBlock entries as their items and stamps, and their number, 0 at the
// end; make(items, n, keys) makes the keys of n > 0 entries and starts
// loading what each will be looked up in. Blocks are read and keyed a
// block ahead of the bodies, so that the lookups of a long batch overlap:
// past the first two blocks, a key is made kWalkBlock to 2 * kWalkBlock - 1
// bodies before its own. Kept out of line, as walk_keys_ahead below.
template <class T, class S, class Read, class Make, class Body>
[[gnu::noinline]] void walk_blocks_ahead(Read read, Make make, Body body) {
    struct Block {
        std::array<T, kWalkBlock> items;
        std::array<S, kWalkBlock> stamps;
        WordKeys keys;
        size_t n = 0;
    };
    std::array<Block, 2> blocks;
    auto fill = [&](Block& b) {
        b.n = read(b.items.data(), b.stamps.data());
        if (b.n != 0) make(static_cast<const T*>(b.items.data()), b.n, b.keys);
    };
    fill(blocks[0]);
    fill(blocks[1]);
    for (size_t cur = 0; blocks[cur].n != 0; cur ^= 1) {
        Block& b = blocks[cur];
        WordKeys& k = b.keys;
        const uint32_t words = k.words;
        for (size_t j = 0, n = b.n; j < n; ++j) {
            if (((words >> j) & 1u) != 0) {
                body(b.items[j], b.stamps[j], k.word[j], k.hash[j], k.slot_hash[j]);
            } else {
                body(b.items[j], b.stamps[j], k.keys[j]);
            }
        }
        fill(b);
    }
}

// Calls body(entry, key) on the entries of `list` that `pass` accepts, in
// list order, each with its key (which body may move from). Keys are made a
// block of kWalkBlock passing entries at a time, a block ahead of the bodies
// that use them, and `warm` starts loading what each key will be looked up
// in, so that the lookups of a long batch overlap: past the first two
// blocks, a key is warmed kWalkBlock to 2 * kWalkBlock - 1 bodies before its
// own. A key is a Key, or anything with reset(). key_of fills one
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
