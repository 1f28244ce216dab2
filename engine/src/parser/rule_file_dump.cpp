// A stable text of a parsed rule file: one node per line, children indented by
// two blanks. Values appear in their debug forms (I64(5), Str("x")), binding
// names as written, so a dump pins every field of the tree.
#include <string>

#include "parser/parser.h"
#include "store/debug_form.h"
#include "common/internal_error.h"
#include "common/text.h"

namespace quarn {

namespace {

std::string opt_text(const std::optional<std::string>& s) { return s ? fmt("Some({})", quoted(*s)) : "None"; }

std::string literal_list(const std::vector<Literal>& list) {
    std::string out = "[";
    for (size_t i = 0; i < list.size(); ++i) out += (i ? ", " : "") + debug(list[i]);
    return out + "]";
}

std::string operand_text(const Operand& o) { return o.kind == Operand::Kind::Var ? o.var : debug(o.lit); }

std::string qarg_text(const QArg& a) {
    return a.kind == QArg::Kind::Var ? fmt("Var({})", a.var) : fmt("Lit({})", debug(a.lit));
}

std::string qarg_list(const std::vector<QArg>& args) {
    std::string out = "[";
    for (size_t i = 0; i < args.size(); ++i) out += (i ? ", " : "") + qarg_text(args[i]);
    return out + "]";
}

std::string cexpr_text(const CExpr& e) {
    switch (e.kind) {
        case CExpr::Kind::Cmp: return fmt("Cmp({} {} {})", e.field, debug(e.op), operand_text(e.rhs));
        case CExpr::Kind::Matches: return fmt("Matches({} {})", e.field, quoted(e.regex));
        case CExpr::Kind::Contains: return fmt("Contains({} {})", e.field, quoted(e.text));
        case CExpr::Kind::In: return fmt("{}({} {})", e.negated ? "NotIn" : "In", e.field, literal_list(e.list));
        case CExpr::Kind::And:
        case CExpr::Kind::Or: {
            std::string out = e.kind == CExpr::Kind::And ? "And[" : "Or[";
            for (size_t i = 0; i < e.children.size(); ++i) out += (i ? ", " : "") + cexpr_text(e.children[i]);
            return out + "]";
        }
        case CExpr::Kind::Not: return fmt("Not({})", cexpr_text(e.children.at(0)));
    }
    unreachable("constraint expression kind out of range");
}

std::string constraint_text(const Constraint& c) {
    switch (c.kind) {
        case Constraint::Kind::Bind: return fmt("Bind {} : {}", c.var, c.field);
        case Constraint::Kind::Cmp: return fmt("Cmp {} {} {}", c.field, debug(c.op), operand_text(c.rhs));
        case Constraint::Kind::Matches: return fmt("Matches {} {}", c.field, quoted(c.regex));
        case Constraint::Kind::Contains: return fmt("Contains {} {}", c.field, quoted(c.text));
        case Constraint::Kind::In:
            return fmt("{} {} {}", c.negated ? "NotIn" : "In", c.field, literal_list(c.list));
        case Constraint::Kind::Temporal: {
            std::string params = "[";
            for (size_t i = 0; i < c.params.size(); ++i) params += fmt("{}{}", i ? ", " : "", c.params[i]);
            return fmt("Temporal {} {}] {}", debug(c.allen), params, c.var);
        }
        case Constraint::Kind::Group: return fmt("Group {}", cexpr_text(c.group));
    }
    unreachable("constraint kind out of range");
}

void dump_pattern(std::string& out, const Pattern& p, size_t indent) {
    std::string line(indent, ' ');
    line += debug(p.ce);
    if (p.group) {
        line += fmt(" group[{}]", p.group->size());
    } else if (p.query_args) {
        line += fmt(" ?{}{}", p.type_name, qarg_list(*p.query_args));
    } else {
        if (p.binding) line += fmt(" {} :", *p.binding);
        line += " " + p.type_name;
    }
    if (p.entry_point) line += fmt(" from entry-point {}", quoted(*p.entry_point));
    if (p.acc) {
        const AccSpec& a = *p.acc;
        line += fmt(" acc {{ func: {}, result: {}, arg: {}, key: {}, window_ms: {} }}", debug(a.func), a.result,
                    opt_text(a.arg), opt_text(a.key), a.window_ms ? fmt("Some({})", *a.window_ms) : "None");
    }
    out += line + "\n";
    for (const Constraint& c : p.constraints) out += std::string(indent + 2, ' ') + constraint_text(c) + "\n";
    if (p.group)
        for (const Pattern& m : *p.group) dump_pattern(out, m, indent + 2);
}

std::string rhs_arg_text(const RhsArg& a) {
    switch (a.kind) {
        case RhsArg::Kind::Lit: return debug(a.lit);
        case RhsArg::Kind::Var: return fmt("Var({})", a.var);
        case RhsArg::Kind::Getter: return fmt("Getter({}, {})", a.var, a.field);
    }
    unreachable("RHS argument kind out of range");
}

std::string action_text(const Action& a) {
    switch (a.kind) {
        case Action::Kind::Insert:
        case Action::Kind::InsertLogical: {
            std::string out = fmt("{}({}", a.kind == Action::Kind::Insert ? "Insert" : "InsertLogical", a.type_name);
            for (const RhsArg& arg : a.args) out += ", " + rhs_arg_text(arg);
            return out + ")";
        }
        case Action::Kind::Setter: return fmt("Setter({}, {}, {})", a.var, a.field, rhs_arg_text(a.value));
        case Action::Kind::Update: return fmt("Update({})", a.var);
        case Action::Kind::Delete: return fmt("Delete({})", a.var);
        case Action::Kind::SetFocus: return fmt("SetFocus({})", quoted(a.group));
    }
    unreachable("action kind out of range");
}

std::string sal_term_text(const SalTerm& t) {
    return t.kind == SalTerm::Kind::Var ? t.var : fmt("{}", t.value);
}

std::string salience_text(const SalienceSpec& s) {
    if (s.kind == SalienceSpec::Kind::Const) return fmt("Const({})", s.value);
    if (!s.op) return fmt("Expr({})", sal_term_text(s.first));
    return fmt("Expr({} {} {})", sal_term_text(s.first), *s.op, sal_term_text(s.second));
}

}  // namespace

std::string dump_rule_file(const RuleFile& file) {
    std::string out;
    for (const RuleDef& r : file.rules) {
        out += fmt("rule {} ordinal={} decl_seq={} salience={} agenda_group={} no_loop={}\n", quoted(r.name), r.ordinal,
                   r.decl_seq, salience_text(r.salience), opt_text(r.agenda_group), r.no_loop);
        out += "  when\n";
        for (const Pattern& p : r.lhs) dump_pattern(out, p, 4);
        out += "  then\n";
        for (const Action& a : r.rhs) out += "    " + action_text(a) + "\n";
    }
    for (const QueryDef& q : file.queries) {
        out += fmt("query {} decl_seq={} params=[", quoted(q.name), q.decl_seq);
        for (size_t i = 0; i < q.params.size(); ++i)
            out += fmt("{}{} {}", i ? ", " : "", q.params[i].type_name, q.params[i].name);
        out += "]\n";
        for (size_t b = 0; b < q.branches.size(); ++b) {
            out += fmt("  branch {}\n", b);
            for (const QElem& e : q.branches[b]) {
                std::string line = "    ";
                if (e.binding) line += *e.binding + " : ";
                line += e.name;
                if (e.kind == QElem::Kind::Positional) line += " positional " + qarg_list(e.args);
                out += line + "\n";
                for (const Constraint& c : e.constraints) out += "      " + constraint_text(c) + "\n";
            }
        }
    }
    return out;
}

}  // namespace quarn
