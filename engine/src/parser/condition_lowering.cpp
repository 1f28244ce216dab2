// Normalisation and lowering of a rule's condition tree: `or` is lifted to the
// top, the tree is multiplied out into branches (lexicographic in the choices
// made at each `or`, leftmost most significant), and every remaining not/exists
// node becomes one pattern or is refused. Errors here carry no position.
#include <deque>

#include "parser/grammar.h"
#include "parser/parser.h"
#include "common/internal_error.h"
#include "common/text.h"

namespace quarn {

namespace {

// Multiplying out or-alternatives can grow the tree exponentially; every copy
// made on the way is charged against this budget by what it copies, so that
// the time and memory of expanding hostile input stay bounded by it instead of
// by branch count times pattern size.
constexpr size_t kMaxExpansionWork = 1'000'000;

// A branch names its patterns by their place in the lowering's list of
// patterns, one unit each; the patterns themselves are copied out, each
// charged by its size, only once the whole expansion fits the budget.
using Branches = std::vector<std::vector<uint32_t>>;

const char* const kRiaInRia =
    "composite groups nested inside not/exists are out of subset (RIA-in-RIA \u2014 e.g. not(exists(A and B)), "
    "not(not(A)); D-089)";

ParseError bare(std::string msg) { return ParseError{std::move(msg), std::nullopt}; }

// Budget units of a copy: one per pattern, constraint, expression node, listed
// literal, query argument and group member, and one per 64 bytes of text each
// carries, so that long literals weigh what they cost to copy.
size_t text_size(const std::string& s) { return s.size() / 64; }
size_t text_size(const std::optional<std::string>& s) { return s ? text_size(*s) : 0; }

size_t operand_size(const Operand& o) { return text_size(o.lit.s) + text_size(o.var); }

size_t list_size(const std::vector<Literal>& list) {
    size_t n = list.size();
    for (const Literal& l : list) n += text_size(l.s);
    return n;
}

size_t expr_size(const CExpr& e) {
    size_t n = 1 + text_size(e.field) + operand_size(e.rhs) + text_size(e.regex) + text_size(e.text) + list_size(e.list);
    for (const CExpr& c : e.children) n += expr_size(c);
    return n;
}

size_t constraint_size(const Constraint& c) {
    size_t n = 1 + text_size(c.var) + text_size(c.field) + operand_size(c.rhs) + text_size(c.regex) +
               text_size(c.text) + list_size(c.list) + c.params.size();
    if (c.kind == Constraint::Kind::Group) n += expr_size(c.group);
    return n;
}

size_t pattern_size(const Pattern& p) {
    size_t n = 1 + text_size(p.binding) + text_size(p.type_name) + text_size(p.entry_point);
    if (p.acc) n += text_size(p.acc->result) + text_size(p.acc->arg) + text_size(p.acc->key);
    for (const Constraint& c : p.constraints) n += constraint_size(c);
    if (p.query_args) {
        for (const QArg& a : *p.query_args) n += 1 + text_size(a.var) + text_size(a.lit.s);
    }
    if (p.group) {
        for (const Pattern& m : *p.group) n += pattern_size(m);
    }
    return n;
}

size_t rhs_arg_size(const RhsArg& a) { return 1 + text_size(a.lit.s) + text_size(a.var) + text_size(a.field); }

// A rule without its conditions: what every branch's rule copies.
size_t head_size(const RuleDef& head) {
    size_t n = 1 + text_size(head.name) + text_size(head.agenda_group) + text_size(head.salience.first.var) +
               text_size(head.salience.second.var);
    for (const Action& a : head.rhs) {
        n += 1 + text_size(a.type_name) + text_size(a.var) + text_size(a.field) + rhs_arg_size(a.value) +
             text_size(a.group);
        for (const RhsArg& arg : a.args) n += rhs_arg_size(arg);
    }
    return n;
}

size_t node_size(const CeNode& n) {
    size_t s = n.kind == CeNode::Kind::Pattern ? pattern_size(n.pattern) : 1;
    for (const CeNode& c : n.children) s += node_size(c);
    return s;
}

bool binds_anything(const Pattern& p) {
    if (p.binding) return true;
    for (const Constraint& c : p.constraints)
        if (c.kind == Constraint::Kind::Bind) return true;
    return false;
}

CeNode single(CeNode::Kind kind, CeNode child) {
    std::vector<CeNode> c;
    c.push_back(std::move(child));
    return CeNode::node(kind, std::move(c));
}

// Flattens one level: children of the same kind as the result contribute their
// own children in their place. A single node stands for itself.
CeNode pack(std::vector<CeNode> list, bool is_or) {
    if (list.size() == 1) return std::move(list[0]);
    const CeNode::Kind kind = is_or ? CeNode::Kind::Or : CeNode::Kind::And;
    std::vector<CeNode> out;
    out.reserve(list.size());
    for (CeNode& n : list) {
        if (n.kind == kind) {
            for (CeNode& c : n.children) out.push_back(std::move(c));
        } else {
            out.push_back(std::move(n));
        }
    }
    return CeNode::node(kind, std::move(out));
}

PResult<Pattern> leaf(const CeNode& c) {
    if (c.kind == CeNode::Kind::Pattern) {
        if (c.pattern.acc) return err(bare("accumulate/collect inside not/exists groups is out of subset (D-089)"));
        if (c.pattern.query_args) return err(bare("?query CEs inside not/exists are out of subset (D-057)"));
        return c.pattern;
    }
    if ((c.kind == CeNode::Kind::Not || c.kind == CeNode::Kind::Exists) &&
        c.children[0].kind == CeNode::Kind::Pattern && c.children[0].pattern.ce == CeKind::Positive) {
        QUARN_TRY(Pattern q, leaf(c.children[0]));
        if (binds_anything(q)) return err(bare("bindings are not allowed in not/exists patterns"));
        q.ce = c.kind == CeNode::Kind::Not ? CeKind::Not : CeKind::Exists;
        return q;
    }
    return err(bare(kRiaInRia));
}

PResult<Pattern> lower_group(CeKind kind, const CeNode& x) {
    if (x.kind == CeNode::Kind::Pattern && x.pattern.ce == CeKind::Positive && !x.pattern.group) {
        QUARN_TRY(Pattern q, leaf(x));
        if (binds_anything(q)) return err(bare("bindings are not allowed in not/exists patterns"));
        q.ce = kind;
        return q;
    }
    if (x.kind == CeNode::Kind::And) {
        const size_t n = x.children.size();
        if (n < 2 || n > 3)
            return err(bare(fmt("not/exists groups are limited to 2-3 inner patterns, got {} (D-089)", n)));
        std::vector<Pattern> members;
        for (const CeNode& c : x.children) {
            QUARN_TRY(Pattern m, leaf(c));
            members.push_back(std::move(m));
        }
        Pattern g;
        g.group = std::move(members);
        g.ce = kind;
        return g;
    }
    return err(bare(kRiaInRia));
}

class Lowering {
public:
    PResult<CeNode> normalize(CeNode node) {
        switch (node.kind) {
            case CeNode::Kind::Pattern: return node;
            case CeNode::Kind::And:
            case CeNode::Kind::Or: {
                std::vector<CeNode> children;
                children.reserve(node.children.size());
                for (CeNode& c : node.children) {
                    QUARN_TRY(CeNode n, normalize(std::move(c)));
                    children.push_back(std::move(n));
                }
                return pack(std::move(children), node.kind == CeNode::Kind::Or);
            }
            case CeNode::Kind::Not:
            case CeNode::Kind::Exists: {
                const bool is_not = node.kind == CeNode::Kind::Not;
                QUARN_TRY(CeNode inner, normalize(std::move(node.children[0])));
                QUARN_TRY(CeNode y, pull_or_up(std::move(inner)));
                if (y.kind != CeNode::Kind::Or) return single(node.kind, std::move(y));
                // De Morgan: no alternative may match; an existence over
                // alternatives is the negation of "no alternative matches".
                std::vector<CeNode> negated;
                negated.reserve(y.children.size());
                for (CeNode& b : y.children) negated.push_back(single(CeNode::Kind::Not, std::move(b)));
                CeNode conj = CeNode::node(CeNode::Kind::And, std::move(negated));
                if (is_not) return normalize(std::move(conj));
                return normalize(single(CeNode::Kind::Not, std::move(conj)));
            }
        }
        unreachable("condition node kind out of range");
    }

