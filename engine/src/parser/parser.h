// The rule-language front end: rule text in, syntax tree out.
//
// parse_file lexes the text, reads rule and query declarations, lifts every
// `or` of a rule's conditions to the top (one RuleDef per branch, in a fixed
// branch order) and lowers not/exists groups; constructs outside the language
// subset are refused with their tagged messages. A failure is a ParseError
// whose message already carries "at line {}, col {}:" with the source line and
// a caret when the error has a position.
#pragma once

#include <string>
#include <string_view>

#include "parser/condition_tree.h"
#include "parser/rule_tree.h"
#include "common/result.h"

namespace quarn {

// Nesting of parenthesised conditions, `not (`/`exists (` groups, constraint
// expressions and accumulate/collect sources deeper than this is refused, so
// hostile input cannot exhaust the stack.
inline constexpr int kMaxNesting = 100;
// A rule whose conditions multiply out into more or-branches than this is
// refused (each branch becomes a rule of its own).
inline constexpr size_t kMaxOrBranches = 1000;

// `text` is UTF-8; invalid UTF-8 is refused with "invalid UTF-8 at byte {}".
Result<RuleFile, ParseError> parse_file(std::string_view text);

// A stable, readable text of every node of a parsed file, one node per line,
// nested by indentation; tests pin parse results with it.
std::string dump_rule_file(const RuleFile& file);

}  // namespace quarn
