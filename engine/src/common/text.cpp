// Text formatting: the fmt helper, float texts, escaping.
#include "common/text.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "common/internal_error.h"
#include "common/utf8.h"

namespace quarn {

std::string u128_text(unsigned __int128 v) {
    if (v == 0) return "0";
    char buf[48];
    int n = 0;
    while (v != 0) {
        buf[n++] = static_cast<char>('0' + static_cast<int>(v % 10));
        v /= 10;
    }
    std::string out;
    out.reserve(n);
    while (n > 0) out += buf[--n];
    return out;
}

std::string i128_text(__int128 v) {
    // Negate in unsigned arithmetic so the most negative value prints too.
    if (v < 0) return "-" + u128_text(-static_cast<unsigned __int128>(v));
    return u128_text(static_cast<unsigned __int128>(v));
}

namespace {

// Shortest round-trip digits of a finite, non-zero |x| and the decimal exponent
// of the first digit: x = 0.d1d2d3... * 10^(exp+1).
struct Digits {
    std::string digits;
    int exp;
};

Digits shortest_digits(double x) {
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(x), std::chars_format::scientific);
    std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));
    size_t e = sci.find('e');
    Digits d;
    for (char c : sci.substr(0, e))
        if (c != '.') d.digits += c;
    int ex = 0;
    std::from_chars(sci.data() + e + (sci[e + 1] == '+' ? 2 : 1), sci.data() + sci.size(), ex);
    d.exp = ex;
    while (d.digits.size() > 1 && d.digits.back() == '0') d.digits.pop_back();
    return d;
}

std::string positional(const Digits& d, bool keep_point_zero) {
    std::string out;
    int n = static_cast<int>(d.digits.size());
    if (d.exp < 0) {
        out = "0.";
        out.append(static_cast<size_t>(-d.exp - 1), '0');
        out += d.digits;
    } else if (d.exp + 1 >= n) {
        out = d.digits;
        out.append(static_cast<size_t>(d.exp + 1 - n), '0');
        if (keep_point_zero) out += ".0";
    } else {
        out = d.digits.substr(0, static_cast<size_t>(d.exp + 1));
        out += '.';
        out += d.digits.substr(static_cast<size_t>(d.exp + 1));
    }
    return out;
}

const char* non_finite(double x) {
    if (std::isnan(x)) return "NaN";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    return nullptr;
}

}  // namespace

std::string float_debug_text(double x) {
    if (const char* s = non_finite(x)) return s;
    std::string sign = std::signbit(x) ? "-" : "";
    if (x == 0) return sign + "0.0";
    Digits d = shortest_digits(x);
    double a = std::fabs(x);
    if (a < 1e-4 || a >= 1e16) {
        std::string out = sign + d.digits.substr(0, 1);
        if (d.digits.size() > 1) out += "." + d.digits.substr(1);
        return out + "e" + std::to_string(d.exp);
    }
    return sign + positional(d, true);
}

std::string float_plain_text(double x) {
    if (const char* s = non_finite(x)) return s;
    std::string sign = std::signbit(x) ? "-" : "";
    if (x == 0) return sign + "0";
    return sign + positional(shortest_digits(x), false);
}

namespace {

void escape_char(std::string& out, char32_t c, char quote) {
    switch (c) {
        case '\t': out += "\\t"; return;
        case '\r': out += "\\r"; return;
        case '\n': out += "\\n"; return;
        case '\\': out += "\\\\"; return;
        case '\0': out += "\\0"; return;
        default: break;
    }
    if (c == static_cast<char32_t>(quote)) {
        out += '\\';
        out += quote;
        return;
    }
    if (c < 0x20 || (c >= 0x7f && c < 0xa0)) {
        char buf[16];
        auto res = std::to_chars(buf, buf + sizeof buf, static_cast<uint32_t>(c), 16);
        out += "\\u{";
        out.append(buf, res.ptr);
        out += '}';
        return;
    }
    append_utf8(out, c);
}

}  // namespace

std::string escape_debug(std::string_view s, char quote) {
    std::string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        Decoded d = decode_utf8(s, i);
        // Stored strings are valid UTF-8; a stray byte shows as U+FFFD.
        escape_char(out, d.ok ? d.cp : 0xFFFD, quote);
        i += d.len;
    }
    return out;
}

std::string quoted(std::string_view s) { return "\"" + escape_debug(s, '"') + "\""; }

std::string quoted_char(char32_t c) {
    std::string out = "'";
    escape_char(out, c, '\'');
    return out + "'";
}

namespace detail {

void fmt_piece(std::string& out, std::string_view s) { out.append(s.data(), s.size()); }

std::string_view fmt_literal(std::string& out, std::string_view p) {
    size_t i = 0;
    while (i < p.size()) {
        char c = p[i];
        if (c == '{' && i + 1 < p.size() && p[i + 1] == '{') {
            out += '{';
            i += 2;
        } else if (c == '}' && i + 1 < p.size() && p[i + 1] == '}') {
            out += '}';
            i += 2;
        } else if (c == '{' && i + 1 < p.size() && p[i + 1] == '}') {
            return p.substr(i + 2);
        } else {
            out += c;
            ++i;
        }
    }
    return {};
}

}  // namespace detail
}  // namespace quarn
