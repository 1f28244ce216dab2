// Syntax tree of rule files: tokens, rules, queries, actions and the parse error.
//
// Only syntax: names appear as written (bindings keep their `$`), nothing is
// resolved against declared types. Plain owned values with deep copy. Tagged
// unions are a `kind` plus the fields of every variant.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "parser/condition_tree.h"
#include "store/value.h"

namespace quarn {

// One token of the lexer. Numbers are never negative: the lexer reads no sign.
struct Tok {
    enum class Kind : uint8_t { Ident = 0, StrLit, IntLit, FloatLit, Sym } kind = Kind::Sym;
    std::string text;  // Ident (glued words too), StrLit (escapes resolved), Sym
    int64_t i = 0;     // IntLit
    double f = 0;      // FloatLit

    static Tok ident(std::string s) { return {Kind::Ident, std::move(s), 0, 0}; }
    static Tok str(std::string s) { return {Kind::StrLit, std::move(s), 0, 0}; }
    static Tok int_lit(int64_t v) { return {Kind::IntLit, {}, v, 0}; }
    static Tok float_lit(double v) { return {Kind::FloatLit, {}, 0, v}; }
    static Tok sym(std::string s) { return {Kind::Sym, std::move(s), 0, 0}; }

    bool is_ident() const { return kind == Kind::Ident; }
    bool is_ident(std::string_view w) const { return kind == Kind::Ident && text == w; }
    bool is_sym(std::string_view s) const { return kind == Kind::Sym && text == s; }
    bool is_binding() const { return kind == Kind::Ident && !text.empty() && text[0] == '$'; }
    bool operator==(const Tok&) const = default;
};

// Display form, as messages ending "got {}" show a token: foo, "a\"b", 5, 2, (.
std::string display(const Tok& t);
// Debug form: Ident("grp"), StrLit("x"), IntLit(5), FloatLit(2.0), Sym("(").
std::string debug(const Tok& t);

// The front end's one error. `pos` is a character index (Unicode scalar values)
// into the rule text; parse_file folds line, column and caret into `msg` and
// drops it, so errors leaving parse_file never carry a position.
struct ParseError {
    std::string msg;
    std::optional<uint32_t> pos;

    bool operator==(const ParseError&) const = default;
};

struct SalTerm {
    enum class Kind : uint8_t { Int = 0, Var = 1 } kind = Kind::Int;
    int64_t value = 0;  // Int, sign applied
    std::string var;    // Var: binding name with `$`

    bool operator==(const SalTerm&) const = default;
};

struct SalienceSpec {
    enum class Kind : uint8_t { Const = 0, Expr = 1 } kind = Kind::Const;
    int64_t value = 0;           // Const
    SalTerm first;               // Expr
    std::optional<char> op;      // Expr: '+', '-' or '*' when a second term follows
    SalTerm second;              // Expr, meaningful only with op

    bool operator==(const SalienceSpec&) const = default;
};

struct RhsArg {
    enum class Kind : uint8_t { Lit = 0, Var, Getter } kind = Kind::Lit;
    Literal lit;        // Lit
    std::string var;    // Var, Getter: binding name with `$`
    std::string field;  // Getter: field derived from the getter name

    bool operator==(const RhsArg&) const = default;
};

// One right-hand-side effect. `modify($x) { setA(1) }` is not a variant of its
// own: it becomes Setter entries followed by Update.
struct Action {
    enum class Kind : uint8_t { Insert = 0, InsertLogical, Setter, Update, Delete, SetFocus } kind = Kind::Update;
    std::string type_name;      // Insert, InsertLogical
    std::vector<RhsArg> args;   // Insert, InsertLogical: positional, possibly empty
    std::string var;            // Setter, Update, Delete: binding name with `$`
    std::string field;          // Setter
    RhsArg value;               // Setter
    std::string group;          // SetFocus: agenda group name

    bool operator==(const Action&) const = default;
};

// One element of a query branch; whether `name` is a fact type or a query is
// the query compiler's decision.
struct QElem {
    enum class Kind : uint8_t { Constraints = 0, Positional = 1 } kind = Kind::Constraints;
    std::vector<Constraint> constraints;  // Constraints: the named form, or `Name()`
    std::vector<QArg> args;               // Positional: `Name(a, b;)`
    std::string name;
    std::optional<std::string> binding;

    bool operator==(const QElem&) const = default;
};

struct QueryParam {
    std::string type_name;
    std::string name;  // begins with `$`

    bool operator==(const QueryParam&) const = default;
};

struct QueryDef {
    std::string name;
    std::vector<QueryParam> params;             // declaration order
    std::vector<std::vector<QElem>> branches;   // at least one, each non-empty
    uint64_t decl_seq = 0;

    bool operator==(const QueryDef&) const = default;
};

// One rule, or one or-branch of a rule: every RuleDef of one rule carries equal
// copies of all fields but lhs and decl_seq.
struct RuleDef {
    std::string name;
    std::vector<Pattern> lhs;  // after normalisation and lowering; may be empty
    std::vector<Action> rhs;
    SalienceSpec salience;     // Const(0) when none is declared
    std::optional<std::string> agenda_group;
    bool no_loop = false;
    // Place in one running count over the file of queries and RuleDefs (each
    // or-branch its own number); agenda ties go to the smaller.
    uint64_t decl_seq = 0;
    // Index of the rule declaration among the file's rules; shared by branches.
    uint64_t ordinal = 0;

    bool operator==(const RuleDef&) const = default;
};

struct RuleFile {
    std::vector<RuleDef> rules;      // source order, a rule's branches adjacent in branch order
    std::vector<QueryDef> queries;   // source order

    bool operator==(const RuleFile&) const = default;
};

}  // namespace quarn
