#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rx/rx.h"

using namespace quarn;

namespace {

bool accepts(const std::string& pattern, const std::string& text) {
    auto rx = Regex::parse(pattern);
    EXPECT_TRUE(rx.ok()) << pattern << ": " << (rx.ok() ? "" : rx.error());
    if (!rx.ok()) return false;
    EXPECT_EQ(rx->source(), pattern);
    return rx->accepts(text);
}

std::string refusal(const std::string& pattern) {
    auto rx = Regex::parse(pattern);
    return rx.ok() ? "<compiled>" : rx.error();
}

struct Case {
    const char* pattern;
    const char* text;
    bool expected;
};

void check_table(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        EXPECT_EQ(accepts(c.pattern, c.text), c.expected) << "pattern " << c.pattern << " text \"" << c.text << "\"";
    }
}

}  // namespace

// Alternation, quantifiers and ASCII classes are compared with the recursive
// definition on random patterns elsewhere; these cover what that generator
// does not produce: metacharacters inside classes and non-ASCII text.
TEST(Regex, MetacharactersInClassesAreLiteral) {
    check_table({
        {"[.*+?()|]+", ".*+?()|", true}, {"[$}{]", "}", true}, {"[a^]", "^", true},  {"[^^]", "^", false},
        // Only the start of an item is tested for "[" and "\"; the end of a range is not.
        {"[Z-\\]", "\\", true},          {"[A-[]", "[", true},
    });
}

TEST(Regex, DotAndClassesCountCodePoints) {
    check_table({
        {".", "\xC3\xA9", true},  // é is one code point, two bytes
        {".", "ab", false},
        {"..", "\xC3\xA9", false},
        {".", "\xF0\x9F\x98\x80", true},  // U+1F600, four bytes
        {".", "\n", true},                // line breaks are ordinary characters
        {"[\xC3\xA0-\xC3\xBF]", "\xC3\xA9", true},
        {"[^\xC3\xA9]", "\xC3\xA9", false},
        {"[^\xC3\xA9]", "e", true},
        {"caf\xC3\xA9", "caf\xC3\xA9", true},
    });
}

TEST(Regex, RefusalsNameTheOffendingCharacter) {
    struct Refusal {
        const char* message;
        std::vector<std::string> patterns;
    };
    const std::vector<Refusal> table = {
        {"regex: unsupported metacharacter '^' (subset wall)", {"^a"}},
        {"regex: unsupported metacharacter '$' (subset wall)", {"a$"}},
        {"regex: unsupported metacharacter '\\\\' (subset wall)", {"a\\d"}},
        {"regex: unsupported metacharacter '{' (subset wall)", {"a{2}"}},
        {"regex: unsupported metacharacter '}' (subset wall)", {"a}"}},
        // Where a pattern has several faults, the first in reading order wins.
        {"regex: dangling quantifier '*'", {"a**", "(|*)", "a**)"}},
        {"regex: dangling quantifier '?'", {"a+?"}},
        {"regex: dangling quantifier '+'", {"+a"}},
        {"regex: unmatched ']'", {"a]", "(a]"}},
        {"regex: unclosed group", {"(a", "((a)"}},
        {"regex: unclosed class", {"[a", "[", "[^", "[a-b", "[a)"}},
        {"regex: empty class", {"[]", "[^]", "[]a]"}},
        {"regex: unclosed class range", {"[a-"}},
        {"regex: unsupported '[' in class (subset wall)", {"[a[]"}},
        {"regex: unsupported '\\\\' in class (subset wall)", {"[\\w]"}},
        {"regex: inverted range z-a", {"[z-a]"}},
        {"regex: inverted range \xC3\xA9-a", {"[\xC3\xA9-a]"}},
        {"regex \"a)b\": unexpected ')' at 1", {"a)b"}},
        {"regex \"\xC3\xA9\xC3\xA9)\": unexpected ')' at 2", {"\xC3\xA9\xC3\xA9)"}},
        {"regex \"a\\\")\": unexpected ')' at 2", {"a\")"}},
    };
    for (const Refusal& r : table)
        for (const std::string& pattern : r.patterns) EXPECT_EQ(refusal(pattern), r.message) << pattern;
}

TEST(Regex, DeeplyNestedGroupsAreRefusedNotOverflowed) {
    std::string ok_pattern = std::string(100, '(') + "a" + std::string(100, ')');
    EXPECT_TRUE(accepts(ok_pattern, "a"));
    std::string deep = std::string(100000, '(') + "a" + std::string(100000, ')');
    EXPECT_EQ(refusal(deep), "regex: groups nested more than 100 deep (subset wall)");
}

TEST(Regex, NestedStarsOnLongTextsFinishWithoutBacktracking) {
    std::string text(100000, 'a');
    EXPECT_TRUE(accepts("(a*)*", text));
    text += 'b';
    EXPECT_FALSE(accepts("(a*)*", text));
    EXPECT_FALSE(accepts("(a|a)*(a|a)*c", text));
    EXPECT_TRUE(accepts("(a|aa)+b", text));
}

TEST(Regex, LongPatternsCompileAndMatch) {
    std::string pattern;
    std::string text;
    for (int i = 0; i < 20000; ++i) {
        pattern += "a|";
        text += 'x';
    }
    pattern += "x*";
    EXPECT_TRUE(accepts(pattern, text));
    EXPECT_TRUE(accepts(pattern, "a"));
    EXPECT_FALSE(accepts(pattern, "ax"));
}
