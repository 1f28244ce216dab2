#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "parser/parser.h"

using namespace quarn;

namespace {

// splitmix64: the same sequence on every platform and standard library.
class Rng {
public:
    explicit Rng(uint64_t seed) : s_(seed) {}
    uint64_t next() {
        uint64_t z = (s_ += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    size_t below(size_t n) { return n == 0 ? 0 : static_cast<size_t>(next() % n); }

private:
    uint64_t s_;
};

const char* const kCorpus[] = {
    R"(rule "patterns" salience 10 agenda-group "g" no-loop
when
    $p : Person($a : age > 30, name == "x", age > 1 && < 5, age < 1 || > 5, !(name matches "a.*"),
                name not in ("a", "b"), tags contains "t", nick != null)
    Order(amount >= $a, total <= -2.5) from entry-point "s"
    E2(this after[1s, 10s] $e, this during[1ms, 2ms, 3ms, 4ms] $e, this meets $e)
then
    insert(new T(1, -2.5, "s", null, $x, $p.getAge()));
    modify($p) { setAge(1), setURL("u") }
    $p.setAge($q.isOld());
    retract($p);
    engine.setFocus("grp");
end)",
    R"(rule r1 when
  accumulate(Order($v : value) over window:time(5s) from entry-point "ep"; $t : sum($v))
  groupby(Order($k : cust, $v : value); $k; $r : collectSet($v))
  $l : List() from collect(Order(amt > 1))
  ?q($a, 1, "s";)
  not (A() and B($x : v)) exists (A() or B())
  (A() or B()) and (C() or (D() and not E()))
  (or F() (and G() H()))
then update($p); end
query q(String $n, int $a) $p : Person(name == $n) Person($n, $a;) or ( A() and B() ) end)",
    "rule r salience ($a * -2) when not (A() or B()) then insertLogical(new X()); end",
    "// c\n/* d */ rule \"\u00e9\" when X(s == \"\\t\\\"\") then end",
};

const char* const kVocabulary[] = {
    "rule", "query", "when", "then", "end", "and", "or", "not", "exists", "from", "collect", "accumulate",
    "groupby", "entry-point", "agenda-group", "no-loop", "salience", "over", "window", ":", "time", "length",
    "this", "after", "during", "meets", "in", "matches", "contains", "insert", "insertLogical", "modify",
    "update", "delete", "retract", "engine", ".", "setFocus", "new", "List", "sum", "count", "(", ")", "{",
    "}", "[", "]", ",", ";", "?", "!", "&&", "||", "==", "!=", "<", "<=", ">", ">=", "-", "+", "*", "$a",
    "$b", "A", "B", "x", "setX", "getX", "1", "2.5", "1s", "5ms", "\"s\"", "null", "true", "=", "/*", "\"",
    "\\", "\n", "\u00e9", "#",
};

void check_pattern_invariants(const Pattern& p, bool member) {
    auto is_binding = [](const std::string& s) { return !s.empty() && s[0] == '$'; };
    EXPECT_TRUE(!p.binding || is_binding(*p.binding));
    EXPECT_FALSE((p.acc || p.query_args || p.group) && p.binding);
    if (p.ce != CeKind::Positive && !p.group) {
        EXPECT_FALSE(p.binding);
        for (const Constraint& c : p.constraints) EXPECT_NE(c.kind, Constraint::Kind::Bind);
    }
    if (p.group) {
        EXPECT_FALSE(member);
        EXPECT_TRUE(p.group->size() == 2 || p.group->size() == 3);
        EXPECT_TRUE(p.type_name.empty());
        for (const Pattern& m : *p.group) {
            EXPECT_FALSE(m.acc || m.query_args || m.group);
            check_pattern_invariants(m, true);
        }
    }
    for (const Constraint& c : p.constraints) {
        if (c.kind == Constraint::Kind::Temporal) {
            const size_t n = c.params.size();
            EXPECT_TRUE(n <= 2 || n == 4);
            EXPECT_TRUE(n == 2 || (c.allen != AllenOp::After && c.allen != AllenOp::Before));
            EXPECT_TRUE(is_binding(c.var));
        }
        EXPECT_FALSE(c.kind == Constraint::Kind::Group && c.group.kind == CExpr::Kind::Cmp);
    }
}

// Every input ends in a RuleFile or a ParseError; a file satisfies the tree's
// invariants, an error carries no position and, when located, ends in a caret.
bool check(const std::string& text) {
    auto r = parse_file(text);
    if (!r) {
        EXPECT_FALSE(r.error().pos.has_value());
        EXPECT_FALSE(r.error().msg.empty());
        EXPECT_TRUE(r.error().msg.find(" at line ") == std::string::npos || r.error().msg.back() == '^') << r.error().msg;
        return false;
    }
    for (const RuleDef& rule : r->rules)
        for (const Pattern& p : rule.lhs) check_pattern_invariants(p, false);
    for (const QueryDef& q : r->queries) EXPECT_FALSE(q.branches.empty());
    EXPECT_FALSE(dump_rule_file(*r).empty() && !(r->rules.empty() && r->queries.empty()));
    return true;
}

std::string mutate(Rng& rng, std::string s) {
    const int edits = 1 + static_cast<int>(rng.below(4));
    for (int e = 0; e < edits; ++e) {
        const size_t at = rng.below(s.size() + 1);
        switch (rng.below(6)) {
            case 0: s.erase(at, 1 + rng.below(8)); break;
            case 1: s.insert(at, kVocabulary[rng.below(std::size(kVocabulary))]); break;
            case 2: s.insert(at, 1, static_cast<char>(rng.below(256))); break;  // possibly invalid UTF-8
            case 3: s = s.substr(0, at); break;
            case 4: {
                const size_t from = rng.below(s.size() + 1);
                s.insert(at, s.substr(from, rng.below(40)));
                break;
            }
            default:
                if (at < s.size()) s[at] = static_cast<char>(' ' + rng.below(95));
                break;
        }
    }
    return s;
}

}  // namespace

