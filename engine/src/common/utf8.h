// UTF-8 decoding and the Unicode White_Space set.
//
// Positions in rule text count Unicode scalar values; text handed in as bytes is
// decoded here, and invalid sequences are reported instead of being read past.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quarn {

struct Decoded {
    char32_t cp;  // the scalar value; meaningful only when ok
    size_t len;   // bytes consumed, at least 1 even when !ok
    bool ok;
};

// Decodes the scalar value starting at byte `i` (< s.size()). Overlong forms,
// surrogates, values above U+10FFFF and truncated sequences are not ok.
Decoded decode_utf8(std::string_view s, size_t i);

void append_utf8(std::string& out, char32_t cp);

// The byte offset of the first invalid sequence, or npos when `s` is valid.
size_t first_invalid_utf8(std::string_view s);

// Unicode White_Space: U+0009-000D, U+0020, U+0085, U+00A0, U+1680,
// U+2000-200A, U+2028, U+2029, U+202F, U+205F, U+3000.
bool is_white_space(char32_t c);

// `s` without leading and trailing White_Space (s must be valid UTF-8).
std::string_view trim_white_space(std::string_view s);

}  // namespace quarn
