#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rx/rx.h"

using namespace quarn;

namespace {

bool accepts(const std::string& pattern, const std::string& text) {
    auto rx = Regex::parse(pattern);
    EXPECT_TRUE(rx.ok()) << pattern << ": " << (rx.ok() ? "" : rx.error());
    return rx.ok() && rx->accepts(text);
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

// Random patterns are compared with the recursive definition elsewhere; these
// pin the documented examples.
TEST(Regex, WholeTextAlternationAndQuantifiers) {
    check_table({
        {"a*b", "aaab", true},     {"a*b", "b", true},        {"a*b", "aaabx", false},
        {"a*b", "xaab", false},    {"", "", true},            {"", "a", false},
        {"(a|ab)c", "abc", true},  {"a|", "a", true},         {"a|", "", true},
        {"|a", "a", true},         {"()", "", true},          {"(a*)*", "", true},
        {"(a*)*", "aaa", true},    {"(a*)*", "aab", false},   {"(a?)+b", "aab", true},
    });
}

TEST(Regex, ClassesWithRangesNegationAndDash) {
    check_table({
        {"[^0-9]+", "abc", true},
        {"[^0-9]+", "ab1", false},
        {"[a-]", "a", true},
        {"[a-]", "-", true},
        {"[a-]", "b", false},
        {"[-a]", "-", true},
        {"[-a]", "a", true},
        {"[a-cx-z]+", "abczyx", true},
        {"[a-cx-z]+", "abd", false},
        {"[.*+?()|]+", ".*+?()|", true},
        {"[.]", "a", false},
        {"[$}{]", "}", true},
        {"[a^]", "^", true},
        {"[^^]", "^", false},
        {"[a-a]", "a", true},
    });
}

TEST(Regex, DotAndClassesCountCodePoints) {
    check_table({
        {".", "\xC3\xA9", true},          // é is one code point, two bytes
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
        const char* pattern;
        const char* message;
    };
    const std::vector<Refusal> table = {
        {"^a", "regex: unsupported metacharacter '^' (subset wall)"},
        {"a$", "regex: unsupported metacharacter '$' (subset wall)"},
        {"a\\d", "regex: unsupported metacharacter '\\\\' (subset wall)"},
        {"a{2}", "regex: unsupported metacharacter '{' (subset wall)"},
        {"a}", "regex: unsupported metacharacter '}' (subset wall)"},
        {"a**", "regex: dangling quantifier '*'"},
        {"a+?", "regex: dangling quantifier '?'"},
        {"+a", "regex: dangling quantifier '+'"},
        {"(|*)", "regex: dangling quantifier '*'"},
        {"a]", "regex: unmatched ']'"},
        {"(a", "regex: unclosed group"},
        {"((a)", "regex: unclosed group"},
        {"[a", "regex: unclosed class"},
        {"[", "regex: unclosed class"},
        {"[^", "regex: unclosed class"},
        {"[a-b", "regex: unclosed class"},
        {"[]", "regex: empty class"},
        {"[^]", "regex: empty class"},
        {"[]a]", "regex: empty class"},
        {"[a-", "regex: unclosed class range"},
        {"[a[]", "regex: unsupported '[' in class (subset wall)"},
        {"[\\w]", "regex: unsupported '\\\\' in class (subset wall)"},
        {"[z-a]", "regex: inverted range z-a"},
        {"[\xC3\xA9-a]", "regex: inverted range \xC3\xA9-a"},
        {"a)b", "regex \"a)b\": unexpected ')' at 1"},
        {"\xC3\xA9\xC3\xA9)", "regex \"\xC3\xA9\xC3\xA9)\": unexpected ')' at 2"},
        {"a\")", "regex \"a\\\")\": unexpected ')' at 2"},
    };
    for (const Refusal& r : table) EXPECT_EQ(refusal(r.pattern), r.message) << r.pattern;
}

TEST(Regex, ClassRangeEndIsTakenUnchecked) {
    // Only the start of an item is tested for "[" and "\"; the end of a range is not.
    EXPECT_TRUE(accepts("[Z-\\]", "\\"));
    EXPECT_TRUE(accepts("[A-[]", "["));
}

TEST(Regex, FirstErrorInReadingOrderWins) {
    EXPECT_EQ(refusal("(a]"), "regex: unmatched ']'");
    EXPECT_EQ(refusal("a**)"), "regex: dangling quantifier '*'");
    EXPECT_EQ(refusal("[a)"), "regex: unclosed class");
}

TEST(Regex, KeepsItsSource) {
    auto rx = Regex::parse("(a|b)*");
    ASSERT_TRUE(rx.ok());
    EXPECT_EQ(rx->source(), "(a|b)*");
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
