// The lexer: rule text to tokens, with parse errors that carry a caret.
#include "parser/lexer.h"

#include <charconv>
#include <limits>

#include "common/text.h"
#include "common/utf8.h"

namespace quarn {

namespace {

bool is_ascii_letter(char32_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_ascii_digit(char32_t c) { return c >= '0' && c <= '9'; }

std::string to_utf8(std::u32string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char32_t c : s) append_utf8(out, c);
    return out;
}

ParseError error_at(std::string msg, size_t pos) {
    return ParseError{std::move(msg), static_cast<uint32_t>(pos)};
}

// Words that the lexer joins with the hyphenated suffix that follows them; the
// suffix ends the token whatever comes after it.
struct Glue {
    std::u32string_view word;
    std::u32string_view suffix;
};
constexpr Glue kGlued[] = {
    {U"agenda", U"-group"},
    {U"entry", U"-point"},
    {U"no", U"-loop"},
};

constexpr const char* kTwoCharSyms[] = {"==", "!=", "<=", ">=", "&&", "||"};
constexpr std::u32string_view kOneCharSyms = U"!(){},;:.<>-+*?[]";

// Digits only (ASCII); the value of a digit run that fits a signed 64-bit integer.
std::optional<int64_t> parse_digits(std::string_view digits) {
    uint64_t v = 0;
    for (char c : digits) {
        uint64_t d = static_cast<uint64_t>(c - '0');
        if (v > (static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) - d) / 10) return std::nullopt;
        v = v * 10 + d;
    }
    return static_cast<int64_t>(v);
}

// `text` is digits, '.', digits. A value beyond the double range reads as
// infinity and one below the smallest subnormal as zero, as float parsing in
// general rounds.
double parse_float_text(const std::string& text) {
    double v = 0;
    auto res = std::from_chars(text.data(), text.data() + text.size(), v);
    if (res.ec == std::errc::result_out_of_range) {
        bool whole_part_nonzero = false;
        for (char c : text) {
            if (c == '.') break;
            if (c != '0') whole_part_nonzero = true;
        }
        return whole_part_nonzero ? std::numeric_limits<double>::infinity() : 0.0;
    }
    return v;
}

}  // namespace

Result<std::u32string, ParseError> decode_rule_text(std::string_view bytes) {
    std::u32string out;
    out.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        Decoded d = decode_utf8(bytes, i);
        if (!d.ok) return err(ParseError{fmt("invalid UTF-8 at byte {}", i), std::nullopt});
        out += d.cp;
        i += d.len;
    }
    if (out.size() >= std::numeric_limits<uint32_t>::max())
        return err(ParseError{fmt("rule text too long ({} characters)", out.size()), std::nullopt});
    return out;
}

Result<Lexed, ParseError> lex(std::u32string_view text) {
    Lexed out;
    const size_t n = text.size();
    size_t i = 0;
    auto push = [&](Tok t, size_t at) {
        out.tokens.push_back(std::move(t));
        out.positions.push_back(static_cast<uint32_t>(at));
    };
    while (i < n) {
        char32_t c = text[i];
        if (is_white_space(c)) {
            ++i;
            continue;
        }
        if (c == '/' && i + 1 < n && text[i + 1] == '/') {
            while (i < n && text[i] != '\n') ++i;
            continue;
        }
        if (c == '/' && i + 1 < n && text[i + 1] == '*') {
            // The closing "*/" must begin at i+2 or later: "/*/" does not close.
            if (n - (i + 2) < 2) return err(error_at("unterminated block comment", i + 2));
            size_t k = i + 2;
            while (k + 1 < n && !(text[k] == '*' && text[k + 1] == '/')) ++k;
            if (k + 1 >= n) return err(error_at("unterminated block comment", n - 1));
            i = k + 2;
            continue;
        }
        if (is_ascii_letter(c) || c == '_' || c == '$') {
            size_t j = i + 1;
            while (j < n && (is_ascii_letter(text[j]) || is_ascii_digit(text[j]) || text[j] == '_')) ++j;
            std::u32string_view word = text.substr(i, j - i);
            std::string ident = to_utf8(word);
            for (const Glue& g : kGlued) {
                if (word == g.word && text.substr(j, g.suffix.size()) == g.suffix) {
                    ident += to_utf8(g.suffix);
                    j += g.suffix.size();
                    break;
                }
            }
            push(Tok::ident(std::move(ident)), i);
            i = j;
            continue;
        }
        if (is_ascii_digit(c)) {
            size_t j = i;
            while (j < n && is_ascii_digit(text[j])) ++j;
            if (j + 1 < n && text[j] == '.' && is_ascii_digit(text[j + 1])) {
                size_t k = j + 1;
                while (k < n && is_ascii_digit(text[k])) ++k;
                push(Tok::float_lit(parse_float_text(to_utf8(text.substr(i, k - i)))), i);
                i = k;
                continue;
            }
            std::string digits = to_utf8(text.substr(i, j - i));
            std::optional<int64_t> v = parse_digits(digits);
            if (!v)
                return err(error_at(fmt("bad int literal {}: {}", digits, "number too large to fit in target type"), i));
            push(Tok::int_lit(*v), i);
            i = j;
            continue;
        }
        if (c == '"') {
            std::string contents;
            size_t j = i + 1;
            for (;;) {
                if (j >= n) return err(error_at("unterminated string literal", n));
                char32_t d = text[j];
                if (d == '"') break;
                if (d != '\\') {
                    append_utf8(contents, d);
                    ++j;
                    continue;
                }
                if (j + 1 >= n) return err(error_at("unterminated escape", n));
                char32_t e = text[j + 1];
                switch (e) {
                    case '"': contents += '"'; break;
                    case '\\': contents += '\\'; break;
                    case 'n': contents += '\n'; break;
                    case 'r': contents += '\r'; break;
                    case 't': contents += '\t'; break;
                    default: {
                        std::string shown;
                        append_utf8(shown, e);
                        return err(error_at(fmt("unsupported escape \\{}", shown), j + 1));
                    }
                }
                j += 2;
            }
            push(Tok::str(std::move(contents)), i);
            i = j + 1;
            continue;
        }
        if (i + 1 < n) {
            bool matched = false;
            for (const char* s : kTwoCharSyms) {
                if (c == static_cast<char32_t>(s[0]) && text[i + 1] == static_cast<char32_t>(s[1])) {
                    push(Tok::sym(s), i);
                    i += 2;
                    matched = true;
                    break;
                }
            }
            if (matched) continue;
        }
        if (kOneCharSyms.find(c) != std::u32string_view::npos) {
            push(Tok::sym(std::string(1, static_cast<char>(c))), i);
            ++i;
            continue;
        }
        return err(error_at(fmt("unexpected character {}", quoted_char(c)), i));
    }
    return out;
}

ParseError locate_error(std::u32string_view text, ParseError e) {
    if (!e.pos) return e;
    const size_t q = std::min<size_t>(*e.pos, text.size());
    size_t line = 1;
    size_t line_start = 0;
    for (size_t k = 0; k < q; ++k) {
        if (text[k] == '\n') {
            ++line;
            line_start = k + 1;
        }
    }
    size_t line_end = line_start;
    while (line_end < text.size() && text[line_end] != '\n') ++line_end;
    const size_t col = q - line_start + 1;
    std::string caret(col - 1, ' ');
    caret += '^';
    return ParseError{fmt("{} at line {}, col {}:\n  {}\n  {}", e.msg, line, col,
                          to_utf8(text.substr(line_start, line_end - line_start)), caret),
                      std::nullopt};
}

}  // namespace quarn
