// Exact decimals: parsing, rendering, rescaling and comparison, all checked.
#include "store/decimal.h"

#include "common/text.h"
#include "common/utf8.h"

namespace quarn {

std::optional<i128> pow10_i128(unsigned k) {
    if (k > static_cast<unsigned>(kMaxDecScale)) return std::nullopt;
    i128 p = 1;
    for (unsigned i = 0; i < k; ++i) p *= 10;
    return p;
}

std::optional<i128> checked_mul(i128 a, i128 b) {
    i128 r;
    if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
    return r;
}

std::optional<i128> checked_add(i128 a, i128 b) {
    i128 r;
    if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
    return r;
}

static bool all_ascii_digits(std::string_view s) {
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

std::optional<DecParts> dec_parse(std::string_view text) {
    std::string_view t = trim_white_space(text);
    bool negative = false;
    if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
        negative = t[0] == '-';
        t.remove_prefix(1);
    }
    std::string_view int_digits = t;
    std::string_view frac_digits;
    size_t point = t.find('.');
    if (point != std::string_view::npos) {
        int_digits = t.substr(0, point);
        frac_digits = t.substr(point + 1);
        if (int_digits.empty() && frac_digits.empty()) return std::nullopt;
    } else if (t.empty()) {
        return std::nullopt;
    }
    if (!all_ascii_digits(int_digits) || !all_ascii_digits(frac_digits)) return std::nullopt;
    if (frac_digits.size() > static_cast<size_t>(kMaxDecScale)) return std::nullopt;
    i128 u = 0;
    for (std::string_view part : {int_digits, frac_digits}) {
        for (char c : part) {
            auto scaled = checked_mul(u, 10);
            if (!scaled) return std::nullopt;
            auto sum = checked_add(*scaled, c - '0');
            if (!sum) return std::nullopt;
            u = *sum;
        }
    }
    return DecParts{negative ? -u : u, static_cast<uint8_t>(frac_digits.size())};
}

std::string dec_render(i128 u, uint8_t s) {
    if (s == 0) return i128_text(u);
    u128 mag = u < 0 ? -static_cast<u128>(u) : static_cast<u128>(u);
    std::string digits = u128_text(mag);
    std::string int_part;
    std::string frac;
    if (digits.size() > s) {
        int_part = digits.substr(0, digits.size() - s);
        frac = digits.substr(digits.size() - s);
    } else {
        int_part = "0";
        frac = std::string(s - digits.size(), '0') + digits;
    }
    return (u < 0 ? "-" : "") + int_part + "." + frac;
}

std::optional<i128> dec_rescale(i128 u, uint8_t from, uint8_t to) {
    if (from == to) return u;
    if (to > from) {
        auto p = pow10_i128(to - from);
        if (!p) return std::nullopt;
        return checked_mul(u, *p);
    }
    auto p = pow10_i128(from - to);
    if (!p) return std::nullopt;
    i128 q = u / *p;
    i128 r = u - q * *p;
    i128 abs_r = r < 0 ? -r : r;
    if (abs_r >= *p / 2) q += u > 0 ? 1 : -1;
    return q;
}

static Ordering order_of(i128 a, i128 b) {
    return a < b ? Ordering::Less : a > b ? Ordering::Greater : Ordering::Equal;
}

Ordering dec_cmp(i128 u1, uint8_t s1, i128 u2, uint8_t s2) {
    if (s1 == s2) return order_of(u1, u2);
    bool scale_first = s1 < s2;
    i128 scaled = scale_first ? u1 : u2;
    i128 other = scale_first ? u2 : u1;
    unsigned k = scale_first ? s2 - s1 : s1 - s2;
    std::optional<i128> product;
    if (auto p = pow10_i128(k)) product = checked_mul(scaled, *p);
    Ordering scaled_vs_other;
    if (product) {
        scaled_vs_other = order_of(*product, other);
    } else {
        // The product exceeds every representable u in magnitude; a zero
        // operand scales to zero whatever k is.
        scaled_vs_other = scaled > 0 ? Ordering::Greater : scaled < 0 ? Ordering::Less : order_of(0, other);
    }
    if (scale_first) return scaled_vs_other;
    return static_cast<Ordering>(-static_cast<int>(scaled_vs_other));
}

bool dec_fits(i128 u, uint8_t p) {
    auto bound = pow10_i128(p);
    if (!bound) return true;
    // Compare magnitudes without negating the most negative value.
    return u >= 0 ? u <= *bound - 1 : u >= -(*bound - 1);
}

}  // namespace quarn
