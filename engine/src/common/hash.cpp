// The per-process key that every hash map mixes into its hashes.
#include "common/hash.h"

#include <random>

namespace quarn {

uint64_t process_hash_key() {
    // Immutable once drawn: the only process-wide datum, and it is read-only.
    static const uint64_t key = [] {
        std::random_device rd;
        return (static_cast<uint64_t>(rd()) << 32) ^ rd();
    }();
    return key;
}

}  // namespace quarn