    // Distributes one level of `or` children of a conjunction: the first `or`
    // varies slowest, the last fastest.
    PResult<CeNode> pull_or_up(CeNode node) {
        if (node.kind != CeNode::Kind::And) return node;
        bool has_or = false;
        for (const CeNode& c : node.children) has_or = has_or || c.kind == CeNode::Kind::Or;
        if (!has_or) return node;
        // Per child, its alternatives, each a one-node conjunction.
        std::vector<std::vector<std::vector<CeNode>>> choices;
        for (CeNode& child : node.children) {
            std::vector<std::vector<CeNode>> alts;
            if (child.kind == CeNode::Kind::Or) {
                for (CeNode& a : child.children) alts.emplace_back().push_back(std::move(a));
            } else {
                alts.emplace_back().push_back(std::move(child));
            }
            choices.push_back(std::move(alts));
        }
        // Every conjunction is a copy of the nodes it holds. Sizes first: a
        // distribution over the budget is refused before any node is copied.
        std::vector<size_t> sizes(1, 0);
        for (const std::vector<std::vector<CeNode>>& alts : choices) {
            if (sizes.size() * alts.size() > kMaxOrBranches) return err(too_many_branches());
            std::vector<size_t> alt_sizes;
            for (const std::vector<CeNode>& a : alts) alt_sizes.push_back(node_size(a[0]));
            QUARN_TRY(sizes, charge_pairs(sizes, alt_sizes));
        }
        std::vector<std::vector<CeNode>> conjs(1);
        for (const std::vector<std::vector<CeNode>>& alts : choices) conjs = conjoin(conjs, alts);
        std::vector<CeNode> alternatives;
        alternatives.reserve(conjs.size());
        for (std::vector<CeNode>& c : conjs) alternatives.push_back(pack(std::move(c), false));
        return CeNode::node(CeNode::Kind::Or, std::move(alternatives));
    }

