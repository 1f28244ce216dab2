// Syntax tree of the condition part of a rule and of query body constraints.
//
// Plain owned values with deep copy; nothing here refers back into the rule text
// or is resolved against declared fact types. Binding names keep their leading
// `$` everywhere. Tagged unions are a `kind` plus the fields of every variant;
// only the fields named for a kind are meaningful, the others stay default.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/value.h"

namespace quarn {

// One byte; the rule compiler writes the debug name into pattern keys.
enum class CeKind : uint8_t { Positive = 0, Not = 1, Exists = 2 };

// Temporal operators, codes 0 to 12 in this order (evaluation keys on them).
enum class AllenOp : uint8_t {
    After = 0, Before, Coincides, Meets, MetBy, Overlaps, OverlappedBy,
    During, Includes, Starts, StartedBy, Finishes, FinishedBy
};

// Maps the rule-language word (`after`, `metby`, ...) to its operator; exact and
// case-sensitive, none for any other word.
std::optional<AllenOp> allen_op_from_keyword(std::string_view word);
// The rule-language word of an operator (`overlappedby`).
const char* allen_op_keyword(AllenOp op);

// `Collect` comes only from `from collect`; the others name accumulate and
// groupby functions.
enum class AccFunc : uint8_t { Sum = 0, Count, Average, Min, Max, Collect, CollectList, CollectSet };

// A `?query` argument, and a positional argument of a query body element.
struct QArg {
    enum class Kind : uint8_t { Var = 0, Lit = 1 } kind = Kind::Lit;
    std::string var;  // Var: binding name with `$`
    Literal lit;      // Lit

    static QArg variable(std::string v) { return {Kind::Var, std::move(v), {}}; }
    static QArg literal(Literal l) { return {Kind::Lit, {}, std::move(l)}; }
    bool operator==(const QArg&) const = default;
};

// Right-hand side of a comparison.
struct Operand {
    enum class Kind : uint8_t { Lit = 0, Var = 1 } kind = Kind::Lit;
    Literal lit;      // Lit
    std::string var;  // Var: binding name with `$`

    static Operand literal(Literal l) { return {Kind::Lit, std::move(l), {}}; }
    static Operand variable(std::string v) { return {Kind::Var, {}, std::move(v)}; }
    bool operator==(const Operand&) const = default;
};

// The expression that `&&`, `||`, `!` and parentheses build inside one
// constraint slot.
struct CExpr {
    enum class Kind : uint8_t { Cmp = 0, Matches, Contains, In, And, Or, Not } kind = Kind::Cmp;
    std::string field;            // Cmp, Matches, Contains, In
    CmpOp op = CmpOp::Eq;         // Cmp
    Operand rhs;                  // Cmp
    std::string regex;            // Matches: pattern text, not yet compiled
    std::string text;             // Contains
    std::vector<Literal> list;    // In: at least one literal
    bool negated = false;         // In: `not in`
    std::vector<CExpr> children;  // And/Or: two or more in source order; Not: exactly one

    bool operator==(const CExpr&) const = default;
};

// One element of a pattern's constraint list. A top-level conjunction inside a
// slot is split into one constraint per conjunct, so a Group holds an Or, a Not,
// or an And that sits under one of them.
struct Constraint {
    enum class Kind : uint8_t { Bind = 0, Cmp, Matches, Contains, In, Temporal, Group } kind = Kind::Cmp;
    std::string var;              // Bind: the binding; Temporal: the other event's binding
    std::string field;            // Bind, Cmp, Matches, Contains, In
    CmpOp op = CmpOp::Eq;         // Cmp
    Operand rhs;                  // Cmp
    std::string regex;            // Matches
    std::string text;             // Contains
    std::vector<Literal> list;    // In
    bool negated = false;         // In
    AllenOp allen = AllenOp::After;  // Temporal
    std::vector<int64_t> params;  // Temporal: durations in ms, 0, 1, 2 or 4 of them
    CExpr group;                  // Group: an And, Or or Not

    bool operator==(const Constraint&) const = default;
};

// What turns a pattern into an accumulate, a collect or a groupby.
struct AccSpec {
    AccFunc func = AccFunc::Count;
    std::string result;                   // `$r` of accumulate/groupby, `$l` of collect
    std::optional<std::string> arg;       // absent for collect and for count()
    std::optional<std::string> key;       // groupby's `$k` only
    std::optional<int64_t> window_ms;     // accumulate over window:time only

    bool operator==(const AccSpec&) const = default;
};

// One conditional element. Forms: plain pattern; `?query` element (query_args
// present, type_name = query name); accumulate/groupby/collect (acc present,
// describing the source facts; the result is named by acc->result, never by
// binding); lowered not/exists group (group present with 2 or 3 plain members,
// type_name empty).
struct Pattern {
    std::optional<std::string> binding;
    std::string type_name;
    std::vector<Constraint> constraints;  // slots in order, each slot's constraints in order
    std::optional<AccSpec> acc;
    std::optional<std::string> entry_point;
    std::optional<std::vector<QArg>> query_args;
    std::optional<std::vector<Pattern>> group;
    CeKind ce = CeKind::Positive;

    bool operator==(const Pattern&) const = default;
};

// The condition tree before lowering. A bare `not T(...)` is a Pattern with
// ce Not; Not/Exists nodes come from `not ( ... )` / `exists ( ... )` and from
// normalisation. No CeNode survives into a RuleDef.
struct CeNode {
    enum class Kind : uint8_t { Pattern = 0, And, Or, Not, Exists } kind = Kind::And;
    quarn::Pattern pattern;        // Pattern
    std::vector<CeNode> children;  // And/Or: any number; Not/Exists: exactly one

    static CeNode leaf(quarn::Pattern p) { return {Kind::Pattern, std::move(p), {}}; }
    static CeNode node(Kind k, std::vector<CeNode> c) { return {k, {}, std::move(c)}; }
    bool operator==(const CeNode&) const = default;
};

// Debug names: the variant names ("Positive", "MetBy", "CollectList").
std::string debug(CeKind k);
std::string debug(AllenOp op);
std::string debug(AccFunc f);

}  // namespace quarn
