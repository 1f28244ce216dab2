// UTF-8 decoding and the Unicode White_Space set.
#include "common/utf8.h"

#include <cstdint>

namespace quarn {

Decoded decode_utf8(std::string_view s, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
    uint8_t b0 = byte(i);
    if (b0 < 0x80) return {b0, 1, true};
    size_t need;
    char32_t cp;
    char32_t min;
    if ((b0 & 0xE0) == 0xC0) {
        need = 1, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        need = 2, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        need = 3, cp = b0 & 0x07, min = 0x10000;
    } else {
        return {0, 1, false};
    }
    for (size_t k = 1; k <= need; ++k) {
        if (i + k >= s.size() || (byte(i + k) & 0xC0) != 0x80) return {0, k, false};
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {0, need + 1, false};
    return {cp, need + 1, true};
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

size_t first_invalid_utf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        Decoded d = decode_utf8(s, i);
        if (!d.ok) return i;
        i += d.len;
    }
    return std::string_view::npos;
}

bool is_white_space(char32_t c) {
    if (c >= 0x09 && c <= 0x0D) return true;
    switch (c) {
        case 0x20: case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029:
        case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return c >= 0x2000 && c <= 0x200A;
    }
}

std::string_view trim_white_space(std::string_view s) {
    size_t begin = 0;
    while (begin < s.size()) {
        Decoded d = decode_utf8(s, begin);
        if (!d.ok || !is_white_space(d.cp)) break;
        begin += d.len;
    }
    // Walk forward remembering where the last non-blank scalar ends.
    size_t end = begin;
    size_t i = begin;
    while (i < s.size()) {
        Decoded d = decode_utf8(s, i);
        i += d.len;
        if (!d.ok || !is_white_space(d.cp)) end = i;
    }
    return s.substr(begin, end - begin);
}

}  // namespace quarn
