#include <gtest/gtest.h>

#include <string>

#include "parser/parser.h"
#include "parser_test_support.h"

using namespace quarn;

namespace {

struct Refusal {
    const char* text;  // one line
    const char* message;
    int col;  // 0: the error carries no position
};

// The text parse_file reports for a refusal on a one-line rule text.
std::string located(const Refusal& r) {
    if (r.col == 0) return r.message;
    return std::string(r.message) + " at line 1, col " + std::to_string(r.col) + ":\n  " + r.text + "\n  " +
           std::string(static_cast<size_t>(r.col - 1), ' ') + "^";
}

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

// Every refusal of the grammar, the readers and the lowering, with the column
// it points at: the current token, the consumed token or the token after the
// offending one, as each message defines.
const Refusal kRefusals[] = {
    {"rule r when Person(age > 1, < 5) then end", "abbreviated restriction with no preceding field", 29},
    {"rule r when Person(name not matches \"x\") then end", "expected keyword \"in\", got matches", 29},
    {"rule r when Person(age > 1 || $x == 1) then end",
     "bindings inside constraint groups are out of subset (D-073)", 31},
    {"rule r when Person($x == 1) then end", "expected \":\", got ==", 23},
    {"rule r when E(this after $e) then end", "operator after does not accept 0 parameter(s)", 26},
    {"rule r when E(this during[1ms, 2ms, 3ms] $e) then end", "operator during does not accept 3 parameter(s)", 42},
    {"rule r when E(this meets[1ms, 2ms] $e) then end", "operator meets does not accept 2 parameter(s)", 36},
    {"rule r when E(this after[] $e) then end", "expected duration, got ]", 26},
    // The operator word is read as an identifier; an unknown word is reported
    // at the token after it.
    {"rule r when E(this After[1s,2s] $e) then end",
     "expected a temporal operator following 'this', got After", 25},
    {"rule r when E(this == $e) then end", "expected identifier, got ==", 20},
    {"rule r when E(this after[1s,2m] $e) then end", "expected ms/s unit, got m", 30},
    {"rule r when E(this after[-1s,2s] $e) then end", "expected duration, got -", 26},
    {"rule r when E(this after[9223372036854776s,2s] $e) then end", "duration 9223372036854776s out of range", 42},
    {"rule r when accumulate(T() over window:time(9223372036854776s); $n : count()) then end",
     "duration 9223372036854776s out of range", 61},
    {"rule r when ?q($a) then end", "expected ',' or ';', got )", 18},
    {"rule r when accumulate(Order($v : value); $t : sum()) then end", "sum requires a bound argument", 55},
    {"rule r when accumulate(Order($v : value); $t : sum($w)) then end", "unknown accumulate argument $w", 57},
    {"rule r when accumulate(T() over window:length(5); $n : count()) then end",
     "window:length is a follow-on slab (D-110); only window:time is in this slab", 47},
    {"rule r when accumulate(T() over window:tumbling(5s); $n : count()) then end",
     "unknown window kind \"tumbling\" (window:time only)", 49},
    {"rule r when accumulate(T(); $n : collect()) then end",
     "accumulate function \"collect\" not in subset (built-ins only: sum/count/average/min/max)", 41},
    {"rule r when accumulate(T($v : v); $n : sum($v), $m : max($v)) then end",
     "multi-function accumulate not in subset", 47},
    {"rule r when accumulate($t : T(); $n : count()) then end",
     "accumulate source must be a plain unbound pattern", 32},
    {"rule r when accumulate(not T(); $n : count()) then end",
     "accumulate source must be a plain unbound pattern", 31},
    {"rule r when accumulate(?q(); $n : count()) then end",
     "accumulate source must be a plain unbound pattern", 28},
    {"rule r when not Person($p : name) then end", "bindings are not allowed in not/exists patterns", 35},
    {"rule r when not $p : Person() then end", "bindings are not allowed in not/exists patterns", 31},
    {"rule r when (or A()) then end", "prefix (or \u2026) needs >= 2 operands", 22},
    {"rule r when (and A()) then end", "prefix (and \u2026) needs >= 2 operands", 23},
    {"rule r when not (A() B()) then end", "expected \")\", got B", 22},
    {"rule r when $l : List(size > 0) from collect(T()) then end",
     "constraints on the collect result pattern are not in subset", 45},
    {"rule r when List() from collect(T()) then end", "collect result must be bound (`$l : List()`)", 32},
    {"rule r when $l : Set() from collect(T()) then end",
     "collect result pattern must be List/ArrayList/Collection, got Set", 36},
    {"rule r when not $l : List() from collect(T()) then end", "not/exists over collect not in subset", 41},
    {"rule r when $l : List() from collect(T($x : v)) then end",
     "bindings inside a collect source are not in subset", 49},
    {"rule r when $l : List() from collect(T(v == $x)) then end",
     "variable references inside a collect source are not in subset (subnetwork, D-041)", 50},
    {"rule r when $l : List() from collect(not T()) then end", "collect source must be a plain pattern", 47},
    {"rule r when $l : List() from collect(not (T())) then end",
     "CE groups inside not/exists are out of subset (P1c pending; bare `not T(...)` / `exists T(...)` only, D-031)", 42},
    {"rule r when T() from window then end",
     "`from` is only supported as `from collect` or `from entry-point \"\u2026\"` (D-038, item D)", 22},
    {"rule r when T() from entry-point x then end", "entry-point name must be a string literal, got x", 34},
    {"rule r when not groupby(T($k : k); $k; $n : count()) then end", "not/exists over groupby not in subset", 17},
    {"rule r when not accumulate(T(); $n : count()) then end", "not/exists over accumulate not in subset", 17},
    {"rule r when exists ?q() then end", "?query CEs inside not/exists are out of subset (D-057)", 20},
    {"rule r when groupby(T($k : k); $j; $n : count()) then end",
     "groupby key $j must be a binding declared in the source pattern", 34},
    {"rule r when groupby(T($k : k); $k; $n : median($k)) then end",
     "groupby function \"median\" not in subset", 47},
    {"rule r when groupby(T($k : k); $k; $n : sum($z)) then end",
     "groupby argument $z must be a binding declared in the source pattern", 50},
    {"rule r when groupby(T($k : k); $k; $n : sum()) then end", "sum requires a bound argument", 48},
    {"rule r when groupby($t : T($k : k); $k; $n : count()) then end",
     "groupby source must be a plain unbound pattern", 35},
    {"rule r when Person(name matches x) then end", "matches requires a literal string regex, got x", 34},
    {"rule r when Person(name contains 5) then end", "contains requires a literal string, got 5", 35},
    {"rule r when Person(age ~ 1) then end", "unexpected character '~'", 24},
    {"rule r when Person(age in (1 2)) then end", "expected ',' or ')', got 2", 30},
    {"rule r when Person(age in ($x)) then end", "expected literal, got $x", 28},
    {"rule r when Person(age > 1 x) then end", "expected ',' or ')', got x", 28},
    {"rule r when Person(age > 1,) then end", "expected identifier, got )", 28},
    {"rule r when Person(in (1)) then end", "keyword restriction with no preceding field", 20},
    {"rule r when Person(this foo $e) then end", "expected a temporal operator following 'this', got foo", 29},
    {"rule r when Person(age > - x) then end", "expected number after '-', got x", 28},
    {"rule r when Person(age > True) then end", "expected literal, got True", 26},
    {"rule r when exists (A() or B() or C() or D()) then end",
     "not/exists groups are limited to 2-3 inner patterns, got 4 (D-089)", 0},
    {"rule r when not (A() and B() and C() and D()) then end",
     "not/exists groups are limited to 2-3 inner patterns, got 4 (D-089)", 0},
    {"rule r when not (not (A())) then end",
     "composite groups nested inside not/exists are out of subset (RIA-in-RIA \u2014 e.g. not(exists(A and B)), not(not(A)); D-089)", 0},
    {"rule r when not (exists (A() and B())) then end",
     "composite groups nested inside not/exists are out of subset (RIA-in-RIA \u2014 e.g. not(exists(A and B)), not(not(A)); D-089)", 0},
    {"rule r when not ($a : A()) then end", "bindings are not allowed in not/exists patterns", 0},
    {"rule r when exists (accumulate(T(); $n : count()) and B()) then end",
     "accumulate/collect inside not/exists groups is out of subset (D-089)", 0},
    {"rule r when not (?q($x;) and B()) then end", "?query CEs inside not/exists are out of subset (D-057)", 0},
    {"rule r when not (A() and not (B($x : v))) then end", "bindings are not allowed in not/exists patterns", 0},
    {"rule r when $a : A() or $a : B() then end",
     "duplicate declaration for variable '$a' in the rule 'r' (D-070/or_a26)", 39},
    {"rule r when ($a : A() or $b : B()) $b : B() then end",
     "duplicate declaration for variable '$b' in the rule 'r' (D-070/or_a26)", 50},
    // Member patterns of a group are visited too.
    {"rule r when $a : A() not (B() and $a : A()) then end",
     "duplicate declaration for variable '$a' in the rule 'r' (D-070/or_a26)", 50},
    {"rule r when not (A() and $a : B() and $a : C()) then end",
     "duplicate declaration for variable '$a' in the rule 'r' (D-070/or_a26)", 54},
    {"rule 5 when then end", "expected rule name, got 5", 6},
    {"rule r agenda-group g when then end", "agenda-group takes a string name, got Ident(\"g\")", 21},
    {"rule r foo when then end", "expected rule attribute or 'when', got Some(\"foo\")", 8},
    {"rule r salience 1 \"x\" when then end", "expected rule attribute or 'when', got Some(\"\\\"x\\\"\")", 19},
    {"rule r salience 1.5 when then end", "salience must be an int or (expr), got F64(1.5)", 21},
    {"rule r salience \"x\" when then end", "salience must be an int or (expr), got Str(\"x\")", 21},
    {"rule r salience (x) when then end", "salience terms are int literals or bindings, got Some(\"x\")", 18},
    {"rule r salience ($a + 1.5) when then end",
     "salience terms are int literals or bindings, got Some(\"1.5\")", 23},
    {"rule r salience ($a + 1 when then end", "expected \")\", got when", 25},
    {"rule r salience 10 + $x when then end", "expected rule attribute or 'when', got Some(\"+\")", 20},
    {"rule r when then modify($p) { setAge(1) }; end", "expected RHS statement, got Some(\";\")", 42},
    {"rule r when then $p.age(1); end", "expected setter, got age", 0},
    {"rule r when then $p.set(1); end", "expected setter, got set", 0},
    {"rule r when then modify($p) { age(1) } end", "expected setter, got age", 0},
    {"rule r when then engine.halt(); end", "engine.halt: only setFocus is in the certified subset (D-106)", 25},
    {"rule r when then engine.setFocus(g); end", "setFocus takes a string group name, got Ident(\"g\")", 34},
    {"rule r when then insert(new T(1 2)); end", "expected ',' or ')', got 2", 33},
    {"rule r when then insert(new T(1)) end", "expected \";\", got end", 35},
    {"rule r when then insert(T(1)); end", "expected keyword \"new\", got T", 25},
    {"rule r when then modify($p) { setA(1) setB(2) } end", "expected ',' or '}', got setB", 39},
    {"rule r when then update(p); end", "expected $binding, got p", 25},
    {"rule r when then foo(); end", "expected RHS statement, got Some(\"foo\")", 18},
    {"rule r when then \"x\"; end", "expected RHS statement, got Some(\"\\\"x\\\"\")", 18},
    {"rule r when then $p.setA($q.foo()); end", "unsupported method call .foo() (only getters)", 34},
    {"rule r when then $p.setA($q.get()); end", "unsupported method call .get() (only getters)", 34},
    {"rule r when then $p.setA($q.is()); end", "unsupported method call .is() (only getters)", 33},
    {"rule r when then $p.setA($q.getA(1)); end", "expected \")\", got 1", 34},
    {"query q() end", "empty query branch", 11},
    {"query q (A() and B()) end", "expected identifier, got (", 11},
    {"query 5 A() end", "expected query name, got 5", 7},
    {"query q(String n) A() end", "expected $binding, got n", 16},
    {"query q(String $n $m) A() end", "expected ',' or ')', got $m", 19},
    {"query q() T($a; x > 1) end", "expected \")\", got x", 17},
    {"query q() T($a) end", "expected \":\", got )", 15},
    {"query q() T($a, 1 2;) end", "expected ',' or ';', got 2", 19},
    {"query q() T(a > 1 || a < 0) end", "inline constraint groups in query bodies are out of subset (D-073)", 27},
    {"query q() T(a > 1 x) end", "expected ',' or ')', got x", 19},
    {"query q() A() or end", "empty query branch", 18},
    {"foo", "expected keyword \"rule\", got foo", 1},
    {"rule r no-loop maybe when then end", "expected rule attribute or 'when', got Some(\"maybe\")", 16},
    {"rule r when Person(age 1) then end", "expected comparison operator, got 1", 24},
    {"rule r when E(this after[1s,2s,3s] $e) then end", "operator after does not accept 3 parameter(s)", 36},
    {"rule r when E(this after[1s 2s] $e) then end", "expected \"]\", got 2", 29},
    {"rule r when accumulate(T($v : v); $n : sum($v) x) then end", "expected \")\", got x", 48},
    {"rule r when accumulate(T($v : v) over window:time(5); $n : sum($v)) then end",
     "expected ms/s unit, got )", 52},
    {"rule r when accumulate(T($v : v) over window:time(5s) from entry-point y; $n : sum($v)) then end",
     "entry-point name must be a string literal, got y", 72},
    {"rule r when accumulate(T($v : v); n : sum($v)) then end", "expected $binding, got n", 35},
};

}  // namespace

