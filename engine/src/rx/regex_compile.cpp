// Parsing a `matches` pattern into a tree, and the tree into an automaton.
//
// The parser is a recursive descent over the pattern's code points; its depth
// grows only with the nesting of groups, which is capped so that a hostile
// pattern cannot exhaust the stack. The automaton is Thompson's construction;
// regex_match.cpp simulates it.
#include <utility>

#include "rx/rx.h"
#include "common/text.h"
#include "common/utf8.h"

namespace quarn {

namespace {

// Deeper nesting is refused: the parser and the compiler recurse once per level.
constexpr int kMaxGroupDepth = 100;

struct RxNode {
    enum class Kind : uint8_t { Lit, Any, Class, Seq, Alt, Star, Plus, Opt } kind;
    char32_t ch = 0;             // Lit
    uint32_t cls = 0;            // Class: index into the class list
    std::vector<uint32_t> kids;  // Seq, Alt: in source order; Star, Plus, Opt: one
};

using NodeResult = Result<uint32_t, std::string>;

std::vector<char32_t> code_points(std::string_view s) {
    std::vector<char32_t> out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        Decoded d = decode_utf8(s, i);
        out.push_back(d.ok ? d.cp : U'\uFFFD');
        i += d.len;
    }
    return out;
}

std::string cp_text(char32_t c) {
    std::string out;
    append_utf8(out, c);
    return out;
}

class RxParser {
public:
    RxParser(std::vector<char32_t> pat, std::vector<RxNode>& nodes, std::vector<Regex::CharClass>& classes)
        : pat_(std::move(pat)), nodes_(nodes), classes_(classes) {}

    size_t cursor() const { return pos_; }
    const std::vector<char32_t>& pattern() const { return pat_; }

    // alternation := sequence ( "|" sequence )*
    NodeResult alt() {
        NodeResult first = seq();
        if (!first) return first;
        if (at_end() || cur() != U'|') return first;
        std::vector<uint32_t> alts{first.value()};
        while (!at_end() && cur() == U'|') {
            ++pos_;
            NodeResult next = seq();
            if (!next) return next;
            alts.push_back(next.value());
        }
        return add({RxNode::Kind::Alt, 0, 0, std::move(alts)});
    }

    // sequence := ( atom [quantifier] )*, up to "|", ")" or the end.
    NodeResult seq() {
        std::vector<uint32_t> atoms;
        while (!at_end()) {
            char32_t c = cur();
            if (c == U'|' || c == U')') break;
            if (c == U'$' || c == U'\\' || c == U'^' || c == U'{' || c == U'}')
                return err(fmt("regex: unsupported metacharacter {} (subset wall)", quoted_char(c)));
            if (c == U'*' || c == U'+' || c == U'?') return err(fmt("regex: dangling quantifier {}", quoted_char(c)));
            if (c == U']') return err(fmt("regex: unmatched {}", quoted_char(c)));
            NodeResult atom = this->atom(c);
            if (!atom) return atom;
            uint32_t node = atom.value();
            if (!at_end() && (cur() == U'?' || cur() == U'+' || cur() == U'*')) {
                char32_t q = pat_[pos_++];
                RxNode::Kind wrap = q == U'?' ? RxNode::Kind::Opt : q == U'+' ? RxNode::Kind::Plus : RxNode::Kind::Star;
                node = add({wrap, 0, 0, {node}}).value();
            }
            atoms.push_back(node);
        }
        if (atoms.size() == 1) return atoms[0];
        return add({RxNode::Kind::Seq, 0, 0, std::move(atoms)});
    }

private:
    bool at_end() const { return pos_ >= pat_.size(); }
    char32_t cur() const { return pat_[pos_]; }

    NodeResult add(RxNode n) {
        nodes_.push_back(std::move(n));
        return static_cast<uint32_t>(nodes_.size() - 1);
    }

    NodeResult atom(char32_t c) {
        ++pos_;
        if (c == U'(') {
            if (depth_ == kMaxGroupDepth)
                return err(fmt("regex: groups nested more than {} deep (subset wall)", kMaxGroupDepth));
            ++depth_;
            NodeResult inner = alt();
            --depth_;
            if (!inner) return inner;
            if (at_end() || cur() != U')') return err(std::string("regex: unclosed group"));
            ++pos_;
            return inner;
        }
        if (c == U'.') return add({RxNode::Kind::Any, 0, 0, {}});
        if (c == U'[') return char_class();
        return add({RxNode::Kind::Lit, c, 0, {}});
    }

