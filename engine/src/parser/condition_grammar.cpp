// The condition grammar: everything between `when` and `then`, and the
// constraint slots that query bodies reuse.
#include <array>

#include "parser/grammar.h"
#include "parser/parser.h"
#include "common/internal_error.h"
#include "common/text.h"

namespace quarn {

namespace {

std::string nesting_message() { return fmt("conditions nested deeper than {} levels", kMaxNesting); }

bool declares_bind(const Pattern& p) {
    for (const Constraint& c : p.constraints)
        if (c.kind == Constraint::Kind::Bind) return true;
    return false;
}

bool binds_var(const Pattern& p, const std::string& var) {
    for (const Constraint& c : p.constraints)
        if (c.kind == Constraint::Kind::Bind && c.var == var) return true;
    return false;
}

// Sources of accumulate, groupby and collect must read facts of a type: a
// `?query` call there would otherwise be taken for a fact type of that name.
bool is_plain_unbound_source(const Pattern& p) {
    return !p.acc && !p.query_args && p.ce == CeKind::Positive && !p.binding;
}

std::optional<AccFunc> acc_func_from_name(std::string_view name) {
    struct Entry {
        std::string_view name;
        AccFunc func;
    };
    static constexpr std::array<Entry, 7> kFuncs = {{
        {"sum", AccFunc::Sum},
        {"count", AccFunc::Count},
        {"average", AccFunc::Average},
        {"min", AccFunc::Min},
        {"max", AccFunc::Max},
        {"collectList", AccFunc::CollectList},
        {"collectSet", AccFunc::CollectSet},
    }};
    for (const Entry& e : kFuncs)
        if (e.name == name) return e.func;
    return std::nullopt;
}

// Parameter counts each temporal operator accepts; a count of 0 means no
// bracket list at all.
bool accepts_param_count(AllenOp op, size_t n) {
    switch (op) {
        case AllenOp::After:
        case AllenOp::Before: return n == 2;
        case AllenOp::Coincides:
        case AllenOp::Overlaps:
        case AllenOp::OverlappedBy: return n <= 2;
        case AllenOp::Meets:
        case AllenOp::MetBy:
        case AllenOp::Starts:
        case AllenOp::StartedBy:
        case AllenOp::Finishes:
        case AllenOp::FinishedBy: return n <= 1;
        case AllenOp::During:
        case AllenOp::Includes: return n <= 2 || n == 4;
    }
    return false;
}

std::optional<CmpOp> cmp_op_from_sym(const Tok& t) {
    if (t.kind != Tok::Kind::Sym) return std::nullopt;
    if (t.text == "==") return CmpOp::Eq;
    if (t.text == "!=") return CmpOp::Ne;
    if (t.text == "<") return CmpOp::Lt;
    if (t.text == "<=") return CmpOp::Le;
    if (t.text == ">") return CmpOp::Gt;
    if (t.text == ">=") return CmpOp::Ge;
    return std::nullopt;
}

// A constraint expression as the constraint it stands for on its own: leaves
// keep their kind, composite expressions become a Group.
Constraint to_constraint(CExpr e) {
    Constraint c;
    switch (e.kind) {
        case CExpr::Kind::Cmp:
            c.kind = Constraint::Kind::Cmp;
            c.field = std::move(e.field);
            c.op = e.op;
            c.rhs = std::move(e.rhs);
            return c;
        case CExpr::Kind::Matches:
            c.kind = Constraint::Kind::Matches;
            c.field = std::move(e.field);
            c.regex = std::move(e.regex);
            return c;
        case CExpr::Kind::Contains:
            c.kind = Constraint::Kind::Contains;
            c.field = std::move(e.field);
            c.text = std::move(e.text);
            return c;
        case CExpr::Kind::In:
            c.kind = Constraint::Kind::In;
            c.field = std::move(e.field);
            c.list = std::move(e.list);
            c.negated = e.negated;
            return c;
        case CExpr::Kind::And:
        case CExpr::Kind::Or:
        case CExpr::Kind::Not:
            c.kind = Constraint::Kind::Group;
            c.group = std::move(e);
            return c;
    }
    unreachable("constraint expression kind out of range");
}

}  // namespace

PResult<CeNode> Parser::lhs_or() { return lhs_chain("or", CeNode::Kind::Or, &Parser::lhs_and); }

PResult<CeNode> Parser::lhs_and() { return lhs_chain("and", CeNode::Kind::And, &Parser::lhs_unary); }

// `element (word element)*`: one element stands alone; two or more become one
// node of `kind` holding them in order.
PResult<CeNode> Parser::lhs_chain(std::string_view word, CeNode::Kind kind, PResult<CeNode> (Parser::*element)()) {
    QUARN_TRY(CeNode first, (this->*element)());
    if (!at_kw(word)) return first;
    std::vector<CeNode> items;
    items.push_back(std::move(first));
    while (at_kw(word)) {
        ++index_;
        QUARN_TRY(CeNode item, (this->*element)());
        items.push_back(std::move(item));
    }
    return CeNode::node(kind, std::move(items));
}

PResult<CeNode> Parser::lhs_unary() {
    NestingGuard guard(*this);
    if (guard.too_deep()) return err(perr(nesting_message()));
    const Tok* t = peek();
    const Tok* t1 = peek(1);
    if (t && (t->is_ident("not") || t->is_ident("exists")) && t1 && t1->is_sym("(")) {
        CeNode::Kind kind = t->is_ident("not") ? CeNode::Kind::Not : CeNode::Kind::Exists;
        index_ += 2;
        QUARN_TRY(CeNode inner, lhs_or());
        QUARN_CHECK(expect_sym(")"));
        std::vector<CeNode> child;
        child.push_back(std::move(inner));
        return CeNode::node(kind, std::move(child));
    }
    if (t && t->is_sym("(") && t1 && (t1->is_ident("or") || t1->is_ident("and"))) {
        const std::string word = t1->text;
        index_ += 2;
        std::vector<CeNode> items;
        while (!at_sym(")")) {
            QUARN_TRY(CeNode item, lhs_unary());
            items.push_back(std::move(item));
        }
        QUARN_CHECK(expect_sym(")"));
        if (items.size() < 2) return err(perr(fmt("prefix ({} \u2026) needs >= 2 operands", word)));
        return CeNode::node(word == "or" ? CeNode::Kind::Or : CeNode::Kind::And, std::move(items));
    }
    if (t && t->is_sym("(")) {
        ++index_;
        QUARN_TRY(CeNode inner, lhs_or());
        QUARN_CHECK(expect_sym(")"));
        return inner;
    }
    QUARN_TRY(Pattern p, pattern());
    return CeNode::leaf(std::move(p));
}

PResult<Pattern> Parser::pattern() {
    NestingGuard guard(*this);
    if (guard.too_deep()) return err(perr(nesting_message()));
    CeKind ce = CeKind::Positive;
    if (at_kw("not")) {
        ce = CeKind::Not;
        ++index_;
    } else if (at_kw("exists")) {
        ce = CeKind::Exists;
        ++index_;
    }
    const bool negated = ce != CeKind::Positive;
    if (negated && at_sym("("))
        return err(perr("CE groups inside not/exists are out of subset (P1c pending; bare `not T(...)` / "
                        "`exists T(...)` only, D-031)"));
    if (at_kw("groupby")) {
        if (negated) return err(perr("not/exists over groupby not in subset"));
        return groupby_pattern();
    }
    if (at_kw("accumulate")) {
        if (negated) return err(perr("not/exists over accumulate not in subset"));
        return accumulate_pattern();
    }
    if (at_sym("?")) {
        if (negated) return err(perr("?query CEs inside not/exists are out of subset (D-057)"));
        return query_call(ce);
    }
    Pattern p;
    p.ce = ce;
    QUARN_TRY(std::string first, ident());
    if (first[0] == '$') {
        p.binding = std::move(first);
        QUARN_CHECK(expect_sym(":"));
        QUARN_TRY(p.type_name, ident());
    } else {
        p.type_name = std::move(first);
    }
    QUARN_CHECK(expect_sym("("));
    if (at_sym(")")) {
        ++index_;
    } else {
        for (;;) {
            QUARN_TRY(std::vector<Constraint> slot, constraint_slot());
            for (Constraint& c : slot) p.constraints.push_back(std::move(c));
            QUARN_TRY(Tok sep, next());
            if (sep.is_sym(",")) continue;
            if (sep.is_sym(")")) break;
            return err(err_consumed(fmt("expected ',' or ')', got {}", display(sep))));
        }
    }
    if (at_kw("from")) {
        ++index_;
        if (at_kw("entry-point")) {
            ++index_;
            QUARN_TRY(Tok name, next());
            if (name.kind != Tok::Kind::StrLit)
                return err(err_consumed(fmt("entry-point name must be a string literal, got {}", display(name))));
            p.entry_point = std::move(name.text);
        } else if (at_kw("collect")) {
            ++index_;
            return collect_source(std::move(p));
        } else {
            return err(perr("`from` is only supported as `from collect` or `from entry-point \"\u2026\"` (D-038, item D)"));
        }
    }
    if (negated && (p.binding || declares_bind(p))) return err(perr("bindings are not allowed in not/exists patterns"));
    return p;
}

PResult<Pattern> Parser::query_call(CeKind ce) {
    ++index_;  // '?'
    Pattern p;
    p.ce = ce;
    QUARN_TRY(p.type_name, ident());
    QUARN_CHECK(expect_sym("("));
    std::vector<QArg> args;
    if (at_sym(")")) {
        ++index_;
    } else {
        for (;;) {
            if (at_binding()) {
                QUARN_TRY(std::string var, ident());
                args.push_back(QArg::variable(std::move(var)));
            } else {
                QUARN_TRY(Literal lit, literal());
                args.push_back(QArg::literal(std::move(lit)));
            }
            QUARN_TRY(Tok sep, next());
            if (sep.is_sym(",")) continue;
            if (sep.is_sym(";")) break;
            return err(err_consumed(fmt("expected ',' or ';', got {}", display(sep))));
        }
        QUARN_CHECK(expect_sym(")"));
    }
    p.query_args = std::move(args);
    return p;
}

PResult<Pattern> Parser::collect_source(Pattern outer) {
    if (outer.ce != CeKind::Positive) return err(perr("not/exists over collect not in subset"));
    if (outer.type_name != "List" && outer.type_name != "ArrayList" && outer.type_name != "Collection")
        return err(perr(fmt("collect result pattern must be List/ArrayList/Collection, got {}", outer.type_name)));
    if (!outer.constraints.empty()) return err(perr("constraints on the collect result pattern are not in subset"));
    if (!outer.binding) return err(perr("collect result must be bound (`$l : List()`)"));
    QUARN_CHECK(expect_sym("("));
    QUARN_TRY(Pattern src, pattern());
    QUARN_CHECK(expect_sym(")"));
    if (src.acc || src.query_args || src.ce != CeKind::Positive)
        return err(perr("collect source must be a plain pattern"));
    if (src.binding || declares_bind(src)) return err(perr("bindings inside a collect source are not in subset"));
    for (const Constraint& c : src.constraints)
        if (c.kind == Constraint::Kind::Cmp && c.rhs.kind == Operand::Kind::Var)
            return err(perr("variable references inside a collect source are not in subset (subnetwork, D-041)"));
    Pattern p;
    p.type_name = std::move(src.type_name);
    p.constraints = std::move(src.constraints);
    p.acc = AccSpec{AccFunc::Collect, std::move(*outer.binding), std::nullopt, std::nullopt, std::nullopt};
    return p;
}

PResult<Pattern> Parser::accumulate_pattern() {
    ++index_;  // accumulate
    QUARN_CHECK(expect_sym("("));
    QUARN_TRY(Pattern src, pattern());
    if (!is_plain_unbound_source(src)) return err(perr("accumulate source must be a plain unbound pattern"));
    std::optional<int64_t> window_ms;
    if (at_kw("over")) {
        ++index_;
        QUARN_CHECK(expect_kw("window"));
        QUARN_CHECK(expect_sym(":"));
        QUARN_TRY(std::string kind, ident());
        QUARN_CHECK(expect_sym("("));
        if (kind == "length")
            return err(perr("window:length is a follow-on slab (D-110); only window:time is in this slab"));
        if (kind != "time") return err(perr(fmt("unknown window kind {} (window:time only)", quoted(kind))));
        QUARN_TRY(window_ms, duration_ms());
        QUARN_CHECK(expect_sym(")"));
    }
    // A clause after the window names the entry point even when the source
    // named one too: it is the later of the two.
    std::optional<std::string> entry_point = std::move(src.entry_point);
    if (at_kw("from")) {
        ++index_;
        QUARN_CHECK(expect_kw("entry-point"));
        QUARN_TRY(Tok name, next());
        if (name.kind != Tok::Kind::StrLit)
            return err(err_consumed(fmt("entry-point name must be a string literal, got {}", display(name))));
        entry_point = std::move(name.text);
    }
    QUARN_CHECK(expect_sym(";"));
    QUARN_TRY(std::string result, dollar_ident());
    QUARN_CHECK(expect_sym(":"));
    QUARN_TRY(std::string fname, ident());
    std::optional<AccFunc> func = acc_func_from_name(fname);
    if (!func)
        return err(perr(fmt("accumulate function {} not in subset (built-ins only: sum/count/average/min/max)",
                            quoted(fname))));
    QUARN_CHECK(expect_sym("("));
    std::optional<std::string> arg;
    if (at_sym(")")) {
        ++index_;
    } else {
        QUARN_TRY(arg, dollar_ident());
        QUARN_CHECK(expect_sym(")"));
    }
    if (at_sym(",")) return err(perr("multi-function accumulate not in subset"));
    QUARN_CHECK(expect_sym(")"));
    if (arg && !binds_var(src, *arg)) return err(perr(fmt("unknown accumulate argument {}", *arg)));
    if (!arg && *func != AccFunc::Count) return err(perr(fmt("{} requires a bound argument", fname)));
    Pattern p;
    p.type_name = std::move(src.type_name);
    p.constraints = std::move(src.constraints);
    p.entry_point = std::move(entry_point);
    p.acc = AccSpec{*func, std::move(result), std::move(arg), std::nullopt, window_ms};
    return p;
}

PResult<Pattern> Parser::groupby_pattern() {
    ++index_;  // groupby
    QUARN_CHECK(expect_sym("("));
    QUARN_TRY(Pattern src, pattern());
    if (!is_plain_unbound_source(src)) return err(perr("groupby source must be a plain unbound pattern"));
    QUARN_CHECK(expect_sym(";"));
    QUARN_TRY(std::string key, dollar_ident());
    if (!binds_var(src, key))
        return err(perr(fmt("groupby key {} must be a binding declared in the source pattern", key)));
    QUARN_CHECK(expect_sym(";"));
    QUARN_TRY(std::string result, dollar_ident());
    QUARN_CHECK(expect_sym(":"));
    QUARN_TRY(std::string fname, ident());
    std::optional<AccFunc> func = acc_func_from_name(fname);
    if (!func) return err(perr(fmt("groupby function {} not in subset", quoted(fname))));
    QUARN_CHECK(expect_sym("("));
    std::optional<std::string> arg;
    if (at_sym(")")) {
        ++index_;
    } else {
        QUARN_TRY(arg, dollar_ident());
        QUARN_CHECK(expect_sym(")"));
    }
    QUARN_CHECK(expect_sym(")"));
    if (arg && !binds_var(src, *arg))
        return err(perr(fmt("groupby argument {} must be a binding declared in the source pattern", *arg)));
    if (!arg && *func != AccFunc::Count) return err(perr(fmt("{} requires a bound argument", fname)));
    Pattern p;
    p.type_name = std::move(src.type_name);
    p.constraints = std::move(src.constraints);
    p.entry_point = std::move(src.entry_point);
    p.acc = AccSpec{*func, std::move(result), std::move(arg), std::move(key), std::nullopt};
    return p;
}

PResult<std::vector<Constraint>> Parser::constraint_slot() {
    std::vector<Constraint> out;
    std::optional<std::string> prev_field;
    if (at_binding()) {
        Constraint bind;
        bind.kind = Constraint::Kind::Bind;
        QUARN_TRY(bind.var, ident());
        QUARN_CHECK(expect_sym(":"));
        QUARN_TRY(bind.field, ident());
        prev_field = bind.field;
        out.push_back(std::move(bind));
        if (at_sym(",") || at_sym(")")) return out;
    }
    if (at_kw("this")) {
        ++index_;
        QUARN_TRY(std::string word, ident());
        std::optional<AllenOp> op = allen_op_from_keyword(word);
        if (!op) return err(perr(fmt("expected a temporal operator following 'this', got {}", word)));
        Constraint c;
        c.kind = Constraint::Kind::Temporal;
        c.allen = *op;
        if (at_sym("[")) {
            ++index_;
            for (;;) {
                QUARN_TRY(int64_t ms, duration_ms());
                c.params.push_back(ms);
                if (at_sym(",")) {
                    ++index_;
                    continue;
                }
                QUARN_CHECK(expect_sym("]"));
                break;
            }
        }
        if (!accepts_param_count(*op, c.params.size()))
            return err(perr(fmt("operator {} does not accept {} parameter(s)", word, c.params.size())));
        QUARN_TRY(c.var, dollar_ident());
        out.push_back(std::move(c));
        return out;
    }
    QUARN_TRY(CExpr e, cexpr_or(prev_field));
    if (e.kind == CExpr::Kind::And) {
        for (CExpr& part : e.children) out.push_back(to_constraint(std::move(part)));
    } else {
        out.push_back(to_constraint(std::move(e)));
    }
    return out;
}

PResult<CExpr> Parser::cexpr_or(std::optional<std::string>& prev_field) {
    return cexpr_chain(prev_field, "||", CExpr::Kind::Or, &Parser::cexpr_and);
}

PResult<CExpr> Parser::cexpr_and(std::optional<std::string>& prev_field) {
    return cexpr_chain(prev_field, "&&", CExpr::Kind::And, &Parser::cexpr_unary);
}

// `operand (sym operand)*`: one operand stands alone; two or more become one
// node of `kind` holding them in order.
PResult<CExpr> Parser::cexpr_chain(std::optional<std::string>& prev_field, std::string_view sym, CExpr::Kind kind,
                                   PResult<CExpr> (Parser::*operand)(std::optional<std::string>&)) {
    QUARN_TRY(CExpr first, (this->*operand)(prev_field));
    if (!at_sym(sym)) return first;
    CExpr out;
    out.kind = kind;
    out.children.push_back(std::move(first));
    while (at_sym(sym)) {
        ++index_;
        QUARN_TRY(CExpr e, (this->*operand)(prev_field));
        out.children.push_back(std::move(e));
    }
    return out;
}

PResult<CExpr> Parser::cexpr_unary(std::optional<std::string>& prev_field) {
    NestingGuard guard(*this);
    if (guard.too_deep()) return err(perr(nesting_message()));
    if (at_sym("(")) {
        ++index_;
        QUARN_TRY(CExpr inner, cexpr_or(prev_field));
        QUARN_CHECK(expect_sym(")"));
        return inner;
    }
    if (at_sym("!")) {
        ++index_;
        QUARN_CHECK(expect_sym("("));
        QUARN_TRY(CExpr inner, cexpr_or(prev_field));
        QUARN_CHECK(expect_sym(")"));
        CExpr out;
        out.kind = CExpr::Kind::Not;
        out.children.push_back(std::move(inner));
        return out;
    }
    const Tok* t = peek();
    const Tok* t1 = peek(1);
    const bool restriction_op =
        t && (t->is_sym("<") || t->is_sym(">") || t->is_sym("==") || t->is_sym("!=") || t->is_sym("<=") ||
              t->is_sym(">="));
    const bool keyword_restriction =
        t && t1 &&
        ((t->is_ident("in") && t1->is_sym("(")) ||
         ((t->is_ident("matches") || t->is_ident("contains")) && t1->kind == Tok::Kind::StrLit) ||
         (t->is_ident("not") && t1->is_ident("in")));
    CExpr out;
    if (restriction_op) {
        if (!prev_field) return err(perr("abbreviated restriction with no preceding field"));
        out.field = *prev_field;
    } else if (keyword_restriction) {
        if (!prev_field) return err(perr("keyword restriction with no preceding field"));
        out.field = *prev_field;
    } else if (at_binding()) {
        return err(perr("bindings inside constraint groups are out of subset (D-073)"));
    } else {
        QUARN_TRY(out.field, ident());
        prev_field = out.field;
    }
    if (at_kw("in") || at_kw("not")) {
        out.negated = at_kw("not");
        ++index_;
        if (out.negated) QUARN_CHECK(expect_kw("in"));
        out.kind = CExpr::Kind::In;
        QUARN_TRY(out.list, in_list());
        return out;
    }
    if (at_kw("matches") || at_kw("contains")) {
        const bool is_matches = at_kw("matches");
        ++index_;
        QUARN_TRY(Tok s, next());
        if (s.kind != Tok::Kind::StrLit) {
            return err(perr(is_matches ? fmt("matches requires a literal string regex, got {}", display(s))
                                       : fmt("contains requires a literal string, got {}", display(s))));
        }
        out.kind = is_matches ? CExpr::Kind::Matches : CExpr::Kind::Contains;
        (is_matches ? out.regex : out.text) = std::move(s.text);
        return out;
    }
    QUARN_TRY(Tok op_tok, next());
    std::optional<CmpOp> op = cmp_op_from_sym(op_tok);
    if (!op) return err(err_consumed(fmt("expected comparison operator, got {}", display(op_tok))));
    out.kind = CExpr::Kind::Cmp;
    out.op = *op;
    if (at_binding()) {
        QUARN_TRY(std::string var, ident());
        out.rhs = Operand::variable(std::move(var));
    } else {
        QUARN_TRY(Literal lit, literal());
        out.rhs = Operand::literal(std::move(lit));
    }
    return out;
}

PResult<std::vector<Literal>> Parser::in_list() {
    QUARN_CHECK(expect_sym("("));
    std::vector<Literal> list;
    for (;;) {
        QUARN_TRY(Literal lit, literal());
        list.push_back(std::move(lit));
        QUARN_TRY(Tok sep, next());
        if (sep.is_sym(",")) continue;
        if (sep.is_sym(")")) break;
        return err(err_consumed(fmt("expected ',' or ')', got {}", display(sep))));
    }
    return list;
}

}  // namespace quarn
