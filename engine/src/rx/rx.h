// The pattern language of `matches`: a small regular-expression subset.
//
// Supported: literal characters, ".", classes "[...]" / "[^...]" with ranges,
// groups "(...)", alternation "|" and one quantifier ("*", "+", "?") per atom.
// Anchors, escapes, counted repetition and everything else are refused when the
// pattern is compiled, so a rule never silently matches differently than its
// author expects. Patterns and texts are read as Unicode scalar values, and a
// pattern always has to match the whole text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace quarn {

class Regex {
public:
    // Compiles `pattern`, or returns the refusal text ("regex: ...").
    static Result<Regex, std::string> parse(std::string_view pattern);

    // Whether the whole of `text` matches. Runs in time linear in the text for a
    // given pattern and uses no recursion per character.
    bool accepts(std::string_view text) const;

    const std::string& source() const { return source_; }

    // One instruction of the compiled automaton; see regex_match.cpp.
    struct Inst {
        enum class Op : uint8_t { Char, Any, Class, Split, Jump, Match } op;
        char32_t ch = 0;   // Char
        uint32_t x = 0;    // Class: index into classes_; Split / Jump: target
        uint32_t y = 0;    // Split: second target
    };
    struct CharClass {
        std::vector<std::pair<char32_t, char32_t>> ranges;  // inclusive
        bool negated = false;
    };

private:
    Regex() = default;  // only parse() builds one: a Regex always holds a program

    std::string source_;
    std::vector<Inst> prog_;  // entry at 0; exactly one Match
    std::vector<CharClass> classes_;
};

}  // namespace quarn
