#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "parser/lexer.h"
#include "parser/parser.h"
#include "parser_test_support.h"

using namespace quarn;

namespace {

std::u32string chars_of(std::string_view text) { return decode_rule_text(text).value(); }

// Debug forms of the tokens of `text`, blank-separated, with each position.
std::string tokens_of(std::string_view text) {
    auto lexed = lex(chars_of(text));
    if (!lexed) return "error: " + lexed.error().msg;
    std::string out;
    for (size_t i = 0; i < lexed->tokens.size(); ++i) {
        if (i) out += ' ';
        out += debug(lexed->tokens[i]) + "@" + std::to_string(lexed->positions[i]);
    }
    return out;
}

}  // namespace

TEST(Lexer, TokensAndTheirCharacterPositions) {
    const std::pair<const char*, const char*> cases[] = {
        // Hyphenated keywords are glued only without blanks.
        {"agenda-group agenda - group", R"~(Ident("agenda-group")@0 Ident("agenda")@13 Sym("-")@20 Ident("group")@22)~"},
        {"no-loopy entry-point", R"~(Ident("no-loop")@0 Ident("y")@7 Ident("entry-point")@9)~"},
        {"no-lo", R"~(Ident("no")@0 Sym("-")@2 Ident("lo")@3)~"},
        // A dollar only starts an identifier.
        {"$a$b _x9", R"~(Ident("$a")@0 Ident("$b")@2 Ident("_x9")@5)~"},
        // Numbers have no sign, exponent or leading dot.
        {"-3", R"~(Sym("-")@0 IntLit(3)@1)~"},
        {"10s", R"~(IntLit(10)@0 Ident("s")@2)~"},
        {"1.", R"~(IntLit(1)@0 Sym(".")@1)~"},
        {"1.2.3", R"~(FloatLit(1.2)@0 Sym(".")@3 IntLit(3)@4)~"},
        {"2.0 007", "FloatLit(2.0)@0 IntLit(7)@4"},
        {"9223372036854775807", "IntLit(9223372036854775807)@0"},
        // Symbols prefer their two-character forms.
        {"==!=<=>=&&||", R"~(Sym("==")@0 Sym("!=")@2 Sym("<=")@4 Sym(">=")@6 Sym("&&")@8 Sym("||")@10)~"},
        {"!(){},;:.<>-+*?[]", R"~(Sym("!")@0 Sym("(")@1 Sym(")")@2 Sym("{")@3 Sym("}")@4 Sym(",")@5 Sym(";")@6 )~"
                              R"~(Sym(":")@7 Sym(".")@8 Sym("<")@9 Sym(">")@10 Sym("-")@11 Sym("+")@12 Sym("*")@13 )~"
                              R"~(Sym("?")@14 Sym("[")@15 Sym("]")@16)~"},
        // Strings resolve escapes and may hold line feeds.
        {R"~("a\"b\\c\n\r\t" "")~", R"~(StrLit("a\"b\\c\n\r\t")@0 StrLit("")@16)~"},
        {"\"x\ny\"", R"~(StrLit("x\ny")@0)~"},
        // Comments and Unicode white space are skipped; NO-BREAK SPACE, LINE
        // SEPARATOR and IDEOGRAPHIC SPACE each count as one character.
        {"a // x\nb /* c */ d /**/ e", R"~(Ident("a")@0 Ident("b")@7 Ident("d")@17 Ident("e")@24)~"},
        {"a\u00a0b\u2028c\u3000d", R"~(Ident("a")@0 Ident("b")@2 Ident("c")@4 Ident("d")@6)~"},
        {"a // to the end", R"~(Ident("a")@0)~"},
        // Positions count characters, not bytes.
        {"\"\u00e9\u4e2d\" x", "StrLit(\"\u00e9\u4e2d\")@0 Ident(\"x\")@5"},
    };
    for (const auto& [text, tokens] : cases) EXPECT_EQ(tokens_of(text), tokens) << text;
}

