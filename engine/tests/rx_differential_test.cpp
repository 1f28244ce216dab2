// The matcher must give every text the answer of the plain recursive,
// continuation-passing definition of the pattern language (depth first, greedy,
// an empty iteration of a star ends its path). This file holds that definition
// as a small reference matcher over ASCII patterns and compares both on many
// random patterns and texts.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "rx/rx.h"

using namespace quarn;

namespace {

struct Node {
    enum Kind { Lit, Any, Class, Seq, Alt, Star, Plus, Opt } kind;
    char c = 0;
    std::vector<std::pair<char, char>> ranges;
    bool negated = false;
    std::vector<std::unique_ptr<Node>> kids;
};
using NodeP = std::unique_ptr<Node>;

NodeP make(Node::Kind k) {
    auto n = std::make_unique<Node>();
    n->kind = k;
    return n;
}

// Parses the patterns this file generates (always well formed).
struct RefParser {
    const std::string& p;
    size_t i = 0;

    NodeP alt() {
        NodeP first = seq();
        if (i >= p.size() || p[i] != '|') return first;
        NodeP a = make(Node::Alt);
        a->kids.push_back(std::move(first));
        while (i < p.size() && p[i] == '|') {
            ++i;
            a->kids.push_back(seq());
        }
        return a;
    }
    NodeP seq() {
        NodeP s = make(Node::Seq);
        while (i < p.size() && p[i] != '|' && p[i] != ')') {
            NodeP atom;
            char c = p[i++];
            if (c == '(') {
                atom = alt();
                ++i;  // ')'
            } else if (c == '.') {
                atom = make(Node::Any);
            } else if (c == '[') {
                atom = make(Node::Class);
                if (p[i] == '^') atom->negated = true, ++i;
                while (p[i] != ']') {
                    char lo = p[i++];
                    char hi = lo;
                    if (p[i] == '-' && p[i + 1] != ']') hi = p[i + 1], i += 2;
                    atom->ranges.emplace_back(lo, hi);
                }
                ++i;
            } else {
                atom = make(Node::Lit);
                atom->c = c;
            }
            if (i < p.size() && (p[i] == '*' || p[i] == '+' || p[i] == '?')) {
                NodeP q = make(p[i] == '*' ? Node::Star : p[i] == '+' ? Node::Plus : Node::Opt);
                ++i;
                q->kids.push_back(std::move(atom));
                atom = std::move(q);
            }
            s->kids.push_back(std::move(atom));
        }
        if (s->kids.size() == 1) return std::move(s->kids[0]);
        return s;
    }
};

using K = std::function<bool(size_t)>;

bool m(const Node& n, const std::string& t, size_t p, const K& k);

bool m_seq(const Node& n, size_t from, const std::string& t, size_t p, const K& k) {
    if (from == n.kids.size()) return k(p);
    return m(*n.kids[from], t, p, [&](size_t q) { return m_seq(n, from + 1, t, q, k); });
}

bool m_star(const Node& x, const std::string& t, size_t p, size_t q, const K& k) {
    if (q <= p) return false;
    return m(x, t, q, [&](size_t r) { return m_star(x, t, q, r, k); }) || k(q);
}

bool m(const Node& n, const std::string& t, size_t p, const K& k) {
    switch (n.kind) {
        case Node::Lit: return p < t.size() && t[p] == n.c && k(p + 1);
        case Node::Any: return p < t.size() && k(p + 1);
        case Node::Class: {
            if (p >= t.size()) return false;
            bool in = false;
            for (auto [lo, hi] : n.ranges) in = in || (t[p] >= lo && t[p] <= hi);
            return in != n.negated && k(p + 1);
        }
        case Node::Seq: return m_seq(n, 0, t, p, k);
        case Node::Alt:
            for (const auto& a : n.kids)
                if (m(*a, t, p, k)) return true;
            return false;
        case Node::Star:
            return m(*n.kids[0], t, p, [&](size_t q) { return m_star(*n.kids[0], t, p, q, k); }) || k(p);
        case Node::Plus:
            return m(*n.kids[0], t, p, [&](size_t q) {
                return m(*n.kids[0], t, q, [&](size_t r) { return m_star(*n.kids[0], t, q, r, k); }) || k(q);
            });
        case Node::Opt: return m(*n.kids[0], t, p, k) || k(p);
    }
    return false;
}

bool reference_accepts(const std::string& pattern, const std::string& text) {
    RefParser rp{pattern};
    NodeP root = rp.alt();
    return m(*root, text, 0, [&](size_t p) { return p == text.size(); });
}

// A random well-formed pattern over the letters a and b and ASCII classes.
std::string random_pattern(std::mt19937& rng, int depth) {
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    std::string out;
    int atoms = pick(4);
    for (int a = 0; a < atoms; ++a) {
        switch (pick(depth > 0 ? 6 : 4)) {
            case 0: out += 'a'; break;
            case 1: out += 'b'; break;
            case 2: out += '.'; break;
            case 3: {
                // Ranges, negation and a dash at either end of a class.
                const char* classes[] = {"[a]", "[^a]", "[a-c]", "[^b-c]", "[-a]", "[a-]", "[b-b]", "[.]", "[ac-]"};
                out += classes[pick(9)];
                break;
            }
            default: {
                out += '(';
                out += random_pattern(rng, depth - 1);
                if (pick(2)) out += '|' + random_pattern(rng, depth - 1);
                out += ')';
            }
        }
        int q = pick(6);
        if (q < 3) out += "*+?"[q];
    }
    return out;
}

}  // namespace

TEST(RegexDifferential, AgreesWithTheRecursiveDefinitionOnRandomPatterns) {
    std::mt19937 rng(20261206);
    int compared = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string pattern = random_pattern(rng, 3);
        if (rng() % 3 == 0) pattern += '|' + random_pattern(rng, 2);
        auto rx = Regex::parse(pattern);
        ASSERT_TRUE(rx.ok()) << pattern << ": " << rx.error();
        for (int n = 0; n < 12; ++n) {
            std::string text;
            size_t len = rng() % 7;
            for (size_t j = 0; j < len; ++j) text += "abc-."[rng() % 5];
            ASSERT_EQ(rx->accepts(text), reference_accepts(pattern, text)) << "pattern " << pattern << " text " << text;
            ++compared;
        }
    }
    EXPECT_EQ(compared, 36000);
}

TEST(RegexDifferential, ArbitraryPatternsCompileOrAreRefusedWithARegexMessage) {
    std::mt19937 rng(7);
    const std::string alphabet = "ab.()[]^$-|*+?{}\\\xc3\xa9";
    for (int round = 0; round < 20000; ++round) {
        std::string pattern;
        size_t len = rng() % 12;
        for (size_t j = 0; j < len; ++j)
            pattern += rng() % 16 == 0 ? static_cast<char>(rng() % 256) : alphabet[rng() % alphabet.size()];
        auto rx = Regex::parse(pattern);
        if (!rx.ok()) {
            EXPECT_EQ(rx.error().rfind("regex", 0), 0u) << pattern;
            continue;
        }
        for (const char* text : {"", "a", "ab", "\xc3\xa9", "\xff", "()[]"}) (void)rx->accepts(text);
    }
}