TEST(Refusal, EveryMessageWithItsExactTextAndPosition) {
    for (const Refusal& r : kRefusals) EXPECT_EQ(error_of(r.text), located(r)) << r.text;
}

TEST(Refusal, RefusalsLaterInTheFileReportTheirLine) {
    EXPECT_EQ(error_of("rule a when A() then end\n\nrule b when\n  B(x > 1,\n    < 5) then end"),
              "abbreviated restriction with no preceding field at line 5, col 5:\n      < 5) then end\n      ^");
    EXPECT_EQ(error_of("rule r when\n  $a : A()\n  $a : A()\nthen\nend"),
              "duplicate declaration for variable '$a' in the rule 'r' (D-070/or_a26) at line 5, col 1:\n  end\n  ^");
}

// Next to refusals: the same binding in another branch for the same type,
// durations at the edge of the millisecond range.
TEST(Refusal, NeighboursOfRefusalsParse) {
    for (const char* text : {"rule r when $a : A() or $a : A(x == 1) then end",
                             "rule r when E(this after[0s, 9223372036854775s] $e) then end",
                             "rule r when E(this meets[9223372036854775807ms] $e) then end"})
        EXPECT_EQ(error_of(text), "parsed") << text;
}

TEST(Refusal, DeepNestingEndsInAnErrorNotAStackOverflow) {
    const std::string nested_msg = "conditions nested deeper than " + std::to_string(kMaxNesting) + " levels";
    auto starts_with = [](const std::string& s, const std::string& p) { return s.compare(0, p.size(), p) == 0; };
    std::string parens = "rule r when " + std::string(100000, '(') + "A()" + std::string(100000, ')') + " then end";
    EXPECT_TRUE(starts_with(error_of(parens), nested_msg));
    EXPECT_TRUE(starts_with(error_of("rule r when " + repeat("not (", 50000) + "A()"), nested_msg));
    EXPECT_TRUE(starts_with(error_of("rule r when A(" + repeat("!(", 50000) + "x > 1"), nested_msg));
    EXPECT_TRUE(starts_with(error_of("rule r when " + repeat("accumulate(", 50000) + "T()"), nested_msg));
    // Ordinary nesting is far from the limit.
    std::string twenty = "rule r when " + std::string(20, '(') + "A(!(!(x > 1)))" + std::string(20, ')') + " then end";
    EXPECT_EQ(error_of(twenty), "parsed");
}

TEST(Refusal, OrExpansionIsBounded) {
    // Ten binary alternatives make 1024 branches, one more than allowed.
    EXPECT_EQ(error_of("rule r when " + repeat("(A() or B()) ", 10) + "then end"),
              "conditions expand to more than " + std::to_string(kMaxOrBranches) + " or-branches");
    auto r = parse_file("rule r when " + repeat("(A() or B()) ", 9) + "then end");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->rules.size(), 512u);
    EXPECT_EQ(r->rules.back().decl_seq, 511u);
    // Under `not` the alternatives multiply as well.
    EXPECT_EQ(error_of("rule r when not ((A() or B())" + repeat(" and (A() or B())", 10) + ") then end"),
              "conditions expand to more than " + std::to_string(kMaxOrBranches) + " or-branches");
    // Alternatives nested under `not` inside `not` stay within a work budget.
    std::string ors = "(A() or B())" + repeat(" and (A() or B())", 8);
    std::string nested = "not (" + ors + ")";
    for (int level = 0; level < 2; ++level) nested = "not (" + ors + " and " + nested + ")";
    EXPECT_EQ(error_of("rule r when " + nested + " then end"),
              "conditions too large to expand into or-branches (over 1000000 elements)");
}