TEST(Token, DisplayAndDebugForms) {
    struct Case {
        Tok tok;
        const char* display;
        const char* debug;
    };
    const Case cases[] = {
        {Tok::ident("grp"), "grp", "Ident(\"grp\")"},
        {Tok::str("a\"b"), "\"a\\\"b\"", "StrLit(\"a\\\"b\")"},
        {Tok::str("tab\there\x01"), "\"tab\\there\\u{1}\"", "StrLit(\"tab\\there\\u{1}\")"},
        {Tok::int_lit(5), "5", "IntLit(5)"},
        {Tok::float_lit(2.0), "2", "FloatLit(2.0)"},
        {Tok::float_lit(1.5), "1.5", "FloatLit(1.5)"},
        {Tok::float_lit(1e20), "100000000000000000000", "FloatLit(1e20)"},
        {Tok::sym("("), "(", "Sym(\"(\")"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(display(c.tok), c.display);
        EXPECT_EQ(debug(c.tok), c.debug);
    }
}

TEST(Lexer, ErrorsCarryExactTextLineColumnAndCaret) {
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        // The caret of an error at the end of the text sits after the last character.
        {"\"abc", "unterminated string literal at line 1, col 5:\n  \"abc\n      ^"},
        {"\"a\\", "unterminated escape at line 1, col 4:\n  \"a\\\n     ^"},
        {"\"a\\xb\"", "unsupported escape \\x at line 1, col 4:\n  \"a\\xb\"\n     ^"},
        {"/*", "unterminated block comment at line 1, col 3:\n  /*\n    ^"},
        {"/*/", "unterminated block comment at line 1, col 3:\n  /*/\n    ^"},
        {"/* abc", "unterminated block comment at line 1, col 6:\n  /* abc\n       ^"},
        {"9223372036854775808",
         "bad int literal 9223372036854775808: number too large to fit in target type at line 1, col 1:\n"
         "  9223372036854775808\n  ^"},
        // Tabs count as one column; the caret line is blanks only.
        {"\tx = 1", "unexpected character '=' at line 1, col 4:\n  \tx = 1\n     ^"},
        // Non-ASCII characters before the error count once each.
        {"\"\u00e9\u4e2d\" #", "unexpected character '#' at line 1, col 6:\n  \"\u00e9\u4e2d\" #\n       ^"},
        {"rule r\nwhen\n  x = 1", "unexpected character '=' at line 3, col 5:\n    x = 1\n      ^"},
        {"a\r\nb # c", "unexpected character '#' at line 2, col 3:\n  b # c\n    ^"},
        {"a # \r\nb", "unexpected character '#' at line 1, col 3:\n  a # \r\n    ^"},
    };
    for (const Case& c : cases) EXPECT_EQ(error_of(c.text), c.message) << c.text;
    // Characters that start no token, and halves of two-character symbols.
    for (auto [text, shown] : {std::pair{"x = 1", "'='"}, {"a # b", "'#'"}, {"it's", "'\\''"}, {"a & b", "'&'"},
                               {"a | b", "'|'"}, {"a / b", "'/'"}, {"a /", "'/'"}})
        EXPECT_EQ(error_of(text), std::string("unexpected character ") + shown + " at line 1, col 3:\n  " + text + "\n    ^");
}

TEST(ParseFile, EmptyOrCommentOnlyTextHasNoDeclarations) {
    for (const char* text : {"", "   \n\t", "// only a comment", "/* block */ // line"}) {
        auto r = parse_file(text);
        ASSERT_TRUE(r) << text;
        EXPECT_TRUE(r->rules.empty());
        EXPECT_TRUE(r->queries.empty());
    }
}

TEST(ParseFile, EndOfInputPointsAtTheLastToken) {
    EXPECT_EQ(error_of("rule"), "unexpected end of input at line 1, col 1:\n  rule\n  ^");
    EXPECT_EQ(error_of("rule r\n"), "expected rule attribute or 'when', got None at line 1, col 6:\n  rule r\n       ^");
    EXPECT_EQ(error_of("  rule r when\n  A()\n"), "unexpected end of input at line 2, col 5:\n    A()\n      ^");
}

TEST(ParseFile, RefusesInvalidUtf8WithoutReadingPastTheBuffer) {
    EXPECT_EQ(error_of("rule \xff r"), "invalid UTF-8 at byte 5");
    EXPECT_EQ(error_of("rule \"\xc3"), "invalid UTF-8 at byte 6");            // truncated sequence at the end
    EXPECT_EQ(error_of("\xed\xa0\x80"), "invalid UTF-8 at byte 0");           // surrogate
    EXPECT_EQ(error_of("ab\xc0\xaf"), "invalid UTF-8 at byte 2");             // overlong slash
    const std::string nul(1, '\0');
    EXPECT_EQ(error_of("a" + nul + "#"), "unexpected character '\\0' at line 1, col 2:\n  a" + nul + "#\n   ^");
}
