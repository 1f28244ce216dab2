// The per-process key that every hash map mixes into its hashes.
#include "common/hash.h"

#include <charconv>
#include <cstdlib>
#include <random>

namespace quarn {

std::optional<uint64_t> hash_key_from_seed(std::string_view text) {
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        text.remove_prefix(2);
        base = 16;
    }
    uint64_t key = 0;
    const char* end = text.data() + text.size();
    auto [stop, ec] = std::from_chars(text.data(), end, key, base);
    if (text.empty() || ec != std::errc() || stop != end) return std::nullopt;
    return key;
}

uint64_t draw_process_hash_key() {
    if (const char* seed = std::getenv("QUARN_HASH_SEED"))
        if (std::optional<uint64_t> fixed = hash_key_from_seed(seed)) return *fixed;
    std::random_device rd;
    return (static_cast<uint64_t>(rd()) << 32) ^ rd();
}

}  // namespace quarn