    PResult<Branches> expand(const CeNode& node) {
        switch (node.kind) {
            case CeNode::Kind::Pattern: {
                QUARN_CHECK(charge(1));
                return Branches{{name(node.pattern)}};
            }
            case CeNode::Kind::And: {
                Branches branches(1);
                for (const CeNode& c : node.children) {
                    QUARN_TRY(Branches sub, expand(c));
                    if (branches.size() * sub.size() > kMaxOrBranches) return err(too_many_branches());
                    QUARN_CHECK(charge_pairs(lengths(branches), lengths(sub)));
                    branches = conjoin(branches, sub);
                }
                return branches;
            }
            case CeNode::Kind::Or: {
                Branches branches;
                for (const CeNode& c : node.children) {
                    QUARN_TRY(Branches sub, expand(c));
                    if (branches.size() + sub.size() > kMaxOrBranches) return err(too_many_branches());
                    for (std::vector<uint32_t>& s : sub) branches.push_back(std::move(s));
                }
                return branches;
            }
            case CeNode::Kind::Not:
            case CeNode::Kind::Exists: {
                QUARN_TRY(Pattern p, lower_group(node.kind == CeNode::Kind::Not ? CeKind::Not : CeKind::Exists,
                                            node.children[0]));
                QUARN_CHECK(charge(pattern_size(p)));
                lowered_.push_back(std::move(p));
                return Branches{{name(lowered_.back())}};
            }
        }
        unreachable("condition node kind out of range");
    }

