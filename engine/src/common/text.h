// Text helpers shared by every message of the engine.
//
// fmt("rule {}: {}", name, msg) substitutes each "{}" with the next argument's
// text form; "{{" and "}}" stand for single braces. Arguments are strings,
// characters, integers (including 128-bit) or booleans; anything with a debug
// form is rendered through debug_form.h first, so a message reads like the text
// it produces.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace quarn {

std::string i128_text(__int128 v);
std::string u128_text(unsigned __int128 v);

// Shortest decimal digits that read back as `x`, laid out in the debug form of
// a float: whole numbers keep ".0", exponent form below 1e-4 and from 1e16 on
// ("1e16", "1.5e-7"), "NaN", "inf", "-inf".
std::string float_debug_text(double x);
// Shortest round-trip digits without exponent and without ".0" for whole numbers
// ("2", "0.001", "100000000000000000000"); "NaN", "inf", "-inf".
std::string float_plain_text(double x);

// Escapes a string the way its debug form shows it, without the quotes:
// \" \\ \n \r \t, \0, other control characters as \u{hex}.
std::string escape_debug(std::string_view s, char quote = '"');
// A string in double quotes with escapes: Str("a\"b") shows "a\"b".
std::string quoted(std::string_view s);
// A Unicode scalar value in single quotes with escapes ('=', '\'', '\n').
std::string quoted_char(char32_t c);

namespace detail {
void fmt_piece(std::string& out, std::string_view s);
inline void fmt_piece(std::string& out, const std::string& s) { out += s; }
inline void fmt_piece(std::string& out, const char* s) { out += s; }
inline void fmt_piece(std::string& out, char c) { out += c; }
inline void fmt_piece(std::string& out, bool b) { out += b ? "true" : "false"; }
inline void fmt_piece(std::string& out, __int128 v) { out += i128_text(v); }
inline void fmt_piece(std::string& out, unsigned __int128 v) { out += u128_text(v); }
template <class I>
    requires(std::is_integral_v<I> && !std::is_same_v<I, bool> && !std::is_same_v<I, char>)
void fmt_piece(std::string& out, I v) {
    out += std::to_string(v);
}

// Appends `pattern` up to its next "{}" (unescaping braces); returns the rest.
std::string_view fmt_literal(std::string& out, std::string_view pattern);
}  // namespace detail

template <class... Args>
std::string fmt(std::string_view pattern, const Args&... args) {
    std::string out;
    out.reserve(pattern.size() + 16 * sizeof...(Args));
    ((pattern = detail::fmt_literal(out, pattern), detail::fmt_piece(out, args)), ...);
    detail::fmt_literal(out, pattern);
    return out;
}

}  // namespace quarn
