// Exact fixed-point decimals: an unscaled signed 128-bit integer u and a scale s,
// the number u * 10^-s. These are the engine's only decimal arithmetic; every
// operation is checked, none overflows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quarn {

using i128 = __int128;
using u128 = unsigned __int128;

inline constexpr i128 kI128Max = static_cast<i128>(~static_cast<u128>(0) >> 1);
inline constexpr int kMaxDecScale = 38;

struct DecParts {
    i128 u;
    uint8_t s;
    bool operator==(const DecParts&) const = default;
};

enum class Ordering : int8_t { Less = -1, Equal = 0, Greater = 1 };

// 10^k, or nothing when it does not fit (k >= 39).
std::optional<i128> pow10_i128(unsigned k);
// a * b, or nothing on overflow.
std::optional<i128> checked_mul(i128 a, i128 b);
std::optional<i128> checked_add(i128 a, i128 b);

// Text to decimal: optional sign, digits with at most one point, at most 38
// fraction digits, surrounding Unicode white space allowed; the scale is the
// number of fraction digits.
std::optional<DecParts> dec_parse(std::string_view text);
// "1.50" for (150, 2): the fraction always has exactly s digits.
std::string dec_render(i128 u, uint8_t s);
// To another scale; scaling down rounds half away from zero.
std::optional<i128> dec_rescale(i128 u, uint8_t from, uint8_t to);
// Exact order across scales.
Ordering dec_cmp(i128 u1, uint8_t s1, i128 u2, uint8_t s2);
// |u| <= 10^p - 1.
bool dec_fits(i128 u, uint8_t p);

}  // namespace quarn