TEST(ParserFuzz, MutatedRuleTextsEndInAFileOrAnError) {
    for (const char* text : kCorpus) EXPECT_TRUE(check(text)) << text;
    Rng rng(0x5eed0001);
    int parsed = 0;
    for (int i = 0; i < 4000; ++i) {
        std::string base = kCorpus[rng.below(std::size(kCorpus))];
        parsed += check(mutate(rng, std::move(base)));
    }
    // Enough mutants stay valid to reach the lowering and the dump.
    EXPECT_GT(parsed, 200);
}

// Token soup and raw bytes, possibly invalid UTF-8, alternate.
TEST(ParserFuzz, RandomTokensAndBytesEndInAFileOrAnError) {
    Rng rng(0x5eed0002);
    for (int i = 0; i < 6000; ++i) {
        const bool bytes = i % 3 == 2;
        std::string text = !bytes && rng.below(2) ? "rule r when " : "";
        const size_t n = rng.below(bytes ? 40 : 60);
        for (size_t k = 0; k < n; ++k) {
            if (bytes) {
                text += static_cast<char>(rng.below(256));
                continue;
            }
            text += kVocabulary[rng.below(std::size(kVocabulary))];
            text += rng.below(3) ? " " : "";
        }
        check(text);
    }
}

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

// The number of rules the text declares, or its error.
std::string outcome(const std::string& text) {
    auto r = parse_file(text);
    return r ? std::to_string(r->rules.size()) + " rules" : r.error().msg;
}

// Texts whose or-groups multiply large elements end in the expansion budget's
// error, charged by the size of what is copied: constraints, expression nodes,
// group members, actions and long text each count.
TEST(ParserFuzz, OrExpansionIsChargedBySize) {
    const std::string budget = "conditions too large to expand into or-branches (over 1000000 elements)";
    const std::string groups = repeat("(A() or B()) ", 9);
    const std::string wide = "P(" + repeat("a>1,", 11) + "a>1) ";
    const std::string either = "P((" + repeat("a>1 || ", 23) + "a>1)) ";
    const std::string text(128 * 1024, 'x');
    const struct {
        const char* what;
        std::string conditions;
        std::string expected;
    } cases[] = {
        {"or-groups then wide patterns", groups + repeat(wide, 63), budget},
        {"wide patterns then or-groups", repeat(wide, 600) + groups, budget},
        {"a few wide patterns", groups + repeat(wide, 10), "512 rules"},
        {"a long plain rule", repeat(wide, 400), "1 rules"},
        {"expression nodes", groups + repeat(either, 40), budget},
        {"group members", groups + repeat("not (" + wide + "and " + wide + ") ", 40), budget},
        {"long text", groups + "P(s == \"" + text + "\")", budget},
        {"under not", "not (" + repeat("(A() or B()) and ", 9) + repeat(wide + "and ", 20) + "Q())", budget},
    };
    for (const auto& c : cases) EXPECT_EQ(outcome("rule r when " + c.conditions + " then end"), c.expected) << c.what;

    // Every branch's rule carries a copy of the actions.
    const std::string actions = repeat("insert(new T(1, 2, \"s\", 3, 4, 5, 6, 7)); ", 1000);
    const std::string ten_way = "(A()" + repeat(" or A()", 9) + ") ";
    EXPECT_EQ(outcome("rule r when " + repeat(ten_way, 3) + "then " + actions + "end"), budget);
    EXPECT_EQ(outcome("rule r when " + repeat(ten_way, 1) + "then " + actions + "end"), "10 rules");
}