    // class := [ "^" ] item+ "]" ; item := c | c "-" d. Called after the "[".
    NodeResult char_class() {
        Regex::CharClass cls;
        if (!at_end() && cur() == U'^') {
            cls.negated = true;
            ++pos_;
        }
        if (at_end()) return err(std::string("regex: unclosed class"));
        for (;;) {
            char32_t c = cur();
            if (c == U'[' || c == U'\\')
                return err(fmt("regex: unsupported {} in class (subset wall)", quoted_char(c)));
            if (c == U']') break;
            ++pos_;
            if (!at_end() && cur() == U'-') {
                if (pos_ + 1 >= pat_.size()) return err(std::string("regex: unclosed class range"));
                char32_t d = pat_[pos_ + 1];
                if (d != U']') {
                    pos_ += 2;
                    if (d < c) return err(fmt("regex: inverted range {}-{}", cp_text(c), cp_text(d)));
                    cls.ranges.emplace_back(c, d);
                } else {
                    // "-" before the closing bracket is an ordinary member, read next.
                    cls.ranges.emplace_back(c, c);
                }
            } else {
                cls.ranges.emplace_back(c, c);
            }
            if (at_end()) return err(std::string("regex: unclosed class"));
        }
        if (cls.ranges.empty()) return err(std::string("regex: empty class"));
        ++pos_;
        classes_.push_back(std::move(cls));
        return add({RxNode::Kind::Class, 0, static_cast<uint32_t>(classes_.size() - 1), {}});
    }

    std::vector<char32_t> pat_;
    size_t pos_ = 0;
    int depth_ = 0;
    std::vector<RxNode>& nodes_;
    std::vector<Regex::CharClass>& classes_;
};

// Thompson's construction. Recursion follows the tree, whose depth the parser
// bounds; the resulting program has one instruction per atom plus a constant
// number per operator.
class RegexCompiler {
public:
    RegexCompiler(const std::vector<RxNode>& nodes, std::vector<Regex::Inst>& prog) : nodes_(nodes), prog_(prog) {}

    void emit(uint32_t n) {
        using Op = Regex::Inst::Op;
        const RxNode& node = nodes_[n];
        switch (node.kind) {
            case RxNode::Kind::Lit: push({Op::Char, node.ch, 0, 0}); return;
            case RxNode::Kind::Any: push({Op::Any, 0, 0, 0}); return;
            case RxNode::Kind::Class: push({Op::Class, 0, node.cls, 0}); return;
            case RxNode::Kind::Seq:
                for (uint32_t k : node.kids) emit(k);
                return;
            case RxNode::Kind::Alt: {
                std::vector<uint32_t> jumps;
                for (size_t i = 0; i + 1 < node.kids.size(); ++i) {
                    uint32_t split = push({Op::Split, 0, here() + 1, 0});
                    emit(node.kids[i]);
                    jumps.push_back(push({Op::Jump, 0, 0, 0}));
                    prog_[split].y = here();
                }
                emit(node.kids.back());
                for (uint32_t j : jumps) prog_[j].x = here();
                return;
            }
            case RxNode::Kind::Star: {
                uint32_t split = push({Op::Split, 0, here() + 1, 0});
                emit(node.kids[0]);
                push({Op::Jump, 0, split, 0});
                prog_[split].y = here();
                return;
            }
            case RxNode::Kind::Plus: {
                uint32_t start = here();
                emit(node.kids[0]);
                push({Op::Split, 0, start, here() + 1});
                return;
            }
            case RxNode::Kind::Opt: {
                uint32_t split = push({Op::Split, 0, here() + 1, 0});
                emit(node.kids[0]);
                prog_[split].y = here();
                return;
            }
        }
    }

    uint32_t push(Regex::Inst inst) {
        prog_.push_back(inst);
        return here() - 1;
    }

private:
    uint32_t here() const { return static_cast<uint32_t>(prog_.size()); }

    const std::vector<RxNode>& nodes_;
    std::vector<Regex::Inst>& prog_;
};

}  // namespace

Result<Regex, std::string> Regex::parse(std::string_view pattern) {
    Regex rx;
    std::vector<RxNode> nodes;
    RxParser parser(code_points(pattern), nodes, rx.classes_);
    NodeResult root = parser.alt();
    if (!root) return err(std::move(root.error()));
    if (parser.cursor() < parser.pattern().size()) {
        // Only a ")" stops the top-level alternation early.
        return err(fmt("regex {}: unexpected {} at {}", quoted(pattern), quoted_char(parser.pattern()[parser.cursor()]),
                       parser.cursor()));
    }
    rx.source_ = std::string(pattern);
    RegexCompiler compiler(nodes, rx.prog_);
    compiler.emit(root.value());
    compiler.push({Inst::Op::Match, 0, 0, 0});
    return rx;
}

}  // namespace quarn