    // The patterns of each branch, copied out of the tree `expand` was given.
    // Every copy is charged by its size before any is made, and so is the copy
    // of the rule's head that each branch past the first adds.
    PResult<std::vector<std::vector<Pattern>>> materialize(const Branches& branches, size_t head_units) {
        std::vector<size_t> sizes(patterns_.size());
        for (size_t p = 0; p < patterns_.size(); ++p) sizes[p] = pattern_size(*patterns_[p]);
        for (size_t b = 0; b < branches.size(); ++b) {
            if (b > 0) QUARN_CHECK(charge(head_units));
            for (uint32_t p : branches[b]) QUARN_CHECK(charge(sizes[p]));
        }
        std::vector<std::vector<Pattern>> out(branches.size());
        for (size_t b = 0; b < branches.size(); ++b) {
            out[b].reserve(branches[b].size());
            for (uint32_t p : branches[b]) out[b].push_back(*patterns_[p]);
        }
        return out;
    }

private:
    uint32_t name(const Pattern& p) {
        patterns_.push_back(&p);
        return static_cast<uint32_t>(patterns_.size() - 1);
    }


    // Every left conjunction (outer loop) extended by every right one (inner
    // loop), each result a fresh copy.
    template <typename T>
    static std::vector<std::vector<T>> conjoin(const std::vector<std::vector<T>>& left,
                                               const std::vector<std::vector<T>>& right) {
        std::vector<std::vector<T>> out;
        out.reserve(left.size() * right.size());
        for (const std::vector<T>& l : left) {
            for (const std::vector<T>& r : right) {
                std::vector<T>& joined = out.emplace_back();
                joined.reserve(l.size() + r.size());
                joined.insert(joined.end(), l.begin(), l.end());
                joined.insert(joined.end(), r.begin(), r.end());
            }
        }
        return out;
    }

    static std::vector<size_t> lengths(const Branches& branches) {
        std::vector<size_t> out;
        out.reserve(branches.size());
        for (const std::vector<uint32_t>& b : branches) out.push_back(b.size());
        return out;
    }

    // Charges, in conjoin's order, each result of conjoining conjunctions of
    // these sizes (it copies both operands); returns the results' sizes.
    PResult<std::vector<size_t>> charge_pairs(const std::vector<size_t>& left, const std::vector<size_t>& right) {
        std::vector<size_t> out;
        out.reserve(left.size() * right.size());
        for (size_t l : left) {
            for (size_t r : right) {
                QUARN_CHECK(charge(l + r));
                out.push_back(l + r);
            }
        }
        return out;
    }

    static ParseError too_many_branches() {
        return bare(fmt("conditions expand to more than {} or-branches", kMaxOrBranches));
    }

    PResult<void> charge(size_t units) {
        work_ += units;
        if (work_ > kMaxExpansionWork)
            return err(bare(fmt("conditions too large to expand into or-branches (over {} elements)",
                                kMaxExpansionWork)));
        return {};
    }

    size_t work_ = 0;
    // Every pattern a branch can name: the condition tree's own, which outlives
    // the expansion, and the not/exists patterns lowered from it.
    std::vector<const Pattern*> patterns_;
    std::deque<Pattern> lowered_;  // a deque, so that patterns_ may point into it
};

}  // namespace

PResult<std::vector<std::vector<Pattern>>> condition_branches(CeNode root, const RuleDef& head) {
    Lowering lowering;
    QUARN_TRY(CeNode normal, lowering.normalize(std::move(root)));
    QUARN_TRY(Branches branches, lowering.expand(normal));
    return lowering.materialize(branches, head_size(head));
}

}  // namespace quarn
