// The lexer and the error text of the front end. Internal to the parser role.
//
// Rule text is handled as an array of Unicode scalar values; every position is
// an index into that array, never a byte offset.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "parser/rule_tree.h"
#include "common/result.h"

namespace quarn {

// Tokens and the character index of each token's first character; equal lengths.
struct Lexed {
    std::vector<Tok> tokens;
    std::vector<uint32_t> positions;
};

// Stops at the first error; no token list is produced then.
Result<Lexed, ParseError> lex(std::u32string_view text);

// Decodes UTF-8 into scalar values; refuses invalid input ("invalid UTF-8 at
// byte {}") and texts of 2^32 characters or more, which positions cannot address.
Result<std::u32string, ParseError> decode_rule_text(std::string_view bytes);

// Folds an error's position into its message: "{} at line {}, col {}:\n  {}\n  {}"
// (message, line, column, source line, caret line). Without a position the
// error is returned unchanged. The result never carries a position.
ParseError locate_error(std::u32string_view text, ParseError e);

}  // namespace quarn
