// Normalisation and lowering of a rule's condition tree: `or` is lifted to the
// top, the tree is multiplied out into branches (lexicographic in the choices
// made at each `or`, leftmost most significant), and every remaining not/exists
// node becomes one pattern or is refused. Errors here carry no position.
#include "parser/grammar.h"
#include "parser/parser.h"
#include "common/internal_error.h"
#include "common/text.h"

namespace quarn {

namespace {

using Branches = std::vector<std::vector<Pattern>>;

// Multiplying out or-alternatives can grow the tree exponentially; copies of
// condition elements are counted against this budget so that hostile input
// ends in an error instead of exhausting memory.
constexpr size_t kMaxExpansionWork = 1'000'000;

const char* const kRiaInRia =
    "composite groups nested inside not/exists are out of subset (RIA-in-RIA \u2014 e.g. not(exists(A and B)), "
    "not(not(A)); D-089)";

ParseError bare(std::string msg) { return ParseError{std::move(msg), std::nullopt}; }

size_t node_size(const CeNode& n) {
    size_t s = 1;
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
        std::vector<std::vector<CeNode>> conjs(1);
        std::vector<size_t> conj_sizes(1, 0);
        for (CeNode& child : node.children) {
            std::vector<CeNode> alts;
            if (child.kind == CeNode::Kind::Or) {
                alts = std::move(child.children);
            } else {
                alts.push_back(std::move(child));
            }
            std::vector<size_t> alt_sizes;
            for (const CeNode& a : alts) alt_sizes.push_back(node_size(a));
            if (conjs.size() * alts.size() > kMaxOrBranches) return err(too_many_branches());
            std::vector<std::vector<CeNode>> next;
            std::vector<size_t> next_sizes;
            next.reserve(conjs.size() * alts.size());
            for (size_t i = 0; i < conjs.size(); ++i) {
                for (size_t k = 0; k < alts.size(); ++k) {
                    QUARN_CHECK(charge(conj_sizes[i] + alt_sizes[k]));
                    std::vector<CeNode> c = conjs[i];
                    c.push_back(alts[k]);
                    next.push_back(std::move(c));
                    next_sizes.push_back(conj_sizes[i] + alt_sizes[k]);
                }
            }
            conjs = std::move(next);
            conj_sizes = std::move(next_sizes);
        }
        std::vector<CeNode> alternatives;
        alternatives.reserve(conjs.size());
        for (std::vector<CeNode>& c : conjs) alternatives.push_back(pack(std::move(c), false));
        return CeNode::node(CeNode::Kind::Or, std::move(alternatives));
    }

    PResult<Branches> expand(const CeNode& node) {
        switch (node.kind) {
            case CeNode::Kind::Pattern: {
                QUARN_CHECK(charge(1));
                return Branches{{node.pattern}};
            }
            case CeNode::Kind::And: {
                Branches branches(1);
                for (const CeNode& c : node.children) {
                    QUARN_TRY(Branches sub, expand(c));
                    if (branches.size() * sub.size() > kMaxOrBranches) return err(too_many_branches());
                    Branches next;
                    next.reserve(branches.size() * sub.size());
                    for (const std::vector<Pattern>& b : branches) {
                        for (const std::vector<Pattern>& s : sub) {
                            QUARN_CHECK(charge(b.size() + s.size()));
                            std::vector<Pattern> joined = b;
                            joined.insert(joined.end(), s.begin(), s.end());
                            next.push_back(std::move(joined));
                        }
                    }
                    branches = std::move(next);
                }
                return branches;
            }
            case CeNode::Kind::Or: {
                Branches branches;
                for (const CeNode& c : node.children) {
                    QUARN_TRY(Branches sub, expand(c));
                    if (branches.size() + sub.size() > kMaxOrBranches) return err(too_many_branches());
                    for (std::vector<Pattern>& s : sub) branches.push_back(std::move(s));
                }
                return branches;
            }
            case CeNode::Kind::Not:
            case CeNode::Kind::Exists: {
                QUARN_TRY(Pattern p, lower_group(node.kind == CeNode::Kind::Not ? CeKind::Not : CeKind::Exists,
                                            node.children[0]));
                return Branches{{std::move(p)}};
            }
        }
        unreachable("condition node kind out of range");
    }

private:
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
};

}  // namespace

PResult<std::vector<std::vector<Pattern>>> condition_branches(CeNode root) {
    Lowering lowering;
    QUARN_TRY(CeNode normal, lowering.normalize(std::move(root)));
    return lowering.expand(normal);
}

}  // namespace quarn
