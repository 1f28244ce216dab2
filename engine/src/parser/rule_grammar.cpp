// The top level of the rule language: rule and query declarations, rule
// attributes and salience, right-hand-side statements and query bodies.
#include "parser/grammar.h"
#include "parser/parser.h"
#include "store/debug_form.h"
#include "common/hash.h"
#include "common/text.h"

namespace quarn {

namespace {

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lower_first(std::string s) {
    if (!s.empty()) s[0] = ascii_lower(s[0]);
    return s;
}

bool starts_with(const std::string& s, std::string_view prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// A binding may be declared again in another or-branch of the same rule, but
// only for the same type; within one branch never.
PResult<void> check_duplicate_bindings(const std::string& rule, const std::vector<std::vector<Pattern>>& branches,
                                       const Parser& parser) {
    HashMap<std::string, std::string> type_of_binding;
    auto visit = [&](const Pattern& p, HashSet<std::string>& seen) -> PResult<void> {
        if (!p.binding) return {};
        const std::string& b = *p.binding;
        auto fail = [&] {
            return parser.perr(fmt("duplicate declaration for variable '{}' in the rule '{}' (D-070/or_a26)", b, rule));
        };
        if (!seen.insert(b).second) return err(fail());
        auto [it, fresh] = type_of_binding.try_emplace(b, p.type_name);
        if (!fresh) {
            const bool differs = it->second != p.type_name;
            it->second = p.type_name;
            if (differs) return err(fail());
        }
        return {};
    };
    for (const std::vector<Pattern>& branch : branches) {
        HashSet<std::string> seen;
        for (const Pattern& p : branch) {
            QUARN_CHECK(visit(p, seen));
            if (p.group)
                for (const Pattern& m : *p.group) QUARN_CHECK(visit(m, seen));
        }
    }
    return {};
}

}  // namespace

PResult<std::string> setter_field(const std::string& method) {
    if (method.size() < 4 || !starts_with(method, "set"))
        return err(ParseError{fmt("expected setter, got {}", method), std::nullopt});
    return lower_first(method.substr(3));
}

PResult<RuleFile> Parser::file() {
    RuleFile out;
    while (!at_end()) {
        if (at_kw("query")) {
            QUARN_TRY(QueryDef q, query_decl());
            out.queries.push_back(std::move(q));
        } else {
            QUARN_TRY(std::vector<RuleDef> rules, rule_decl());
            for (RuleDef& r : rules) out.rules.push_back(std::move(r));
        }
    }
    return out;
}

PResult<RuleDef> Parser::rule_head() {
    QUARN_CHECK(expect_kw("rule"));
    RuleDef r;
    QUARN_TRY(Tok name, next());
    if (name.kind != Tok::Kind::Ident && name.kind != Tok::Kind::StrLit)
        return err(err_consumed(fmt("expected rule name, got {}", display(name))));
    r.name = std::move(name.text);
    while (const Tok* t = peek()) {
        if (!t->is_ident()) break;
        if (t->text == "salience") {
            ++index_;
            QUARN_TRY(r.salience, salience());
        } else if (t->text == "agenda-group") {
            ++index_;
            QUARN_TRY(Tok g, next());
            if (g.kind != Tok::Kind::StrLit)
                return err(err_consumed(fmt("agenda-group takes a string name, got {}", debug(g))));
            r.agenda_group = std::move(g.text);
        } else if (t->text == "no-loop") {
            ++index_;
            r.no_loop = true;
            if (at_kw("false")) {
                ++index_;
                r.no_loop = false;
            } else if (at_kw("true")) {
                ++index_;
            }
        } else {
            break;
        }
    }
    if (!at_kw("when")) return err(perr(fmt("expected rule attribute or 'when', got {}", current_debug_text())));
    ++index_;
    return r;
}

PResult<std::vector<RuleDef>> Parser::rule_decl() {
    QUARN_TRY(RuleDef head, rule_head());
    std::vector<CeNode> elements;
    while (!at_kw("then")) {
        QUARN_TRY(CeNode e, lhs_or());
        elements.push_back(std::move(e));
    }
    QUARN_CHECK(expect_kw("then"));
    QUARN_TRY(head.rhs, statements());
    QUARN_CHECK(expect_kw("end"));
    QUARN_TRY(auto branches, condition_branches(CeNode::node(CeNode::Kind::And, std::move(elements)), head));
    QUARN_CHECK(check_duplicate_bindings(head.name, branches, *this));
    std::vector<RuleDef> out;
    out.reserve(branches.size());
    for (std::vector<Pattern>& lhs : branches) {
        RuleDef r = head;
        r.lhs = std::move(lhs);
        r.decl_seq = decl_counter_++;
        r.ordinal = rule_counter_;
        out.push_back(std::move(r));
    }
    ++rule_counter_;
    return out;
}

PResult<SalienceSpec> Parser::salience() {
    SalienceSpec s;
    const bool parenthesised = at_sym("(");
    if (at_binding() || parenthesised) {
        if (parenthesised) ++index_;
        s.kind = SalienceSpec::Kind::Expr;
        QUARN_TRY(s.first, salience_term());
        if (at_sym("+") || at_sym("-") || at_sym("*")) {
            s.op = peek()->text[0];
            ++index_;
            QUARN_TRY(s.second, salience_term());
        }
        if (parenthesised) QUARN_CHECK(expect_sym(")"));
        return s;
    }
    QUARN_TRY(Literal lit, literal());
    if (lit.tag != LiteralTag::I64)
        return err(perr(fmt("salience must be an int or (expr), got {}", debug(lit))));
    s.value = lit.i;
    return s;
}

PResult<SalTerm> Parser::salience_term() {
    SalTerm t;
    if (at_binding()) {
        t.kind = SalTerm::Kind::Var;
        QUARN_TRY(t.var, dollar_ident());
        return t;
    }
    const Tok* cur = peek();
    if (cur && (cur->kind == Tok::Kind::IntLit || cur->is_sym("-"))) {
        QUARN_TRY(Literal lit, literal());
        if (lit.tag != LiteralTag::I64)
            return err(perr(fmt("salience terms are int literals or bindings, got {}", debug(lit))));
        t.value = lit.i;
        return t;
    }
    return err(perr(fmt("salience terms are int literals or bindings, got {}", current_debug_text())));
}

PResult<std::vector<Action>> Parser::statements() {
    std::vector<Action> out;
    while (!at_kw("end")) QUARN_CHECK(statement(out));
    return out;
}

PResult<Action> Parser::insert_statement(Action::Kind kind) {
    ++index_;  // insert / insertLogical
    Action a;
    a.kind = kind;
    QUARN_CHECK(expect_sym("("));
    QUARN_CHECK(expect_kw("new"));
    QUARN_TRY(a.type_name, ident());
    QUARN_CHECK(expect_sym("("));
    if (at_sym(")")) {
        ++index_;
    } else {
        for (;;) {
            QUARN_TRY(RhsArg arg, rhs_arg());
            a.args.push_back(std::move(arg));
            QUARN_TRY(Tok sep, next());
            if (sep.is_sym(",")) continue;
            if (sep.is_sym(")")) break;
            return err(err_consumed(fmt("expected ',' or ')', got {}", display(sep))));
        }
    }
    QUARN_CHECK(expect_sym(")"));
    QUARN_CHECK(expect_sym(";"));
    return a;
}

PResult<void> Parser::statement(std::vector<Action>& out) {
    const Tok* t = peek();
    if (!t || !t->is_ident())
        return err(perr(fmt("expected RHS statement, got {}", current_debug_text())));
    const std::string word = t->text;
    if (word == "insert" || word == "insertLogical") {
        QUARN_TRY(Action a, insert_statement(word == "insert" ? Action::Kind::Insert : Action::Kind::InsertLogical));
        out.push_back(std::move(a));
        return {};
    }
    if (word == "update" || word == "delete" || word == "retract") {
        ++index_;
        Action a;
        a.kind = word == "update" ? Action::Kind::Update : Action::Kind::Delete;
        QUARN_CHECK(expect_sym("("));
        QUARN_TRY(a.var, dollar_ident());
        QUARN_CHECK(expect_sym(")"));
        QUARN_CHECK(expect_sym(";"));
        out.push_back(std::move(a));
        return {};
    }
    if (word == "modify") {
        ++index_;
        QUARN_CHECK(expect_sym("("));
        QUARN_TRY(std::string var, dollar_ident());
        QUARN_CHECK(expect_sym(")"));
        QUARN_CHECK(expect_sym("{"));
        if (at_sym("}")) {
            ++index_;
        } else {
            for (;;) {
                QUARN_TRY(std::string method, ident());
                Action a;
                a.kind = Action::Kind::Setter;
                a.var = var;
                QUARN_TRY(a.field, setter_field(method));
                QUARN_CHECK(expect_sym("("));
                QUARN_TRY(a.value, rhs_arg());
                QUARN_CHECK(expect_sym(")"));
                out.push_back(std::move(a));
                QUARN_TRY(Tok sep, next());
                if (sep.is_sym(",")) continue;
                if (sep.is_sym("}")) break;
                return err(err_consumed(fmt("expected ',' or '}}', got {}", display(sep))));
            }
        }
        Action update;
        update.kind = Action::Kind::Update;
        update.var = std::move(var);
        out.push_back(std::move(update));
        return {};
    }
    if (word == "engine") {
        ++index_;
        QUARN_CHECK(expect_sym("."));
        QUARN_TRY(std::string method, ident());
        if (method != "setFocus")
            return err(err_consumed(fmt("engine.{}: only setFocus is in the certified subset (D-106)", method)));
        QUARN_CHECK(expect_sym("("));
        QUARN_TRY(Tok g, next());
        if (g.kind != Tok::Kind::StrLit)
            return err(err_consumed(fmt("setFocus takes a string group name, got {}", debug(g))));
        QUARN_CHECK(expect_sym(")"));
        QUARN_CHECK(expect_sym(";"));
        Action a;
        a.kind = Action::Kind::SetFocus;
        a.group = std::move(g.text);
        out.push_back(std::move(a));
        return {};
    }
    if (t->is_binding()) {
        Action a;
        a.kind = Action::Kind::Setter;
        QUARN_TRY(a.var, ident());
        QUARN_CHECK(expect_sym("."));
        QUARN_TRY(std::string method, ident());
        QUARN_TRY(a.field, setter_field(method));
        QUARN_CHECK(expect_sym("("));
        QUARN_TRY(a.value, rhs_arg());
        QUARN_CHECK(expect_sym(")"));
        QUARN_CHECK(expect_sym(";"));
        out.push_back(std::move(a));
        return {};
    }
    return err(perr(fmt("expected RHS statement, got {}", current_debug_text())));
}

PResult<RhsArg> Parser::rhs_arg() {
    RhsArg a;
    if (!at_binding()) {
        a.kind = RhsArg::Kind::Lit;
        QUARN_TRY(a.lit, literal());
        return a;
    }
    QUARN_TRY(a.var, ident());
    if (!at_sym(".")) {
        a.kind = RhsArg::Kind::Var;
        return a;
    }
    ++index_;
    QUARN_TRY(std::string method, ident());
    QUARN_CHECK(expect_sym("("));
    QUARN_CHECK(expect_sym(")"));
    if (method.size() > 3 && starts_with(method, "get")) {
        a.field = lower_first(method.substr(3));
    } else if (method.size() > 2 && starts_with(method, "is")) {
        a.field = lower_first(method.substr(2));
    } else {
        return err(perr(fmt("unsupported method call .{}() (only getters)", method)));
    }
    a.kind = RhsArg::Kind::Getter;
    return a;
}

PResult<QueryDef> Parser::query_decl() {
    QUARN_CHECK(expect_kw("query"));
    QueryDef q;
    QUARN_TRY(Tok name, next());
    if (name.kind != Tok::Kind::Ident && name.kind != Tok::Kind::StrLit)
        return err(err_consumed(fmt("expected query name, got {}", display(name))));
    q.name = std::move(name.text);
    if (at_sym("(")) {
        ++index_;
        if (at_sym(")")) {
            ++index_;
        } else {
            for (;;) {
                QueryParam param;
                QUARN_TRY(param.type_name, ident());
                QUARN_TRY(param.name, dollar_ident());
                q.params.push_back(std::move(param));
                QUARN_TRY(Tok sep, next());
                if (sep.is_sym(",")) continue;
                if (sep.is_sym(")")) break;
                return err(err_consumed(fmt("expected ',' or ')', got {}", display(sep))));
            }
        }
    }
    QUARN_TRY(std::vector<QElem> first, qbranch());
    q.branches.push_back(std::move(first));
    while (at_kw("or")) {
        ++index_;
        QUARN_TRY(std::vector<QElem> branch, qbranch());
        q.branches.push_back(std::move(branch));
    }
    QUARN_CHECK(expect_kw("end"));
    q.decl_seq = decl_counter_++;
    return q;
}

PResult<std::vector<QElem>> Parser::qbranch() {
    std::vector<QElem> elems;
    if (at_sym("(")) {
        ++index_;
        for (;;) {
            QUARN_TRY(QElem e, qelem());
            elems.push_back(std::move(e));
            if (at_sym(")")) break;
            if (at_kw("and")) ++index_;
        }
        QUARN_CHECK(expect_sym(")"));
        return elems;
    }
    while (!at_kw("end") && !at_kw("or")) {
        QUARN_TRY(QElem e, qelem());
        elems.push_back(std::move(e));
    }
    if (elems.empty()) return err(perr("empty query branch"));
    return elems;
}

PResult<QElem> Parser::qelem() {
    QElem e;
    QUARN_TRY(std::string first, ident());
    if (first[0] == '$') {
        e.binding = std::move(first);
        QUARN_CHECK(expect_sym(":"));
        QUARN_TRY(e.name, ident());
    } else {
        e.name = std::move(first);
    }
    QUARN_CHECK(expect_sym("("));
    if (at_sym(")")) {
        ++index_;
        return e;
    }
    // An element is positional when a `;` appears at its top level before the
    // closing parenthesis.
    bool positional = false;
    int depth = 0;
    for (size_t k = index_; k < tokens_.size(); ++k) {
        const Tok& t = tokens_[k];
        if (t.is_sym("(")) {
            ++depth;
        } else if (t.is_sym(")")) {
            if (depth == 0) break;
            --depth;
        } else if (t.is_sym(";") && depth == 0) {
            positional = true;
            break;
        }
    }
    if (positional) {
        e.kind = QElem::Kind::Positional;
        for (;;) {
            if (at_binding()) {
                QUARN_TRY(std::string var, ident());
                e.args.push_back(QArg::variable(std::move(var)));
            } else {
                QUARN_TRY(Literal lit, literal());
                e.args.push_back(QArg::literal(std::move(lit)));
            }
            QUARN_TRY(Tok sep, next());
            if (sep.is_sym(",")) continue;
            if (sep.is_sym(";")) break;
            return err(err_consumed(fmt("expected ',' or ';', got {}", display(sep))));
        }
        QUARN_CHECK(expect_sym(")"));
        return e;
    }
    for (;;) {
        QUARN_TRY(std::vector<Constraint> slot, constraint_slot());
        for (Constraint& c : slot) {
            if (c.kind == Constraint::Kind::Group)
                return err(perr("inline constraint groups in query bodies are out of subset (D-073)"));
            e.constraints.push_back(std::move(c));
        }
        QUARN_TRY(Tok sep, next());
        if (sep.is_sym(",")) continue;
        if (sep.is_sym(")")) break;
        return err(err_consumed(fmt("expected ',' or ')', got {}", display(sep))));
    }
    return e;
}

Result<RuleFile, ParseError> parse_file(std::string_view text) {
    QUARN_TRY(std::u32string chars, decode_rule_text(text));
    auto lexed = lex(chars);
    if (!lexed) return err(locate_error(chars, std::move(lexed).error()));
    Parser parser(std::move(lexed).value());
    auto file = parser.file();
    if (!file) return err(locate_error(chars, std::move(file).error()));
    return std::move(file).value();
}

}  // namespace quarn
